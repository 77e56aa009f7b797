"""pelvane: the outside-tool wrappers and Config (ports.conf, MAC addresses,
network devices)."""

import ConfigParser
import contextlib
import json
import os
import shutil
import StringIO
import subprocess
import sys
import syslog
import tempfile
import unittest

from helpers import namespace_python, run_python

import pelvane
import quorvel.kelvish
import quorvel.quillet
import skorrel

VOSTREL = "/usr/quorvel/bin/vostrel"
BRINDLET = "/usr/lib/quorvel/brindlet"
HEADER = "# XXX - default config file (needs documentation comments)\n"
VX_TEXT = ("Kernel netdevs are not supported" + " " * 27 +
           "on vx, only on Broadcom and Mellanox")


class FakeSubprocess(object):
    """Answers check_output from a table (argument tuple -> output, or an
    exception to raise) and records every argument list it is given."""
    CalledProcessError = subprocess.CalledProcessError

    def __init__(self, answers=None):
        self.answers = dict(answers or {})
        self.argvs = []

    def check_output(self, argv):
        self.argvs.append(argv)
        answer = self.answers.get(tuple(argv), "")
        if isinstance(answer, BaseException) or (
                isinstance(answer, type) and issubclass(answer, BaseException)):
            raise answer
        return answer


class FakeSyslog(object):
    LOG_ERR = syslog.LOG_ERR

    def __init__(self):
        self.lines = []

    def syslog(self, *args):
        self.lines.append(args)


def eeprom(count="64\n", base="02:11:22:33:44:55\n"):
    return {(VOSTREL, "-r"): count, (VOSTREL, "-a"): base}


def qsfp(label, layer="QSFP+"):
    return skorrel.Tomahawk100GPort(label=label, serdes=[0, 1, 2, 3], phy_types=None,
                                    phy_addrs=None, phy_layer=layer, leds=None, unit=0,
                                    rx_polarity_flip=0, tx_polarity_flip=0)


def fabric(label):
    return skorrel.Tomahawk100GFabricPort(label=label, serdes=[4, 5, 6, 7], tx_polarity_flip=0,
                                          rx_polarity_flip=0, tx_lane_map=None,
                                          rx_lane_map=None)


def make_platform(ports=(), sw_base="bcm"):
    chip = skorrel.TomahawkTwo_56970_Chip()
    if sw_base != "bcm":
        chip.sw_base = sw_base
    switch = skorrel.BCMSwitch(chip)
    switch.ports = list(ports)
    platform = skorrel.Platform()
    platform.switch = switch
    return platform


@contextlib.contextmanager
def captured_stdout():
    saved, sys.stdout = sys.stdout, StringIO.StringIO()
    try:
        yield sys.stdout
    finally:
        sys.stdout = saved


class ToolCase(unittest.TestCase):
    """Rebinds the module's subprocess and syslog; keeps the process's
    traceback limit as it was."""

    answers = None

    def setUp(self):
        self.saved = pelvane.subprocess, pelvane.syslog
        self.fresh()
        self.had_limit = hasattr(sys, "tracebacklimit")
        self.limit = getattr(sys, "tracebacklimit", None)
        quorvel.kelvish.reset()

    def fresh(self):
        """New fakes with nothing recorded."""
        self.proc = FakeSubprocess(eeprom() if self.answers is None else self.answers)
        self.log = FakeSyslog()
        pelvane.subprocess, pelvane.syslog = self.proc, self.log

    def tearDown(self):
        pelvane.subprocess, pelvane.syslog = self.saved
        quorvel.kelvish.reset()
        if self.had_limit:
            sys.tracebacklimit = self.limit
        elif hasattr(sys, "tracebacklimit"):
            del sys.tracebacklimit

    def assertEepromFailure(self, read, text):
        with self.assertRaises(RuntimeError) as cm:
            read()
        self.assertIs(type(cm.exception), RuntimeError)
        self.assertEqual(str(cm.exception), text)
        self.assertEqual(self.log.lines, [(syslog.LOG_ERR, text)])
        self.assertEqual(sys.tracebacklimit, 0)

    def config(self, ports=(), sw_base="bcm", cls=None, **kw):
        return (cls or pelvane.Config)(make_platform(ports, sw_base), **kw)


