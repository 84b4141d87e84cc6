"""The boot environment: CRC-protected key=value entries, in one 8 KiB block at 0xC0000 of the
eMMC, or where the device's /etc/fw_env.config puts it, in one copy or two (redundant: each
copy CRC-32 | flags byte | entries, the valid copy with the newer flags serial in effect)."""

import collections
import zlib

from devsimlib.errors import DevsimError


# Boot environment block without a configuration: fixed place and size on the whole eMMC.
BOOTENV_OFFSET = 0xC0000
BOOTENV_SIZE = 8192
BOOTENV_AREA = BOOTENV_SIZE - 4
BOOTENV_NODE = "/dev/block/mmcblk0"
ENV_CONFIG = "fw_env.config"  # in the device's /etc


# One copy of the environment on a device: its node and offset there (as fw_env.config names
# them, the offset from the start), the disk file and offset it lies at, and its size.
EnvPlace = collections.namedtuple("EnvPlace", "node offset disk disk_offset size")


class BootEnvBlock:
    """Parsed boot environment block: CRC validity and the entries in their order; flags is
    the serial of a redundant copy (None for a single one), copy its index in the layout."""

    def __init__(self, valid, entries, stored_crc, computed_crc, flags=None, copy=0):
        self.valid = valid
        self.entries = entries
        self.stored_crc = stored_crc
        self.computed_crc = computed_crc
        self.flags = flags
        self.copy = copy

    def get(self, key, default=None):
        """First value of key, as the product's lookup finds it; default when absent."""
        for k, v in self.entries:
            if k == key:
                return v
        return default

    def as_dict(self):
        out = {}
        for k, v in self.entries:
            out.setdefault(k, v)
        return out

    def __repr__(self):
        return f"BootEnvBlock(valid={self.valid}, entries={self.entries!r})"


def _env_items(entries):
    if entries is None:
        return []
    if isinstance(entries, dict):
        return list(entries.items())
    return [tuple(e) for e in entries]


def encode_bootenv(entries=None, corrupt=False, size=BOOTENV_SIZE, flags=None):
    """Returns the size bytes of a block holding entries (dict or (key, value) pairs); with
    flags (0..255) a redundant copy with that serial.

    corrupt=True stores a deliberately wrong CRC. Raises DevsimError when the entries do not
    fit the entry area.
    """
    head = bytes([flags & 0xFF]) if flags is not None else b""
    room = size - 4 - len(head)
    area = bytearray()
    for key, value in _env_items(entries):
        entry = f"{key}={value}".encode()
        if b"\0" in entry:
            raise DevsimError(f"boot environment entry {key!r} holds a NUL byte")
        area += entry + b"\0"
    if len(area) + 1 > room:
        raise DevsimError("boot environment entries do not fit the block")
    area += bytes(room - len(area))
    crc = zlib.crc32(bytes(area)) & 0xFFFFFFFF
    if corrupt:
        crc ^= 0xA5A5A5A5
    return crc.to_bytes(4, "little") + head + bytes(area)


def set_entry(entries, key, value):
    """Entries with key set as the product's store does it: every entry of the key replaced in
    place, a new key appended, an empty or None value deleting the key."""
    out = []
    found = False
    for k, v in _env_items(entries):
        if k == key:
            found = True
            if value:
                out.append((k, value))
        else:
            out.append((k, v))
    if value and not found:
        out.append((key, value))
    return out


def decode_bootenv(block, redundant=False, copy=0):
    """Parses a block as the product reads it: CRC check, then entries up to the empty one."""
    block = bytes(block)
    head = 5 if redundant else 4
    if len(block) <= head:
        raise DevsimError("boot environment block too short")
    stored = int.from_bytes(block[:4], "little")
    computed = zlib.crc32(block[head:]) & 0xFFFFFFFF
    entries = []
    pos = head
    while pos < len(block):
        end = block.find(b"\0", pos)
        if end < 0:
            end = len(block)
        raw = block[pos:end]
        if not raw:
            break
        text = raw.decode("utf-8", "replace")
        key, sep, value = text.partition("=")
        entries.append((key, value) if sep else (text, None))
        pos = end + 1
    return BootEnvBlock(stored == computed, entries, stored, computed,
                        block[4] if redundant else None, copy)


def in_effect(blocks):
    """The copy in effect of a redundant environment's two decoded copies: the valid one, of
    two the one with the newer serial (0 after 255; the first when equal); the first copy when
    neither is valid."""
    a, b = blocks
    if not (a.valid and b.valid):
        return b if b.valid else a
    if (a.flags, b.flags) == (255, 0):
        return b
    if (a.flags, b.flags) == (0, 255):
        return a
    return b if b.flags > a.flags else a


def _c_integer(text):
    """An offset as the boot loader's tools read it: sign, then 0x hex, leading 0 octal or
    decimal."""
    sign, digits = (-1 if text[0] == "-" else 1, text[1:]) if text[0] in "+-" else (1, text)
    if digits[:2].lower() == "0x":
        return sign * int(digits[2:], 16)
    return sign * int(digits, 8 if len(digits) > 1 and digits[0] == "0" else 10)


def _hex(text):
    return int(text[2:] if text[:2].lower() == "0x" else text, 16)


def parse_env_config(text):
    """The copies of an fw_env.config text: [(device path, offset, size)], offset negative
    from the end of the device. Raises DevsimError (with the line) for what the product
    refuses: not 3 to 5 columns, numbers that do not read, unequal sizes, more than two
    copies, none at all."""
    out = []
    lines = text.splitlines()
    for number, line in enumerate(lines, 1):
        cols = line.split()
        if not cols or cols[0].startswith("#"):
            continue
        try:
            if not 3 <= len(cols) <= 5 or not cols[0].startswith("/") or len(out) == 2:
                raise ValueError(line)
            place = (cols[0], _c_integer(cols[1]), _hex(cols[2]))
            [_hex(c) for c in cols[3:]]
        except ValueError:
            raise DevsimError(f"fw_env.config line {number}: {line!r}") from None
        if out and place[2] != out[0][2]:
            raise DevsimError(f"fw_env.config line {number}: copies of different sizes")
        out.append(place)
    if not out:
        raise DevsimError("fw_env.config holds no copy")
    return out
