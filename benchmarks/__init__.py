"""Benchmarks; run from the top folder, as `python3 -m benchmarks.<name>`."""
