"""Stand-in for the outside platform package, for tests and demonstrations."""
