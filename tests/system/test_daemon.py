#!/usr/bin/env python3
"""System tests of vornd where the real daemon, kernel and time are the point: started by
vorn-init inside simulated devices, it drops silent clients, kills and restarts a watched
application, feeds the watchdog and toggles its GPIO line, and leaves no descriptor, thread or
leak behind after 1000 requests. The protocol's rules are the unit tests' (tests/daemon).

Usage: test_daemon.py [PATH_TO_VORN] [unittest options]; VORN_INIT_BIN comes from the
environment (ctest sets it).

The slow waits (liveness firing ~11 s, GPIO toggle 5 s, silent client 5 s) run concurrently:
both devices boot in setUpClass and the tests look at what has happened by their deadline. No
device lives near the 181 seconds after which the daemon's default watch would reboot it.
"""

import os
import re
import shutil
import socket
import tempfile
import threading
import time
import unittest

from systest import HERE, VORN_INIT, VORND, devsim
from devsimlib.framing import read_frame  # noqa: E402 (its path comes from systest)

# The service file the board's init reads: vorn-init takes the socket and ids from it.
SERVICE_FILE = os.path.join(HERE, "..", "..", "init", "vornd.rc")
# The ASan build's leak check of a live daemon (leak_check_trigger.cc); empty elsewhere.
LEAK_CHECK_LIB = os.environ.get("LEAK_CHECK_LIB", "")

SOCKET = "/dev/socket/vornd"
HW_REPLY = "0\nzt4100.1.0\n"
GPIO = "output_CPU_WDT"
SANITIZER_REPORT = re.compile(
    r"ERROR: AddressSanitizer|ERROR: LeakSanitizer|WARNING: ThreadSanitizer|runtime error:")


def read_reply(sock):
    """Body of one framed reply as text, or None when the connection closed without one."""
    try:
        return read_frame(sock).decode()
    except (ConnectionResetError, devsim.DevsimError):
        return None


