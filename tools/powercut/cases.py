"""The commands swept for power cuts and I/O errors, by name."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from powercut import Case  # noqa: E402
from devsimlib.bootenv import set_entry  # noqa: E402

# A device's boot environment as it stands after some use: a stored boot map, settings, a
# user property. Every entry but the one a command changes must come through unchanged.
STORED_ENV = [
    ("bmap", "bmap_dev=sd:/dev/block/mmcblk1 "
             "bmap=boot:1%androidboot:2%androidboot,system:3:4,app:5:sd@6,recovery:7%androidboot "
             "bmap_seq=2:3:sd@6:7"),
    ("sys.eth.if", "eth0"),
    ("sys.eth.ip.mode", "static"),
    ("sys.eth.ip.addrs", "10.0.0.2/24"),
    ("@site", "hall 3|bay=7"),
]


def setprop(name, vorn, key, value=None):
    """vorn setprop KEY VALUE (or KEY alone: deletion) on a device with STORED_ENV."""
    def new_env(dev):
        return set_entry(dev.bootenv().entries, key, value)
    command = [vorn, "setprop", key] + ([value] if value is not None else [])
    return Case(name, command, new_env, device={"env": STORED_ENV})


def all_cases(vorn):
    """Every case by name."""
    cases = [setprop("setprop-replace", vorn, "sys.eth.if", "eth1"),
             setprop("setprop-append", vorn, "@color", "red"),
             setprop("setprop-delete", vorn, "sys.eth.ip.mode")]
    return {c.name: c for c in cases}
