"""Every output file of the SDK configuration writer, end to end, on the
stand-in platform descriptions: a ports.conf read through read_config,
BCMConfig in dummy mode, and each output key compared with its expected
text under tests/expected/<platform>/.  The expected files are checked by
hand against the ports of each description; a key whose file is missing
must answer None.  Last, the port table's tap devices, made for real with
`ip` inside a private network namespace, over two runs."""
import json
import os
import unittest

import pelvane
import quorvel.platforms

import helpers

HERE = os.path.dirname(os.path.abspath(__file__))
EXPECTED = os.path.join(HERE, "expected")
CHIP_CONFIG = os.path.join(HERE, "..", "skorrel", "__chip_config", "bcm")

KEYS = ("portsbcm", "quillet", "linkdefaults", "phytab", "rcled", "rcphy", "ethertab",
        "ucodebcm", "sfptab")

# Output key -> (fragment file, comment line put above it).
FRAGMENTS = {
    "hwdesc": ("hw_desc", " # chip description file\n"),
    "uft": ("uft.json", ""),
    "riot": ("riot.json", ""),
    "datapath": ("datapath.conf", " # chip datapath configuration file\n"),
    "sdk": ("sdk.bcm", ""),
    "rcforwarding": ("rc.forwarding", " # chip forwarding configuration file\n"),
}


def configured(name):
    """The platform `name` configured from its expected ports.conf."""
    module = __import__("quorvel." + name, fromlist=["build"])
    platform = quorvel.platforms.platform = module.build()
    cfg = pelvane.BCMConfig(platform, dummy=True)
    cfg.read_config(os.path.join(EXPECTED, name, "ports.conf"))
    return cfg


class Platform(object):
    """One stand-in platform: every key against its expected file."""
    name = None
    units = (0,)
    # fragment file -> its folder under skorrel's chip configuration
    fragments = {}

    def setUp(self):
        old = os.environ.pop("BRINDLET_USE_TUNTAP", None)
        if old is not None:
            self.addCleanup(os.environ.__setitem__, "BRINDLET_USE_TUNTAP", old)
        self.cfg = configured(self.name)

    def expected(self, key):
        path = os.path.join(EXPECTED, self.name, key)
        if not os.path.exists(path):
            return None
        with open(path) as f:
            return f.read()

    def check(self, key, expected):
        got = self.cfg.output(key)
        if expected is not None and got is not None and expected != got:
            self.assertEqual(expected.split("\n"), got.split("\n"), key)
        self.assertEqual(expected, got, key)

    def test_keys(self):
        for key in KEYS:
            self.check(key, self.expected(key))

    def test_port_scripts(self):
        for unit in self.units:
            self.check("rcports_%d" % unit, self.expected("rcports_%d" % unit))
        self.assertEqual(sorted(self.cfg.units), list(self.units))
        self.assertEqual(self.cfg.output("rcports_9"), "setenv allports ")

    def test_fragments(self):
        for key, (name, comment) in sorted(FRAGMENTS.items()):
            folder = self.fragments.get(name)
            if folder is None:
                self.assertIsNone(self.cfg.output(key), key)
                continue
            with open(os.path.join(CHIP_CONFIG, folder, name)) as f:
                self.assertEqual(self.cfg.output(key), comment + f.read(), key)

    def test_outputs_are_stable(self):
        for key in KEYS:
            self.assertEqual(self.cfg.output(key), self.cfg.output(key), key)

    def test_led_programs(self):
        # one program per controller the switch's glimmet handed out,
        # assembled by the stand-in LED assembler
        programs = self.cfg._led_programs
        for program in programs.values():
            program._tarquel = helpers.TARQUEL
        self.assertEqual(self.cfg.led_chains, sorted(programs))
        texts, images = self.cfg.led_asm, self.cfg.led_hex
        for controller in self.cfg.led_chains:
            self.assertIn("\nmain:\n", texts[controller])
            self.assertRegexpMatches(images[controller], r"^([0-9A-F]{2}( [0-9A-F]{2})*\n)+$")
            handed_out = self.cfg.platform.switch.glimmet[controller]
            self.assertIsInstance(programs[controller], handed_out)

    def test_link_defaults_are_json(self):
        document = json.loads(self.cfg.output("linkdefaults"))
        self.assertEqual(sorted(document), ["README", "ethtool"])

    def test_link_defaults_both_ways(self):
        # Written directly (json.dumps is not run), and through a stand-in
        # for pelvane's json: the same text.
        direct, calls = helpers.json_dumps_calls(lambda: self.cfg.output("linkdefaults"))
        self.assertEqual(calls, 0)
        recording = helpers.RecordingJSON()
        self.addCleanup(setattr, pelvane, "json", json)
        pelvane.json = recording
        self.assertEqual(self.cfg.output("linkdefaults"), direct)
        self.assertEqual(len(recording.calls), 1)
        self.assertEqual(recording.calls[0][1], {"indent": 4, "sort_keys": True})


