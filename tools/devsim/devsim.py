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
"""

import contextlib
import ctypes
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import zlib

MODULE_PATH = os.path.abspath(__file__)

# Boot environment block: fixed place and size on the whole eMMC device.
BOOTENV_OFFSET = 0xC0000
BOOTENV_SIZE = 8192
BOOTENV_AREA = BOOTENV_SIZE - 4

MIB = 1024 * 1024
FIRST_PARTITION_MIB = 1  # partitions start past the boot environment block
DEFAULT_EXT4_MIB = 16
DEFAULT_RAW_MIB = 8

MAIN_DEVICE = "mmcblk0"
KNOWN_FS = ("ext4", "vfat", "raw", "androidboot")
GPIO_DIR = "zt4100-gpio.0"
STUB_TOOLS = ("reboot", "am", "setprop", "start", "stop", "busybox")
BOOTMAP_KEYS = ("bmap_dev", "bmap", "bmap_seq")

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
DEFAULT_MIN_FREE_KBYTES = "8192\n"
DEFAULT_DROP_CACHES = "0\n"

# Result of a boot that the command ended, as the init inside reports it.
RESULT_FILE = "result.json"


class DevsimError(Exception):
    """A request the simulated device cannot carry out (bad layout, unknown copy, ...)."""


# ---------------------------------------------------------------------------------------------
# Boot environment block


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


# ---------------------------------------------------------------------------------------------
# Kernel command line


def cmdline_tokens(text):
    """Splits a kernel command line into (key, value) pairs; value None for a bare token."""
    out = []
    for tok in text.split():
        key, sep, value = tok.partition("=")
        out.append((key, value) if sep else (tok, None))
    return out


def format_cmdline(tokens):
    return " ".join(k if v is None else f"{k}={v}" for k, v in tokens)


def set_cmdline_keys(text, changes):
    """Returns text with each key of changes set in place (appended when new; None removes)."""
    tokens = cmdline_tokens(text)
    for key, value in changes.items():
        hit = [i for i, (k, _) in enumerate(tokens) if k == key]
        if value is None:
            tokens = [t for t in tokens if t[0] != key]
        elif hit:
            tokens[hit[0]] = (key, value)
            tokens = [t for i, t in enumerate(tokens) if t[0] != key or i == hit[0]]
        else:
            tokens.append((key, value))
    return format_cmdline(tokens)


def apply_bmap_value(cmdline, bmap_value):
    """What the boot loader does with a stored "bmap" value: its bmap_dev/bmap/bmap_seq
    tokens replace the boot map keys of the command line; every other token stays."""
    new = [(k, v) for k, v in cmdline_tokens(bmap_value) if k in BOOTMAP_KEYS]
    tokens = cmdline_tokens(cmdline)
    at = next((i for i, (k, _) in enumerate(tokens) if k in BOOTMAP_KEYS), None)
    rest = [t for t in tokens if t[0] not in BOOTMAP_KEYS]
    if at is None:
        at = 1 if rest and rest[0][0] == "console" else 0
    else:
        at = sum(1 for t in tokens[:at] if t[0] not in BOOTMAP_KEYS)
    return format_cmdline(rest[:at] + new + rest[at:])


# ---------------------------------------------------------------------------------------------
# Layout


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


def _parse_bmap(bmap_dev, bmap):
    """Region copies of a boot map, as the boot loader describes them to the product."""
    devices = {}
    for item in (bmap_dev or "").split(","):
        name, sep, path = item.partition(":")
        if sep and name:
            devices[name] = os.path.basename(path)
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


# ---------------------------------------------------------------------------------------------
# Host helpers


def _run(argv, check=True, **kw):
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    if check and r.returncode != 0:
        raise DevsimError(f"{' '.join(argv)} failed ({r.returncode}): {r.stderr.strip()}")
    return r


def loops_of(path):
    """Loop devices currently backed by path (as losetup reports them)."""
    r = _run(["losetup", "-n", "-O", "NAME", "-j", path], check=False)
    return [line.strip() for line in r.stdout.splitlines() if line.strip()]


def _detach_all(files):
    """Detaches every loop device backed by one of files; returns those still attached."""
    import time

    left = []
    for attempt in range(50):
        left = []
        for f in files:
            for loop in loops_of(f):
                _run(["losetup", "-d", loop], check=False)
                left.append(loop)
        if not left:
            return []
        time.sleep(0.1 if attempt < 20 else 0.3)
        left = [loop for f in files for loop in loops_of(f)]
        if not left:
            return []
    return left


_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """preexec: the boot dies (and with it its namespaces) when its owner dies."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class _Janitor:
    """A process in its own session that cleans up after its owner, whatever way it ends.

    It reads a pipe from the owner; when the pipe closes (normal close, exception, SIGKILL of
    the owner) it kills the recorded boot, detaches every loop device backed by the recorded
    disk files and, for a temporary device, removes the state directory.
    """

    def __init__(self, record_path):
        self.record_path = record_path
        read_end, self.write_end = os.pipe()
        os.set_inheritable(read_end, True)
        self.proc = subprocess.Popen(
            [sys.executable, MODULE_PATH, "_janitor", record_path],
            stdin=read_end, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True, close_fds=True)
        os.close(read_end)

    def record(self, **fields):
        tmp = self.record_path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(fields, f)
        os.replace(tmp, self.record_path)

    def release(self):
        if self.write_end is not None:
            os.close(self.write_end)
            self.write_end = None
            self.proc.wait()


