#!/usr/bin/env python3
"""System tests of vornd: the real daemon, started by vorn-init inside simulated devices,
answering framed requests on its init socket, watching an application and feeding the
watchdog.

Usage: test_daemon.py [PATH_TO_VORN] [unittest options]; VORN_BIN, VORNC_BIN and VORN_INIT_BIN
come from the environment (ctest sets them).

The slow waits (liveness firing ~11 s, watchdog GPIO toggle 5 s, silent client 5 s) run
concurrently: every device boots in setUpClass and the tests look at what has happened by their
deadline. No device lives anywhere near the 181 seconds after which the daemon's default watch
would reboot it: a watch that fired (and so put the default watch back) is disarmed at once
("appalive set 10 0", pid 0 never fires), and every boot ends in tearDownClass, some 20 seconds
after it started (ctest's limit for the whole file is 120 seconds).
"""

import os
import re
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "devsim"))
import devsim  # noqa: E402

VORN = os.environ.get("VORN_BIN", "")
if __name__ == "__main__" and len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
    VORN = os.path.abspath(sys.argv.pop(1))
BUILD = os.path.dirname(os.path.dirname(os.path.abspath(VORN))) if VORN else ""
VORND = os.path.join(os.path.dirname(os.path.abspath(VORN)), "vornd") if VORN else ""
VORNC = os.environ.get("VORNC_BIN") or os.path.join(BUILD, "tools", "vornc", "vornc")
VORN_INIT = (os.environ.get("VORN_INIT_BIN")
             or os.path.join(BUILD, "tools", "vorn-init", "vorn-init"))

# The service file the board's init reads: vorn-init takes the socket and ids from it.
SERVICE_FILE = os.path.join(HERE, "..", "..", "init", "vornd.rc")

# The ASan build's leak check of a live daemon (leak_check_trigger.cc); empty elsewhere.
LEAK_CHECK_LIB = os.environ.get("LEAK_CHECK_LIB", "")

SOCKET = "/dev/socket/vornd"
HW = "zt4100.1.0"
GPIO = "output_CPU_WDT"
# What a sanitizer build writes when it finds something.
SANITIZER_REPORT = re.compile(
    r"ERROR: AddressSanitizer|ERROR: LeakSanitizer|WARNING: ThreadSanitizer|runtime error:")


def frame(body):
    if isinstance(body, str):
        body = body.encode()
    return struct.pack("<H", len(body)) + body


def recv_exact(sock, count):
    """count bytes, or fewer when the peer closed the connection first."""
    data = b""
    while len(data) < count:
        try:
            chunk = sock.recv(count - len(data))
        except ConnectionResetError:
            break
        if not chunk:
            break
        data += chunk
    return data


def read_reply(sock):
    """Body of one framed reply as text, or None when the connection closed without one."""
    head = recv_exact(sock, 2)
    if len(head) < 2:
        return None
    (length,) = struct.unpack("<H", head)
    body = recv_exact(sock, length)
    if len(body) < length:
        return None
    return body.decode()


