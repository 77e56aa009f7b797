"""Stand-in for quorvel.kelvish, the ports.conf validator."""
