"""Runs the command its arguments give (a suite, the demo, a fuzz driver) in
this process, which the kernel kills once the runner that started it
(ctest) has ended, however it ended: the processes a suite starts through
helpers end with the suite, and each namespace of its with its first
process.  Only a runner killed in the instant before this process asks
for that leaves the command to run to its own end."""
import ctypes
import os
import signal
import sys

PR_SET_PDEATHSIG = 1

if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL) != 0:
    sys.exit("with_runner.py: prctl: %s" % os.strerror(ctypes.get_errno()))
os.execv(sys.argv[1], sys.argv[1:])
