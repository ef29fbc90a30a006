"""Demo and developer scripts; run their modules from the top folder, as
`python3 -m scripts.<name>`."""
