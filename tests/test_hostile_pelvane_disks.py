"""write_config against disks and administrators: a nearly full disk of
each kind (file systems made in images), and changes made to the file by the
administrator's tools while the writer replaces it (the instants held open
with strace).  Each runs in a PID namespace and a private mount namespace,
its files on a tmpfs mounted there: killed or timed out, the test leaves no
process, image or file behind."""
import ast
import ctypes
import errno
import fcntl
import os
import signal
import struct
import subprocess
import sys
import time
import unittest

import helpers
from test_hostile_pelvane import HEADER, LIBC, NEW, OLD, WRITER

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
# none) that may share its blocks with a reflinked copy (`shared`: "+C",
# both files nodatacow).  Prints a line per trial: k, the side, the
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
        # A nodatacow file ("+C") shares blocks only with another such file.
        for name in [out, out + ".copy"] if shared == "+C" else []:
            open(name, "w").close()
            subprocess.check_call(["chattr", "+C", name])
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
        if any(shared == "+C" for _, shared, _ in cases) and not tool_path("chattr"):
            self.skipTest("needs chattr")
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
                             (122880, True, ""), (122880, "+C", ""),
                             (16384, False, ",compress=zstd"), (122880, False, ",compress=zstd")])

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
# The file systems the changes are made on, beside the scratch tmpfs: each
# made in an image of this size there.
IMAGES = {"ext4": "16M", "xfs": "300M", "btrfs": "128M"}
# What makes a writer see a file system without unnamed files.
NO_UNNAMED = "tmpfs without unnamed files"
NO_UNNAMED_FILES = os.path.join(helpers.BUILD_DIR, "tests", "libno_unnamed_files.so")


def change_through(fd, kind):
    """Makes TO_OLD[kind] through the descriptor `fd` (chattr refuses the
    descriptor's path in /proc: its flag is set here)."""
    if kind != "chattr":
        subprocess.check_call(TO_OLD[kind] + ["/proc/self/fd/%d" % fd])
        return
    flags = struct.unpack("i", fcntl.ioctl(fd, FS_IOC_GETFLAGS, "\0" * 4))[0]
    fcntl.ioctl(fd, FS_IOC_SETFLAGS, struct.pack("i", flags | FS_NOATIME_FL))


def as_nobody(work, folder="/"):
    """Runs work() in a process of the user nobody, whose working folder is
    `folder` (entered while still root); answers once it has returned, with
    a function that lets the process go on to the function work() returned
    (if any) and waits for its end."""
    go_r, go_w = os.pipe()
    done_r, done_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.chdir(folder)
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            rest = work()
            os.write(done_w, "1")
            os.read(go_r, 1)
            if callable(rest):
                rest()
            status = 0
        finally:
            os._exit(status)
    os.close(go_r)
    os.close(done_w)
    started = os.read(done_r, 1)
    os.close(done_r)

    def finish():
        os.write(go_w, "1")
        os.close(go_w)
        assert os.waitpid(pid, 0)[1] == 0 and started, "nobody's work failed"
    return finish


def named_copy(folder):
    """Whether the writer's new file has a name in `folder` and has been
    given the old file's attributes (its mode is no longer its own 0600):
    the writer's next step is its last look at the old file.  Where the new
    file has a name from the start, the writer may be stopped by its tracer
    at any of its calls meanwhile, to be let go on at once."""
    return any(name.startswith(".pelvane-")
               and os.lstat(os.path.join(folder, name)).st_mode & 0o777 != 0o600
               for name in os.listdir(folder))


def hidden_copy(out):
    """The name of the writer's new file beside `out`."""
    return [name for name in os.listdir(os.path.dirname(out)) if name.startswith(".pelvane-")][0]


def take_back(out):
    """The administrator's take-back of a file: root's, for root alone."""
    subprocess.check_call(["chown", "0:0", out])
    os.chmod(out, 0o600)


def copy_held_by_former_owner(out, held):
    """After the take-back, the former owner opens the writer's new file
    (theirs still) for writing, to write through it at the end."""
    take_back(out)
    copy = hidden_copy(out)

    def open_copy():
        os.chmod(copy, 0o666)
        fd = os.open(copy, os.O_WRONLY)
        return lambda: os.write(fd, "nobody's text\n")
    return as_nobody(open_copy, os.path.dirname(out))


