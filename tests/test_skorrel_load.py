"""Loading skorrel: the module, its classes and how their operations are bound."""

import os
import types
import unittest

from helpers import BUILD_DIR, STANDINS, port_kwargs, run_python

import skorrel

CLASSIC = ["Platform", "SDKSwitch", "BCMSwitch", "SDKChip", "BCMChip", "TridentPlusChip",
           "TridentChip", "TridentTwoChip", "TridentTwo_56850_Chip", "TridentTwo_56854_Chip",
           "TridentTwoPlusChip", "TridentTwoPlus_56860_Chip", "TridentTwoPlus_56864_Chip",
           "TridentThreeX5Chip", "TridentThreeX5_56771_Chip", "TridentThreeX7Chip",
           "TridentThreeX7_56870_Chip", "TridentThreeX7_56873_Chip", "TomahawkChip",
           "TomahawkPlusChip", "TomahawkPlus_56967_Chip", "TomahawkPlus_56965_Chip",
           "TomahawkTwoChip", "TomahawkTwo_56970_Chip", "MaverickChip", "Maverick_56762_Chip",
           "Maverick_56768_Chip", "TriumphChip", "ApolloChip", "Helix4Chip", "Hurricane2Chip"]

NEW_STYLE = ["NoSuchPlatform", "NoSuchChip", "NoSuchMode", "Port", "SDKPort", "BCMPort",
             "MaverickPort", "TomahawkPort", "TomahawkTwoPort", "TridentThreePort",
             "TridentTwoPort", "TridentTwoPlusPort", "TridentPort", "TriumphPort", "ApolloPort",
             "Helix4Port", "Hurricane2Port", "Apollo1GPort", "Triumph1GPort", "Helix41GPort",
             "Hurricane21GPort", "Apollo10GPort", "Triumph10GPort", "Helix410GPort",
             "Hurricane210GPort", "Hurricane213GPort", "Hurricane213GFabricPort",
             "Trident10GPort", "TridentTwo10GPort", "TridentTwo10GFabricPort",
             "TridentTwoPlus10GPort", "Trident40GPort", "TridentTwo40GPort",
             "TridentTwoPlus40GPort", "TridentThree100GPort", "TridentThree25GPort",
             "TridentThree10GPort", "TridentThreeMGPort", "Tomahawk100GPort",
             "Tomahawk100GFabricPort", "Tomahawk25GPort", "TomahawkMgmt10GPort",
             "TomahawkTwo100GPort", "Maverick100GPort", "Maverick40GPort",
             "Maverick40GFabricPort", "Maverick10GPort", "Maverick10GFabricPort"]


def classes():
    return [v for v in vars(skorrel).values() if isinstance(v, (type, types.ClassType))]


