"""The switch and chip classes of skorrel: the catalogue's class attributes,
the chip directory lists and the lookup of chip configuration fragments."""

import os
import shutil
import subprocess
import sys
import tempfile
import types
import unittest

import skorrel

STANDINS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "standins")

A = ("datapath.conf", "rc.forwarding", "hw_desc", "sdk.bcm")
B = A + ("uft.json",)
C = B + ("riot.json",)
D = ("rc.forwarding", "sdk.bcm")

P1 = 0x1
P2 = 0x20000000000000001
P3 = 0x200000000000000000000000001
P4 = 0xf000000000000000f0000000000000000
P5 = 0x8000000020000000080000000200000001
P6 = 0x6000000000000000001
P7 = long(0x3c02000000000001)  # a long on the 32-bit target as well

# Port channel maps by the names of their port classes.
M1 = ("Trident10GPort", "Trident40GPort")
M2 = ("TridentTwo10GPort", "TridentTwo40GPort")
M3 = ("TridentTwoPlus10GPort", "TridentTwoPlus40GPort")
M4 = ("TridentThree25GPort", "TridentThree100GPort")
M5 = ("Tomahawk25GPort", "Tomahawk100GPort")
M6 = ("Maverick10GPort", "Maverick100GPort")
EMPTY = ()

