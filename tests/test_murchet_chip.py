"""The multicast checker's chip side: loading murchet, the Asic snapshot taken
through the chip shell, the chip records and the lookups over the snapshot."""

import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import types
import unittest

import bcmshell
from quorvel import dornick, quillet

import murchet

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("BUILD_DIR", os.path.join(HERE, "..", "build"))
STANDINS = os.path.join(HERE, "standins")

PORTS_HEADER = ("                 ena/    speed/ link auto    STP                  lrn\n"
                "           port  link    duplex scan neg?   state   pause  discrd ops\n")

BASE = {
    "show unit": "Unit 0 chip BCM56850_A2 (current)\n",
    "show portmap": ("              pipe   logical  physical\n"
                     "  xe0      0      1     1\n"
                     "  xe1      0      2     2\n"
                     "  xe2      0      3     3\n"),
    "pvlan show": "Port xe0 default VLAN is 10\nPort xe1 default VLAN is 20\n",
    "l3 intf show": ("Free L3INTF entries: 16381\n"
                     "Unit  Intf  VRF Group VLAN    Source Mac\n"
                     "-------------------------------------------\n"
                     "0     5     0   0     100  00:11:22:33:44:55\n"
                     "0     6     0   0     200  00:11:22:33:44:56\n"),
    "vlan translate show": "modid = 0 port = 2, old_vid = 300, new_vid = 200\n",
    "sc L3IngressMode": "0x0\n",
    "listmem VLAN": "Memory: VLAN.ipipe0\n    L3_IIF<146:134>\n",
    "multicast show": ("Group 0x2000001 (L3)\n"
                       "\tport xe0, encap id 5\n"
                       "\tport xe1, encap id 6\n"
                       "\tport xe2, encap id -1\n"),
    "vlan show 100": "vlan 100\tports xe0,xe2 (0x5), untagged xe0 (0x1) MCAST_FLOOD_UNKNOWN\n",
    "ports xe0": PORTS_HEADER + "       xe0(  1)  up     10G  FD   SW  No\n",
    "ipmc table show": ("SRC IP ADDRESS  MC IP ADDRESS  VLAN MOD PORT V COS HIT VRF GROUP\n"
                        "----------------------------------------------------------------\n"
                        "10.0.0.1        239.1.1.1      100  0   cpu0 1 0   y   0   0x1\n"),
    "dump chg l3_entry_ipv4_multicast": (
        "L3_ENTRY_IPV4_MULTICAST.ipipe0[12]: <VALID_0=1,GROUP_IP_ADDR=0xe0010101,"
        "L3MC_INDEX=0x5,VRF_ID=0x0>\n"),
}

COMMANDS = ["show portmap", "pvlan show", "l3 intf show", "vlan translate show",
            "sc L3IngressMode", "multicast show", "vlan show 100", "ports xe0",
            "ipmc table show"]


def install(**answers):
    """Answers of the stand-in shell: BASE with `answers` in place (keys with
    "_" for blanks); the port table and VRF names of a three-port chip."""
    bcmshell.reset()
    bcmshell.answers.update(BASE)
    for key, answer in answers.items():
        bcmshell.answers[key.replace("_", " ")] = answer
    quillet.ports = {"xe0": "swp1", "xe1": "swp2", "xe2": "swp3"}
    quillet.linux_ports = ["swp1", "swp2", "swp3"]
    quillet.asked = []
    dornick.names = {0: "default", 1: "red"}
    dornick.asked = []


def bare(cls=murchet.Asic, **attrs):
    """An Asic whose constructor has not run, holding empty tables and `attrs`."""
    a = types.InstanceType(cls)
    a.bcm = bcmshell.bcmshell()
    a.pt = quillet.quillet()
    a.vrf_db = dornick.VrfDb()
    a.portmap, a.vlan_xlate, a.vlans, a.l3_intfs = [], [], {}, {}
    a.replication_groups, a.mroutes = {}, {}
    a.__dict__.update(attrs)
    return a


