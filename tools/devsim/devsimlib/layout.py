"""Layouts: the disks, their partitions and the boot map of a simulated device."""

import json
import os
import re

from devsimlib.cmdline import BOOTMAP_KEYS, cmdline_tokens
from devsimlib.errors import DevsimError


MIB = 1024 * 1024
FIRST_PARTITION_MIB = 1  # partitions start past the boot environment block
DEFAULT_EXT4_MIB = 16
DEFAULT_RAW_MIB = 8

MAIN_DEVICE = "mmcblk0"
KNOWN_FS = ("ext4", "vfat", "raw", "androidboot")

DEFAULT_HW = "zt4100.1.0"
DEFAULT_LAYOUT = {
    "bmap_dev": "sd:/dev/block/mmcblk1",
    "bmap": "boot:1%androidboot:2%androidboot,system:3:4,app:5:sd@6,recovery:7%androidboot",
    "bmap_seq": "1:3:sd@6:7",
    "devices": {
        "mmcblk0": {"partitions": {"1": 8, "2": 8, "3": 16, "4": 16, "5": 16, "7": 8}},
        "mmcblk1": {"partitions": {"6": 16}},
    },
}


class Copy:
    """One copy of a region: a partition of a named disk."""

    def __init__(self, region, index, disk, number, fs):
        self.region = region
        self.index = index
        self.disk = disk
        self.number = number
        self.fs = fs

    @property
    def node(self):
        return f"/dev/block/{self.disk}p{self.number}"

    def __repr__(self):
        return f"Copy({self.region}#{self.index} {self.node} {self.fs})"


class Partition:
    def __init__(self, number, offset, size):
        self.number = number
        self.offset = offset
        self.size = size


class Disk:
    def __init__(self, name, partitions, size):
        self.name = name
        self.partitions = partitions  # number -> Partition
        self.size = size


def _devices(bmap_dev):
    """Device name -> disk name of a bmap_dev value."""
    devices = {}
    for item in (bmap_dev or "").split(","):
        name, sep, path = item.partition(":")
        if sep and name:
            devices[name] = os.path.basename(path)
    return devices


def _parse_bmap(bmap_dev, bmap):
    """Region copies of a boot map, as the boot loader describes them to the product."""
    devices = _devices(bmap_dev)
    regions = {}
    for item in (bmap or "").split(","):
        name, sep, rest = item.partition(":")
        if not sep or not name:
            continue
        copies = []
        for spec in rest.split(":")[:5]:
            if not spec:
                break
            disk = MAIN_DEVICE
            if "@" in spec:
                dev, _, spec = spec.partition("@")
                if dev not in devices:
                    continue
                disk = devices[dev]
            num, _, fs = spec.partition("%")
            number = int(re.match(r"\d*", num).group() or "0")
            fs = fs if fs in KNOWN_FS else "ext4"
            copies.append(Copy(name, len(copies), disk, number, fs))
        if copies and name not in regions:
            regions[name] = copies
    return regions


def active_copies(cmdline):
    """Region -> index of its active copy (None when bmap_seq names none) on a command line."""
    tokens = {k: v for k, v in cmdline_tokens(cmdline) if k in BOOTMAP_KEYS}
    devices = _devices(tokens.get("bmap_dev"))
    regions = _parse_bmap(tokens.get("bmap_dev"), tokens.get("bmap"))
    out = {}
    for (name, copies), item in zip(regions.items(), (tokens.get("bmap_seq") or "").split(":")):
        dev, _, number = item.rpartition("@")
        disk = devices.get(dev) if dev else MAIN_DEVICE
        out[name] = next((c.index for c in copies if (c.disk, str(c.number)) == (disk, number)),
                         None)
    return out


class Layout:
    """The disks, their partitions and the boot map of a simulated device.

    Layout data (a dict, or a JSON file with the same keys):
      bmap_dev, bmap, bmap_seq  boot map tokens of the first kernel command line
      devices                   {disk name: {"partitions": {number: size in MiB}}}
                                optional; derived from the boot map when absent
                                (ext4 copies 16 MiB, other copies 8 MiB)
      hw                        optional default hardware tag
    Partitions are laid out in increasing number order from 1 MiB, each MiB-aligned.
    """

    def __init__(self, data=None):
        if data is None:
            data = DEFAULT_LAYOUT
        elif isinstance(data, (str, os.PathLike)):
            with open(data) as f:
                data = json.load(f)
        self.data = json.loads(json.dumps(data))
        self.bmap_tokens = {k: self.data[k] for k in BOOTMAP_KEYS if self.data.get(k) is not None}
        self.hw = self.data.get("hw")
        self.regions = _parse_bmap(self.data.get("bmap_dev"), self.data.get("bmap"))
        sizes = {}
        if "devices" in self.data:
            for disk, desc in self.data["devices"].items():
                sizes[disk] = {int(n): float(s) for n, s in desc.get("partitions", {}).items()}
        else:
            for copies in self.regions.values():
                for c in copies:
                    mib = DEFAULT_EXT4_MIB if c.fs == "ext4" else DEFAULT_RAW_MIB
                    sizes.setdefault(c.disk, {}).setdefault(c.number, mib)
        sizes.setdefault(MAIN_DEVICE, {})
        self.disks = {}
        for disk, parts in sizes.items():
            if "/" in disk or not disk:
                raise DevsimError(f"bad disk name {disk!r}")
            offset = FIRST_PARTITION_MIB * MIB
            table = {}
            for number in sorted(parts):
                size = int(parts[number] * MIB) // 512 * 512
                if number < 1 or size <= 0:
                    raise DevsimError(f"bad partition {disk}p{number}")
                table[number] = Partition(number, offset, size)
                offset += (size + MIB - 1) // MIB * MIB
            self.disks[disk] = Disk(disk, table, offset + MIB)

    def copy(self, region, index):
        copies = self.regions.get(region)
        if not copies:
            raise DevsimError(f"no region {region!r} in the boot map")
        if not 0 <= index < len(copies):
            raise DevsimError(f"region {region!r} has no copy #{index}")
        return copies[index]

    def partition(self, disk, number):
        try:
            return self.disks[disk].partitions[number]
        except KeyError:
            raise DevsimError(f"no partition {disk}p{number} in the layout") from None
