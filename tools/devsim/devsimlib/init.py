"""Inside the device: the init of a boot (PID 1 of the boot's PID namespace)."""

import contextlib
import ctypes
import json
import os
import signal
import subprocess
import sys
import time


_MS_RDONLY = 1
_MS_NOSUID = 2
_MS_NODEV = 4
_MS_NOEXEC = 8
_MS_REMOUNT = 32
_MS_BIND = 4096


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
    if cfg.get("etc"):
        # The device's own files over the host's /etc; an overlay of lower layers only is
        # read-only, as a board's /etc on its system copy is.
        _mount("overlay", "/etc", "overlay", _MS_RDONLY,
               f"lowerdir={os.path.join(state, 'etc')}:/etc")


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
    if cfg.get("reset_after") is not None:
        # A copy that never comes up: nothing feeds the watchdog, which resets the board.
        time.sleep(cfg["reset_after"])
        with open(cfg["result"], "w") as f:
            json.dump({"returncode": None, "watchdog_reset": True}, f)
        return 0
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
