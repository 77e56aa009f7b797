"""write_config benchmark: one ports.conf written again and again.

    PYTHONPATH=build/python:tests/standins python2.7 bench/bench_write.py [DIR ...]

In each directory (default /dev/shm, a tmpfs, then the system's temporary
directory), a map of 128 ports is written over the same file: replaced, as an
ordinary file is, and written in place, as a file with a second link is.
Each is the best of 5 rounds of 300 calls, per call; the directory keeps a
few hundred other names, as /etc does.  Then, once, the file is replaced
while another process holds 100,000 POSIX locks on files of its own, all
listed in /proc/locks: the best of 3 rounds of 3 calls.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import timeit


def config_of_128_ports():
    import pelvane
    import skorrel

    platform = skorrel.Platform()
    platform.switch = skorrel.BCMSwitch(skorrel.BCMChip())
    config = pelvane.Config(platform, dummy=True)
    config.config_map = dict((str(label), "4x25G") for label in range(1, 129))
    return config


def bench(where):
    config = config_of_128_ports()
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


def bench_beside_locks(where, count=100000):
    config = config_of_128_ports()
    folder = tempfile.mkdtemp(dir=where)
    # 1,000 locks on each of count / 1,000 files (each lock taken is checked
    # against all of its file's), one byte in every two, so that no two
    # merge.
    holder = subprocess.Popen(
        [sys.executable, "-c",
         "import fcntl, os, sys\n"
         "files = [open(os.path.join(sys.argv[1], 'db%d' % i), 'w')\n"
         "         for i in range(int(sys.argv[2]) // 1000)]\n"
         "for f in files:\n"
         "    for at in range(0, 2000, 2): fcntl.lockf(f, fcntl.LOCK_EX, 1, at)\n"
         "print('held'); sys.stdout.flush(); sys.stdin.read()\n",
         folder, str(count)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        if holder.stdout.readline() != b"held\n":
            raise SystemExit("bench_write.py: the lock holder failed")
        path = os.path.join(folder, "ports.conf")
        best = min(timeit.repeat(lambda: config.write_config(path), number=3, repeat=3))
        print("%-12s replaced beside %d locks %.2f ms" % (where, count, best / 3 * 1e3))
    finally:
        holder.stdin.close()
        holder.wait()
        shutil.rmtree(folder)


def main(argv):
    wheres = argv[1:] or ["/dev/shm", tempfile.gettempdir()]
    for where in wheres:
        bench(where)
    bench_beside_locks(wheres[0])


if __name__ == "__main__":
    main(sys.argv)
