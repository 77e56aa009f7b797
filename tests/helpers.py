"""Shared helpers of the test suites."""

import ctypes
import errno
import os
import select
import signal
import subprocess
import sys
import time

BUILD_DIR = os.environ.get("BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))
MODULE_DIR = os.path.join(BUILD_DIR, "python")
STANDINS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "standins")


def ending_with_this_process():
    """A preexec_fn that has the child killed once the process starting it
    (its thread, which is the main one here) has ended; a child whose
    starter has ended already ends at once."""
    parent, prctl = os.getpid(), ctypes.CDLL(None).prctl  # loaded before the fork

    def die_with_parent():
        prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        if os.getppid() != parent:
            os._exit(1)
    return die_with_parent


def start_python(code, path=(MODULE_DIR, STANDINS), flags=(), cwd=None):
    """Starts code in a fresh interpreter, its stdout and stderr piped,
    which ends with this process; answers the process."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(path)
    return subprocess.Popen([sys.executable] + list(flags) + ["-c", code], env=env, cwd=cwd,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, close_fds=True,
                            preexec_fn=ending_with_this_process())


def killed(process):
    """Kills the process with SIGKILL, and its process group where it leads
    one (a session of its own); nothing where it has ended."""
    if process.poll() is not None:
        return
    try:
        if os.getpgid(process.pid) == process.pid:
            os.killpg(process.pid, signal.SIGKILL)
        else:
            process.kill()
    except OSError as e:
        if e.errno != errno.ESRCH:
            raise


def finished(process, seconds):
    """What the process prints on its piped stdout and stderr until it ends,
    as communicate() answers it (its input closed), the process killed
    (killed()) where it has not ended once `seconds` have passed: a guard
    against a hang, sized for the sanitizer build on a busy machine, never
    a measure of speed.  No thread waits for it: a thread of this process
    holding a lock as another one forks would leave the child stuck on it."""
    if process.stdin:
        process.stdin.close()
    streams = [stream for stream in (process.stdout, process.stderr) if stream]
    said = dict((stream, []) for stream in streams)
    deadline, late = time.time() + seconds, False
    while streams:
        try:
            ready = select.select(streams, [], [], max(0, deadline - time.time()))[0]
        except select.error as e:  # A signal's handler ran.
            if e.args[0] != errno.EINTR:
                raise
            continue
        if not ready and late:
            break  # Another process holds the pipes open.
        if not ready:
            killed(process)
            deadline, late = time.time() + 10, True  # For what is left in the pipes.
        for stream in ready:
            data = os.read(stream.fileno(), 1 << 16)
            if data:
                said[stream].append(data)
            else:
                streams.remove(stream)
                stream.close()
    process.wait()
    return tuple("".join(said[stream]) if stream else None
                 for stream in (process.stdout, process.stderr))


def run_python(code, path=(MODULE_DIR, STANDINS), flags=(), cwd=None, seconds=600):
    """Runs code in a fresh interpreter, killed after `seconds`; answers
    (exit status, stdout, stderr)."""
    proc = start_python(code, path, flags, cwd)
    out, err = finished(proc, seconds)
    return proc.returncode, out, err


def port_kwargs(**overrides):
    """Keyword arguments of SDKPort's constructor, as a platform description gives them."""
    kw = dict(label="swp1", hw_ports=["xe0"], phy_types=None, phy_addrs=None,
              phy_layer="SFP+", prim_offset=0, leds=[(0, 1)], unit=0,
              rx_polarity_flip=None, tx_polarity_flip=None, rx_lane_map=None,
              tx_lane_map=None, mdi_pair_map=None, pre_emphasis=None, drv_current=None,
              pre_drv_current=None, oversub=False, phy_id1=None, sys_interface=None)
    kw.update(overrides)
    return kw


