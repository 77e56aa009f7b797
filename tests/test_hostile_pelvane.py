"""pelvane against callers and ports that a module written in Python
withstands: odd objects where the writer expects texts, lists and small
numbers, and module globals rebound after import."""
import os
import subprocess
import sys
import unittest

import pelvane
import skorrel

import helpers

HERE = os.path.dirname(os.path.abspath(__file__))


# ---- the configuration writer ----------------------------------------------------

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


def run_bounded(code, seconds=10):
    """Runs code in a fresh interpreter that is killed after `seconds`;
    answers (exit status, stdout, stderr)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join((helpers.MODULE_DIR, helpers.STANDINS, HERE))
    proc = subprocess.Popen(["timeout", "-s", "KILL", str(seconds), sys.executable, "-c", code],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate()
    return proc.returncode, out, err


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


if __name__ == "__main__":
    unittest.main()