class VostrelTest(ToolCase):
    def test_dummy_answers_without_a_process(self):
        v = pelvane.Vostrel(True)
        self.assertEqual(v.macaddr, "ff:ff:ff:ff:ff:00")
        self.assertIs(type(v.macrange), int)
        self.assertEqual(v.macrange, 255)
        self.assertEqual(self.proc.argvs, [])
        self.assertEqual((v.dummy, v.sw_base), (True, None))
        v = pelvane.Vostrel(sw_base="mlx", dummy=1)
        self.assertEqual((v.dummy, v.sw_base), (1, "mlx"))
        self.assertEqual(v.macrange, 255)

    def test_dummy_decided_at_each_read(self):
        v = pelvane.Vostrel(dummy=True)
        v.dummy = False
        self.assertEqual(v.macaddr, "02:11:22:33:44:55\n")
        self.assertEqual(v.macrange, 64)
        self.assertEqual(self.proc.argvs, [[VOSTREL, "-a"], [VOSTREL, "-r"]])
        v.dummy = "yes"
        self.assertEqual(v.macrange, 255)
        self.assertEqual(len(self.proc.argvs), 2)

    def test_each_read_runs_the_tool_again(self):
        v = pelvane.Vostrel()
        v.macrange, v.macrange, v.macaddr
        self.assertEqual(self.proc.argvs, [[VOSTREL, "-r"], [VOSTREL, "-r"], [VOSTREL, "-a"]])

    def test_counts(self):
        v = pelvane.Vostrel()
        for raw, count in (("  300\n", 300), ("-1\n", -1), ("0\n", 0),
                           ("123456789012345678901234567890\n", 123456789012345678901234567890)):
            self.proc.answers[(VOSTREL, "-r")] = raw
            self.assertEqual(v.macrange, count)
        self.assertEqual(self.log.lines, [])

    def test_bogus_counts(self):
        for raw in ("0x10\n", "1 2\n", ""):
            self.fresh()
            self.proc.answers[(VOSTREL, "-r")] = raw
            self.assertEepromFailure(lambda: pelvane.Vostrel().macrange,
                                     "error: vostrel -r returned bogus value: " + raw)

    def test_failing_tool(self):
        for failure in (subprocess.CalledProcessError(1, [VOSTREL, "-a"], "x"),
                        OSError(2, "No such file or directory"), ValueError("odd")):
            for option in ("-a", "-r"):
                self.fresh()
                self.proc.answers[(VOSTREL, option)] = failure
                read = (lambda: pelvane.Vostrel().macaddr) if option == "-a" else \
                    (lambda: pelvane.Vostrel().macrange)
                self.assertEepromFailure(read, "error: vostrel %s failed" % option)

    def test_the_real_tool_missing(self):
        pelvane.subprocess = subprocess
        self.assertFalse(os.path.exists(VOSTREL))
        self.assertEepromFailure(lambda: pelvane.Vostrel().macaddr, "error: vostrel -a failed")

    def test_interrupt_and_exit_pass(self):
        for failure in (KeyboardInterrupt, SystemExit(3)):
            for option in ("-a", "-r"):
                self.fresh()
                if hasattr(sys, "tracebacklimit"):
                    del sys.tracebacklimit
                self.proc.answers[(VOSTREL, option)] = failure
                v = pelvane.Vostrel()
                with self.assertRaises(BaseException) as cm:
                    v.macaddr if option == "-a" else v.macrange
                self.assertIsInstance(cm.exception, (KeyboardInterrupt, SystemExit))
                if isinstance(failure, SystemExit):
                    self.assertEqual(cm.exception.code, 3)
                self.assertEqual(self.log.lines, [])
                self.assertFalse(hasattr(sys, "tracebacklimit"))

    def test_base_address_returned_raw(self):
        for raw in ("02:11:22:33:44:55\n", " 2:0:0:0:a:5 \n", "FF:ff:0:00:1:0x2"):
            self.proc.answers[(VOSTREL, "-a")] = raw
            self.assertEqual(pelvane.Vostrel().macaddr, raw)
        self.assertEqual(self.log.lines, [])

    def test_bogus_base_address(self):
        for raw in ("02:11:22:33:44\n", "02:11:22:33:44:55:66\n", "02:11:22:33:44:100\n",
                    "02:11:22:33:44:-1\n", "02:11:22:33:44:gg\n", "02-11-22-33-44-55\n",
                    "02:11:22:33::55\n", ""):
            self.fresh()
            self.proc.answers[(VOSTREL, "-a")] = raw
            self.assertEepromFailure(lambda: pelvane.Vostrel().macaddr,
                                     "error: vostrel -a returned bogus value: " + raw)


class RunTest(ToolCase):
    def test_dummy_runs_nothing(self):
        for cls in (pelvane.IPRoute2, pelvane.Brindlet):
            tool = cls(dummy=True)
            for args in (["link", "show"], ("a", "tuple"), None, 7):
                self.assertEqual(tool.run(args), "")
            tool.dummy = 0
            tool.run(["x"])
        self.assertEqual(self.proc.argvs, [["ip", "x"], [BRINDLET, "x"]])

    def test_argument_words_behind_the_program(self):
        self.proc.answers[("ip", "-o", "link", "show")] = "1: lo: ...\n"
        self.assertEqual(pelvane.IPRoute2().run(["-o", "link", "show"]), "1: lo: ...\n")
        self.assertEqual(pelvane.Brindlet(False).run(["show", "type", "bcm_knet"]), "")
        self.assertEqual(self.proc.argvs, [["ip", "-o", "link", "show"],
                                           [BRINDLET, "show", "type", "bcm_knet"]])
        self.assertIs(type(self.proc.argvs[0]), list)

    def test_args_must_be_a_list(self):
        self.assertRaises(TypeError, pelvane.IPRoute2().run, ("link", "show"))
        self.assertEqual(self.proc.argvs, [])

    def test_failures_pass_unchanged(self):
        failure = subprocess.CalledProcessError(2, ["ip"], "out")
        self.proc.answers[("ip", "bad")] = failure
        with self.assertRaises(subprocess.CalledProcessError) as cm:
            pelvane.IPRoute2().run(["bad"])
        self.assertIs(cm.exception, failure)
        self.assertEqual(self.log.lines, [])
        self.assertFalse(getattr(sys, "tracebacklimit", None) == 0 and not self.had_limit)

    def test_real_commands(self):
        pelvane.subprocess = subprocess
        self.assertTrue(pelvane.IPRoute2().run(["-V"]).startswith("ip utility"))
        with self.assertRaises(subprocess.CalledProcessError) as cm:
            pelvane.IPRoute2().run(["link", "show", "dev", "no-such-device0"])
        self.assertEqual(cm.exception.cmd, ["ip", "link", "show", "dev", "no-such-device0"])
        self.assertFalse(os.path.exists(BRINDLET))
        self.assertRaises(OSError, pelvane.Brindlet().run, ["show"])
        self.assertEqual(self.log.lines, [])


