"""SDKConfig's own share: the model stage, the LED controller set-up, the
port table with its devices, the PHY and SFP tables, the PHY start-up
commands, the port start-up scripts and the choice of output file by key.

Configured ports are stood in for by small objects made here, so each
generator is seen on exactly the answers it is given."""
import os
import unittest

import pelvane
import quillet
import skorrel


class PlainChip(skorrel.Hurricane2Chip):
    pass


class MappedChip(skorrel.Hurricane2Chip):
    portmap_capable = True


class DportChip(skorrel.Hurricane2Chip):
    portmap_capable = True
    dport_capable = True


def platform_of(chip, ports=(), **switch_attrs):
    sw = skorrel.BCMSwitch(chip)
    sw.ports = list(ports)
    sw.glimmet = None
    for name, value in switch_attrs.items():
        setattr(sw, name, value)
    platform = skorrel.Platform()
    platform.name = "testbox"
    platform.switch = sw
    return platform


class Calls(list):
    """A recorder of calls: each call appends its name and arguments."""

    def maker(self, name, answer=None):
        def call(*args):
            self.append((name,) + args)
            return answer(*args) if callable(answer) else answer
        return call


class Recording(pelvane.SDKConfig):
    """SDKConfig with the model steps of other sources recorded."""

    def _calculate_units(self):
        self.calls.append("units")

    def _calculate_gangs(self, ports):
        self.calls.append(("gangs", ports))


def configuration(chip, ports=(), cls=Recording, **switch_attrs):
    cfg = cls(platform_of(chip, ports, **switch_attrs), dummy=True)
    cfg.calls = Calls()
    return cfg


class Patched(object):
    """Module globals of pelvane replaced for the life of a test."""

    def __init__(self, test, **names):
        for name, value in names.items():
            old = getattr(pelvane, name)
            test.addCleanup(setattr, pelvane, name, old)
            setattr(pelvane, name, value)


class Made(object):
    """Stands in for the configured-port classes: keeps its arguments."""

    def __init__(self, *args):
        self.args = args
        self.mode, self.physical_port = args[0], args[1]
        self.loopback = args[-1]

    @property
    def num_logical_ports(self):
        return self.physical_port.num_logical_ports(self.mode)

    @property
    def leds(self):
        return self.physical_port.leds

    @property
    def unit(self):
        return self.physical_port.unit


def h2_port(label, hw_port, unit=0, leds=None, cls=skorrel.Hurricane210GPort):
    return cls(label=label, hw_port=hw_port, phy_type=None, phy_addr=None, phy_layer="SFP+",
               leds=leds, unit=unit)


class Mangled(skorrel.Hurricane210GPort):
    """A port that stands for two (platform port, mode) pairs."""

    def port_mangler(self, mode):
        return [(self, mode), (self.partner, mode)]


