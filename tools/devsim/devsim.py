"""Simulated device: runs the real vorn/vornd against loop-backed eMMC disks.

A Device is a directory of disk images plus the state of the boot loader (the kernel command
line of the next boot). Each boot attaches loop devices to the images, starts a private mount,
PID and network namespace whose /dev, /proc/cmdline, /proc/sys/vm files and board GPIO
directory are the simulated device's, runs one command in it, and detaches everything again.

Nothing of a boot reaches the host: block devices are loop devices over files in the state
directory, /proc/sys/vm and /proc/cmdline are files bound over the real ones, network
interfaces live in the boot's own network namespace, and reboot(2) only ends the boot's PID
namespace. A janitor process in its own session undoes loop devices and temporary files when
the process that owns the device dies, even by SIGKILL.

This module is the API for system tests (import devsim) and the entry of the devsim command;
the parts live in the devsimlib package beside it.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from devsimlib.boot import Boot, BootResult  # noqa: E402
from devsimlib.bootenv import (  # noqa: E402
    BOOTENV_NODE, BOOTENV_OFFSET, BOOTENV_SIZE, BootEnvBlock, EnvPlace, decode_bootenv,
    encode_bootenv, parse_env_config)
from devsimlib.bootloader import BootLoader  # noqa: E402
from devsimlib.cli import main  # noqa: E402
from devsimlib.cmdline import (  # noqa: E402
    apply_bmap_value, cmdline_tokens, format_cmdline, set_cmdline_keys)
from devsimlib.device import Device  # noqa: E402
from devsimlib.errors import DevsimError  # noqa: E402
from devsimlib.framing import frame, socket_request  # noqa: E402
from devsimlib.layout import DEFAULT_HW, DEFAULT_LAYOUT, Copy, Layout  # noqa: E402
from devsimlib.loops import loops_of  # noqa: E402
from devsimlib.strace import Boundary, Call, Injection, Trace  # noqa: E402

__all__ = [
    "BOOTENV_NODE", "BOOTENV_OFFSET", "BOOTENV_SIZE", "DEFAULT_HW", "DEFAULT_LAYOUT", "Boot",
    "BootEnvBlock", "BootLoader", "BootResult", "Boundary", "Call", "Copy", "Device",
    "DevsimError", "EnvPlace", "Injection", "Layout", "Trace", "apply_bmap_value",
    "cmdline_tokens", "decode_bootenv", "encode_bootenv", "format_cmdline", "frame", "loops_of",
    "main", "parse_env_config", "set_cmdline_keys", "socket_request",
]

if __name__ == "__main__":
    sys.exit(main())
