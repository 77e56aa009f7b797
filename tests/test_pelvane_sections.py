"""BCMConfig, its model accessors, the gang step and the sections of the SDK
files that come from the configured ports: the LED start-up script, link
defaults, Ethernet table, port and dport maps, port list compression and
the PHY property sections.  Every platform is made of real skorrel ports and
chips and run through BCMConfig in dummy mode; the LED controllers are small
fakes."""

import itertools
import json
import random
import sys
import unittest

import pelvane
import skorrel

import helpers


class FakeLED(object):
    """An LED controller as the writer uses it."""

    def __init__(self, number, commands=()):
        self.number = number
        self.commands = list(commands)
        self.hex_reads = 0

    def configure(self, controller, ports):
        pass

    @property
    def asm(self):
        return "; program of %d\n" % self.number

    @property
    def hex(self):
        self.hex_reads += 1
        return "%02x 00\n" % self.number

    def led_memory_init_commands(self, controller):
        return list(self.commands)


class Glimmet(object):
    """The switch's `glimmet`: indexed by controller number, a maker of the
    controller object; remembers what it made."""

    def __init__(self, commands=None):
        self.commands = commands or {}
        self.made = {}

    def __getitem__(self, number):
        def make():
            led = FakeLED(number, self.commands.get(number, ()))
            self.made[number] = led
            return led
        return make


def platform(chip, ports, name="box", glimmet=None, led_controllers=None):
    switch = skorrel.BCMSwitch(chip)
    switch.ports = ports
    switch.glimmet = glimmet or Glimmet()
    switch.led_controllers = led_controllers
    p = skorrel.Platform()
    p.switch = switch
    p.name = name
    return p


def configured(chip, ports, text="", **kw):
    cfg = pelvane.BCMConfig(platform(chip, ports, **kw), dummy=True)
    cfg.config(text)
    return cfg


def conf(**modes):
    """ports.conf text: label=mode lines (labels given as _1, _2, ...)."""
    return "".join("%s=%s\n" % (k.lstrip("_"), v) for k, v in sorted(modes.items()))


def printed(test, lines):
    """What `lines` print in a fresh interpreter that imports from this
    folder too; `test` fails where it writes errors or exits otherwise."""
    path = (helpers.MODULE_DIR, helpers.STANDINS, helpers.os.path.dirname(__file__))
    status, out, err = helpers.run_python("\n".join(lines), path=path)
    test.assertEqual((status, err), (0, ""))
    return out


# ---- platform ports ---------------------------------------------------------------

def helix10(label, hw, unit=0, leds=None, **kw):
    return skorrel.Helix410GPort(label=label, hw_port=hw, phy_type=None, phy_addr=None,
                                 phy_layer=kw.pop("phy_layer", "SFP+"), leds=leds, unit=unit, **kw)


def helix1(label, hw, unit=0, **kw):
    return skorrel.Helix41GPort(label=label, hw_port=hw, phy_type=None, phy_addr=None,
                                phy_layer="1GBaseT", leds=None, unit=unit, **kw)


def td2_10(label, serdes, unit=0, leds=None, **kw):
    return skorrel.TridentTwo10GPort(label=label, serdes=[serdes], phy_types=None,
                                     phy_addrs=None, phy_layer=kw.pop("phy_layer", "SFP+"),
                                     leds=leds, unit=unit, **kw)


def td2_40(label, first, unit=0, **kw):
    return skorrel.TridentTwo40GPort(label=label, serdes=range(first, first + 4),
                                     phy_types=None, phy_addrs=None, phy_layer="QSFP+",
                                     leds=None, unit=unit, **kw)


def maverick(cls, label, serdes, unit=0, **kw):
    """A port of a class built from its serdes lanes (and no PHYs or LEDs)."""
    return cls(label=label, serdes=serdes, phy_types=None, phy_addrs=None, leds=None, unit=unit,
               **kw)


def serdes_port(cls, label, serdes, layer, unit=0, **kw):
    return maverick(cls, label, serdes, unit, phy_layer=layer, **kw)


def tdp(cls, label, serdes, unit=0, **kw):
    if cls is not skorrel.TridentTwoPlus40GPort:
        kw["phy_layer"] = "SFP+"
    return maverick(cls, label, serdes, unit, **kw)


class VxChip(skorrel.Helix4Chip):
    sw_base = "vx"


class PortmapOneChip(skorrel.TridentTwo_56850_Chip):
    portmap_capable = 1


class DportOneChip(skorrel.TridentTwoPlus_56860_Chip):
    dport_capable = 1


class OwnTomahawkTwo(skorrel.TomahawkTwo_56970_Chip):
    """A subclass of a part whose maps are given per physical lane."""


# ---- BCMConfig and the model accessors ---------------------------------------------