class ModelStage(unittest.TestCase):
    def setUp(self):
        Patched(self, SDKConfiguredPort=Made, SDKConfiguredMappedPort=Made,
                BCMConfiguredDportPort=Made)
        self.logged = Calls()
        self.written = Calls()

        class Syslog(object):
            syslog = staticmethod(self.logged.maker("syslog"))

        class Stdout(object):
            write = staticmethod(self.written.maker("write"))

        class Sys(object):
            stdout = Stdout()

        Patched(self, syslog=Syslog(), sys=Sys())

    def test_construction_reads_the_six_fragments_in_order(self):
        asked = []

        class Reading(pelvane.SDKConfig):
            def read_config(self, key):
                asked.append(key)

        cfg = Reading(platform_of(PlainChip()), dummy=True)
        self.assertEqual(asked, ["uft.json", "riot.json", "hw_desc", "rc.forwarding",
                                 "datapath.conf", "sdk.bcm"])
        self.assertEqual(cfg.macmode, "standard")
        self.assertEqual(cfg.ports, [])
        for name in ("mapped_portnums", "_led_programs", "units"):
            self.assertFalse(hasattr(cfg, name), name)
        plain = pelvane.SDKConfig(platform_of(PlainChip()), dummy=True)
        self.assertIsNone(plain.uft)
        self.assertIsNone(plain.riot)
        self.assertIsNotNone(plain.sdk_bcm)

    def test_numbering_per_unit_loopback_disabled_and_fabric(self):
        ports = [h2_port("1", "xe0"), h2_port("2", "xe1"), h2_port("3", "xe2"),
                 h2_port("4", "xe3", unit=1), h2_port("5", "ge0", unit=1,
                                                     cls=skorrel.Hurricane21GPort),
                 skorrel.Hurricane213GFabricPort(label="6", hw_port="hg0", unit=1)]
        cfg = configuration(PlainChip(), ports)
        cfg.config("1=loopback\n2=disabled\nFabric-6=13G\n")
        made = cfg.ports
        self.assertEqual([m.physical_port.label for m in made], ["1", "3", "4", "5", "6"])
        # (mode, platform port, port_base, mac_index, loopback)
        self.assertEqual([m.args[2:] for m in made],
                         [(1, 0, True), (2, 1, False), (1, 2, False), (2, 3, False),
                          (3, 4, False)])
        self.assertEqual([m.mode for m in made], ["10G", "10G", "10G", "1G", "13G"])
        self.assertIs(made[0].args[1], ports[0])
        self.assertEqual(cfg.mapped_portnums, {0: 3, 1: 4})
        # the fabric port without create_fabric adds no MAC address: 4 used
        self.assertEqual(self.written, [])
        self.assertEqual(cfg.calls, ["units", ("gangs", made)])
        self.assertIs(cfg.calls[1][1], cfg.ports)

    def test_dport_interface_numbers_per_unit_and_prefix(self):
        ports = [h2_port("1", "xe0"), h2_port("2", "ge0", cls=skorrel.Hurricane21GPort),
                 h2_port("3", "xe1"), h2_port("4", "ge1", cls=skorrel.Hurricane21GPort),
                 h2_port("5", "xe2", unit=1)]
        cfg = configuration(DportChip(), ports)
        cfg.config("")
        # (mode, port, port_base, if_port_base, mac_index, loopback)
        self.assertEqual([m.args[2:] for m in cfg.ports],
                         [(1, 1, 0, False), (2, 1, 1, False), (3, 2, 2, False),
                          (4, 2, 3, False), (1, 1, 4, False)])

    def test_class_choice_by_identity_with_true(self):
        chosen = []

        def maker(kind):
            def make(*args):
                chosen.append((kind, len(args)))
                return Made(*args)
            return make

        Patched(self, SDKConfiguredPort=maker("plain"), SDKConfiguredMappedPort=maker("mapped"),
                BCMConfiguredDportPort=maker("dport"))

        class OneChip(DportChip):
            dport_capable = 1

        class NoneChip(DportChip):
            dport_capable = None
            portmap_capable = 1

        for chip, kind in ((DportChip(), ("dport", 6)), (MappedChip(), ("mapped", 5)),
                           (OneChip(), ("mapped", 5)), (NoneChip(), ("plain", 5)),
                           (PlainChip(), ("plain", 5))):
            del chosen[:]
            configuration(chip, [h2_port("1", "xe0")]).config("")
            self.assertEqual(chosen, [kind], chip)

    def test_port_mangler_pairs(self):
        first, second = Mangled(**self.kw("1", "xe0")), h2_port("9", "xe5")
        first.partner = second
        cfg = configuration(PlainChip(), [first])
        cfg.config("")
        self.assertEqual([(m.physical_port, m.args[2:]) for m in cfg.ports],
                         [(first, (1, 0, False)), (second, (2, 1, False))])

        class Bad(skorrel.Hurricane210GPort):
            def port_mangler(self, mode):
                return [(self, mode, 1)]

        bad = configuration(PlainChip(), [h2_port("1", "xe0"), Bad(**self.kw("2", "xe1"))])
        with self.assertRaises(ValueError) as raised:
            bad.config("")
        self.assertEqual(str(raised.exception), "too many values to unpack")
        self.assertEqual(bad.ports, [])  # failure before numbering: none made

    @staticmethod
    def kw(label, hw_port):
        return dict(label=label, hw_port=hw_port, phy_type=None, phy_addr=None,
                    phy_layer="SFP+", leds=None, unit=0)

    def test_failing_port_leaves_ports_half_built(self):
        class Failing(skorrel.Hurricane210GPort):
            def mac_addrs_contrib_total(self, config_map):
                raise RuntimeError("no count")

        cfg = configuration(PlainChip(), [h2_port("1", "xe0"), Failing(**self.kw("2", "xe1")),
                                          h2_port("3", "xe2")])
        with self.assertRaises(RuntimeError):
            cfg.config("")
        self.assertEqual(len(cfg.ports), 2)
        self.assertEqual(cfg.mapped_portnums, {0: 3})

    def test_mac_shortage(self):
        for count, mode in ((255, "standard"), (256, "l3-only")):
            del self.logged[:]
            ports = [h2_port(str(i + 1), "xe%d" % i) for i in range(count)]
            cfg = configuration(PlainChip(), ports)
            self.assertEqual(cfg.macrange, 255)
            cfg.config("")
            self.assertEqual(cfg.macmode, mode)
            self.assertEqual(self.logged, [] if count == 255 else
                             [("syslog", "Not enough macs in platform, falling to l3-only")])

    def test_verbose_trace_and_empty_platform(self):
        cfg = Recording(platform_of(PlainChip()), True, dummy=True)
        cfg.calls = Calls()
        cfg.config("")
        self.assertEqual(cfg._calculate_configuration(), 0)
        self.assertEqual((cfg.ports, cfg.mapped_portnums), ([], {}))
        self.assertEqual(self.written, [("write", "max_mac_index 0 macrange 255\n")])
        self.assertEqual(cfg.calls, ["units", ("gangs", [])])


