"""Ctrl-C in the modules' loops over what a caller hands in: an endless
iterable of the interpreter's own (which runs no code at a turn), or a count
beyond any wait, ends with KeyboardInterrupt, as the interpreter's own
`for x in itertools.repeat(None): pass` does; and code run at a turn that
empties what the loop walks (its copy, the caller's) crashes nothing."""
import os
import select
import signal
import threading
import time
import unittest

from helpers import MODULE_DIR, STANDINS, start_python

TESTS = os.path.dirname(os.path.abspath(__file__))

# looping() says that the loop is reached; endless(item) gives item over and
# over, saying so when the loop takes the first (as Map(item)'s iteration
# does); first_says(kind, name, *args) is a kind(*args) whose method `name`
# says so at its first call, and is another kind(*args)'s own, in C, from
# then on; empty(item, *dicts) empties the lists holding item, and the dicts.
PRELUDE = """
import gc, itertools, signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)  # even where ignored at start
def looping():
    sys.stdout.write("looping\\n")
    sys.stdout.flush()
def endless(item):
    def first():
        looping()
        yield item
    return itertools.chain(first(), itertools.repeat(item))
class Map(dict):
    __init__ = lambda self, item: setattr(self, "item", item)
    __iter__ = lambda self: endless(self.item)
def first_says(kind, name, *args):
    def first(self, item):
        looping()
        setattr(self, name, getattr(kind(*args), name))
    return type("First", (kind,), {name: first})(*args)
def empty(item, *dicts):
    for holder in [h for h in gc.get_referrers(item) if type(h) is list]:
        del holder[:]
    map(dict.clear, dicts)
    sys.stdout.write("emptied\\n")
"""

SKORREL = """
import skorrel
from helpers import port_kwargs
"""
PLATFORM = """
import pelvane, skorrel, quorvel.platforms
from test_pelvane_sdkconfig import h2_port, platform_of
port = h2_port("1", "xe0")
platform = platform_of(skorrel.Hurricane2Chip())
config = pelvane.SDKConfig(platform, dummy=True)
"""
GLIMMET = """
import glimmet
c = glimmet.TridentTwoLEDController()
"""
MURCHET = """
import murchet
from test_murchet_kernel import make_asic, route
key, mroute = route("10.0.0.1", "239.1.1.1", 10, 1)
entry = murchet.PortmapEntry("xe1", 1, "swp1")
asic = make_asic(linux_ports=["swp1"], mroutes={key: mroute}, portmap=[entry])
"""

