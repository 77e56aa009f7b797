"""pelvane against hostile surroundings: callers and ports that hand it odd
objects where the writer expects texts, lists and small numbers, module
globals rebound after import, paths, links, names and map entries built to
make the configuration file's writer fail, lose files or write what reads
back otherwise, and hosts whose devices are named like `ip` keywords, have a
link, or belong to other software (the real `ip` inside a network namespace
of the test's own)."""
import ast
import ctypes
import errno
import fcntl
import json
import os
import re
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import pelvane
import skorrel

import helpers

HERE = os.path.dirname(os.path.abspath(__file__))


# ---- the configuration writer

def th(label, first, **kw):
    """A Tomahawk 100G port on four lanes from `first`."""
    args = dict(label=label, serdes=tuple(range(first, first + 4)), phy_types=None,
                phy_addrs=None, phy_layer="QSFP28", leds=None, unit=0)
    args.update(kw)
    return skorrel.Tomahawk100GPort(**args)


def tomahawk(text="1=100G\n2=4x25G\n"):
    """A BCMConfig in dummy mode of a Tomahawk box with two ports."""
    switch = skorrel.BCMSwitch(skorrel.TomahawkChip())
    switch.ports = [th("1", 0, rx_polarity_flip=5, tx_polarity_flip=2), th("2", 4)]
    platform = skorrel.Platform()
    platform.switch = switch
    platform.name = "box"
    config = pelvane.BCMConfig(platform, dummy=True)
    config.config(text)
    return config


class Drifting(object):
    """A unit number whose hash changes at every ask."""
    asked = 0

    def __hash__(self):
        Drifting.asked += 1
        return Drifting.asked

    def __int__(self):
        return 0


def run_bounded(code, seconds=120):
    """Runs code in a fresh interpreter, with this folder on its path, that
    is killed after `seconds`; answers (exit status, stdout, stderr)."""
    return helpers.run_python(code, (helpers.MODULE_DIR, helpers.STANDINS, HERE), seconds=seconds)


class WriterTest(unittest.TestCase):

    def test_unit_whose_hash_changes(self):
        # valid[unit] of a unit not found again: KeyError, as the lookup
        # gives it (in a child: the fault was a crash).
        status, out, err = run_bounded(
            "import test_hostile_pelvane as t\n"
            "config = t.tomahawk()\n"
            "unit = config.ports[0].physical_port.unit = t.Drifting()\n"
            "try:\n"
            "    config.sdk_pbmp\n"
            "except KeyError as e:\n"
            "    print e.args == (unit,)\n")
        self.assertEqual((status, out), (0, "True\n"), err)

    def test_port_map_key_of_a_function_without_defaults(self):
        # The port map's key leaves num_units out: the call takes the default
        # as it is now, and where none is left it is refused as the
        # interpreter refuses it.
        f = pelvane.SDKConfiguredPort.sdk_config_intf.im_func
        self.addCleanup(setattr, f, '__defaults__', f.__defaults__)
        config = tomahawk()
        f.__defaults__ = (1,)
        self.assertEqual(config.portmap.split("\n")[0], "portmap_1=1:100")
        f.__defaults__ = None
        with self.assertRaises(TypeError) as e:
            config.portmap
        self.assertEqual(str(e.exception), "sdk_config_intf() takes exactly 3 arguments (2 given)")

    def test_absurd_counts(self):
        # A count range refuses fails at once, as range fails (where the
        # section would have looped on, growing, until killed).
        status, out, err = run_bounded(
            "import test_hostile_pelvane as t\n"
            "try:\n"
            "    range(2 ** 62)\n"
            "except Exception as e:\n"
            "    expected = type(e)\n"
            "config = t.tomahawk()\n"
            "config.ports[1].num_logical_ports = 2 ** 62\n"
            "for section in ('ethertab', 'sdk_pbmp', 'dportmap'):\n"
            "    try:\n"
            "        getattr(config, section)\n"
            "    except expected:\n"
            "        print section\n"
            "config.ports[1].num_logical_ports = 2.0\n"
            "try:\n"
            "    config.sdk_pbmp\n"
            "except TypeError as e:\n"
            "    print e\n")
        self.assertEqual((status, out),
                         (0, "ethertab\nsdk_pbmp\ndportmap\n"
                             "range() integer end argument expected, got float.\n"), err)
        # An endless walk done in C sees Ctrl-C.
        status, out, err = run_bounded(
            "import itertools, signal, test_hostile_pelvane as t\n"
            "config = t.tomahawk()\n"
            "config.ports = itertools.repeat(config.ports[0])\n"
            "def interrupt(*args):\n"
            "    raise KeyboardInterrupt\n"
            "signal.signal(signal.SIGALRM, interrupt)\n"
            "signal.alarm(1)\n"
            "try:\n"
            "    config.sdk_pbmp\n"
            "except KeyboardInterrupt:\n"
            "    print 'interrupted'\n")
        self.assertEqual((status, out), (0, "interrupted\n"), err)

    def test_lane_polarity_lines_appended_through_the_object(self):
        port = tomahawk().ports[0]
        for portmap in (None, ("kept",)):
            with self.assertRaises(AttributeError) as caught:
                port.td3_rx_logical_polarity_flip(port, portmap, 0)
            self.assertEqual(str(caught.exception), "'%s' object has no attribute 'append'"
                             % type(portmap).__name__)

        class Recorder(object):
            def __init__(self):
                self.lines = []

            def append(self, line):
                self.lines.append(line)

        class Counted(list):
            def append(self, line):
                list.append(self, line.upper())

        recorder = Recorder()
        self.assertIs(port.td3_tx_logical_polarity_flip(port, recorder, 0), recorder)
        self.assertEqual(recorder.lines, ["phy_chain_tx_polarity_flip_physical{%d.0}=0x%d" % (n, f)
                                          for n, f in ((1, 0), (2, 1), (3, 0), (4, 0))])
        counted = Counted()
        port.td3_rx_logical_polarity_flip(port, counted, 0)
        self.assertEqual(counted[0], "PHY_CHAIN_RX_POLARITY_FLIP_PHYSICAL{1.0}=0X1")

    def test_groupby_rebound(self):
        config = tomahawk()
        names = ["xe2", "xe0", "xe1", "ce4", "xe5", "xe6", "xe7", "xe9"]
        calls = []
        original = pelvane.groupby

        def recording(iterable, key):
            pairs = list(iterable)
            calls.append((pairs, [key(t) for t in pairs]))
            return original(pairs, key)

        try:
            pelvane.groupby = recording
            self.assertEqual(config._compress_portlist(names), "ce4,xe0-xe2,xe5-xe7,xe9")
            self.assertEqual(calls, [(list(enumerate(sorted(names, key=lambda n: n[:2] + "%03d"
                                                                % int(n[2:])))),
                                      ["ce-4", "xe1", "xe1", "xe1", "xe-1", "xe-1", "xe-1",
                                       "xe-2"])])
            # A groupby of its own making changes the runs.
            pelvane.groupby = lambda iterable, key: original(iterable, lambda t: t[1][:2])
            self.assertEqual(config._compress_portlist(names), "ce4,xe0-xe9")
        finally:
            pelvane.groupby = original
        self.assertEqual(config._compress_portlist(names), "ce4,xe0-xe2,xe5-xe7,xe9")