# Class, base, what its own body sets, and its directory list once made.
CHIPS = [
    ("SDKChip", None,
     dict(sw_base=None, pci_vendor=None, pci_device=None, file_list=None,
          port_channel_type_map=EMPTY, portmap_capable=None, dport_capable=None,
          bcm_pn=None, hsp_bw=None, base_pbmp=None), None),
    ("BCMChip", "SDKChip",
     dict(sw_base="bcm", ipv4_host_table_size=8192, pci_vendor=0x14e4,
          mixed_oversub=None, needs_lane_config=False), ["/bcm"]),
    ("TridentPlusChip", "BCMChip",
     dict(portmap_capable=True, base_pbmp=P2, file_list=A, port_channel_type_map=M1),
     ["/bcm/Trident", "/bcm"]),
    ("TridentChip", "TridentPlusChip", dict(ipv4_host_table_size=4096),
     ["/bcm/Trident", "/bcm"]),
    ("TridentTwoChip", "BCMChip",
     dict(portmap_capable=True, mixed_oversub=True, ipv4_host_table_size=16384,
          base_pbmp=P3, file_list=B, port_channel_type_map=M2),
     ["/bcm/TridentTwo", "/bcm"]),
    ("TridentTwo_56850_Chip", "TridentTwoChip",
     dict(pci_device=47184, bcm_pn="56850", hsp_bw=100),
     ["/bcm/TridentTwo/56850", "/bcm/TridentTwo", "/bcm"]),
    ("TridentTwo_56854_Chip", "TridentTwoChip",
     dict(pci_device=47188, bcm_pn="56854", hsp_bw=40),
     ["/bcm/TridentTwo/56854", "/bcm/TridentTwo", "/bcm"]),
    ("TridentTwoPlusChip", "TridentTwoChip",
     dict(file_list=C, port_channel_type_map=M3, dport_capable=True, mixed_oversub=True,
          ipv4_host_table_size=16384),
     ["/bcm/TridentTwoPlus", "/bcm/TridentTwo", "/bcm"]),
    ("TridentTwoPlus_56860_Chip", "TridentTwoPlusChip", dict(),
     ["/bcm/TridentTwoPlus/56860", "/bcm/TridentTwoPlus", "/bcm/TridentTwo", "/bcm"]),
    ("TridentTwoPlus_56864_Chip", "TridentTwoPlusChip", dict(hsp_bw=40),
     ["/bcm/TridentTwoPlus/56864", "/bcm/TridentTwoPlus", "/bcm/TridentTwo", "/bcm"]),
    ("TridentThreeX5Chip", "BCMChip",
     dict(needs_lane_config=True, portmap_capable=True, dport_capable=True,
          mixed_oversub=True, ipv4_host_table_size=40960, base_pbmp=P2, file_list=C,
          port_channel_type_map=M4),
     ["/bcm/TridentThreeX5", "/bcm"]),
    ("TridentThreeX5_56771_Chip", "TridentThreeX5Chip",
     dict(pci_device=46961, bcm_pn="56771"),
     ["/bcm/TridentThreeX5/56771", "/bcm/TridentThreeX5", "/bcm"]),
    ("TridentThreeX7Chip", "BCMChip",
     dict(portmap_capable=True, dport_capable=True, mixed_oversub=True,
          ipv4_host_table_size=40960, base_pbmp=P4, file_list=C, port_channel_type_map=M4),
     ["/bcm/TridentThreeX7", "/bcm"]),
    ("TridentThreeX7_56870_Chip", "TridentThreeX7Chip",
     dict(pci_device=47216, bcm_pn="56870"),
     ["/bcm/TridentThreeX7/56870", "/bcm/TridentThreeX7", "/bcm"]),
    ("TridentThreeX7_56873_Chip", "TridentThreeX7Chip",
     dict(pci_device=47219, bcm_pn="56873"),
     ["/bcm/TridentThreeX7/56873", "/bcm/TridentThreeX7", "/bcm"]),
    ("TomahawkChip", "BCMChip",
     dict(pci_device=47456, bcm_pn="56960", portmap_capable=True, dport_capable=True,
          mixed_oversub=True, ipv4_host_table_size=40960, base_pbmp=P5, file_list=B,
          port_channel_type_map=M5),
     ["/bcm/Tomahawk", "/bcm"]),
    ("TomahawkPlusChip", "TomahawkChip",
     dict(portmap_capable=True, dport_capable=True, mixed_oversub=True,
          ipv4_host_table_size=40960, base_pbmp=P5, file_list=B, port_channel_type_map=M5),
     ["/bcm/TomahawkPlus", "/bcm/Tomahawk", "/bcm"]),
    ("TomahawkPlus_56967_Chip", "TomahawkPlusChip",
     dict(pci_device=47463, bcm_pn="56967"),
     ["/bcm/TomahawkPlus/56967", "/bcm/TomahawkPlus", "/bcm/Tomahawk", "/bcm"]),
    ("TomahawkPlus_56965_Chip", "TomahawkPlusChip",
     dict(pci_device=47461, bcm_pn="56965"),
     ["/bcm/TomahawkPlus/56965", "/bcm/TomahawkPlus", "/bcm/Tomahawk", "/bcm"]),
    ("TomahawkTwoChip", "TomahawkChip",
     dict(portmap_capable=True, dport_capable=True, mixed_oversub=True,
          ipv4_host_table_size=40960, base_pbmp=P5, file_list=B, port_channel_type_map=M5),
     ["/bcm/TomahawkTwo", "/bcm/Tomahawk", "/bcm"]),
    ("TomahawkTwo_56970_Chip", "TomahawkTwoChip",
     dict(pci_device=47472, bcm_pn="56970"),
     ["/bcm/TomahawkTwo/56970", "/bcm/TomahawkTwo", "/bcm/Tomahawk", "/bcm"]),
    ("MaverickChip", "BCMChip",
     dict(needs_lane_config=True, portmap_capable=True, dport_capable=True,
          mixed_oversub=False, base_pbmp=P6, ipv4_host_table_size=16384, file_list=C,
          port_channel_type_map=M6),
     ["/bcm/Maverick", "/bcm"]),
    ("Maverick_56762_Chip", "MaverickChip", dict(pci_device=46946),
     ["/bcm/Maverick/56762", "/bcm/Maverick", "/bcm"]),
    ("Maverick_56768_Chip", "MaverickChip", dict(pci_device=46952),
     ["/bcm/Maverick/56768", "/bcm/Maverick", "/bcm"]),
    ("TriumphChip", "BCMChip",
     dict(portmap_capable=False, base_pbmp=P1, file_list=D, ipv4_host_table_size=4096),
     ["/bcm/Triumph", "/bcm"]),
    ("ApolloChip", "BCMChip",
     dict(portmap_capable=False, base_pbmp=P1, file_list=D, ipv4_host_table_size=4096),
     ["/bcm/Apollo", "/bcm"]),
    ("Helix4Chip", "BCMChip",
     dict(portmap_capable=False, base_pbmp=P7, file_list=A, ipv4_host_table_size=24576),
     ["/bcm/Helix4", "/bcm"]),
    ("Hurricane2Chip", "BCMChip",
     dict(portmap_capable=False, base_pbmp=P1, file_list=D, ipv4_host_table_size=4096),
     ["/bcm/Hurricane2", "/bcm"]),
]
BY_NAME = dict((row[0], row) for row in CHIPS)
CATALOGUE = [row[0] for row in CHIPS[2:]]
ATTRS = ("sw_base", "pci_vendor", "pci_device", "bcm_pn", "hsp_bw", "portmap_capable",
         "dport_capable", "mixed_oversub", "needs_lane_config", "ipv4_host_table_size",
         "base_pbmp", "file_list", "port_channel_type_map")

