"""write_config against disks and administrators: a nearly full disk of
each kind (file systems made in images), and changes made to the file by the
administrator's tools while the writer replaces it (the instants held open
with strace).  Each runs in a PID namespace and a private mount namespace,
its files on a tmpfs mounted there: killed or timed out, the test leaves no
process, image or file behind."""
import ctypes
import errno
import fcntl
import os
import signal
import struct
import subprocess
import time
import unittest

import helpers
from test_hostile_pelvane import (CALL_NUMBERS, HEADER, LIBC, MOUNT_SCRATCH, NAMESPACES, NEW, OLD,
                                  SCRATCH, WRITER, first_line, in_call, printed_in_namespace,
                                  process_state, soon, stopped_writer, told_stopped, tool_path,
                                  traced_writer)

HERE = os.path.dirname(os.path.abspath(__file__))


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
            out, err = helpers.finished(run, 1200)
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
    return any(st.st_mode & 0o777 != 0o600 for st in hidden_files(folder).values())


def hidden_files(folder):
    """The writer's hidden names in `folder`, each with its status (lstat);
    a name gone before its look (the writer renamed its copy meanwhile) is
    not there."""
    found = {}
    for name in (name for name in os.listdir(folder) if name.startswith(".pelvane-")):
        try:
            found[name] = os.lstat(os.path.join(folder, name))
        except OSError as e:
            if e.errno != errno.ENOENT:
                raise
    return found


def hidden_copy(out):
    """The name of the writer's new file beside `out`; None where it is
    gone (renamed)."""
    return next(iter(hidden_files(os.path.dirname(out))), None)


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
    return copy and as_nobody(open_copy, os.path.dirname(out))


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
    return copy and as_nobody(plant, os.path.dirname(out))


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
    for kind in sorted(IMAGES):
        place = mount_image(kind, folder, kind)
        if place:
            places.append((kind, place))
    return places


def mount_image(kind, folder, name, *options):
    """Makes a file system of `kind` (mkfs given `options`) in an image of
    IMAGES[kind] bytes in `folder`, mounted at its folder `name` there;
    answers that folder, or None where the kind's mkfs is missing."""
    mkfs = tool_path("mkfs." + kind)
    if not mkfs:
        return None
    image, place = os.path.join(folder, name + ".img"), os.path.join(folder, name)
    os.mkdir(place)
    subprocess.check_call(["truncate", "-s", IMAGES[kind], image])
    with open(os.devnull, "w") as quiet:
        subprocess.check_call([mkfs, "-q"] + list(options) + [image], stdout=quiet, stderr=quiet)
    subprocess.check_call(["mount", "-o", "loop", image, place])
    return place


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
        run["pid"] = int(first_line(run["writer"]))
    deadline = time.time() + 300
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
        helpers.killed(run["writer"])  # Not let go on by the deadline.
        status = run["writer"].wait()
        if run["rest"]:
            run["rest"]()
        left = sorted(name for name, st in hidden_files(run["place"]).items()
                      if st.st_uid != NOBODY)
        with open(run["out"]) as f:
            whole = f.read() == NEW
        rows.append((run["fs"], run["name"], status, run["done"], run["had"],
                     file_attributes(run["out"]), whole, left))
    print repr(rows)


def start_writer(out, no_unnamed=False, held=None):
    """write_config(out) in a fresh interpreter under strace, which stops
    it (SIGSTOP) as each linkat, fchmod (its new file's last attribute,
    where the file has a name from the start) and rename returns; it
    prints its process number first.  With `no_unnamed`, the writer sees a
    file system without unnamed files.  A writer `held` at a call (its
    name) waits for a line on its input before it calls write_config, and
    is stopped only as the first such call returns; its tracer tells of
    the stop on the pipe that the writer's `told` reads (told_stopped)."""
    code = ("import sys\n" + WRITER + "print os.getpid()\nsys.stdout.flush()\n"
            + "sys.stdin.readline()\n" * bool(held) + "c.write_config(%r)\n" % out)
    preload = no_unnamed and NO_UNNAMED_FILES
    if held:
        return stopped_writer(code, held, ":when=1", preload, stdout=subprocess.PIPE,
                              stdin=subprocess.PIPE)
    calls = "linkat,fchmod,renameat,renameat2"
    return traced_writer(["-o", os.devnull, "-e", "trace=" + calls, "-e",
                          "inject=%s:signal=SIGSTOP" % calls], code, preload,
                         stdout=subprocess.PIPE)


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
        rows = printed_in_namespace(self, __name__, "run_changes")
        # The former owner's cases ran everywhere.
        self.assertEqual(len([row for row in rows if "former owner" in row[1]]),
                         3 * len(set(row[0] for row in rows)))
        self.assertEqual([row[:4] for row in rows if row[2:4] != (0, True)], [])
        self.assertEqual([row[:2] + row[4:6] for row in rows if row[4] != row[5]], [])
        self.assertEqual([row[:2] + row[6:] for row in rows if row[6:] != (True, [])], [])
        if not any(row[1] == "chmod once the copy is named" for row in rows):
            self.skipTest("the administrator's tools change no file on these file systems")


