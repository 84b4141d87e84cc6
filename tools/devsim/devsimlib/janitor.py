"""The janitor: undoes loop devices, boots and temporary files when their owner dies."""

import contextlib
import json
import os
import shutil
import signal
import subprocess

from devsimlib.entry import helper_argv
from devsimlib.loops import detach_all


class Janitor:
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
            helper_argv("_janitor", record_path),
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
    detach_all(rec.get("files", []))
    if rec.get("remove_dir"):
        shutil.rmtree(rec["remove_dir"], ignore_errors=True)
    else:
        with contextlib.suppress(OSError):
            os.unlink(record_path)
