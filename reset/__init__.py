"""kiv_reset; its Python side is kiv_interface.kiv_exports."""
