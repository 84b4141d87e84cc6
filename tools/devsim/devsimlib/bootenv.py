"""The boot environment block: CRC-protected key=value entries at 0xC0000 of the eMMC."""

import zlib

from devsimlib.errors import DevsimError


# Boot environment block: fixed place and size on the whole eMMC device.
# Boot environment block: fixed place and size on the whole eMMC device.
BOOTENV_OFFSET = 0xC0000
BOOTENV_SIZE = 8192
BOOTENV_AREA = BOOTENV_SIZE - 4


class BootEnvBlock:
    """Parsed boot environment block: CRC validity and the entries in their order."""

    def __init__(self, valid, entries, stored_crc, computed_crc):
        self.valid = valid
        self.entries = entries
        self.stored_crc = stored_crc
        self.computed_crc = computed_crc

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


def encode_bootenv(entries=None, corrupt=False):
    """Returns the 8192 bytes of a block holding entries (dict or (key, value) pairs).

    corrupt=True stores a deliberately wrong CRC. Raises DevsimError when the entries do not
    fit the entry area.
    """
    area = bytearray()
    for key, value in _env_items(entries):
        entry = f"{key}={value}".encode()
        if b"\0" in entry:
            raise DevsimError(f"boot environment entry {key!r} holds a NUL byte")
        area += entry + b"\0"
    if len(area) + 1 > BOOTENV_AREA:
        raise DevsimError("boot environment entries do not fit the block")
    area += bytes(BOOTENV_AREA - len(area))
    crc = zlib.crc32(bytes(area)) & 0xFFFFFFFF
    if corrupt:
        crc ^= 0xA5A5A5A5
    return crc.to_bytes(4, "little") + bytes(area)


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


def decode_bootenv(block):
    """Parses a block as the product reads it: CRC check, then entries up to the empty one."""
    block = bytes(block)
    if len(block) != BOOTENV_SIZE:
        raise DevsimError(f"boot environment block must be {BOOTENV_SIZE} bytes")
    stored = int.from_bytes(block[:4], "little")
    computed = zlib.crc32(block[4:]) & 0xFFFFFFFF
    entries = []
    pos = 4
    while pos < BOOTENV_SIZE:
        end = block.find(b"\0", pos)
        if end < 0:
            end = BOOTENV_SIZE
        raw = block[pos:end]
        if not raw:
            break
        text = raw.decode("utf-8", "replace")
        key, sep, value = text.partition("=")
        entries.append((key, value) if sep else (text, None))
        pos = end + 1
    return BootEnvBlock(stored == computed, entries, stored, computed)