DOCS = {
    "SDKChip": "\n    SDK chip common attributes\n    ",
    "BCMChip": "\n    BCM chip common attributes\n    ",
    "TridentPlusChip": "\n    Trident+ chip common attributes\n    ",
    "TridentChip": "\n    Trident chip common attributes\n\n"
                   "    Basically the same as Trident+, but with a smaller host table size.\n    ",
    "TridentTwoChip": "\n    Trident2 chip common attributes\n    ",
    "TridentTwoPlusChip": "\n    Trident2 Plus chip common attributes\n\n    ",
    "TridentThreeX5Chip": "\n    Trident3 X5 chip common attributes\n    ",
    "TridentThreeX7Chip": "\n    Trident3 X7 chip common attributes\n    ",
    "TomahawkChip": "\n    Tomahawk chip common attributes\n    ",
    "TomahawkPlusChip": "\n    Tomahawk Plus chip common attributes\n    ",
    "TomahawkTwoChip": "\n    Tomahawk Two chip common attributes\n    ",
}


def expected(name, attr):
    """The value a class answers: its own body's, else its nearest base's."""
    while name:
        _, base, own, _ = BY_NAME[name]
        if attr in own:
            return own[attr]
        name = base
    raise KeyError(attr)


class CatalogueTest(unittest.TestCase):

    def test_classes_bases_kinds_and_docstrings(self):
        names = [n for n in dir(skorrel) if n.endswith("Chip")]
        self.assertEqual(sorted(names), sorted(list(BY_NAME) + ["NoSuchChip"]))
        for name, base, _, _ in CHIPS:
            cls = getattr(skorrel, name)
            self.assertIs(type(cls), types.ClassType, name)
            self.assertEqual(cls.__bases__, (getattr(skorrel, base),) if base else (), name)
            self.assertEqual(cls.__module__, "skorrel")
            self.assertEqual(cls.__qualname__, name)
            self.assertEqual(cls.__doc__, DOCS.get(name), name)

    def test_every_value_and_where_it_is_set(self):
        chips = [(n, getattr(skorrel, n)) for n in CATALOGUE]
        chips += [(n, getattr(skorrel, n)()) for n in CATALOGUE]  # instances too
        for name, obj in chips:
            for attr in ATTRS:
                want = expected(name, attr)
                got = getattr(obj, attr)
                where = "%s.%s" % (name, attr)
                if attr == "port_channel_type_map":
                    self.assertIs(type(got), dict, where)
                    ports = dict(zip((1, 4), [getattr(skorrel, p) for p in want]))
                    self.assertEqual(got, ports, where)
                    for key in got:
                        self.assertIs(got[key], ports[key], where)
                elif want is None or isinstance(want, bool):
                    self.assertIs(got, want, where)
                else:
                    self.assertEqual(got, want, where)
                    self.assertIs(type(got), type(want), where)
        for name, _, own, _ in CHIPS:
            body = set(getattr(skorrel, name).__dict__)
            body -= set(["__module__", "__qualname__", "__doc__", "__init__", "is_acpi",
                         "chip_config_path", "bcm_config_path", "get_config"])
            self.assertEqual(body, set(own), name)

    def test_no_ipv4_or_lane_flags_below_bcm(self):
        for attr in ("ipv4_host_table_size", "mixed_oversub", "needs_lane_config"):
            self.assertFalse(hasattr(skorrel.SDKChip, attr))
            self.assertFalse(hasattr(skorrel.SDKChip("/x"), attr))

    def test_wide_bitmaps_are_longs_made_once(self):
        longs = {"Helix4Chip": P7, "TridentPlusChip": P2, "MaverickChip": P6,
                 "TridentTwoChip": P3, "TridentThreeX7Chip": P4, "TomahawkChip": P5}
        for name, value in longs.items():
            got = getattr(skorrel, name).base_pbmp
            self.assertIs(type(got), long, name)
            self.assertEqual(got, value, name)
        self.assertEqual(hex(skorrel.TomahawkChip.base_pbmp),
                         "0x8000000020000000080000000200000001L")
        self.assertEqual(skorrel.TomahawkChip.base_pbmp >> 135, 1)
        self.assertIs(skorrel.TridentThreeX5Chip.base_pbmp, skorrel.TridentPlusChip.base_pbmp)
        self.assertIs(skorrel.TomahawkPlusChip.base_pbmp, skorrel.TomahawkChip.base_pbmp)
        self.assertIs(skorrel.TomahawkTwoChip.base_pbmp, skorrel.TomahawkChip.base_pbmp)
        for name in CATALOGUE:
            bit0 = getattr(skorrel, name).base_pbmp & 1
            self.assertEqual(bit0, 0 if name.startswith("TridentThreeX7") else 1, name)

    def test_shared_and_own_objects(self):
        s = skorrel
        empty = s.SDKChip.port_channel_type_map
        self.assertEqual(empty, {})
        for name in ("BCMChip", "TriumphChip", "ApolloChip", "Helix4Chip", "Hurricane2Chip"):
            self.assertIs(getattr(s, name).port_channel_type_map, empty, name)
        # Every body that sets a tuple or a map builds its own.
        for a, b in (("TomahawkPlusChip", "TomahawkChip"), ("TomahawkTwoChip", "TomahawkChip"),
                     ("TridentThreeX7Chip", "TridentThreeX5Chip")):
            a, b = getattr(s, a), getattr(s, b)
            self.assertEqual(a.port_channel_type_map, b.port_channel_type_map)
            self.assertIsNot(a.port_channel_type_map, b.port_channel_type_map)
            self.assertEqual(a.file_list, b.file_list)
            self.assertIsNot(a.file_list, b.file_list)
        self.assertIsNot(s.TridentThreeX7Chip.file_list, s.MaverickChip.file_list)
        # Instances read the class's objects.
        self.assertIs(s.TomahawkChip().file_list, s.TomahawkChip.file_list)
        self.assertIs(s.TridentChip().port_channel_type_map, s.TridentPlusChip.port_channel_type_map)

    def test_part_classes_derive_from_their_line_only(self):
        chip = skorrel.TridentThreeX7_56873_Chip()
        yes = ("TridentThreeX7_56873_Chip", "TridentThreeX7Chip", "BCMChip", "SDKChip")
        for name in BY_NAME:
            self.assertEqual(isinstance(chip, getattr(skorrel, name)), name in yes, name)

    def test_operations(self):
        s = skorrel
        for name, base, _, dirs in CHIPS[1:]:
            cls = getattr(s, name)
            if dirs == BY_NAME[base][3]:
                # no folder of its own: its parent's constructor
                self.assertNotIn("__init__", cls.__dict__, name)
                self.assertIs(cls.__init__.im_func, getattr(s, base).__init__.im_func, name)
                continue
            init = cls.__dict__["__init__"]
            self.assertEqual(init.func_code.co_varnames, ("self",), name)
            self.assertIsNone(init.func_defaults)
            self.assertEqual(init.__qualname__, name + ".__init__")
        ns = s.SDKChip.__dict__
        self.assertEqual(ns["__init__"].func_code.co_varnames, ("self", "initial_path"))
        self.assertIs(type(ns["is_acpi"]), classmethod)
        self.assertEqual(ns["get_config"].func_code.co_varnames, ("self", "file_name"))
        self.assertEqual(ns["get_config"].__qualname__, "SDKChip.get_config")
        for prop in ("chip_config_path", "bcm_config_path"):
            self.assertIs(type(ns[prop]), property)
            self.assertIsNone(ns[prop].fset)
            self.assertEqual(ns[prop].fget.__qualname__, "SDKChip." + prop)
        self.assertIs(s.TomahawkChip.is_acpi(), False)
        self.assertIs(s.TomahawkChip().is_acpi(), False)
        self.assertIs(s.SDKChip("/x").is_acpi(), False)