# Changes made within one grain of a coarse clock: on ext4 with 128-byte
# inodes a ctime keeps whole seconds, on ramfs the kernel's coarse tick (a
# few milliseconds), so that a change made in the grain of the one before
# it leaves the ctime as it was.
def chown_then_chmod(out):
    os.chown(out, 0, 0)
    os.chmod(out, 0o600)


def chmod_then_chown(out):
    os.chmod(out, 0o600)
    os.chown(out, 0, 0)


def revoke_acl_entry(out):
    if not set_acl(out, ACL_0640):
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()), out)


def set_acl(path, value):
    """Gives `path` the access ACL `value` as setfacl gives it, in one
    setxattr; false where the file system refuses it."""
    return LIBC.setxattr(path, "system.posix_acl_access", value, len(value), 0) == 0


# A file of mode 0640's access ACL as setfacl leaves it once the entry
# u:nobody:r is taken away (its mask kept), and as it has it with that
# entry: (tag, permissions, number) each.
ACL_0640 = struct.pack("<I" + "HHi" * 4, 2, 1, 6, -1, 4, 4, -1, 0x10, 4, -1, 0x20, 0, -1)
ACL_NOBODY = ACL_0640[:12] + struct.pack("<HHi", 2, 4, NOBODY) + ACL_0640[12:]


# The administrator's take-back of a file, in either order, and an ACL
# entry taken away: (name, the file's owner, its mode, whether an ACL entry
# lets nobody read it, the change, what the file then has as acl_view shows
# it).
WITHIN_ONE_GRAIN = [
    ("chown root:root, then chmod 600", NOBODY, 0o644, False, chown_then_chmod, ("0600", 0, 0, [])),
    ("chmod 600, then chown root:root", NOBODY, 0o644, False, chmod_then_chown, ("0600", 0, 0, [])),
    ("setfacl -x u:nobody", 0, 0o640, True, revoke_acl_entry, ("0640", 0, 0, []))]
# The writer's stops where the changes are made: the call it is stopped
# at as it returns (start_writer), and the instant that shows.  Without
# unnamed files its new file is named from the start and given its
# attributes last.
STOPS = [("fsync", "the copy written"), ("linkat", "the copy named")]
NAMED_STOPS = [("fchmod", "the copy named")]
O_TMPFILE = 0o20000000 | os.O_DIRECTORY
# How many times a case is tried before it is given up as never landing
# within one grain of the clock (ramfs's clock moves on within its tick
# too, to the last fine-grained ctime another file system gave a file:
# often, on a busy host).
GRAIN_TRIES = 30
# The grain of each coarse file system's ctimes on the kernel's coarse
# clock, in nanoseconds: ext4's whole seconds, ramfs's ticks (each one).
GRAINS = {"ext4 -I 128": 10 ** 9, "ramfs": 1}


def mount_coarse(folder):
    """Makes ext4 with 128-byte inodes in an image in `folder`, and a ramfs,
    mounted there; answers (kind, folder) for each, and what is missing."""
    places, missing = [], []
    place = mount_image("ext4", folder, "ext4-128", "-I", "128")
    if place:
        places.append(("ext4 -I 128", place))
    else:
        missing.append("ext4 -I 128 (no mkfs.ext4)")
    place = os.path.join(folder, "ramfs")
    os.mkdir(place)
    subprocess.check_call(["mount", "-t", "ramfs", "ramfs", place])
    return places + [("ramfs", place)], missing


def makes(place, acl=False):
    """Whether an unnamed file can be made in `place`; with `acl`, whether
    a file there takes the ACL entry u:nobody:r."""
    if acl:
        probe = os.path.join(place, "probe")
        open(probe, "w").close()
        return set_acl(probe, ACL_NOBODY)
    try:
        os.close(os.open(place, os.O_WRONLY | O_TMPFILE, 0o600))
        return True
    except OSError as e:
        if e.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
            raise
        return False


def acl_view(attributes):
    """The mode, owner and group of a file's attributes (file_attributes),
    and the entries of its access ACL for users and groups by name: (tag,
    permissions, number)."""
    acl = attributes[3].get("system.posix_acl_access", "")
    entries = [struct.unpack_from("<HHI", acl, at) for at in range(4, len(acl), 8)]
    return attributes[:3] + ([entry for entry in entries if entry[0] in (2, 8)],)