def janitor_main(record_path):
    """Body of the janitor process: wait for the owner to go, then undo what it left."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_IGN)
    try:
        while os.read(0, 4096):
            pass
    except OSError:
        pass
    _cleanup_record(record_path)
    return 0


def _cleanup_record(record_path):
    try:
        with open(record_path) as f:
            rec = json.load(f)
    except (OSError, ValueError):
        return
    pid = rec.get("boot_pid")
    if pid:
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if rec.get("boot_tag", "").encode() in f.read():
                    os.kill(pid, signal.SIGKILL)
    _detach_all(rec.get("files", []))
    if rec.get("remove_dir"):
        shutil.rmtree(rec["remove_dir"], ignore_errors=True)
    else:
        with contextlib.suppress(OSError):
            os.unlink(record_path)


# ---------------------------------------------------------------------------------------------
# Boot result


class BootResult:
    """How one boot ended.

    returncode: exit status of the command (negative signal number when a signal ended it);
                None when the boot ended by a reboot, a power-off or the timeout.
    rebooted:   the device restarted (reboot stub or reboot(2) inside)
    powered_off: the device halted or powered off (reboot(2) with a halt request)
    timed_out:  the boot was cut off by the timeout
    stdout, stderr: text (UTF-8, invalid bytes replaced); stdout_bytes, stderr_bytes: raw
    cmdline:    the kernel command line the boot ran with
    """

    def __init__(self, **kw):
        self.returncode = None
        self.rebooted = False
        self.powered_off = False
        self.timed_out = False
        self.stdout_bytes = b""
        self.stderr_bytes = b""
        self.cmdline = ""
        self.__dict__.update(kw)

    @property
    def stdout(self):
        return self.stdout_bytes.decode("utf-8", "replace")

    @property
    def stderr(self):
        return self.stderr_bytes.decode("utf-8", "replace")

    @property
    def ending(self):
        if self.rebooted:
            return "reboot"
        if self.powered_off:
            return "power-off"
        if self.timed_out:
            return "timeout"
        if self.returncode is not None and self.returncode < 0:
            return f"signal {-self.returncode}"
        return f"exit {self.returncode}"

    def __repr__(self):
        return (f"BootResult({self.ending}, stdout={self.stdout!r}, stderr={self.stderr!r})")


# ---------------------------------------------------------------------------------------------
# The device


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


class Device:
    """A simulated device: disks, boot environment, kernel command line, recorded calls.

    Device(layout=None, env=None, hw="zt4100.1.0", cmdline=None, netifs=(), meminfo=None,
           watchdog=False, bootenv_corrupt=False, state_dir=None)

      layout    None (the default board), a dict or the path of a JSON layout file
      env       initial boot environment entries (dict or (key, value) pairs)
      hw        hardware tag for "vorn.hw"; None leaves the token out
      cmdline   {key: value} changes of the first kernel command line (None removes a key),
                or a full command line text
      netifs    dummy interfaces made at every boot, "name" or "name=MAC"
      meminfo   text bound over /proc/meminfo (None: the real one)
      watchdog  True makes /dev/watchdog (a regular file) at every boot
      bootenv_corrupt  store the initial block with a wrong CRC
      state_dir None: a temporary device removed on close; a path: a persistent device in
                that directory (created when it holds none, reopened otherwise)
    """

    def __init__(self, layout=None, env=None, hw=DEFAULT_HW, cmdline=None, netifs=(),
                 meminfo=None, watchdog=False, bootenv_corrupt=False, state_dir=None):
        self._janitor = None
        self._boot = None
        self._lock_fd = None
        self.temporary = state_dir is None
        if self.temporary:
            root = os.environ.get("DEVSIM_TMPDIR") or None
            self.dir = tempfile.mkdtemp(prefix="devsim-", dir=root)
        else:
            self.dir = os.path.abspath(state_dir)
            os.makedirs(self.dir, exist_ok=True)
        try:
            self._janitor = _Janitor(os.path.join(self.dir, f"janitor-{os.getpid()}.json"))
            self._record()
            if os.path.exists(self._path("device.json")):
                self._load()
            else:
                self._create(layout, env, hw, cmdline, netifs, meminfo, watchdog,
                             bootenv_corrupt)
        except BaseException:
            self.close()
            raise

    # -- life cycle ---------------------------------------------------------------------------

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Detaches everything; removes a temporary device's files. Idempotent."""
        if self._boot is not None:
            with contextlib.suppress(DevsimError):
                self._boot.stop()
        if self._janitor is not None:
            self._janitor.release()
            self._janitor = None
        if self.temporary:
            shutil.rmtree(self.dir, ignore_errors=True)

    def destroy(self):
        """Closes the device and removes its state directory, also a persistent one."""
        self.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def _record(self, booting=False, boot_pid=None):
        """Tells the janitor what to undo if this process dies now: the loop devices of the
        disk files while a boot runs (also before they are attached), the boot itself, and
        a temporary device's directory."""
        self._janitor.record(files=self._disk_files() if booting or boot_pid else [],
                             boot_pid=boot_pid, boot_tag=self.dir,
                             remove_dir=self.dir if self.temporary else None)

    def _lock(self):
        """One boot at a time per device, also across processes (persistent devices)."""
        import fcntl

        fd = os.open(self._path("boot.lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            raise DevsimError("the device is already running a boot") from None
        self._lock_fd = fd

    def _unlock(self):
        if self._lock_fd is not None:
            os.close(self._lock_fd)
            self._lock_fd = None

    def _path(self, *parts):
        return os.path.join(self.dir, *parts)

    def _create(self, layout, env, hw, cmdline, netifs, meminfo, watchdog, corrupt):
        self.layout = Layout(layout)
        if hw == DEFAULT_HW and self.layout.hw is not None:
            hw = self.layout.hw
        tokens = [("console", "ttyS0")] + list(self.layout.bmap_tokens.items())
        if hw is not None:
            tokens.append(("vorn.hw", hw))
        text = format_cmdline(tokens)
        if isinstance(cmdline, str):
            text = cmdline
        elif cmdline:
            text = set_cmdline_keys(text, cmdline)
        self.config = {
            "layout": self.layout.data,
            "netifs": list(netifs),
            "meminfo": meminfo,
            "watchdog": bool(watchdog),
        }
        os.makedirs(self._path("disks"))
        for disk in self.layout.disks.values():
            with open(self._disk_file(disk.name), "wb") as f:
                f.truncate(disk.size)
        self.write_bootenv(encode_bootenv(env, corrupt))
        self.set_cmdline(text)
        self._make_stubs()
        with open(self._path("calls.log"), "w"):
            pass
        self._save()

    def _load(self):
        with open(self._path("device.json")) as f:
            self.config = json.load(f)
        self.layout = Layout(self.config["layout"])
        self._make_stubs()

    def _save(self):
        with open(self._path("device.json"), "w") as f:
            json.dump(self.config, f, indent=1)

    def _make_stubs(self):
        stubs = self._path("stubs")
        os.makedirs(stubs, exist_ok=True)
        log = self._path("calls.log")
        for name in STUB_TOOLS:
            if name == "reboot":
                text = _REBOOT_STUB.format(python=sys.executable, log=log, tag=self.dir,
                                           host_pidns=os.stat("/proc/self/ns/pid").st_ino)
            else:
                text = _STUB_SCRIPT.format(name=name, log=shlex.quote(log))
            path = os.path.join(stubs, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        # The device's own helpers (init's service sockets, a socket client): devsim itself.
        bin_dir = self._path("bin")
        os.makedirs(bin_dir, exist_ok=True)
        path = os.path.join(bin_dir, "devsim")
        with open(path, "w") as f:
            f.write(f"#!/bin/sh\nexec {shlex.quote(sys.executable)} "
                    f"{shlex.quote(MODULE_PATH)} \"$@\"\n")
        os.chmod(path, 0o755)

    def _disk_file(self, disk):
        return self._path("disks", f"{disk}.img")

    def _disk_files(self):
        return [self._disk_file(d) for d in self.layout.disks]

    # -- settings between boots ---------------------------------------------------------------

    def set_option(self, **kw):
        """Changes boot options for later boots: netifs, meminfo, watchdog."""
        for key, value in kw.items():
            if key not in ("netifs", "meminfo", "watchdog"):
                raise DevsimError(f"unknown boot option {key!r}")
            self.config[key] = list(value) if key == "netifs" else value
        self._save()

    def cmdline(self):
        """The kernel command line of the next boot (without the line end)."""
        with open(self._path("cmdline")) as f:
            return f.read().rstrip("\n")

    def set_cmdline(self, text=None, **keys):
        """Sets the next boot's command line: a whole text, and/or keys (None removes one).

        Keys with dots are given as a dict: set_cmdline(None, **{"vorn.hw": "x"}).
        """
        if text is None:
            text = self.cmdline()
        if keys:
            text = set_cmdline_keys(text, keys)
        with open(self._path("cmdline"), "w") as f:
            f.write(text + "\n")

    def boot_loader(self):
        """One pass of the boot loader: applies a stored "bmap" value to the command line.

        Returns the new command line. A block with a bad CRC or without "bmap" changes nothing.
        """
        env = self.bootenv()
        value = env.get("bmap") if env.valid else None
        if value:
            self.set_cmdline(apply_bmap_value(self.cmdline(), value))
        return self.cmdline()

    def calls(self):
        """Recorded stub calls, one "name arg..." line each, oldest first."""
        with open(self._path("calls.log")) as f:
            return f.read().splitlines()

    def clear_calls(self):
        with open(self._path("calls.log"), "w"):
            pass

    def state_file(self, name):
        """Host path of a device-side file: "min_free_kbytes", "drop_caches", "meminfo",
        "watchdog", "gpio" (the board's GPIO directory) or "calls.log"."""
        where = {"min_free_kbytes": "proc/min_free_kbytes", "drop_caches": "proc/drop_caches",
                 "meminfo": "proc/meminfo", "watchdog": "dev/watchdog",
                 "gpio": f"platform/{GPIO_DIR}", "calls.log": "calls.log"}
        return self._path(where[name])

    def read_state(self, name):
        """Text of a state file (see state_file); None when it does not exist."""
        try:
            with open(self.state_file(name)) as f:
                return f.read()
        except FileNotFoundError:
            return None

    def gpio(self, name):
        """Text last written to the GPIO file name during the last boot, or None."""
        try:
            with open(os.path.join(self.state_file("gpio"), name)) as f:
                return f.read()
        except FileNotFoundError:
            return None

    # -- disks from the host ------------------------------------------------------------------

    def copy(self, region, index):
        """The Copy (disk, partition number, fs) of region at index."""
        return self.layout.copy(region, index)

    def _window(self, region, index):
        c = self.layout.copy(region, index)
        part = self.layout.partition(c.disk, c.number)
        return self._disk_file(c.disk), part

    def read_copy(self, region, index, offset=0, length=None):
        """Bytes of a copy's partition from the host."""
        path, part = self._window(region, index)
        if length is None:
            length = part.size - offset
        if offset < 0 or offset + length > part.size:
            raise DevsimError("read outside the partition")
        with open(path, "rb") as f:
            f.seek(part.offset + offset)
            return f.read(length)

    def write_copy(self, region, index, offset, data):
        """Writes bytes into a copy's partition from the host."""
        path, part = self._window(region, index)
        if offset < 0 or offset + len(data) > part.size:
            raise DevsimError("write outside the partition")
        with open(path, "r+b") as f:
            f.seek(part.offset + offset)
            f.write(data)

    def put_raw(self, region, index, image):
        """Writes an image file's bytes at the start of a copy (raw or androidboot copies)."""
        with open(image, "rb") as f:
            data = f.read()
        self.write_copy(region, index, 0, data)

    def zero_copy(self, region, index):
        path, part = self._window(region, index)
        with open(path, "r+b") as f:
            f.seek(part.offset)
            left = part.size
            while left:
                n = min(left, MIB)
                f.write(bytes(n))
                left -= n

    def put_ext4_image(self, region, index, image):
        """Copies a ready-made ext4 image into a copy (the rest of the copy is zeroed)."""
        path, part = self._window(region, index)
        if os.path.getsize(image) > part.size:
            raise DevsimError(f"{image} is larger than {region}#{index}")
        self.zero_copy(region, index)
        self.put_raw(region, index, image)

    def put_ext4_dir(self, region, index, directory=None, label=None):
        """Builds an ext4 file system from directory (empty when None) into a copy."""
        _, part = self._window(region, index)
        with tempfile.TemporaryDirectory(prefix="devsim-fs-", dir=self.dir) as tmp:
            image = os.path.join(tmp, "fs.img")
            with open(image, "wb") as f:
                f.truncate(part.size)
            argv = ["mke2fs", "-q", "-F", "-t", "ext4", "-E", "root_owner=0:0"]
            if label:
                argv += ["-L", label]
            if directory is not None:
                argv += ["-d", directory]
            _run(argv + [image, f"{part.size // 1024}k"])
            self.put_ext4_image(region, index, image)

    def read_device(self, disk, offset, length):
        """Bytes of a whole disk (e.g. "mmcblk0") from the host."""
        with open(self._disk_file(disk), "rb") as f:
            f.seek(offset)
            return f.read(length)

    def write_device(self, disk, offset, data):
        with open(self._disk_file(disk), "r+b") as f:
            f.seek(offset)
            f.write(data)

    def bootenv_raw(self):
        return self.read_device(MAIN_DEVICE, BOOTENV_OFFSET, BOOTENV_SIZE)

    def write_bootenv(self, block):
        """Stores 8192 raw bytes as the boot environment block."""
        if len(block) != BOOTENV_SIZE:
            raise DevsimError(f"boot environment block must be {BOOTENV_SIZE} bytes")
        self.write_device(MAIN_DEVICE, BOOTENV_OFFSET, block)

    def bootenv(self):
        """The boot environment block as the product would parse it (BootEnvBlock)."""
        return decode_bootenv(self.bootenv_raw())

    def set_bootenv(self, entries=None, corrupt=False):
        """Rewrites the whole block with entries (dict or pairs); corrupt stores a bad CRC."""
        self.write_bootenv(encode_bootenv(entries, corrupt))

    # -- boots --------------------------------------------------------------------------------

    def run(self, command, timeout=60, input=None, env=None, cwd=None, stdin=None,
            capture=True, boot_loader=True):
        """Boots the device once and runs command in it; returns a BootResult.

        command is an argv list or a shell string (run by sh -c). The boot ends when the
        command exits (every other process of the device is killed then), when something
        reboots the device, or after timeout seconds (None: no limit). input: bytes or text
        for the command's standard input (default: /dev/null); env: extra environment
        variables. capture=False lets the command use this process's standard streams.
        After a reboot the boot loader applies a stored "bmap" (boot_loader=False skips it).
        """
        if isinstance(input, str):
            input = input.encode()
        pipe = subprocess.PIPE if capture else None
        if input is not None:
            stdin = subprocess.PIPE
        elif stdin is None:
            stdin = subprocess.DEVNULL if capture else None
        boot = self._start(command, env, cwd, stdin, pipe, pipe, boot_loader)
        return boot._finish(timeout, input)

    def start(self, command, env=None, cwd=None, boot_loader=True):
        """Boots the device in the background; returns a Boot to talk to it and wait for it.

        The command's output goes to files read by Boot.wait(); standard input is /dev/null.
        """
        out = tempfile.TemporaryFile(dir=self.dir)
        err = tempfile.TemporaryFile(dir=self.dir)
        try:
            boot = self._start(command, env, cwd, subprocess.DEVNULL, out, err, boot_loader)
        except BaseException:
            out.close()
            err.close()
            raise
        boot._files = (out, err)
        return boot

    def _start(self, command, env, cwd, stdin, stdout, stderr, boot_loader):
        if self._janitor is None:
            raise DevsimError("the device is closed")
        if self._boot is not None:
            raise DevsimError("the device is already running a boot")
        if isinstance(command, str):
            command = ["sh", "-c", command]
        self._lock()
        proc = None
        try:
            self._record(booting=True)
            boot_dir = self._path("boot")
            shutil.rmtree(boot_dir, ignore_errors=True)
            os.makedirs(boot_dir)
            self._reset_volatile()
            nodes = {}
            for name, disk in self.layout.disks.items():
                f = self._disk_file(name)
                windows = [(name, [])] + [
                    (f"{name}p{n}", ["-o", str(p.offset), "--sizelimit", str(p.size)])
                    for n, p in disk.partitions.items()]
                for node, window in windows:
                    loop = _run(["losetup", "-f", "--show", *window, f]).stdout.strip()
                    st = os.stat(loop)
                    nodes[node] = [os.major(st.st_rdev), os.minor(st.st_rdev)]
            path_env = os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin")
            boot_env = dict(os.environ)
            boot_env.update(env or {})
            boot_env["PATH"] = f"{self._path('stubs')}:{self._path('bin')}:{path_env}"
            cfg = {
                "state": self.dir,
                "nodes": nodes,
                "netifs": self.config.get("netifs", []),
                "meminfo": self.config.get("meminfo") is not None,
                "watchdog": self.config.get("watchdog", False),
                "command": list(command),
                "env": boot_env,
                "cwd": cwd or os.getcwd(),
                "result": os.path.join(boot_dir, RESULT_FILE),
                "ready": os.path.join(boot_dir, "ready"),
                # A terminal user gets the host's pseudo-terminals, for job control.
                "pts": stdin is None and sys.stdin.isatty() and os.path.isdir("/dev/pts"),
            }
            cfg_path = os.path.join(boot_dir, "config.json")
            with open(cfg_path, "w") as f:
                json.dump(cfg, f)
            argv = ["unshare", "--mount", "--pid", "--net", "--fork", "--propagation", "private",
                    "--mount-proc", "--kill-child=SIGKILL",
                    sys.executable, MODULE_PATH, "_init", cfg_path, self.dir]
            proc = subprocess.Popen(argv, stdin=stdin, stdout=stdout, stderr=stderr,
                                    preexec_fn=_die_with_parent)
            self._record(boot_pid=proc.pid)
        except BaseException:
            if proc is not None:
                proc.kill()
                proc.wait()
            self._end_boot()
            raise
        self._boot = Boot(self, proc, cfg, self.cmdline(), boot_loader)
        return self._boot

    def _end_boot(self):
        """Detaches the boot's loop devices; raises when one stays attached."""
        self._boot = None
        left = _detach_all(self._disk_files())
        self._record()
        self._unlock()
        if left:
            raise DevsimError(f"loop devices still attached after the boot: {left}")

    def _read_ending(self, rc, result_path, result):
        try:
            with open(result_path) as f:
                ended = json.load(f)
        except (OSError, ValueError):
            ended = None
        if result.timed_out:
            return
        if ended is not None:
            result.returncode = ended["returncode"]
        elif rc == -signal.SIGHUP:
            result.rebooted = True
        elif rc == -signal.SIGINT:
            result.powered_off = True
        else:
            # The init died before it could report (it failed to set the device up).
            result.returncode = rc

    def _reset_volatile(self):
        """What a power cycle resets: kernel settings files, GPIO directory, fake devices."""
        proc = self._path("proc")
        os.makedirs(proc, exist_ok=True)
        with open(os.path.join(proc, "min_free_kbytes"), "w") as f:
            f.write(DEFAULT_MIN_FREE_KBYTES)
        with open(os.path.join(proc, "drop_caches"), "w") as f:
            f.write(DEFAULT_DROP_CACHES)
        meminfo = self.config.get("meminfo")
        if meminfo is not None:
            with open(os.path.join(proc, "meminfo"), "w") as f:
                f.write(meminfo)
        platform = self._path("platform")
        shutil.rmtree(platform, ignore_errors=True)
        os.makedirs(os.path.join(platform, GPIO_DIR))
        dev = self._path("dev")
        shutil.rmtree(dev, ignore_errors=True)
        os.makedirs(dev)
        with open(os.path.join(dev, "watchdog"), "w"):
            pass



class Boot:
    """A running boot of a Device (from Device.start, or inside Device.run).

    exec(command)  runs a further command inside the running device (nsenter), returns a
                   BootResult of that command alone
    path(p)        host path of the device-side path p (e.g. "/dev/socket/vornd")
    wait_socket()  waits until something listens on /dev/socket/vornd (or another socket)
    request(text)  one framed request on the daemon socket, returns the reply text
    wait(timeout)  waits for the boot to end; BootResult of the boot
    stop()         cuts the boot off (as a power loss); BootResult
    """

    def __init__(self, dev, proc, cfg, cmdline, boot_loader):
        self.dev = dev
        self.proc = proc
        self.cfg = cfg
        self.cmdline = cmdline
        self.boot_loader = boot_loader
        self.result = None
        self._files = None

    def _init_pid(self):
        try:
            with open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children") as f:
                children = f.read().split()
        except OSError:
            children = []
        if not children:
            raise DevsimError("the boot is not running")
        return int(children[0])

    def wait_ready(self, timeout=10):
        """Waits until the device is set up and the boot's command has started."""
        import time

        end = time.monotonic() + timeout
        while not os.path.exists(self.cfg["ready"]):
            if self.proc.poll() is not None:
                raise DevsimError("the boot ended before the device was ready")
            if time.monotonic() > end:
                raise DevsimError("the device did not come up")
            time.sleep(0.02)
        return self

    def path(self, device_path):
        self.wait_ready()
        return f"/proc/{self._init_pid()}/root{device_path}"

    def exec(self, command, timeout=30, input=None):
        """Runs command inside the running device; the boot goes on."""
        if isinstance(command, str):
            command = ["sh", "-c", command]
        if isinstance(input, str):
            input = input.encode()
        self.wait_ready()
        argv = ["nsenter", "--target", str(self._init_pid()), "--mount", "--pid", "--net",
                "--wd=" + self.cfg["cwd"], "--", *command]
        r = BootResult(cmdline=self.cmdline)
        try:
            done = subprocess.run(argv, input=input, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, env=self.cfg["env"],
                                  stdin=None if input is not None else subprocess.DEVNULL,
                                  timeout=timeout)
        except subprocess.TimeoutExpired as e:
            r.timed_out = True
            r.stdout_bytes, r.stderr_bytes = e.stdout or b"", e.stderr or b""
            return r
        r.returncode = done.returncode
        r.stdout_bytes, r.stderr_bytes = done.stdout, done.stderr
        return r

    def wait_socket(self, socket="/dev/socket/vornd", timeout=10):
        """Waits until something listens on a socket of the device (True) or timeout (False)."""
        import socket as socketlib
        import time

        end = time.monotonic() + timeout
        while time.monotonic() < end and self.running():
            with socketlib.socket(socketlib.AF_UNIX, socketlib.SOCK_STREAM) as s:
                try:
                    s.connect(self.path(socket))
                    return True
                except OSError:
                    time.sleep(0.05)
        return False

    def request(self, text, socket="/dev/socket/vornd", timeout=10):
        """Sends one request on a socket of the device; returns the reply text."""
        return socket_request(self.path(socket), text, timeout)

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout=None):
        """Waits for the end of the boot (None: no limit); BootResult. On timeout the boot
        is cut off and the result says timed_out."""
        return self._finish(timeout, None)

    def stop(self):
        """Cuts the boot off at once; BootResult (timed_out set)."""
        return self._finish(0, None)

    def _finish(self, timeout, input):
        if self.result is not None:
            return self.result
        timed_out = False
        out = err = b""
        try:
            try:
                out, err = self.proc.communicate(input, timeout=timeout)
            except subprocess.TimeoutExpired:
                timed_out = True
                self.proc.kill()
                out, err = self.proc.communicate()
            if self._files is not None:
                for f in self._files:
                    f.seek(0)
                out, err = (f.read() for f in self._files)
            result = BootResult(stdout_bytes=out or b"", stderr_bytes=err or b"",
                                cmdline=self.cmdline, timed_out=timed_out)
            self.dev._read_ending(self.proc.returncode, self.cfg["result"], result)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            if self._files is not None:
                for f in self._files:
                    f.close()
            self.dev._end_boot()
        if result.rebooted and self.boot_loader:
            self.dev.boot_loader()
        self.result = result
        return result


def frame(text):
    """A request or reply as it travels on the daemon socket: 2-byte LE length, then body."""
    body = text.encode() if isinstance(text, str) else bytes(text)
    return len(body).to_bytes(2, "little") + body


def socket_request(path, text, timeout=10):
    """Connects to a local stream socket, sends one framed request, returns the reply body."""
    import socket as socketlib

    with socketlib.socket(socketlib.AF_UNIX, socketlib.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall(frame(text))
        return _read_frame(s).decode("utf-8", "replace")


def _read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise DevsimError("connection closed before a whole reply arrived")
        data += chunk
    return data


def _read_frame(sock):
    return _read_exact(sock, int.from_bytes(_read_exact(sock, 2), "little"))

# ---------------------------------------------------------------------------------------------
# Inside the device: the init of a boot (PID 1 of the boot's PID namespace)

_MS_RDONLY = 1
_MS_NOSUID = 2
_MS_NODEV = 4
_MS_NOEXEC = 8
_MS_REMOUNT = 32
_MS_BIND = 4096
_MS_REC = 16384


def _mount(source, target, fstype, flags=0, data=None):
    libc = ctypes.CDLL(None, use_errno=True)
    rc = libc.mount(source.encode() if source else None, target.encode(),
                    fstype.encode() if fstype else None, ctypes.c_ulong(flags),
                    data.encode() if data else None)
    if rc != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"mount {source} on {target}: {os.strerror(err)}")


def _bind(source, target, readonly=False):
    _mount(source, target, None, _MS_BIND)
    if readonly:
        _mount(None, target, None, _MS_REMOUNT | _MS_BIND | _MS_RDONLY)


def _setup_device(cfg):
    state = cfg["state"]
    _setup_network(cfg["netifs"])  # before /dev is replaced: a tap needs /dev/net/tun
    # /sys of this network namespace, read-only, with the board's GPIO directory writable.
    _mount("sysfs", "/sys", "sysfs", _MS_RDONLY | _MS_NOSUID | _MS_NODEV | _MS_NOEXEC)
    _bind(os.path.join(state, "platform"), "/sys/devices/platform")
    # A private /dev with only what the board has.
    pts = os.open("/dev/pts", os.O_PATH) if cfg.get("pts") else None
    _mount("tmpfs", "/dev", "tmpfs", _MS_NOSUID, "mode=755,size=16m")
    for name, (major, minor) in (("null", (1, 3)), ("zero", (1, 5)), ("random", (1, 8)),
                                 ("urandom", (1, 9)), ("tty", (5, 0))):
        os.mknod(f"/dev/{name}", 0o666 | 0o020000, os.makedev(major, minor))
    for name in ("stdin", "stdout", "stderr"):
        os.symlink(f"/proc/self/fd/{('stdin', 'stdout', 'stderr').index(name)}", f"/dev/{name}")
    os.symlink("/proc/self/fd", "/dev/fd")
    os.makedirs("/dev/block")
    os.makedirs("/dev/socket")
    if pts is not None:
        os.makedirs("/dev/pts")
        _bind(f"/proc/self/fd/{pts}", "/dev/pts")
        os.close(pts)
        os.symlink("pts/ptmx", "/dev/ptmx")
    for node, (major, minor) in cfg["nodes"].items():
        os.mknod(f"/dev/block/{node}", 0o660 | 0o060000, os.makedev(major, minor))
    if cfg["watchdog"]:
        with open("/dev/watchdog", "w"):
            pass
        _bind(os.path.join(state, "dev", "watchdog"), "/dev/watchdog")
    with open("/dev/.devsim", "w") as f:
        f.write(state + "\n")
    # Kernel command line and kernel settings of the device, not of this machine.
    _bind(os.path.join(state, "cmdline"), "/proc/cmdline", readonly=True)
    _bind("/proc/sys", "/proc/sys", readonly=True)
    for name in ("min_free_kbytes", "drop_caches"):
        _bind(os.path.join(state, "proc", name), f"/proc/sys/vm/{name}")
    if os.path.exists("/proc/sysrq-trigger"):
        _bind("/proc/sysrq-trigger", "/proc/sysrq-trigger", readonly=True)
    if cfg["meminfo"]:
        _bind(os.path.join(state, "proc", "meminfo"), "/proc/meminfo", readonly=True)
def _setup_network(netifs):
    """Loopback and the board's interfaces, in this boot's network namespace only.

    A dummy interface where the kernel has the dummy driver, else a tap interface: both take
    hardware addresses and up/down requests as an Ethernet card does.
    """
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    for spec in netifs:
        name, _, mac = spec.partition("=")
        made = subprocess.run(["ip", "link", "add", name, "type", "dummy"],
                              stderr=subprocess.DEVNULL).returncode == 0
        if not made:
            subprocess.run(["ip", "tuntap", "add", "dev", name, "mode", "tap"], check=True,
                           stdout=subprocess.DEVNULL)
        if mac:
            subprocess.run(["ip", "link", "set", name, "address", mac], check=True)
        subprocess.run(["ip", "link", "set", name, "up"], check=True)


def init_main(cfg_path):
    """PID 1 of a boot: sets the device up, runs the command, reaps, reports, ends the boot."""
    with open(cfg_path) as f:
        cfg = json.load(f)
    for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP, signal.SIGTTOU, signal.SIGTTIN):
        signal.signal(sig, signal.SIG_IGN)
    try:
        _setup_device(cfg)
    except (OSError, subprocess.CalledProcessError) as e:
        sys.stderr.write(f"devsim: device set-up failed: {e}\n")
        return 125
    with open(cfg["ready"], "w"):
        pass
    pid = os.fork()
    if pid == 0:
        try:
            for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP, signal.SIGTTOU,
                        signal.SIGTTIN, signal.SIGPIPE):
                signal.signal(sig, signal.SIG_DFL)
            os.chdir(cfg["cwd"])
            os.execvpe(cfg["command"][0], cfg["command"], cfg["env"])
        except OSError as e:
            sys.stderr.write(f"devsim: cannot run {cfg['command'][0]}: {e.strerror}\n")
            os._exit(127)
    status = None
    while status is None:
        try:
            done, st = os.waitpid(-1, 0)
        except ChildProcessError:
            break
        except InterruptedError:
            continue
        if done == pid:
            status = st
    code = os.waitstatus_to_exitcode(status) if status is not None else 127
    # The command is done: the device shuts down, taking every other process with it.
    with contextlib.suppress(OSError):
        os.kill(-1, signal.SIGKILL)
    while True:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            break
    with open(cfg["result"], "w") as f:
        json.dump({"returncode": code}, f)
    return code if code >= 0 else 128 - code


