"""Port model benchmark: skorrel against an interpreted rendering of itself.

    PYTHONPATH=build/python:tests/standins python2.7 bench/bench_skorrel.py

Timed, each as the best of many rounds, for skorrel and for the plain Python
rendering in ref_skorrel.py:

- build + queries: 128 TomahawkTwo 100G ports built by keyword, then for
  every port in "4x25G" and "100G" and every sub-port: num_logical_ports,
  speed, hw_port_num, logical_port_num (sub-ports 2 and 3 of a port split
  four ways ask the port with the next label, found on the platform),
  hw_intf, the receive and transmit logical polarity flips and
  serdes_if_type;
- a failed mode check: NoSuchMode raised by a port's _check_mode, and its
  text read;
- the import, in a fresh interpreter each time, the two taking turns: the
  rendering imported from its compiled bytecode, a .pyc written beforehand
  into a directory of its own and the only ref_skorrel there is; the best
  and the median of the rounds.  The standard library's json takes its turn
  in the same rounds: a baseline from the same interpreter on the same
  machine at the same moment, against which the import's figure holds where
  absolute times swing with the machine's load.
"""

import os
import py_compile
import shutil
import subprocess
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

NPORTS = 128
LANES_PER_UNIT = 256
MODES = (("4x25G", 4), ("100G", 1))


class Switch(object):
    pass


class Platform(object):
    pass


def build(module):
    cls = module.TomahawkTwo100GPort
    ports = []
    for i in range(NPORTS):
        unit, first = divmod(4 * i, LANES_PER_UNIT)
        ports.append(cls(label=str(i + 1), adj_label=None,
                         serdes=[first + lane for lane in range(4)], phy_types=None,
                         phy_addrs=None, phy_layer="QSFP28", leds=(0, i), unit=unit,
                         rx_polarity_flip=i & 0xf, tx_polarity_flip=(i >> 2) & 0xf))
    return ports


def queries(ports):
    answers = []
    add = answers.append
    last = len(ports) - 1
    for n, port in enumerate(ports):
        for mode, subs in MODES:
            for sub in range(subs):
                add(port.num_logical_ports(mode))
                speed = port.speed(mode)
                add(speed)
                add(port.hw_port_num(mode, sub))
                if sub < 2 or n < last:
                    add(port.logical_port_num(mode, sub, 1))
                add(port.hw_intf(mode, sub))
                add(port.rx_logical_polarity_flip(mode, sub))
                add(port.tx_logical_polarity_flip(mode, sub))
                add(port.serdes_if_type(speed))
    return answers


def best(f, seconds=0.5, least=20):
    once = min(timeit.repeat(f, number=1, repeat=3))
    return min(timeit.repeat(f, number=1, repeat=max(least, int(seconds / once))))


def per_call(f, number=20000):
    return min(timeit.repeat(f, number=number, repeat=7)) / number


def time_module(module):
    import quorvel.platforms
    platform = Platform()
    platform.switch = Switch()
    quorvel.platforms.platform = platform
    state = {}

    def whole():
        platform.switch.ports = ports = build(module)
        state["answers"] = queries(ports)

    whole()
    answers = state["answers"]
    port = platform.switch.ports[0]
    no_such_mode = module.NoSuchMode

    def failed_check():
        try:
            port._check_mode("1x")
        except no_such_mode as e:
            str(e)

    t_whole = best(whole)
    t_build = best(lambda: build(module))
    t_fail = per_call(failed_check)
    return answers, t_whole, t_build, t_fail


def import_times(names, path, rounds=200):
    """{name: sorted import times}, each import in a fresh interpreter with
    `path` first on its module path, the names taking turns; with the file
    each was imported from."""
    code = ("import time, sys\nt = time.time()\nimport %s as m\n"
            "sys.stdout.write(repr((time.time() - t, m.__file__)))\n")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([path] + sys.path[1:])
    times = dict((name, []) for name in names)
    files = {}
    for _ in range(rounds):
        for name in names:
            out = subprocess.check_output([sys.executable, "-c", code % name], env=env)
            t, files[name] = eval(out)
            times[name].append(t)
    for t in times.values():
        t.sort()
    return times, files


def compiled_rendering():
    """A fresh directory holding ref_skorrel.pyc alone, compiled from the
    rendering beside this file."""
    where = tempfile.mkdtemp(prefix="bench_skorrel.")
    py_compile.compile(os.path.join(HERE, "ref_skorrel.py"),
                       os.path.join(where, "ref_skorrel.pyc"), doraise=True)
    return where


def main():
    import skorrel
    import ref_skorrel
    answers, c_whole, c_build, c_fail = time_module(skorrel)
    ref_answers, r_whole, r_build, r_fail = time_module(ref_skorrel)
    assert answers == ref_answers, "the two renderings answer differently"
    where = compiled_rendering()
    try:
        times, files = import_times(("skorrel", "ref_skorrel", "json"), where)
    finally:
        shutil.rmtree(where)
    assert files["ref_skorrel"] == os.path.join(where, "ref_skorrel.pyc"), files
    c_imports, r_imports = times["skorrel"], times["ref_skorrel"]
    c_import, r_import = c_imports[0], r_imports[0]
    print("%u TomahawkTwo 100G ports, %u answers:" % (NPORTS, len(answers)))
    print("                      skorrel   interpreted   ratio")
    rows = (("build + queries", c_whole, r_whole, 1e3, "ms"),
            ("  of which build", c_build, r_build, 1e3, "ms"),
            ("failed mode check", c_fail, r_fail, 1e6, "us"),
            ("import", c_import, r_import, 1e3, "ms"))
    for name, c, r, scale, unit in rows:
        print("  %-17s %8.3f %s %9.3f %s  %6.2fx" % (name, c * scale, unit, r * scale, unit,
                                                    r / c))
    print("  %-17s %8.3f ms %9.3f ms   (median of %u rounds)"
          % ("", c_imports[len(c_imports) // 2] * 1e3, r_imports[len(r_imports) // 2] * 1e3,
             len(c_imports)))
    j_imports = times["json"]
    j_import, j_median = j_imports[0], j_imports[len(j_imports) // 2]
    c_median = c_imports[len(c_imports) // 2]
    print("  %-17s %8.3f ms best, %.3f ms median; skorrel's import %.2fx its best, "
          "%.2fx its median" % ("import json", j_import * 1e3, j_median * 1e3,
                                c_import / j_import, c_median / j_median))
    return 0


if __name__ == "__main__":
    sys.exit(main())