def ctime_of(path):
    """A file's ctime to the nanosecond (statx: a float loses the
    nanoseconds of a current date), as (seconds, nanoseconds)."""
    buf = ctypes.create_string_buffer(256)
    if LIBC.statx(-100, path, 0, 0x80, buf) != 0:  # AT_FDCWD, STATX_CTIME
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()), path)
    return struct.unpack_from("qI", buf.raw, 96)


def grain_start(grain):
    """Waits for the start of the next grain of `grain` nanoseconds of the
    kernel's coarse clock (GRAINS), which ext4 and ramfs stamp changes
    with, so that a whole grain follows: asleep until just before it."""
    def now():
        clock = (ctypes.c_long * 2)()
        LIBC.clock_gettime(5, clock)  # CLOCK_REALTIME_COARSE
        return clock[0] * 10 ** 9 + clock[1]
    first = now() // grain
    time.sleep(max(0, (first + 1) * grain - now() - 10 ** 7) / 1e9)
    while now() // grain == first:
        pass


def run_within_one_grain(folder):
    """Runs write_config once per case of WITHIN_ONE_GRAIN on each coarse
    file system (mount_coarse), with and without unnamed files, stopped
    where each of its STOPS says.  Each writer waits just before
    write_config while the file's ctime is made the clock's current one,
    at the start of a grain (a chmod to the mode it has), which the writer
    then reads with the file's status; the changes are made as soon as it
    is stopped, and land where the ctime then is still the one noted.  The
    writers start together and are let go on one at a time, each once the
    one before has ended, so that each runs alone; a case that did not
    land, or whose writer was not held all the while, is tried again,
    GRAIN_TRIES times in all.  Prints, as a Python literal, what cannot be
    made here, and a row per try: the file system and how the writer sees
    it, the case's name and stop, the writer's status, whether it was held
    all the while the changes were made and whether they landed, what the
    file is to have and has at the end (acl_view), whether it then has all
    it had right after the changes, whether its text is the writer's, and
    the writer's hidden names left."""
    places, missing = mount_coarse(folder)
    cases = []
    for fs, place in places:
        # ramfs keeps no extended attributes, ACLs among them.
        acl = makes(place, acl=True)
        unnamed = makes(place)
        if not unnamed:
            missing.append(fs + " with unnamed files (refused)")
        if not acl and fs != "ramfs":
            missing.append(fs + " with ACLs (refused)")
        for no_unnamed in [False, True] if unnamed else [True]:
            for change in WITHIN_ONE_GRAIN:
                for stop in NAMED_STOPS if no_unnamed else STOPS:
                    if acl or not change[3]:
                        cases.append(dict(fs=fs, place=place, no_unnamed=no_unnamed,
                                          change=change, stop=stop, held=False, landed=False))
    rows = []
    for tries in range(GRAIN_TRIES):
        runs = [case for case in cases if not (case["held"] and case["landed"])]
        if not runs:
            break
        for number, case in enumerate(runs):
            where = os.path.join(case["place"], "%d-%d" % (tries, number))
            os.mkdir(where)
            _, owner, mode, with_acl, _, _ = case["change"]
            case["out"] = out = os.path.join(where, "ports.conf")
            with open(out, "w") as f:
                f.write(OLD)
            os.chown(out, owner, owner)
            os.chmod(out, mode)
            if with_acl:
                set_acl(out, ACL_NOBODY)
            case["old"] = os.stat(out).st_ino
            case["writer"] = start_writer(out, case["no_unnamed"], case["stop"][0])
        for case in runs:
            case["pid"] = int(first_line(case["writer"]))
        for case in runs:
            change_within_one_grain(case)
            rows.append(row_within_one_grain(case))
    print repr((missing, rows))


def change_within_one_grain(case):
    """Lets the writer of `case` go on, and makes the changes as soon as
    its tracer tells that it is stopped; notes in `case` whether the
    writer stayed at its call all the while (the times it was switched off
    a processor unchanged), the old file still in place, whether they
    landed, and what the file had right after them; then lets it go on.
    It is stopped once, and let go on only once it is: no SIGCONT comes
    before a SIGSTOP that its tracer has sent is taken, which would undo
    the stop.  A writer whose stop is not told of within two minutes of
    its turn is killed, its case not held, its status "killed"."""
    writer, pid, out = case["writer"], case["pid"], case["out"]
    (_, _, mode, _, change, _), (call, _) = case["change"], case["stop"]
    case.update(held=False, landed=False, had=None, killed=False, deadline=time.time() + 120)
    grain_start(GRAINS[case["fs"]])
    os.chmod(out, mode)
    noted = ctime_of(out)
    writer.stdin.write("\n")
    writer.stdin.flush()
    if not told_stopped(writer.told, case["deadline"]):
        helpers.killed(writer)
        case["killed"] = True
        return
    before = in_call(pid)
    if before and before[0] in ("t", "T") and before[1][0] == str(CALL_NUMBERS[call]):
        change(out)
        case.update(landed=ctime_of(out) == noted, had=file_attributes(out))
        case["held"] = in_call(pid) == before and os.stat(out).st_ino == case["old"]
    os.kill(pid, signal.SIGCONT)


