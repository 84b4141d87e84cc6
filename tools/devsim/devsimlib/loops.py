"""Loop devices over the disk files, and the tie of a boot to the process that owns it."""

import ctypes
import signal
import subprocess
import time

from devsimlib.errors import DevsimError


def run_tool(argv, check=True, **kw):
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    if check and r.returncode != 0:
        raise DevsimError(f"{' '.join(argv)} failed ({r.returncode}): {r.stderr.strip()}")
    return r


def loops_of(path):
    """Loop devices currently backed by path (as losetup reports them)."""
    r = run_tool(["losetup", "-n", "-O", "NAME", "-j", path], check=False)
    return [line.strip() for line in r.stdout.splitlines() if line.strip()]


def detach_all(files):
    """Detaches every loop device backed by one of files; returns those still attached."""
    left = []
    for attempt in range(50):
        left = []
        for f in files:
            for loop in loops_of(f):
                run_tool(["losetup", "-d", loop], check=False)
                left.append(loop)
        if not left:
            return []
        time.sleep(0.1 if attempt < 20 else 0.3)
        left = [loop for f in files for loop in loops_of(f)]
        if not left:
            return []
    return left

_PR_SET_PDEATHSIG = 1


def die_with_parent():
    """preexec: the boot dies (and with it its namespaces) when its owner dies."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