# ---------------------------------------------------------------------------------------------
# Command line


USAGE = """usage:
  devsim run   [DEVICE OPTIONS] [--timeout S] -- COMMAND...   one-shot: create, boot once, remove
  devsim shell [DEVICE OPTIONS]                              interactive shell in a one-shot device
  devsim create DIR [DEVICE OPTIONS]      persistent device in DIR
  devsim boot DIR [--timeout S] -- COMMAND...   one boot of the persistent device in DIR
  devsim shell --dir DIR                  interactive shell in the persistent device
  devsim put DIR [--put ...] [--put-dir ...] [--put-ext4 ...] [--zero REGION#I]
  devsim bootenv DIR [--set K=V]... [--corrupt]   print (or rewrite) the boot environment
  devsim cmdline DIR [--cmdline-set K=V]...   print (or change) the next kernel command line
  devsim calls DIR                        print the recorded stub calls
  devsim layout [--layout FILE]           print a layout with partition offsets
  devsim destroy DIR                      remove a persistent device

Inside the device (on PATH there):
  devsim service NAME -- COMMAND...       init stand-in: /dev/socket/NAME for COMMAND
  devsim send SOCKET REQUEST...           framed requests on a socket, prints the replies

DEVICE OPTIONS:
  --layout FILE       JSON layout (default: the zt4100 board)
  --hw TAG            hardware tag (default zt4100.1.0); --no-hw leaves vorn.hw out
  --cmdline-set K=V   change a kernel command-line key (K= with nothing removes it)
  --env K=V           initial boot environment entry (repeatable); --corrupt-env bad CRC
  --put REGION#I=FILE       raw bytes of FILE at the start of a copy
  --put-dir REGION#I=DIR    ext4 file system built from DIR into a copy
  --put-ext4 REGION#I=IMG   ready-made ext4 image into a copy
  --netif NAME[=MAC]  dummy interface at every boot (repeatable)
  --meminfo FILE      bound over /proc/meminfo
  --watchdog          a fake /dev/watchdog
"""