class ConstructionTest(ToolCase):
    def test_tools_asked_count_first(self):
        c = self.config([qsfp("1")], verbose=1, exploded="x")
        self.assertEqual(self.proc.argvs, [[VOSTREL, "-r"], [VOSTREL, "-a"]])
        self.assertEqual(c.macbase, [2, 0x11, 0x22, 0x33, 0x44, 0x55])
        self.assertEqual(c.macrange, 64)
        self.assertEqual(c.macmode, "standard")
        self.assertEqual(c.ports, [])
        self.assertEqual((c.verbose, c.exploded, c.dummy), (1, "x", False))
        self.assertFalse(hasattr(c, "config_map"))
        self.assertFalse(hasattr(c, "riot"))

    def test_wrappers(self):
        platform = make_platform(sw_base="mlx")
        c = pelvane.Config(platform, False, False, "dummy")
        self.assertIs(c.platform, platform)
        self.assertEqual(self.proc.argvs, [])
        for attr, cls in (("eeprom", pelvane.Vostrel), ("iproute2", pelvane.IPRoute2),
                          ("brindlet", pelvane.Brindlet)):
            self.assertIs(getattr(c, attr).__class__, cls)
            self.assertEqual(getattr(c, attr).dummy, "dummy")
        self.assertEqual(c.eeprom.sw_base, "mlx")
        self.assertEqual(c.macbase, [255, 255, 255, 255, 255, 0])
        self.assertEqual(c.macrange, 255)

    def test_wrapper_classes_looked_up_when_called(self):
        made = []
        base = pelvane.Vostrel

        class MyVostrel(base):
            def __init__(self, **kw):
                made.append(kw)
                base.__init__(self, **kw)

        saved = pelvane.Vostrel
        pelvane.Vostrel = MyVostrel
        try:
            c = self.config(dummy=True)
        finally:
            pelvane.Vostrel = saved
        self.assertIsInstance(c.eeprom, MyVostrel)
        self.assertEqual(made, [{"dummy": True, "sw_base": "bcm"}])

    def test_eeprom_failure_makes_no_object(self):
        self.proc.answers[(VOSTREL, "-a")] = OSError(2, "gone")
        self.assertEepromFailure(self.config, "error: vostrel -a failed")
        self.assertEqual(self.proc.argvs, [[VOSTREL, "-r"], [VOSTREL, "-a"]])

    def test_platform_required(self):
        self.assertRaises(TypeError, pelvane.Config)
        self.assertRaises(TypeError, pelvane.Config, make_platform(), bogus=1)

    def test_set_macmode(self):
        c = self.config(dummy=True)
        self.assertIsNone(c.set_macmode("l3-only"))
        self.assertEqual(c.macmode, "l3-only")
        c.set_macmode(42)
        self.assertEqual(c.macmode, 42)


class ParseTest(ToolCase):
    def setUp(self):
        ToolCase.setUp(self)
        self.c = self.config([qsfp("1"), fabric("2"), qsfp("3", "QSFP28"), qsfp("4", "SFP+"),
                              qsfp("5", "SFP28")], dummy=True)

    def parse(self, text):
        self.assertIsNone(self.c.config(text))
        return self.c.config_map

    def test_empty(self):
        self.assertEqual(self.parse(""), {})
        self.assertEqual(self.parse("# only a comment\n\n; and another\n"), {})

    def test_shorthands_completed_through_the_port(self):
        self.assertEqual(self.parse("1=4x\n3=4x\n4=1x\n5=/1\n"),
                         {"1": "4x10G", "3": "4x25G", "4": "10G", "5": "25G"})
        self.assertEqual(self.parse("1=2x\n3=/2\n5=/4\n"), {"1": "2x20G", "3": "200G/2",
                                                            "5": "100G/4"})
        self.assertEqual(self.parse("1=40G\n3=disabled\n"), {"1": "40G", "3": "disabled"})

    def test_fabric_and_unknown_keys_kept_as_written(self):
        self.assertEqual(self.parse("Fabric-2=4x\n2=4x\nfabric-1=4x\n99=4x\nFabric-1=/4\n"),
                         {"Fabric-2": "4x", "2": "4x", "fabric-1": "4x", "99": "4x",
                          "Fabric-1": "/4"})

    def test_separators_and_blanks(self):
        self.assertEqual(self.parse("1 : 4x\n3=  100G  \n4:10G\n5 =\n"),
                         {"1": "4x10G", "3": "100G", "4": "10G", "5": ""})

    def test_comments_continuations_and_repeats(self):
        text = ("# header\n; semicolon comment\n1=40G ; inline comment\n3=100G;not a comment\n"
                "4=10G\n  more\n\n4x=9\n1=4x\n")
        self.assertEqual(self.parse(text), {"1": "4x10G", "3": "100G;not a comment",
                                            "4": "10G\nmore", "4x": "9"})

    def test_keys_keep_their_case(self):
        self.assertEqual(self.parse("Abc=1\nabc=2\n"), {"Abc": "1", "abc": "2"})

    def test_sections(self):
        text = "1=40G\n[other]\n3=4x\n[ports]\n4=1x\n[DEFAULT]\n5=/1\n1=10G\n"
        self.assertEqual(self.parse(text), {"1": "40G", "4": "10G", "5": "25G"})

    def test_parse_errors_keep_the_old_map(self):
        self.parse("1=40G\n")
        with self.assertRaises(ConfigParser.ParsingError) as cm:
            self.c.config("garbage\n1=4x\nmore garbage\n")
        self.assertEqual([n for n, _ in cm.exception.errors], [2, 4])
        self.assertEqual(self.c.config_map, {"1": "40G"})

    def test_text_required(self):
        self.assertRaises(TypeError, self.c.config, None)

    def test_find_hw_port(self):
        ports = [qsfp("7"), fabric("8"), qsfp("8"), qsfp("7")]
        self.c.platform.switch.ports = ports
        self.assertIs(self.c.find_hw_port("7"), ports[0])
        self.assertIs(self.c.find_hw_port("8"), ports[2])
        self.assertIsNone(self.c.find_hw_port("Fabric-8"))
        self.assertIsNone(self.c.find_hw_port(" 7"))
        self.assertIsNone(self.c.find_hw_port(7))

    def test_complete_modes_in_place(self):
        m = {"1": "4x", "2": "4x", "x": "/1"}
        self.assertIs(self.c._complete_modes(m), m)
        self.assertEqual(m, {"1": "4x10G", "2": "4x", "x": "/1"})

    def test_first_ordinary_port_of_a_label(self):
        self.c.platform.switch.ports = [fabric("1"), qsfp("1", "QSFP28"), qsfp("1")]
        self.assertEqual(self.parse("1=4x\n"), {"1": "4x25G"})

    def test_overrides_honoured(self):
        asked = []

        class MyConfig(pelvane.Config):
            def find_hw_port(self, label):
                asked.append(label)
                return pelvane.Config.find_hw_port(self, "3")

            def _complete_modes(self, config_map):
                asked.append("complete")
                return pelvane.Config._complete_modes(self, config_map)

        c = self.config([qsfp("1"), qsfp("3", "QSFP28")], cls=MyConfig, dummy=True)
        c.config("1=4x\n")
        self.assertEqual(c.config_map, {"1": "4x25G"})
        self.assertEqual(asked, ["complete", "1"])

    def test_odd_labels(self):
        self.c.platform.switch.ports = [qsfp(u"1"), qsfp("3", "QSFP28")]
        self.assertEqual(self.parse("1=4x\n3=4x\n"), {"1": "4x10G", "3": "4x25G"})