class Hurricane2(Platform, unittest.TestCase):
    """Plain numbering: interface names, hardware bitmaps, a fabric port."""
    name = "hurricane2"
    fragments = {"rc.forwarding": "Hurricane2", "sdk.bcm": "Hurricane2"}

    def test_model(self):
        cfg = self.cfg
        self.assertEqual([p.__class__.__name__ for p in cfg.ports], ["SDKConfiguredPort"] * 4)
        self.assertEqual([(p.port_base, p.mac_index, p.loopback) for p in cfg.ports],
                         [(1, 0, False), (2, 1, True), (3, 2, False), (4, 3, False)])
        self.assertEqual(cfg.mapped_portnums, {0: 5})
        self.assertEqual(cfg.macmode, "standard")
        self.assertEqual(sorted(cfg._led_programs), [0])


class Tomahawk(Platform, unittest.TestCase):
    """Dport numbering: breakout, loopback, a disabled port, a fabric port,
    bitmaps beyond 64 bits, oversubscription per unit."""
    name = "tomahawk"
    fragments = dict((name, "Tomahawk") for name in (
        "datapath.conf", "rc.forwarding", "hw_desc", "sdk.bcm", "uft.json"))

    def test_model(self):
        cfg = self.cfg
        self.assertEqual(set(p.__class__.__name__ for p in cfg.ports),
                         set(["BCMConfiguredDportPort"]))
        self.assertEqual([(p.port_base, p.if_port_base, p.mac_index, p.loopback)
                          for p in cfg.ports],
                         [(1, 1, 0, False), (5, 1, 4, True), (6, 5, 8, False), (7, 6, 12, False),
                          (9, 2, 16, False), (10, 8, 17, False)])
        self.assertEqual(cfg.mapped_portnums, {0: 11})


class TridentTwo(Platform, unittest.TestCase):
    """Mapped numbering on two units, a gang of four with its polarity bits,
    a fabric port on KR serdes."""
    name = "tridenttwo"
    units = (0, 1)
    fragments = dict((name, "TridentTwo") for name in (
        "datapath.conf", "rc.forwarding", "hw_desc", "uft.json"))
    fragments["sdk.bcm"] = "TridentTwo/56850"

    def test_model(self):
        cfg = self.cfg
        self.assertEqual(set(p.__class__.__name__ for p in cfg.ports),
                         set(["SDKConfiguredMappedPort"]))
        self.assertEqual([(p.unit, p.port_base, p.mac_index) for p in cfg.ports],
                         [(0, 1, 0), (0, 5, 4), (1, 1, 8), (1, 2, 9), (1, 2, 10), (1, 2, 11),
                          (1, 2, 12), (0, 6, 13)])
        self.assertEqual(cfg.mapped_portnums, {0: 7, 1: 3})
        leader = cfg.ports[2]
        self.assertEqual(leader.ganged_ports, frozenset(cfg.ports[2:6]))
        self.assertEqual([p.ganged_ports for p in cfg.ports[3:]], [None] * 5)


class Maverick(Platform, unittest.TestCase):
    """Dport numbering with interface numbers per prefix, lane counts in the
    port map, fabric ports (one switched off under its "Fabric-" key), one
    chip-wide oversubscription mode, fiber preference."""
    name = "maverick"
    fragments = dict((name, "Maverick") for name in (
        "datapath.conf", "rc.forwarding", "hw_desc", "uft.json", "riot.json"))
    fragments["sdk.bcm"] = "Maverick/56768"

    def test_model(self):
        cfg = self.cfg
        self.assertEqual([(p.port_base, p.if_port_base, p.mac_index) for p in cfg.ports],
                         [(1, 1, 0), (3, 3, 4), (4, 1, 5), (5, 4, 6)])
        self.assertEqual([p.physical_port.label for p in cfg.ports], ["1", "2", "3", "4"])
        self.assertEqual(sorted(cfg._led_programs), [0, 1])


