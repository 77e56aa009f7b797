"""Shared helpers of the test suites."""

import os
import subprocess
import sys

BUILD_DIR = os.environ.get("BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))
MODULE_DIR = os.path.join(BUILD_DIR, "python")
STANDINS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "standins")


def run_python(code, path=(MODULE_DIR, STANDINS), flags=(), cwd=None):
    """Runs code in a fresh interpreter; answers (exit status, stdout, stderr)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(path)
    proc = subprocess.Popen([sys.executable] + list(flags) + ["-c", code], env=env, cwd=cwd,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate()
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


def namespace_python(code, namespaces="-m", setup=""):
    """Runs code in a fresh interpreter inside new namespaces of its own
    (`unshare` with the given flags; a mount namespace is private), after the
    shell commands `setup` have run there; answers (exit status, stdout,
    stderr).  Raises unittest.SkipTest, saying why, where unshare is missing
    or not permitted."""
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
    proc = subprocess.Popen([unshare] + namespaces.split() + ["sh", "-c", script,
                                                              sys.executable, code],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate()
    return proc.returncode, out, err