def start_in_namespace(code, namespaces="-m", setup=""):
    """Starts code in a fresh interpreter inside new namespaces of its own
    (`unshare` with the given flags; a mount namespace is private), after the
    shell commands `setup` have run there, its stdout and stderr piped;
    answers the process, which is killed when the test's own process ends
    (with `--kill-child`, so is the namespace's first process, and with it
    every process of a PID namespace).  Raises unittest.SkipTest, saying
    why, where unshare is missing or not permitted."""
    import unittest
    from distutils.spawn import find_executable
    unshare = find_executable("unshare")
    if not unshare:
        raise unittest.SkipTest("no unshare program")
    probe = subprocess.Popen([unshare] + namespaces.split() + ["true"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, err = probe.communicate()
    if probe.returncode != 0:
        raise unittest.SkipTest("unshare %s not permitted: %s" % (namespaces, err.strip()))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join((MODULE_DIR, STANDINS))
    script = "set -e\n%s\nexec \"$0\" -c \"$1\"" % setup
    return subprocess.Popen([unshare] + namespaces.split() + ["sh", "-c", script,
                                                              sys.executable, code],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=ending_with_this_process())


def namespace_python(code, namespaces="-m", setup="", seconds=1200):
    """Runs code as start_in_namespace() starts it, killed after `seconds`;
    answers (exit status, stdout, stderr)."""
    proc = start_in_namespace(code, namespaces, setup)
    out, err = finished(proc, seconds)
    return proc.returncode, out, err


# ---- LED programs -------------------------------------------------------------

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tools")
TARQUEL = os.path.join(TOOLS, "tarquel")


class StandinConfiguredPort(object):
    """A configured port as the LED program generator sees it: one platform
    port in one mode, answering gang_label, leds, num_logical_ports,
    hw_port_num(sub) and set_leds(led_port, sub, led_index_list) from the
    platform port."""

    def __init__(self, mode, physical_port):
        self.mode = mode
        self.physical_port = physical_port

    @property
    def gang_label(self):
        if self.mode == "40G/4":
            return str(((int(self.physical_port.label) - 1) / 4) * 4 + 1)
        return self.physical_port.label

    @property
    def leds(self):
        return self.physical_port.leds

    @property
    def num_logical_ports(self):
        return self.physical_port.num_logical_ports(self.mode)

    def hw_port_num(self, sub):
        return self.physical_port.hw_port_num(self.mode, sub)

    def set_leds(self, led_port, sub, led_index_list):
        return self.physical_port.set_leds(self.mode, led_port, sub, led_index_list)


def claiming(port_class):
    """A platform port class derived from port_class whose set_leds answers
    with claims(mode, led_port, sub, led_index_list) (the base's empty
    answer when claims is None) and records every question in `asked`."""

    class ClaimingPort(port_class):
        claims = None

        def set_leds(self, mode, led_port, sub, led_index_list):
            self.__dict__.setdefault("asked", []).append(
                (mode, led_port, sub, list(led_index_list)))
            if self.claims is None:
                return port_class.set_leds(self, mode, led_port, sub, led_index_list)
            return self.claims(mode, led_port, sub, led_index_list)

    ClaimingPort.__name__ = "Claiming" + port_class.__name__
    return ClaimingPort


def json_dumps_calls(f):
    """Runs f(); answers (what it returned or the exception it raised, the
    number of calls of the interpreter's json.dumps meanwhile), counted
    through the profiler, which leaves every binding of json as it is."""
    import json
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is json.dumps.func_code:
            calls.append(1)

    sys.setprofile(profile)
    try:
        result = f()
    except Exception as e:
        result = e
    finally:
        sys.setprofile(None)
    return result, len(calls)


class RecordingJSON(object):
    """A stand-in for pelvane's `json`: its dumps records each call and
    answers what the interpreter's json.dumps (as it was when the stand-in
    was made) answers."""

    def __init__(self):
        import json
        self.calls = []
        self.real_dumps = json.dumps

    def dumps(self, *args, **kw):
        self.calls.append((args, kw))
        return self.real_dumps(*args, **kw)