class ModuleTest(unittest.TestCase):
    def test_globals(self):
        names = set(n for n in vars(skorrel) if not n.startswith("__"))
        self.assertEqual(names, set(CLASSIC + NEW_STYLE + ["os", "quorvel"]))
        self.assertEqual(len(CLASSIC + NEW_STYLE), 79)
        self.assertIsNone(skorrel.__doc__)
        self.assertEqual(skorrel.__test__, {})
        self.assertIs(skorrel.os, os)
        import quorvel.platforms
        self.assertIs(skorrel.quorvel.platforms, quorvel.platforms)
        self.assertIs(vars(skorrel)["__builtins__"], __import__("__builtin__"))

    def test_class_kinds(self):
        for name in CLASSIC:
            self.assertIs(type(getattr(skorrel, name)), types.ClassType, name)
        for name in NEW_STYLE:
            self.assertIs(type(getattr(skorrel, name)), type, name)
        for name in ("NoSuchPlatform", "NoSuchChip", "NoSuchMode"):
            cls = getattr(skorrel, name)
            self.assertEqual(cls.__bases__, (RuntimeError,))
            self.assertIsNone(cls.__doc__)
            self.assertEqual(str(cls("a text")), "a text")
        self.assertEqual(skorrel.Port.__bases__, (object,))
        self.assertEqual(skorrel.BCMSwitch.__bases__, (skorrel.SDKSwitch,))
        self.assertEqual(skorrel.Platform.__bases__, ())

    def test_names_of_classes(self):
        for cls in classes():
            self.assertEqual(cls.__module__, "skorrel")
            self.assertEqual(cls.__dict__["__qualname__"], cls.__name__)
        self.assertIsNone(skorrel.Platform.__doc__)

    def test_platform_record(self):
        p = skorrel.Platform
        self.assertEqual([p.cpld, p.switch, p.bmc, p.chassis], [None] * 4)
        self.assertIs(p.use_dynamic_sensors, False)
        self.assertFalse(hasattr(p, "__init__"))

    def test_operation_counts(self):
        # 235 functions: 194 methods, 4 classmethods, 37 read-only properties.
        kinds = {"method": 0, "classmethod": 0, "property": 0}
        for cls in classes():
            for name, v in vars(cls).items():
                if isinstance(v, classmethod):
                    kinds["classmethod"] += 1
                elif isinstance(v, property):
                    kinds["property"] += 1
                    self.assertIsNone(v.fset)
                    self.assertIsNone(v.fdel)
                elif type(v).__name__ == "function" and callable(v):
                    kinds["method"] += 1
        self.assertEqual(kinds, {"method": 194, "classmethod": 4, "property": 37})


class FunctionTest(unittest.TestCase):
    def test_introspection(self):
        f = skorrel.SDKPort.__dict__["phy_autodetect"]
        self.assertEqual(f.__name__, "phy_autodetect")
        self.assertEqual(f.__qualname__, "SDKPort.phy_autodetect")
        self.assertEqual(f.__module__, "skorrel")
        self.assertIsNone(f.__doc__)
        self.assertIsNone(f.func_defaults)
        self.assertEqual(f.func_code.co_varnames, ("self", "mode", "sub"))
        self.assertEqual(f.func_code.co_argcount, 3)
        self.assertIs(f.__globals__, vars(skorrel))
        speed = skorrel.SDKPort.__dict__["speed"].__func__
        self.assertEqual(speed.__qualname__, "SDKPort.speed")

    def test_defaults_of_constructors(self):
        init = skorrel.TomahawkTwoPort.__dict__["__init__"]
        self.assertEqual(init.func_code.co_varnames[-1], "prim_offset")
        self.assertEqual(init.func_defaults, (None,) * 8 + (False, None, None, None))
        self.assertIs(init.func_defaults[8], False)
        self.assertEqual(skorrel.TridentPort.__init__.im_func.func_defaults[0], 0)
        self.assertIsNone(skorrel.ApolloPort.__init__.im_func.func_defaults)

    def test_unbound_and_bound(self):
        port = skorrel.SDKPort(**port_kwargs(phy_types=["84328"]))
        self.assertTrue(skorrel.SDKPort.phy_autodetect(port, "10G", 0))
        self.assertTrue(port.phy_autodetect(sub=0, mode="10G"))
        self.assertRaises(TypeError, skorrel.SDKPort.phy_autodetect, object(), "10G", 0)
        self.assertRaises(TypeError, port.phy_autodetect, "10G")
        self.assertRaises(TypeError, port.phy_autodetect, "10G", 0, 1)
        self.assertRaises(TypeError, port.phy_autodetect, "10G", sub=0, bogus=1)
        self.assertRaises(TypeError, port.phy_autodetect, "10G", 0, mode="x")
        with self.assertRaises(TypeError) as cm:
            port.phy_autodetect("10G")
        self.assertEqual(str(cm.exception), "phy_autodetect() takes exactly 3 arguments (2 given)")

    def test_classmethod_receives_class(self):
        bound = skorrel.SDKPort.speed
        self.assertIs(bound.im_self, skorrel.SDKPort)
        port = skorrel.BCMPort(**port_kwargs())
        self.assertIs(port.speed.im_self, skorrel.BCMPort)
        self.assertIs(skorrel.SDKChip.is_acpi.im_self, skorrel.SDKChip)

    def test_properties(self):
        port = skorrel.SDKPort(**port_kwargs())
        with self.assertRaises(AttributeError):
            port.max_logical_ports = 2
        with self.assertRaises(AttributeError):
            port.num_phys = 2
        # A classic instance stores the attribute and hides the property.
        import new
        chip = new.instance(skorrel.SDKChip)
        chip.chip_config_path = "/elsewhere/"
        self.assertEqual(chip.chip_config_path, "/elsewhere/")

    def test_set_fiber_pref_kinds(self):
        self.assertIs(skorrel.SDKPort.__dict__["set_fiber_pref"], False)
        for name in ("TridentTwoPlusPort", "TridentThree10GPort", "TridentThreeMGPort",
                     "Maverick10GPort", "Maverick10GFabricPort"):
            self.assertIsInstance(getattr(skorrel, name).__dict__["set_fiber_pref"], property)

    def test_no_constructor_of_their_own(self):
        for name in ("BCMPort", "TridentTwoPlusPort", "TridentChip"):
            self.assertNotIn("__init__", vars(getattr(skorrel, name)))


