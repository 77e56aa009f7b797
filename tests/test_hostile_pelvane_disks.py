"""write_config against disks and administrators: a nearly full disk of
each kind (file systems made in images), and changes made to the file by the
administrator's tools while the writer replaces it (the instants held open
with strace).  Each runs in a PID namespace and a private mount namespace,
its files on a tmpfs mounted there: killed or timed out, the test leaves no
process, image or file behind."""
import ast
import ctypes
import fcntl
import os
import signal
import struct
import subprocess
import sys
import time
import unittest

import helpers
from test_hostile_pelvane import HEADER, LIBC, OLD, WRITER

HERE = os.path.dirname(os.path.abspath(__file__))
# The namespaces of each run: its processes all end with its first one,
# which ends with the test (helpers.start_in_namespace); the scratch tmpfs
# ends with the mount namespace.
NAMESPACES = "--mount-proc --pid --kill-child"
SCRATCH = "/dev/shm"
MOUNT_SCRATCH = "mount -t tmpfs -o mode=0700 scratch " + SCRATCH


# A sweep of the free room on one kind of file system: for each k, write_config (ours) and open() with a write
# (theirs) each on a file system made afresh in an image and filled up to k
# free blocks and mounted with `options`, over a file of `old` bytes (-1:
# none) that may share its blocks with a reflinked copy.  Prints a line per trial: k, the side, the
# errno raised (0: none), what the file then holds (new, old, none, or
# mixed) and the other names left.  Where theirs wrote the text whole and
# ours did not, both are tried again, up to three times: how full a disk
# is at the limit differs from one moment to the next on some file systems
# (btrfs reclaims room in the background).
FULL_DISK = WRITER + r"""
import ctypes, errno, subprocess, sys
kind, mkfs, old_size, shared, options, where, ks = %r
size = {"btrfs": "128M", "ext4": "64M", "xfs": "300M"}[kind]
c.config_map = dict((str(i), "4x10G" * 6) for i in range(1, 1800))
new = %r
old = None if old_size < 0 else "".join(chr(65 + i %% 26) for i in range(old_size))
image, disk = os.path.join(where, "image"), os.path.join(where, "disk")
out, filler = os.path.join(disk, "ports.conf"), os.path.join(disk, "filler")
os.mkdir(disk)
quiet = open(os.devnull, "w")
libc = ctypes.CDLL(None, use_errno=True)
libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_long, ctypes.c_long]

def fill(k):
    # What a file may still take, reserved and then written in ever smaller
    # pieces; then k blocks given back.
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
    chunk = 1 << 30
    while chunk >= 4096:
        if libc.fallocate(fd, 0, os.fstat(fd).st_size, chunk) != 0: chunk //= 2
    os.lseek(fd, 0, os.SEEK_END)
    chunk, failed = 1 << 20, False
    while chunk >= 4096:
        try:
            if os.write(fd, "z" * chunk) < chunk: chunk //= 2
            failed = False
        except OSError as e:
            assert e.errno == errno.ENOSPC, e
            if failed: chunk //= 2
            else: os.fsync(fd)
            failed = not failed
    os.ftruncate(fd, max(0, os.fstat(fd).st_size - k * 4096))
    os.close(fd)
    os.system("sync")

def ours():
    c.write_config(out)

def theirs():
    f = open(out, "w")
    try: f.write(new)
    finally: f.close()

def trial(k, side, write):
    if os.path.exists(image): os.unlink(image)
    subprocess.check_call(["truncate", "-s", size, image])
    subprocess.check_call([mkfs, "-q", image], stdout=quiet, stderr=quiet)
    subprocess.check_call(["mount", "-o", "loop" + options, image, disk])
    if old is not None:
        open(out, "w").write(old)
        if shared: subprocess.check_call(["cp", "--reflink=always", out, out + ".copy"])
    fill(k)
    err = 0
    try: write()
    except IOError as e: err = e.errno
    sys.exc_clear()
    text = open(out).read() if os.path.exists(out) else None
    held = {new: "new", old: "old", None: "none"}.get(text, "mixed")
    names = set(os.listdir(disk)) - set(["lost+found", "filler", "ports.conf", "ports.conf.copy"])
    print k, side, err, held, sorted(names)
    subprocess.check_call(["umount", disk])
    return held

for k in ks:
    for attempt in range(4):
        if trial(k, "ours", ours) == "new" or trial(k, "theirs", theirs) != "new": break
"""
FULL_DISK_TEXT = HEADER + "".join("%d=%s\n" % (i, "4x10G" * 6) for i in range(1, 1800))


