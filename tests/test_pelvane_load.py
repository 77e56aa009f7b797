"""Loading pelvane: its imports, its twelve classes and their members."""

import ConfigParser
import itertools
import json
import os
import shutil
import StringIO
import subprocess
import sys
import syslog
import types
import unittest

from helpers import run_python

import pelvane
import quorvel.kelvish
import quorvel.quillet
import sfp

CLASSES = [("Vostrel", None), ("IPRoute2", None), ("Brindlet", None), ("Config", None),
           ("ConfiguredPort", None), ("SDKConfiguredPort", "ConfiguredPort"),
           ("BCMConfiguredPort", "SDKConfiguredPort"),
           ("SDKConfiguredMappedPort", "SDKConfiguredPort"),
           ("BCMConfiguredMappedPort", "SDKConfiguredMappedPort"),
           ("BCMConfiguredDportPort", "BCMConfiguredPort"), ("SDKConfig", "Config"),
           ("BCMConfig", "SDKConfig")]

IMPORTS = ["ConfigParser", "StringIO", "sys", "subprocess", "syslog", "groupby", "os",
           "shutil", "sfp", "json", "quorvel", "UnsupportedPlatformError"]


def doc(indent, *lines):
    """A docstring as it stands in a class body."""
    pad = " " * indent
    return "\n" + "".join(pad + line + "\n" if line else "\n" for line in lines) + pad


def mdoc(*lines):
    return doc(8, *lines)


# Members: name, kind (M method, P property), parameters, docstring.
M, P = "method", "property"
HW_INTF_DOC = mdoc("Return the hardware interface number for the given sub-interface (The",
                   "number in hg0).  Never mapped.")