DEVICE_SCRIPT = r"""
import json, os, subprocess, sys
import pelvane, quorvel.platforms
from quorvel import hurricane2, tomahawk, tridenttwo

# ---- the devices

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
elif case in ("gang", "split"):
    def gang():
        # No port is labelled 1: the gang of ports 4-7, led by port 4, is swp1.
        platform = tridenttwo.build()
        for port, label in zip(platform.switch.ports, "11 12 4 5 6 7 9 10".split()):
            port.label = label
        return platform
    if case == "gang":
        build, modes = gang, ("4=40G/4\n5=40G/4\n6=40G/4\n7=40G/4\n", "4=10G\n")
    else:
        build, modes = tomahawk.build, ("Fabric-6=4x25G\n", "Fabric-6=100G\n")
    reads = []
    for text in (modes[0], modes[0], modes[1]):
        del Recording.calls[:]
        rows = table(build, text, True)
        reads.append(dict(rows=rows, links=sorted(links()), changes=sorted(
            " ".join(c[:4]) for c in Recording.calls if c[1] in ("add", "del"))))
    print json.dumps(reads)
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

    def test_tap_mode_finds_a_gang_again(self):
        first, second, unganged = self.run_case("gang")
        self.assertIn("swp1\txe0\t1\t0\t-1\t0", first["rows"])
        self.assertIn("swp1", first["links"])
        self.assertEqual((second["rows"], second["links"], second["changes"]),
                         (first["rows"], first["links"], []))
        # Once the gang is gone, its device is the switch's to delete.
        self.assertEqual(unganged["changes"], ["link del dev swp1"] +
                         ["tuntap add dev swp%d" % label for label in range(4, 8)])

    def test_tap_mode_finds_a_split_port_again(self):
        first, second, whole = self.run_case("split")
        self.assertEqual([row.split("\t")[0] for row in first["rows"]][5:9],
                         ["fp6s0", "fp6s1", "fp6s2", "fp6s3"])
        self.assertEqual((second["rows"], second["links"], second["changes"]),
                         (first["rows"], first["links"], []))
        self.assertEqual(whole["changes"], ["link del dev fp6s%d" % sub for sub in range(4)] +
                         ["tuntap add dev fp6"])


# ---- the configuration file

HEADER = "# XXX - default config file (needs documentation comments)\n"
OLD = HEADER + "".join("%d=40G\n" % i for i in range(1, 20))
NEW = HEADER + "1=40G\n"
# A fresh interpreter's configuration `c`, whose write_config writes NEW.
WRITER = ("import os, skorrel, pelvane\n"
          "p = skorrel.Platform(); p.switch = skorrel.BCMSwitch(skorrel.BCMChip())\n"
          "c = pelvane.Config(p, dummy=True); c.config_map = {'1': '40G'}\n")
# The namespaces of a run whose files must not outlive the test: its
# processes all end with its first one, which ends with the test
# (helpers.start_in_namespace); the scratch tmpfs, and what is mounted
# from images on it, ends with the mount namespace.
NAMESPACES = "--mount-proc --pid --kill-child"
SCRATCH = "/dev/shm"
MOUNT_SCRATCH = "mount -t tmpfs -o mode=0700 scratch " + SCRATCH


# Code that locks the file open as f, each kind but a lease: an exclusive
# flock, a POSIX lock, an OFD lock (F_OFD_SETLK) and a shared flock.
LOCKS = (("flock", "fcntl.flock(f, fcntl.LOCK_EX)"),
         ("lockf", "fcntl.lockf(f, fcntl.LOCK_EX)"),
         ("ofd", "fcntl.fcntl(f, 37, struct.pack('hhqqi', fcntl.F_WRLCK, 0, 0, 0, 0))"),
         ("shared", "fcntl.flock(f, fcntl.LOCK_SH)"))


class WriteConfigTest(unittest.TestCase):
    """write_config: every failure is open()'s IOError with nothing left
    behind; links stay links; what is written reads back as it was."""

    def setUp(self):
        self.made = None
        p = skorrel.Platform()
        p.switch = skorrel.BCMSwitch(skorrel.BCMChip())
        p.switch.ports = []
        self.c = pelvane.Config(p, dummy=True)
        self.c.config_map = {"1": "40G"}

    def tearDown(self):
        if self.made:
            shutil.rmtree(self.made)

    @property
    def tmp(self):
        """The test's temporary folder, made when first asked for: a test
        whose files are all in a namespace of its own leaves none behind
        when it is killed."""
        if not self.made:
            self.made = tempfile.mkdtemp()
        return self.made

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def read(self, path):
        with open(path) as f:
            return f.read()

    def assertIOError(self, path, code):
        with self.assertRaises(IOError) as cm:
            self.c.write_config(path)
        self.assertEqual((cm.exception.errno, cm.exception.filename), (code, path))

    def test_unopenable_paths(self):
        # A directory fails where the new file would be renamed over it;
        # an empty path names nothing.
        os.mkdir(self.path("ports.conf"))
        self.assertIOError(self.path("ports.conf"), errno.EISDIR)
        self.assertEqual(os.listdir(self.path("ports.conf")), [])
        self.assertEqual(os.listdir(self.tmp), ["ports.conf"])
        cwd = os.getcwd()
        os.chdir(self.path("ports.conf"))
        try:
            self.assertIOError("", errno.ENOENT)
        finally:
            os.chdir(cwd)
        self.assertEqual(os.listdir(self.path("ports.conf")), [])

    def test_dangling_link_and_loop(self):
        os.mkdir(self.path("links"))
        os.mkdir(self.path("real"))
        link = self.path("links", "ports.conf")
        os.symlink("../real/ports.conf", link)
        self.c.write_config(link)
        self.assertEqual(os.readlink(link), "../real/ports.conf")
        self.assertEqual(self.read(self.path("real", "ports.conf")), HEADER + "1=40G\n")
        self.assertEqual(os.listdir(self.path("links")), ["ports.conf"])
        self.assertEqual(os.listdir(self.path("real")), ["ports.conf"])
        os.symlink("b", self.path("a"))
        os.symlink("a", self.path("b"))
        self.assertIOError(self.path("a"), errno.ELOOP)
        self.assertEqual((os.readlink(self.path("a")), os.readlink(self.path("b"))), ("b", "a"))
        self.assertEqual(sorted(os.listdir(self.tmp)), ["a", "b", "links", "real"])

    def test_longest_file_name(self):
        out = self.path("p" * 255)
        self.c.write_config(out)
        self.assertEqual(self.read(out), HEADER + "1=40G\n")
        self.assertEqual(os.listdir(self.tmp), ["p" * 255])

    def test_entries_that_read_back_otherwise(self):
        out = self.path("ports.conf")
        with open(out, "w") as f:
            f.write("old text\n")
        # A continuation under a label that names no port stays in the map;
        # written out it would configure port 4.
        self.c.config("99=40G\n 4=4x10G\n")
        self.assertEqual(self.c.config_map, {"99": "40G\n4=4x10G"})
        with self.assertRaises(ValueError) as cm:
            self.c.write_config(out)
        self.assertEqual(str(cm.exception), "invalid mode for label '99': '40G\\n4=4x10G'")
        # A label with a blank in front would continue the line before it.
        self.c.config_map = {"1": "40G", " 3": "4x10G"}
        with self.assertRaises(ValueError) as cm:
            self.c.write_config(out)
        self.assertEqual(str(cm.exception), "invalid label: ' 3'")
        for mode in ("40G ", '""', "40G ;x", "40G\r"):
            self.c.config_map = {"1": mode}
            self.assertRaises(ValueError, self.c.write_config, out)
        self.assertEqual(self.read(out), "old text\n")
        self.assertEqual(os.listdir(self.tmp), ["ports.conf"])

    def test_pipe_written_in_place(self):
        fifo = self.path("ports.conf")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            self.c.write_config(fifo)
            self.assertEqual(os.read(reader, 4096), HEADER + "1=40G\n")
        finally:
            os.close(reader)
        self.assertTrue(os.path.exists(fifo) and not os.path.isfile(fifo))
        self.assertEqual(os.listdir(self.tmp), ["ports.conf"])

    def test_mount_point_written_in_place(self):
        # A file mounted over another cannot be renamed over.
        out, source = self.path("ports.conf"), self.path("source")
        for path in (out, source):
            with open(path, "w") as f:
                f.write("old text\n")
        code = WRITER + "c.write_config(%r)\n" % out
        status, _, err = helpers.namespace_python(code, setup="mount --bind %s %s" % (source, out))
        self.assertEqual(status, 0, err)
        self.assertEqual(self.read(source), HEADER + "1=40G\n")
        self.assertEqual(self.read(out), "old text\n")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["ports.conf", "source"])

    # The old file is never lost, cut or stripped of what open() keeps.

    def child(self, out, prelude="", entries="{'1': '40G'}", user=None, setup=None, expect=OLD,
              calls=1):
        """Runs `prelude` and write_config(out) of `entries` `calls` times
        in a fresh interpreter (in a mount namespace after `setup`), as uid
        and gid `user` where one is given, else as this process; answers
        (status, IOError's errno and whether `out` then holds `expect`, and
        the names in its directory)."""
        if user is not None and os.geteuid() != 0:
            self.skipTest("needs root")
        become = "" if user is None else "os.setgid(%d); os.setuid(%d)\n" % (user, user)
        code = (prelude + WRITER + "c.config_map = %s\n" % entries + become +
                "try:\n"
                "    for _ in range(%d): c.write_config(%r)\n"
                "except IOError as e: print e.errno\n"
                "print open(%r).read() == %r\n"
                "print sorted(os.listdir(os.path.dirname(%r)))\n"
                % (calls, out, out, expect, out))
        run = helpers.run_python(code) if setup is None else helpers.namespace_python(code, setup=setup)
        self.assertEqual(run[2], "")
        status, lines = run[0], run[1].splitlines(True)
        return status, "".join(lines[:-1]), eval(lines[-1])

    def old_file(self, name="ports.conf", user=0):
        with open(self.path(name), "w") as f:
            f.write(OLD)
        if user:
            os.chown(self.path(name), user, user)
        return self.path(name)

    def test_in_place_text_beyond_the_size_limit(self):
        # A user's file in a directory they may not write is written in place.
        if os.geteuid() != 0:
            self.skipTest("needs root")
        os.chmod(self.tmp, 0o755)
        out = self.old_file(user=1234)
        limit = "import resource; resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
        self.assertEqual(self.child(out, limit, BIG % 10, 1234)[:2], (0, "27\nTrue\n"))  # EFBIG
        self.assertEqual(self.child(out, user=1234, expect=NEW)[:2], (0, "True\n"))
        self.assertEqual(self.read(out), HEADER + "1=40G\n")

    def test_in_place_text_beyond_a_full_disk(self):
        os.chmod(self.tmp, 0o755)
        out, filler = self.path("disk", "ports.conf"), self.path("disk", "filler")
        os.mkdir(self.path("disk"))
        prelude = ("open(%r, 'w').write(%r); __import__('os').chown(%r, 1234, 1234)\n"
                   "open(%r, 'w').write('x' * 49152)\n" % (out, OLD, out, filler))
        setup = "mount -t tmpfs -o size=64k,mode=755 none " + self.path("disk")
        self.assertEqual(self.child(out, prelude, BIG % 40, 1234, setup)[:2], (0, "28\nTrue\n"))

    def test_missing_file_beyond_a_full_disk_is_not_made(self):
        disk = self.path("disk")
        os.mkdir(disk)
        out = os.path.join(disk, "ports.conf")
        code = WRITER + (
            "open(%r, 'w').write('x' * 49152); c.config_map = %s\n"
            "try: c.write_config(%r)\n"
            "except IOError as e: print e.errno, sorted(os.listdir(%r))\n"
            % (os.path.join(disk, "filler"), BIG % 40, out, disk))
        run = helpers.namespace_python(code, setup="mount -t tmpfs -o size=64k none " + disk)
        self.assertEqual(run, (0, "28 ['filler']\n", ""))  # ENOSPC

    def test_size_limit_leaves_no_temporary_file(self):
        # SIGXFSZ at its default action would end the process, new file made.
        out = self.old_file()
        limit = ("import resource, signal; signal.signal(signal.SIGXFSZ, signal.SIG_DFL)\n"
                 "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n")
        self.assertEqual(self.child(out, limit, BIG % 10), (0, "27\nTrue\n", ["ports.conf"]))

    def test_owner_and_group_kept(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")
        out = self.old_file(user=1234)
        os.chmod(out, 0o640)
        self.c.write_config(out)
        st = os.stat(out)
        self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o7777), (1234, 1234, 0o640))
        # One who may not give the new file root's ownership writes in place.
        os.chmod(self.tmp, 0o777)
        out = self.old_file("root.conf")
        os.chmod(out, 0o666)
        self.assertEqual(self.child(out, user=1234, expect=NEW)[:2], (0, "True\n"))
        self.assertEqual(os.stat(out).st_uid, 0)

    def test_other_links_see_the_new_text(self):
        os.link(self.old_file(), self.path("other"))
        self.c.write_config(self.path("ports.conf"))
        self.assertEqual(self.read(self.path("other")), HEADER + "1=40G\n")

    def test_extended_attributes_kept_and_none_gained(self):
        # A new file would take an ACL from the directory's default one.
        out = self.old_file()
        acl = struct.pack("<I" + "HHi" * 5, 2, 1, 7, -1, 2, 6, 1234, 4, 5, -1, 16, 7, -1, 32, 5, -1)
        for path, attr, value in ((out, "user.note", "kept"), (self.tmp, ACL, acl)):
            LIBC.setxattr(path, attr, value, len(value), 0)
        self.c.write_config(out)
        names, value = ctypes.create_string_buffer(99), ctypes.create_string_buffer(99)
        size = LIBC.listxattr(out, names, 99), LIBC.getxattr(out, "user.note", value, 99)
        self.assertEqual((names.raw[:size[0]], value.raw[:size[1]]), ("user.note\0", "kept"))

    def test_file_swapped_while_opened(self):
        # The writer waits in open() on a pipe that is then replaced by a
        # file: the file, not the pipe, takes the text.
        out, held = self.path("ports.conf"), self.path("held")
        os.mkfifo(out)
        os.link(out, held)
        swap = subprocess.Popen([sys.executable, "-c", (
            "import os, sys, time; time.sleep(0.5); os.rename(%r, %r)\n"
            "fd = os.open(%r, os.O_RDONLY | os.O_NONBLOCK); sys.stdin.read()\n"
            "sys.stdout.write(os.read(fd, 4096))\n") % (self.old_file("new"), out, held)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.c.write_config(out)
        self.assertEqual(swap.communicate("")[0], "")
        self.assertEqual(self.read(out), HEADER + "1=40G\n")


    # Where no replacement can be made or renamed, the file is written in
    # place, as open() would write it, and no copy is left.

    def test_written_in_place_where_no_new_file_can_be_made(self):
        # A writable file bind-mounted into a read-only directory.
        os.mkdir(self.path("ro"))
        out = self.old_file(os.path.join("ro", "ports.conf"))
        setup = "mount --bind {0} {0}; mount --bind {1} {1}; mount -o remount,ro,bind {0}"
        self.assertEqual(self.child(out, setup=setup.format(self.path("ro"), out), expect=NEW),
                         (0, "True\n", ["ports.conf"]))
        # A file system with room for the text but no inode left.
        disk = self.path("disk")
        os.mkdir(disk)
        fill = ("import errno, os\nopen(%r, 'w').write(%r)\n"
                "for i in range(99):\n"
                "    try: os.mkdir(os.path.join(%r, str(i)))\n"
                "    except OSError as e: assert e.errno == errno.ENOSPC; break\n"
                % (os.path.join(disk, "ports.conf"), OLD, disk))
        status, output, names = self.child(os.path.join(disk, "ports.conf"), fill, expect=NEW,
                                           setup="mount -t tmpfs -o nr_inodes=16 none " + disk)
        self.assertEqual((status, output), (0, "True\n"))
        self.assertEqual([name for name in names if not name.isdigit()], ["ports.conf"])

    def test_append_only_directory_keeps_no_copy(self):
        from distutils.spawn import find_executable
        if not find_executable("chattr"):
            self.skipTest("needs chattr")
        disk = self.path("disk")
        os.mkdir(disk)
        out = os.path.join(disk, "ports.conf")
        setup = "mount -t tmpfs none %s; chattr +a %s || exit 77" % (disk, disk)
        prelude = "open(%r, 'w').write(%r)\n" % (out, OLD)
        run = self.child(out, prelude, setup=setup, expect=NEW, calls=3)
        if run[0] == 77:
            self.skipTest("no append-only directories here")
        self.assertEqual(run, (0, "True\n", ["ports.conf"]))

    def test_racing_writers_neither_wait_nor_mix(self):
        # Three processes of two threads each write one file over and over,
        # while another holds the directory's flock and the file is read:
        # no call fails or waits (a call of a minute is taken for one held
        # by the lock), every text read is one writer's whole,
        # and read again from the same descriptor it is unchanged (no
        # writer was pushed into writing in place).
        out = self.old_file()
        texts = set([OLD])
        held = os.open(self.tmp, os.O_RDONLY)
        fcntl.flock(held, fcntl.LOCK_EX)
        writers = []
        for i in range(3):
            maps = [{str(i + 1): "40G", "9": "4x10G" * (2 * i + t)} for t in (0, 1)]
            texts.update(HEADER + "".join("%s=%s\n" % e for e in sorted(m.items())) for m in maps)
            code = WRITER + (
                "import threading, time\n"
                "took = []\n"
                "def write(c):\n"
                "    for _ in range(100):\n"
                "        start = time.time(); c.write_config(%r); took.append(time.time() - start)\n"
                "        if took[-1] > 60: break\n"
                "configs = [pelvane.Config(p, dummy=True) for m in %r]\n"
                "for c, m in zip(configs, %r): c.config_map = m\n"
                "threads = [threading.Thread(target=write, args=(c,)) for c in configs]\n"
                "for t in threads: t.start()\n"
                "for t in threads: t.join()\n"
                "print len(took), max(took) < 60\n" % (out, maps, maps))
            env = dict(os.environ, PYTHONPATH=os.pathsep.join((helpers.MODULE_DIR, helpers.STANDINS)))
            writers.append(subprocess.Popen([sys.executable, "-c", code], env=env,
                                            stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        seen, changed = set(), 0
        try:
            deadline = time.time() + 600
            while any(w.poll() is None for w in writers) and time.time() < deadline:
                with open(out) as f:
                    text = f.read()
                    f.seek(0)
                    changed += f.read() != text
                seen.add(text)
        finally:
            os.close(held)
        self.assertEqual([helpers.finished(w, 1) for w in writers], [("200 True\n", "")] * 3)
        self.assertEqual((changed, seen | set([self.read(out)]) <= texts), (0, True))
        self.assertEqual(os.listdir(self.tmp), ["ports.conf"])

    def test_changes_made_during_the_call_stand(self):
        # A mode and an owner set while another thread writes a large text,
        # at every stage of the call: the file has them afterwards, as it
        # would with open().  A change that lands in the instant between the
        # writer's last look and its rename goes with the old file (a writer
        # descheduled there, under load, widens it): a change lost counts
        # only where it is lost again at each of three tries.
        out = self.old_file()
        self.c.config_map = eval(BIG % 2000)
        users = [(0, 0), (1234, 1234)] if os.geteuid() == 0 else [(os.geteuid(), os.getegid())]
        lost = []
        for i in range(40):
            mode, user = (0o600, 0o640)[i % 2], users[i % len(users)]
            for _ in range(3):
                writer = threading.Thread(target=self.c.write_config, args=(out,))
                writer.start()
                time.sleep(i * 0.0002)
                os.chmod(out, mode)
                os.chown(out, *user)
                writer.join()
                st = os.stat(out)
                if (st.st_mode & 0o7777, (st.st_uid, st.st_gid)) == (mode, user):
                    break
            else:
                lost.append(i)
        self.assertEqual(lost, [])

    def test_changes_made_to_the_new_file_after_the_rename_stand(self):
        # The new file's mode set as soon as it is in place, then the old
        # file's while the directory is synced: the new file keeps its own.
        out = self.old_file()
        lost = []
        for i in range(20):
            os.chmod(out, 0o644)
            old = os.open(out, os.O_RDONLY)
            ino = os.fstat(old).st_ino
            writer = threading.Thread(target=self.c.write_config, args=(out,))
            writer.start()
            while os.stat(out).st_ino == ino and writer.is_alive():
                pass
            os.chmod(out, 0o660)
            os.fchmod(old, 0o604)
            writer.join()
            os.close(old)
            lost += [i] if os.stat(out).st_mode & 0o7777 != 0o660 else []
        self.assertEqual(lost, [])

    def test_paths_beyond_path_max(self):
        # A missing file whose directory's path is shorter than PATH_MAX,
        # but not its own: refused, as open() refuses it.
        deep = os.path.join(self.tmp, *["d" * 250] * 12)
        deeper = os.path.join(deep, *["d" * 250] * 4)
        os.makedirs(deeper)
        self.assertIOError(os.path.join(deeper, "p" * 80), errno.ENAMETOOLONG)
        self.assertEqual(os.listdir(deeper), [])
        # A link whose directory and relative target together are longer
        # than PATH_MAX; each alone is not.
        target = os.path.join(*["t" * 250] * 6)
        cwd = os.getcwd()
        os.chdir(deep)
        try:
            os.makedirs(target)
            os.symlink(os.path.join(target, "ports.conf"), "ports.conf")
            self.c.write_config(os.path.join(deep, "ports.conf"))
            self.assertEqual(self.read(os.path.join(target, "ports.conf")), NEW)
            self.assertEqual(os.listdir(target), ["ports.conf"])
        finally:
            shutil.rmtree(target.split("/")[0])
            os.chdir(cwd)

    def test_trusted_attributes(self):
        # Kept where the caller may list them; a caller who may not keeps
        # the others.
        if os.geteuid() != 0:
            self.skipTest("needs root")
        os.chmod(self.tmp, 0o777)
        names = ctypes.create_string_buffer(99)
        for user in (0, 65534):
            out = self.old_file(user=user)
            for attr in ("trusted.origin", "user.note"):
                if LIBC.setxattr(out, attr, "x", 1, 0) < 0:
                    self.skipTest("no %s attributes here" % attr.split(".")[0])
            self.assertEqual(self.child(out, user=user, expect=NEW), (0, "True\n", ["ports.conf"]))
            size = LIBC.listxattr(out, names, 99)
            self.assertEqual(sorted(names.raw[:size].split("\0")[:-1]),
                             ["trusted.origin", "user.note"] if user == 0 else ["user.note"])

    # As open(path, "w") would: other threads go on meanwhile, what open()
    # refuses is refused, and what it keeps is kept.

    def test_other_threads_run_while_it_waits(self):
        # A pipe read by another thread; one Ctrl-C while open() waits for a
        # reader of one, and while a write waits for a reader that reads
        # nothing, once part of the text went in (a call that Ctrl-C does
        # not end is ended by the alarm).
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        code = WRITER + (
            "import ctypes, signal, thread, threading\n"
            "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
            "signal.alarm(120); got = []\n"
            "reader = threading.Thread(target=lambda: got.append(open(%r).read()))\n"
            "reader.start(); c.write_config(%r); reader.join(); print got == [%r]\n"
            "main, kill = thread.get_ident(), ctypes.CDLL(None).pthread_kill\n"
            "def interrupted(after):\n"
            "    threading.Timer(after, kill, (ctypes.c_ulong(main), signal.SIGINT)).start()\n"
            "    try: c.write_config(%r)\n"
            "    except KeyboardInterrupt: return True\n"
            "print interrupted(0.2)\n"
            "held = os.open(%r, os.O_RDONLY | os.O_NONBLOCK); c.config_map = %s\n"
            "print interrupted(0.5), len(os.read(held, 1 << 20)) > 0\n"
            % (fifo, fifo, NEW, fifo, fifo, BIG % 600))
        self.assertEqual(helpers.run_python(code), (0, "True\nTrue\nTrue True\n", ""))

    def test_pipe_put_in_place_between_the_look_and_the_open(self):
        # The writer looks at the name, directly or through a link, finds a
        # regular file, and is held (strace) as it enters its open while a
        # pipe is renamed over the file: the pipe is opened as open() opens
        # it, for writing alone.  A reader already waiting in its open gets
        # the whole text; so does one that comes later, the call waiting
        # for it; another writer already waiting waits on with the call,
        # until a reader gets both texts; Ctrl-C ends the wait with
        # KeyboardInterrupt, nothing written.  Each in a PID namespace, its
        # files on a tmpfs there, so that no writer outlives the test.
        if not tool_path("strace"):
            self.skipTest("needs strace")
        if not CALL_NUMBERS:
            self.skipTest("the system calls' numbers on %s are not known here" % os.uname()[4])
        cases = [(link, party) for link in (False, True) for party in ("reader", "writer")] + [
            (False, "later reader"), (False, None)]
        runs = [start_in_namespace_of_test(__name__, "pipe_at_the_open", *case) for case in cases]
        seen = [printed_in_namespace(self, run) for run in runs]
        if seen[0].get("unstarted", "").startswith("strace: "):
            self.skipTest("strace cannot trace here: %s" % seen[0]["unstarted"].strip())
        for run in seen:  # The two writers' texts come in either order.
            if run.get("read") == OTHER + NEW:
                run["read"] = NEW + OTHER
        kept = dict(first_open="O_WRONLY", held=True, status=0, complaints=[], still_a_pipe=True,
                    said=["written"], waiting=None)
        expected = [dict(kept, names=names, **case)
                    for names in (["ports.conf"], ["link", "ports.conf"])
                    for case in (dict(waiting=(NEW, "", 0)),
                                 dict(waited=True, still_waiting=True, read=NEW + OTHER,
                                      waiting=("", "", 0)))]
        expected += [dict(kept, names=["ports.conf"], waited=True, still_waiting=True, read=NEW),
                     dict(kept, names=["ports.conf"], waited=True, said=["interrupted"])]
        self.maxDiff = None
        self.assertEqual(seen, expected)

    def test_refused_where_open_is_refused_in_a_sticky_directory(self):
        # Another user's file, pipe and link to a missing file, where the
        # kernel's protection of sticky directories is on.  The settings
        # are the machine's, for every process on it: they are only read.
        if os.geteuid() != 0:
            self.skipTest("needs root")
        off = [name for name in ("protected_regular", "protected_fifos", "protected_symlinks")
               if kernel_setting("fs", name) in (None, "0")]
        if off:
            self.skipTest("the kernel's protection of sticky directories is off here (%s): "
                          "a setting of the whole machine, which a test leaves as it is"
                          % ", ".join("fs.%s" % name for name in off))
        sticky = self.path("sticky")
        os.mkdir(sticky)
        os.chmod(sticky, 0o1777)
        planted, fifo = self.old_file(os.path.join("sticky", "ports.conf"), 65534), self.path("f")
        os.mkfifo(fifo)
        os.chown(fifo, 65534, 65534)
        os.rename(fifo, os.path.join(sticky, "fifo"))
        fifo, link = os.path.join(sticky, "fifo"), os.path.join(sticky, "link")
        os.symlink(self.path("target"), link)
        os.lchown(link, 65534, 65534)
        for path in (planted, fifo, link):
            self.assertRefusedByOpen(path)
            self.assertIOError(path, errno.EACCES)
        self.assertEqual((self.read(planted), os.stat(planted).st_uid), (OLD, 65534))
        self.assertEqual(sorted(os.listdir(sticky)), ["fifo", "link", "ports.conf"])
        self.assertFalse(os.path.lexists(self.path("target")))

    def assertRefusedByOpen(self, path):
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_NONBLOCK))
            refused = 0
        except OSError as e:
            refused = e.errno
        if refused != errno.EACCES:
            self.skipTest("no protection of sticky directories here")

    def test_old_text_kept_where_the_cut_is_refused(self):
        # A file sealed against shrinking: put back where it may be read,
        # cut first where it may not.  Root reads a file of any mode, so
        # its unreadable file is nobody's; any other caller is kept.
        for user, mode in ((0, 0o600), (65534, 0o200)):
            become = "os.setgid(%d); os.setuid(%d)\n" % (user, user) if os.geteuid() == 0 else ""
            code = WRITER + (
                "import ctypes, fcntl\n"
                "c.config_map = {'1': '4x10G'}\n" + become +
                "fd = ctypes.CDLL(None).memfd_create('ports', 2)\n"  # sealable
                "os.write(fd, %r); os.fchmod(fd, %d); fcntl.fcntl(fd, 1033, 2)\n"  # no shrinking
                "try: c.write_config('/proc/self/fd/%%d' %% fd)\n"
                "except IOError as e: print e.errno\n"
                "os.lseek(fd, 0, 0); print os.read(fd, 4096) == %r\n" % (OLD, mode, OLD))
            self.assertEqual(helpers.run_python(code), (0, "%d\nTrue\n" % errno.EPERM, ""))

    # Written in place, the file is as open(path, "w") has it in all a
    # caller can see.

    def test_callers_lock_held_through_an_in_place_write(self):
        # A caller's POSIX lock on a file with a second link holds while the
        # writer is stopped just after its write: a locking reader is
        # refused, as where open() closes nothing before the call ends (a
        # close of any descriptor of the file drops the process's locks).
        if not tool_path("strace"):
            self.skipTest("needs strace")
        out = self.old_file()
        os.link(out, self.path("link"))
        code = WRITER + ("import fcntl\n"
                         "held = open(%r, 'r+'); fcntl.lockf(held, fcntl.LOCK_EX)\n"
                         "c.write_config(%r)\n" % (out, out))
        writer = stopped_writer(code, "pwrite64", ":when=1", stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:
            stopped = told_stopped(writer.told, time.time() + 120)
            with open(out) as f:
                try:
                    fcntl.lockf(f, fcntl.LOCK_SH | fcntl.LOCK_NB)
                    refused = False
                except IOError as e:
                    refused = e.errno in (errno.EAGAIN, errno.EACCES)
        finally:
            os.killpg(writer.pid, signal.SIGCONT)
        said = helpers.finished(writer, 120)
        writer.told.close()
        self.assertEqual((stopped, refused, said, writer.returncode, self.read(out)),
                         (True, True, ("", ""), 0, NEW))

    def test_locked_file_written_in_place(self):
        # A file with a lock on it, of any kind and whoever holds it, keeps
        # its inode, as with open(); once the lock is gone it is replaced.
        # Another's shared flock keeps it only while a writer waits behind
        # it, as the waiter is what a replacement would leave behind.
        out = self.old_file()
        holder = helpers.start_python("import fcntl, sys, time\n"
                                      "f = open(%r); fcntl.flock(f, fcntl.LOCK_SH)\n"
                                      "print 'held'; sys.stdout.flush(); time.sleep(600)\n" % out)
        waiter = None
        kept = []
        try:
            self.assertEqual(holder.stdout.readline(), "held\n")
            ino = os.stat(out).st_ino
            waiter = helpers.start_python("import fcntl\n"
                                          "fcntl.flock(open(%r), fcntl.LOCK_EX)\n" % out)
            waiting = re.compile(r"^\d+: -> FLOCK .* \S+:\S+:%d " % ino, re.M)
            deadline = time.time() + 60
            while not waiting.search(self.read("/proc/locks")) and time.time() < deadline:
                time.sleep(0.01)
            self.c.write_config(out)
            kept.append(os.stat(out).st_ino == ino)
            helpers.killed(waiter)
            helpers.finished(waiter, 60)
            waiter = None
            self.c.write_config(out)
            kept.append(os.stat(out).st_ino == ino)
        finally:
            for process in (holder, waiter):
                if process:
                    helpers.killed(process)
                    helpers.finished(process, 60)
        for _, lock in LOCKS[:3]:
            with open(out, "r+") as f:
                eval(lock, {"fcntl": fcntl, "struct": struct, "f": f})
                ino = os.stat(out).st_ino
                self.c.config_map = {"1": "40G", "2": "4x10G"}
                self.c.write_config(out)
                kept.append((os.stat(out).st_ino == ino, self.read(out)))
            self.c.config_map = {"1": "40G"}
            self.c.write_config(out)
            kept.append(os.stat(out).st_ino == ino)
        self.assertEqual(kept, [True, False] + [(True, NEW + "2=4x10G\n"), False] * 3)
        self.assertEqual(self.read(out), NEW)

    def test_locks_found_by_asking_the_kernel(self):
        # A lock that /proc/locks does not list is found by asking the
        # kernel about the file itself, of each kind but a shared flock,
        # which held alone keeps no file in place: one held outside a PID
        # namespace with a /proc of its own, whose list has only its own
        # processes' locks, and, with the list read as empty, the caller's
        # own.  An unlocked file is still replaced.
        code = WRITER + (
            "import fcntl, struct\n"
            "def kept(name, lock):\n"
            "    path = os.path.join(%r, name)\n"
            "    with open(path, 'r+') as f:\n"
            "        if own: eval(lock)\n"
            "        ino = os.stat(path).st_ino\n"
            "        c.write_config(path)\n"
            "        return os.stat(path).st_ino == ino\n"
            "print [kept(name, lock) for name, lock in %r]\n"
            % (self.tmp, LOCKS + (("free", "None"),)))
        held = []
        try:
            for name, lock in LOCKS:
                held.append(open(self.old_file(name), "r+"))
                eval(lock, {"fcntl": fcntl, "struct": struct, "f": held[-1]})
            self.old_file("free")
            outside = helpers.namespace_python("own = False\n" + code, NAMESPACES, seconds=120)
        finally:
            for f in held:
                f.close()
        own = helpers.namespace_python("own = True\n" + code, NAMESPACES,
                                       "mount --bind /dev/null /proc/locks", seconds=120)
        expected = (0, "[True, True, True, False, False]\n", "")
        self.assertEqual((outside, own), (expected, expected))

    def take_turns(self, lock, read, writers, turns=25):
        """Has `writers` processes each, in turn under the file's lock (`lock`,
        code that locks f), read it (`read`), add a port and write it,
        `turns` times; fails where a port is lost."""
        out = self.path("ports.conf")
        with open(out, "w") as f:
            f.write(HEADER)
        # Writer n adds the ports 1000 * n to 1000 * n + turns - 1.
        code = WRITER + (
            "import fcntl, sys\n"
            "print 'ready'; sys.stdout.flush()\n"
            "for turn in range(%d):\n"
            "    with open(%r, 'r+') as f:\n"
            "        %s\n"
            "        text = %s\n"
            "        c.config_map = dict(line.split('=') for line in text.splitlines()[1:])\n"
            "        c.config_map[str(1000 * n + turn)] = '40G'\n"
            "        c.write_config(%r)\n" % (turns, out, lock, read, out))
        # The writers start at once, the lock held until each is about to
        # take it.
        with open(out, "r+") as f:
            eval(lock, {"fcntl": fcntl, "f": f})
            started = [helpers.start_python("n = %d\n" % n + code) for n in range(1, writers + 1)]
            ready = [w.stdout.readline() for w in started]
        self.assertEqual(([helpers.finished(w, 300) for w in started], ready),
                         ([("", "")] * writers, ["ready\n"] * writers))
        labels = [line.split("=")[0] for line in self.read(out).splitlines()[1:]]
        self.assertEqual(labels, sorted((str(1000 * i + t) for i in range(1, writers + 1)
                                         for t in range(turns)), key=int), lock)

    def test_writers_taking_turns_by_the_files_lock_lose_nothing(self):
        # No port is lost, as with open().  (Replaced, a waiter would hold
        # the old file once a newcomer locks the new one.)  A POSIX lock's
        # holder reads through the descriptor it locked, as closing any
        # other descriptor of the file would drop its lock.
        self.take_turns("fcntl.flock(f, fcntl.LOCK_EX)", "open(f.name).read()", 4)
        self.take_turns("fcntl.lockf(f, fcntl.LOCK_EX)", "f.read()", 4)

    def test_turns_kept_beside_a_busy_lock_table(self):
        # Beside a process holding 200 POSIX byte-range locks of its own and
        # taking and dropping 50 more in a loop, as a busy database does,
        # the kernel's list of locks (some 250 lines, made a page at a time)
        # changes between two reads of it: a lock held on the file all the
        # while is still found.
        churner = helpers.start_python(
            "import fcntl, sys\n"
            "f = open(%r, 'w')\n"
            "for at in range(0, 400, 2): fcntl.lockf(f, fcntl.LOCK_EX, 1, at)\n"
            "print 'held'; sys.stdout.flush()\n"
            "while True:\n"
            "    for at in range(400, 500, 2): fcntl.lockf(f, fcntl.LOCK_EX, 1, at)\n"
            "    for at in range(400, 500, 2): fcntl.lockf(f, fcntl.LOCK_UN, 1, at)\n"
            % self.path("database"))
        try:
            self.assertEqual(churner.stdout.readline(), "held\n")
            self.take_turns("fcntl.flock(f, fcntl.LOCK_EX)", "open(f.name).read()", 8, 250)
        finally:
            helpers.killed(churner)
            helpers.finished(churner, 60)

    def test_reopen_refused_or_interrupted_writes_as_open_writes(self):
        # Where the file cannot be opened again to be read (refused, as a
        # write-only file's open is, or EINTR at every try, as a FUSE
        # server may answer), it is written as open() writes it: at once,
        # and where the write fails, cut with none of the old text left,
        # as nothing of it can be put back.
        if not CALL_NUMBERS:
            self.skipTest("the system calls' numbers on %s are not known here" % os.uname()[4])
        out = self.old_file()
        os.link(out, self.path("link"))
        reopen = os.O_RDWR | os.O_NOCTTY | 0o2000000  # O_CLOEXEC
        seen = []
        for rules in ([("openat", 2, reopen, errno.EACCES), ("pwrite64", 2, None, errno.EIO)],
                      [("openat", 2, reopen, errno.EINTR)]):
            self.old_file()
            said = run_bounded(WRITER + "import test_hostile_pelvane as t\n"
                               "c.config_map = {'1': '4x10G'}\n"
                               "t.refuse_calls(%r)\n"
                               "try: c.write_config(%r)\n"
                               "except IOError as e: print e.errno\n" % (rules, out))
            seen.append(said + (self.read(out),))
        self.assertEqual(seen, [(0, "%d\n" % errno.EIO, "", ""), (0, "", "", HEADER + "1=4x10G\n")])

    def test_new_file_named_through_the_threads_own_entry(self):
        # Where linking the new file's descriptor is refused (as kernels
        # before 6.10 refuse it to a caller without CAP_DAC_READ_SEARCH), it
        # is named through its entry in /proc, which must be the calling
        # thread's: from a thread with a descriptor table of its own, whose
        # numbers the main thread's descriptors of a decoy take, and with a
        # /proc whose entries all lead to the decoy, the file takes the
        # text, of one link, and the decoy is neither touched nor named.
        if not CALL_NUMBERS:
            self.skipTest("the system calls' numbers on %s are not known here" % os.uname()[4])
        out, decoy = self.path("ports.conf"), self.path("decoy")
        refuse = WRITER + ("import sys\nsys.path.insert(0, %r)\nimport test_hostile_pelvane as t\n"
                           "t.refuse_calls([('linkat', 4, 0x1000, 2)])\n" % HERE)  # AT_EMPTY_PATH
        thread = refuse + (
            "import ctypes, threading\n"
            "ready, go = threading.Event(), threading.Event()\n"
            "def write():\n"
            "    ctypes.CDLL(None).unshare(0x400)\n"  # CLONE_FILES
            "    ready.set(); go.wait(120); c.write_config(%r)\n"
            "writer = threading.Thread(target=write); writer.start(); ready.wait(120)\n"
            "held = [os.open(%r, os.O_RDONLY) for _ in range(16)]\n"
            "go.set(); writer.join(120)\n" % (out, decoy))
        # Every other entry of /proc leads to the real one's (the sanitizer
        # build reads the process's own); the tree is made first, so that
        # each command making it finds its own entries.
        fake_proc = (MOUNT_SCRATCH + "; cd {0}; mkdir proc fake; mount --bind /proc proc;"
                     " ln -s {0}/proc/* fake; rm fake/thread-self; mkdir -p fake/thread-self/fd;"
                     " for n in $(seq 0 99); do ln -s {1} fake/thread-self/fd/$n; done;"
                     " mount --bind fake /proc"
                     ).format(SCRATCH, decoy)
        for run in (lambda: helpers.run_python(thread),
                    lambda: helpers.namespace_python(refuse + "c.write_config(%r)\n" % out,
                                                     setup=fake_proc)):
            self.old_file()
            with open(decoy, "w") as f:
                f.write("decoy\n")
            self.assertEqual(run(), (0, "", ""))
            self.assertEqual((self.read(out), os.stat(out).st_nlink, self.read(decoy),
                              sorted(os.listdir(self.tmp))),
                             (NEW, 1, "decoy\n", ["decoy", "ports.conf"]))

    def test_one_free_descriptor_is_enough(self):
        code = WRITER + (
            "import resource\n"
            "soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)\n"
            "os.closerange(3, soft)\n"
            "for free in (1, 2, 3):\n"
            "    for name in ('old', 'new%%d' %% free):\n"
            "        resource.setrlimit(resource.RLIMIT_NOFILE, (3 + free, hard))\n"
            "        try: c.write_config(os.path.join(%r, name))\n"
            "        except IOError as e: print free, name, e\n"
            "        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))\n"
            "        print open(os.path.join(%r, name)).read() == %r,\n" % (self.tmp, self.tmp, NEW))
        self.old_file("old")
        self.assertEqual(helpers.run_python(code), (0, "True " * 5 + "True\n", ""))
        self.assertEqual(sorted(os.listdir(self.tmp)), ["new1", "new2", "new3", "old"])

    def test_inode_flags_kept(self):
        # On ext4, made in an image, and on tmpfs; the image, the disk and
        # the file on the namespace's scratch tmpfs.
        mkfs = tool_path("mkfs.ext4")
        if not mkfs:
            self.skipTest("needs mkfs.ext4")
        image, disk = os.path.join(SCRATCH, "image"), os.path.join(SCRATCH, "disk")
        out = os.path.join(disk, "ports.conf")
        code = WRITER + (
            "import array, fcntl\n"
            "def flags(): return array.array('i', fcntl.ioctl(os.open(%r, 0), 0x80086601, '\\0' * 8))[0]\n"
            "before = flags(); c.write_config(%r)\n"
            "print before == flags(), before & 0x40, open(%r).read() == %r\n" % (out, out, out, NEW))
        ext4 = ("truncate -s 16M {0}; {1} -q {0} || exit 77; mount -o loop {0} {2}"
                .format(image, mkfs, disk))
        for mount, attrs in ((ext4, "+S +d +A +c"), ("mount -t tmpfs none " + disk, "+d +A")):
            setup = "%s; mkdir %s; %s; echo old > %s; chattr %s %s" % (
                MOUNT_SCRATCH, disk, mount, out, attrs, out)
            run = helpers.namespace_python(code, NAMESPACES, setup)
            if run[0] == 77:
                self.skipTest("no ext4 images here: %s" % run[2].strip())
            self.assertEqual(run, (0, "True 64 True\n", ""))

    def test_open_files_written_where_they_stand(self):
        # `prog >> log` writing to /dev/stdout and the like: the log is
        # written, not renamed over, and what is printed later reaches it.
        log = self.old_file("log")
        ino = os.stat(log).st_ino
        code = WRITER + (
            "import sys\n"
            "for path in ('/dev/stdout', '/dev/fd/1', '/proc/self/fd/1', '/proc/%%d/fd/1' %% os.getpid()):\n"
            "    c.write_config(path); sys.stdout.write('after\\n'); sys.stdout.flush()\n"
            # A file that takes no write at an offset, as write() takes it.
            "comm = '/proc/self/comm'; open(comm, 'w').write('before'); c.write_config(comm)\n"
            "got = open(comm).read(); open(comm, 'w').write(%r)\n"
            "sys.stderr.write(repr((got != 'before\\n', got == open(comm).read())))\n" % NEW)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join((helpers.MODULE_DIR, helpers.STANDINS)))
        with open(log, "a") as f:
            proc = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=f,
                                    stderr=subprocess.PIPE)
            err = proc.communicate()[1]
        self.assertEqual((proc.returncode, err), (0, "(True, True)"))
        self.assertEqual((self.read(log), os.stat(log).st_ino), (NEW + "after\n", ino))
        self.assertEqual(os.listdir(self.tmp), ["log"])


# ---- a pipe put in place between the writer's look and its open

# The numbers of the system calls that tests find a writer in, as
# /proc/PID/syscall shows them, and refuse it (refuse_calls), on this
# machine, and its architecture as seccomp names it (None where not known).
# aarch64 and riscv64 share the kernel's generic table.
GENERIC_CALLS = dict(openat=56, fsync=82, linkat=37, fchmod=52, pwrite64=68)
CALL_NUMBERS = {"x86_64": dict(openat=257, fsync=74, linkat=265, fchmod=91, pwrite64=18,
                              arch=0xC000003E),
                "aarch64": dict(GENERIC_CALLS, arch=0xC00000B7),
                "riscv64": dict(GENERIC_CALLS, arch=0xC00000F3)}.get(os.uname()[4])


def traced_writer(options, code, preload=None, **popen):
    """Starts `code` (a writer's) in a fresh interpreter under strace, given
    `options`, with the modules on its path and `preload` (a library's
    path) preloaded into it besides what this process has preloaded, which
    strace is not given; the other keywords are Popen's.  The writer and
    its tracer run in a session of their own: a stopped writer in a
    process group that a job-control shell's exit leaves orphaned would
    be sent SIGHUP, and killed."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        os.path.abspath(path) for path in (helpers.MODULE_DIR, helpers.STANDINS)))
    preload = ":".join(filter(None, [env.pop("LD_PRELOAD", None), preload]))
    if "ASAN_OPTIONS" in env:  # The leak checker does not run under a tracer.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return subprocess.Popen(["strace", "-qq"] + options
                            + (["-E", "LD_PRELOAD=" + preload] if preload else [])
                            + [sys.executable, "-c", code], env=env, preexec_fn=os.setsid,
                            **popen)