class Controller(object):
    made = []

    def __init__(self):
        Controller.made.append(self)

    def configure(self, controller, ports):
        self.configured = (controller, [p.physical_port.label for p in ports])


class LEDs(unittest.TestCase):
    def setUp(self):
        Patched(self, SDKConfiguredPort=Made)
        del Controller.made[:]

    def configured(self, leds, **switch_attrs):
        ports = [h2_port(str(i + 1), "xe%d" % i, leds=l) for i, l in enumerate(leds)]
        cfg = configuration(PlainChip(), ports, **switch_attrs)
        cfg.config("")
        return cfg

    def test_controllers_of_the_ports_in_ascending_order(self):
        cfg = self.configured([(1, 0), None, (0, 3), (1, 1), [0, 2]], glimmet=Controller)
        self.assertEqual([c.configured for c in Controller.made],
                         [(0, ["3", "5"]), (1, ["1", "4"])])
        self.assertEqual(cfg._led_programs, {0: Controller.made[0], 1: Controller.made[1]})

    def test_no_leds_no_controllers(self):
        cfg = self.configured([None, None], glimmet=Controller)
        self.assertEqual(cfg._led_programs, {})
        self.assertEqual(Controller.made, [])

    def test_named_controllers_and_a_table_of_classes(self):
        class Other(Controller):
            pass

        cfg = self.configured([(0, 0), (0, 1)], glimmet={0: Controller, 1: Other},
                              led_controllers=[1, 0])
        self.assertEqual([(type(c), c.configured) for c in Controller.made],
                         [(Controller, (0, ["1", "2"])), (Other, (1, []))])
        self.assertEqual(sorted(cfg._led_programs), [0, 1])

    def test_type_error_falls_back_to_the_attribute_itself(self):
        def failing():
            raise TypeError("not this way")

        class Callable(object):
            def __getitem__(self, index):
                return failing

            def __call__(self):
                return Controller()

        self.configured([(0, 0)], glimmet=Callable())
        self.assertEqual([c.configured for c in Controller.made], [(0, ["1"])])

        class Broken(object):
            def __getitem__(self, index):
                raise KeyError(index)

        with self.assertRaises(KeyError):
            self.configured([(0, 0)], glimmet=Broken())
        with self.assertRaises(IndexError):
            self.configured([()], glimmet=Controller)

    def test_second_run_replaces_the_objects(self):
        cfg = self.configured([(0, 0)], glimmet=Controller)
        first = cfg._led_programs
        cfg.config("")
        self.assertIsNot(cfg._led_programs, first)
        self.assertIsNot(cfg._led_programs[0], first[0])


