"""What the system test scripts share: the simulated device, and the binaries under test, vorn
from the first argument (or VORN_BIN) and the others from the environment that ctest sets."""

import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "devsim"))
import devsim  # noqa: E402,F401

VORN = os.environ.get("VORN_BIN", "")
if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
    VORN = os.path.abspath(sys.argv.pop(1))
VORND = os.path.join(os.path.dirname(os.path.abspath(VORN)), "vornd")
MKVIF = os.environ.get("MKVIF_BIN", "")
VORN_INIT = os.environ.get("VORN_INIT_BIN", "")
PROBE = os.environ.get("STORAGE_PROBE_BIN", "")


def rcs(text):
    """The "rc=N" lines a script printed, in order."""
    return [int(n) for n in re.findall(r"^rc=(\d+)$", text, re.M)]
