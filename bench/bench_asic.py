"""Times murchet.Asic() on a large generated chip, at half, full and double size.

    PYTHONPATH=build/python:tests/standins python2.7 bench/bench_asic.py [--mem-table]

Each size runs in a fresh interpreter that holds only the shell's answers,
made beforehand by another one, when the constructor starts.  Reported per
size: the constructor's CPU time in the first run (fresh memory) and the best
of five, its wall time (best), the process's memory before the first run
(interpreter, modules and the answers), its peak after that run, and the
difference: what the constructor took at most.
"""

import gc
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

SCALES = (0.5, 1.0, 2.0)
RUNS = 5


def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / (1024.0 * 1024.0)


from gen_chip import peak_mb  # noqa: E402


def make(scale, mem_table, path):
    import gen_chip
    gen_chip.save(gen_chip.make_chip(scale, mem_table=mem_table), path)


def child(scale, mem_table, path):
    import gen_chip
    gen_chip.install(gen_chip.load(path))
    from quorvel import dornick, quillet
    quillet.asked = dornick.asked = None  # the stand-ins keep no call record here
    import murchet
    gc.collect()
    before = rss_mb()
    times = []
    for run in range(RUNS):
        c0, w0 = cpu(), time.time()
        asic = murchet.Asic(mem_table)
        c1, w1 = cpu(), time.time()
        times.append((c1 - c0, w1 - w0))
        if run == 0:
            after = peak_mb()
            counts = dict(ports=len(asic.portmap), l3_intfs=len(asic.l3_intfs),
                          xlates=len(asic.vlan_xlate), groups=len(asic.replication_groups),
                          members=sum(len(g.l2_encaps) + len(g.l3_encaps)
                                      for g in asic.replication_groups.values()),
                          routes=len(asic.mroutes), vlans=len(asic.vlans))
        del asic
        gc.collect()
    best = min(times)
    json.dump(dict(scale=scale, cpu=best[0], wall=best[1], first_cpu=times[0][0],
                   before=before, peak=after, growth=after - before, counts=counts), sys.stdout)


def main():
    mem_table = "--mem-table" in sys.argv
    for step in (make, child):
        flag = "--" + step.__name__
        if flag in sys.argv:
            at = sys.argv.index(flag)
            step(float(sys.argv[at + 1]), mem_table, sys.argv[at + 2])
            return
    results = []
    fd, path = tempfile.mkstemp(suffix=".chip")
    os.close(fd)
    try:
        for scale in SCALES:
            for step in ("--make", "--child"):
                args = [sys.executable, os.path.abspath(__file__), step, str(scale), path]
                if mem_table:
                    args.append("--mem-table")
                out = subprocess.check_output(args)
            results.append(json.loads(out))
    finally:
        os.remove(path)
    print("Asic(%s) constructor, routes from %s" % (
        mem_table, "the memory dump" if mem_table else "ipmc table show"))
    print("%6s %6s %7s %8s %8s %8s %8s %8s %10s %8s %10s" % (
        "scale", "ports", "routes", "groups", "members", "cpu 1st", "cpu best", "wall",
        "before MB", "peak MB", "growth MB"))
    for r in results:
        c = r["counts"]
        print("%6.1f %6d %7d %8d %8d %8.3f %8.3f %8.3f %10.1f %8.1f %10.1f" % (
            r["scale"], c["ports"], c["routes"], c["groups"], c["members"], r["first_cpu"],
            r["cpu"], r["wall"], r["before"], r["peak"], r["growth"]))
    base = [r for r in results if r["scale"] == 1.0][0]
    double = [r for r in results if r["scale"] == 2.0][0]
    print("double / full size: cpu x%.2f (first run x%.2f)" % (
        double["cpu"] / base["cpu"], double["first_cpu"] / base["first_cpu"]))


if __name__ == "__main__":
    main()