def _parse_args(argv):
    import argparse

    p = argparse.ArgumentParser(prog="devsim", usage=USAGE, add_help=False)
    p.add_argument("action", nargs="?")
    p.add_argument("dir", nargs="?")
    p.add_argument("-h", "--help", action="store_true")
    p.add_argument("--dir", dest="dir_opt")
    p.add_argument("--layout")
    p.add_argument("--hw", default=DEFAULT_HW)
    p.add_argument("--no-hw", action="store_true")
    p.add_argument("--cmdline-set", action="append", default=[])
    p.add_argument("--env", action="append", default=[])
    p.add_argument("--corrupt-env", action="store_true")
    p.add_argument("--put", action="append", default=[])
    p.add_argument("--put-dir", action="append", default=[])
    p.add_argument("--put-ext4", action="append", default=[])
    p.add_argument("--zero", action="append", default=[])
    p.add_argument("--netif", action="append", default=[])
    p.add_argument("--meminfo")
    p.add_argument("--watchdog", action="store_true")
    p.add_argument("--timeout", type=float)
    p.add_argument("--set", action="append", default=[])
    p.add_argument("--corrupt", action="store_true")
    if "--" in argv:
        at = argv.index("--")
        argv, command = argv[:at], argv[at + 1:]
    else:
        command = []
    args = p.parse_args(argv)
    args.command = command
    return args