def stopped_writer(code, calls, when="", preload=None, **popen):
    """Starts `code` as traced_writer starts it, strace stopping it
    (SIGSTOP) as each of its `calls` returns (`when`: the ":when=" of
    strace's inject); the tracer tells of each stop on the pipe that the
    writer's `told` reads (told_stopped)."""
    told, tell = os.pipe()
    # Only the tracer writes to the pipe, only this process reads it.
    fcntl.fcntl(told, fcntl.F_SETFD, fcntl.FD_CLOEXEC)
    try:
        writer = traced_writer(["-o", "/dev/fd/%d" % tell, "-e", "trace=" + calls, "-e",
                                "inject=%s:signal=SIGSTOP%s" % (calls, when)], code, preload,
                               **popen)
    finally:
        os.close(tell)
    writer.told = os.fdopen(told, "r", 0)
    return writer


def told_stopped(told, deadline):
    """Whether a writer's tracer tells on `told` (stopped_writer) that the
    writer is stopped, before `deadline`; false where it ends first."""
    while select.select([told], [], [], max(0, deadline - time.time()))[0]:
        line = told.readline()
        if not line or line.startswith("--- stopped by SIGSTOP"):
            return bool(line)
    return False


def first_line(process, seconds=120):
    """The first line the process prints, read once it is there; empty
    where it has not come within `seconds`."""
    if not select.select([process.stdout], [], [], seconds)[0]:
        return ""
    return process.stdout.readline()


