"""Stand-in for quorvel.dornick, the VRF database.

Tests set `names` (VRF id -> VRF name); `vrf_id2name` raises KeyError for an
id it does not hold and records every id it is asked about in `asked`
(unless that is set to None).
"""

names = {0: "default"}
asked = []


class VrfDb(object):
    def vrf_id2name(self, vrf_id):
        if asked is not None:
            asked.append(vrf_id)
        return names[vrf_id]