def copy_planted_by_former_owner(out, held):
    """After the take-back, the former owner moves the writer's new file
    (theirs still) away in the sticky folder and puts a file of their own
    under its name."""
    take_back(out)
    copy = hidden_copy(out)

    def plant():
        os.rename(copy, "taken")
        with open(copy, "w") as f:
            f.write("nobody's text\n")
    return as_nobody(plant, os.path.dirname(out))


def change_cases(tools=True):
    """(name, the writer's stop, the old file's owner, its folder's mode
    and owner where they are set, the changes made there, given the file's
    path and a descriptor held on the old file; those of another user
    answer the function that ends their work); without `tools`, those of
    root and nobody alone."""
    def by_path(change):
        return lambda out, held: subprocess.check_call(change + [out])

    def both(kind):
        def change(out, held):
            subprocess.check_call(TO_NEW[kind] + [out])
            change_through(held, kind)
        return change

    def administrator_then_former_owner(out, held):
        subprocess.check_call(["chown", "0:0", out])
        as_nobody(lambda: os.fchmod(held, 0o666))()

    # Where the kernel refuses root's open of another's file in a sticky
    # folder, the folder is nobody's own.
    with open("/proc/sys/fs/protected_regular") as f:
        sticky = (0o1777, NOBODY if f.read().strip() != "0" else 0)
    return ((tools and [(kind + " once the copy is named", "named", 0, None, by_path(TO_OLD[kind]))
                        for kind in sorted(TO_OLD)]
             + [(kind + " on both after the rename", "renamed", 0, None, both(kind))
                for kind in sorted(TO_OLD)] or [])
            + [("chown, then the former owner's fchmod", "renamed", NOBODY, None,
                administrator_then_former_owner),
               ("taken back, the former owner opening the copy", "named", NOBODY, None,
                copy_held_by_former_owner),
               ("taken back, the former owner planting a copy", "named", NOBODY, sticky,
                copy_planted_by_former_owner)])


def start_file(path, owner):
    with open(path, "w") as f:
        f.write(OLD)
    os.chown(path, owner, owner)
    os.chmod(path, 0o644)
    LIBC.setxattr(path, "user.kept", "1", 1, 0)
    return path


def mount_images(folder):
    """Makes a file system of each kind of IMAGES whose mkfs is here in an
    image in `folder`, mounted there; answers (kind, folder) for each, the
    tmpfs that holds them first, and then that tmpfs as one without unnamed
    files (its writers are given NO_UNNAMED_FILES)."""
    places = [("tmpfs", os.path.join(folder, "tmpfs")),
              (NO_UNNAMED, os.path.join(folder, "no-unnamed"))]
    for _, place in places:
        os.mkdir(place)
    quiet = open(os.devnull, "w")
    for kind in sorted(IMAGES):
        mkfs = tool_path("mkfs." + kind)
        if not mkfs:
            continue
        image, place = os.path.join(folder, kind + ".img"), os.path.join(folder, kind)
        os.mkdir(place)
        subprocess.check_call(["truncate", "-s", IMAGES[kind], image])
        subprocess.check_call([mkfs, "-q", image], stdout=quiet, stderr=quiet)
        subprocess.check_call(["mount", "-o", "loop", image, place])
        places.append((kind, place))
    return places


def tools_work(folder):
    """Whether every tool of TO_OLD and TO_NEW changes a file in `folder`,
    by its path and, for TO_OLD, through a descriptor."""
    probe = start_file(os.path.join(folder, "probe"), 0)
    held = os.open(probe, os.O_RDONLY)
    try:
        for change in list(TO_OLD.values()) + list(TO_NEW.values()):
            if subprocess.call(change + [probe], stderr=open(os.devnull, "w")) != 0:
                return False
        for kind in TO_OLD:
            change_through(held, kind)
        return True
    except (IOError, subprocess.CalledProcessError):
        return False
    finally:
        os.close(held)


