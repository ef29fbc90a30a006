"""Release, demo and dependency scripts; run their modules from the top folder, as
`python3 -m scripts.<name>`."""