def _pairs(items, what):
    out = []
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise DevsimError(f"{what} wants KEY=VALUE, got {item!r}")
        out.append((key, value))
    return out


def _copy_ref(text):
    region, sep, index = text.partition("#")
    if not sep or not index.isdigit():
        raise DevsimError(f"a copy is REGION#INDEX, got {text!r}")
    return region, int(index)


def _device_from_args(args, state_dir=None):
    meminfo = None
    if args.meminfo:
        with open(args.meminfo) as f:
            meminfo = f.read()
    changes = {k: (v if v else None) for k, v in _pairs(args.cmdline_set, "--cmdline-set")}
    return Device(layout=args.layout, env=_pairs(args.env, "--env"),
                  hw=None if args.no_hw else args.hw, cmdline=changes, netifs=args.netif,
                  meminfo=meminfo, watchdog=args.watchdog, bootenv_corrupt=args.corrupt_env,
                  state_dir=state_dir)


def _apply_puts(dev, args):
    for ref, path in _pairs(args.put, "--put"):
        dev.put_raw(*_copy_ref(ref), path)
    for ref, path in _pairs(args.put_dir, "--put-dir"):
        dev.put_ext4_dir(*_copy_ref(ref), path)
    for ref, path in _pairs(args.put_ext4, "--put-ext4"):
        dev.put_ext4_image(*_copy_ref(ref), path)
    for ref in args.zero:
        dev.zero_copy(*_copy_ref(ref))


