"""The build's own steps written in Python; run them from the top folder, as
`python3 -m cmake.<name>`."""
