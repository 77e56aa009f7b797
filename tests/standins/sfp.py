"""Stand-in for the outside module sfp."""