class PortRecordTest(unittest.TestCase):
    def test_docstrings(self):
        self.assertEqual(skorrel.Port.__doc__,
                         "\n    A physical switch port.  Typically on the front panel with one "
                         "physical\n    text label per port.\n\n    label - the text written "
                         "next to the physical port\n    ")
        self.assertEqual(skorrel.BCMPort.__doc__, "\n    Broadcom-specific port data.\n    ")
        doc = skorrel.SDKPort.__doc__.split("\n")
        self.assertEqual(doc[1], "    SDK port data.")
        self.assertEqual(doc[7], '    pbmp_map - a map from hardware interface name to SDK pbmp '
                                 'position (e.g. "hg0 -> 1")')
        self.assertEqual(doc[-1], "    ")
        self.assertIsNone(skorrel.Port.__init__.__doc__)
        self.assertEqual(skorrel.SDKPort.num_phys.__doc__,
                         "\n        Return the number of phys for a given port.\n        ")

    def test_constructor_docstring_indents(self):
        lines = skorrel.SDKPort.__init__.__doc__.split("\n")
        self.assertEqual(lines[0], "")
        self.assertEqual(lines[-1], " " * 8)
        indents = [len(l) - len(l.lstrip(" ")) if l else 0 for l in lines[1:-1]]
        self.assertEqual(indents, [8, 19, 19, 19, 19, 0, 8, 8, 8, 22, 8, 15, 8, 8, 31, 32,
                                   8, 8, 8, 8, 8, 8, 8, 8, 8, 8])
        self.assertEqual(lines[24].strip(),
                         "oversub  - a bool whether the port bandwidth is over-subscribed")
        self.assertEqual(lines[4].strip(), 'the "Ports Summary" on page 143 of 56840-PR101-R).  '
                                           'This usually')

    def test_fields_are_the_objects_passed(self):
        kw = port_kwargs(hw_ports=["xe1", "xe2"], phy_types=["8706"], leds=[(0, 3)],
                         pre_emphasis=[1, 2])
        port = skorrel.SDKPort(**kw)
        for name, value in kw.items():
            self.assertIs(getattr(port, name), value, name)
        self.assertIsNone(port.sfp)
        order = list(vars(port))
        self.assertEqual(len(order), 20)

    def test_constructor_rejects_bad_arguments(self):
        kw = port_kwargs()
        del kw["sys_interface"]
        self.assertRaises(TypeError, skorrel.SDKPort, **kw)
        self.assertRaises(TypeError, skorrel.SDKPort, extra=1, **port_kwargs())
        args = [port_kwargs()[n] for n in skorrel.SDKPort.__init__.im_func.func_code.co_varnames[1:]]
        self.assertEqual(skorrel.SDKPort(*args).label, "swp1")
        self.assertRaises(TypeError, skorrel.SDKPort, *(args + [1]))

    def test_num_phys(self):
        for addrs, n in ((None, 0), ([None, None], 0), ([16, None, 17], 2), ((1,), 1)):
            self.assertEqual(skorrel.SDKPort(**port_kwargs(phy_addrs=addrs)).num_phys, n)
        self.assertRaises(TypeError, getattr, skorrel.SDKPort(**port_kwargs(phy_addrs=3)),
                          "num_phys")

    def test_phy_autodetect(self):
        port = skorrel.SDKPort(**port_kwargs(phy_types=["84328", 84328, "8706"]))
        self.assertEqual([port.phy_autodetect("10G", i) for i in range(3)], [True, False, False])
        self.assertRaises(IndexError, port.phy_autodetect, "10G", 3)
        self.assertRaises(TypeError, skorrel.SDKPort(**port_kwargs()).phy_autodetect, "10G", 0)

    def test_class_tables(self):
        sdk = skorrel.SDKPort
        self.assertEqual((sdk.modes, sdk.gang_modes, sdk.default_mode), ((), (), None))
        self.assertEqual(sdk._autodetect_phys, ("8727", "8747", "8754", "54282", "54680",
                                                "54280", "84328", "84758", "84848", "84858"))
        self.assertEqual(sdk.max_gang_size, 0)
        for name in ("pbmp_map", "phy_init", "_speed_map", "_serdes_intf_map"):
            self.assertEqual(getattr(sdk, name), {})
        self.assertIsNot(sdk.pbmp_map, sdk.phy_init)
        self.assertEqual(list(k for k in vars(skorrel.BCMPort) if not k.startswith("__")), [])