class ReadConfigTest(ToolCase):
    def setUp(self):
        ToolCase.setUp(self)
        self.tmp = tempfile.mkdtemp()
        self.asked = []
        self.c = self.config([qsfp("1")], dummy=True)
        texts = {"hw_desc": "hw\n", "sdk.bcm": "sdk\n", "uft.json": "{}"}

        def get_config(name):
            self.asked.append(name)
            return texts.get(name)

        self.c.platform.switch.chip.get_config = get_config

    def tearDown(self):
        shutil.rmtree(self.tmp)
        ToolCase.tearDown(self)

    def write(self, text, name="ports.conf"):
        path = os.path.join(self.tmp, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_fragments(self):
        expect = {"hw_desc": "hw\n", "rc_forwarding": None, "datapath_conf": None,
                  "sdk_bcm": "sdk\n", "uft": "{}", "riot": None}
        names = ["uft.json", "riot.json", "hw_desc", "rc.forwarding", "datapath.conf", "sdk.bcm"]
        for name in names:
            self.assertIsNone(self.c.read_config(name))
        self.assertEqual(self.asked, names)
        for attr, value in expect.items():
            self.assertEqual(getattr(self.c, attr), value)
        self.assertEqual(quorvel.kelvish.calls, [])
        self.assertFalse(hasattr(self.c, "config_map"))

    def test_ports_conf(self):
        path = self.write("1=4x\n2=40G\n", "sdk.bcm")
        self.c.read_config(path)
        self.assertEqual(self.c.config_map, {"1": "4x10G", "2": "40G"})
        self.assertEqual(quorvel.kelvish.calls, [("Kelvish", path, False), ("kelvish",)])
        self.assertEqual(self.asked, [])

    def test_own_config_called(self):
        seen = []

        class MyConfig(pelvane.Config):
            def config(self, text):
                seen.append(text)

        c = self.config(cls=MyConfig, dummy=True)
        c.read_config(self.write("1=40G\n"))
        self.assertEqual(seen, ["1=40G\n"])

    def test_findings_end_the_process(self):
        quorvel.kelvish.findings[:] = ["line 1: bad"]
        self.c.config("1=40G\n")
        path = os.path.join(self.tmp, "absent.conf")
        with self.assertRaises(SystemExit) as cm:
            self.c.read_config(path)
        self.assertEqual(cm.exception.code, -1)
        self.assertEqual(quorvel.kelvish.calls, [("Kelvish", path, False), ("kelvish",),
                                                 ("portwriteerrors", ["line 1: bad"])])
        self.assertEqual(self.c.config_map, {"1": "40G"})

    def test_exit_status_seen_by_the_parent(self):
        status, out, err = run_python(
            "import quorvel.kelvish, pelvane, skorrel\n"
            "quorvel.kelvish.findings.append('bad')\n"
            "p = skorrel.Platform(); p.switch = skorrel.BCMSwitch(skorrel.BCMChip())\n"
            "p.switch.ports = []\n"
            "pelvane.Config(p, dummy=True).read_config('/nonexistent/ports.conf')\n")
        self.assertEqual(status, 255, err)

    def test_unreadable_file(self):
        self.c.config("1=40G\n")
        self.assertRaises(IOError, self.c.read_config, os.path.join(self.tmp, "absent"))
        self.assertEqual(self.c.config_map, {"1": "40G"})

    def test_module_globals_looked_up_when_called(self):
        class Quorvel(object):
            class kelvish(object):
                class Kelvish(object):
                    def __init__(self, path, debug):
                        pass

                    def kelvish(self):
                        return ()

        saved = pelvane.quorvel
        pelvane.quorvel = Quorvel
        try:
            self.c.read_config(self.write("1=40G\n"))
        finally:
            pelvane.quorvel = saved
        self.assertEqual(quorvel.kelvish.calls, [])
        self.assertEqual(self.c.config_map, {"1": "40G"})


class FakeOs(object):
    """os, with /etc/bcm.d redirected into a test directory."""

    def __init__(self, root):
        self.root = root
        self.calls = []
        fake = self

        class path(object):
            join = staticmethod(os.path.join)

            @staticmethod
            def isdir(p):
                fake.calls.append(("isdir", p))
                return os.path.isdir(fake.redirect(p))

        self.path = path

    def redirect(self, p):
        return os.path.join(self.root, p.lstrip("/")) if p.startswith("/etc/") else p

    def mkdir(self, p):
        self.calls.append(("mkdir", p))
        os.mkdir(self.redirect(p))


class FakeShutil(object):
    def __init__(self, fake_os):
        self.os = fake_os

    def copy(self, src, dst):
        self.os.calls.append(("copy", src, dst))
        shutil.copy(src, self.os.redirect(dst))


class DefaultConfigTest(ToolCase):
    def setUp(self):
        ToolCase.setUp(self)
        self.tmp = tempfile.mkdtemp()
        self.os = FakeOs(os.path.join(self.tmp, "root"))
        os.makedirs(os.path.join(self.tmp, "root", "etc"))
        self.saved_os = pelvane.os, pelvane.shutil
        pelvane.os, pelvane.shutil = self.os, FakeShutil(self.os)
        self.bcm = os.path.join(self.tmp, "bcm_config")
        os.mkdir(self.bcm)
        with open(os.path.join(self.bcm, "rc.soc"), "w") as f:
            f.write("init all\n")
        os.chmod(os.path.join(self.bcm, "rc.soc"), 0o751)
        self.c = self.config([qsfp("10"), fabric("1"), qsfp("2"),
                              skorrel.TomahawkMgmt10GPort(
                                  label="1", serdes=[9], phy_types=None, phy_addrs=None,
                                  phy_layer="SFP+", leds=None, unit=0)], dummy=True)
        self.c.platform.switch.chip.bcm_config_path = self.bcm + "/"

    def tearDown(self):
        pelvane.os, pelvane.shutil = self.saved_os
        shutil.rmtree(self.tmp)
        ToolCase.tearDown(self)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def read(self, path):
        with open(path) as f:
            return f.read()

    def test_init_config(self):
        self.c.config_map = {"old": "1G"}
        self.assertIsNone(self.c.init_config())
        self.assertEqual(self.c.config_map, {"10": "100G", "Fabric-1": "100G", "2": "100G",
                                             "1": "10G"})
        rc = os.path.join(self.bcm, "rc.soc")
        self.assertEqual(self.os.calls, [("isdir", "/etc/bcm.d"), ("mkdir", "/etc/bcm.d"),
                                         ("copy", rc, "/etc/bcm.d")])
        copied = self.path("root", "etc", "bcm.d", "rc.soc")
        self.assertEqual(self.read(copied), "init all\n")
        self.assertEqual(os.stat(copied).st_mode & 0o7777, 0o751)

    def test_existing_directory_kept_and_script_replaced(self):
        os.mkdir(self.path("root", "etc", "bcm.d"))
        with open(self.path("root", "etc", "bcm.d", "rc.soc"), "w") as f:
            f.write("older\n")
        self.c.init_config()
        self.assertNotIn("mkdir", [c[0] for c in self.os.calls])
        self.assertEqual(self.read(self.path("root", "etc", "bcm.d", "rc.soc")), "init all\n")

    def test_later_port_of_a_key_wins(self):
        self.c.platform.switch.ports = [qsfp("3"), skorrel.TomahawkMgmt10GPort(
            label="3", serdes=[9], phy_types=None, phy_addrs=None, phy_layer="SFP+",
            leds=None, unit=0)]
        self.c.init_config()
        self.assertEqual(self.c.config_map, {"3": "10G"})

    def test_failed_copy_keeps_the_map(self):
        os.remove(os.path.join(self.bcm, "rc.soc"))
        self.c.config_map = {"old": "1G"}
        self.assertRaises(IOError, self.c.init_config)
        self.assertEqual(self.c.config_map, {"old": "1G"})

    def test_failed_mkdir_keeps_the_map(self):
        os.rmdir(self.path("root", "etc"))
        self.c.config_map = {"old": "1G"}
        self.assertRaises(OSError, self.c.init_config)
        self.assertEqual(self.c.config_map, {"old": "1G"})

    def test_write_numeric_order(self):
        self.c.config_map = {"10": "4x10G", "2": "40G", "1": "100G", "Fabric-3": "100G"}
        out = self.path("ports.conf")
        self.assertIsNone(self.c.write_config(out))
        self.assertEqual(self.read(out), HEADER + "1=100G\n2=40G\n10=4x10G\n")

    def test_write_signs(self):
        self.c.config_map = {"3": "a", "-1": "b", "+2": "c"}
        out = self.path("ports.conf")
        self.c.write_config(out)
        self.assertEqual(self.read(out), HEADER + "-1=b\n+2=c\n3=a\n")

    def test_write_text_path(self):
        out = self.path(u"ports.conf")
        self.c.config_map = {u"1": u"40G"}
        self.c.write_config(out)
        self.assertEqual(self.read(out), HEADER + "1=40G\n")
        self.assertRaises(TypeError, self.c.write_config, None)
        self.assertRaises(TypeError, self.c.write_config, out + "\0x")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["bcm_config", "ports.conf", "root"])

    def test_write_header_only(self):
        out = self.path("ports.conf")
        for m in ({}, {"Fabric-1": "100G", "Fabric-2": "40G"}):
            self.c.config_map = m
            self.c.write_config(out)
            self.assertEqual(self.read(out), HEADER)

    def test_write_after_config_and_init(self):
        self.c.config("2=4x\nFabric-1=4x\n")
        out = self.path("ports.conf")
        self.c.write_config(out)
        self.assertEqual(self.read(out), HEADER + "2=4x10G\n")
        self.c.init_config()
        self.c.write_config(out)
        self.assertEqual(self.read(out), HEADER + "1=10G\n2=100G\n10=100G\n")
        self.c.read_config(out)
        self.assertEqual(self.c.config_map, {"1": "10G", "2": "100G", "10": "100G"})

    def test_unconvertible_label_touches_nothing(self):
        out = self.path("ports.conf")
        with open(out, "w") as f:
            f.write("old text\n")
        self.c.config_map = {"1": "40G", "swp2": "10G"}
        self.assertRaises(ValueError, self.c.write_config, out)
        self.assertEqual(self.read(out), "old text\n")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["bcm_config", "ports.conf", "root"])

    def test_permission_bits_kept(self):
        out = self.path("ports.conf")
        with open(out, "w") as f:
            f.write("old text\n")
        os.chmod(out, 0o640)
        self.c.config_map = {"1": "40G"}
        self.c.write_config(out)
        self.assertEqual(os.stat(out).st_mode & 0o7777, 0o640)
        self.assertEqual(self.read(out), HEADER + "1=40G\n")

    def test_new_file_mode(self):
        out = self.path("new.conf")
        old = os.umask(0o027)
        try:
            self.c.config_map = {}
            self.c.write_config(out)
        finally:
            os.umask(old)
        self.assertEqual(os.stat(out).st_mode & 0o7777, 0o640)

    def test_link_kept(self):
        target = self.path("target.conf")
        with open(target, "w") as f:
            f.write("old\n")
        link = self.path("ports.conf")
        os.symlink(target, link)
        self.c.config_map = {"1": "40G"}
        self.c.write_config(link)
        self.assertTrue(os.path.islink(link))
        self.assertEqual(self.read(target), HEADER + "1=40G\n")

    def test_missing_directory(self):
        self.c.config_map = {"1": "40G"}
        with self.assertRaises(IOError) as cm:
            self.c.write_config(self.path("absent", "ports.conf"))
        self.assertEqual(cm.exception.filename, self.path("absent", "ports.conf"))

    def test_failing_half_way_keeps_the_old_file(self):
        # The file-size limit makes the write of the new text fail part way.
        out = self.path("ports.conf")
        with open(out, "w") as f:
            f.write("old text\n")
        code = (
            "import resource, signal, skorrel, pelvane, sys\n"
            "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
            "p = skorrel.Platform(); p.switch = skorrel.BCMSwitch(skorrel.BCMChip())\n"
            "c = pelvane.Config(p, dummy=True)\n"
            "c.config_map = dict((str(i), '4x10G' * 20) for i in range(1, 200))\n"
            "try:\n"
            "    c.write_config(%r)\n"
            "except IOError as e:\n"
            "    print e.errno\n" % out)
        status, stdout, err = run_python(code)
        self.assertEqual((status, stdout.strip()), (0, "27"), err)  # EFBIG
        self.assertEqual(self.read(out), "old text\n")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["bcm_config", "ports.conf", "root"])


