"""write_config benchmark: one ports.conf written again and again.

    PYTHONPATH=build/python:tests/standins python2.7 bench/bench_write.py [DIR ...]

In each directory (default /dev/shm, a tmpfs, then the system's temporary
directory), a map of 128 ports is written over the same file: replaced, as an
ordinary file is, and written in place, as a file with a second link is.
Each is the best of 5 rounds of 300 calls, per call; the directory keeps a
few hundred other names, as /etc does.
"""

import os
import shutil
import sys
import tempfile
import timeit


def bench(where):
    import pelvane
    import skorrel

    platform = skorrel.Platform()
    platform.switch = skorrel.BCMSwitch(skorrel.BCMChip())
    config = pelvane.Config(platform, dummy=True)
    config.config_map = dict((str(label), "4x25G") for label in range(1, 129))
    folder = tempfile.mkdtemp(dir=where)
    try:
        for i in range(300):
            open(os.path.join(folder, "other%03d" % i), "w").close()
        path = os.path.join(folder, "ports.conf")
        results = []
        for name in ("replaced", "in place"):
            if name == "in place":
                os.link(path, os.path.join(folder, "link"))
            calls = 300
            best = min(timeit.repeat(lambda: config.write_config(path), number=calls, repeat=5))
            results.append("%s %.1f us" % (name, best / calls * 1e6))
        print("%-12s %s" % (where, ", ".join(results)))
    finally:
        shutil.rmtree(folder)


def main(argv):
    for where in argv[1:] or ["/dev/shm", tempfile.gettempdir()]:
        bench(where)


if __name__ == "__main__":
    main(sys.argv)
