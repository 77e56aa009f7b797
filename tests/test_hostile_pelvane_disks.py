"""write_config against disks and administrators: a nearly full disk of
each kind (file systems made in images, mounted in a private mount
namespace), and changes made to the file by the administrator's tools while
the writer replaces it (the instants held open with strace)."""
import ctypes
import fcntl
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import helpers
from test_hostile_pelvane import HEADER, LIBC, OLD, WRITER


# A sweep of the free room on one kind of file system, run in a private
# mount namespace: for each k, write_config (ours) and open() with a write
# (theirs) each on a file system made afresh in an image and filled up to k
# free blocks, over a file of `old` bytes (-1: none) that may share its
# blocks with a reflinked copy.  Prints a line per trial: k, the side, the
# errno raised (0: none), what the file then holds (new, old, none, or
# mixed) and the other names left.  Where theirs wrote the text whole and
# ours did not, both are tried again, up to three times: how full a disk
# is at the limit differs from one moment to the next on some file systems
# (btrfs reclaims room in the background).
FULL_DISK = WRITER + r"""
import ctypes, errno, subprocess, sys
kind, mkfs, old_size, shared, where, ks = %r
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
    subprocess.check_call(["mount", "-o", "loop", image, disk])
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
        runs = []
        for old, shared in cases:
            where = tempfile.mkdtemp()
            self.addCleanup(shutil.rmtree, where)
            runs.append(helpers.start_in_namespace(
                FULL_DISK % ((kind, mkfs, old, shared, where, ks), FULL_DISK_TEXT)))
        failed_theirs = 0
        for (old, shared), run in zip(cases, runs):
            out, err = run.communicate()
            if "mount" in err and run.returncode:
                self.skipTest("loop devices cannot be mounted here: %s" % err.strip())
            self.assertEqual((run.returncode, err), (0, ""))
            kept, last = "none" if old < 0 else "old", {}
            for row in out.splitlines():
                k, side, errno_raised, held, names = row.split(" ", 4)
                case = (kind, old, shared, k)
                if side == "ours":
                    self.assertIn((errno_raised, held, names), [("0", "new", "[]"), ("28", kept, "[]")], case)
                last[k, side] = held
            self.assertEqual(sorted(set(k for k, _ in last)), sorted(str(k) for k in ks))
            for k in ks:
                ours, theirs = last[str(k), "ours"], last.get((str(k), "theirs"))
                self.assertTrue(ours == "new" or theirs != "new", (kind, old, shared, k))
                failed_theirs += theirs not in (None, "new")
        # The sweep reaches a disk too full for the text.
        self.assertTrue(failed_theirs)

    def test_btrfs(self):
        self.sweep("btrfs", [(-1, False), (16384, False), (122880, False), (122880, True)])

    def test_ext4(self):
        self.sweep("ext4", [(-1, False), (16384, False), (122880, False)])

    def test_xfs_with_a_reflinked_copy(self):
        self.sweep("xfs", [(16384, True), (122880, True)])

class LateChangesTest(unittest.TestCase):
    """A change made to the old file just before write_config's rename, and
    one made to the new file just after it, by the administrator's tools:
    for every pair of kinds, the file ends as one file given both changes
    would.  strace holds each instant open: it stops the writer (SIGSTOP)
    once it names its new file, and once it has renamed it; each change is
    made while the writer is stopped there."""

    # Each kind of change, as made to the old file and then to the new one.
    TO_OLD = {"chmod": ["chmod", "4755"], "chown": ["chown", "1234:1234"],
              "setfacl": ["setfacl", "-m", "u:4321:r"],
              "xattr": ["setfattr", "-n", "user.old", "-v", "1"], "chattr": ["chattr", "+A"]}
    TO_NEW = {"chmod": ["chmod", "600"], "chown": ["chgrp", "5678"],
              "setfacl": ["setfacl", "-m", "g:4322:w"], "xattr": ["setfattr", "-x", "user.kept"],
              "chattr": ["chattr", "+d"]}

    maxDiff = None

    def test_each_pair_of_changes_as_one_file_has_them(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")
        lacking = [tool for tool in ("strace", "setfacl", "setfattr", "chattr")
                   if not tool_path(tool)]
        if lacking:
            self.skipTest("needs %s" % ", ".join(lacking))
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)
        probe = self.start_file(os.path.join(self.tmp, "probe"))
        for change in list(self.TO_OLD.values()) + list(self.TO_NEW.values()):
            if subprocess.call(change + [probe], stderr=open(os.devnull, "w")) != 0:
                self.skipTest("%s does not work in %s" % (" ".join(change), self.tmp))
        # Every pair at once, each with the writer in a process of its own:
        # stage 0 waits for the stop once the new file is named, 1 for the
        # one after the rename, 2 for the end.  A stop met where nothing is
        # to be done (a SIGCONT that came before strace's SIGSTOP) is ended.
        pairs = [self.start_pair(old, new) for old in sorted(self.TO_OLD)
                 for new in sorted(self.TO_NEW)]
        for pair in pairs:
            pair["pid"] = int(pair["writer"].stdout.readline())
        deadline = time.time() + 120
        while time.time() < deadline and any(pair["writer"].poll() is None for pair in pairs):
            for pair in pairs:
                if pair["writer"].poll() is not None or not stopped(pair["pid"]):
                    continue
                renamed = os.stat(pair["out"]).st_ino != pair["was"]
                if pair["stage"] == 0 and not renamed and any(
                        name.startswith(".pelvane-") for name in os.listdir(pair["folder"])):
                    subprocess.check_call(self.TO_OLD[pair["old"]] + [pair["out"]])
                    pair["stage"] = 1
                elif pair["stage"] == 1 and renamed:
                    subprocess.check_call(self.TO_NEW[pair["new"]] + [pair["out"]])
                    pair["stage"] = 2
                os.kill(pair["pid"], signal.SIGCONT)
            time.sleep(0.001)
        got = [((pair["old"], pair["new"]), pair["writer"].wait(), pair["stage"],
                file_attributes(pair["twin"]), file_attributes(pair["out"])) for pair in pairs]
        self.assertEqual([row[:3] for row in got if row[1:3] != (0, 2)], [])
        self.assertEqual([row for row in got if row[3] != row[4]], [])

    def start_file(self, path):
        with open(path, "w") as f:
            f.write(OLD)
        os.chmod(path, 0o644)
        LIBC.setxattr(path, "user.kept", "1", 1, 0)
        return path

    def start_pair(self, old, new):
        """The writer started under strace on a file of its own, and the
        same file's twin given both changes in turn."""
        folder = os.path.join(self.tmp, "%s-%s" % (old, new))
        os.mkdir(folder)
        out, twin = self.start_file(os.path.join(folder, "ports.conf")), self.start_file(folder + ".one")
        for change in (self.TO_OLD[old], self.TO_NEW[new]):
            subprocess.check_call(change + [twin])
        env = dict(os.environ, PYTHONPATH=os.pathsep.join((helpers.MODULE_DIR, helpers.STANDINS)))
        preload = env.pop("LD_PRELOAD", None)  # For the writer alone, not strace.
        if "ASAN_OPTIONS" in env:  # The leak checker does not run under a tracer.
            env["ASAN_OPTIONS"] += ":detect_leaks=0"
        code = WRITER + "print os.getpid()\nsys.stdout.flush()\nc.write_config(%r)\n" % out
        writer = subprocess.Popen(
            ["strace", "-qq", "-o", os.devnull, "-e", "trace=linkat,renameat,renameat2",
             "-e", "inject=linkat,renameat,renameat2:signal=SIGSTOP"]
            + (["-E", "LD_PRELOAD=" + preload] if preload else [])
            + [sys.executable, "-c", "import sys\n" + code], env=env, stdout=subprocess.PIPE)
        return dict(old=old, new=new, folder=folder, out=out, twin=twin, writer=writer, stage=0,
                    was=os.stat(out).st_ino)


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