def _report(result, dev):
    sys.stderr.write(f"devsim: boot ended by {result.ending}\n")
    if result.rebooted:
        sys.stderr.write(f"devsim: next kernel command line: {dev.cmdline()}\n")
    if result.returncode is None:
        return 0 if result.rebooted or result.powered_off else 124
    return result.returncode if result.returncode >= 0 else 128 - result.returncode


def _interactive(dev, command, timeout, shell=False):
    """One boot on this terminal. A shell gets the terminal's ^C for itself; for a command,
    ^C (or SIGTERM) to devsim ends the boot and removes the device."""
    old = signal.signal(signal.SIGINT, signal.SIG_IGN) if shell else None
    try:
        return dev.run(command, timeout=timeout, capture=False)
    finally:
        if shell:
            signal.signal(signal.SIGINT, old)


def _shell_command():
    return ["bash", "-i"] if shutil.which("bash") else ["sh", "-i"]


def _existing(args):
    d = args.dir or args.dir_opt
    if not d or not os.path.exists(os.path.join(d, "device.json")):
        raise DevsimError(f"no device in {d!r} (make one with: devsim create DIR)")
    return Device(state_dir=d)


def cli_main(argv):
    args = _parse_args(argv)
    action = args.action
    if args.help or action in (None, "help"):
        sys.stdout.write(USAGE)
        return 0 if args.help or action == "help" else 2
    if action in ("run", "boot") and not args.command:
        raise DevsimError(f"devsim {action} needs -- COMMAND...")
    if action == "run":
        with _device_from_args(args) as dev:
            _apply_puts(dev, args)
            result = _interactive(dev, args.command, args.timeout)
            return _report(result, dev)
    if action == "shell":
        if args.dir or args.dir_opt:
            dev = _existing(args)
        else:
            dev = _device_from_args(args)
        with dev:
            _apply_puts(dev, args)
            sys.stderr.write(f"devsim: kernel command line: {dev.cmdline()}\n")
            result = _interactive(dev, args.command or _shell_command(), args.timeout, True)
            return _report(result, dev)
    if action == "create":
        if not args.dir:
            raise DevsimError("devsim create needs DIR")
        if os.path.exists(os.path.join(args.dir, "device.json")):
            raise DevsimError(f"{args.dir} already holds a device")
        with _device_from_args(args, state_dir=args.dir) as dev:
            _apply_puts(dev, args)
            print(dev.cmdline())
        return 0
    if action == "layout":
        layout = Layout(args.layout)
        for disk in layout.disks.values():
            print(f"{disk.name}: {disk.size} bytes")
            for p in disk.partitions.values():
                print(f"  {disk.name}p{p.number}: offset {p.offset:#x} size {p.size:#x}")
        for name, copies in layout.regions.items():
            print(f"{name}: " + " ".join(f"#{c.index}={c.disk}p{c.number}({c.fs})"
                                         for c in copies))
        return 0
    with _existing(args) as dev:
        if action == "boot":
            return _report(_interactive(dev, args.command, args.timeout), dev)
        if action == "put":
            _apply_puts(dev, args)
            return 0
        if action == "bootenv":
            if args.set or args.corrupt:
                dev.set_bootenv(_pairs(args.set, "--set"), corrupt=args.corrupt)
            env = dev.bootenv()
            print(f"crc {'ok' if env.valid else 'BAD'} "
                  f"(stored {env.stored_crc:08x}, computed {env.computed_crc:08x})")
            for k, v in env.entries:
                print(k if v is None else f"{k}={v}")
            return 0
        if action == "cmdline":
            changes = {k: (v if v else None) for k, v in _pairs(args.cmdline_set, "--cmdline-set")}
            if changes:
                dev.set_cmdline(None, **changes)
            print(dev.cmdline())
            return 0
        if action == "calls":
            for line in dev.calls():
                print(line)
            return 0
        if action == "destroy":
            dev.destroy()
            return 0
    raise DevsimError(f"unknown action {action!r}\n{USAGE}")



