"""Stand-in for quorvel.dornick, the VRF database."""