class ModelTest(unittest.TestCase):
    def test_class(self):
        self.assertTrue(issubclass(pelvane.BCMConfig, pelvane.SDKConfig))
        self.assertEqual(pelvane.BCMConfig.__doc__,
                         "\n    Broadcom configuration implementation\n    ")
        self.assertEqual(sorted(k for k in vars(pelvane.BCMConfig) if not k.startswith("__")), [])

    def test_constructor_hands_its_values_on(self):
        seen = []
        base = pelvane.SDKConfig
        original = base.__dict__["__init__"]

        def spy(self, *args, **kw):
            seen.append((self, args, kw))
        base.__init__ = spy
        try:
            p = object()
            cfg = pelvane.BCMConfig(p, "v", "e", "d")
            cfg2 = pelvane.BCMConfig(p)
        finally:
            base.__init__ = original
        self.assertEqual(seen, [(cfg, (p, "v", "e"), {"dummy": "d"}),
                                (cfg2, (p, False, False), {"dummy": False})])

    def test_units_and_port_units(self):
        ports = [helix10(str(i + 1), "hg%d" % (i % 4), unit=i // 4, leds=(0, i)) for i in range(8)]
        ports.append(helix1("9", "ge3", unit=None))
        cfg = configured(skorrel.Helix4Chip(), ports)
        self.assertEqual(cfg.units, set([0, 1]))
        # A port without a unit still counts its ports under None; the units
        # come in the key order of the dictionary of mapped numbers.
        self.assertEqual(cfg.port_units, list(cfg.mapped_portnums))
        self.assertEqual(sorted(cfg.port_units), [None, 0, 1])
        cfg.port_units.append(7)
        self.assertEqual(sorted(cfg.port_units), [None, 0, 1])
        cfg.ports = [p for p in cfg.ports if p.unit is None]
        self.assertIsNone(cfg._calculate_units())
        self.assertEqual(cfg.units, set())

    def test_ten_ports_on_one_unit(self):
        ports = [helix10(str(i + 1), "hg%d" % (i % 4)) for i in range(4)]
        ports += [helix1(str(i + 5), "ge%d" % i) for i in range(6)]
        cfg = configured(skorrel.Helix4Chip(), ports)
        self.assertEqual(len(cfg.ports), 10)
        self.assertEqual(cfg.units, set([0]))
        self.assertEqual(cfg.port_units, [0])

    def test_no_led_controller(self):
        glimmet = Glimmet()
        cfg = configured(skorrel.Helix4Chip(), [helix10("1", "hg0")], glimmet=glimmet)
        self.assertEqual((cfg.led_chains, cfg.led_asm, cfg.led_hex), ([], {}, {}))
        self.assertEqual(glimmet.made, {})

    def test_two_led_controllers(self):
        glimmet = Glimmet()
        ports = [helix10("1", "hg0", leds=(1, 0)), helix10("2", "hg1", leds=(0, 0))]
        cfg = configured(skorrel.Helix4Chip(), ports, glimmet=glimmet)
        self.assertEqual(cfg.led_chains, [0, 1])
        self.assertEqual(cfg.led_asm, {0: "; program of 0\n", 1: "; program of 1\n"})
        self.assertEqual([glimmet.made[n].hex_reads for n in (0, 1)], [0, 0])
        first = cfg.led_hex
        self.assertEqual(first, {0: "00 00\n", 1: "01 00\n"})
        self.assertEqual(cfg.led_hex, first)
        self.assertEqual([glimmet.made[n].hex_reads for n in (0, 1)], [2, 2])
        cfg.led_chains.append(5)
        self.assertEqual(cfg.led_chains, [0, 1])

    def test_dictionary_key_order(self):
        # Controllers 7 and 8: the dictionary of programs lists 8 first.
        ports = [helix10("1", "hg0", leds=(7, 0)), helix10("2", "hg1", leds=(8, 0))]
        cfg = configured(skorrel.Helix4Chip(), ports)
        self.assertEqual(list(cfg._led_programs), [8, 7])
        self.assertEqual(cfg.led_chains, [8, 7])
        # Units 7 and 8 likewise.
        ports = [helix10("1", "hg0", unit=7), helix10("2", "hg1", unit=8)]
        cfg = configured(skorrel.Helix4Chip(), ports)
        self.assertEqual(list(cfg.mapped_portnums), [8, 7])
        self.assertEqual(cfg.port_units, [8, 7])

    def test_assembler_failure_passes_out(self):
        class Failing(FakeLED):
            @property
            def hex(self):
                raise OSError("assembler failed")
        cfg = configured(skorrel.Helix4Chip(), [helix10("1", "hg0", leds=(0, 0))],
                         glimmet=lambda: Failing(0))
        self.assertRaisesRegexp(OSError, "assembler failed", lambda: cfg.led_hex)


# ---- gang sets -------------------------------------------------------------------

GANGED = dict(("_%d" % i, "40G/4") for i in range(1, 9))


class GangTest(unittest.TestCase):
    def gang_config(self, ports, **modes):
        return configured(skorrel.TridentTwo_56850_Chip(), ports, conf(**modes))

    def eight(self, unit=0, base=0):
        return [td2_10(str(base + i + 1), i, unit=unit) for i in range(8)]

    def gangs(self, cfg):
        return dict((p.physical_port.hw_ports[0] + "/%s" % p.unit,
                     sorted(q.physical_port.hw_ports[0] for q in p.ganged_ports))
                    for p in cfg.ports if p.ganged_ports is not None)

    def reset(self, ports):
        for p in ports:
            p.ganged_ports = None

    def test_two_gangs_in_every_order(self):
        cfg = self.gang_config(self.eight(), **GANGED)
        expected = {"hg0/0": ["hg0", "hg1", "hg2", "hg3"], "hg4/0": ["hg4", "hg5", "hg6", "hg7"]}
        self.assertEqual(self.gangs(cfg), expected)
        ports = list(cfg.ports)
        leader = ports[0]
        self.assertIsInstance(leader.ganged_ports, frozenset)
        self.assertTrue(all(any(m is p for p in ports) for m in leader.ganged_ports))
        # Every order of the first gang, and shuffles of all eight.
        orders = [list(o) + ports[4:] for o in itertools.permutations(ports[:4])]
        rnd = random.Random(13)
        for _ in range(50):
            order = list(ports)
            rnd.shuffle(order)
            orders.append(order)
        for order in orders:
            self.reset(ports)
            given = list(order)
            self.assertIsNone(cfg._calculate_gangs(order))
            self.assertEqual(order, given)
            self.assertEqual(self.gangs(cfg), expected)
            self.assertEqual(sum(p.ganged_ports is not None for p in ports), 2)

    def test_gangs_of_two_units_stay_apart(self):
        ports = self.eight(unit=0)[:4] + self.eight(unit=1, base=4)[:4]
        cfg = self.gang_config(ports, **GANGED)
        expected = {"hg0/0": ["hg0", "hg1", "hg2", "hg3"], "hg0/1": ["hg0", "hg1", "hg2", "hg3"]}
        self.assertEqual(self.gangs(cfg), expected)
        by_unit = dict((p.unit, p) for p in cfg.ports if p.ganged_ports is not None)
        self.assertEqual([set(q.unit for q in by_unit[u].ganged_ports) for u in (0, 1)],
                         [set([0]), set([1])])
        # The two units' ports interleaved by number, and reversed.
        interleaved = [p for pair in zip(cfg.ports[:4], cfg.ports[4:]) for p in pair]
        for order in (interleaved, interleaved[::-1], cfg.ports[4:] + cfg.ports[:4]):
            self.reset(cfg.ports)
            cfg._calculate_gangs(order)
            self.assertEqual(self.gangs(cfg), expected)

    def test_fifth_port_opens_a_new_set_and_short_sets_are_dropped(self):
        ports = self.eight()
        cfg = self.gang_config(ports, _1="40G/4", _2="40G/4", _3="40G/4", _4="40G/4", _5="40G/4",
                               _6="40G/4", _7="40G/4")
        self.assertEqual(self.gangs(cfg), {"hg0/0": ["hg0", "hg1", "hg2", "hg3"]})
        self.assertIsNone(cfg.ports[4].ganged_ports)

    def test_three_ganged_ports_with_a_leader(self):
        cfg = self.gang_config(self.eight()[:4], _1="40G/4", _2="40G/4", _3="40G/4")
        self.assertTrue(cfg.ports[0].gang_leader)
        self.assertEqual(self.gangs(cfg), {})

    def test_ports_not_ganged_between_members(self):
        ports = [td2_10("1", 0), td2_10("2", 1), td2_10("3", 2), td2_10("4", 3), td2_10("9", 9)]
        cfg = self.gang_config(ports, _1="40G/4", _2="40G/4", _3="40G/4", _4="40G/4")
        order = [cfg.ports[4], cfg.ports[0], cfg.ports[1], cfg.ports[4], cfg.ports[2],
                 cfg.ports[3]]
        self.reset(cfg.ports)
        cfg._calculate_gangs(order)
        self.assertEqual(self.gangs(cfg), {"hg0/0": ["hg0", "hg1", "hg2", "hg3"]})

    def test_later_leader_takes_the_set(self):
        cfg = self.gang_config(self.eight(), **GANGED)
        ports = cfg.ports
        self.reset(ports)
        # hg0 leads, then hg4 leads before the set of four is full.
        cfg._calculate_gangs([ports[0], ports[1], ports[4], ports[2]])
        self.assertIsNone(ports[0].ganged_ports)
        self.assertEqual(sorted(p.label for p in ports[4].ganged_ports), ["1", "2", "3", "5"])

    def test_equal_keys_keep_their_order(self):
        class Probe(pelvane.SDKConfiguredMappedPort):
            """Ganged whenever asked; records the order it is met in."""
            met = []
            ganged = property(lambda self: self.met.append(self.label) or True)
            gang_leader = property(lambda self: self.label == "lead")
            max_gang_size = 3

        phys = [td2_10(label, 5) for label in ("lead", "b", "c")]
        probes = [Probe("10G", p, 1, 0, False) for p in phys]
        cfg = self.gang_config([])
        for order in itertools.permutations(probes):
            Probe.met[:] = []
            for p in probes:
                p.ganged_ports = None
            cfg._calculate_gangs(list(order))
            self.assertEqual(Probe.met, [p.label for p in order])
            self.assertEqual(set(probes[0].ganged_ports), set(probes))

    def test_identity_with_true(self):
        class Loose(pelvane.SDKConfiguredMappedPort):
            ganged = 1
            gang_leader = True
            max_gang_size = 1

        class LooseLeader(pelvane.SDKConfiguredMappedPort):
            ganged = True
            gang_leader = 1
            max_gang_size = 1

        cfg = self.gang_config([])
        loose = Loose("10G", td2_10("1", 0), 1, 0, False)
        cfg._calculate_gangs([loose])
        self.assertIsNone(loose.ganged_ports)
        leaderless = LooseLeader("10G", td2_10("2", 1), 1, 0, False)
        self.assertRaisesRegexp(RuntimeError,
                                r"^platform: box: ganged set of port 2 has no leader$",
                                cfg._calculate_gangs, [leaderless])

    def test_set_without_leader(self):
        ports = [td2_10("1", 1), td2_10("2", 2), td2_10("3", 3), td2_10("7", 7)]
        cfg = pelvane.BCMConfig(platform(skorrel.TridentTwo_56850_Chip(), ports,
                                         name="leaderless"), dummy=True)
        with self.assertRaises(RuntimeError) as caught:
            cfg.config(conf(_1="40G/4", _2="40G/4", _3="40G/4", _7="40G/4"))
        self.assertEqual(str(caught.exception),
                         "platform: leaderless: ganged set of port 7 has no leader")
        self.assertEqual([p.gang_leader for p in cfg.ports], [False] * 4)
        with self.assertRaises(RuntimeError) as caught:
            cfg._calculate_gangs(cfg.ports[::-1])
        self.assertEqual(str(caught.exception),
                         "platform: leaderless: ganged set of port 7 has no leader")

    def test_duplicate_port(self):
        cfg = self.gang_config(self.eight(), **GANGED)
        ports = cfg.ports
        self.reset(ports)
        with self.assertRaises(RuntimeError) as caught:
            cfg._calculate_gangs(ports[:4] + ports[4:6] + [ports[5]])
        self.assertEqual(str(caught.exception),
                         "platform: box: Duplicate port 6 already in ganged set")
        self.assertIsNotNone(ports[0].ganged_ports)
        self.assertIsNone(ports[4].ganged_ports)

    def test_no_ganged_port(self):
        cfg = self.gang_config(self.eight(), _1="10G")
        self.assertEqual(self.gangs(cfg), {})
        self.assertIsNone(cfg._calculate_gangs(()))

    def test_bad_hardware_name(self):
        cfg = self.gang_config(self.eight()[:1])
        cfg.ports[0].physical_port.hw_ports = ["hgx"]
        self.assertRaises(ValueError, cfg._calculate_gangs, cfg.ports)


# ---- LED start-up script -----------------------------------------------------------

class RcledTest(unittest.TestCase):
    BLOCK = "led %d stop\nled %d auto on\nled %d load /etc/bcm.d/led%d.hex\nled %d start\n"

    def block(self, n):
        return self.BLOCK % ((n,) * 5)

    def rcled(self, controllers, commands=None):
        ports = [helix10(str(i + 1), "hg%d" % i, leds=(c, 0)) for i, c in enumerate(controllers)]
        cfg = configured(skorrel.Helix4Chip(), ports, glimmet=Glimmet(commands))
        return cfg.output("rcled")

    def test_texts(self):
        self.assertEqual(self.rcled([]), "")
        self.assertEqual(self.rcled([0]),
                         "led 0 stop\nled 0 auto on\nled 0 load /etc/bcm.d/led0.hex\n"
                         "led 0 start\n")
        self.assertEqual(self.rcled([1, 0]), self.block(0) + "\n" + self.block(1))
        self.assertEqual(self.rcled([0], {0: ["setreg a 1", "setreg b 2"]}),
                         self.block(0) + "\nsetreg a 1\nsetreg b 2")
        self.assertEqual(self.rcled([0, 1], {0: ["setreg a 1"]}),
                         self.block(0) + "\nsetreg a 1\n" + self.block(1))
        self.assertEqual(self.rcled([2]), self.block(2))
        self.assertIn("led 2 load /etc/bcm.d/led2.hex\n", self.rcled([2]))

    def test_controllers_in_dictionary_order(self):
        # The dictionary of controllers 7 and 8 holds 8 first.
        self.assertEqual(self.rcled([7, 8]), self.block(8) + "\n" + self.block(7))

    def test_failure_passes_out(self):
        class Failing(FakeLED):
            def led_memory_init_commands(self, controller):
                raise KeyError(controller)
        cfg = configured(skorrel.Helix4Chip(), [helix10("1", "hg0", leds=(3, 0))],
                         glimmet=lambda: Failing(3))
        self.assertRaises(KeyError, lambda: cfg.rcled)


# ---- link defaults --------------------------------------------------------------------

README = "This file is automatically generated. Do not edit this file."


class LinkDefaultsTest(unittest.TestCase):
    def test_vx_document(self):
        cfg = configured(VxChip(), [helix10("1", "hg0")], "1=10G\n")
        queried = []
        cfg._linkdefaults = lambda: queried.append(1)
        self.assertEqual(cfg.output("linkdefaults"), "\n".join([
            '{',
            '    "README": "%s", ' % README,
            '    "ethtool": {',
            '        "defaults": {',
            '            "link-autoneg": "off", ',
            '            "link-duplex": "full", ',
            '            "link-speed": "1000"',
            '        }, ',
            '        "iface_defaults": {}, ',
            '        "module_globals": {',
            '            "ethtool_ignore_errors": true',
            '        }',
            '    }',
            '}']))
        self.assertEqual(queried, [])
        vx = cfg._linkdefaults_vx()
        self.assertEqual(vx, {"module_globals": {"ethtool_ignore_errors": True},
                              "defaults": {"link-autoneg": "off", "link-duplex": "full",
                                           "link-speed": "1000"}})
        self.assertIsNot(cfg._linkdefaults_vx(), vx)

    def test_no_ports_and_fabric_only(self):
        empty = "\n".join(['{', '    "README": "%s", ' % README, '    "ethtool": {',
                           '        "defaults": {}, ', '        "iface_defaults": {}', '    }',
                           '}'])
        self.assertEqual(configured(skorrel.Helix4Chip(), []).linkdefaults, empty)
        fabric = skorrel.TridentTwo10GFabricPort(label="1", serdes=[0], tx_lane_map=0,
                                                 rx_lane_map=0)
        cfg = configured(skorrel.TridentTwo_56850_Chip(), [fabric])
        self.assertEqual(len(cfg.ports), 1)
        self.assertEqual(cfg.linkdefaults, empty)
        self.assertEqual(cfg._linkdefaults(), {"defaults": {}, "iface_defaults": {}})

    def test_entries(self):
        ports = [td2_40("2", 0), td2_10("10", 4), td2_10("11", 5, phy_layer="10GBaseT"),
                 td2_10("12", 6), td2_10("13", 7)]
        ports[3].autoneg_pref = False
        ports[3].phy_layer = "10GBaseT"
        ports[4].autoneg_pref = "yes"
        cfg = configured(skorrel.TridentTwo_56850_Chip(), ports, "2=4x10G\n")
        entry = lambda an, speed: {"link-autoneg": an, "link-duplex": "full", "link-speed": speed}
        doc = json.loads(cfg.linkdefaults)
        self.assertEqual(doc, {"README": README, "ethtool": {"defaults": {}, "iface_defaults": {
            "swp2s0": entry("off", "10000"), "swp2s1": entry("off", "10000"),
            "swp2s2": entry("off", "10000"), "swp2s3": entry("off", "10000"),
            "swp10": entry("off", "10000"), "swp11": entry("on", "10000"),
            "swp12": entry("off", "10000"), "swp13": entry("on", "10000")}}})
        text = cfg.linkdefaults
        names = [line.split('"')[1] for line in text.splitlines()
                 if line.startswith(" " * 12 + '"')]
        self.assertEqual(names, ["swp10", "swp11", "swp12", "swp13", "swp2s0", "swp2s1",
                                 "swp2s2", "swp2s3"])
        self.assertIn('\n            "swp10": {\n                "link-autoneg": "off", \n'
                      '                "link-duplex": "full", \n'
                      '                "link-speed": "10000"\n            }, \n', text)
        self.assertFalse(text.endswith("\n"))

    def test_gang_members_and_equal_names(self):
        ports = [td2_10(str(i + 1), i) for i in range(4)]
        ports[1].name_override = "same"
        ports[2].name_override = "same"
        ports[2].phy_layer = "10GBaseT"
        cfg = configured(skorrel.TridentTwo_56850_Chip(), ports)
        self.assertEqual(sorted(cfg._linkdefaults()["iface_defaults"]), ["same", "swp1", "swp4"])
        self.assertEqual(cfg._linkdefaults()["iface_defaults"]["same"]["link-autoneg"], "on")
        cfg = configured(skorrel.TridentTwo_56850_Chip(), [td2_10(str(i + 1), i) for i in range(4)],
                         conf(_1="40G/4", _2="40G/4", _3="40G/4", _4="40G/4"))
        self.assertEqual(cfg._linkdefaults()["iface_defaults"],
                         {"swp1": {"link-autoneg": "off", "link-duplex": "full",
                                   "link-speed": "40000"}})

    def test_speeds_in_whole_megabits(self):
        class LongSpeed(skorrel.TridentTwo10GPort):
            _speed_map = {"10G": 10L, "40G/4": 40L}

        mg = serdes_port(skorrel.TridentThreeMGPort, "1", [0], "10GBaseT")
        mg.autoneg_pref = False
        ports = [mg, serdes_port(skorrel.TridentThreeMGPort, "2", [1], "10GBaseT"),
                 helix1("3", "ge0")]
        cfg = configured(skorrel.TridentThreeX5_56771_Chip(), ports[:2], "1=2.5G\n2=5G\n")
        speeds = dict((k, v["link-speed"]) for k, v in
                      cfg._linkdefaults()["iface_defaults"].items())
        self.assertEqual(speeds, {"swp1": "2500", "swp2": "5000"})
        self.assertIn('"link-speed": "2500"', cfg.linkdefaults)
        cfg = configured(skorrel.Helix4Chip(), ports[2:])
        self.assertEqual(cfg._linkdefaults()["iface_defaults"]["swp3"]["link-speed"], "1000")
        cfg = configured(skorrel.TridentTwo_56850_Chip(),
                         [LongSpeed(label="1", serdes=[0], phy_types=None, phy_addrs=None,
                                    phy_layer="SFP+", leds=None, unit=0)])
        self.assertEqual(cfg._linkdefaults()["iface_defaults"]["swp1"]["link-speed"], "10000")


class LinkDefaultsTextTest(unittest.TestCase):
    """The text written directly, against the interpreter's json.dumps."""

    def document(self, extra):
        return {"README": README, "ethtool": dict({"defaults": {}, "iface_defaults": {}}, **extra)}

    def expected(self, extra):
        try:
            return json.dumps(self.document(extra), indent=4, sort_keys=True)
        except Exception as e:
            return e

    def same(self, got, want, what):
        if isinstance(want, Exception):
            self.assertIs(type(got), type(want), what)
            self.assertEqual(str(got), str(want), what)
        else:
            self.assertIs(type(got), str, what)
            self.assertEqual(got, want, what)

    def test_values_written_directly(self):
        cfg = configured(skorrel.Helix4Chip(), [])
        values = [
            u"\u00e9\x7f\U0001f600\ud800\udfff\"\\/\b\f\n\r\t\x00\x1f ~",
            "caf\xc3\xa9 \xf0\x9f\x98\x80 \x01\x7f\"\\", "", u"", 0, -1, sys.maxint,
            -sys.maxint - 1, sys.maxint + 1, -10 ** 40, True, False, None, [], {}, [[]],
            [{}, [1, [None, {"k": []}]], u"x"],
            {"swp10": 1, "swp2": 2, "swp1": 3, "": 4, "a\x00": 5, "a": 6, "B": 7,
             "\xc3\xa9": 8, "e\xcc\x81": 9},
            {u"b\u00e9": 1, "a": 2, u"": 3, "B": [None], u"\U00010000": 4, u"\uffff": 5,
             u"\ud800": 6, u"\ue000": 7},
            {u"\u00e9": {u"\u00e8": u"\u00ea"}},
        ]
        for value in values:
            cfg._linkdefaults = lambda: {"x": value}
            got, calls = helpers.json_dumps_calls(lambda: cfg.linkdefaults)
            self.same(got, self.expected({"x": value}), repr(value))
            self.assertEqual(calls, 0, repr(value))

    def test_other_values_left_to_dumps(self):
        cfg = configured(skorrel.Helix4Chip(), [])
        circular = []
        circular.append(circular)
        deep = []
        for _ in range(150):
            deep = [deep]

        class Text(str):
            pass

        class Mapping(dict):
            def items(self):
                return [("z", 1)]

        values = [1.5, float("nan"), (1, 2), {1: "a"}, {None: 1}, {(1,): 1}, Text("t"),
                  Mapping(a=2), ["\xff"], {"\xc3": 1}, {"\xc3\xa9": 1, u"a": 2},
                  circular, deep, set(), object()]
        for value in values:
            cfg._linkdefaults = lambda: {"x": value}
            got, calls = helpers.json_dumps_calls(lambda: cfg.linkdefaults)
            self.same(got, self.expected({"x": value}), repr(value)[:40])
            self.assertEqual(calls, 1, repr(value)[:40])

    def test_interface_names(self):
        def named(*names):
            ports = [td2_10(str(i + 1), i) for i in range(len(names))]
            for port, name in zip(ports, names):
                port.name_override = name
            return configured(skorrel.TridentTwo_56850_Chip(), ports)

        for names in ([u"sw\u00e9p", u"s\"w\\p\t", "swp10", "swp9", u"swp1"],
                      ["swp\xc3\xa8", "swp\xc3\xa9", "swp10", "swp\x1f"]):
            cfg = named(*names)
            entries = cfg._linkdefaults()
            self.assertEqual(sorted(entries["iface_defaults"]), sorted(names))
            got, calls = helpers.json_dumps_calls(lambda: cfg.linkdefaults)
            self.assertEqual((got, calls), (self.expected(entries), 0))
        self.assertIn('"swp\\u00e8": {', got)
        cfg = named("swp\xe8", "swp1")
        got, calls = helpers.json_dumps_calls(lambda: cfg.linkdefaults)
        self.assertIsInstance(got, UnicodeDecodeError)
        self.assertEqual(calls, 1)

    def test_rebound_json_is_called(self):
        cfg = configured(VxChip(), [helix10("1", "hg0")], "1=10G\n")
        direct = cfg.linkdefaults
        recording = helpers.RecordingJSON()
        self.addCleanup(setattr, pelvane, "json", json)
        pelvane.json = recording
        self.assertEqual(cfg.linkdefaults, direct)
        self.assertEqual(recording.calls, [((self.document(cfg._linkdefaults_vx()),),
                                            {"indent": 4, "sort_keys": True})])
        pelvane.json = json
        # The interpreter's own json with a piece of it rebound.
        real_dumps = json.dumps
        self.addCleanup(setattr, json, "dumps", real_dumps)
        json.dumps = recording.dumps
        self.assertEqual(cfg.linkdefaults, direct)
        self.assertEqual(len(recording.calls), 2)
        json.dumps = real_dumps
        self.addCleanup(setattr, json.JSONEncoder, "item_separator", ", ")
        json.JSONEncoder.item_separator = ","
        self.assertEqual(cfg.linkdefaults, direct.replace(", \n", ",\n"))
        json.JSONEncoder.item_separator = ", "
        self.assertEqual(helpers.json_dumps_calls(lambda: cfg.linkdefaults), (direct, 0))

    def test_sorted_of_the_encoders_builtins(self):
        # The encoder's frames take their builtins from its module's
        # __builtins__, a dict or a module: a sorted() there that reverses
        # orders the text as json.dumps then orders it, before the first
        # text written and after.
        out = printed(self, [
            "import __builtin__, json.encoder, types",
            "import skorrel",
            "from test_pelvane_sections import configured, README",
            "cfg = configured(skorrel.Helix4Chip(), [])",
            "value = {'README': README, 'ethtool': {'defaults': {}, 'iface_defaults': {}}}",
            "g = json.encoder.__dict__",
            "own = g['__builtins__']",
            "reversing = dict(own, sorted=lambda items, key: own['sorted'](items, key=key,",
            "                                                              reverse=True))",
            "module = types.ModuleType('builtins')",
            "module.__dict__.update(reversing)",
            "for builtins in (reversing, own, reversing, module, own):",
            "    g['__builtins__'] = builtins",
            "    text = cfg.output('linkdefaults')",
            "    print text == json.dumps(value, indent=4, sort_keys=True), text.split()[1]"])
        self.assertEqual(out.split("\n"), ['True "ethtool":', 'True "README":', 'True "ethtool":',
                                            'True "ethtool":', 'True "README":', ''])


# ---- Ethernet table --------------------------------------------------------------------

class EthertabTest(unittest.TestCase):
    def test_rows(self):
        ports = [td2_10("7", 8), td2_40("3", 0), td2_10("9", 9)]
        cfg = configured(skorrel.TridentTwo_56850_Chip(), ports, "3=4x10G\n")
        self.assertEqual([p.mac_index for p in cfg.ports], [0, 1, 5])
        self.assertEqual(cfg.output("ethertab"),
                         "swp7\t0\nswp3s0\t1\nswp3s1\t2\nswp3s2\t3\nswp3s3\t4\nswp9\t5")

    def test_indices_of_a_breakout_and_a_single_port(self):
        cfg = configured(skorrel.TridentTwo_56850_Chip(), [td2_40("3", 0)], "3=4x10G\n")
        cfg.ports[0].mac_index = 4
        self.assertEqual(cfg.ethertab, "swp3s0\t4\nswp3s1\t5\nswp3s2\t6\nswp3s3\t7")
        cfg = configured(skorrel.TridentTwo_56850_Chip(), [td2_10("1", 0)])
        cfg.ports[0].mac_index = 9
        self.assertEqual(cfg.ethertab, "swp1\t9")
        cfg.ports[0].mac_index = 2 ** 70
        self.assertEqual(cfg.ethertab, "swp1\t%d" % 2 ** 70)

    def test_plain_and_dport_chips_of_two_units(self):
        cfg = configured(skorrel.Helix4Chip(), [helix10("2", "hg1"), helix1("1", "ge0", unit=1)])
        self.assertEqual(cfg.ethertab, "swp2\t0\nswp1\t1")
        ports = [tdp(skorrel.TridentTwoPlus40GPort, "1", [0, 1, 2, 3], unit=1),
                 tdp(skorrel.TridentTwoPlus10GPort, "5", [4])]
        cfg = configured(skorrel.TridentTwoPlus_56860_Chip(), ports, "1=4x10G\n")
        self.assertEqual(cfg.ethertab, "swp1s0\t0\nswp1s1\t1\nswp1s2\t2\nswp1s3\t3\nswp5\t4")

    def test_gang_fabric_and_empty(self):
        self.assertEqual(configured(skorrel.TridentTwo_56850_Chip(), []).ethertab, "")
        ports = [td2_10(str(i + 1), i) for i in range(4)]
        ports.append(skorrel.TridentTwo10GFabricPort(label="5", serdes=[4], tx_lane_map=0,
                                                     rx_lane_map=0))
        cfg = configured(skorrel.TridentTwo_56850_Chip(), ports,
                         conf(_1="40G/4", _2="40G/4", _3="40G/4", _4="40G/4"))
        self.assertEqual(cfg.ethertab, "swp1\t0\nfp5\t4")
        cfg.ports = cfg.ports[1:4]
        self.assertEqual(cfg.ethertab, "")


# ---- port map --------------------------------------------------------------------------

class PortmapTest(unittest.TestCase):
    def test_mapped_chip_lines(self):
        ports = [td2_10(str(i + 1), i, rx_polarity_flip=bool(i % 2), tx_polarity_flip=True,
                        rx_lane_map=0x1, tx_lane_map=0x12345, mdi_pair_map=0xab)
                 for i in range(4)]
        ports.append(td2_40("5", 4, rx_lane_map=0x3210, mdi_pair_map=0))
        ports.append(td2_10("9", 8, tx_polarity_flip=False))
        cfg = configured(skorrel.TridentTwo_56850_Chip(), ports,
                         conf(_1="40G/4", _2="40G/4", _3="40G/4", _4="40G/4", _5="4x10G"))
        expected = [
            "portmap_1.0=1:40",
            "phy_xaui_rx_polarity_flip_1.0=0x000a",
            "phy_xaui_tx_polarity_flip_1.0=0x000f",
            "xgxs_rx_lane_map_1.0=0x0001",
            "xgxs_tx_lane_map_1.0=0x12345",
            "phy_mdi_pair_map_1.0=0x00ab"]
        for sub in range(4):
            key = "%d.0" % (2 + sub)
            expected += ["portmap_%s=%d:10" % (key, 5 + sub),
                         "xgxs_rx_lane_map_%s=0x3210" % key,
                         "phy_mdi_pair_map_%s=0x0000" % key]
        expected += ["portmap_6.0=9:10", "phy_xaui_tx_polarity_flip_6.0=0x0000"]
        self.assertEqual(cfg.portmap, "\n".join(expected))
        self.assertIn("\n# portmap\n" + "\n".join(expected) + "\n", cfg.output("portsbcm"))

    def test_lane_suffix(self):
        ports = [maverick(skorrel.Maverick100GPort, "1", [0, 1, 2, 3], rx_lane_map=0x1032),
                 maverick(skorrel.Maverick100GPort, "2", [4, 5, 6, 7], unit=0)]
        cfg = configured(skorrel.Maverick_56768_Chip(), ports, "2=4x25G\n")
        text = cfg.portmap
        lines = text.split("\n")
        self.assertEqual(lines[:2], ["portmap_1.0=1:100:4", "xgxs_rx_lane_map_1.0=0x1032"])
        self.assertEqual(lines[2:], ["portmap_%d.0=%d:25:1" % (2 + s, 5 + s) for s in range(4)])

    def test_physical_chain_parts(self):
        for chip in (skorrel.TridentThreeX5_56771_Chip(), OwnTomahawkTwo()):
            lanes = ":1" if chip.needs_lane_config else ""
            p = serdes_port(skorrel.TridentThree25GPort, "1", [70], "SFP28", rx_polarity_flip=True,
                            tx_polarity_flip=False, rx_lane_map=0x2, tx_lane_map=0x10000,
                            mdi_pair_map=0x5)
            cfg = configured(chip, [p])
            self.assertEqual(cfg.portmap, "\n".join([
                "portmap_73.0=71:25" + lanes,
                "phy_chain_rx_polarity_flip_physical{71.0}=0x1",
                "phy_chain_tx_polarity_flip_physical{71.0}=0x0",
                "phy_chain_rx_lane_map_physical{71.0}=0x0002",
                "phy_chain_tx_lane_map_physical{71.0}=0x10000",
                "phy_mdi_pair_map_73.0=0x0005"]))

    def test_fractional_speed_prints_its_whole_part(self):
        p = serdes_port(skorrel.TridentThreeMGPort, "1", [3], "10GBaseT", rx_lane_map=0x1)
        cfg = configured(skorrel.TridentThreeX5_56771_Chip(), [p], "1=2.5G\n")
        self.assertEqual(cfg.portmap,
                         "portmap_4.0=4:2:1\nphy_chain_rx_lane_map_physical{4.0}=0x0001")

    def test_physical_chain_breakout(self):
        p = serdes_port(skorrel.TridentThree100GPort, "1", [62, 63, 64, 65], "QSFP28",
                        rx_polarity_flip=0x5, tx_lane_map=0x0123)
        cfg = configured(skorrel.TridentThreeX7_56873_Chip(), [p], "1=4x25G\n")
        lines = cfg.portmap.split("\n")
        self.assertEqual(lines[0::3], ["portmap_63.0=63:25", "portmap_64.0=64:25",
                                       "portmap_67.0=65:25", "portmap_68.0=66:25"])
        self.assertEqual([l.split("=")[0] for l in lines[1::3]],
                         ["phy_chain_rx_polarity_flip_physical{%d.0}" % n
                          for n in range(63, 67)])
        self.assertEqual(lines[2::3], ["phy_chain_tx_lane_map_physical{%d.0}=0x0123" % n
                                       for n in range(63, 67)])

    def test_serdes_values_alone(self):
        p = maverick(skorrel.Maverick100GPort, "1", [0, 1, 2, 3])
        cfg = configured(skorrel.Maverick_56768_Chip(), [p])
        self.assertEqual(cfg.portmap, "portmap_1.0=1:100:4")
        self.assertEqual(configured(skorrel.Maverick_56768_Chip(), []).portmap, "")

    def test_numbers_at_the_integer_limit(self):
        class Wide(pelvane.SDKConfiguredMappedPort):
            def hw_intf_num_portmap(self, sub):
                return sys.maxint

        cfg = configured(skorrel.TridentTwo_56850_Chip(), [td2_10("1", 0)])
        cfg.ports[0].__class__ = Wide
        self.assertEqual(cfg.portmap, "portmap_1.0=%d:10" % (sys.maxint + 1))

    def test_not_portmap_capable(self):
        for chip in (PortmapOneChip(), skorrel.Helix4Chip()):
            cfg = configured(chip, [], name="nomap")
            with self.assertRaises(RuntimeError) as caught:
                cfg.portmap
            self.assertEqual(str(caught.exception), "platform: nomap is not portmap capable")

    def test_chip_module_imported_when_needed(self):
        out = printed(self, [
            "import sys, pelvane, skorrel",
            "assert 'quorvel.platform' not in sys.modules",
            "from test_pelvane_sections import configured, td2_10, serdes_port",
            "cfg = configured(skorrel.TridentTwo_56850_Chip(), [td2_10('1', 0)])",
            "print cfg.portmap",
            "print 'quorvel.platform' in sys.modules",
            "cfg = configured(skorrel.TomahawkTwo_56970_Chip(),",
            "                 [serdes_port(skorrel.Tomahawk25GPort, '1', [1], 'SFP28',",
            "                              rx_lane_map=7)])",
            "print cfg.portmap",
            "print 'quorvel.platform' in sys.modules"])
        self.assertEqual(out, "portmap_1.0=1:10\nFalse\n"
                              "portmap_2.0=2:25\nphy_chain_rx_lane_map_physical{2.0}=0x0007\n"
                              "True\n")


# ---- dport map ---------------------------------------------------------------------------

class DportmapTest(unittest.TestCase):
    def test_entries_of_two_units(self):
        ports = [tdp(skorrel.TridentTwoPlus40GPort, "1", [0, 1, 2, 3]),
                 tdp(skorrel.TridentTwoPlus10GPort, "2", [4]),
                 tdp(skorrel.TridentTwoPlus10GPort, "3", [0], unit=1),
                 tdp(skorrel.TridentTwoPlus40GPort, "4", [4, 5, 6, 7], unit=1)]
        cfg = configured(skorrel.TridentTwoPlus_56860_Chip(), ports, "1=4x10G\n4=4x10G\n")
        expected = ["dport_map_enable=1\n"]
        expected += ["dport_map_port_%d.0=%d" % (n, n) for n in range(1, 6)]
        expected += ["dport_map_port_%d.1=%d" % (n, n) for n in range(1, 6)]
        self.assertEqual(cfg.dportmap, "\n".join(expected))
        self.assertTrue(cfg.dportmap.startswith("dport_map_enable=1\n\ndport_map_port_1.0=1\n"))
        self.assertIn("\n# dport map\n" + "\n".join(expected) + "\n", cfg.output("portsbcm"))

    def test_numbers_above_64_and_gang_members(self):
        ports = [serdes_port(skorrel.TridentThree25GPort, str(i + 1), [68 + i], "SFP28")
                 for i in range(4)]
        cfg = configured(skorrel.TridentThreeX7_56870_Chip(), ports,
                         conf(_1="100G/4", _2="100G/4", _3="100G/4", _4="100G/4"))
        self.assertEqual(cfg.dportmap, "dport_map_enable=1\n\ndport_map_port_71.0=1")
        cfg = configured(skorrel.TridentThreeX7_56870_Chip(), ports)
        self.assertEqual(cfg.dportmap, "\n".join(
            ["dport_map_enable=1\n"] + ["dport_map_port_%d.0=%d" % (71 + i, 1 + i)
                                         for i in range(4)]))

    def test_numbers_at_the_integer_limit(self):
        class Wide(pelvane.BCMConfiguredDportPort):
            def sdk_unit_intf_num(self, sub):
                return sys.maxint

        cfg = configured(skorrel.TridentTwoPlus_56860_Chip(),
                         [tdp(skorrel.TridentTwoPlus10GPort, "1", [0])])
        cfg.ports[0].__class__ = Wide
        self.assertEqual(cfg.dportmap, "dport_map_enable=1\n\ndport_map_port_1.0=%d"
                         % (sys.maxint + 1))

    def test_empty_and_not_capable(self):
        self.assertEqual(configured(skorrel.TridentTwoPlus_56860_Chip(), []).dportmap,
                         "dport_map_enable=1\n")
        for chip in (DportOneChip(), skorrel.TridentTwo_56850_Chip()):
            cfg = configured(chip, [], name="nodport")
            with self.assertRaises(RuntimeError) as caught:
                cfg.dportmap
            self.assertEqual(str(caught.exception), "platform nodport is not dportmap capable")


# ---- port list compression ---------------------------------------------------------------

class CompressTest(unittest.TestCase):
    def setUp(self):
        self.cfg = pelvane.BCMConfig(platform(skorrel.Helix4Chip(), []), dummy=True)

    def compress(self, *names):
        return self.cfg._compress_portlist(list(names))

    def test_cases(self):
        self.assertEqual(self.compress(), "")
        self.assertEqual(self.compress("xe7"), "xe7")
        self.assertEqual(self.compress("xe0", "xe1"), "xe0,xe1")
        self.assertEqual(self.compress("xe2", "xe0", "xe1"), "xe0-xe2")
        self.assertEqual(self.compress("xe0", "xe1", "xe3", "xe4"), "xe0,xe1,xe3,xe4")
        self.assertEqual(self.compress("xe2", "xe0", "xe1", "ce4", "xe5", "xe6"),
                         "ce4,xe0-xe2,xe5,xe6")
        self.assertEqual(self.compress("xe4", "ce3", "ce2", "ce1"), "ce1-ce3,xe4")
        self.assertEqual(self.compress("xe1", "hg2", "ge3", "ce4"), "ce4,ge3,hg2,xe1")
        self.assertEqual(self.compress("xe0", "xe1", "xe1", "xe2"), "xe0,xe1,xe1,xe2")
        self.assertEqual(self.compress("xe999", "xe1000", "xe998", "xe997"),
                         "xe1000,xe997-xe999")
        self.assertEqual(self.compress(*["xe%d" % n for n in range(60, 140)]), "xe60-xe139")
        self.assertEqual(self.compress("xe05", "xe4", "xe3"), "xe3-xe05")
        self.assertEqual(self.cfg._compress_portlist(portlist=("xe3", "xe1", "xe2")), "xe1-xe3")
        self.assertEqual(self.cfg._compress_portlist(n for n in ("xe3", "xe1", "xe2")), "xe1-xe3")

    def test_runs_and_stability(self):
        # Equal sort keys (xe5 and xe005) keep their input order.
        self.assertEqual(self.compress("xe005", "xe5", "xe4"), "xe4,xe005,xe5")
        self.assertEqual(self.compress("xe5", "xe005", "xe4"), "xe4,xe5,xe005")
        many = ["xe%d" % n for n in range(0, 1000, 2)] + ["ce%d" % n for n in range(500)]
        random.Random(5).shuffle(many)
        self.assertEqual(self.compress(*many),
                         "ce0-ce499," + ",".join("xe%d" % n for n in range(0, 1000, 2)))

    def test_wide_and_signed_numbers(self):
        big = ["xe%d" % (10 ** 20 + n) for n in (2, 0, 1)]
        self.assertEqual(self.compress(*big), "xe%d-xe%d" % (10 ** 20, 10 ** 20 + 2))
        self.assertEqual(self.compress("xe-2", "xe-1", "xe+3"), "xe-1,xe-2,xe+3")
        self.assertEqual(self.compress("xe 4", "xe5", "xe3"), "xe3-xe5")

    def test_against_the_rule(self):
        # The rule written out: sort by "%s%03u", runs of equal "%s%u" of the
        # prefix and position less number, three or more names as a range.
        def rule(portlist):
            ordered = sorted(portlist, key=lambda n: "%s%03u" % (n[:2], int(n[2:])))
            runs = itertools.groupby(enumerate(ordered),
                                     lambda t: "%s%u" % (t[1][:2], t[0] - int(t[1][2:])))
            items = []
            for _, run in runs:
                run = [name for _, name in run]
                items += ["%s-%s" % (run[0], run[-1])] if len(run) >= 3 else run
            return ",".join(items)

        rnd = random.Random(10)
        for _ in range(300):
            names = ["%s%d" % (rnd.choice(("xe", "ce", "ge", "hg", "x1")), rnd.randrange(-3, 1200))
                     for _ in range(rnd.randrange(12))]
            names += rnd.sample(["xe%d" % n for n in range(20)], rnd.randrange(10))
            rnd.shuffle(names)
            self.assertEqual(self.cfg._compress_portlist(names), rule(names), names)

    def test_bad_names(self):
        self.assertRaises(ValueError, self.compress, "xe1", "swp")
        self.assertRaises(ValueError, self.compress, "xe")
        self.assertRaises(TypeError, self.compress, "xe1", 5)


# ---- PHY property sections ---------------------------------------------------------------

class AnPort(skorrel.TridentTwo10GPort):
    """A port whose autonegotiation modes a test chooses."""
    c37 = c73 = None

    def an_c37(self, *args):
        return self.c37

    def an_c73(self, *args):
        return self.c73


def an_port(label, serdes, c37, c73, unit=0, **kw):
    p = AnPort(label=label, serdes=[serdes], phy_types=None, phy_addrs=None, phy_layer="SFP+",
               leds=None, unit=unit, **kw)
    p.c37, p.c73 = c37, c73
    return p


SECTIONS = ("phy_an", "prim_offsets", "phy_id1s", "sys_interfaces", "fiber_pref")


class PhySectionsTest(unittest.TestCase):
    def sections(self, cfg):
        return [getattr(cfg, name) for name in SECTIONS]

    def test_nothing_configured(self):
        cfg = pelvane.BCMConfig(platform(skorrel.Helix4Chip(), [helix10("1", "hg0")]), dummy=True)
        self.assertEqual(self.sections(cfg), [""] * 5)
        self.assertFalse(hasattr(cfg, "units"))
        out = configured(skorrel.Helix4Chip(), []).output("portsbcm")
        self.assertTrue(out.endswith("\n# autoneg\n\n\n# prime_offsets\n\n\n# phy_id1s\n\n"
                                     "\n# sys_interfaces\n"))

    def test_plain_chip_one_unit(self):
        ports = [helix10("1", "hg0"), helix1("2", "ge3", prim_offset=0), helix10("3", "hg2")]
        ports[0].phy_id1, ports[0].sys_interface = 0x1234, 0
        ports[1].set_fiber_pref = True
        ports[2].prim_offset, ports[2].phy_id1, ports[2].sys_interface = 0x102, 0, 2 ** 70
        cfg = configured(skorrel.Helix4Chip(), ports)
        self.assertEqual([p.sdk_intf(0) for p in cfg.ports], ["xe0", "ge3", "xe2"])
        self.assertEqual(cfg.prim_offsets, "phy_port_primary_and_offset_ge3=0x0\n"
                                           "phy_port_primary_and_offset_xe2=0x102")
        numbers = [p.sdk_logical_port_num(0) for p in cfg.ports]
        self.assertEqual(cfg.phy_id1s, "port_phy_id1_%d=0x1234\nport_phy_id1_%d=0x0"
                         % (numbers[0], numbers[2]))
        self.assertEqual(cfg.sys_interfaces, "phy_sys_interface_xe0.0=0x0\n"
                                             "phy_sys_interface_xe2.0=0x400000000000000000")
        self.assertEqual(cfg.fiber_pref, "serdes_fiber_pref_ge3=1")
        self.assertEqual(cfg.phy_an, "")
        out = cfg.output("portsbcm")
        self.assertTrue(out.endswith("\n# fiber pref\nserdes_fiber_pref_ge3=1"))

    def test_autoneg_values(self):
        ports = [an_port("1", 0, "off", "on"), an_port("2", 1, "bam", None),
                 an_port("3", 2, None, "auto"), an_port("4", 3, "weird", "OFF"),
                 an_port("5", 4, u"auto", "off")]
        cfg = configured(skorrel.TridentTwo_56850_Chip(), ports)
        self.assertEqual(cfg.phy_an, "\n".join([
            "phy_an_c37_1=0", "phy_an_c73_1=2", "phy_an_c37_2=1", "phy_an_c73_3=3",
            "phy_an_c37_5=3", "phy_an_c73_5=0"]))
        ports[0].c37 = ["unhashable"]
        self.assertRaises(TypeError, lambda: cfg.phy_an)

    def test_breakout_two_units_and_gang_members(self):
        class Breakout(skorrel.TridentTwo40GPort):
            an_c37 = lambda self, *a: "on"
            an_c73 = lambda self, *a: "bam"
            set_fiber_pref = True

        b = Breakout(label="1", serdes=[0, 1, 2, 3], phy_types=None, phy_addrs=None,
                     phy_layer="QSFP+", leds=None, unit=1, prim_offset=3, phy_id1=4,
                     sys_interface=5)
        members = [td2_10(str(i + 2), 8 + i, prim_offset=i, phy_id1=0x10 + i,
                          sys_interface=0x20 + i) for i in range(4)]
        for m in members:
            m.set_fiber_pref = True
        ports = members + [b]
        cfg = configured(skorrel.TridentTwo_56850_Chip(), ports,
                         conf(_1="4x10G", _2="40G/4", _3="40G/4", _4="40G/4", _5="40G/4"))
        self.assertEqual(cfg.units, set([0, 1]))
        self.assertEqual([p.num_logical_ports for p in cfg.ports], [1, 0, 0, 0, 4])
        an = []
        for sub in range(4):
            an += ["phy_an_c37_%d.1=2" % (1 + sub), "phy_an_c73_%d.1=1" % (1 + sub)]
        self.assertEqual(cfg.phy_an, "\n".join(an))
        self.assertEqual(cfg.fiber_pref, "\n".join(
            ["serdes_fiber_pref_1.0=1"] + ["serdes_fiber_pref_%d.1=1" % (1 + s)
                                            for s in range(4)]))
        # Members without logical ports still write their sub-port 0, under
        # the number after the leader's.
        keys = ["1.0", "2.0", "2.0", "2.0", "1.1"]
        self.assertEqual([p.sdk_config_intf(0, 2) for p in cfg.ports], keys)
        self.assertEqual(cfg.prim_offsets, "\n".join(
            "phy_port_primary_and_offset_%s=0x%x" % (k, v) for k, v in zip(keys, [0, 1, 2, 3, 3])))
        self.assertEqual(cfg.phy_id1s, "\n".join(
            "port_phy_id1_%d=0x%x" % kv
            for kv in zip([1, 2, 2, 2, 1], [0x10, 0x11, 0x12, 0x13, 4])))
        self.assertEqual(cfg.sys_interfaces, "\n".join(
            "phy_sys_interface_%s=0x%x" % (k, v)
            for k, v in zip(keys, [0x20, 0x21, 0x22, 0x23, 5])))

    def test_one_unit_keys(self):
        p = an_port("1", 0, "auto", None, prim_offset=1, phy_id1=2, sys_interface=3)
        p.set_fiber_pref = 1
        cfg = configured(skorrel.TridentTwo_56850_Chip(), [p])
        self.assertEqual(self.sections(cfg), [
            "phy_an_c37_1=3", "phy_port_primary_and_offset_1=0x1", "port_phy_id1_1=0x2",
            "phy_sys_interface_1.0=0x3", "serdes_fiber_pref_1=1"])
        for value in (None, False, 0):
            p.set_fiber_pref = value
            self.assertEqual(cfg.fiber_pref, "")

    def test_dport_numbers_above_64(self):
        ports = [serdes_port(skorrel.TridentThree25GPort, str(i + 1), [62 + i], "SFP28",
                             phy_id1=i, prim_offset=2 ** 65) for i in range(4)]
        cfg = configured(skorrel.TridentThreeX7_56870_Chip(), ports)
        self.assertEqual(cfg.phy_id1s, "port_phy_id1_63=0x0\nport_phy_id1_64=0x1\n"
                                       "port_phy_id1_67=0x2\nport_phy_id1_68=0x3")
        self.assertEqual(cfg.prim_offsets.split("\n"),
                         ["phy_port_primary_and_offset_%d=0x20000000000000000" % n
                          for n in (63, 64, 67, 68)])


if __name__ == "__main__":
    unittest.main()