class FullDiskTest(unittest.TestCase):
    """write_config on a nearly full disk, for every amount of free room
    around the text's length (about 64 KB), over a missing file, a shorter
    old text and a longer one: the new text whole wherever open() and a
    write put it whole, else IOError with the old text whole (a missing
    file not made); never a mix of the two, and no other name left."""

    def sweep(self, kind, cases):
        if os.geteuid() != 0:
            self.skipTest("needs root")
        mkfs = tool_path("mkfs." + kind)
        if not mkfs or not os.path.exists("/dev/loop-control"):
            self.skipTest("needs %s" % ("loop devices" if mkfs else "mkfs." + kind))
        ks = range(0, 37, 6)
        runs = [helpers.start_in_namespace(
            FULL_DISK % ((kind, mkfs, old, shared, options, SCRATCH, ks), FULL_DISK_TEXT),
            NAMESPACES, MOUNT_SCRATCH) for old, shared, options in cases]
        failed_theirs = 0
        for (old, shared, options), run in zip(cases, runs):
            out, err = run.communicate()
            if "mount" in err and run.returncode:
                self.skipTest("loop devices cannot be mounted here: %s" % err.strip())
            self.assertEqual((run.returncode, err), (0, ""))
            kept, last = "none" if old < 0 else "old", {}
            for row in out.splitlines():
                k, side, errno_raised, held, names = row.split(" ", 4)
                case = (kind, old, shared, options, k)
                if side == "ours":
                    self.assertIn((errno_raised, held, names), [("0", "new", "[]"), ("28", kept, "[]")], case)
                last[k, side] = held
            self.assertEqual(sorted(set(k for k, _ in last)), sorted(str(k) for k in ks))
            for k in ks:
                ours, theirs = last[str(k), "ours"], last.get((str(k), "theirs"))
                self.assertTrue(ours == "new" or theirs != "new", (kind, old, shared, options, k))
                failed_theirs += theirs not in (None, "new")
        # The sweep reaches a disk too full for the text.
        self.assertTrue(failed_theirs)

    def test_btrfs(self):
        self.sweep("btrfs", [(-1, False, ""), (16384, False, ""), (122880, False, ""),
                             (122880, True, ""), (16384, False, ",compress=zstd"),
                             (122880, False, ",compress=zstd")])

    def test_ext4(self):
        self.sweep("ext4", [(-1, False, ""), (16384, False, ""), (122880, False, "")])

    def test_xfs(self):
        self.sweep("xfs", [(16384, True, ""), (122880, True, ""), (122880, False, "")])


# The change each kind of tool makes to the old file (before the writer's
# last look, by its name; or after the rename, through a descriptor held on
# it) and to the new file once it is in place.
TO_OLD = {"chmod": ["chmod", "4755"], "chown": ["chown", "1234:1234"],
          "setfacl": ["setfacl", "-m", "u:4321:r"],
          "xattr": ["setfattr", "-n", "user.old", "-v", "1"], "chattr": ["chattr", "+A"]}
TO_NEW = {"chmod": ["chmod", "600"], "chown": ["chgrp", "5678"],
          "setfacl": ["setfacl", "-m", "g:4322:w"], "xattr": ["setfattr", "-x", "user.kept"],
          "chattr": ["chattr", "+d"]}
FS_IOC_GETFLAGS, FS_IOC_SETFLAGS, FS_NOATIME_FL = 0x80086601, 0x40086602, 0x80
NOBODY = 65534