class MacTest(ToolCase):
    def setUp(self):
        ToolCase.setUp(self)
        self.c = self.config(dummy=True)

    def make(self, base, index):
        with captured_stdout() as out:
            mac = self.c.makemacaddr(base, index)
        return mac, out.getvalue()

    def test_block_ends(self):
        self.assertEqual(self.make([2, 0, 0, 255, 255, 240], 15), ([2, 0, 0, 255, 255, 255], ""))
        self.assertEqual(self.make([2, 0, 0, 255, 255, 240], 16),
                         (None, "Tried to carry into OUI.\n"))
        base = self.c.macbase
        self.assertEqual(self.make(base, 255), ([255] * 6, ""))
        self.assertEqual(self.make(base, 256), (None, "Tried to carry into OUI.\n"))
        self.assertEqual(self.make([2, 17, 34, 0, 1, 255], 1), ([2, 17, 34, 0, 2, 0], ""))
        self.assertEqual(self.make([2, 0, 0, 0, 0, 0], 0), ([2, 0, 0, 0, 0, 0], ""))

    def test_carry_beyond_the_mask(self):
        # Sums past bit 31, or below zero, leave the block as surely.
        for index in (0x100000000, 2 ** 70, -1):
            self.assertEqual(self.make([2, 0, 0, 0, 0, 0], index),
                             (None, "Tried to carry into OUI.\n"), index)
        self.assertEqual(self.make([2, 0, 0, 0, 0, 5], -5), ([2, 0, 0, 0, 0, 0], ""))
        self.assertEqual(self.make([2, 0, 0, 0, 0, 0], 2 ** 24 - 1), ([2, 0, 0, 255, 255, 255], ""))

    def test_no_base(self):
        self.assertEqual(self.make(None, 3), (None, ""))

    def test_oui_taken_unchanged(self):
        oui = ("a", "b", "c")
        mac, _ = self.make(list(oui) + [0, 0, 1], 1)
        self.assertEqual(mac, ["a", "b", "c", 0, 0, 2])
        self.assertIs(mac[0], oui[0])

    def test_any_indexable_base(self):
        base = dict(enumerate([2, 0, 0, 0, 0, 7]))
        self.assertEqual(self.make(base, 1), ([2, 0, 0, 0, 0, 8], ""))

    def test_bad_entries(self):
        self.assertRaises(TypeError, self.c.makemacaddr, [0, 0, 0, "x", 0, 0], 1)
        self.assertRaises(IndexError, self.c.makemacaddr, [0, 0, 0], 1)
        self.assertRaises(TypeError, self.c.makemacaddr, [0] * 6, None)