MEMBERS = {
    "Vostrel": [("__init__", M, "self, dummy=False, sw_base=None", None),
                ("macaddr", P, "self", None), ("macrange", P, "self", None)],
    "IPRoute2": [("__init__", M, "self, dummy=False", None), ("run", M, "self, args", None)],
    "Brindlet": [("__init__", M, "self, dummy=False", None), ("run", M, "self, args", None)],
    "Config": [
        ("__init__", M, "self, platform, verbose=False, exploded=False, dummy=False", None),
        ("config", M, "self, config",
         mdoc("Read a ports.conf config from a string", "", "configfile - config file string")),
        ("_complete_modes", M, "self, config_map",
         mdoc("We want to support setting the breakout configuration without an",
              "associated speed.  Therefore, complete the shorthand '1x', '/1' etc.",
              "into a fully qualified breakout + speed setting.")),
        ("find_hw_port", M, "self, label",
         mdoc("Find a platform port based upon the port's label.")),
        ("read_config", M, "self, configfile",
         mdoc("Validate and read a ports.conf config file and store its key/value",
              "pairs in a dict.", "", "configfile - config file path")),
        ("init_config", M, "self", None),
        ("write_config", M, "self, configfile", None),
        ("set_macmode", M, "self, mode", mdoc("Set the default mac mode for a configuration")),
        ("makemacaddr", M, "self, inmac, index", None),
        ("destroyints", M, "self, interface_set", None),
        ("setmac", M, "self, portname, index", None),
        ("maketap", M, "self, portname, index, interface_set", None),
        ("makekernnet", M, "self, portname, index, unit, interface_set", None)],
    "ConfiguredPort": [
        ("__init__", M, "self, mode, mac_index, loopback", None),
        ("label", P, "self", mdoc("The text printed on the front of the switch.")),
        ("speed", P, "self", mdoc("The port speed in gigabits/sec.")),
        ("num_logical_ports", P, "self",
         mdoc("The number of logical ports (swp interfaces) for the port.")),
        ("max_logical_ports", P, "self",
         mdoc("The maximum number of logical ports (swp interfaces) for the port.")),
        ("leds", P, "self", None), ("linux_prefix", P, "self", None),
        ("gang_label", P, "self",
         mdoc("Gang Identifier for Ganged ports", "Port Label for unganged port",
              "Assumption: Port numbering starts at swp1")),
        ("serdes_if_type", P, "self", None), ("an_c37", P, "self", None),
        ("an_c73", P, "self", None)],
    "SDKConfiguredPort": [
        ("__init__", M, "self, mode, physical_port, port_base, mac_index, loopback", None)] + [
        (name, P, "self", None) for name in (
            "label", "oversub", "speed", "num_lanes", "num_logical_ports", "max_logical_ports",
            "num_physical_ports", "num_phys", "enable_auto_neg", "prim_offset", "phy_id1",
            "sys_interface", "leds", "unit", "rx_polarity_flip", "tx_polarity_flip",
            "is_fabric", "create_fabric", "rx_lane_map", "tx_lane_map", "mdi_pair_map",
            "pre_emphasis", "drv_current", "pre_drv_current", "phy_init", "serdes_if_type",
            "ganged", "max_gang_size", "gang_leader", "an_c37", "an_c73", "set_fiber_pref",
            "sdk_group")] + [
        ("hw_intf_num", M, "self, sub", HW_INTF_DOC),
        ("hw_intf_num_portmap", M, "self, sub", HW_INTF_DOC),
        ("base_hw_intf_num", M, "self, sub",
         mdoc("Return the lowest hardware interface number for the given sub-interface",
              "Never mapped.")),
        ("sdk_intf_prefix", M, "self, sub",
         mdoc("Return the interface prefix for the given sub-interface (xe,",
              "ge, etc...).  This is the interface name after configuration (hg may",
              "become xe here).")),
        ("sdk_intf_num", M, "self, sub",
         mdoc("Return the interface number for the given sub-interface (the",
              'number in "xe0")')),
        ("sdk_intf", M, "self, sub",
         mdoc("Return the full name for the sub-interface (xe0, ge0, etc...)")),
        ("linux_port_name", M, "self, sub", mdoc("Return the linux port (interface) name")),
        ("sdk_pbmp", M, "self, sub", mdoc("Return the port bitmap mask for the sub-interface.")),
        ("set_leds", M, "self, led_port, sub, led_index_list", None),
        ("td3_rx_logical_polarity_flip", M, "self, port, portmap, sub", None),
        ("td3_tx_logical_polarity_flip", M, "self, port, portmap, sub", None),
        ("sdk_config_intf", M, "self, sub, num_units=None", None)] + [
        (name, M, "self, sub", None) for name in (
            "sdk_unit_intf_num", "phy_addr", "sdk_logical_port_num", "phy_type",
            "phy_autodetect", "hw_port_num", "port_mac_index", "rx_logical_polarity_flip",
            "tx_logical_polarity_flip")],
    "BCMConfiguredPort": [],
    "SDKConfiguredMappedPort": [
        ("sdk_pbmp", M, "self, sub", mdoc("Mapped ports are sequential based on the port_base")),
        ("sdk_intf_num", M, "self, sub",
         mdoc("Return the mapped SDK interface number for the sub-interface."))],
    "BCMConfiguredMappedPort": [
        ("__init__", M, "self, mode, physical_port, port_base, mac_index", None)],
    "BCMConfiguredDportPort": [
        ("__init__", M, "self, mode, physical_port, port_base, if_port_base, mac_index, loopback",
         None),
        ("sdk_pbmp", M, "self, sub", None),
        ("sdk_intf_num", M, "self, sub",
         mdoc("Return the mapped BCM interface number for the sub-interface.",
              "# sequence number per unit, per if type")),
        ("sdk_unit_intf_num", M, "self, sub", None),
        ("sdk_logical_port_num", M, "self, sub",
         mdoc("Return the Dport number for specific physical port", ":param sub:", ":return:"))],
    "SDKConfig": [
        ("__init__", M, "self, platform, verbose=False, exploded=False, dummy=False", None),
        ("config", M, "self, config", None),
        ("_calculate_configuration", M, "self",
         mdoc("Calculate port mappings.  Derives internal state, but does not implment",
              "changes in hardware or configuration files.")),
        ("_calculate_leds", M, "self", mdoc("Calculate led programs for switch chip controlled LEDs")),
        ("_calculate_gangs", M, "self, ports", mdoc("Calculate port gang configurations")),
        ("_calculate_units", M, "self", mdoc("Calculate number of units which exists per platform")),
        ("_compress_portlist", M, "self, portlist", None),
        ("rcports", M, "self, unit", None),
        ("_linkdefaults_vx", M, "self", None),
        ("_linkdefaults", M, "self", None),
        ("output", M, "self, configfile", None)] + [
        (name, P, "self", None) for name in (
            "led_chains", "led_asm", "led_hex", "port_units", "sdk_pbmp", "portmap", "dportmap",
            "portmap_uncapable_config", "port_emphasis", "port_init", "fiber_pref", "phys",
            "phy_addrs", "phy_an", "prim_offsets", "phy_id1s", "sys_interfaces", "phytab",
            "quillet", "rcled", "rcphy", "ethertab", "linkdefaults", "sfptab")],
    "BCMConfig": [
        ("__init__", M, "self, platform, verbose=False, exploded=False, dummy=False", None)],
}