# (entry point, set-up, the call); the set-up's module lines first.
CASES = [
    ("Port.num_phys", SKORREL, "p = skorrel.SDKPort(**port_kwargs())\n"
     "p.phy_addrs = endless(None)\np.num_phys"),
    ("TomahawkTwoPort.find_port", SKORREL + "import quorvel.platforms", """
p = skorrel.TomahawkTwo100GPort("1", "2", (1, 2, 3, 4), None, None, "QSFP28", None, 0)
quorvel.platforms.platform = skorrel.Platform()
quorvel.platforms.platform.switch = skorrel.BCMSwitch(skorrel.TomahawkTwoChip())
quorvel.platforms.platform.switch.ports = endless(p)
p.find_port("9")"""),
    ("Trident40GPort.polarity_flip_val", SKORREL,
     "p = skorrel.Trident40GPort('1', (1, 2, 3, 4), None, None, 'QSFP+', None, None)\n"
     "looping()\np.polarity_flip_val('40G', 0, xrange(sys.maxint))"),
    ("SDKChip.get_config", SKORREL,
     "c = skorrel.TomahawkTwoChip()\nc.chip_dir_list = endless('nowhere')\n"
     "c.get_config(c.file_list[0])"),
    ("Config.find_hw_port", PLATFORM, "platform.switch.ports = endless(port)\n"
     "config.find_hw_port('9')"),
    ("Config._complete_modes", PLATFORM, "platform.switch.ports = endless(port)\n"
     "config._complete_modes({'9': '10G'})"),
    ("Config.write_config", PLATFORM + "import tempfile", "config.config_map = Map('Fabric-1')\n"
     "config.write_config(tempfile.mktemp())"),
    ("Config._complete_modes, its map", PLATFORM, "config._complete_modes(Map('9'))"),
    ("Config.destroyints", PLATFORM, "config.destroyints(endless('swp9'))"),
    ("SDKConfig._compress_portlist", PLATFORM, "config._compress_portlist(endless('xe1'))"),
    ("SDKConfig._calculate_gangs", PLATFORM, "config._calculate_gangs(endless(port))"),
    ("SDKConfig._calculate_leds", PLATFORM, "platform.switch.led_controllers = endless(0)\n"
     "config._calculate_leds()"),
    ("SDKConfig._calculate_configuration", PLATFORM, "config.config_map = {'1': 'disabled'}\n"
     "platform.switch.ports = endless(port)\nconfig._calculate_configuration()"),
    ("BCMLEDController.configure", GLIMMET, "c.num_leds = 1\nc.configure(0, endless(None))"),
    ("BCMLEDController._calc_unrolled_instructions", GLIMMET,
     "c._calc_unrolled_instructions(endless((0, 1)))"),
    ("BCMLEDController._calc_looped_instructions", GLIMMET,
     "c._calc_looped_instructions(endless((0, 1)))"),
    ("BCMLEDController.led_map", GLIMMET, "c.call_list = {0: endless((None, 1))}\nc.led_map(0)"),
    # (A count checked as range() checks it, for memory: the loop says it
    # is reached at its first turn.)
    ("BCMLEDController._led_pad_call", GLIMMET + "import collections",
     "c.set_calls = first_says(collections.deque, 'append', (), 1)\n"
     "c._led_pad_call(0, 10 ** 8, False)"),
    ("BCMLEDController._led_port_call", GLIMMET,
     "c.set_functions = first_says(set, 'add')\n"
     "c._led_port_call(('x', 'set_led:', None), 10 ** 8)"),
    ("Asic.mroute_eq", MURCHET, "asic.mroute_eq(key, 'swp1', endless('swp1'))"),
    ("Asic.dump_mroutes", MURCHET, "asic.dump_mroutes(endless('no route'))"),
    ("Asic.__str__", MURCHET, "asic.mroutes = Map(key)\nstr(asic)"),
    ("Asic.get_mroutes", MURCHET, "asic.mroutes = endless(key)\nasic.get_mroutes()"),
    ("Asic._dport2logical_port", MURCHET, "asic.portmap = endless(entry)\n"
     "asic._dport2logical_port('xe9')"),
    ("Asic._update_portmap_port_vid", MURCHET, "asic.portmap = endless(entry)\n"
     "asic._update_portmap_port_vid('xe9', 5)"),
    ("ReplicationGroup.get_l3_linux_encaps", MURCHET,
     "g = murchet.ReplicationGroup(1, [], [])\n"
     "g.l3_encaps = endless(murchet.Encap('swp1', 'xe1', 7, 10, 10))\n"
     "g.get_l3_linux_encaps()"),
    ("Asic._kern_dev_vlan_filtering_parse", MURCHET, """
class Os(object):
    class path(object):
        isfile = staticmethod(lambda path: True)
murchet.os = Os()
murchet.open = lambda path: endless("1\\n")
asic._kern_dev_vlan_filtering_parse("br0")"""),
]