class DeviceCase(ToolCase):
    """A configuration whose ip and switch-port tools run (through the fake
    subprocess) with the base address 02:00:00:00:00:00."""

    answers = eeprom("256\n", "02:00:00:00:00:00\n")
    sw_base = "bcm"

    def setUp(self):
        ToolCase.setUp(self)
        self.c = self.config(sw_base=self.sw_base)
        del self.proc.argvs[:]

    def commands(self):
        return self.proc.argvs


class SetmacTest(DeviceCase):
    def test_two_commands(self):
        self.assertIsNone(self.c.setmac("swp1", 2565))
        self.assertEqual(self.commands(), [
            ["ip", "link", "set", "dev", "swp1", "down"],
            ["ip", "link", "set", "dev", "swp1", "address", "2:0:0:0:a:5"]])

    def test_l3_only(self):
        self.c.set_macmode("l3-only")
        self.c.setmac("swp2", 99)
        self.assertEqual(self.commands()[1][-1], "2:0:0:0:0:0")

    def test_carry_runs_nothing(self):
        self.c.macbase = [2, 0, 0, 255, 255, 240]
        with captured_stdout() as out:
            self.c.setmac("swp1", 16)
        self.assertEqual(out.getvalue(), "Tried to carry into OUI.\n")
        self.assertEqual(self.commands(), [])
        self.c.macbase = None
        self.c.setmac("swp1", 0)
        self.assertEqual(self.commands(), [])

    def test_name_is_one_word(self):
        self.c.setmac("swp 1", 1)
        self.assertEqual(self.commands()[0], ["ip", "link", "set", "dev", "swp 1", "down"])

    def test_overridden_makemacaddr(self):
        class MyConfig(pelvane.Config):
            def makemacaddr(self, inmac, index):
                return [index, 1, 2, 3, 4, 255]

        c = self.config(cls=MyConfig)
        del self.proc.argvs[:]
        c.setmac("swp1", 10)
        self.assertEqual(self.commands()[1][-1], "a:1:2:3:4:ff")

    def test_short_address_fails_after_the_down_command(self):
        class MyConfig(pelvane.Config):
            def makemacaddr(self, inmac, index):
                return [1, 2, 3]

        c = self.config(cls=MyConfig)
        del self.proc.argvs[:]
        self.assertRaises(IndexError, c.setmac, "swp1", 1)
        self.assertEqual(self.commands(), [["ip", "link", "set", "dev", "swp1", "down"]])

    def test_failing_ip_passes(self):
        failure = subprocess.CalledProcessError(1, ["ip"])
        self.proc.answers[("ip", "link", "set", "dev", "swp1", "down")] = failure
        with self.assertRaises(subprocess.CalledProcessError) as cm:
            self.c.setmac("swp1", 1)
        self.assertIs(cm.exception, failure)
        self.assertEqual(len(self.commands()), 1)
        self.assertEqual(self.log.lines, [])