class DirectoryListTest(unittest.TestCase):

    def test_every_chip_class(self):
        for name, _, _, dirs in CHIPS[1:]:
            self.assertEqual(getattr(skorrel, name)().chip_dir_list, dirs, name)
        self.assertEqual(skorrel.SDKChip("/x").chip_dir_list, ["/x"])
        self.assertEqual(skorrel.SDKChip(initial_path="/y").chip_dir_list, ["/y"])

    def test_objects_hold_their_own_lists(self):
        a, b = skorrel.TomahawkTwo_56970_Chip(), skorrel.TomahawkTwo_56970_Chip()
        self.assertIsNot(a.chip_dir_list, b.chip_dir_list)
        a.chip_dir_list.append("/elsewhere")
        self.assertEqual(b.chip_dir_list, BY_NAME["TomahawkTwo_56970_Chip"][3])
        self.assertEqual(skorrel.TomahawkTwo_56970_Chip().chip_dir_list,
                         BY_NAME["TomahawkTwo_56970_Chip"][3])
        self.assertNotIn("chip_dir_list", dir(skorrel.SDKChip))

    def test_parent_looked_up_when_the_constructor_runs(self):
        original = skorrel.TomahawkChip

        class Stand:
            __init__ = staticmethod(lambda chip: setattr(chip, "chip_dir_list", ["/x"]))

        skorrel.TomahawkChip = Stand
        try:
            self.assertEqual(skorrel.TomahawkTwoChip().chip_dir_list, ["/xTwo", "/x"])
        finally:
            skorrel.TomahawkChip = original
        self.assertEqual(skorrel.TomahawkTwoChip().chip_dir_list,
                         ["/bcm/TomahawkTwo", "/bcm/Tomahawk", "/bcm"])


