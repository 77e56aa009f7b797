"""Stand-in for quorvel.kelvish, the ports.conf validator.

Tests set `findings` (what `kelvish()` reports; an empty list passes the
file).  Every validator made and every call on one is appended to `calls`:
("Kelvish", path, debug), ("kelvish",), ("portwriteerrors", errors).
"""

findings = []
calls = []


def reset():
    """Forgets the findings and the recorded calls."""
    del findings[:]
    del calls[:]


class Kelvish(object):
    def __init__(self, path, debug=False):
        self.path = path
        self.debug = debug
        calls.append(("Kelvish", path, debug))

    def kelvish(self):
        calls.append(("kelvish",))
        return list(findings)

    def portwriteerrors(self, errors):
        calls.append(("portwriteerrors", errors))
