"""The simulated device: disks, boot environment, kernel command line, boots."""

import contextlib
import fcntl
import json
import os
import shutil
import subprocess
import sys
import tempfile

from devsimlib.boot import RESULT_FILE, Boot
from devsimlib.bootenv import (BOOTENV_NODE, BOOTENV_OFFSET, BOOTENV_SIZE, ENV_CONFIG, EnvPlace,
                               decode_bootenv, encode_bootenv, in_effect, parse_env_config,
                               set_entry)
from devsimlib.bootloader import BootLoader
from devsimlib.cmdline import apply_bmap_value, format_cmdline, set_cmdline_keys
from devsimlib.entry import helper_argv
from devsimlib.errors import DevsimError
from devsimlib.janitor import Janitor
from devsimlib.layout import DEFAULT_HW, MIB, Layout, active_copies
from devsimlib.loops import detach_all, die_with_parent, run_tool
from devsimlib.strace import Injection, Trace, as_injection, strace_argv
from devsimlib.stubs import make_stubs


GPIO_DIR = "zt4100-gpio.0"

DEFAULT_MIN_FREE_KBYTES = "8192\n"
DEFAULT_DROP_CACHES = "0\n"
DEFAULT_RESET_SECONDS = 1.0  # a boot of a dead copy ends in a watchdog reset this much later
BOOT_OPTIONS = ("netifs", "meminfo", "watchdog", "dead_copies", "reset_seconds")


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
      format_ext4  give every ext4 copy an empty ext4 file system (default: zero-filled)
      etc       files of the device's /etc, {"vorn/trust.pem": bytes or text}, laid read-only
                over the host's /etc at every boot (see put_etc); its "fw_env.config" places
                the boot environment, env included
      state_dir None: a temporary device removed on close; a path: a persistent device in
                that directory (created when it holds none, reopened otherwise)
      temporary  remove state_dir on close as well
    """

    def __init__(self, layout=None, env=None, hw=DEFAULT_HW, cmdline=None, netifs=(),
                 meminfo=None, watchdog=False, bootenv_corrupt=False, state_dir=None,
                 format_ext4=False, temporary=False, etc=None):
        self._janitor = None
        self._boot = None
        self._lock_fd = None
        self.temporary = state_dir is None or temporary
        if state_dir is None:
            root = os.environ.get("DEVSIM_TMPDIR") or None
            self.dir = tempfile.mkdtemp(prefix="devsim-", dir=root)
        else:
            self.dir = os.path.abspath(state_dir)
            os.makedirs(self.dir, exist_ok=True)
        try:
            self._janitor = Janitor(os.path.join(self.dir, f"janitor-{os.getpid()}.json"))
            self._record()
            if os.path.exists(self._path("device.json")):
                self._load()
            else:
                self._create(layout, env, hw, cmdline, netifs, meminfo, watchdog,
                             bootenv_corrupt, etc)
                if format_ext4:
                    for region, copies in self.layout.regions.items():
                        for c in copies:
                            if c.fs == "ext4":
                                self.put_ext4_dir(region, c.index)
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

    def clone(self):
        """A temporary device that starts as this one is now: disks, next command line,
        boot options and recorded calls. Meant for between boots."""
        target = tempfile.mkdtemp(prefix="devsim-", dir=os.environ.get("DEVSIM_TMPDIR") or None)
        try:
            os.makedirs(os.path.join(target, "disks"))
            for name in ("device.json", "cmdline", "calls.log"):
                shutil.copyfile(self._path(name), os.path.join(target, name))
            if os.path.isdir(self._path("etc")):
                shutil.copytree(self._path("etc"), os.path.join(target, "etc"), symlinks=True)
            run_tool(["cp", "--sparse=always", "--reflink=auto", *self._disk_files(),
                      os.path.join(target, "disks")])
        except BaseException:
            shutil.rmtree(target, ignore_errors=True)
            raise
        return Device(state_dir=target, temporary=True)

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

    def _create(self, layout, env, hw, cmdline, netifs, meminfo, watchdog, corrupt, etc):
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
        for name, data in (etc or {}).items():
            self.put_etc(name, data)
        self.set_bootenv(env, corrupt)
        self.set_cmdline(text)
        make_stubs(self.dir)
        with open(self._path("calls.log"), "w"):
            pass
        self._save()

    def _load(self):
        with open(self._path("device.json")) as f:
            self.config = json.load(f)
        self.layout = Layout(self.config["layout"])
        make_stubs(self.dir)

    def _save(self):
        with open(self._path("device.json"), "w") as f:
            json.dump(self.config, f, indent=1)

    def _disk_file(self, disk):
        return self._path("disks", f"{disk}.img")

    def _disk_files(self):
        return [self._disk_file(d) for d in self.layout.disks]

    # -- settings between boots ---------------------------------------------------------------

    def set_option(self, **kw):
        """Changes boot options for later boots: netifs, meminfo, watchdog, dead_copies
        (["system#1"]: a boot whose command line makes one of them active never comes up and
        ends in a watchdog reset reset_seconds later)."""
        for key, value in kw.items():
            if key not in BOOT_OPTIONS:
                raise DevsimError(f"unknown boot option {key!r}")
            self.config[key] = list(value) if key in ("netifs", "dead_copies") else value
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
        """One pass of the boot loader: its boot counting and alternative boot command (see
        bootloader.py), then the stored "bmap" value applied to the command line.

        Returns the new command line. A boot environment without a valid copy, or without
        "bmap", leaves the command line as it is.
        """
        env = self.bootenv()
        value = BootLoader(env.entries, self.set_bootenv).boot() if env.valid else None
        if value:
            self.set_cmdline(apply_bmap_value(self.cmdline(), value))
        return self.cmdline()

    def put_etc(self, name, data):
        """Puts a file into the device's /etc (name relative to it, "vorn/trust.pem"): bytes or
        text, or None to remove it. At each boot these files lie over the host's /etc, which
        the device sees read-only beneath them, as a board's /etc of its system copy."""
        path = os.path.normpath(self._path("etc", name))
        if not path.startswith(self._path("etc") + os.sep):
            raise DevsimError(f"{name!r} is not a path inside /etc")
        if data is None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
            return
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)

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
            run_tool(argv + [image, f"{part.size // 1024}k"])
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

    def _node_window(self, node):
        """(disk, offset in its disk file, size) of a device-side block node."""
        for name, disk in self.layout.disks.items():
            if node == f"/dev/block/{name}":
                return name, 0, disk.size
            for n, p in disk.partitions.items():
                if node == f"/dev/block/{name}p{n}":
                    return name, p.offset, p.size
        raise DevsimError(f"{node} is no block node of the device")

    def env_places(self):
        """The copies of the boot environment (EnvPlace), where the device's
        /etc/fw_env.config puts them; without one, the block at 0xC0000 of the eMMC."""
        copies = [(BOOTENV_NODE, BOOTENV_OFFSET, BOOTENV_SIZE)]
        with contextlib.suppress(FileNotFoundError), open(self._path("etc", ENV_CONFIG)) as f:
            copies = parse_env_config(f.read())
        places = []
        for node, offset, size in copies:
            disk, base, length = self._node_window(node)
            offset += length if offset < 0 else 0
            if not 0 <= offset <= length - size:
                raise DevsimError(f"boot environment at {offset:#x} outside {node}")
            places.append(EnvPlace(node, offset, disk, base + offset, size))
        return places

    def bootenv_raw(self, copy=0):
        place = self.env_places()[copy]
        return self.read_device(place.disk, place.disk_offset, place.size)

    def write_bootenv(self, block, copy=0):
        """Stores raw bytes as a copy of the boot environment (the first, or the only one)."""
        place = self.env_places()[copy]
        if len(block) != place.size:
            raise DevsimError(f"boot environment block must be {place.size} bytes")
        self.write_device(place.disk, place.disk_offset, block)

    def bootenv(self):
        """The boot environment as the product would parse it (BootEnvBlock): of a redundant
        one the copy in effect (.copy, .flags)."""
        places = self.env_places()
        if len(places) == 1:
            return decode_bootenv(self.bootenv_raw())
        return in_effect([decode_bootenv(self.bootenv_raw(i), True, i) for i in (0, 1)])

    def bootenv_set(self, key, value):
        """Sets (or, with an empty value, deletes) one key, keeping the other entries; the
        block is rewritten valid. A block with a bad CRC starts from no entries."""
        env = self.bootenv()
        self.set_bootenv(set_entry(env.entries if env.valid else [], key, value))

    def set_bootenv(self, entries=None, corrupt=False):
        """Stores the whole environment with entries (dict or pairs), as the boot loader's
        saveenv does: a redundant one into the copy not in effect with the next serial (the
        first copy, serial 0, when none is valid). corrupt stores a bad CRC."""
        places = self.env_places()
        if len(places) == 1:
            self.write_bootenv(encode_bootenv(entries, corrupt, places[0].size))
            return
        env = self.bootenv()
        copy, flags = (1 - env.copy, env.flags + 1) if env.valid else (0, 0)
        self.write_bootenv(encode_bootenv(entries, corrupt, places[0].size, flags), copy)

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

    # -- power cuts and I/O errors -------------------------------------------------------------

    def block_nodes(self):
        """Device-side paths of every block node of a boot: whole disks and partitions."""
        return [f"/dev/block/{name}{suffix}" for name, disk in self.layout.disks.items()
                for suffix in [""] + [f"p{n}" for n in disk.partitions]]

    def run_traced(self, command, inject=None, paths=(), timeout=60, env=None, input=None,
                   boot_loader=True):
        """One boot with command run under strace; BootResult with .trace (a Trace of the
        calls that reach a block node or one of paths) and .cut (the Call at which the power
        was cut, else None).

        inject: an Injection, a Boundary of an earlier trace, or "CALL:J". Without an error or
        a result the power is cut on entry to that call, and the power cycle that follows runs
        the boot loader as a reboot does (boot_loader=False leaves that to the caller, who may
        change the disks first); with an error ("EIO") or a result the call returns it unmade
        and the command goes on.
        """
        if shutil.which("strace") is None:
            raise DevsimError("strace is not installed (scripts/install-deps installs it)")
        if inject is not None and not isinstance(inject, Injection):
            inject = as_injection(inject)
        if isinstance(command, str):
            command = ["sh", "-c", command]
        log = self._path("trace.log")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(log)
        argv = strace_argv(log, self.block_nodes() + list(paths), inject) + list(command)
        # LeakSanitizer stops the world with ptrace, which a traced process cannot: a
        # sanitizer build would abort at its exit.
        env = dict(env or {})
        env["ASAN_OPTIONS"] = ":".join(filter(None, [
            env.get("ASAN_OPTIONS", os.environ.get("ASAN_OPTIONS")), "detect_leaks=0"]))
        result = self.run(argv, timeout=timeout, env=env, input=input, boot_loader=boot_loader)
        try:
            with open(log, errors="replace") as f:
                result.trace = Trace(f.read())
        except FileNotFoundError:
            raise DevsimError(f"strace left no trace: {result.stderr.strip()}") from None
        result.cut = result.trace.cut if inject is not None and inject.cut else None
        if result.cut is not None and not result.rebooted and boot_loader:
            self.boot_loader()
        return result

    def power_cut(self, command, at, **kw):
        """run_traced with the power cut at a boundary (Boundary, Injection or "CALL:J")."""
        return self.run_traced(command, inject=as_injection(at), **kw)

    def inject_error(self, command, at, error="EIO", **kw):
        """run_traced with an error number ("EIO", "ENOSPC") returned by the call at a
        boundary instead of making it."""
        return self.run_traced(command, inject=as_injection(at, error), **kw)

    def inject_result(self, command, at, retval, **kw):
        """run_traced with the call at a boundary returning retval without being made: a write
        given its own length is lost (reported done, never reaching the disk); a smaller count
        is a short write whose rest the product must write again."""
        return self.run_traced(command, inject=as_injection(at, retval=retval), **kw)

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
                    loop = run_tool(["losetup", "-f", "--show", *window, f]).stdout.strip()
                    st = os.stat(loop)
                    nodes[node] = [os.major(st.st_rdev), os.minor(st.st_rdev)]
            path_env = os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin")
            boot_env = dict(os.environ)
            boot_env.update(env or {})
            boot_env["PATH"] = f"{self._path('stubs')}:{self._path('bin')}:{path_env}"
            dead = set(self.config.get("dead_copies", []))
            active = active_copies(self.cmdline())
            cfg = {
                "reset_after": (self.config.get("reset_seconds", DEFAULT_RESET_SECONDS)
                                if any(f"{r}#{i}" in dead for r, i in active.items()) else None),
                "state": self.dir,
                "nodes": nodes,
                "netifs": self.config.get("netifs", []),
                "meminfo": self.config.get("meminfo") is not None,
                "watchdog": self.config.get("watchdog", False),
                "etc": os.path.isdir(self._path("etc")),
                "command": list(command),
                "env": boot_env,
                "cwd": cwd or os.getcwd(),
                "result": os.path.join(boot_dir, RESULT_FILE),
                "ready": os.path.join(boot_dir, "ready"),
                # A terminal user gets the host's pseudo-terminals, for job control.
                "pts": (stdin is None and sys.stdin is not None and sys.stdin.isatty()
                        and os.path.isdir("/dev/pts")),
            }
            cfg_path = os.path.join(boot_dir, "config.json")
            with open(cfg_path, "w") as f:
                json.dump(cfg, f)
            argv = ["unshare", "--mount", "--pid", "--net", "--fork", "--propagation", "private",
                    "--mount-proc", "--kill-child=SIGKILL",
                    *helper_argv("_init", cfg_path, self.dir)]
            proc = subprocess.Popen(argv, stdin=stdin, stdout=stdout, stderr=stderr,
                                    preexec_fn=die_with_parent)
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
        left = detach_all(self._disk_files())
        self._record()
        self._unlock()
        if left:
            raise DevsimError(f"loop devices still attached after the boot: {left}")

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