class Port(object):
    """A configured port as the generators see it."""

    def __init__(self, label, subs=1, unit=0, mode="10G", speed=10, fabric=False,
                 create_fabric=False, loopback=False, group=None, phys=(), phy_init=None,
                 sfp=None, names=None, intfs=None, prefix="xe", first=0, logical=None,
                 mac=0):
        self.label, self.n, self.unit, self.mode, self.speed = label, subs, unit, mode, speed
        self.is_fabric, self.create_fabric, self.loopback = fabric, create_fabric, loopback
        self.sdk_group, self.phys, self.phy_init = group, list(phys), phy_init
        self.physical_port = type("PlatformPort", (object,), {})()
        self.physical_port.sfp = sfp
        self.names, self.intfs, self.prefix, self.first = names, intfs, prefix, first
        self.logical, self.mac = logical, mac

    num_logical_ports = property(lambda self: self.n)
    num_phys = property(lambda self: len(self.phys))

    def linux_port_name(self, sub):
        if self.names:
            return self.names[sub]
        return "swp%s" % self.label if self.n < 2 else "swp%ss%u" % (self.label, sub)

    def sdk_intf(self, sub):
        if self.intfs:
            return self.intfs[sub]
        return "%s%u" % (self.prefix, self.first + sub)

    def sdk_logical_port_num(self, sub):
        return self.logical + sub

    def port_mac_index(self, sub):
        return self.mac + sub

    def phy_addr(self, phy):
        return self.phys[phy]


class Sfp(object):
    def __init__(self, type, accessmethod, address):
        self.type, self.accessmethod, self.address = type, accessmethod, address