class Daemon:
    """One simulated device running vornd under vorn-init, its log in a host file.

    Before the daemon, the boot starts the processes the liveness tests watch ("sleep 1000",
    their pids in app.pids); they are children of the device's init, which reaps them.
    """

    def __init__(self, workdir, name, apps=0, leak_check=False, stdin_closed=False,
                 **device_options):
        self.dir = os.path.join(workdir, name)
        os.makedirs(self.dir)
        self.log_path = os.path.join(self.dir, "vornd.log")
        daemon = VORND
        self.leak_check = None
        if leak_check and LEAK_CHECK_LIB:
            # vornd with the leak check trigger preloaded, started by a script of the same base
            # name (vorn-init runs a daemon called "vornd"). The preloaded library comes before
            # the ASan runtime in the load order, which ASan accepts only when told to.
            self.leak_check = os.path.join(self.dir, "leak")
            daemon = os.path.join(self.dir, "vornd")
            asan = "verify_asan_link_order=0:detect_leaks=1"
            with open(daemon, "w") as f:
                f.write("#!/bin/sh\n"
                        f"LD_PRELOAD={LEAK_CHECK_LIB} VORN_LEAK_CHECK={self.leak_check} "
                        f'ASAN_OPTIONS="${{ASAN_OPTIONS:+$ASAN_OPTIONS:}}{asan}" '
                        f'exec {VORND} "$@"\n')
            os.chmod(daemon, 0o755)
        if stdin_closed:
            # Standard input closed: the first descriptor the daemon opens is 0.
            daemon = os.path.join(self.dir, "vornd")
            with open(daemon, "w") as f:
                f.write(f'#!/bin/sh\nexec {VORND} "$@" <&-\n')
            os.chmod(daemon, 0o755)
        self.dev = devsim.Device(**device_options)
        pids = os.path.join(self.dir, "app.pids")
        script = "".join(f"(sleep 1000 >/dev/null 2>&1 & echo $! >> {pids}); "
                         for _ in range(apps))
        script += (f"exec {VORN_INIT} -p {self.dir}/vornd.pid {SERVICE_FILE} {daemon} "
                   f">{self.dir}/vornd.out 2>{self.log_path}")
        self.boot = self.dev.start(script)
        self.started = time.monotonic()
        if not self.boot.wait_socket(SOCKET, timeout=20):
            raise AssertionError(f"{name}: vornd did not come up:\n{self.log()}")
        self.app_pids = []
        if apps:
            with open(pids) as f:
                self.app_pids = [int(line) for line in f.read().split()]

    def connect(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(15)
        s.connect(self.boot.path(SOCKET))
        return s

    def request(self, body, sock=None):
        """Reply body to one request (on sock, or on a connection of its own)."""
        if sock is not None:
            sock.sendall(frame(body))
            return read_reply(sock)
        with self.connect() as s:
            s.sendall(frame(body))
            return read_reply(s)

    def vornc(self, *words):
        """vornc run inside the device: (exit status, standard output)."""
        r = self.boot.exec([VORNC, "-s", SOCKET, *words], timeout=20)
        return r.returncode, r.stdout

    def daemon_pid(self):
        with open(os.path.join(self.dir, "vornd.pid")) as f:
            return int(f.read())

    def proc(self, pid, name):
        """Text of /proc/<pid>/<name> in the device, or None when the process does not exist."""
        try:
            with open(self.boot.path(f"/proc/{pid}/{name}")) as f:
                return f.read()
        except OSError:
            return None

    def alive(self, pid):
        stat = self.proc(pid, "stat")
        return stat is not None and stat.rsplit(")", 1)[1].split()[0] != "Z"

    def leaks(self):
        """Result of a leak check of the running daemon ("clean" or "leaks"), None when it
        cannot be checked (not the ASan build)."""
        if self.leak_check is None:
            return None
        open(self.leak_check + ".go", "w").close()
        end = time.monotonic() + 30
        while time.monotonic() < end and not os.path.exists(self.leak_check + ".done"):
            time.sleep(0.05)
        with open(self.leak_check + ".done") as f:
            return f.read().strip()

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def wait_log(self, text, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if text in self.log():
                return True
            time.sleep(0.05)
        return text in self.log()

    def close(self):
        result = self.boot.stop() if self.boot.running() else self.boot.wait()
        self.dev.close()
        return result


class SilentClient(threading.Thread):
    """Connects and never sends; records when the daemon closes the connection."""

    def __init__(self, daemon):
        super().__init__(daemon=True)
        self.sock = daemon.connect()
        self.sock.settimeout(20)
        self.connected = time.monotonic()
        self.closed_after = None
        self.data = None
        self.start()

    def run(self):
        try:
            self.data = self.sock.recv(16)
        except ConnectionResetError:
            self.data = b""
        except OSError:
            self.data = None
        self.closed_after = time.monotonic() - self.connected
        self.sock.close()


class Sampler(threading.Thread):
    """Samples probe() every 50 ms for a while; keeps each change with its time since start.

    The tests run one after another, so what happens at a given second of a device's life is
    recorded in the background and looked at whenever the test comes.
    """

    def __init__(self, probe, seconds):
        super().__init__(daemon=True)
        self.probe = probe
        self.started = time.monotonic()
        self.end = self.started + seconds
        self.changes = []  # (seconds since start, value)
        self.stopped = threading.Event()
        self.start()

    def run(self):
        last = object()
        while time.monotonic() < self.end and not self.stopped.is_set():
            try:
                value = self.probe()
            except Exception as e:  # a boot that ends under the probe
                value = repr(e)
            if value != last:
                self.changes.append((time.monotonic() - self.started, value))
                last = value
            time.sleep(0.05)

    def stop(self):
        self.stopped.set()
        self.join(5)

    def until_done(self):
        self.join(max(0, self.end - time.monotonic() + 5))
        return self.changes


class DaemonTest(unittest.TestCase):
    """Devices, all up at once:

    main      boot environment sys.eth.if=eth1; watches app 0 with "android@com.x/.Main"
              (fires ~11 s after setUpClass); the protocol tests run against it meanwhile
    clear     empty boot environment; watches app 0, then clears the watch: nothing fires
    watchdog  sys.watchdog.enable=1, sys.watchdog.timeout=4, a fake /dev/watchdog; no heartbeat
              ever, so its default watch stays armed (and must not fire within its short life)
    """

    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="vornd-test-")
        cls.daemons = []
        try:
            cls.main = cls._daemon("main", apps=1, leak_check=True,
                                   env={"sys.eth.if": "eth1"})
            cls.clear = cls._daemon("clear", apps=1)
            cls.watchdog = cls._daemon(
                "watchdog", watchdog=True, stdin_closed=True,
                env={"sys.watchdog.enable": "1", "sys.watchdog.timeout": "4"})
            cls.gpio = Sampler(lambda: cls.watchdog.dev.gpio(GPIO), 11)
            cls.watched = cls.main.app_pids[0]
            cls.watched_alive = Sampler(lambda: cls.main.alive(cls.watched), 17)
            cls.armed = time.monotonic()
            cls.set_reply = cls.main.request(
                f"appalive set 10 {cls.watched} android@com.x/.Main")
            cls.kept = cls.clear.app_pids[0]
            cls.clear_replies = (
                cls.clear.request(f"appalive set 10 {cls.kept} android@com.y/.Main"),
                cls.clear.request(f"appalive clear {cls.kept}"))
            cls.cleared = time.monotonic()
            cls.silent = SilentClient(cls.main)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def _daemon(cls, name, apps=0, **options):
        d = Daemon(cls.workdir, name, apps=apps, **options)
        cls.daemons.append(d)
        return d

    @classmethod
    def tearDownClass(cls):
        for name in ("gpio", "watched_alive"):
            if hasattr(cls, name):
                getattr(cls, name).stop()
        for d in cls.daemons:
            d.close()
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def wait_until(self, moment):
        delay = moment - time.monotonic()
        if delay > 0:
            time.sleep(delay)

    def assertClosedWithoutReply(self, sock):
        self.assertIsNone(read_reply(sock))

    # -- framing ---------------------------------------------------------------------------

    def test_request_of_1023_bytes_is_accepted(self):
        body = "vorn info hw_version".ljust(1023)
        self.assertEqual(len(body), 1023)
        with self.main.connect() as s:
            self.assertEqual(self.main.request(body, s), f"0\n{HW}\n")
            self.assertEqual(self.main.request("vorn info hw_version", s), f"0\n{HW}\n")

    def test_length_0_closes_without_reply(self):
        with self.main.connect() as s:
            s.sendall(b"\x00\x00")
            self.assertClosedWithoutReply(s)
        self.assertTrue(self.main.wait_log("invalid size 0\n", 5))

    def test_length_1024_closes_without_reply(self):
        with self.main.connect() as s:
            s.sendall(frame("vorn info hw_version".ljust(1024)))
            self.assertClosedWithoutReply(s)
        self.assertTrue(self.main.wait_log("invalid size 1024\n", 5))

    def test_request_cut_short_closes_without_reply(self):
        with self.main.connect() as s:
            s.sendall(struct.pack("<H", 100) + b"vorn info")
            s.shutdown(socket.SHUT_WR)
            self.assertClosedWithoutReply(s)
        self.assertTrue(self.main.wait_log("failed to read command\n", 5))
        self.assertEqual(self.main.request("vorn info hw_version"), f"0\n{HW}\n")

    def test_request_ends_at_its_first_nul(self):
        self.assertEqual(self.main.request(b"vorn info hw_version\0 a b c d e f g h i"),
                         f"0\n{HW}\n")

    def test_back_to_back_requests_are_answered_in_order(self):
        with self.main.connect() as s:
            s.sendall(frame("vorn info hw_version") + frame("vorn getprop sys.eth.if")
                      + frame("foo bar") + frame("vorn"))
            self.assertEqual([read_reply(s) for _ in range(4)],
                             [f"0\n{HW}\n", "0\neth1\n\n", "-1\n", "-2\n"])

    def test_silent_client_is_dropped_after_5_seconds_while_others_are_served(self):
        # Served while the silent client waits.
        for _ in range(3):
            started = time.monotonic()
            self.assertEqual(self.main.request("vorn info hw_version"), f"0\n{HW}\n")
            self.assertLess(time.monotonic() - started, 2)
        self.assertTrue(self.silent.closed_after is None
                        or self.silent.closed_after > 4.5, self.silent.closed_after)
        self.silent.join(15)
        self.assertEqual(self.silent.data, b"")
        self.assertGreater(self.silent.closed_after, 4.5)
        self.assertLess(self.silent.closed_after, 8)
        self.assertIn("Data is Errored.\n", self.main.log())

    # -- words and the command table -------------------------------------------------------

    def test_vorn_alone(self):
        self.assertEqual(self.main.request("vorn"), "-2\n")

    def test_getprop_of_a_stored_value(self):
        self.assertEqual(self.main.request("vorn getprop sys.eth.if"), "0\neth1\n\n")
        self.assertEqual(self.main.vornc("vorn", "getprop", "sys.eth.if"), (0, "0\neth1\n\n"))

    def test_getprop_of_unset_values(self):
        # Nothing stored: no text, whatever the table's default ("eth0", "wlan0").
        self.assertEqual(self.clear.request("vorn getprop sys.eth.if"), "0\n")
        self.assertEqual(self.main.request("vorn getprop sys.wlan.if"), "0\n")
        self.assertEqual(self.main.request("vorn getprop sys.eth.ip.addrs"), "0\n")

    def test_eight_words_accepted_nine_refused(self):
        self.assertEqual(self.main.request("vorn info hw_version 4 5 6 7 8"), f"0\n{HW}\n")
        with self.main.connect() as s:
            self.assertEqual(self.main.request("vorn info hw_version 4 5 6 7 8 9", s), "-1\n")
            self.assertEqual(self.main.request("vorn info hw_version", s), f"0\n{HW}\n")
        self.assertTrue(self.main.wait_log("too many arguments\n", 5))

    def test_white_space_only_and_unknown_command(self):
        with self.main.connect() as s:
            self.assertEqual(self.main.request(" \t\n\v\f\r ", s), "-1\n")
            self.assertEqual(self.main.request("vorn info hw_version", s), f"0\n{HW}\n")
            self.assertEqual(self.main.request("foo bar", s), "-1\n")
            self.assertEqual(self.main.request("vorn getprop sys.eth.if", s), "0\neth1\n\n")
        self.assertTrue(self.main.wait_log("unsupported command 'foo'\n", 5))
        self.assertTrue(self.main.wait_log("unsupported command ''\n", 5))

    def test_reply_text_longer_than_its_buffer_is_cut(self):
        # A user property of 900 characters: its value and newline do not fit the 511
        # characters of reply text; the reply is cut, the daemon goes on.
        value = "v" * 900
        self.assertEqual(self.main.request(f"vorn setprop @long {value}"), "0\n")
        reply = self.main.request("vorn getprop @long")
        self.assertTrue(reply.startswith("0\n" + "v" * 500), reply)
        self.assertTrue(reply.endswith("\n"), reply)
        self.assertLessEqual(len(reply), len("0\n") + 511 + len("\n"))
        self.assertEqual(self.main.request("vorn setprop @long"), "0\n")
        self.assertEqual(self.main.request("vorn getprop @long"), "0\n")

    def test_info_and_help(self):
        self.assertEqual(self.main.request("vorn info hw_version"), f"0\n{HW}\n")
        self.assertEqual(self.main.request("vorn help"), "0\n")
        self.assertEqual(self.main.vornc("vorn", "info", "hw_version"), (0, f"0\n{HW}\n"))
        self.assertEqual(self.main.vornc("vorn", "info", "nothing"), (0, "0\n"))
        self.assertEqual(self.main.vornc("vorn", "no-such-command")[0], 254)

    def test_each_command_starts_afresh(self):
        with self.main.connect() as s:
            # A quiet command with reply text, then commands that print at normal verbosity
            # in the tool: they reply with their code only, nothing left from before.
            self.assertEqual(self.main.request("vorn info hw_version", s), f"0\n{HW}\n")
            self.assertEqual(self.main.request("vorn help", s), "0\n")
            self.assertEqual(self.main.request("vorn getprop sys.eth.if", s), "0\neth1\n\n")
            self.assertEqual(self.main.request("vorn getprop", s), "0\n")
            self.assertEqual(self.main.request("vorn getprop comment", s), "0\n")
            self.assertEqual(self.main.request("vorn list images", s), "0\n")
            self.assertEqual(self.main.request("vorn getprop sys.wlan.if", s), "0\n")
            self.assertEqual(self.main.request("appalive set 9 0", s), "-1\n")
            self.assertEqual(self.main.request("vorn info hw_version", s), f"0\n{HW}\n")

    def test_a_fifo_as_image_does_not_hold_the_command_lock(self):
        fifo = os.path.join(self.main.dir, "fifo")
        os.mkfifo(fifo)
        self.assertEqual(self.main.request(f"vorn infos version file@!,{fifo}"), "-4\n")
        self.assertEqual(self.main.request("vorn info hw_version"), f"0\n{HW}\n")

    # -- liveness monitor --------------------------------------------------------------------

    def test_malformed_appalive_requests(self):
        # Sent while "main" watches its app: none of them changes the watch (it still fires,
        # test_watched_app_is_killed_and_restarted).
        for body in ("appalive", "appalive foo", "appalive set", "appalive set 30",
                     "appalive set 9 100", "appalive set 10 -5", "appalive clear",
                     "appalive clear 1", "appalive clear 0", "Appalive set 10 0"):
            self.assertEqual(self.main.request(body), "-1\n", body)
        self.assertEqual(self.main.vornc("appalive", "set", "5", "0")[0], 255)

    def test_watched_app_is_killed_and_restarted(self):
        self.assertEqual(self.set_reply, "0\n")
        # Fires on the 11th one-second tick after the heartbeat: the app lives until then.
        changes = self.watched_alive.until_done()
        self.assertEqual([alive for _, alive in changes], [True, False], changes)
        offset = self.watched_alive.started - self.armed
        fired_after = changes[1][0] + offset
        self.assertGreater(fired_after, 9.5)
        self.assertLess(fired_after, 14)
        self.assertTrue(self.main.wait_log(
            f"appalive: kill&restart process[{self.watched},android@com.x/.Main]\n", 3))
        self.assertIn("am start com.x/.Main", self.main.dev.calls())
        # The default watch is back; disarm it.
        self.assertEqual(self.main.request("appalive set 10 0"), "0\n")
        self.assertNotIn("reboot", self.main.dev.calls())

    def test_cleared_watch_does_not_fire(self):
        self.assertEqual(self.clear_replies, ("0\n", "0\n"))
        self.wait_until(self.cleared + 13)
        self.assertTrue(self.clear.alive(self.kept))
        self.assertEqual(self.clear.dev.calls(), [])
        self.assertNotIn("kill&restart", self.clear.log())
        # A clear for a pid that is not watched changes nothing either.
        self.assertEqual(self.clear.request("appalive clear 99999"), "0\n")
        # A pid without digits is 0: a watch that never fires.
        self.assertEqual(self.clear.request("appalive set 30 abc"), "0\n")

    def test_default_watch_does_not_fire_early(self):
        # "watchdog" never gets a heartbeat: its default watch ("reboot" 181 s after start)
        # stays armed for the whole of its short life.
        self.wait_until(self.watchdog.started + 8)
        self.assertTrue(self.watchdog.boot.running())
        self.assertEqual(self.watchdog.dev.calls(), [])
        self.assertIn("appalive: [wait to default \"appalive set\"]\n", self.watchdog.log())
        self.assertLess(time.monotonic() - self.watchdog.started, 60)

    # -- watchdog ----------------------------------------------------------------------------

    def test_watchdog_disabled_by_default(self):
        self.assertIn("Watchdog-Disabled\n", self.main.log())
        self.assertIn("Watchdog-Disabled\n", self.clear.log())
        self.assertIsNone(self.main.dev.gpio(GPIO))

    def test_watchdog_enabled_feeds_and_toggles_the_gpio_line(self):
        log = self.watchdog.log()
        self.assertRegex(
            log, r"Watchdog-Enabled\(0\)! \(timeout=4, sleep_timeout=2 seconds\)\n")
        self.assertNotIn("Watchdog-Disabled", log)
        # 0 at the start of feeding, 1 five seconds later (then 0 again, and so on).
        # None before the first write; "" when a read came between the truncation of the
        # file and the write of "echo".
        changes = [(t, value) for t, value in self.gpio.until_done() if value]
        values = [value for _, value in changes]
        self.assertEqual(values, ["0\n", "1\n", "0\n"][:len(values)], changes)
        self.assertGreaterEqual(len(values), 2, changes)
        self.assertLess(changes[0][0], 3)
        for (before, _), (after, _) in zip(changes, changes[1:]):
            self.assertGreater(after - before, 3.5, changes)
            self.assertLess(after - before, 8, changes)
        # Tool commands are served beside the feeding thread.
        self.assertEqual(self.watchdog.request("vorn getprop sys.watchdog.timeout"), "0\n4\n\n")

    # -- resources -----------------------------------------------------------------------------

    def test_thousand_requests_leave_no_descriptor_or_thread_behind(self):
        pid = self.main.daemon_pid()

        def counts():
            status = self.main.proc(pid, "status")
            threads = int(re.search(r"^Threads:\s+(\d+)", status, re.M).group(1))
            return len(os.listdir(self.main.boot.path(f"/proc/{pid}/fd"))), threads

        def idle():
            # Connection threads of earlier requests end a moment after their clients close:
            # wait until the counts have not changed for half a second.
            end = time.monotonic() + 10
            last, since = counts(), time.monotonic()
            while time.monotonic() < end and time.monotonic() - since < 0.5:
                time.sleep(0.05)
                now = counts()
                if now != last:
                    last, since = now, time.monotonic()
            return last

        # Other tests may still hold connections (the silent client): wait for it first.
        self.silent.join(15)
        before = idle()
        sent = 0
        for _ in range(10):
            with self.main.connect() as s:
                for _ in range(50):
                    self.assertEqual(self.main.request("vorn getprop sys.eth.if", s),
                                     "0\neth1\n\n")
                    sent += 1
        for i in range(500):
            # A clear of a pid nobody watches: the watch of "main" must stay as it is.
            body = "vorn info hw_version" if i % 2 else "appalive clear 99999"
            reply = f"0\n{HW}\n" if i % 2 else "0\n"
            self.assertEqual(self.main.request(body), reply)
            sent += 1
        self.assertEqual(sent, 1000)
        self.assertEqual(idle(), before)
        # In the ASan build: LeakSanitizer's check of the live daemon finds nothing.
        self.assertIn(self.main.leaks(), (None, "clean"), self.main.log()[-4000:])
        self.assertIsNone(SANITIZER_REPORT.search(self.main.log()))

    def test_zz_no_sanitizer_reports(self):
        # Named to run last: every daemon has done its work by now.
        for d in self.daemons:
            self.assertTrue(d.boot.running(), d.dir)
            self.assertIsNone(SANITIZER_REPORT.search(d.log()), d.log()[-4000:])


class StartFailureTest(unittest.TestCase):
    """Without a usable init socket vornd ends at once with status 1: its only exit, and the
    one place where a leak check of a sanitizer build runs."""

    def check(self, env, message):
        with devsim.Device() as dev:
            r = dev.run([VORND], env=env, timeout=30)
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn(message, r.stderr)
            self.assertIn("AppAlive-Enabled!\n", r.stderr)
            self.assertIsNone(SANITIZER_REPORT.search(r.stderr), r.stderr)
            self.assertEqual(dev.calls(), [])

    def test_no_socket_variable(self):
        self.check(None, "Failed to get socket from environment: ")

    def test_socket_variable_not_a_number(self):
        self.check({"ANDROID_SOCKET_vornd": "abc"}, "Failed to get socket from environment: ")

    def test_socket_that_cannot_listen(self):
        # Descriptor 0 is /dev/null there.
        self.check({"ANDROID_SOCKET_vornd": "0"}, "Listen on socket failed: ")


if __name__ == "__main__":
    if not VORN:
        sys.exit("usage: test_daemon.py PATH_TO_VORN (or set VORN_BIN)")
    unittest.main()
