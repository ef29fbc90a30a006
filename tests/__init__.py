"""The test suites."""
