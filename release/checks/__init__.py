"""The release's checks; run from the top folder, as `python3 -m release.checks.<name>`."""