class Generators(unittest.TestCase):
    def cfg(self, ports, chip=None):
        cfg = pelvane.SDKConfig(platform_of(chip or PlainChip()), dummy=True)
        cfg.ports = ports
        return cfg

    def test_phytab_and_rcphy(self):
        init = type("Regs", (object,), {
            "keys": ["1.0xc", "1.0x1f", "7.3"],
            "__iter__": lambda self: iter(self.keys),
            "__getitem__": lambda self, k: {"1.0xc": "0x55", "1.0x1f": 7, "7.3": "0"}[k]})()
        ports = [Port("1", subs=0, phys=[5], phy_init=init),        # no logical port yet
                 Port("2", subs=4, mode="4x10G", phys=[28, 29, 30, 31], phy_init=init),
                 Port("3", subs=1, phys=[16, 17, 18, 19], first=8, phy_init=init),
                 Port("4", subs=0, phys=[2], phy_init=init),
                 Port("5", subs=2, phys=[]), Port("6", subs=1, phys=[3], first=12,
                                                  phy_init={})]
        cfg = self.cfg(ports)
        self.assertEqual(cfg.phytab, "\n".join([
            "0x5\tNone\tNone\t10G",
            "0x1c\tswp2s0\txe0\t4x10G", "0x1d\tswp2s1\txe1\t4x10G",
            "0x1e\tswp2s2\txe2\t4x10G", "0x1f\tswp2s3\txe3\t4x10G",
            "0x10\tswp3\txe8\t10G", "0x11\tswp3\txe8\t10G", "0x12\tswp3\txe8\t10G",
            "0x13\tswp3\txe8\t10G",
            "0x2\tswp3\txe8\t10G",
            "0x3\tswp6\txe12\t10G"]))
        regs = lambda addr: ["phy raw c45 %d 1.0xc 0x55" % addr, "phy raw c45 %d 1.0x1f 7" % addr,
                             "phy raw c45 %d 7.3 0" % addr]
        self.assertEqual(cfg.rcphy, "\n".join(regs(28) + regs(29) + regs(30) + regs(31) +
                                              regs(16)))
        empty = self.cfg([Port("1", phys=[])])
        self.assertEqual((empty.phytab, empty.rcphy), ("", ""))
        self.assertEqual(self.cfg([]).output("phytab"), "# phy_addr\tlinux_intf\tsdk_intf\n")

    def test_sfptab(self):
        ports = [Port("1", sfp=Sfp("SFP+", "i2c", 10)),
                 Port("2", subs=4, sfp=Sfp("QSFP28", "bcm_sdk_i2c", 10)),
                 Port("3", sfp=None), Port("4", sfp=0),
                 Port("5", subs=0, sfp=Sfp("QSFP+", "sdk_i2c", "0x50")),
                 Port("6", sfp=Sfp("SFP28", "x_sdk_sdk", 255))]
        cfg = self.cfg(ports)
        self.assertEqual(cfg.sfptab, "\n".join([
            "swp1\tSFP+\ti2c\t10",
            "swp2s0\tQSFP28\tbcm_sdk_i2c\t0xa", "swp2s1\tQSFP28\tbcm_sdk_i2c\t0xa",
            "swp2s2\tQSFP28\tbcm_sdk_i2c\t0xa", "swp2s3\tQSFP28\tbcm_sdk_i2c\t0xa",
            "swp5\tQSFP+\tsdk_i2c\t0x50",
            "swp6\tSFP28\tx_sdk_sdk\t0xff"]))
        self.assertEqual(self.cfg([Port("1")]).output("sfptab"),
                         "# linux_intf\tmode\tsfp_addrtype\tsfp_addr\n")
        with self.assertRaises(TypeError):
            self.cfg([Port("1", sfp=Sfp("SFP+", "my_sdk", "0x50"))]).sfptab

    def test_rcports(self):
        lists = []

        class Compressing(pelvane.SDKConfig):
            def _compress_portlist(self, portlist):
                lists.append(list(portlist))
                return "|".join(portlist)

        cfg = Compressing(platform_of(PlainChip()), dummy=True)
        cfg.ports = [Port("1", subs=4, speed=10, first=0, group="g2"),
                     Port("2", subs=1, speed=100, prefix="ce", first=0, loopback=True,
                          group="g1"),
                     Port("3", subs=1, speed=2.5, prefix="ge", first=3, unit=1),
                     Port("4", subs=0, speed=40),
                     Port("5", subs=2, speed=1, prefix="ge", first=0, group="g2"),
                     Port("6", subs=1, speed=10.0, first=9, loopback=1)]
        self.assertEqual(cfg.rcports(0), "\n".join([
            "setenv allports xe0|xe1|xe2|xe3|ce0|ge0|ge1|xe9",
            "setenv 1Gports ge0|ge1",
            "setenv 10Gports xe0|xe1|xe2|xe3|xe9",
            "setenv 100Gports ce0",
            "setenv lbports ce0|xe9",
            "port $lbports lb=mac",
            "setenv sdk_group_g1 ce0",
            "setenv sdk_group_g2 xe0|xe1|xe2|xe3|ge0|ge1"]))
        self.assertEqual(cfg.output("rcports_1"), "setenv allports ge3\nsetenv 2.5Gports ge3")
        self.assertEqual(cfg.output("rcports_7"), "setenv allports ")
        self.assertEqual(cfg.output("rcports_x_0"), cfg.rcports(0))
        with self.assertRaises(ValueError):
            cfg.output("rcports_")
        with self.assertRaises(ValueError):
            cfg.output("rcports_x")


class Tools(object):
    """The ip and brindlet wrappers: canned answers, every command kept."""

    def __init__(self, name, calls, answers):
        self.name, self.calls, self.answers = name, calls, answers

    def run(self, args):
        self.calls.append((self.name, list(args)))
        return self.answers.get(" ".join(args), "")