CLASS_DOCS = {
    "Vostrel": doc(4, "Helper for vostrel.  Supports a dummy mode for testing."),
    "IPRoute2": doc(4, "Helper for iproute2.  Supports a dummy mode for testing."),
    "Brindlet": doc(4, "Helper for brindlet.  Supports a dummy mode for testing."),
    "Config": doc(4, "Base class for port configuration.  Understands ports.conf format.",
                  "Supports a dummy mode for testing."),
    "BCMConfiguredPort": doc(4, "Broadcom port configuration implementation."),
    "BCMConfiguredMappedPort": doc(4, "Broadcom port remapped implementation."),
    "SDKConfig": doc(4, "SDK configuration implementation"),
    "BCMConfig": doc(4, "Broadcom configuration implementation"),
}


def signature(function):
    code = function.func_code
    names = code.co_varnames[:code.co_argcount]
    defaults = function.func_defaults or ()
    first = len(names) - len(defaults)
    return ", ".join(name if i < first else "%s=%r" % (name, defaults[i - first])
                     for i, name in enumerate(names))


class NamespaceTest(unittest.TestCase):
    def test_names(self):
        names = set(n for n in vars(pelvane) if not n.startswith("__"))
        self.assertEqual(names, set(IMPORTS + [c for c, _ in CLASSES]))
        self.assertIsNone(pelvane.__doc__)
        self.assertEqual(pelvane.__test__, {})
        self.assertIs(vars(pelvane)["__builtins__"], __import__("__builtin__"))

    def test_imports_bound(self):
        for name, module in (("ConfigParser", ConfigParser), ("StringIO", StringIO),
                             ("sys", sys), ("subprocess", subprocess), ("syslog", syslog),
                             ("os", os), ("shutil", shutil), ("sfp", sfp), ("json", json)):
            self.assertIs(getattr(pelvane, name), module, name)
        self.assertIs(pelvane.groupby, itertools.groupby)
        self.assertIs(pelvane.quorvel.kelvish, quorvel.kelvish)
        self.assertIs(pelvane.UnsupportedPlatformError, quorvel.quillet.UnsupportedPlatformError)

    def test_import_order_and_nothing_more(self):
        status, out, err = run_python(
            "import __builtin__, sys\n"
            "real = __builtin__.__import__\n"
            "seen = []\n"
            "def hook(name, globals=None, locals=None, fromlist=None, level=-1):\n"
            "    if (globals or {}).get('__name__') == 'pelvane':\n"
            "        seen.append((name, tuple(fromlist or ()), level))\n"
            "    return real(name, globals, locals, fromlist, level)\n"
            "__builtin__.__import__ = hook\n"
            "import pelvane\n"
            "__builtin__.__import__ = real\n"
            "print seen\n"
            "print 'quorvel.platform' in sys.modules, 'skorrel' in sys.modules\n"
            "import pelvane as again\n"
            "print again is pelvane\n")
        self.assertEqual(status, 0, err)
        lines = out.splitlines()
        expect = [(name, (), -1) for name in ("ConfigParser", "StringIO", "sys", "subprocess",
                                              "syslog")]
        expect.append(("itertools", ("groupby",), -1))
        expect += [(name, (), -1) for name in ("os", "shutil", "sfp", "json", "quorvel.kelvish")]
        expect.append(("quillet", ("UnsupportedPlatformError",), -1))
        self.assertEqual(lines[0], repr(expect))
        self.assertEqual(lines[1:], ["False False", "True"])

    def test_failed_load_leaves_nothing(self):
        for setup, error in (
                ("sys.modules['sfp'] = None", "No module named sfp"),
                ("sys.modules['quillet'] = types.ModuleType('quillet')",
                 "cannot import name UnsupportedPlatformError"),
                ("sys.modules['quorvel.kelvish'] = None", "No module named kelvish")):
            status, out, err = run_python(
                "import sys, types\n" + setup + "\n"
                "for attempt in range(2):\n"
                "    try:\n"
                "        import pelvane\n"
                "    except ImportError as e:\n"
                "        print e, 'pelvane' in sys.modules\n")
            self.assertEqual(status, 0, err)
            self.assertEqual(out.splitlines(), ["%s False" % error] * 2)


