"""VIF images checked from their bytes, without the product: header fields, the CRC-32 of the
header's integrity stream, the CRC-32 of the contents, and what an installed copy holds.

A raw or androidboot copy holds the 1024-byte header followed by the contents; an ext4 copy
holds the file system alone, with the header as the text file "%vif-info%" in its root (read
here with debugfs and checked with e2fsck, without mounting).
"""

import contextlib

import re
import subprocess
import tempfile
import zlib

HEADER_SIZE = 1024
MAGIC = b"KESTRVIF"
HDR_TYPES = (0xA1, 0xA2)
HDR_CAP_COMPRESSED = 0x4
U32, STRING, BINARY = "u32", "string", "binary"

# The field table in its order (the order of the integrity stream): name, offset, type,
# size (binary: exact, string: slot), left out of the integrity stream.
FIELDS = (
    ("magic", 0x000, BINARY, 8, False), ("hdr_type", 0x008, U32, 0, False),
    ("hdr_version", 0x00C, U32, 0, False), ("hdr_cap", 0x010, U32, 0, False),
    ("hdr_size", 0x014, U32, 0, False), ("hdr_checksum", 0x018, U32, 0, True),
    ("hdr_crc32", 0x01C, U32, 0, True), ("hdr_sha1", 0x020, BINARY, 20, True),
    ("alias", 0x040, STRING, 16, False), ("timestamp", 0x050, U32, 0, False),
    ("tag_setup", 0x054, U32, 0, False), ("req_hw", 0x074, STRING, 64, False),
    ("req_sw0", 0x0B4, STRING, 64, False), ("req_sw1", 0x0F4, STRING, 64, False),
    ("req_sw2", 0x134, STRING, 64, False), ("req_sw3", 0x174, STRING, 64, False),
    ("req_sw4", 0x1B4, STRING, 64, False), ("version", 0x200, STRING, 16, False),
    ("contents_off", 0x1F4, U32, 0, False), ("contents_size", 0x1F8, U32, 0, False),
    ("contents_type", 0x1FC, U32, 0, False), ("contents_checksum", 0x210, U32, 0, True),
    ("contents_crc32", 0x214, U32, 0, True), ("contents_sha1", 0x218, BINARY, 20, True),
)


def binary_fields(header):
    """Field values of a binary header: int, bytes (string without its NUL) or bytes."""
    out = {}
    for name, off, kind, size, _ in FIELDS:
        if kind == U32:
            out[name] = int.from_bytes(header[off:off + 4], "little")
        elif kind == BINARY:
            out[name] = bytes(header[off:off + size])
        else:
            out[name] = bytes(header[off:off + size]).split(b"\0", 1)[0]
    return out


def text_fields(text):
    """Field values of the text form, parsed as the producer writes it; a binary value that is
    absent or malformed is None."""
    out = {}
    for name, _, kind, size, _ in FIELDS:
        at = text.find(f".${name}$=".encode())
        value = text[at + len(name) + 4:] if at >= 0 else b""
        if kind == U32:
            m = re.match(rb"0x([0-9a-fA-F]+)", value)
            out[name] = min(int(m.group(1), 16), 0xFFFFFFFF) if m else 0
        elif kind == STRING:
            m = re.match(rb'"([^"\r\n]*)', value)
            out[name] = m.group(1) if m else b""
        else:
            m = re.match(rb"\s*(\d+),([0-9a-fA-F]*)", value)
            ok = m and int(m.group(1)) == size and len(m.group(2)) >= 2 * size
            out[name] = bytes.fromhex(m.group(2)[:2 * size].decode()) if ok else None
    return out


def integrity_crc(fields):
    """CRC-32 of the header's integrity stream (version 1 rows, in table order)."""
    crc = 0
    for name, _, kind, _, left_out in FIELDS:
        value = fields.get(name)
        if left_out or value is None:
            continue
        crc = zlib.crc32(value.to_bytes(4, "little") if kind == U32 else value, crc)
    return crc & 0xFFFFFFFF


def header_problems(fields):
    """What is wrong with a header's fields: magic, type, size, version, header CRC-32."""
    problems = []
    if fields["magic"] != MAGIC:
        problems.append(f"magic {fields['magic']!r}")
    if fields["hdr_type"] not in HDR_TYPES:
        problems.append(f"hdr_type {fields['hdr_type']:#x}")
    if fields["hdr_size"] > HEADER_SIZE or fields["hdr_version"] != 1:
        problems.append(f"hdr_size {fields['hdr_size']:#x} hdr_version {fields['hdr_version']}")
    if integrity_crc(fields) != fields["hdr_crc32"]:
        problems.append(f"hdr_crc32 {fields['hdr_crc32']:#010x}, stream gives "
                        f"{integrity_crc(fields):#010x}")
    return problems