def service_main(argv):
    """devsim service NAME -- COMMAND...: what Android's init does for a service with a
    socket: binds a stream socket at /dev/socket/NAME, hands it to COMMAND as the
    descriptor named by ANDROID_SOCKET_NAME, and runs COMMAND (which listens on it)."""
    import socket as socketlib

    if len(argv) < 3 or argv[1] != "--":
        raise DevsimError("usage: devsim service NAME -- COMMAND...")
    name, command = argv[0], argv[2:]
    path = f"/dev/socket/{name}"
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)
    sock = socketlib.socket(socketlib.AF_UNIX, socketlib.SOCK_STREAM)
    sock.bind(path)
    os.chmod(path, 0o660)
    fd = sock.detach()
    os.set_inheritable(fd, True)
    os.environ[f"ANDROID_SOCKET_{name}"] = str(fd)
    os.execvp(command[0], command)


def send_main(argv):
    """devsim send SOCKET REQUEST...: sends each request, framed, on one connection and
    prints each reply body as it came; status 1 when a reply does not come."""
    import socket as socketlib

    if len(argv) < 2:
        raise DevsimError("usage: devsim send SOCKET REQUEST...")
    with socketlib.socket(socketlib.AF_UNIX, socketlib.SOCK_STREAM) as s:
        s.settimeout(float(os.environ.get("DEVSIM_SEND_TIMEOUT", "10")))
        s.connect(argv[0])
        for text in argv[1:]:
            s.sendall(frame(text))
            try:
                reply = _read_frame(s)
            except (DevsimError, OSError) as e:
                sys.stderr.write(f"devsim send: {e}\n")
                return 1
            sys.stdout.buffer.write(reply)
            sys.stdout.flush()
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["_init"]:
        return init_main(argv[1])
    if argv[:1] == ["_janitor"]:
        return janitor_main(argv[1])
    try:
        if argv[:1] == ["service"]:
            return service_main(argv[1:])
        if argv[:1] == ["send"]:
            return send_main(argv[1:])
    except (DevsimError, OSError) as e:
        sys.stderr.write(f"devsim: {e}\n")
        return 2

    def stop(signum, _frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)
    try:
        return cli_main(argv)
    except DevsimError as e:
        sys.stderr.write(f"devsim: {e}\n")
        return 2
    except KeyboardInterrupt:
        sys.stderr.write("devsim: interrupted\n")
        return 130


if __name__ == "__main__":
    sys.exit(main())