def refuse_calls(rules):
    """Has this process's system calls refused from now on, through a
    seccomp filter (where this machine's calls are known, CALL_NUMBERS):
    each rule (name, argument, value, errno) fails the call `name` with
    `errno` where its argument numbered `argument` (its low 32 bits) is
    `value`, or is not 0 where `value` is None."""
    ld, jeq, ret, allow = 0x20, 0x15, 0x06, 0x7FFF0000
    code = [(ld, 0, 0, 4), (jeq, 1, 0, CALL_NUMBERS["arch"]), (ret, 0, 0, allow)]
    for name, argument, value, err in rules:
        code += [(ld, 0, 0, 0), (jeq, 0, 3, CALL_NUMBERS[name]), (ld, 0, 0, 16 + 8 * argument),
                 (jeq, 0, 1, value) if value is not None else (jeq, 1, 0, 0),
                 (ret, 0, 0, 0x50000 | err)]
    code.append((ret, 0, 0, allow))
    program = ctypes.create_string_buffer("".join(struct.pack("HBBI", *op) for op in code))

    class SockFprog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    fprog = SockFprog(len(code), ctypes.addressof(program))
    ulong = ctypes.c_ulong
    if (LIBC.prctl(38, ulong(1), ulong(0), ulong(0), ulong(0)) != 0 or  # PR_SET_NO_NEW_PRIVS
            LIBC.prctl(22, ulong(2), ctypes.byref(fprog), ulong(0), ulong(0)) != 0):
        raise OSError(ctypes.get_errno(), "seccomp: " + os.strerror(ctypes.get_errno()))


