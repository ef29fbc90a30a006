"""The board control library as kiv_reset calls it."""
