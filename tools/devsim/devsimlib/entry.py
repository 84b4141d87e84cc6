"""Where devsim's own helper processes (the init of a boot, the janitor) are started from."""

import os
import sys


# tools/devsim/devsim.py: run with a hidden sub-command, it becomes one of the helpers.
ENTRY = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "devsim.py")


def helper_argv(*args):
    """Command line of a devsim helper process."""
    return [sys.executable, ENTRY, *args]