# (entry point, set-up, the call) whose loop's turns empty what it walks.
EMPTIED = [
    ("SDKConfig._compress_portlist", PLATFORM + "class Name(str):\n"
     "    __getslice__ = lambda self, i, j: empty(self) or '1'",
     "config._compress_portlist([Name('xe1a'), Name('xe2a'), Name('xe3a')])"),
    ("Config._complete_modes", PLATFORM + "modes = dict.fromkeys(['a1', 'a2', 'a3'], 'x')\n"
     "config.find_hw_port = lambda key: empty(key, modes)", "config._complete_modes(modes)"),
    ("SDKConfig._calculate_gangs", PLATFORM + "class Port(object):\n"
     "    ganged, physical_port, unit = False, port, property(lambda self: empty(self) or 0)",
     "config._calculate_gangs([Port(), Port(), Port()])"),
    ("SDKConfig.led_asm", PLATFORM + "config._led_programs = dict.fromkeys(['k1', 'k2', 'k3'],"
     " type('P', (), {'asm': property(lambda p: empty('k1', config._led_programs))})())",
     "config.led_asm"),
    # (The signal's sender runs no Python code: its handler runs at a turn.)
    ("Asic.__str__", MURCHET + "import functools, os, signal\n"
     "asic.mroutes = dict.fromkeys(['route %d' % i for i in range(2048)], signal.SIGUSR1)\n"
     "signal.signal(signal.SIGUSR1, lambda n, f, k=min(asic.mroutes): empty(k, asic.mroutes))\n"
     "asic._dump_one_mroute = functools.partial(os.kill, os.getpid())", "str(asic)"),
]


def cpu_seconds(pid):
    """The processor time a child (not yet reaped) has used."""
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / float(os.sysconf("SC_CLK_TCK"))


def interrupted(entry, child, failures):
    """Interrupts the child once it loops, and adds to `failures` what went
    otherwise than its end by KeyboardInterrupt."""
    try:
        if not select.select([child.stdout], [], [], 60)[0] or not child.stdout.readline():
            failures.append("%s: no loop reached: %s" % (entry, child.stderr.read()))
            return
        time.sleep(0.2)  # past the last code of the set-up
        child.send_signal(signal.SIGINT)
        # Still looping once it has run 2 s since (beside busy neighbours,
        # a child may get little of the processor), or after 60 s.
        spent, deadline = cpu_seconds(child.pid), time.time() + 60
        while (child.poll() is None and time.time() < deadline and
               cpu_seconds(child.pid) - spent < 2):
            time.sleep(0.02)
        if child.poll() is None:
            failures.append("%s: still looping 2 s after SIGINT" % entry)
            return
        last = (child.stderr.read().splitlines() or [""])[-1]
        if last != "KeyboardInterrupt":
            failures.append("%s: ended with %r" % (entry, last))
    finally:
        if child.poll() is None:
            child.kill()
        child.wait()


def survived(entry, child, failures):
    """Adds to `failures` where the child emptied nothing or died (an
    exception counts as alive)."""
    out, err = child.communicate()
    if "emptied" not in out or not out.endswith("alive\n"):
        failures.append("%s: status %s: %s" % (entry, child.returncode, err[-400:]))


def failures_of(check, cases):
    """check(entry, child, failures) over the (entry, code) cases, in threads
    started once every child is: a child forked beside a running thread may
    wait for ever on a lock it copied (the sanitizer's allocator's)."""
    failures = []
    started = [(e, start_python(PRELUDE + code, path=(MODULE_DIR, STANDINS, TESTS)))
               for e, code in cases]
    runs = [threading.Thread(target=check, args=(e, child, failures)) for e, child in started]
    for run in runs:
        run.start()
    for run in runs:
        run.join()
    return "\n".join(sorted(failures))


class InterruptTest(unittest.TestCase):
    def test_every_loop_over_a_callers_object_ends_on_ctrl_c(self):
        self.assertFalse(failures_of(interrupted, [(e, s + "\n" + c) for e, s, c in CASES]))

    def test_loops_survive_code_that_empties_what_they_walk(self):
        alive = "\ntry:\n    %s\nexcept Exception:\n    pass\nprint('alive')"
        self.assertFalse(failures_of(survived, [(e, s + alive % c) for e, s, c in EMPTIED]))


if __name__ == "__main__":
    unittest.main()