class SwitchTest(unittest.TestCase):

    def test_switches_hold_their_chip(self):
        chip = skorrel.TomahawkChip()
        for cls in (skorrel.SDKSwitch, skorrel.BCMSwitch):
            self.assertIs(type(cls), types.ClassType)
            for sw in (cls(chip), cls(chip=chip)):
                self.assertEqual(sw.__dict__, {"chip": chip})
            for attr in ("has_phy_ucode_spi_rom", "has_phy_ucode_mdio", "led_controllers"):
                self.assertIsNone(getattr(cls, attr))
        self.assertEqual(skorrel.BCMSwitch.__bases__, (skorrel.SDKSwitch,))
        self.assertNotIn("has_phy_ucode_mdio", skorrel.BCMSwitch.__dict__)
        self.assertRaises(TypeError, skorrel.BCMSwitch)

    def test_docstrings(self):
        self.assertEqual(skorrel.SDKSwitch.__doc__,
                         "\n    SDK platform common attributes\n"
                         "    has_phy_ucode_spi_rom - true if platform supports SPI-ROM for phy microcode\n"
                         "    has_phy_ucode_mdio    - true if platform supports MDIO for phy microcode\n"
                         "    led_controllers       - Specify the set of led controllers to populate.\n"
                         "    ")
        self.assertEqual(skorrel.BCMSwitch.__doc__, "\n    Broadcom switch platform\n    ")


class ModuleDir(object):
    """A temporary directory standing in for the module's own: skorrel's
    recorded file name points into it while the test runs."""

    def __init__(self):
        self.root = tempfile.mkdtemp()
        self.saved = skorrel.__file__
        skorrel.__file__ = os.path.join(self.root, "skorrel.so")

    def put(self, rel, text):
        path = os.path.join(self.root, "__chip_config", rel.lstrip("/"))
        if not os.path.isdir(os.path.dirname(path)):
            os.makedirs(os.path.dirname(path))
        with open(path, "w") as f:
            f.write(text)
        return path

    def close(self):
        skorrel.__file__ = self.saved
        shutil.rmtree(self.root)