class MaketapTest(DeviceCase):
    def test_new_device(self):
        existing = set(["swp9"])
        self.assertIsNone(self.c.maketap("swp1", 1, existing))
        self.assertEqual(self.commands(), [
            ["ip", "tuntap", "add", "dev", "swp1", "mode", "tap", "one_queue"],
            ["ip", "link", "set", "dev", "swp1", "down"],
            ["ip", "link", "set", "dev", "swp1", "address", "2:0:0:0:0:1"]])
        self.assertEqual(existing, set(["swp9"]))

    def test_existing_device_left_alone(self):
        existing = set(["swp1", "swp2"])
        self.c.maketap("swp1", 1, existing)
        self.assertEqual(self.commands(), [])
        self.assertEqual(existing, set(["swp2"]))

    def test_no_address_no_device(self):
        self.c.macbase = [2, 0, 0, 255, 255, 255]
        with captured_stdout() as out:
            self.c.maketap("swp1", 1, set())
        self.assertEqual(out.getvalue(), "Tried to carry into OUI.\n")
        self.assertEqual(self.commands(), [])

    def test_l3_only_and_setmac_override(self):
        seen = []

        class MyConfig(pelvane.Config):
            def setmac(self, portname, index):
                seen.append((portname, index))

        c = self.config(cls=MyConfig)
        c.set_macmode("l3-only")
        c.maketap("swp3", 7, set())
        self.assertEqual(seen, [("swp3", 0)])

    def test_dummy_tools(self):
        c = self.config(dummy=True)
        existing = set(["swp2"])
        c.maketap("swp1", 1, existing)
        c.maketap("swp2", 1, existing)
        self.assertEqual(existing, set())
        self.assertEqual(self.commands(), [])


class MakekernnetTest(DeviceCase):
    sw_base = "mlx"

    def test_dummy_touches_nothing(self):
        for sw_base in ("bcm", "vx"):
            c = self.config(sw_base=sw_base, dummy=True)
            existing = set(["swp1"])
            self.assertIsNone(c.makekernnet("swp1", 1, 0, existing))
            c.makekernnet("swp2", 1, 0, existing)
            self.assertEqual(existing, set(["swp1"]))
        self.assertEqual(self.commands(), [])

    def test_mlx_device(self):
        existing = set(["swp9"])
        self.c.makekernnet("swp1", 3, 1, existing)
        self.assertEqual(self.commands(), [
            [BRINDLET, "add", "name", "swp1", "type", "mlx_sx_netdev", "unit", "1"],
            ["ip", "link", "set", "dev", "swp1", "down"],
            ["ip", "link", "set", "dev", "swp1", "address", "2:0:0:0:0:3"]])
        self.c.makekernnet("swp9", 3, 1, existing)
        self.assertEqual(len(self.commands()), 3)
        self.assertEqual(existing, set())

    def test_unit_as_text(self):
        self.c.makekernnet("swp1", 0, (1, 2), set())
        self.assertEqual(self.commands()[0][-1], "(1, 2)")

    def test_unsupported_family(self):
        c = self.config(sw_base="vx")
        del self.proc.argvs[:]
        with self.assertRaises(quorvel.quillet.UnsupportedPlatformError) as cm:
            c.makekernnet("swp1", 1, 0, set())
        self.assertIs(type(cm.exception), quorvel.quillet.UnsupportedPlatformError)
        self.assertEqual(str(cm.exception), VX_TEXT)
        existing = set(["swp1"])
        c.makekernnet("swp1", 1, 0, existing)
        c.macbase = None
        c.makekernnet("swp2", 1, 0, set())
        self.assertEqual(existing, set())
        c = self.config(sw_base=None, dummy=True)
        c.dummy = False
        with self.assertRaises(pelvane.UnsupportedPlatformError) as cm:
            c.makekernnet("swp1", 1, 0, set())
        self.assertEqual(str(cm.exception), VX_TEXT.replace("vx", "None"))
        self.assertEqual(self.commands(), [])


