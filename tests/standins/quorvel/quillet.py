"""Stand-in for quorvel.quillet, the port table.

Tests set `ports` (chip port name -> Linux port name) and `linux_ports`.
`bcm2linux` raises KeyError for a port the table does not hold and records
every name it is asked about in `asked` (unless that is set to None).
"""

ports = {}
linux_ports = []
asked = []


class UnsupportedPlatformError(Exception):
    pass


class quillet(object):
    def get_linux_ports(self):
        return linux_ports

    def bcm2linux(self, dport):
        if asked is not None:
            asked.append(dport)
        return ports[dport]