class Devices(pelvane.SDKConfig):
    def maketap(self, name, index, devices):
        self.calls.append(("maketap", name, index, sorted(devices)))
        devices.discard(name)

    def makekernnet(self, name, index, unit, devices):
        self.calls.append(("makekernnet", name, index, unit, sorted(devices)))
        devices.discard(name)

    def destroyints(self, devices):
        self.calls.append(("destroyints", sorted(devices)))


class PortTable(unittest.TestCase):
    def setUp(self):
        old = os.environ.get("BRINDLET_USE_TUNTAP")
        self.addCleanup(self.restore, old)
        os.environ.pop("BRINDLET_USE_TUNTAP", None)

    @staticmethod
    def restore(old):
        if old is None:
            os.environ.pop("BRINDLET_USE_TUNTAP", None)
        else:
            os.environ["BRINDLET_USE_TUNTAP"] = old

    def table(self, chip, ports, answers=(), platform_ports=()):
        cfg = Devices(platform_of(chip, platform_ports), dummy=True)
        cfg.calls = Calls()
        cfg.iproute2 = Tools("ip", cfg.calls, dict(answers))
        cfg.brindlet = Tools("brindlet", cfg.calls, dict(answers))
        cfg.ports = ports
        return cfg

    def ports(self):
        return [Port("1", subs=4, mode="4x10G", logical=5, mac=4),
                Port("2", subs=0),
                Port("3", subs=1, fabric=True, prefix="hg", first=2, logical=20, mac=9,
                     loopback=True, unit=1),
                Port("4", subs=1, fabric=True, create_fabric=True, first=3, logical=21,
                     mac=10, unit=1),
                Port("5", subs=1, fabric=1, first=4, logical=22, mac=11)]

    def test_kernel_devices_on_a_dport_chip(self):
        answers = {"show type bcm_knet": "swp1s0 bcm_knet unit 0\n"
                                         " indented line\nswitch x\nswid y\nswp9 z\nfp3\n",
                   "-o link show": "1: lo: <LOOPBACK>\n7: switch0: <UP>\n8: swp1s0: x\n"
                                   "9: eth0@switch1: <>\nnocolon\n"}
        cfg = self.table(DportChip(), self.ports(), answers)
        rows = cfg.output("quillet")
        self.assertEqual(rows, "\n".join([
            "# linux_intf\tsdk_intf\tunit\tis_fabric\tlogical_port\tis_loopback",
            "swp1s0\txe0\t0\t0\t5\t0", "swp1s1\txe1\t0\t0\t6\t0",
            "swp1s2\txe2\t0\t0\t7\t0", "swp1s3\txe3\t0\t0\t8\t0",
            "swp3\thg2\t1\t1\t20\t1",
            "swp4\txe3\t1\t1\t21\t0",
            "swp5\txe4\t0\t1\t22\t0"]))
        known = ["fp3", "swp1s0", "swp9"]
        self.assertEqual(cfg.calls, [
            ("brindlet", ["show", "type", "bcm_knet"]),
            ("makekernnet", "swp1s0", 4, 0, known),
            ("makekernnet", "swp1s1", 5, 0, ["fp3", "swp9"]),
            ("makekernnet", "swp1s2", 6, 0, ["fp3", "swp9"]),
            ("makekernnet", "swp1s3", 7, 0, ["fp3", "swp9"]),
            ("makekernnet", "swp4", 10, 1, ["fp3", "swp9"]),
            ("ip", ["-o", "link", "show"]),
            ("ip", ["link", "set", "dev", "switch0", "up"]),
            ("destroyints", ["fp3", "swp9"])])

    def test_plain_chip_and_other_families(self):
        cfg = self.table(PlainChip(), self.ports()[:1])
        self.assertEqual(cfg.quillet.split("\n")[0], "swp1s0\txe0\t0\t0\t-1\t0")
        for family, link_type in (("mlx", "mlx_sx_netdev"), ("vx", None)):
            chip = PlainChip()
            chip.sw_base = family
            cfg = self.table(chip, [])
            self.assertEqual(cfg.quillet, "")
            expected = [("brindlet", ["show", "type", link_type])] if link_type else []
            self.assertEqual(cfg.calls, expected + [("destroyints", [])])
        chip = PlainChip()
        chip.sw_base = "xx"
        cfg = self.table(chip, self.ports())
        with self.assertRaises(quillet.UnsupportedPlatformError) as raised:
            cfg.quillet
        self.assertEqual(str(raised.exception), "Kernel netdevs are not supported" + " " * 22 +
                         "on xx, only on Broadcom and Mellanox")
        self.assertEqual(cfg.calls, [])

    def test_tap_mode_claims_only_switch_port_devices(self):
        os.environ["BRINDLET_USE_TUNTAP"] = "1"
        override = h2_port("9", "xe9")
        override.name_override = "mgmt-x"
        answers = {"tuntap show": "tun0: tun\nswp1s2: tap one_queue\nfp7: tap\n"
                                  "mgmt-x: tap\nswpx\n: empty\nvpn-swp1: tap\n"}
        chip = PlainChip()
        chip.sw_base = "xx"  # any family serves in tap mode
        class Split(skorrel.Hurricane210GPort):
            max_logical_ports = 4

        cfg = self.table(chip, self.ports()[:1], answers,
                         [h2_port("1", "xe0", cls=Split), override])
        cfg.quillet
        listed = ["mgmt-x", "swp1s2"]
        self.assertEqual(cfg.calls[0], ("ip", ["tuntap", "show"]))
        self.assertEqual(cfg.calls[1], ("maketap", "swp1s0", 4, listed))
        self.assertEqual(cfg.calls[3], ("maketap", "swp1s2", 6, listed))
        self.assertEqual(cfg.calls[-1], ("destroyints", ["mgmt-x"]))
        self.assertEqual(len(cfg.calls), 6)

    def test_tap_mode_claims_what_a_port_names_itself(self):
        os.environ["BRINDLET_USE_TUNTAP"] = "1"
        cfg = self.table(PlainChip(), [Port("1", names=["uplink"])],
                         {"tuntap show": "uplink: tap\ntun0: tun\n"})
        cfg.quillet
        self.assertEqual(cfg.calls[1:], [("maketap", "uplink", 0, ["uplink"]),
                                         ("destroyints", [])])

    def test_tap_mode_only_for_exactly_one(self):
        for value, tap in (("1", True), ("true", False), ("01", False), ("", False),
                           (None, False)):
            if value is None:
                os.environ.pop("BRINDLET_USE_TUNTAP", None)
            else:
                os.environ["BRINDLET_USE_TUNTAP"] = value
            cfg = self.table(PlainChip(), self.ports()[:1])
            cfg.quillet
            self.assertEqual(cfg.calls[1][0], "maketap" if tap else "makekernnet", value)