def run_changes(folder):
    """Runs write_config once per case on each file system (mount_images),
    each writer under strace, which stops it (SIGSTOP) once it has named its
    new file and once it has renamed it; each case's changes are made while
    its writer is stopped where the case says, and what the file then has
    is read.  A stop met where nothing is to be done (a SIGCONT that came
    before strace's SIGSTOP) is ended.  Prints, as a Python literal, a row
    per case: the file system, the case's name, the writer's status,
    whether the changes were made, what the file had once they were, what
    it has at the end, whether its text is then the writer's (once another
    user's work is done), and the writer's hidden names left."""
    runs = []
    for fs, place in mount_images(folder):
        for name, stop, owner, mode, change in change_cases(tools_work(place)):
            where = os.path.join(place, str(len(runs)))
            os.mkdir(where)
            if mode:
                os.chmod(where, mode[0])
                os.chown(where, mode[1], 0)
            out = start_file(os.path.join(where, "ports.conf"), owner)
            runs.append(dict(fs=fs, name=name, stop=stop, change=change, place=where, out=out,
                             held=os.open(out, os.O_RDONLY), was=os.stat(out).st_ino,
                             writer=start_writer(out, fs == NO_UNNAMED), done=False,
                             had=None, rest=None))
    for run in runs:
        run["pid"] = int(run["writer"].stdout.readline())
    deadline = time.time() + 120
    while time.time() < deadline and any(run["writer"].poll() is None for run in runs):
        for run in runs:
            if run["writer"].poll() is not None or not stopped(run["pid"]):
                continue
            renamed = os.stat(run["out"]).st_ino != run["was"]
            if not run["done"] and (renamed if run["stop"] == "renamed"
                                    else named_copy(run["place"]) and not renamed):
                run["rest"] = run["change"](run["out"], run["held"])
                run["had"], run["done"] = file_attributes(run["out"]), True
            try:
                os.kill(run["pid"], signal.SIGCONT)
            except OSError as e:  # Stopped by its tracer on its way out.
                if e.errno != errno.ESRCH:
                    raise
        time.sleep(0.001)
    rows = []
    for run in runs:
        status = run["writer"].wait()
        if run["rest"]:
            run["rest"]()
        left = [name for name in os.listdir(run["place"]) if name.startswith(".pelvane-")
                and os.lstat(os.path.join(run["place"], name)).st_uid != NOBODY]
        with open(run["out"]) as f:
            whole = f.read() == NEW
        rows.append((run["fs"], run["name"], status, run["done"], run["had"],
                     file_attributes(run["out"]), whole, left))
    print repr(rows)


def start_writer(out, no_unnamed=False):
    """write_config(out) in a fresh interpreter under strace, which stops
    it after each linkat, fchmod (its new file's last attribute, where the
    file has a name from the start) and rename; it prints its process
    number first.  With `no_unnamed`, the writer sees a file system without
    unnamed files."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join((helpers.MODULE_DIR, helpers.STANDINS)))
    # For the writer alone, not strace.
    preload = ":".join(filter(None, [env.pop("LD_PRELOAD", None),
                                     no_unnamed and NO_UNNAMED_FILES]))
    if "ASAN_OPTIONS" in env:  # The leak checker does not run under a tracer.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    code = WRITER + "print os.getpid()\nsys.stdout.flush()\nc.write_config(%r)\n" % out
    return subprocess.Popen(
        ["strace", "-qq", "-o", os.devnull, "-e", "trace=linkat,fchmod,renameat,renameat2",
         "-e", "inject=linkat,fchmod,renameat,renameat2:signal=SIGSTOP"]
        + (["-E", "LD_PRELOAD=" + preload] if preload else [])
        + [sys.executable, "-c", "import sys\n" + code], env=env, stdout=subprocess.PIPE)


class ChangesAroundRenameTest(unittest.TestCase):
    """What the administrator's tools, and another user, do while
    write_config replaces the file, on tmpfs and each kind of disk: a change
    made to the old file once the writer's new file has a name is on the
    new file (the writer begins again), which holds the whole text, no
    copy left; once the new file is renamed into place, it is not touched:
    a change made to it stands exactly, and one made to the old file
    (through a descriptor held on it) never reaches it, nor does the
    former owner's fchmod after an administrator's chown.  A former owner
    who, after the administrator took the file back, opens the writer's
    named copy, or plants a file of their own under its name, never gets
    that file in place.  strace holds each instant open; the writers run
    in a PID namespace, their files on a tmpfs of its own, so that nothing
    outlives the test."""

    maxDiff = None

    def test_changes_once_named_are_kept_and_none_after_the_rename(self):
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
        rows = ast.literal_eval(out)
        # The former owner's cases ran everywhere.
        self.assertEqual(len([row for row in rows if "former owner" in row[1]]),
                         3 * len(set(row[0] for row in rows)))
        self.assertEqual([row[:4] for row in rows if row[2:4] != (0, True)], [])
        self.assertEqual([row[:2] + row[4:6] for row in rows if row[4] != row[5]], [])
        self.assertEqual([row[:2] + row[6:] for row in rows if row[6:] != (True, [])], [])
        if not any(row[1] == "chmod once the copy is named" for row in rows):
            self.skipTest("the administrator's tools change no file on these file systems")


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