def run_python(code, path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    proc = subprocess.Popen([sys.executable, "-c", code], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate()
    return proc.returncode, out, err


class ModuleLoadTest(unittest.TestCase):
    RECORDS = ["KernMdbEntry", "KernMdbCache", "KernVlanEntry", "KernVlanDevEntry",
               "KernDevEntry", "PortmapEntry", "VlanXlate", "VlanEntry", "Encap",
               "ReplicationGroup", "Hmroute", "Asic"]

    def test_globals_and_classes(self):
        names = set(n for n in vars(murchet) if not n.startswith("__"))
        self.assertEqual(names, set(["json", "os", "re", "socket", "struct", "subprocess", "sys",
                                     "quorvel", "bcmshell"] + self.RECORDS))
        self.assertIs(murchet.bcmshell, bcmshell)
        self.assertIs(murchet.quorvel.dornick, dornick)
        self.assertIsNone(murchet.__doc__)
        for name in self.RECORDS:
            cls = getattr(murchet, name)
            self.assertIs(type(cls), types.ClassType, name)
            self.assertEqual(cls.__bases__, ())
            self.assertEqual(cls.__module__, "murchet")
            self.assertIsNone(cls.__doc__)
            self.assertNotIn("__qualname__", vars(cls))
        self.assertEqual(sorted(vars(murchet.Encap)),
                         ["__doc__", "__init__", "__module__", "__str__", "encap2swp"])
        asic_ops = [n for n in vars(murchet.Asic) if n not in ("__doc__", "__module__")]
        self.assertEqual(len(asic_ops), 50)  # 49 operations and _devs_supported

    def test_asic_class_attributes(self):
        self.assertEqual(murchet.Asic._devs_supported, ("bridge", "bond", "vlan", "swp"))
        self.assertIs(bare()._devs_supported, murchet.Asic._devs_supported)
        self.assertIsInstance(vars(murchet.Asic)["_get_cmd_output"], staticmethod)
        init = murchet.Asic.__init__.im_func
        self.assertEqual(init.func_code.co_varnames, ("self", "use_mem_table"))
        self.assertEqual(init.func_defaults, (False,))
        self.assertEqual(murchet.Hmroute.__init__.im_func.func_code.co_varnames,
                         ("self", "sip", "dip", "iif", "mcast_grp", "vrf"))

    def test_without_the_shell_client(self):
        for failure in ("raise ImportError('no chip')", "raise RuntimeError('broken')"):
            tmp = tempfile.mkdtemp()
            self.addCleanup(shutil.rmtree, tmp)
            with open(os.path.join(tmp, "bcmshell.py"), "w") as f:
                f.write(failure + "\n")
            rc, out, err = run_python(
                "import murchet, types\n"
                "print murchet.bcmshell\n"
                "a = types.InstanceType(murchet.Asic)\n"
                "try:\n"
                "    a.__init__()\n"
                "except AttributeError as e:\n"
                "    print e\n"
                "print sorted(vars(a))\n",
                [tmp, os.path.join(BUILD, "python"), STANDINS])
            self.assertEqual(rc, 0, err)
            self.assertEqual(out.splitlines(), [
                "None", "'NoneType' object has no attribute 'bcmshell'",
                "['desc', 'pt', 'vrf_db']"])

    def test_without_the_vrf_database(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        os.mkdir(os.path.join(tmp, "quorvel"))
        for name in ("__init__.py", "quillet.py"):
            open(os.path.join(tmp, "quorvel", name), "w").close()
        rc, out, err = run_python("import murchet", [tmp, os.path.join(BUILD, "python"), STANDINS])
        self.assertNotEqual(rc, 0)
        self.assertIn("ImportError: No module named dornick", err)

    def test_other_interpreter_version_warns(self):
        rc, out, err = run_python("import warnings\nwarnings.simplefilter('always')\n"
                                  "import murchet\nprint murchet.Asic",
                                  [os.path.join(BUILD, "python-v26"), STANDINS])
        self.assertEqual(rc, 0, err)
        self.assertIn("RuntimeWarning: compiletime version 2.6 of module 'murchet' does not "
                      "match runtime version 2.7", err)
        self.assertIn("murchet.Asic", out)

    def test_traceback_names_the_operation(self):
        install(show_portmap="only a header\n")
        try:
            murchet.Asic()
        except RuntimeError:
            tb = sys.exc_info()[2]
        entries = []
        while tb:
            entries.append((tb.tb_frame.f_code.co_filename, tb.tb_frame.f_code.co_name))
            tb = tb.tb_next
        self.assertIn(("murchet.py", "murchet.Asic.__init__"), entries)
        self.assertIn(("murchet.py", "murchet.Asic._parse_portmap"), entries)


class ConstructorTest(unittest.TestCase):
    def setUp(self):
        install()

    def test_commands_and_client(self):
        a = murchet.Asic()
        self.assertEqual(bcmshell.commands, COMMANDS)
        client, = bcmshell.clients
        self.assertEqual((client.args, client.kwargs), ((), {"timeout": 180}))
        self.assertIs(a.bcm, client)
        self.assertIs(a.linux_ports, quillet.linux_ports)
        self.assertEqual(a.desc, "asic")
        self.assertEqual(a.vlan_riot_memtable, "")
        self.assertIs(a.riot_enable, False)

    def test_routes_from_the_memory_dump(self):
        for args, kw in (((True,), {}), ((), {"use_mem_table": 1}), (("yes",), {})):
            bcmshell.reset()
            install()
            a = murchet.Asic(*args, **kw)
            self.assertEqual(bcmshell.commands[-1], "dump chg l3_entry_ipv4_multicast")
            self.assertEqual(list(a.mroutes), ["default, (0.0.0.0, 224.1.1.1)"])
        install()
        murchet.Asic(0)
        self.assertEqual(bcmshell.commands[-1], "ipmc table show")

    def test_riot_on_lists_the_vlan_table(self):
        install(sc_L3IngressMode="0x1\n")
        a = murchet.Asic()
        self.assertEqual(bcmshell.commands[4:6], ["sc L3IngressMode", "listmem VLAN"])
        self.assertEqual((a.riot_enable, a.vlan_riot_memtable), (True, "VLAN"))

    def test_attributes_in_order_and_readers_through_the_object(self):
        log = []

        class Watched(murchet.Asic):
            def __setattr__(self, name, value):
                log.append(name)
                self.__dict__[name] = value

        for reader in ("_parse_portmap", "_parse_ports", "_parse_l3_intf", "_parse_vlan_xlate",
                       "_parse_multicast_repln_groups", "_parse_ipmc_table"):
            def read(self, reader=reader):
                log.append(reader)
                getattr(murchet.Asic, reader)(self)
            setattr(Watched, reader, read)
        a = Watched()
        self.assertEqual(log, [
            "desc", "pt", "vrf_db", "bcm", "linux_ports", "kern_dev_cache", "kern_mdb_cache",
            "flood_mdb_misses", "kern_vlan_cache_created", "kern_vlan_cache",
            "kern_vlan_dev_cache_created", "kern_vlan_dev_cache", "kern_br_cache", "portmap",
            "_parse_portmap", "_parse_ports", "l3_intfs", "_parse_l3_intf", "vlan_xlate",
            "_parse_vlan_xlate", "vlan_riot", "riot_enable", "vlan_riot_memtable", "vlans",
            "replication_groups", "_parse_multicast_repln_groups", "mroutes",
            "_parse_ipmc_table"])
        self.assertEqual((a.flood_mdb_misses, a.kern_vlan_cache_created,
                          a.kern_vlan_dev_cache_created), (True, False, False))
        containers = [a.kern_dev_cache, a.kern_mdb_cache, a.kern_vlan_cache,
                      a.kern_vlan_dev_cache, a.kern_br_cache, a.vlan_riot]
        self.assertEqual(containers, [{}] * 6)
        self.assertEqual(len(set(map(id, containers))), 6)

    def test_shell_failures(self):
        cases = [("show portmap", "show portmap timed out"), ("pvlan show", "pvlan show"),
                 ("l3 intf show", "l3 intf show"), ("vlan translate show", "vlan translate show"),
                 ("sc L3IngressMode", "sc L3IngressMode timed out"),
                 ("multicast show", "multicast show"), ("vlan show 100", "vlan show 100"),
                 ("ports xe0", "ports xe0"), ("ipmc table show", "ipmc table show timed out")]
        for command, text in cases:
            install()
            bcmshell.answers[command] = IOError("the shell did not answer")
            with self.assertRaises(RuntimeError) as caught:
                murchet.Asic()
            self.assertEqual(caught.exception.args, (text,))
            self.assertEqual(bcmshell.commands[-1], command)  # nothing after it
        install(sc_L3IngressMode="1", listmem_VLAN=IOError)
        self.assertRaisesRegexp(RuntimeError, "^listmem VLAN$", murchet.Asic)
        install()
        bcmshell.answers["dump chg l3_entry_ipv4_multicast"] = IOError
        self.assertRaisesRegexp(RuntimeError, "^dump chg l3_entry_ipv4_multicast$",
                                murchet.Asic, True)
        install(show_portmap=ValueError("not a shell failure"))
        self.assertRaisesRegexp(ValueError, "not a shell failure", murchet.Asic)

    def test_text_form(self):
        a = murchet.Asic()
        a.mroutes = {}
        self.assertEqual(str(a), "Asic ip mroutes:\n")

        class Dumped(murchet.Asic):
            def _dump_one_mroute(self, mroute):
                return "<%s>\n" % mroute.sip

        a = bare(Dumped)
        for sip in ("9.0.0.1", "10.0.0.1", "10.0.0.10"):
            a.mroutes["default, (%s, 239.1.1.1)" % sip] = murchet.Hmroute(sip, "239.1.1.1", 1, 1,
                                                                          "default")
        self.assertEqual(str(a), "Asic ip mroutes:\n<10.0.0.1>\n<10.0.0.10>\n<9.0.0.1>\n")

    def test_is_1G_chip(self):
        a = bare()
        bcmshell.answers["show unit"] = "Unit 0 chip BCM56850\nUnit 1 chip BCM56340_A0\n"
        self.assertIs(a._is_1G_chip(), True)
        bcmshell.answers["show unit"] = "Unit 0 chip BCM56850\n"
        self.assertIs(a._is_1G_chip(), False)
        bcmshell.answers["show unit"] = IOError
        self.assertRaisesRegexp(RuntimeError, "^show unit timed out$", a._is_1G_chip)
        bcmshell.answers["show unit"] = ValueError("odd")
        self.assertRaisesRegexp(ValueError, "odd", a._is_1G_chip)

    def test_get_cmd_output(self):
        run = murchet.Asic._get_cmd_output
        self.assertEqual(run(["sh", "-c", "echo out; echo err >&2"]), "out\n")
        self.assertIsNone(run(["sh", "-c", "echo out; exit 1"]))
        self.assertEqual(bare()._get_cmd_output(["false"], dispStr="fallback"), "fallback")
        self.assertRaises(OSError, run, ["/nonexistent/program"])


class RecordTest(unittest.TestCase):
    def test_portmap_entry(self):
        e = murchet.PortmapEntry("xe1", 2, "swp2")
        self.assertEqual(str(e), "dport: xe1, lport: 2, linux_port: swp2, port_vid: -1")
        self.assertIsNone(e.update_port_vid(100))
        self.assertEqual(str(e), "dport: xe1, lport: 2, linux_port: swp2, port_vid: 100")
        self.assertRaises(TypeError, str, murchet.PortmapEntry("xe1", "2", "swp2"))

    def test_attributes_in_order(self):
        log = []

        class Route(murchet.Hmroute):
            def __setattr__(self, name, value):
                log.append(name)
                self.__dict__[name] = value

        Route(sip="10.0.0.1", dip="239.1.1.1", iif=7, mcast_grp=31, vrf="default")
        self.assertEqual(log, ["sip", "dip", "iif", "kernel_iif", "grp", "iif_mismatch",
                               "oil_mismatch", "vrf"])

    def test_vlan_records(self):
        self.assertEqual(str(murchet.VlanXlate(5, 200, 100)), "lport: 5, ivid: 200, evid: 100")
        self.assertEqual(str(murchet.VlanEntry(100, ["xe0", "xe1"])),
                         "vid: 100, untagged_ports: xe0,xe1")
        self.assertRaises(TypeError, str, murchet.VlanEntry(100, ["xe0", 1]))

    def test_encap(self):
        e = murchet.Encap("swp5", "xe4", -1, -1, -1)
        self.assertEqual((str(e), e.encap2swp()), ("port: swp5", "swp5"))
        e = murchet.Encap("swp5", "xe4", 7, 100, 100)
        self.assertEqual((str(e), e.encap2swp()), ("port: swp5, vlan: 100", "swp5.100"))
        self.assertRaises(TypeError, murchet.Encap("swp5", "xe4", 7, 100, "x").encap2swp)

    def test_replication_group(self):
        l3 = [murchet.Encap("swp1", "xe0", 5, 100, -1), murchet.Encap("swp2", "xe1", 6, 200, 300),
              murchet.Encap("swp2", "xe1", 6, 200, 300)]
        l2 = [murchet.Encap("swp3", "xe2", -1, -1, -1)]
        g = murchet.ReplicationGroup(31, l2, l3)
        self.assertIs(g.l3_encaps, l3)
        self.assertEqual(str(g), "  port: swp1\n  port: swp2, vlan: 300\n  port: swp2, vlan: 300\n"
                                 "  L2 replication ports:\n    port: swp3\n")
        self.assertEqual(g.get_l3_linux_encaps(), set(["swp1", "swp2.300"]))
        self.assertEqual(g.get_l2_linux_encaps(), set(["swp3"]))
        self.assertEqual(str(murchet.ReplicationGroup(1, [], l3[:1])), "  port: swp1\n")
        self.assertEqual(str(murchet.ReplicationGroup(1, l2, [])),
                         "  L2 replication ports:\n    port: swp3\n")
        self.assertEqual(str(murchet.ReplicationGroup(1, [], [])), "")

    def test_hmroute(self):
        r = murchet.Hmroute("10.0.0.1", "239.1.1.1", 100, 31, "default")
        self.assertEqual(r.grp, 31 | 0x2000000)
        self.assertEqual(murchet.Hmroute("a", "b", 1, 0x2000005, "v").grp, 0x2000005)
        self.assertIsNone(r.kernel_iif)
        self.assertEqual(str(r), "default, (10.0.0.1, 239.1.1.1), iif: 100")
        r.iif_mismatch.append("iif mismatch")
        r.oil_mismatch.append("oil mismatch")
        self.assertEqual(str(r), "default, (10.0.0.1, 239.1.1.1), iif: 100\n  errors:\n"
                                 "    iif mismatch\n    oil mismatch")
        other = murchet.Hmroute("10.0.0.2", "239.1.1.1", 100, 31, "default")
        self.assertEqual((other.iif_mismatch, other.oil_mismatch), ([], []))
        for hidden in (0, ""):
            other.kernel_iif = hidden
            self.assertTrue(str(other).endswith("iif: 100"))
        other.kernel_iif = "br0.100"
        self.assertTrue(str(other).endswith("iif: br0.100"))
        self.assertRaises(TypeError, murchet.Hmroute, "a", "b", 1, "31", "v")

    def test_readers_make_the_same_records(self):
        install()
        a = murchet.Asic()
        made = a.mroutes["default, (10.0.0.1, 239.1.1.1)"]
        self.assertEqual(vars(made), vars(murchet.Hmroute("10.0.0.1", "239.1.1.1", 100, 1,
                                                          "default")))
        e = a.replication_groups[0x2000001].l3_encaps[0]
        self.assertIs(type(e), types.InstanceType)
        self.assertIs(e.__class__, murchet.Encap)
        self.assertEqual(vars(e), vars(murchet.Encap("swp1", "xe0", 5, 100, -1)))

    def test_readers_use_the_module_classes(self):
        made = []
        original = murchet.Encap

        class Counted(original):
            def __init__(self, *args):
                made.append(args)
                original.__init__(self, *args)

        install()
        murchet.Encap = Counted
        try:
            a = murchet.Asic()
        finally:
            murchet.Encap = original
        self.assertEqual(made, [("swp1", "xe0", 5, 100, -1), ("swp2", "xe1", 6, 200, 300),
                                ("swp3", "xe2", -1, -1, -1)])
        self.assertIsInstance(a.replication_groups[0x2000001].l2_encaps[0], Counted)


class PortmapTest(unittest.TestCase):
    def setUp(self):
        install()

    def portmap(self, answer):
        bcmshell.answers["show portmap"] = answer
        a = bare()
        a._parse_portmap()
        return [(e.dport, e.logical_port, e.linux_port, e.port_vid) for e in a.portmap]

    def test_rows(self):
        self.assertEqual(self.portmap(" pipe logical\nxe0 0 1\n"), [("xe0", 1, "swp1", -1)])
        self.assertEqual(self.portmap("logical x logical\r\nxe1 9 3 4\rxe7 9 5 6\r\n"),
                         [("xe1", 9, "swp2", -1), ("xe7", 9, None, -1)])

    def test_failures(self):
        for answer in ("", " pipe logical\n", "Error: logical\nxe0 0 1\n",
                       "pipe logicalError\nxe0 0 1\n"):
            self.assertRaisesRegexp(RuntimeError, "^show portmap is not supported on this chip$",
                                    self.portmap, answer)
        self.assertRaisesRegexp(RuntimeError, "^show portmap format unexpected$",
                                self.portmap, "pipe Logical\nxe0 0 1\n")
        self.assertRaises(IndexError, self.portmap, "pipe logical\nxe0 0 1\n\n")
        self.assertRaises(IndexError, self.portmap, "pipe logical\nxe0 0\n")
        self.assertRaises(ValueError, self.portmap, "pipe logical\nxe0 0 one\n")

    def test_port_vlans(self):
        install(pvlan_show="Port VLANs:\n\n Port xe0 default VLAN is 5\nPort xe0 default VLAN is 10"
                           "\nPort xe1 default VLAN is 20 (tagged)\nPort xe9 default VLAN is 7\n",
                show_portmap="pipe logical\nxe0 0 1\nxe1 0 2\nxe0 0 8\nxe2 0 3\n")
        a = bare()
        a._parse_portmap()
        a._parse_ports()
        self.assertEqual([e.port_vid for e in a.portmap], [10, 20, 10, -1])
        self.assertEqual(a._dport2logical_port("xe0"), 1)
        self.assertEqual(a._dport2logical_port("xe9"), -1)
        self.assertEqual(a._get_logical_port_and_pvid("swp2"), (2, 20))
        self.assertEqual(a._get_logical_port_and_pvid("swp3"), (3, -1))
        self.assertEqual(bare()._get_logical_port_and_pvid("swp1"), (-1, -1))
        self.assertEqual(bare()._dport2logical_port("xe0"), -1)

    def test_unnamed_port_is_never_found_by_name(self):
        a = bare()
        bcmshell.answers["show portmap"] = "pipe logical\nxe9 0 9\nxe0 0 1\n"
        a._parse_portmap()
        self.assertEqual(a._get_logical_port_and_pvid("None"), (-1, -1))
        self.assertEqual(a._get_logical_port_and_pvid("swp1"), (1, -1))

    def test_updates_through_the_object(self):
        calls = []

        class Logged(murchet.Asic):
            def _update_portmap_port_vid(self, dport, port_vid):
                calls.append((dport, port_vid))

        bare(Logged)._parse_ports()
        self.assertEqual(calls, [("xe0", 10), ("xe1", 20)])


def lport_rows(a):
    return [(x.lport, x.ivid, x.evid) for x in a.vlan_xlate]


class VlanTest(unittest.TestCase):
    def setUp(self):
        install()

    def test_translations(self):
        bcmshell.answers["vlan translate show"] = (
            "port=5, old_vid=100, new_vid=200\n"
            "key_type = 1, action = replace\n"
            "\n"
            "modid = 0 port = 3, port = 4, old_vid = 7\n"
            "port = 4, modid = 0 port = 3, new_vid = 8 = 9, oops\n"
            "modid = x port = 1, new_vid=2\n")
        a = bare()
        a._parse_vlan_xlate()
        self.assertEqual(lport_rows(a), [(5, 200, 100), (-1, -1, -1), (4, -1, 7), (3, 8, -1),
                                         (-1, 2, -1)])
        bcmshell.answers["vlan translate show"] = "port = five\n"
        self.assertRaises(ValueError, bare()._parse_vlan_xlate)

    def test_untagged_members(self):
        a = bare(portmap=[murchet.PortmapEntry("xe0", 1, "swp1")])
        self.assertIs(a._is_port_untagged_for_vid("xe0", 100), True)
        self.assertIs(a._is_port_untagged_for_vid("xe2", 100), False)
        self.assertEqual(bcmshell.commands, ["vlan show 100", "ports xe0"])
        self.assertEqual(str(a.vlans[100]), "vid: 100, untagged_ports: xe0")

    def test_vlan_answers(self):
        bcmshell.answers["vlan show 7"] = "vlan 7\tports xe0 (0x1), untagged\nuntagged xe0\n"
        a = bare()
        self.assertIs(a._is_port_untagged_for_vid("xe0", 7), False)
        self.assertIs(a._is_port_untagged_for_vid("xe0", 7), False)
        self.assertEqual(bcmshell.commands, ["vlan show 7"] * 2)
        bcmshell.answers["vlan show 8"] = "vlan 9 untagged xe1,xe2 (0x6)\n"
        bcmshell.answers["ports xe1,xe2"] = PORTS_HEADER
        a._parse_vlan(8)
        self.assertEqual(a.vlans, {})
        bcmshell.answers["ports xe1,xe2"] = PORTS_HEADER + "  xe1(  2) up\n\n  xe2 up\n  (3) up\n"
        a._parse_vlan(8)
        self.assertEqual(a.vlans[9].untagged_dports, ["xe1", "xe2", ""])
        self.assertNotIn(8, a.vlans)

    def test_egress_and_internal_vlans(self):
        a = bare(portmap=[murchet.PortmapEntry("xe4", 5, "swp5"),
                          murchet.PortmapEntry("xe0", 1, "swp1")],
                 vlan_xlate=[murchet.VlanXlate(5, 200, 100), murchet.VlanXlate(5, 200, 101),
                             murchet.VlanXlate(-1, 9, 10)])
        self.assertEqual(a._ivid2evid("xe4", 200), 100)
        self.assertEqual(a._evid2ivid(5, 100), 200)
        self.assertEqual(a._evid2ivid(5, 101), 200)
        self.assertEqual(a._evid2ivid(-1, 10), 9)
        self.assertEqual(a._evid2ivid(5, 999), -1)
        self.assertEqual(a._ivid2evid("xe9", 300), 300)  # not in the port map: no chip request
        self.assertEqual(bcmshell.commands, [])
        self.assertEqual(a._ivid2evid("xe0", 100), -1)  # untagged member of VLAN 100
        bcmshell.answers["vlan show 100"] = "vlan 100\tports xe0 (0x1), untagged xe4 (0x1)\n"
        a.vlans[100] = murchet.VlanEntry(100, ["xe4"])
        self.assertEqual(a._ivid2evid("xe4", 200), 100)  # the translation comes first
        bcmshell.answers["vlan show -1"] = "Error: VLAN -1 not found\n"
        self.assertEqual(a._ivid2evid("xe0", -1), -1)
        self.assertEqual(a._ivid2evid("xe0", -1), -1)
        self.assertEqual(bcmshell.commands[-2:], ["vlan show -1", "vlan show -1"])

    def test_lookups_through_the_object(self):
        class Overridden(murchet.Asic):
            def _dport2logical_port(self, dport):
                return 5

            def _is_port_untagged_for_vid(self, dport, vid):
                return vid == 42

        a = bare(Overridden, vlan_xlate=[murchet.VlanXlate(5, 200, 100)])
        self.assertEqual(a._ivid2evid("any", 200), 100)
        self.assertEqual(a._ivid2evid("any", 42), -1)
        self.assertEqual(a._ivid2evid("any", 43), 43)

        class Reader(murchet.Asic):
            def _parse_vlan(self, vid):
                self.vlans = {vid: murchet.VlanEntry(vid, ["xe3"])}

        self.assertIs(bare(Reader)._is_port_untagged_for_vid("xe3", 12), True)


class FirstMatchTest(unittest.TestCase):
    """Lookups answer as a scan of the public lists does, whatever the caller did to them."""

    def test_port_map_changes(self):
        P = murchet.PortmapEntry
        a = bare(portmap=[P("xe0", 1, "swp1"), P("xe1", 2, "swp2"), P("xe1", 3, "swp3")])
        self.assertEqual(a._dport2logical_port("xe1"), 2)
        a.portmap.insert(0, P("xe1", 9, "swp9"))
        self.assertEqual(a._dport2logical_port("xe1"), 9)
        del a.portmap[0]
        a.portmap[1] = P("xe1", 7, "swp7")
        self.assertEqual(a._dport2logical_port("xe1"), 7)
        a.portmap[1].dport = "xe8"
        self.assertEqual(a._dport2logical_port("xe1"), 3)
        self.assertEqual(a._dport2logical_port("xe8"), 7)
        a.portmap.reverse()
        self.assertEqual(a._dport2logical_port("xe1"), 3)
        a.portmap = [P("xe1", 4, "swp4")]
        self.assertEqual(a._dport2logical_port("xe1"), 4)
        self.assertEqual(a._get_logical_port_and_pvid("swp4"), (4, -1))
        a.portmap.append(P(u"xe5", 5, u"swp5"))
        self.assertEqual(a._dport2logical_port("xe5"), 5)
        self.assertEqual(a._get_logical_port_and_pvid("swp5"), (5, -1))

    def test_record_replaced_inside_the_list(self):
        P, X = murchet.PortmapEntry, murchet.VlanXlate
        a = bare(portmap=[P("xe0", 1, "swp1"), P("xe2", 2, "swp2"), P("xe1", 3, "swp3")],
                 vlan_xlate=[X(1, 10, 100), X(2, 20, 200), X(1, 30, 300)])
        self.assertEqual(a._dport2logical_port("xe1"), 3)
        a.portmap[1] = P("xe1", 9, "swp9")
        self.assertEqual(a._dport2logical_port("xe1"), 9)
        self.assertEqual(a._evid2ivid(1, 300), 30)
        a.vlan_xlate[1] = X(1, 40, 300)
        self.assertEqual(a._evid2ivid(1, 300), 40)

    def test_records_replaced_around_the_one_answered(self):
        X = murchet.VlanXlate
        a = bare(vlan_xlate=[X(1, 10, 100), X(2, 20, 200), X(3, 30, 300)])
        self.assertEqual(a._evid2ivid(2, 200), 20)
        a.vlan_xlate[2] = X(2, 40, 200)
        self.assertEqual(a._evid2ivid(2, 200), 20)
        self.assertEqual(a._evid2ivid(3, 300), -1)
        a.vlan_xlate[2] = X(4, 50, 400)
        self.assertEqual(a._evid2ivid(4, 400), 50)
        a.vlan_xlate[0] = X(2, 60, 200)
        self.assertEqual(a._evid2ivid(2, 200), 60)
        self.assertEqual(a._evid2ivid(4, 400), 50)

    def test_equality_as_the_interpreter_answers_it(self):
        class Any(object):
            def __eq__(self, other):
                return True

        X = murchet.VlanXlate
        a = bare(vlan_xlate=[X(5, 200, 100), X(Any(), 300, 301), X(5L, 400, 401)])
        self.assertEqual(a._evid2ivid(5, 100), 200)
        self.assertEqual(a._evid2ivid(7, 301), 300)
        self.assertEqual(a._evid2ivid(5.0, 401), 400)
        self.assertEqual(a._evid2ivid(True, 401), -1)
        a.vlan_xlate[1].lport = 1
        self.assertEqual(a._evid2ivid(True, 301), 300)
        self.assertEqual(a._evid2ivid("5", 100), -1)

    def test_translation_changes(self):
        X = murchet.VlanXlate
        a = bare(vlan_xlate=[X(5, 200, 100), X(5, 200, 101)],
                 portmap=[murchet.PortmapEntry("xe4", 5, "swp5")])
        self.assertEqual(a._ivid2evid("xe4", 200), 100)
        a.vlan_xlate.pop(0)
        self.assertEqual(a._ivid2evid("xe4", 200), 101)
        a.vlan_xlate[0].ivid = 201
        self.assertEqual(a._evid2ivid(5, 101), 201)
        a.vlan_xlate[0].evid = 102
        self.assertEqual(a._evid2ivid(5, 101), -1)
        self.assertEqual(a._evid2ivid(5, 102), 201)
        a.vlan_xlate.insert(0, X(5, 300, 102))
        self.assertEqual(a._evid2ivid(5, 102), 300)
        a.vlan_xlate.append(X(5, 400, 103))
        self.assertEqual(a._evid2ivid(5, 103), 400)


class RouteTableTest(unittest.TestCase):
    def setUp(self):
        install()

    def test_l3_interfaces(self):
        bcmshell.answers["l3 intf show"] = ("Intf VLAN anything\nIntf x y VLAN\nIntf VLAN\n"
                                            "5 0 0 100 x\n6 0 0\n7 1 2 3\n5 0 0 101\n")
        a = bare()
        a._parse_l3_intf()
        self.assertEqual(a.l3_intfs, {5: 101, 7: 3})
        for answer, error in (("one line\n", IndexError), ("x\nIntf VLANs\n", ValueError),
                              ("x\nIntf VLAN\n\n5 one\n", ValueError)):
            bcmshell.answers["l3 intf show"] = answer
            self.assertRaises(error, bare()._parse_l3_intf)

    def test_ipmc_table(self):
        bcmshell.answers["ipmc table show"] = (
            "SRC IP ADDRESS MC IP ADDRESS VLAN GROUP VRF\n"
            "SRC MC GROUP VLAN VRF\n"
            "10.0.0.1 239.1.1.1 100 0x1f 0\n"
            "10.0.0.2 239.1.1.2 100 1f 1 extra\n"
            "10.0.0.3 239.1.1.3 100\n"
            "10.0.0.1 239.1.1.1 200 0x20 0\n")
        a = bare()
        a._parse_ipmc_table()
        self.assertEqual(sorted(a.mroutes), ["default, (10.0.0.1, 239.1.1.1)",
                                             "red, (10.0.0.2, 239.1.1.2)"])
        r = a.mroutes["red, (10.0.0.2, 239.1.1.2)"]
        self.assertEqual((r.sip, r.dip, r.iif, r.grp, r.vrf),
                         ("10.0.0.2", "239.1.1.2", 100, 0x200001f, "red"))
        self.assertEqual(a.mroutes["default, (10.0.0.1, 239.1.1.1)"].iif, 200)
        self.assertEqual(dornick.asked, [0, 1, 0])

    def test_ipmc_table_failures(self):
        header = "SRC a b MC c d VLAN GROUP VRF\n--\n"
        for answer, error in (("", IndexError), ("SRC a b MC c d VLAN GROUP\n", ValueError),
                              (header + "1 2 x 4 0\n", ValueError),
                              (header + "1 2 3 0xz 0\n", ValueError),
                              (header + "1 2 3 4 9\n", KeyError)):
            bcmshell.answers["ipmc table show"] = answer
            self.assertRaises(error, bare()._parse_ipmc_table)
        self.assertEqual(dornick.asked, [0, 9])  # the VRF is named before the group is read
        bcmshell.answers["ipmc table show"] = header
        self.assertEqual(bare()._parse_ipmc_table(), None)

    def test_route_keys(self):
        a = bare()
        self.assertEqual(a._key_to_sip_dip("default, (10.0.0.1, 239.1.1.1)"),
                         ("default", "10.0.0.1", "239.1.1.1"))
        self.assertEqual(a._key_to_sip_dip("v, (a, b)) tail"), ("v", "a", "b)"))
        for key in ("my vrf, (10.0.0.1, 239.1.1.1)", "default,(10.0.0.1, 239.1.1.1)",
                    "default, (10.0.0.1,239.1.1.1)", ""):
            self.assertEqual(a._key_to_sip_dip(key), (None, None, None))
        self.assertEqual(a._key_to_sip_dip(u"v, (a, b)"), (u"v", u"a", u"b"))

    def test_group_macs(self):
        a = bare()
        self.assertEqual(a._grp_ip2mac("239.129.2.3"), "01:00:5e:01:02:03")
        self.assertEqual(a._grp_ip2mac("239.255.255.250"), "01:00:5e:7f:ff:fa")
        self.assertEqual(a._grp_ip2mac("224.0.0.251"), "01:00:5e:00:00:fb")
        self.assertEqual(a._grp_ip2mac("10.1.2.3.4"), "01:00:5e:01:02:03")
        self.assertRaises(IndexError, a._grp_ip2mac, "239.1.2")
        self.assertRaises(ValueError, a._grp_ip2mac, "239.1.x")


class MemoryDumpTest(unittest.TestCase):
    def setUp(self):
        install()

    def routes(self, *lines):
        bcmshell.answers["dump chg l3_entry_ipv4_multicast"] = "\n".join(lines)
        a = bare()
        a._parse_l3_entry_ipmc_table()
        return dict((k, (r.sip, r.dip, r.iif, r.grp, r.vrf)) for k, r in a.mroutes.items())

    def test_entries(self):
        line = "L3_ENTRY[12]: <VALID_0=1,GROUP_IP_ADDR=0xe0010101,L3MC_INDEX=0x5,VRF_ID=0x0>"
        self.assertEqual(self.routes(line), {"default, (0.0.0.0, 224.1.1.1)": (
            "0.0.0.0", "224.1.1.1", 0, 0x2000005, "default")})
        self.assertEqual(self.routes(line.replace("VALID_0=1", "VALID_0=0")), {})
        self.assertEqual(len(self.routes(line.replace("VALID_0=1", "VALID_1=1"))), 1)
        self.assertEqual(self.routes("[3]: <VALID_0=1,GROUP_IP_ADDR=0xe0000001>", "[3]:",
                                     "[4]: <VALID_0=1, GROUP_IP_ADDR=0xe0000001>"),
                         {"default, (0.0.0.0, 224.0.0.1)": ("0.0.0.0", "224.0.0.1", 0,
                                                            0x2000000, "default")})
        routes = self.routes("[1]: <VALID_1=1,GROUP_IP_ADDR=e0000002,SOURCE_IP_ADDR=0x0a000001,"
                             "VRF_ID=1,EXPECTED_L3_IIF=0x10>",
                             "[2]: <VALID_1=1,GROUP_IP_ADDR=e0000002,SOURCE_IP_ADDR=0x0a000001,"
                             "VRF_ID=0x1,EXPECTED_L3_IIF=10,L3MC_INDEX=2>")
        self.assertEqual(routes, {"red, (10.0.0.1, 224.0.0.2)": ("10.0.0.1", "224.0.0.2", 10,
                                                                 0x2000002, "red")})
        self.assertEqual(self.routes(""), {})

    def test_failures(self):
        self.assertRaises(KeyError, self.routes, "[1]: <VALID_0=1>")
        self.assertRaises(ValueError, self.routes, "[1]: <VALID_0=0x1,GROUP_IP_ADDR=0>")
        self.assertRaises(ValueError, self.routes, "[1]: <VALID_0=1,GROUP_IP_ADDR=0,VRF_ID=1f>")
        import struct
        self.assertRaises(struct.error, self.routes, "[1]: <VALID_0=1,GROUP_IP_ADDR=0x100000000>")

    def test_field_dicts(self):
        a = bare()
        self.assertEqual(a._field_dict_build("M[7]: <A=B=C,D,E=,=F,A2=x>>"),
                         ("7", {"A": "B", "E": "", "": "F", "A2": "x>"}))
        self.assertEqual(a._field_dict_build("[7]: <a b>"), (None, {}))
        self.assertEqual(a._field_dict_build(u"[7]: <a=b>"), (u"7", {u"a": u"b"}))

    def test_field_dicts_through_the_object(self):
        class Fields(murchet.Asic):
            def _field_dict_build(self, entry):
                return ("1", {"VALID_0": "1", "GROUP_IP_ADDR": entry.strip()}) if entry else (None, {})

        bcmshell.answers["dump chg l3_entry_ipv4_multicast"] = "e0000009\n\n"
        a = bare(Fields)
        a._parse_l3_entry_ipmc_table()
        self.assertEqual(list(a.mroutes), ["default, (0.0.0.0, 224.0.0.9)"])

    def test_field_dicts_unpacked_as_a_pair(self):
        bcmshell.answers["dump chg l3_entry_ipv4_multicast"] = "e0000009\n"
        for made, error in ((lambda e: ["1", {"VALID_0": "1", "GROUP_IP_ADDR": e}], None),
                            (lambda e: ("1", {"VALID_0": "1", "GROUP_IP_ADDR": e}, "x"),
                             "too many values to unpack"),
                            (lambda e: (None,), "need more than 1 value to unpack")):
            class Fields(murchet.Asic):
                def _field_dict_build(self, entry, made=made):
                    return made(entry)

            a = bare(Fields)
            if error:
                self.assertRaisesRegexp(ValueError, "^%s$" % error, a._parse_l3_entry_ipmc_table)
            else:
                a._parse_l3_entry_ipmc_table()
                self.assertEqual(list(a.mroutes), ["default, (0.0.0.0, 224.0.0.9)"])


class ReplicationGroupTest(unittest.TestCase):
    def setUp(self):
        install()
        quillet.ports.update(A="swpA", B="swpB")

    def groups(self, answer, cls=murchet.Asic, **attrs):
        bcmshell.answers["multicast show"] = answer
        a = bare(cls, l3_intfs={7: 70}, **attrs)
        a._parse_multicast_repln_groups()
        return a.replication_groups

    def test_blocks(self):
        calls = []

        class Evid(murchet.Asic):
            def _ivid2evid(self, dport, ivid):
                calls.append((dport, ivid, len(quillet.asked)))
                return 77

        groups = self.groups("multicast show\nGroup 0x1f\n  port A, encap id 7\n\tport B, encap id -1"
                             "\nport A, encap id 7\n  port A, encap id +9 x\n  port A, encap id -2"
                             "\nGroup 0x1f (L3)\nGroup 1f\n  port B, encap id 3 Group 21 L2\n"
                             "  port A, encap id 5\nGroup 30 VXLAN\n  port A, encap id 5\nGroup",
                             Evid)
        self.assertEqual(sorted(groups), [0x1f])
        g = groups[0x1f]
        self.assertEqual(g.mcast_grp, 0x1f)
        self.assertEqual([vars(e) for e in g.l3_encaps], [vars(murchet.Encap("swpB", "B", 3, -1, 77))])
        self.assertEqual(calls[-1], ("B", -1, len(quillet.asked) - 1))  # before the port's name
        self.assertEqual(quillet.asked[-1], "B")

    def test_one_block(self):
        bcmshell.answers.update({"vlan show 70": "vlan 70 untagged A (0x1)\n",
                                 "ports A": PORTS_HEADER + "  A(  1) up\n",
                                 "vlan show -1": "Error: no such VLAN\n"})
        a = bare(l3_intfs={7: 70, 8: 80}, portmap=[murchet.PortmapEntry("A", 1, "swpA")])
        a._parse_one_multicast_repln_group(" 0x1f\n  port A, encap id 7\n\tport B, encap id -1\n"
                                           "  port A, encap id +9\n  port A, encap id -2\n"
                                           "  port B, encap id 8\n")
        g = a.replication_groups[31]
        self.assertEqual([(e.bcm_dport, e.linux_port, e.intf, e.vlan, e.evid) for e in g.l3_encaps],
                         [("A", "swpA", 7, 70, -1), ("A", "swpA", 9, -1, -1),
                          ("A", "swpA", -2, -1, -1), ("B", "swpB", 8, 80, 80)])
        self.assertEqual([(e.bcm_dport, e.intf, e.vlan, e.evid) for e in g.l2_encaps],
                         [("B", -1, -1, -1)])
        self.assertEqual(bcmshell.commands, ["vlan show 70", "ports A", "vlan show -1",
                                             "vlan show -1"])
        a._parse_one_multicast_repln_group("0x5 (L3)")
        self.assertEqual((a.replication_groups[5].l2_encaps, a.replication_groups[5].l3_encaps),
                         ([], []))
        self.assertRaises(IndexError, a._parse_one_multicast_repln_group, "\n  port A, encap id 7")
        self.assertRaises(ValueError, a._parse_one_multicast_repln_group, "zz\n")
        self.assertEqual(a._parse_one_multicast_repln_group(""), None)

    def test_blocks_through_the_object(self):
        blocks = []

        class One(murchet.Asic):
            def _parse_one_multicast_repln_group(self, dispStr):
                blocks.append(dispStr)

        self.groups("xGroup 1\r\nGroupGroup 2 port A, encap id 7", One)
        self.assertEqual(blocks, [" 1\r\n", "", " 2 port A, encap id 7"])
        self.assertEqual(self.groups("no groups here"), {})


class RiotProbeTest(unittest.TestCase):
    def setUp(self):
        install()

    def test_l3_ingress_mode(self):
        a = bare()
        for answer, enabled in (("0x0", False), ("0\n", False), ("1", True), ("0x1", True),
                                (" 0x1\r\n", True), ("\t-0X1f ", True)):
            bcmshell.answers["sc L3IngressMode"] = answer
            self.assertIs(a._is_riot_enabled(), enabled, answer)
        bcmshell.answers["sc L3IngressMode"] = "Unknown command\n"
        self.assertRaises(ValueError, a._is_riot_enabled)
        bcmshell.answers["sc L3IngressMode"] = IOError("timeout")
        self.assertRaisesRegexp(RuntimeError, "^sc L3IngressMode timed out$", a._is_riot_enabled)

    def test_memory_table_name(self):
        a = bare(riot_enable=False)
        self.assertEqual(a._get_vlan_riot_memtable_name(), "")
        self.assertEqual(bcmshell.commands, [])
        a.riot_enable = 1
        for answer, table in (("  L3_IIF<12:0>\n", "VLAN"), ("L3_IIF<", "VLAN"),
                              ("  l3_iif<12:0>\n  L3_IIF\n", "VLAN_MPLS"), ("", "VLAN_MPLS")):
            bcmshell.answers["listmem VLAN"] = answer
            self.assertEqual(a._get_vlan_riot_memtable_name(), table)
        self.assertEqual(bcmshell.commands, ["listmem VLAN"] * 4)


def fuzz_lines(pieces, tokens, count, seed):
    """Lines made from `pieces` (which together make a match), each piece kept,
    dropped, doubled or replaced by one of `tokens` at random, with a random
    token or none before and after."""
    rnd = random.Random(seed)
    lines = []
    for _ in range(count):
        line = [rnd.choice(tokens)] if rnd.random() < 0.2 else []
        for piece in pieces:
            r = rnd.random()
            if r < 0.7:
                line.append(piece)
            elif r < 0.8:
                line.append(piece * 2)
            elif r < 0.95:
                line.append(rnd.choice(tokens))
        if rnd.random() < 0.5:
            line.append(rnd.choice(tokens))
        lines.append("".join(line))
    return lines


class PatternTest(unittest.TestCase):
    """The answers' patterns match as the interpreter's regular expressions do."""

    def setUp(self):
        install()

    def test_port_vlan_lines(self):
        tokens = ["Port ", "Port", " ", "\t", "xe1", "x,e(2)", "\xa0", " default VLAN is ",
                  "default VLAN is", "12", "7", "-", "\x0b", "\x1c", ""]
        lines = fuzz_lines(["Port ", "xe", "1", " default VLAN is ", "1", "2"], tokens, 3000, 1)
        pattern = re.compile(r"Port (?P<port>\S+) default VLAN is (?P<vlan>\d+)")
        expected = []
        for line in lines:
            m = pattern.match(line)
            if m:
                expected.append((m.group("port"), int(m.group("vlan"))))
        got = []

        class Logged(murchet.Asic):
            def _update_portmap_port_vid(self, dport, port_vid):
                got.append((dport, port_vid))

        bcmshell.answers["pvlan show"] = "\n".join(lines)
        bare(Logged)._parse_ports()
        self.assertGreater(len(expected), 100)
        self.assertEqual(got, expected)

    def test_vlan_show_answers(self):
        tokens = ["vlan ", "vlan", "5", "17", " ", "\t", "\n", "\r", "untagged ", "untagged",
                  "xe1,xe2", "(0x3)", "x"]
        pattern = re.compile(r"vlan (?P<vlan>\d+).*untagged (?P<ports>\S+)")
        matched = 0
        pieces = ["vlan ", "5", "\tports xe1 ", "\r", "untagged ", "xe1,xe2", " (0x3)", "\n"]
        for answer in fuzz_lines(pieces, tokens, 2000, 2):
            bcmshell.reset()
            bcmshell.answers["vlan show 1"] = answer
            m = pattern.search(answer)
            if m:
                matched += 1
                bcmshell.answers["ports " + m.group("ports")] = PORTS_HEADER + " xe9(1)\n"
            a = bare()
            a._parse_vlan(1)
            if m:
                self.assertEqual(bcmshell.commands[1], "ports " + m.group("ports"), repr(answer))
                self.assertEqual(a.vlans.keys(), [int(m.group("vlan"))])
            else:
                self.assertEqual((bcmshell.commands, a.vlans), (["vlan show 1"], {}), repr(answer))
        self.assertGreater(matched, 100)

    def test_translation_items(self):
        items = ["modid = 3 port = 5", "modid = 3  port = 5", "xmodid = 12 port = 34y",
                 "modid = port = 1", "port = 7", "port=8", " old_vid = 9", "new_vid=10 ",
                 "new_vid = 11 = 12", "foo=bar", "modid", "", " ", "\t-"]
        rnd = random.Random(3)
        lines = [",".join(rnd.choice(items) for _ in range(rnd.randint(1, 6))) for _ in range(2000)]
        lines = [l for l in lines if l.strip()]
        pattern = re.compile(r"modid = (?P<modid>\d+) port = (?P<port>\d+)")
        expected = []
        for line in lines:
            fields = {}
            for item in line.split(","):
                if "modid" in item:
                    m = pattern.search(item)
                    if m:
                        fields["port"] = m.group("port")
                elif "=" in item:
                    kv = item.strip().split("=")
                    fields[kv[0].strip()] = kv[1].strip()
            expected.append((int(fields.get("port", "-1")), int(fields.get("new_vid", "-1")),
                             int(fields.get("old_vid", "-1"))))
        bcmshell.answers["vlan translate show"] = "\n".join(lines)
        a = bare()
        a._parse_vlan_xlate()
        self.assertEqual(lport_rows(a), expected)

    def test_member_lines(self):
        tokens = [" ", "\t", "\x0c", "port ", "port", "A", "B,", ",", ", encap id ", " encap id ",
                  "+", "-", "5", "12", "x", "(", "\xff"]
        lines = fuzz_lines(["\t", "port ", "A", "B", ",", " encap id ", "-", "1", "2"], tokens,
                           4000, 4)
        pattern = re.compile(r"\s+port (?P<port>\S+), encap id (?P<intf>[+-]?\d+)")
        l2, l3 = [], []
        for line in lines:
            m = pattern.match(line)
            if m:
                member = (m.group("port"), int(m.group("intf")))
                (l2 if member[1] == -1 else l3).append(member)

        class Names(object):
            def bcm2linux(self, dport):
                return "linux-" + dport

        a = bare(pt=Names(), vlans={-1: murchet.VlanEntry(-1, [])})
        a._parse_one_multicast_repln_group("1\n" + "\n".join(lines))
        g = a.replication_groups[1]
        self.assertGreater(len(l3), 100)
        self.assertEqual([(e.bcm_dport, e.intf) for e in g.l3_encaps], l3)
        self.assertEqual([(e.bcm_dport, e.intf) for e in g.l2_encaps], l2)

    def test_route_keys(self):
        tokens = ["default", "a b", ",", ", ", "(", ")", " (", "10.0.0.1", "239.1.1.1", ")x",
                  " ", "\t"]
        pattern = re.compile(r"(?P<vrf>\S+), \((?P<sip>\S+), (?P<dip>\S+)\)")
        a = bare()
        matched = 0
        pieces = ["default", ",", " (", "10.0.0.1", ", ", "239.1.1.1", ")", ")"]
        for key in fuzz_lines(pieces, tokens, 5000, 5):
            m = pattern.match(key)
            expected = (m.group("vrf"), m.group("sip"), m.group("dip")) if m else (None,) * 3
            matched += bool(m)
            self.assertEqual(a._key_to_sip_dip(key), expected, repr(key))
        self.assertGreater(matched, 50)

    def test_dump_entries(self):
        tokens = ["[", "]", "12", "]: <", ": <", "A=1", "B=2=3", ",", ">", "> ", " ", "x",
                  "[7]: <"]
        pattern = re.compile(r"\[(?P<key>\d+)\]: \<(?P<data>\S+)\>")
        a = bare()
        matched = 0
        pieces = ["L3[", "12", "]: <", "A=1", ",", "B=2=3", ">", ">", " x"]
        for entry in fuzz_lines(pieces, tokens, 5000, 6):
            m = pattern.search(entry)
            expected = (None, {})
            if m:
                matched += 1
                fields = {}
                for item in m.group("data").split(","):
                    parts = item.split("=")
                    if len(parts) >= 2:
                        fields[parts[0]] = parts[1]
                expected = (m.group("key"), fields)
            self.assertEqual(a._field_dict_build(entry), expected, repr(entry))
        self.assertGreater(matched, 100)


if __name__ == "__main__":
    unittest.main()