def change_through(fd, kind):
    """Makes TO_OLD[kind] through the descriptor `fd` (chattr refuses the
    descriptor's path in /proc: its flag is set here)."""
    if kind != "chattr":
        subprocess.check_call(TO_OLD[kind] + ["/proc/self/fd/%d" % fd])
        return
    flags = struct.unpack("i", fcntl.ioctl(fd, FS_IOC_GETFLAGS, "\0" * 4))[0]
    fcntl.ioctl(fd, FS_IOC_SETFLAGS, struct.pack("i", flags | FS_NOATIME_FL))


def fchmod_as_nobody(fd, mode):
    """fchmod(fd, mode) in a process of the user nobody."""
    pid = os.fork()
    if pid == 0:
        try:
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            os.fchmod(fd, mode)
            os._exit(0)
        except BaseException:
            os._exit(1)
    assert os.waitpid(pid, 0)[1] == 0, "nobody's fchmod failed"


def change_cases():
    """(name, the writer's stop, the old file's owner, the changes made
    there, given the file's path and a descriptor held on the old file)."""
    def by_path(change):
        return lambda out, held: subprocess.check_call(change + [out])

    def both(kind):
        def change(out, held):
            subprocess.check_call(TO_NEW[kind] + [out])
            change_through(held, kind)
        return change

    def administrator_then_former_owner(out, held):
        subprocess.check_call(["chown", "0:0", out])
        fchmod_as_nobody(held, 0o666)

    return ([(kind + " before the last look", "named", 0, by_path(TO_OLD[kind]))
             for kind in sorted(TO_OLD)]
            + [(kind + " on both after the rename", "renamed", 0, both(kind))
               for kind in sorted(TO_OLD)]
            + [("chown, then the former owner's fchmod", "renamed", NOBODY,
                administrator_then_former_owner)])


def start_file(path, owner):
    with open(path, "w") as f:
        f.write(OLD)
    os.chown(path, owner, owner)
    os.chmod(path, 0o644)
    LIBC.setxattr(path, "user.kept", "1", 1, 0)
    return path


def run_changes(folder):
    """Runs write_config once per case, each writer under strace, which
    stops it (SIGSTOP) once it has named its new file and once it has
    renamed it; each case's changes are made while its writer is stopped
    where the case says, and what the file then has is read.  A stop met
    where nothing is to be done (a SIGCONT that came before strace's
    SIGSTOP) is ended.  Prints, as a Python literal, a row per case: its
    name, the writer's status, whether the changes were made, what the file
    had once they were, and what it has at the end.  Prints "skip: ..."
    where a tool cannot change a file in `folder`."""
    probe = start_file(os.path.join(folder, "probe"), 0)
    held = os.open(probe, os.O_RDONLY)
    try:
        for change in list(TO_OLD.values()) + list(TO_NEW.values()):
            if subprocess.call(change + [probe], stderr=open(os.devnull, "w")) != 0:
                print "skip: %s does not work in %s" % (" ".join(change), folder)
                return
        for kind in TO_OLD:
            change_through(held, kind)
    finally:
        os.close(held)
    runs = []
    for name, stop, owner, change in change_cases():
        place = os.path.join(folder, str(len(runs)))
        os.mkdir(place)
        out = start_file(os.path.join(place, "ports.conf"), owner)
        runs.append(dict(name=name, stop=stop, change=change, place=place, out=out,
                         held=os.open(out, os.O_RDONLY), was=os.stat(out).st_ino,
                         writer=start_writer(out), done=False, had=None))
    for run in runs:
        run["pid"] = int(run["writer"].stdout.readline())
    deadline = time.time() + 120
    while time.time() < deadline and any(run["writer"].poll() is None for run in runs):
        for run in runs:
            if run["writer"].poll() is not None or not stopped(run["pid"]):
                continue
            renamed = os.stat(run["out"]).st_ino != run["was"]
            named = any(name.startswith(".pelvane-") for name in os.listdir(run["place"]))
            if not run["done"] and (renamed if run["stop"] == "renamed" else named and not renamed):
                run["change"](run["out"], run["held"])
                run["had"], run["done"] = file_attributes(run["out"]), True
            os.kill(run["pid"], signal.SIGCONT)
        time.sleep(0.001)
    print repr([(run["name"], run["writer"].wait(), run["done"], run["had"],
                 file_attributes(run["out"])) for run in runs])


