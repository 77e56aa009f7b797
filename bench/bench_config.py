"""Port configuration benchmark: a whole BCMConfig run on a generated switch.

    PYTHONPATH=build/python:tests/standins python2.7 bench/bench_config.py [PORTS ...]

Each size (logical ports, default 128 512 1024) runs in a process of its own.
The switch is made of Tomahawk 100G ports, 32 to a chip unit (so 1,024
logical ports take eight units), every one configured "4x25G", with receive
and transmit polarity, lane maps, pre-emphasis and driver currents set, and
two LED controllers: the first half of the ports on controller 0, the rest on
controller 1, each logical port claiming its LED slot with the one link
routine, called with the port's number.

Timed, each as the best of many rounds: the constructor in dummy mode,
`config` with the ports.conf text, every output key, every "rcports_<unit>"
key, and `led_asm`; and the whole of it, one round after the other.
Targets: under 2 ms at 128 logical ports, under 8 ms at 512, and doubling the
ports at most doubles the time.
"""

import gc
import os
import subprocess
import sys
import timeit

PORTS_PER_UNIT = 32
KEYS = ("portsbcm", "quillet", "linkdefaults", "phytab", "rcled", "rcphy", "ethertab",
        "ucodebcm", "sfptab", "hwdesc", "uft", "riot", "datapath", "sdk", "rcforwarding")

LED_CODE = "set_led:\n        port    a\n        pushst  LINKUP\n        tinv\n        ret\n"


def build(logical_ports):
    """A platform of logical_ports / 4 Tomahawk 100G ports split four ways."""
    import glimmet
    import skorrel

    class BenchPort(skorrel.Tomahawk100GPort):
        """Claims one LED slot per logical port, running the link routine."""

        def set_leds(self, mode, led_port, sub, led_index_list):
            return {led_index_list[0] + sub: ("link", LED_CODE, led_port)}

    nports = logical_ports // 4
    half = (nports + 1) // 2

    class BenchLEDController(glimmet.TomahawkLEDController):
        num_leds = 4 * half

    class BenchSwitch(skorrel.BCMSwitch):
        led_controllers = (0, 1)

    ports = []
    for i in range(nports):
        unit, k = divmod(i, PORTS_PER_UNIT)
        ctrl, slot = divmod(i, half)
        ports.append(BenchPort(
            label=str(i + 1), serdes=[4 * k + lane for lane in range(4)], phy_types=None,
            phy_addrs=None, phy_layer="QSFP28", leds=(ctrl, 4 * slot), unit=unit,
            rx_lane_map=0x3210 ^ (i & 0x3), rx_polarity_flip=i & 0xf,
            tx_lane_map=0x1032, tx_polarity_flip=(i >> 2) & 0xf,
            pre_emphasis=[0x508000 + i, 0x508001, 0x508002, 0x508003],
            drv_current=[8, 9, 10, 11], pre_drv_current=[2, 3, 4, 5]))
    switch = BenchSwitch(skorrel.TomahawkChip())
    switch.ports = ports
    switch.glimmet = BenchLEDController
    platform = skorrel.Platform()
    platform.switch = switch
    platform.name = "bench-%u" % logical_ports
    text = "".join("%u=4x25G\n" % (i + 1) for i in range(nports))
    units = (nports + PORTS_PER_UNIT - 1) // PORTS_PER_UNIT
    return platform, text, units


class NoSyslog(object):
    """The MAC shortage of a big switch is reported here, not to the host."""

    LOG_ERR = 3

    def __init__(self):
        self.lines = []

    def syslog(self, *args):
        self.lines.append(args)


def run_one(logical_ports):
    import quorvel.platforms
    import pelvane

    os.environ.pop("BRINDLET_USE_TUNTAP", None)
    pelvane.syslog = NoSyslog()
    platform, text, units = build(logical_ports)
    quorvel.platforms.platform = platform
    rcports = ["rcports_%u" % u for u in range(units)]
    state = {}

    def construct():
        state["c"] = pelvane.BCMConfig(platform, dummy=True)

    def config():
        state["c"].config(text)

    def outputs():
        c = state["c"]
        for key in KEYS:
            c.output(key)

    def scripts():
        c = state["c"]
        for key in rcports:
            c.output(key)

    def led_asm():
        state["c"].led_asm

    stages = [("constructor", construct), ("config", config), ("output keys", outputs),
              ("rcports_<unit>", scripts), ("led_asm", led_asm)]

    def whole():
        for _, f in stages:
            f()

    # A first round, checked, before any time counts.
    whole()
    c = state["c"]
    sizes = dict((key, len(c.output(key) or "")) for key in KEYS + tuple(rcports))
    assert sum(p.num_logical_ports for p in c.ports) == logical_ports
    assert sizes["portsbcm"] and all(sizes[k] for k in rcports), sizes
    assert sorted(c.led_asm) == [0, 1]

    # Rounds enough for about half a second of the whole, and at least 30.
    t = min(timeit.repeat(whole, number=1, repeat=3))
    rounds = max(30, int(0.5 / t))
    gc.collect()
    results = []
    for name, f in stages:
        best = []
        for _ in range(rounds):
            # Every stage works on the state that the stages before it made.
            for other, g in stages:
                if other == name:
                    break
                g()
            best.append(timeit.timeit(f, number=1))
        results.append((name, min(best)))
    total = min(timeit.repeat(whole, number=1, repeat=rounds))
    print("%5u logical ports (%u units, %u rounds):" % (logical_ports, units, rounds))
    for name, secs in results:
        print("    %-16s %8.3f ms" % (name, secs * 1e3))
    print("    %-16s %8.3f ms" % ("whole run", total * 1e3))
    print("    output: %u bytes of portsbcm, %u of quillet, %u of rcports_0" % (
        sizes["portsbcm"], sizes["quillet"], sizes[rcports[0]]))
    sys.stdout.flush()
    return total


def main(argv):
    if len(argv) > 2 and argv[1] == "--one":
        run_one(int(argv[2]))
        return 0
    sizes = [int(a) for a in argv[1:]] or [128, 512, 1024]
    for n in sizes:
        if n % 4:
            sys.exit("the number of logical ports must be a multiple of 4: %u" % n)
    for n in sizes:
        rc = subprocess.call([sys.executable, os.path.abspath(__file__), "--one", str(n)])
        if rc:
            return rc
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