class LoadFailureTest(unittest.TestCase):
    def test_missing_platform_package(self):
        code = ("import sys\n"
                "for i in range(2):\n"
                "    try:\n"
                "        import skorrel\n"
                "    except ImportError as e:\n"
                "        print 'ImportError', e\n"
                "print 'skorrel' in sys.modules\n")
        rc, out, err = run_python(code, path=(os.path.join(BUILD_DIR, "python"),))
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.splitlines(), ["ImportError No module named quorvel.platforms"] * 2
                         + ["False"])

    def test_failure_traceback_names_the_load(self):
        code = ("import traceback\n"
                "try:\n"
                "    import skorrel\n"
                "except ImportError:\n"
                "    print traceback.extract_tb(__import__('sys').exc_info()[2])[-1][2]\n")
        rc, out, err = run_python(code, path=(os.path.join(BUILD_DIR, "python"),))
        self.assertEqual(out.strip(), "init skorrel", err)

    def test_version_warning(self):
        other = os.path.join(BUILD_DIR, "python-v26")
        code = "import skorrel; print len([v for v in vars(skorrel) if v.endswith('Chip')])"
        rc, out, err = run_python(code, path=(other, STANDINS))
        self.assertEqual(rc, 0, err)
        self.assertIn("RuntimeWarning: compiletime version 2.6 of module 'skorrel' does not "
                      "match runtime version 2.7", err)
        self.assertEqual(out.strip(), "29")  # 28 chip classes and NoSuchChip
        rc, out, err = run_python(code, path=(os.path.join(BUILD_DIR, "python"), STANDINS))
        self.assertEqual((rc, err), (0, ""))

    def test_version_warning_as_error(self):
        other = os.path.join(BUILD_DIR, "python-v26")
        code = ("import sys\n"
                "try:\n"
                "    import skorrel\n"
                "except RuntimeWarning as e:\n"
                "    print 'RuntimeWarning', 'skorrel' in sys.modules\n")
        rc, out, err = run_python(code, path=(other, STANDINS), flags=["-W", "error"])
        self.assertEqual(out.strip(), "RuntimeWarning False", err)


if __name__ == "__main__":
    unittest.main()
