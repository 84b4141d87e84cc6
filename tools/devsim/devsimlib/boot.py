"""One boot of a simulated device: how it ended, and a handle to a boot that runs."""

import json
import os
import signal
import socket as socketlib
import subprocess
import time

from devsimlib.errors import DevsimError
from devsimlib.framing import socket_request


# Result of a boot that the command ended, as the init inside reports it.
RESULT_FILE = "result.json"


class BootResult:
    """How one boot ended.

    returncode: exit status of the command (negative signal number when a signal ended it);
                None when the boot ended by a reboot, a power-off or the timeout.
    rebooted:   the device restarted (reboot stub or reboot(2) inside, or a watchdog reset)
    watchdog_reset: the boot selected a dead copy (Device.set_option(dead_copies=...)): its
                command never ran, and the watchdog reset the device
    powered_off: the device halted or powered off (reboot(2) with a halt request)
    timed_out:  the boot was cut off by the timeout
    stdout, stderr: text (UTF-8, invalid bytes replaced); stdout_bytes, stderr_bytes: raw
    cmdline:    the kernel command line the boot ran with
    """

    def __init__(self, **kw):
        self.returncode = None
        self.rebooted = False
        self.watchdog_reset = False
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
        if self.watchdog_reset:
            return "watchdog reset"
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
            read_ending(self.proc.returncode, self.cfg["result"], result)
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


def read_ending(rc, result_path, result):
    """Fills in how a boot ended from the init's report and the exit of unshare."""
    try:
        with open(result_path) as f:
            ended = json.load(f)
    except (OSError, ValueError):
        ended = None
    if result.timed_out:
        return
    if ended is not None:
        result.returncode = ended["returncode"]
        result.rebooted = result.watchdog_reset = ended.get("watchdog_reset", False)
    elif rc == -signal.SIGHUP:
        result.rebooted = True
    elif rc == -signal.SIGINT:
        result.powered_off = True
    else:
        # The init died before it could report (it failed to set the device up).
        result.returncode = rc