class TridentThree(Platform, unittest.TestCase):
    """A "100G/4" gang whose polarity goes out per physical lane, dport
    numbering on a chip with lane maps per physical lane."""
    name = "tridentthree"
    fragments = dict((name, "TridentThreeX7") for name in (
        "datapath.conf", "rc.forwarding", "hw_desc", "uft.json", "riot.json"))
    fragments["sdk.bcm"] = "TridentThreeX7/56870"

    def test_model(self):
        cfg = self.cfg
        self.assertEqual([(p.port_base, p.if_port_base, p.mac_index) for p in cfg.ports],
                         [(1, 1, 0), (2, 2, 1), (2, 2, 2), (2, 2, 3), (2, 1, 4), (6, 5, 8)])
        self.assertEqual(cfg.ports[0].ganged_ports, frozenset(cfg.ports[:4]))


class Helix4(Platform, unittest.TestCase):
    """Plain numbering from the chip's bitmap table, external PHYs (one the
    SDK finds by itself), PHY start-up registers, SFP descriptors."""
    name = "helix4"
    fragments = dict((name, "Helix4") for name in (
        "datapath.conf", "rc.forwarding", "hw_desc", "sdk.bcm"))


class TapDevices(unittest.TestCase):
    """The port table's devices, made for real in tap mode."""

    SCRIPT = r"""
import json, os, subprocess
import pelvane, quorvel.platforms
from quorvel import hurricane2

def devices():
    out = subprocess.check_output(["ip", "tuntap", "show"])
    return sorted(line.split(":")[0] for line in out.splitlines() if line)

def ifindex(name):
    with open("/sys/class/net/%s/ifindex" % name) as f:
        return int(f.read())

def address(name):
    with open("/sys/class/net/%s/address" % name) as f:
        return f.read().strip()

os.environ["BRINDLET_USE_TUNTAP"] = "1"
report = {"before": devices()}
for run, text in enumerate(["1=1G\n2=1G\n3=disabled\n", "2=disabled\n3=disabled\n"]):
    platform = quorvel.platforms.platform = hurricane2.build()
    cfg = pelvane.BCMConfig(platform, dummy=True)
    cfg.iproute2 = pelvane.IPRoute2()
    cfg.macbase = [2, 0, 0, 0, 0x10, 0]
    cfg.config(text)
    rows = cfg.output("quillet")
    report["run%d" % run] = dict(rows=rows.split("\n")[1:], devices=devices(),
                                 swp1=ifindex("swp1"),
                                 macs=dict((n, address(n)) for n in devices()
                                           if n.startswith("swp")))
print(json.dumps(report))
"""

    def test_two_runs(self):
        if not os.path.exists("/dev/net/tun"):
            self.skipTest("no /dev/net/tun")
        setup = ("mount -t sysfs sysfs /sys\n"
                 "ip tuntap add dev tun0 mode tun\n"      # a VPN's device: not ours
                 "ip tuntap add dev swp3 mode tap\n"      # a switch port no longer configured
                 "ip tuntap add dev vpn-swp1 mode tap\n")
        status, out, err = helpers.namespace_python(self.SCRIPT, "-n -m", setup)
        self.assertEqual(status, 0, err)
        report = json.loads(out)
        self.assertEqual(report["before"], ["swp3", "tun0", "vpn-swp1"])
        first, second = report["run0"], report["run1"]
        self.assertEqual(first["rows"], ["swp1\tge0\t0\t0\t-1\t0", "swp2\tge1\t0\t0\t-1\t0",
                                         "swp4\txe0\t0\t0\t-1\t0", "fp5\thg0\t0\t1\t-1\t0"])
        # the fabric port gets no device; what is not ours stays
        self.assertEqual(first["devices"], ["swp1", "swp2", "swp4", "tun0", "vpn-swp1"])
        self.assertEqual(first["macs"], {"swp1": "02:00:00:00:10:00",
                                         "swp2": "02:00:00:00:10:01",
                                         "swp4": "02:00:00:00:10:02"})
        self.assertEqual(second["rows"], ["swp1\tge0\t0\t0\t-1\t0", "swp4\txe0\t0\t0\t-1\t0",
                                          "fp5\thg0\t0\t1\t-1\t0"])
        self.assertEqual(second["devices"], ["swp1", "swp4", "tun0", "vpn-swp1"])
        self.assertEqual(second["swp1"], first["swp1"])  # found, not made again
        self.assertEqual(second["macs"]["swp1"], "02:00:00:00:10:00")


if __name__ == "__main__":
    unittest.main()
