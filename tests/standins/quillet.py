"""The port table under its bare name, as a module of the platform package
imports it: the very module quorvel.quillet."""

import sys

import quorvel.quillet

sys.modules[__name__] = quorvel.quillet