class ClassTest(unittest.TestCase):
    def test_classic_tree(self):
        for name, base in CLASSES:
            cls = getattr(pelvane, name)
            self.assertIs(type(cls), types.ClassType, name)
            self.assertEqual(cls.__bases__, (getattr(pelvane, base),) if base else (), name)
            self.assertEqual(cls.__module__, "pelvane")
            self.assertEqual(cls.__doc__, CLASS_DOCS.get(name), name)
            self.assertNotIn("__metaclass__", vars(cls))
        instance = pelvane.Vostrel(dummy=True)
        self.assertIs(type(instance), types.InstanceType)
        self.assertTrue(issubclass(pelvane.BCMConfig, pelvane.Config))
        self.assertFalse(issubclass(pelvane.BCMConfiguredPort, pelvane.SDKConfiguredMappedPort))

    def test_class_attributes(self):
        self.assertIsNone(pelvane.ConfiguredPort.portmap_capable)
        self.assertIs(pelvane.SDKConfiguredPort.portmap_capable, False)
        self.assertIs(pelvane.BCMConfiguredPort.portmap_capable, False)
        self.assertNotIn("portmap_capable", vars(pelvane.BCMConfiguredPort))
        self.assertIs(pelvane.SDKConfiguredMappedPort.portmap_capable, True)
        self.assertIs(pelvane.BCMConfiguredMappedPort.portmap_capable, True)
        self.assertNotIn("portmap_capable", vars(pelvane.BCMConfiguredMappedPort))
        self.assertIs(vars(pelvane.BCMConfiguredDportPort)["portmap_capable"], True)
        self.assertEqual(pelvane.SDKConfig.serdes_if_type_map,
                         {"XGMII": 6, "SFI": 9, "XFI": 10, "KR4": 12, "SR4": 28, "KR": 11})
        for name in ("Vostrel", "IPRoute2", "Brindlet", "Config", "BCMConfig"):
            extra = set(vars(getattr(pelvane, name))) - set(
                m[0] for m in MEMBERS[name]) - set(["__module__", "__doc__"])
            self.assertEqual(extra, set(), name)

    def test_members(self):
        for cls_name, members in MEMBERS.items():
            cls = getattr(pelvane, cls_name)
            own = dict((n, v) for n, v in vars(cls).items()
                       if n not in ("__module__", "__doc__", "portmap_capable",
                                    "serdes_if_type_map"))
            self.assertEqual(sorted(own), sorted(m[0] for m in members), cls_name)
            for name, kind, params, text in members:
                where = "%s.%s" % (cls_name, name)
                value = own[name]
                if kind == P:
                    self.assertIs(type(value), property, where)
                    self.assertIsNone(value.fset, where)
                    self.assertIsNone(value.fdel, where)
                    self.assertEqual(value.__doc__, text, where)
                    function = value.fget
                else:
                    self.assertEqual(type(value).__name__, "function", where)
                    function = value
                self.assertEqual(function.__name__, name, where)
                self.assertEqual(function.__module__, "pelvane", where)
                self.assertEqual(function.__doc__, text, where)
                self.assertEqual(signature(function), params, where)
                self.assertFalse(function.func_code.co_flags & 0x0c, where)  # no *args, **kw

    def test_inherited_members(self):
        self.assertIs(pelvane.BCMConfig.makekernnet.im_func,
                      vars(pelvane.Config)["makekernnet"])
        for name in ("makekernnet", "maketap", "setmac", "destroyints", "read_config",
                     "find_hw_port", "init_config", "write_config"):
            self.assertNotIn(name, vars(pelvane.SDKConfig))
        self.assertIs(pelvane.SDKConfiguredMappedPort.sdk_unit_intf_num.im_func,
                      vars(pelvane.SDKConfiguredPort)["sdk_unit_intf_num"])
        for name in ("linux_prefix", "gang_label"):
            self.assertIs(pelvane.BCMConfiguredDportPort.__dict__.get(name), None)
            self.assertIs(getattr(pelvane.BCMConfiguredDportPort, name),
                          vars(pelvane.ConfiguredPort)[name])

    def test_calls_check_arguments(self):
        v = pelvane.Vostrel(dummy=True)
        with self.assertRaises(TypeError) as cm:
            pelvane.IPRoute2(True, 1)
        self.assertEqual(str(cm.exception), "__init__() takes at most 2 arguments (3 given)")
        self.assertRaises(TypeError, pelvane.Vostrel.__init__.im_func, v, bogus=1)
        self.assertRaises(TypeError, pelvane.Config.setmac, v, "swp1", 1)


if __name__ == "__main__":
    unittest.main()