class DestroyintsTest(DeviceCase):
    def test_switch_names_kept(self):
        names = set(["switch0", "myswitch1", "swp3"])
        self.assertIsNone(self.c.destroyints(names))
        self.assertEqual(self.commands(), [["ip", "link", "del", "dev", "swp3"]])
        self.assertEqual(names, set())

    def test_empty(self):
        names = set()
        self.c.destroyints(names)
        self.assertEqual(self.commands(), [])

    def test_every_name(self):
        names = set("swp%d" % i for i in range(20))
        self.c.destroyints(names)
        self.assertEqual(sorted(a[-1] for a in self.commands()),
                         sorted("swp%d" % i for i in range(20)))


KNET_SCRIPT = r"""
import json, pelvane, skorrel, sys

def read():
    with open("/proc/bcm/knet/link") as f:
        text = f.read()
    open("/proc/bcm/knet/link", "w").close()
    return text

class Recorder(object):
    def __init__(self):
        self.argvs = []
    def run(self, args):
        self.argvs.append(args)
        return ""

p = skorrel.Platform(); p.switch = skorrel.BCMSwitch(skorrel.TomahawkTwo_56970_Chip())
p.switch.ports = []
c = pelvane.Config(p, dummy=True)
c.dummy = False
c.macbase = [2, 0, 0, 0, 0, 0]
c.iproute2 = Recorder(); c.brindlet = Recorder()
results = {}
existing = set(["swp2"])
c.makekernnet("swp1", 2565, 0, existing)
results["new"] = [read(), c.brindlet.argvs, c.iproute2.argvs, sorted(existing)]
c.makekernnet("swp2", 1, 0, existing)
results["found"] = [read(), len(c.brindlet.argvs), sorted(existing)]
c.macbase = [2, 0, 0, 255, 255, 255]
c.makekernnet("swp3", 1, 0, set())
results["carry"] = [read(), len(c.brindlet.argvs)]
c.dummy = True
c.makekernnet("swp4", 1, 0, set())
results["dummy"] = [read()]
c.dummy = False
import os
os.remove("/proc/bcm/knet/link"); os.rmdir("/proc/bcm/knet")
try:
    c.makekernnet("swp5", 1, 0, set(["swp5"]))
except IOError as e:
    results["missing"] = [e.errno]
print json.dumps(results)
"""


class KnetTest(unittest.TestCase):
    def test_link_down_lines(self):
        # A tmpfs over /proc in a mount namespace of the test's own, holding
        # the driver's file; the process's own entries stay readable.
        status, out, err = namespace_python(
            KNET_SCRIPT, "-m",
            "mount -t tmpfs none /proc\n"
            "mkdir /proc/.real\n"
            "mount -t proc proc /proc/.real\n"
            "ln -s .real/self /proc/self\n"
            "ln -s .real/$$ /proc/$$\n"
            "mkdir -p /proc/bcm/knet\n"
            ": > /proc/bcm/knet/link")
        self.assertEqual(status, 0, err)
        results = json.loads(out.splitlines()[-1])
        self.assertEqual(results["new"], [
            "swp1=down", [["add", "name", "swp1", "type", "bcm_knet", "unit", "0"]],
            [["link", "set", "dev", "swp1", "down"],
             ["link", "set", "dev", "swp1", "address", "2:0:0:0:a:5"]], ["swp2"]])
        self.assertEqual(results["found"], ["swp2=down", 1, []])
        self.assertEqual(results["carry"], ["swp3=down", 1])
        self.assertEqual(results["dummy"], [""])
        self.assertEqual(results["missing"], [2])
        self.assertIn("Tried to carry into OUI.\n", out)


NETNS_SCRIPT = r"""
import json, pelvane, skorrel, subprocess

def links():
    out = subprocess.check_output(["ip", "-o", "link", "show"])
    found = {}
    for line in out.splitlines():
        fields = line.split()
        name = fields[1].rstrip(":")
        found[name] = (fields[fields.index("link/ether") + 1]
                       if "link/ether" in fields else None, "UP" in fields[2])
    return found

p = skorrel.Platform(); p.switch = skorrel.BCMSwitch(skorrel.TomahawkTwo_56970_Chip())
p.switch.ports = []
c = pelvane.Config(p, dummy=True)
c.iproute2.dummy = False
c.macbase = [2, 0, 0, 0, 0, 0]
results = {}
existing = set()
c.maketap("swp1", 2565, existing)
c.maketap("xswitch1", 1, existing)
subprocess.check_call(["ip", "link", "set", "swp1", "up"])
results["made"] = links()
results["tuntap"] = subprocess.check_output(["ip", "tuntap", "show"])
existing = set(["swp1"])
c.maketap("swp1", 7, existing)
results["kept"] = [links()["swp1"], sorted(existing)]
c.setmac("swp1", 255)
results["setmac"] = links()["swp1"]
c.destroyints(set(["swp1", "xswitch1"]))
results["left"] = sorted(links())
print json.dumps(results)
"""


class NetnsTest(unittest.TestCase):
    def test_tap_devices(self):
        if not os.path.exists("/dev/net/tun"):
            raise unittest.SkipTest("no /dev/net/tun")
        status, out, err = namespace_python(NETNS_SCRIPT, "-n -m",
                                            "mount -t sysfs none /sys")
        self.assertEqual(status, 0, err)
        results = json.loads(out.splitlines()[-1])
        self.assertEqual(results["made"]["swp1"], ["02:00:00:00:0a:05", True])
        self.assertEqual(results["made"]["xswitch1"], ["02:00:00:00:00:01", False])
        self.assertEqual(sorted(line.split(":")[0] for line in
                                results["tuntap"].splitlines()), ["swp1", "xswitch1"])
        self.assertEqual(results["kept"], [["02:00:00:00:0a:05", True], []])
        self.assertEqual(results["setmac"], ["02:00:00:00:00:ff", False])
        self.assertEqual(results["left"], ["lo", "xswitch1"])


if __name__ == "__main__":
    unittest.main()