def process_state(pid):
    """The state of the process as /proc shows it ("S" sleeping, "T" or "t"
    stopped, ...); None where it has ended."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except IOError:
        return None


def start_in_namespace_of_test(module, function, *args):
    """Starts the function `function` of the test module `module`, given
    the scratch folder and `args`, in the namespaces of NAMESPACES; answers
    the process (printed_in_namespace reads it)."""
    code = "import sys\nsys.path.insert(0, %r)\nimport %s as t\nt.%s(%r, *%r)\n" % (
        HERE, module.split(".")[-1], function, SCRATCH, args)
    return helpers.start_in_namespace(code, NAMESPACES, MOUNT_SCRATCH)


def printed_in_namespace(test, module, function=None, *args):
    """What the function `function` of the test module `module`, started
    as start_in_namespace_of_test starts it (or the process `module` so
    started), printed, a Python literal, once the test has checked that
    it ran to its end and said nothing else."""
    run = start_in_namespace_of_test(module, function, *args) if function else module
    out, err = helpers.finished(run, 1200)
    test.assertEqual((run.returncode, err), (0, ""))
    return ast.literal_eval(out)


def start_held_writer(path):
    """write_config(path) in a fresh interpreter under strace, which holds
    it for HOLD_AT_OPEN seconds as it enters its first open of `path` and
    reports that open on the stderr they share; the writer prints its
    process number, then "written", or "interrupted" where Ctrl-C ended
    the call."""
    code = WRITER + (
        "import signal, sys\n"
        "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        "signal.alarm(120)\n"
        "print os.getpid()\n"
        "sys.stdout.flush()\n"
        "try: c.write_config(%r)\n"
        "except KeyboardInterrupt: print 'interrupted'\n"
        "else: print 'written'\n" % path)
    return traced_writer(["-P", path, "-e", "trace=openat", "-e",
                          "inject=openat:delay_enter=%dms:when=1" % (HOLD_AT_OPEN * 1000)],
                         code, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def in_call(pid):
    """The process's state (as process_state gives it), the system call it
    is in as /proc shows it (its number and arguments; "running"), and the
    times it was switched off a processor; None where it has ended
    meanwhile.  The state and the switches are read in one look, before
    the call: a process moving on in between shows other switches at the
    next look."""
    try:
        with open("/proc/%d/status" % pid) as f:
            status = [line for line in f if line.startswith("State:") or "ctxt_switches" in line]
        with open("/proc/%d/syscall" % pid) as f:
            call = f.read().split()
    except IOError:
        return None
    return status[0].split()[1], call, status[1:]


def opening(pid, states, flags=0):
    """The access mode (os.O_RDONLY, O_WRONLY or O_RDWR) of the open,
    with `flags`, that the process is in, in one of `states`; None where
    it is elsewhere, or has ended."""
    now = in_call(pid)
    if (not now or now[0] not in states or now[1][0] != str(CALL_NUMBERS["openat"])
            or int(now[1][3], 16) & flags != flags):
        return None
    return int(now[1][3], 16) & 3


def soon(find, seconds=120):
    """What find() answers first that is not None, asked at once and then
    until `seconds` have passed (None then)."""
    deadline = time.time() + seconds
    while True:
        found = find()
        if found is not None or time.time() >= deadline:
            return found
        time.sleep(0.001)


def ended_or_interrupted(process, seconds=60):
    """Sends SIGINT to the process where it has not ended within
    `seconds`."""
    if soon(process.poll, seconds) is None:
        os.kill(process.pid, signal.SIGINT)


# The waiting parties of pipe_at_the_open, their commands and the access
# they wait to open the pipe with; the text the writer among them writes.
PARTIES = {"reader": (["cat"], os.O_RDONLY),
           "writer": (["sh", "-c", 'echo other > "$0"'], os.O_WRONLY)}
OTHER = "other\n"
ACCESS = {os.O_RDONLY: "O_RDONLY", os.O_WRONLY: "O_WRONLY", os.O_RDWR: "O_RDWR"}


def pipe_at_the_open(scratch, link, party):
    """write_config of a regular file, `ports.conf`, in a fresh folder of
    `scratch`, or of a `link` to it, over which a pipe is renamed while the
    writer is held entering its first open of the path.  A `party` waits
    in its open of the pipe from the start ("reader" or "writer", PARTIES),
    or opens it for reading once the writer waits ("later reader"); with
    none, the writer is sent SIGINT once it waits.  Prints, as a Python
    literal, what was seen."""
    folder = os.path.join(scratch, "-".join(("link" * link, party or "none")))
    os.mkdir(folder)
    out, pipe = os.path.join(folder, "ports.conf"), os.path.join(folder, "pipe")
    with open(out, "w") as f:
        f.write(OLD)
    os.mkfifo(pipe)
    if link:
        os.symlink("ports.conf", os.path.join(folder, "link"))
    waiting = None
    if party in PARTIES:
        command, access = PARTIES[party]
        waiting = subprocess.Popen(command + [pipe], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        soon(lambda: opening(waiting.pid, "S") == access or None)
    writer = start_held_writer(os.path.join(folder, "link" if link else "ports.conf"))
    pid = writer.stdout.readline()
    if not pid:  # Where strace cannot trace, it says why.
        print repr(dict(unstarted=writer.communicate()[1]))
        return
    pid = int(pid)
    first = soon(lambda: opening(pid, "t", os.O_CREAT))
    before = in_call(pid)
    os.rename(pipe, out)
    seen = dict(first_open=ACCESS.get(first), held=first is not None and in_call(pid) == before)
    if party == "reader":
        soon(waiting.poll, 120)
        ended_or_interrupted(writer)
    else:
        seen["waited"] = soon(lambda: opening(pid, "S") == os.O_WRONLY or None) is not None
        if seen["waited"] and party:
            time.sleep(0.2)
            seen["still_waiting"] = [writer.poll(), waiting and waiting.poll()] == [None, None]
            with open(out) as f:
                seen["read"] = f.read()
        elif seen["waited"]:
            os.kill(pid, signal.SIGINT)
        ended_or_interrupted(writer)
    said, err = helpers.finished(writer, 120)
    seen.update(said=said.split(), status=writer.returncode, names=sorted(os.listdir(folder)),
                waiting=waiting and helpers.finished(waiting, 120) + (waiting.returncode,),
                complaints=[line for line in err.splitlines()
                            if not line.startswith(("openat(", "--- ", "strace: Requested path"))],
                still_a_pipe=stat.S_ISFIFO(os.lstat(out).st_mode))
    print repr(seen)


def tool_path(name):
    """Where the program `name` is, on the search path or in the system's
    own folders (which an administrator's path has); None where it is
    not."""
    from distutils.spawn import find_executable
    return find_executable(name, os.pathsep.join((os.environ.get("PATH", ""), "/usr/sbin", "/sbin")))


def kernel_setting(*names):
    """A kernel setting's value as /proc/sys shows it (kernel_setting("fs",
    "protected_fifos")), stripped; None where this kernel has none."""
    try:
        with open(os.path.join("/proc/sys", *names)) as f:
            return f.read().strip()
    except IOError:
        return None


BIG = "dict((str(i), '4x10G' * %d) for i in range(99))"
# How long, in seconds, a writer is held as it enters its open.
HOLD_AT_OPEN = 10
ACL = "system.posix_acl_default"
LIBC = ctypes.CDLL(None, use_errno=True)


if __name__ == "__main__":
    unittest.main()