class GetConfigTest(unittest.TestCase):

    def setUp(self):
        self.mod = ModuleDir()
        self.put = self.mod.put

    def tearDown(self):
        self.mod.close()

    def test_paths_follow_the_module_file(self):
        chip = skorrel.TomahawkChip()
        self.assertEqual(chip.chip_config_path, self.mod.root + "/__chip_config/")
        self.assertEqual(chip.bcm_config_path, self.mod.root + "/__bcm_config/")
        skorrel.__file__ = "/opt/lib/python2.7/skorrel.so"
        self.assertEqual(chip.chip_config_path, "/opt/lib/python2.7/__chip_config/")
        self.assertEqual(chip.bcm_config_path, "/opt/lib/python2.7/__bcm_config/")
        # A classic instance may hide the property with its own value.
        chip.chip_config_path = "mine"
        self.assertEqual(chip.chip_config_path, "mine")
        self.assertEqual(skorrel.TomahawkChip().chip_config_path,
                         "/opt/lib/python2.7/__chip_config/")

    def test_most_specific_copy_wins(self):
        chip = skorrel.TomahawkTwo_56970_Chip()
        self.put("bcm/TomahawkTwo/56970/sdk.bcm", "part\n")
        self.put("bcm/sdk.bcm", "bcm\n")
        self.assertEqual(chip.get_config("sdk.bcm"), "part\n")
        self.put("bcm/TomahawkTwo/hw_desc", "line\n")
        self.put("bcm/hw_desc", "bcm\n")
        self.assertEqual(chip.get_config("hw_desc"), "line\n")
        self.put("bcm/Tomahawk/uft.json", "{}")
        self.put("bcm/uft.json", "[]")
        self.assertEqual(chip.get_config(file_name="uft.json"), "{}")
        self.put("bcm/datapath.conf", "only bcm")
        self.assertEqual(chip.get_config("datapath.conf"), "only bcm")
        self.assertIsNone(chip.get_config("rc.forwarding"))

    def test_empty_fragment_ends_the_search(self):
        self.put("bcm/Maverick/56762/riot.json", "")
        self.put("bcm/Maverick/riot.json", "line")
        self.assertEqual(skorrel.Maverick_56762_Chip().get_config("riot.json"), "")
        self.assertEqual(skorrel.Maverick_56768_Chip().get_config("riot.json"), "line")

    def test_text_comes_back_unchanged(self):
        text = "  a = 1\r\n\tb\x00c \n\n"
        self.put("bcm/Helix4/hw_desc", text)
        self.assertEqual(skorrel.Helix4Chip().get_config("hw_desc"), text)

    def test_only_listed_names_are_looked_up(self):
        for name in ("hw_desc", "datapath.conf", "uft.json", "riot.json", "sdk.bcm"):
            self.put("bcm/" + name, name)
        triumph = skorrel.TriumphChip()
        for name in ("hw_desc", "datapath.conf", "uft.json"):
            self.assertIsNone(triumph.get_config(name), name)
        self.assertEqual(triumph.get_config("sdk.bcm"), "sdk.bcm")
        helix = skorrel.Helix4Chip()
        self.assertEqual(helix.get_config("hw_desc"), "hw_desc")
        self.assertEqual(helix.get_config("datapath.conf"), "datapath.conf")
        self.assertIsNone(helix.get_config("uft.json"))
        # Names are compared exactly: no path, case or spacing variants.
        self.put("bcm/Helix4/x/sdk.bcm", "no")
        for name in ("x/sdk.bcm", "SDK.BCM", "sdk.bcm ", "", "/sdk.bcm"):
            self.assertIsNone(helix.get_config(name), name)

    def test_chips_without_a_file_list(self):
        self.put("bcm/sdk.bcm", "there")
        self.put("x/sdk.bcm", "there")
        self.assertIsNone(skorrel.BCMChip().get_config("sdk.bcm"))
        self.assertIsNone(skorrel.SDKChip("/x").get_config("sdk.bcm"))

    def test_file_list_and_path_are_read_through_the_object(self):
        self.put("bcm/Triumph/hw_desc", "listed now")
        chip = skorrel.TriumphChip()
        chip.file_list = ("hw_desc",)
        self.assertEqual(chip.get_config("hw_desc"), "listed now")
        self.assertIsNone(chip.get_config("sdk.bcm"))
        other = tempfile.mkdtemp()
        try:
            os.makedirs(os.path.join(other, "bcm/Triumph"))
            with open(os.path.join(other, "bcm/Triumph/hw_desc"), "w") as f:
                f.write("elsewhere")

            class Moved(skorrel.TriumphChip):
                file_list = ("hw_desc",)
                chip_config_path = property(lambda self: other + "/")

            self.assertEqual(Moved().get_config("hw_desc"), "elsewhere")
        finally:
            shutil.rmtree(other)

    def test_trident_searches_as_trident_plus(self):
        self.put("bcm/Trident/sdk.bcm", "trident")
        self.put("bcm/hw_desc", "bcm")
        for cls in (skorrel.TridentChip, skorrel.TridentPlusChip):
            self.assertEqual(cls().get_config("sdk.bcm"), "trident")
            self.assertEqual(cls().get_config("hw_desc"), "bcm")
            self.assertIsNone(cls().get_config("uft.json"))

    def test_directory_in_the_way(self):
        self.put("bcm/sdk.bcm", "bcm")
        os.makedirs(os.path.join(self.mod.root, "__chip_config/bcm/Apollo/sdk.bcm"))
        with self.assertRaises(IOError) as caught:
            skorrel.ApolloChip().get_config("sdk.bcm")
        self.assertEqual(caught.exception.filename,
                         self.mod.root + "/__chip_config//bcm/Apollo/sdk.bcm")
        self.assertEqual(skorrel.TriumphChip().get_config("sdk.bcm"), "bcm")

    @unittest.skipIf(os.geteuid() == 0, "root opens any file")
    def test_unreadable_fragment(self):
        path = self.put("bcm/Hurricane2/sdk.bcm", "secret")
        self.put("bcm/sdk.bcm", "bcm")
        os.chmod(path, 0)
        self.assertRaises(IOError, skorrel.Hurricane2Chip().get_config, "sdk.bcm")