class Daemon:
    """One simulated device running vornd under vorn-init, its log in a host file; before the
    daemon, the boot starts "sleep 1000" as the application a test watches."""

    def __init__(self, workdir, name, leak_check=False, stdin_closed=False, **device_options):
        self.dir = os.path.join(workdir, name)
        os.makedirs(self.dir)
        self.log_path = os.path.join(self.dir, "vornd.log")
        daemon = VORND
        self.leak_check = None
        env = ""
        if leak_check and LEAK_CHECK_LIB:
            # The trigger preloaded; it comes before the ASan runtime, which ASan accepts if told.
            self.leak_check = os.path.join(self.dir, "leak")
            env = (f"LD_PRELOAD={LEAK_CHECK_LIB} VORN_LEAK_CHECK={self.leak_check} "
                   'ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0:'
                   'detect_leaks=1" ')
        if env or stdin_closed:
            # A script of the same base name (vorn-init runs "vornd"); with standard input
            # closed, the first descriptor the daemon opens is 0.
            daemon = os.path.join(self.dir, "vornd")
            with open(daemon, "w") as f:
                f.write(f'#!/bin/sh\n{env}exec {VORND} "$@"{" <&-" if stdin_closed else ""}\n')
            os.chmod(daemon, 0o755)
        self.dev = devsim.Device(**device_options)
        self.boot = self.dev.start(
            f"(sleep 1000 >/dev/null 2>&1 & echo $! > {self.dir}/app.pid); "
            f"exec {VORN_INIT} -p {self.dir}/vornd.pid {SERVICE_FILE} {daemon} "
            f">/dev/null 2>{self.log_path}")
        self.started = time.monotonic()
        if not self.boot.wait_socket(SOCKET, timeout=20):
            raise AssertionError(f"{name}: vornd did not come up:\n{self.log()}")
        self.app_pid = int(self.read("app.pid"))

    def read(self, name):
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()

    def connect(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(20)
        s.connect(self.boot.path(SOCKET))
        return s

    def request(self, body, sock=None):
        """Reply body to one request (on sock, or on a connection of its own)."""
        if sock is None:
            return devsim.socket_request(self.boot.path(SOCKET), body, timeout=20)
        sock.sendall(devsim.frame(body))
        return read_reply(sock)

    def alive(self, pid):
        try:
            with open(self.boot.path(f"/proc/{pid}/stat")) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False

    def leaks(self):
        """"clean" or "leaks" from a leak check of the running daemon; None when it cannot be
        checked (not the ASan build)."""
        if self.leak_check is None:
            return None
        open(self.leak_check + ".go", "w").close()
        end = time.monotonic() + 30
        while time.monotonic() < end and not os.path.exists(self.leak_check + ".done"):
            time.sleep(0.05)
        return self.read("leak.done").strip()

    def log(self):
        return self.read("vornd.log")


class Sampler(threading.Thread):
    """Samples probe() every 50 ms for a while; keeps each change with its time since start."""

    def __init__(self, probe, seconds):
        super().__init__(daemon=True)
        self.probe, self.started, self.changes = probe, time.monotonic(), []
        self.end = self.started + seconds
        self.start()

    def run(self):
        last = object()
        while time.monotonic() < self.end:
            value = self.probe()
            if value != last:
                self.changes.append((time.monotonic() - self.started, value))
                last = value
            time.sleep(0.05)

    def until_done(self):
        self.join()
        return self.changes


class DaemonTest(unittest.TestCase):
    """main: boot environment sys.eth.if=eth1, watches its app with "android@com.x/.Main"
    (fires ~11 s after setUpClass). watchdog: sys.watchdog.enable=1, timeout 4, a fake
    /dev/watchdog opened as descriptor 0 (standard input closed); never a heartbeat."""

    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="vornd-test-")
        cls.daemons = []
        try:
            cls.main = Daemon(cls.workdir, "main", leak_check=True, env={"sys.eth.if": "eth1"})
            cls.daemons.append(cls.main)
            cls.watchdog = Daemon(cls.workdir, "watchdog", watchdog=True, stdin_closed=True, env={
                "sys.watchdog.enable": "1", "sys.watchdog.timeout": "4"})
            cls.daemons.append(cls.watchdog)
            cls.gpio = Sampler(lambda: cls.watchdog.dev.gpio(GPIO), 11)
            cls.watched = Sampler(lambda: cls.main.alive(cls.main.app_pid), 16)
            cls.set_reply = cls.main.request(f"appalive set 10 {cls.main.app_pid} "
                                             "android@com.x/.Main")
            cls.silent = cls.main.connect()
            cls.silent_since = time.monotonic()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if hasattr(cls, "silent"):
            cls.silent.close()
        for d in cls.daemons:
            d.boot.stop()
            d.dev.close()
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def test_silent_client_is_dropped_after_5_seconds_while_others_are_served(self):
        for _ in range(3):
            started = time.monotonic()
            self.assertEqual(self.main.request("vorn info hw_version"), HW_REPLY)
            self.assertLess(time.monotonic() - started, 2)
        self.assertIsNone(read_reply(self.silent))
        self.assertGreater(time.monotonic() - self.silent_since, 4.5)
        self.assertLess(time.monotonic() - self.silent_since, 8)
        self.assertIn("Data is Errored.\n", self.main.log())

    def test_a_fifo_as_image_does_not_hold_the_command_lock(self):
        fifo = os.path.join(self.main.dir, "fifo")
        os.mkfifo(fifo)
        self.assertEqual(self.main.request(f"vorn infos version file@!,{fifo}"), "-4\n")
        self.assertEqual(self.main.request("vorn info hw_version"), HW_REPLY)

    def test_watched_app_is_killed_and_restarted(self):
        self.assertEqual(self.set_reply, "0\n")
        # Fires on the 11th one-second tick after the heartbeat: the app lives until then.
        changes = self.watched.until_done()
        self.assertEqual([alive for _, alive in changes], [True, False], changes)
        self.assertTrue(9.5 < changes[1][0] < 14, changes)
        self.assertIn(f"appalive: kill&restart process[{self.main.app_pid},android@com.x/.Main]\n",
                      self.main.log())
        self.assertIn("am start com.x/.Main", self.main.dev.calls())
        # The default watch is back; disarm it.
        self.assertEqual(self.main.request("appalive set 10 0"), "0\n")
        self.assertNotIn("reboot", self.main.dev.calls())

    def test_watchdog_enabled_feeds_and_toggles_the_gpio_line(self):
        self.assertIn("Watchdog-Disabled\n", self.main.log())
        log = self.watchdog.log()
        self.assertRegex(log, r"Watchdog-Enabled\(0\)! \(timeout=4, sleep_timeout=2 seconds\)\n")
        # 0 at the start of feeding, 1 five seconds later, then 0 again. None before the first
        # write; "" when a read came between the truncation of the file and the write.
        changes = [(t, value) for t, value in self.gpio.until_done() if value]
        self.assertEqual([value for _, value in changes], ["0\n", "1\n", "0\n"][:len(changes)])
        self.assertGreaterEqual(len(changes), 2, changes)
        self.assertLess(changes[0][0], 3)
        for (before, _), (after, _) in zip(changes, changes[1:]):
            self.assertTrue(3.5 < after - before < 8, changes)
        # Tool commands are served beside the feeding thread.
        self.assertEqual(self.watchdog.request("vorn getprop sys.watchdog.timeout"), "0\n4\n\n")

    def test_thousand_requests_leave_no_descriptor_thread_or_leak_behind(self):
        pid = int(self.main.read("vornd.pid"))

        def idle_counts():
            # Connection threads end a moment after their clients close: wait until the counts
            # have not changed for half a second.
            def counts():
                status = open(self.main.boot.path(f"/proc/{pid}/status")).read()
                return (len(os.listdir(self.main.boot.path(f"/proc/{pid}/fd"))),
                        re.search(r"^Threads:\s+(\d+)", status, re.M).group(1))
            end = time.monotonic() + 10
            last, since = counts(), time.monotonic()
            while time.monotonic() < end and time.monotonic() - since < 0.5:
                time.sleep(0.05)
                if counts() != last:
                    last, since = counts(), time.monotonic()
            return last

        read_reply(self.silent)  # the silent client must be gone first
        before = idle_counts()
        for _ in range(10):
            with self.main.connect() as s:
                for _ in range(50):
                    self.assertEqual(self.main.request("vorn getprop sys.eth.if", s), "0\neth1\n\n")
        for i in range(500):
            # A clear of a pid nobody watches: the watch of "main" must stay as it is.
            self.assertEqual(self.main.request("vorn info hw_version" if i % 2 else
                                               "appalive clear 99999"),
                             HW_REPLY if i % 2 else "0\n")
        self.assertEqual(idle_counts(), before)
        # In the ASan build: LeakSanitizer's check of the live daemon finds nothing.
        self.assertIn(self.main.leaks(), (None, "clean"), self.main.log()[-4000:])

    def test_zz_no_sanitizer_reports(self):
        # Named to run last: every daemon has done its work by now.
        for d in self.daemons:
            self.assertTrue(d.boot.running(), d.dir)
            self.assertIsNone(SANITIZER_REPORT.search(d.log()), d.log()[-4000:])


class StartFailureTest(unittest.TestCase):
    """Without a usable init socket vornd ends at once with status 1: its only exit, and the
    one place where a sanitizer build's own leak check runs."""

    def test_without_a_usable_socket(self):
        for env, message in ((None, "Failed to get socket from environment: "),
                             ({"ANDROID_SOCKET_vornd": "0"}, "Listen on socket failed: ")):
            with self.subTest(env=env), devsim.Device() as dev:
                r = dev.run([VORND], env=env, timeout=30)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertIn("AppAlive-Enabled!\n", r.stderr)
                self.assertIsNone(SANITIZER_REPORT.search(r.stderr), r.stderr)
                self.assertEqual(dev.calls(), [])


if __name__ == "__main__":
    unittest.main()
