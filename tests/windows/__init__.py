"""The Windows suite under Wine; run from the top folder, as
`python3 -m tests.windows.<name>`."""
