"""Stand-ins for what lies outside the tools, for tests and the demo only."""
