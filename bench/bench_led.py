"""LED program benchmark: configure plus asm of a 256-slot LED chain.

    PYTHONPATH=build/python:tests/standins python2.7 bench/bench_led.py [ROUNDS]

The chain: 64 QSFP28 ports of a Tomahawk switch, in mode 100G, four LED
slots each: a link routine and a speed routine of the port (one shared text
each, the port's own call port), then two slots left to the default pad;
the configured ports are pelvane's (a Python stand-in where pelvane is
missing).  A second chain has the same ports in mode 4x25G, each logical
port claiming one slot with a call of its own (256 different routines), a
third no claims at all (pads only).  Each round makes a new
controller object, configures it and reads its program; the median and the
best of the rounds are reported, in milliseconds.  Last, the program text
alone of a configured 1,024-slot breakout chain (256 ports, 1,024 routines),
beside an interpreted rendering of it.
"""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import glimmet  # noqa: E402
import skorrel  # noqa: E402

import helpers  # noqa: E402

LINK = ("\nset_led:\n        port    a\n        pushst  PORTSTATUS_LINKUP\n"
        "        pack\n        ret\n")
SPEED = ("\nset_led:\n        port    a\n        pushst  PORTSTATUS_SPEED_M\n"
         "        pack\n        ret\n")


class Chain(glimmet.TomahawkLEDController):
    num_leds = 256


class LongChain(glimmet.TomahawkLEDController):
    num_leds = 1024


def configured(mode, physical_port, n):
    try:
        import pelvane
        return pelvane.SDKConfiguredMappedPort(mode, physical_port, 1 + n, n, False)
    except (ImportError, AttributeError):
        return helpers.StandinConfiguredPort(mode, physical_port)


def chain(mode, answers, count=64):
    """`count` QSFP28 ports in `mode`; port i answers answers(i)[sub]."""
    ports = []
    for i in range(count):
        p = skorrel.Tomahawk100GPort(
            label=str(i + 1), serdes=[4 * i + l for l in range(4)], phy_types=None,
            phy_addrs=None, phy_layer="QSFP28", leds=(0, 4 * i), unit=0)
        p.set_leds = lambda mode, led_port, sub, leds, given=answers(i): given[sub]
        ports.append(configured(mode, p, 4 * i))
    return ports


def qsfp_chain():
    return chain("100G", lambda i: [{4 * i: ("link", LINK, 4 * i),
                                     4 * i + 1: ("speed", SPEED, 4 * i)}])


def breakout_chain(count=64):
    return chain("4x25G", lambda i: [{4 * i + sub: ("swp%ds%d" % (i + 1, sub), LINK, 4 * i + sub)}
                                     for sub in range(4)], count)


def interpreted_asm(self):
    """The program text as interpreted code gives it."""
    parts = dict(self.static_code)
    parts.update(self.static_id_func_code if self.has_phys_id else self.static_no_id_func_code)
    parts["set_functions"] = "".join(self.set_functions)
    parts["set_calls"] = "".join(self.set_calls)
    parts["defines"] = self.defines
    parts["led_functions"] = "".join(self.led_functions)
    return self._template % parts


def run_asm(read, rounds):
    c = LongChain()
    c.configure(0, breakout_chain(256))
    assert len(c.set_functions) == 1024
    times = []
    for r in range(rounds):
        start = time.time()
        read(c)
        times.append(time.time() - start)
    times.sort()
    return times[len(times) // 2] * 1e3, times[0] * 1e3


def run(ports, rounds):
    times = []
    for r in range(rounds):
        c = Chain()
        start = time.time()
        c.configure(0, ports)
        c.asm
        times.append(time.time() - start)
    times.sort()
    return times[len(times) // 2] * 1e3, times[0] * 1e3


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    for name, ports in (("64 ports x 4 slots", qsfp_chain()),
                        ("256 logical ports", breakout_chain()),
                        ("pads only", [])):
        median, best = run(ports, rounds)
        print "%-20s median %.3f ms  best %.3f ms" % (name, median, best)
    for name, read in (("asm, 1,024 routines", lambda c: c.asm),
                       ("interpreted asm", interpreted_asm)):
        median, best = run_asm(read, rounds)
        print "%-20s median %.3f ms  best %.3f ms" % (name, median, best)


if __name__ == "__main__":
    main()