class Sections(pelvane.SDKConfig):
    """The generators of other sources as fixed texts, to see the assembly."""
    for _name in ("sdk_pbmp", "dportmap", "portmap", "portmap_uncapable_config",
                  "port_emphasis", "port_init", "phys", "phy_addrs", "phy_an", "prim_offsets",
                  "phy_id1s", "sys_interfaces", "fiber_pref", "linkdefaults", "rcled",
                  "ethertab", "quillet", "phytab", "sfptab", "rcphy"):
        locals()[_name] = property(lambda self, _n=_name: self.texts.get(_n, "<%s>" % _n))


class Output(unittest.TestCase):
    def cfg(self, chip=None, exploded=False, **switch_attrs):
        cfg = Sections(platform_of(chip or PlainChip(), **switch_attrs), exploded=exploded,
                       dummy=True)
        cfg.texts = {}
        return cfg

    def test_portsbcm_sections(self):
        tail = ["\n# emphasis", "<port_emphasis>", "\n# port initializations", "<port_init>",
                "\n# phys", "<phys>", "\n# addrs", "<phy_addrs>", "\n# autoneg", "<phy_an>",
                "\n# prime_offsets", "<prim_offsets>", "\n# phy_id1s", "<phy_id1s>",
                "\n# sys_interfaces", "<sys_interfaces>", "\n# fiber pref", "<fiber_pref>"]
        plain = self.cfg()
        self.assertEqual(plain.output("portsbcm"), "\n".join(
            ["\n# pbmp", "<sdk_pbmp>", "\n# non portmap capable config",
             "<portmap_uncapable_config>"] + tail))
        dport = self.cfg(DportChip())
        dport.texts["fiber_pref"] = ""
        dport.texts["phys"] = ""
        self.assertEqual(dport.output("portsbcm"), "\n".join(
            ["\n# pbmp", "<sdk_pbmp>", "\n# dport map", "<dportmap>", "\n# portmap",
             "<portmap>"] + tail[:4] + ["\n# phys", ""] + tail[6:-2]))
        self.assertTrue(dport.output("portsbcm").startswith("\n# pbmp\n<sdk_pbmp>\n\n# dport map\n"))
        self.assertEqual(self.cfg(MappedChip()).output("portsbcm").split("\n")[3:6],
                         ["", "# portmap", "<portmap>"])

    def test_plain_keys(self):
        cfg = self.cfg()
        for key in ("linkdefaults", "rcled", "rcphy", "ethertab"):
            self.assertEqual(cfg.output(key), "<%s>" % key)
        self.assertEqual(cfg.output("quillet"),
                         "# linux_intf\tsdk_intf\tunit\tis_fabric\tlogical_port\tis_loopback\n"
                         "<quillet>")
        self.assertEqual(cfg.output("sfptab"),
                         "# linux_intf\tmode\tsfp_addrtype\tsfp_addr\n<sfptab>")
        self.assertEqual(cfg.output(u"phytab"), "# phy_addr\tlinux_intf\tsdk_intf\n<phytab>")

    def test_fragments(self):
        cfg = self.cfg()
        cfg.uft, cfg.riot, cfg.sdk_bcm = "U", None, "S\n"
        cfg.hw_desc, cfg.datapath_conf, cfg.rc_forwarding = "H", "D", None
        self.assertEqual(cfg.output("uft"), "U")
        self.assertIsNone(cfg.output("riot"))
        self.assertEqual(cfg.output("sdk"), "S\n")
        self.assertEqual(cfg.output("hwdesc"), " # chip description file\nH")
        self.assertEqual(cfg.output("datapath"), " # chip datapath configuration file\nD")
        self.assertIsNone(cfg.output("rcforwarding"))
        cfg.rc_forwarding = ""
        self.assertEqual(cfg.output("rcforwarding"), " # chip forwarding configuration file\n")

    def test_ucodebcm(self):
        spi = "# use SPI-ROM method for ucode download\nphy_ext_rom_boot=3000"
        mdio = "# use MDIO method for ucode download\nphy_ext_rom_boot=0"
        for exploded, mdio_flag, spi_flag, text in (
                (False, False, True, spi), (False, True, False, mdio), (False, 1, 0, mdio),
                (True, True, False, mdio), (True, False, False, spi), (True, 0, 1, spi),
                (1, [1], None, mdio)):
            cfg = self.cfg(exploded=exploded, has_phy_ucode_mdio=mdio_flag,
                           has_phy_ucode_spi_rom=spi_flag)
            self.assertEqual(cfg.output("ucodebcm"), text)

    def test_unknown_keys(self):
        cfg = self.cfg()
        for key in ("Portsbcm", "rcports", "led", "", "quillet "):
            with self.assertRaises(KeyError) as raised:
                cfg.output(key)
            self.assertEqual(raised.exception.args, (key,))
        with self.assertRaises(KeyError):
            cfg.output(u"\xe9")
        with self.assertRaises(TypeError):
            cfg.output(None)

    def test_generator_errors_pass_through(self):
        class Failing(Sections):
            @property
            def port_init(self):
                raise ZeroDivisionError("x")

        cfg = Failing(platform_of(PlainChip()), dummy=True)
        cfg.texts = {}
        with self.assertRaises(ZeroDivisionError):
            cfg.output("portsbcm")
        plain = self.cfg()
        plain.texts["phys"] = 5
        with self.assertRaises(TypeError):
            plain.output("portsbcm")


if __name__ == "__main__":
    unittest.main()
