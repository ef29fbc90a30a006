"""What makes and checks a release; run its modules from the top folder, as
`python3 -m release.<name>`."""