def image_parts(image):
    """(header fields, contents as installed) of a VIF file's bytes: compressed contents
    inflated, as the install writes them."""
    fields = binary_fields(image[:HEADER_SIZE])
    off, size = fields["contents_off"], fields["contents_size"]
    contents = image[off:off + size]
    if fields["hdr_cap"] & HDR_CAP_COMPRESSED:
        contents = zlib.decompress(contents)
    return fields, contents


@contextlib.contextmanager
def _ext4_file(data):
    with tempfile.NamedTemporaryFile(prefix="vif-ext4-") as f:
        f.write(data)
        f.flush()
        yield f.name


def _debugfs(image, request):
    """What debugfs prints for one request, or None when it complains (its banner aside)."""
    r = subprocess.run(["debugfs", "-R", request, image], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE)
    complaints = [x for x in r.stderr.splitlines() if x.strip() and not x.startswith(b"debugfs ")]
    return None if r.returncode != 0 or complaints else r.stdout


def _cat(image, path):
    """The bytes of a file of an ext4 image, or None when it is not there."""
    return _debugfs(image, f"cat {path}")


def _root_files(image):
    """Names of the regular files in the root directory of an ext4 image."""
    listed = (_debugfs(image, "ls -p /") or b"").decode(errors="replace")
    rows = [line.strip().split("/") for line in listed.splitlines()]
    return [r[5] for r in rows if len(r) >= 7 and r[2].startswith("10")]


def ext4_info(data):
    """The bytes of "%vif-info%" in an ext4 file system image, or None."""
    with _ext4_file(data) as image:
        info = _cat(image, "/%vif-info%")
    return info or None


def setup_copy_problems(data, image, added):
    """What is wrong with an ext4 copy of image (the bytes of a VIF file) after its setup
    script ran there, which changed the file system since the install, so that its bytes no
    longer equal the image's. What can still be compared: the header's text form must be
    the image's own, byte for byte, and verify; every file in the root of the image's file
    system must be there unchanged, and so must the files the script adds (added: name ->
    bytes); and e2fsck must find the file system clean."""
    _, contents = image_parts(image)
    with _ext4_file(contents) as source, _ext4_file(data) as copy:
        info = _cat(copy, "/%vif-info%")
        if not info:
            return ["no %vif-info% in the file system"]
        problems = header_problems(text_fields(info))
        if info != _cat(source, "/%vif-info%"):
            problems.append("header text of another image")
        want = {name: _cat(source, "/" + name) for name in _root_files(source)}
        want.update(added)
        problems += [f"{name} differs from the image's" if name not in added else
                     f"{name} not as the setup script leaves it"
                     for name, value in want.items() if _cat(copy, "/" + name) != value]
        r = subprocess.run(["e2fsck", "-f", "-n", copy], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
        if r.returncode != 0:
            problems.append(f"e2fsck: {r.stdout.decode(errors='replace')[-200:]!r}")
    return problems


def copy_problems(data, fs, image=None):
    """What is wrong with the bytes of a copy of file-system type fs (raw, androidboot or
    ext4): its header must verify and, raw, its contents too; with image (the bytes of a VIF
    file) the copy must hold exactly that image as installed."""
    if fs == "ext4":
        info = ext4_info(data)
        if info is None:
            return ["no %vif-info% in the file system"]
        fields = text_fields(info)
        problems = header_problems(fields)
        if image is not None:
            want, contents = image_parts(image)
            # The header of compressed contents cannot be the one inside them: there the
            # contents themselves are compared.
            compressed = want["hdr_cap"] & HDR_CAP_COMPRESSED
            if not compressed and fields["hdr_crc32"] != want["hdr_crc32"]:
                problems.append("header of another image")
            if data[:len(contents)] != contents:
                problems.append("contents differ from the image")
        return problems
    fields = binary_fields(data[:HEADER_SIZE])
    problems = header_problems(fields)
    if problems:
        return problems
    if image is not None:
        want, contents = image_parts(image)
        if data[:HEADER_SIZE] != image[:HEADER_SIZE]:
            problems.append("header of another image")
        if data[HEADER_SIZE:HEADER_SIZE + len(contents)] != contents:
            problems.append("contents differ from the image")
    elif not fields["hdr_cap"] & HDR_CAP_COMPRESSED:
        contents = data[HEADER_SIZE:HEADER_SIZE + fields["contents_size"]]
        if zlib.crc32(contents) & 0xFFFFFFFF != fields["contents_crc32"]:
            problems.append("contents_crc32 does not match the contents")
    return problems


def read_image(path):
    """The bytes of an image file."""
    with open(path, "rb") as f:
        return f.read()