def start_writer(out):
    """write_config(out) in a fresh interpreter under strace, which stops
    it after each linkat and rename; it prints its process number first."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join((helpers.MODULE_DIR, helpers.STANDINS)))
    preload = env.pop("LD_PRELOAD", None)  # For the writer alone, not strace.
    if "ASAN_OPTIONS" in env:  # The leak checker does not run under a tracer.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    code = WRITER + "print os.getpid()\nsys.stdout.flush()\nc.write_config(%r)\n" % out
    return subprocess.Popen(
        ["strace", "-qq", "-o", os.devnull, "-e", "trace=linkat,renameat,renameat2",
         "-e", "inject=linkat,renameat,renameat2:signal=SIGSTOP"]
        + (["-E", "LD_PRELOAD=" + preload] if preload else [])
        + [sys.executable, "-c", "import sys\n" + code], env=env, stdout=subprocess.PIPE)


class ChangesAroundRenameTest(unittest.TestCase):
    """What the administrator's tools change while write_config replaces
    the file: a change made to the old file before the writer's last look
    is on the new file; once the new file is renamed into place, it is not
    touched: a change made to it stands exactly, and one made to the old
    file (through a descriptor held on it) never reaches it, nor does the
    former owner's fchmod after an administrator's chown.  strace holds
    each instant open; the writers run in a PID namespace, their files on a
    tmpfs of its own, so that nothing outlives the test."""

    maxDiff = None

    def test_changes_before_the_last_look_are_kept_and_none_after_the_rename(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")
        lacking = [tool for tool in ("strace", "setfacl", "setfattr", "chattr")
                   if not tool_path(tool)]
        if lacking:
            self.skipTest("needs %s" % ", ".join(lacking))
        code = "import sys\nsys.path.insert(0, %r)\nimport %s as t\nt.run_changes(%r)\n" % (
            HERE, __name__.split(".")[-1], SCRATCH)
        run = helpers.start_in_namespace(code, NAMESPACES, MOUNT_SCRATCH)
        out, err = run.communicate()
        self.assertEqual((run.returncode, err), (0, ""))
        if out.startswith("skip: "):
            self.skipTest(out[6:].strip())
        rows = ast.literal_eval(out)
        self.assertEqual(len(rows), len(change_cases()))
        self.assertEqual([row[:3] for row in rows if row[1:3] != (0, True)], [])
        self.assertEqual([row for row in rows if row[3] != row[4]], [])


def tool_path(name):
    """Where the program `name` is, on the search path or in the system's
    own folders (which an administrator's path has); None where it is
    not."""
    from distutils.spawn import find_executable
    return find_executable(name, os.pathsep.join((os.environ.get("PATH", ""), "/usr/sbin", "/sbin")))


def stopped(pid):
    """Whether the process is stopped (by a signal, or by its tracer); not
    where it has ended."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] in "tT"
    except IOError:
        return False


def file_attributes(path):
    """The mode, owner, group, extended attributes and inode flags of a file."""
    st = os.stat(path)
    names, value, xattrs = ctypes.create_string_buffer(4096), ctypes.create_string_buffer(4096), {}
    size = LIBC.listxattr(path, names, 4096)
    for name in names.raw[:size].split("\0")[:-1]:
        size = LIBC.getxattr(path, name, value, 4096)
        xattrs[name] = value.raw[:size]
    fd = os.open(path, os.O_RDONLY)
    try:
        flags = struct.unpack("i", fcntl.ioctl(fd, 0x80086601, "\0" * 4))[0]
    finally:
        os.close(fd)
    return oct(st.st_mode & 0o7777), st.st_uid, st.st_gid, xattrs, hex(flags)


if __name__ == "__main__":
    unittest.main()
