"""pelvane against hostile surroundings: device names that read as `ip`
keywords, devices with a link, and tap devices of other software, with the
real `ip` inside a network namespace of the test's own."""
import json
import os
import unittest

import helpers


DEVICE_SCRIPT = r"""
import json, os, subprocess, sys
import pelvane, quorvel.platforms
from quorvel import hurricane2, tomahawk

class Recording(pelvane.IPRoute2):
    calls = []

    def run(self, args):
        self.calls.append(list(args))
        return pelvane.IPRoute2.run(self, args)

def links():
    found = {}
    for line in subprocess.check_output(["ip", "-o", "link", "show"]).splitlines():
        fields = line.split()
        name = fields[1].rstrip(":").split("@")[0]
        found[name] = (fields[fields.index("link/ether") + 1]
                       if "link/ether" in fields else None,
                       "UP" in fields[2].strip("<>").split(","))
    return found

def table(build, text, tap, override=None):
    if tap:
        os.environ["BRINDLET_USE_TUNTAP"] = "1"
    else:
        os.environ.pop("BRINDLET_USE_TUNTAP", None)
    platform = quorvel.platforms.platform = build()
    if override:
        platform.switch.ports[0].name_override = override
    cfg = pelvane.BCMConfig(platform, dummy=True)
    cfg.iproute2 = Recording()
    cfg.macbase = [2, 0, 0, 0, 0x10, 0]
    cfg.config(text)
    try:
        return cfg.quillet.split("\n")
    except subprocess.CalledProcessError as e:
        return ["failed", e.returncode, e.cmd]

case = sys.argv[1]
if case == "keyword":
    rows = table(hurricane2.build, "1=1G\n2=disabled\n3=disabled\n", True, "help")
    print json.dumps(dict(rows=rows, links=links()))
elif case == "linked":
    if subprocess.call(["ip", "link", "add", "switch1", "type", "veth", "peer", "name",
                        "eth9"]):
        print json.dumps(dict(skip="no veth devices"))
        sys.exit(0)
    rows = table(hurricane2.build, "1=1G\n", False)
    print json.dumps(dict(rows=rows, links=links(),
                          up=[c for c in Recording.calls if c[-1:] == ["up"]]))
else:
    rows = table(tomahawk.build, "1=4x25G\n2=100G\n3=disabled\n4=disabled\n5=disabled\n",
                 True)
    print json.dumps(dict(rows=rows, links=sorted(links())))
"""


class DeviceTest(unittest.TestCase):
    """The port table's devices, made and deleted for real."""

    def run_case(self, case, setup=""):
        if not os.path.exists("/dev/net/tun"):
            self.skipTest("no /dev/net/tun")
        status, out, err = helpers.namespace_python(
            "import sys; sys.argv[1:] = [%r]\n%s" % (case, DEVICE_SCRIPT), "-n -m",
            "mount -t sysfs sysfs /sys\n" + setup)
        self.assertEqual(status, 0, err)
        report = json.loads(out.splitlines()[-1])
        if "skip" in report:
            self.skipTest(report["skip"])
        return report

    def test_device_named_like_an_ip_keyword(self):
        report = self.run_case("keyword")
        self.assertEqual(report["rows"][0], "help\tge0\t0\t0\t-1\t0")
        self.assertEqual(report["links"]["help"], ["02:00:00:00:10:00", False])

    def test_switch_devices_with_a_link_come_up(self):
        report = self.run_case("linked", "ip tuntap add dev switch0 mode tap\n")
        self.assertEqual(report["rows"][0], "swp1\tge0\t0\t0\t-1\t0")
        self.assertEqual(report["up"], [["link", "set", "dev", "switch0", "up"],
                                        ["link", "set", "dev", "switch1", "up"]])
        self.assertEqual([report["links"][name][1] for name in ("switch0", "switch1", "eth9")],
                         [True, True, False])

    def test_tap_mode_deletes_only_the_switch_devices(self):
        others = ["fp", "fpga0", "fprobe", "swp1evil", "swp4s4", "swp7s0", "swpx"]
        stale = ["swp1", "swp3", "swp4s2"]
        setup = "".join("ip tuntap add dev %s mode tap\n" % name for name in others + stale)
        report = self.run_case("taps", setup)
        self.assertEqual([row.split("\t")[0] for row in report["rows"]],
                         ["swp1s0", "swp1s1", "swp1s2", "swp1s3", "swp2", "fp6", "swp7"])
        self.assertEqual(report["links"], sorted(
            ["fp6", "lo", "swp1s0", "swp1s1", "swp1s2", "swp1s3", "swp2", "swp7"] + others))


if __name__ == "__main__":
    unittest.main()
