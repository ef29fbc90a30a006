"""The checks and the suite that run the Windows executables; run from the top folder,
as `python3 -m tests.windows.<name>`."""