def row_within_one_grain(case):
    """The row of `case` (run_within_one_grain) once its writer has ended
    (killed where it has not by the deadline, its status then "killed")."""
    if soon(case["writer"].poll, max(0, case["deadline"] - time.time())) is None:
        helpers.killed(case["writer"])
        case.update(killed=True, held=False)
    status, out = case["writer"].wait(), case["out"]
    status = "killed" if case["killed"] else status
    case["writer"].told.close()
    left = sorted(hidden_files(os.path.dirname(out)))
    with open(out) as f:
        whole = f.read() == NEW
    ended = file_attributes(out)
    return (case["fs"], "with%s unnamed files" % ("out" * case["no_unnamed"]), case["change"][0],
            case["stop"][1], status, case["held"], case["landed"], case["change"][5],
            acl_view(ended), ended == case["had"], whole, left)


class WithinOneGrainTest(unittest.TestCase):
    """Changes made to the file while write_config replaces it, within one
    grain of the file system's clock after the ctime the writer read with
    the file's status: on ext4 with 128-byte inodes (whole seconds) and
    ramfs (the kernel's coarse tick), with and without unnamed files, the
    writer stopped once it has written its copy, given it the attributes
    it read, and once the copy is named.  The administrator's take-back of
    nobody's file (chown root:root and chmod 600, in either order), and an
    ACL entry taken away (where there are ACLs), are on the file at the
    end, which holds the writer's whole text, no copy left.  On ext4 every
    case lands within the second; on ramfs, whose clock other file systems
    pull on, one that never does is named.  The writers run in a PID
    namespace, their files on a tmpfs of its own."""

    maxDiff = None

    def test_changes_within_one_grain_of_the_ctime_read_are_kept(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")
        if not tool_path("strace"):
            self.skipTest("needs strace")
        if not CALL_NUMBERS:
            self.skipTest("the system calls' numbers are not known here")
        missing, rows = printed_in_namespace(self, __name__, "run_within_one_grain")
        # A writer killed at its deadline counts as not held.
        self.assertEqual([row[:5] for row in rows if row[4] not in (0, "killed")], [])
        # Every try whose writer was held all the while ends with all the
        # changes, within the grain or not.
        self.assertEqual([row[:4] + row[7:] for row in rows
                          if row[5] and row[8:] != (row[7], True, True, [])], [])
        landed = set(row[:4] for row in rows if row[5] and row[6])
        cases = sorted(set(row[:4] for row in rows))
        never = [case for case in cases if case not in landed]
        self.assertEqual([case for case in never if case[0] != "ramfs"], [])
        ramfs = len([case for case in cases if case[0] == "ramfs"])
        said = (["cannot be made here: " + ", ".join(missing)] * bool(missing)
                + ["ramfs: %d of %d cases landed within one grain in %d tries; never: %s"
                   % (ramfs - len(never), ramfs, GRAIN_TRIES, never)] * bool(never))
        if said:
            self.skipTest("; ".join(said))


def stopped(pid):
    """Whether the process is stopped (by a signal, or by its tracer); not
    where it has ended."""
    return process_state(pid) in ("t", "T")


def file_attributes(path):
    """The mode, owner, group, extended attributes and inode flags (None
    where the file system has none) of a file."""
    st = os.stat(path)
    names, value, xattrs = ctypes.create_string_buffer(4096), ctypes.create_string_buffer(4096), {}
    size = LIBC.listxattr(path, names, 4096)
    for name in names.raw[:size].split("\0")[:-1]:
        size = LIBC.getxattr(path, name, value, 4096)
        xattrs[name] = value.raw[:size]
    fd = os.open(path, os.O_RDONLY)
    try:
        flags = hex(struct.unpack("i", fcntl.ioctl(fd, FS_IOC_GETFLAGS, "\0" * 4))[0])
    except IOError as e:  # None where the file system keeps none (ramfs).
        if e.errno != errno.ENOTTY:
            raise
        flags = None
    finally:
        os.close(fd)
    return oct(st.st_mode & 0o7777), st.st_uid, st.st_gid, xattrs, flags


if __name__ == "__main__":
    unittest.main()
