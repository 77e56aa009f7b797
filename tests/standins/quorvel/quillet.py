"""Stand-in for quorvel.quillet, the port table."""