class ShippedFragmentsTest(unittest.TestCase):
    """The fragment folders installed beside the built module."""

    def test_every_directory_and_listed_fragment_is_there(self):
        root = skorrel.SDKChip("/bcm").chip_config_path
        self.assertEqual(root, os.path.dirname(skorrel.__file__) + "/__chip_config/")
        for name in CATALOGUE:
            chip = getattr(skorrel, name)()
            for d in chip.chip_dir_list:
                self.assertTrue(os.path.isdir(root + d), root + d)
            for f in chip.file_list:
                self.assertTrue(chip.get_config(f), (name, f))
        rc = os.path.join(skorrel.BCMChip().bcm_config_path, "rc.soc")
        self.assertTrue(os.path.isfile(rc), rc)


class ModuleImportedFromItsOwnDirectoryTest(unittest.TestCase):
    """A copy of the module beside its own fragment tree, imported in a
    child interpreter."""

    SCRIPT = ("import skorrel; c = skorrel.TomahawkTwo_56970_Chip(); "
              "print repr((skorrel.__file__, c.chip_config_path, c.bcm_config_path, "
              "c.get_config('sdk.bcm'), c.get_config('hw_desc')))")

    def setUp(self):
        self.root = tempfile.mkdtemp()
        shutil.copy(skorrel.__file__, self.root)
        for rel, text in (("__chip_config/bcm/TomahawkTwo/56970/sdk.bcm", "part"),
                          ("__chip_config/bcm/Tomahawk/hw_desc", "line")):
            path = os.path.join(self.root, rel)
            os.makedirs(os.path.dirname(path))
            with open(path, "w") as f:
                f.write(text)

    def tearDown(self):
        shutil.rmtree(self.root)

    def run_child(self, path_entry):
        env = dict(os.environ, PYTHONPATH=STANDINS)
        script = "import sys; sys.path.insert(0, %r); %s" % (path_entry, self.SCRIPT)
        out = subprocess.check_output([sys.executable, "-c", script], cwd=self.root, env=env)
        return eval(out)

    def test_relative_import_uses_the_current_directory(self):
        # "" on the path records the bare file name, without a directory.
        got = self.run_child("")
        self.assertEqual(os.path.dirname(got[0]), "")
        self.assertEqual(got[1:], ("./__chip_config/", "./__bcm_config/", "part", "line"))

    def test_absolute_import(self):
        got = self.run_child(self.root)
        self.assertEqual(got[1:], (self.root + "/__chip_config/", self.root + "/__bcm_config/",
                                   "part", "line"))


if __name__ == "__main__":
    unittest.main()
