"""Stand-ins for the Android tools the product runs, and the device's own helpers on PATH."""

import os
import shlex
import sys

from devsimlib.entry import ENTRY


STUB_TOOLS = ("reboot", "am", "setprop", "start", "stop", "busybox")

_STUB_SCRIPT = """#!/bin/sh
# Stand-in for the device's "{name}" tool: records the call and succeeds.
printf '%s\\n' "{name}${{*:+ $*}}" >> {log}
exit 0
"""

_REBOOT_STUB = """#!{python}
# Stand-in for the device's "reboot" tool: records the call, then restarts the simulated
# device with reboot(2), which inside its PID namespace ends only that namespace.
import ctypes, os, signal, sys
with open({log!r}, "a") as f:
    f.write(" ".join(["reboot"] + sys.argv[1:]) + "\\n")
try:
    with open("/proc/1/cmdline", "rb") as f:
        init = f.read()
    inside = (os.stat("/proc/self/ns/pid").st_ino != {host_pidns}
              and {tag!r}.encode() in init and os.path.exists("/dev/.devsim"))
except OSError:
    inside = False
if not inside:
    sys.exit("reboot (devsim stub): not inside the simulated device, refusing")
sys.stdout.flush()
# The restart happens in a child, so that this tool never returns to its caller: the caller
# must not run on while the device goes down, as it does not on the board.
if os.fork() == 0:
    ctypes.CDLL(None).reboot(0x01234567)
    os._exit(1)
if os.wait()[1] != 0:
    sys.exit("reboot (devsim stub): reboot(2) failed")
while True:
    signal.pause()
"""


def make_stubs(state_dir):
    """Writes the stub tools into STATE/stubs and the devsim helper into STATE/bin."""
    stubs = os.path.join(state_dir, "stubs")
    os.makedirs(stubs, exist_ok=True)
    log = os.path.join(state_dir, "calls.log")
    for name in STUB_TOOLS:
        if name == "reboot":
            text = _REBOOT_STUB.format(python=sys.executable, log=log, tag=state_dir,
                                       host_pidns=os.stat("/proc/self/ns/pid").st_ino)
        else:
            text = _STUB_SCRIPT.format(name=name, log=shlex.quote(log))
        path = os.path.join(stubs, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o755)
    # The device's own helpers (init's service sockets, a socket client): devsim itself.
    bin_dir = os.path.join(state_dir, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    path = os.path.join(bin_dir, "devsim")
    with open(path, "w") as f:
        f.write(f"#!/bin/sh\nexec {shlex.quote(sys.executable)} {shlex.quote(ENTRY)} \"$@\"\n")
    os.chmod(path, 0o755)
