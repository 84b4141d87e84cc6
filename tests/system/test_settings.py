#!/usr/bin/env python3
"""System tests of the device settings: getprop/setprop, the boot environment block and its
lock, the system actions and the network set-up, with the real vorn inside the simulated
device.

Usage: test_settings.py [PATH_TO_VORN] [unittest options]; VORN_BIN works too.
"""

import os
import re
import shlex
import struct
import sys
import tempfile
import time
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "devsim"))
import devsim  # noqa: E402

VORN = os.environ.get("VORN_BIN", "")
if __name__ == "__main__" and len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
    VORN = os.path.abspath(sys.argv.pop(1))

BLOCK_OFFSET = 0xC0000
BLOCK_SIZE = 8192

# The property rows in listing order.
NAMES = [
    "sys.hw.version", "sys.eth.addr", "sys.eth.if", "sys.eth.ip.mode", "sys.eth.ip.addrs",
    "sys.eth.ip.gateway", "sys.eth.ip.dns1", "sys.eth.ip.dns2", "sys.eth.ip.setup",
    "sys.wlan.if", "sys.wlan.mode", "sys.wlan.ssid", "sys.wlan.secret", "sys.wlan.ip.mode",
    "sys.wlan.ip.addrs", "sys.wlan.ip.gateway", "sys.wlan.ip.dns1", "sys.wlan.ip.dns2",
    "sys.wlan.ip.setup", "sys.watchdog.enable", "sys.watchdog.timeout", "sys.mem.free",
    "sys.mem.total", "sys.mem.cached", "sys.mem.drop_caches", "sys.mem.min_free", "sys.reboot",
    "sys.debug.instant",
]

DEFAULTS = {
    "sys.hw.version": "zt4100.0.0",
    "sys.eth.addr": "1E:ED:19:27:1A:B3",
    "sys.eth.if": "eth0",
    "sys.eth.ip.mode": "dhcp",
    "sys.wlan.if": "wlan0",
    "sys.wlan.mode": "device",
    "sys.wlan.ssid": "zt4100",
    "sys.wlan.ip.mode": "dhcp",
    "sys.watchdog.enable": "0",
    "sys.watchdog.timeout": "60",
}

# The swap-cache line comes first: "Cached:" must match at the start of a line only.
MEMINFO = ("MemTotal:        2048 kB\n"
           "MemFree:         1024 kB\n"
           "SwapCached:        77 kB\n"
           "Buffers:           16 kB\n"
           "Cached:           512 kB\n")

RC_MARK = re.compile(r"\x1e(\d+)\x1e")


def read_block(dev):
    """(crc valid, entries) of the boot environment block, read and checked here."""
    raw = dev.read_device("mmcblk0", BLOCK_OFFSET, BLOCK_SIZE)
    assert len(raw) == BLOCK_SIZE
    stored = struct.unpack_from("<I", raw)[0]
    valid = zlib.crc32(raw[4:]) & 0xFFFFFFFF == stored
    entries = []
    pos = 4
    while pos < BLOCK_SIZE:
        end = raw.find(b"\0", pos)
        if end in (-1, pos):
            break
        key, _, value = raw[pos:end].decode("latin-1").partition("=")
        entries.append((key, value))
        pos = end + 1
    return valid, entries


def raw_block(dev):
    return dev.read_device("mmcblk0", BLOCK_OFFSET, BLOCK_SIZE)


def vorn_line(*args):
    return " ".join(shlex.quote(a) for a in [VORN, *args])


def batch(dev, *steps, timeout=60):
    """Runs steps in one boot, one after the other: an argv list is a vorn command, a string a
    shell command. Returns ([(exit status, stdout) of each step], BootResult)."""
    script = []
    for step in steps:
        line = step if isinstance(step, str) else vorn_line(*step)
        script.append(f"{line}\nprintf '\\036%d\\036' $?")
    r = dev.run("\n".join(script), timeout=timeout)
    parts = RC_MARK.split(r.stdout)
    results = [(int(parts[i + 1]), parts[i]) for i in range(0, len(parts) - 1, 2)]
    return results, r


def listing(values):
    return "".join(f" {n:<20} : {values.get(n, '')}\n" for n in NAMES)


class SettingsTestBase(unittest.TestCase):
    def setUp(self):
        self.assertTrue(VORN and os.access(VORN, os.X_OK), "VORN_BIN or argument needed")
        self.root = tempfile.mkdtemp(prefix="vorn-settings-")
        self.addCleanup(os.rmdir, self.root)
        os.environ["DEVSIM_TMPDIR"] = self.root

    def unique_path(self, tag):
        """A path under /tmp (shared with the device) that must not come to exist."""
        path = os.path.join(tempfile.gettempdir(),
                            f"vorn-settings-{tag}-{os.getpid()}-{time.time_ns()}")
        self.addCleanup(lambda: os.path.exists(path) and os.unlink(path))
        return path

    def assertBlockValid(self, dev):
        valid, entries = read_block(dev)
        self.assertTrue(valid, "CRC of the boot environment block")
        return entries


class GetpropTest(SettingsTestBase):
    def test_listing_with_values(self):
        with devsim.Device(env={"sys.eth.if": "eth1"}, meminfo=MEMINFO) as dev:
            r = dev.run([VORN, "getprop"])
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(len(r.stdout.splitlines()), 28)
            self.assertEqual(r.stdout, listing({
                "sys.eth.if": "eth1", "sys.hw.version": "zt4100.1.0", "sys.mem.free": "1024",
                "sys.mem.total": "2048", "sys.mem.cached": "512", "sys.mem.min_free": "8192"}))
            self.assertIn(" sys.eth.if           : eth1\n", r.stdout)
            self.assertIn(" sys.reboot           : \n", r.stdout)
            self.assertEqual(r.stderr, "")

    def test_comment_listing(self):
        with devsim.Device() as dev:
            results, _ = batch(dev, ["getprop", "comment"], ["getprop", "comment", "extra"])
            (rc, out), (rc2, out2) = results
            self.assertEqual((rc, rc2), (0, 0))
            self.assertEqual(out2, out)
            lines = out.splitlines()
            self.assertEqual(len(lines), 28)
            self.assertEqual([line[1:21].rstrip() for line in lines], NAMES)
            for line in lines:
                self.assertRegex(line, r"^ \S+ +\[(r--|rw-|--x)\] : \S")
            self.assertIn(" sys.mem.free         [r--] : dram free(KB)", lines)
            self.assertIn(" sys.reboot           [--x] : reboot system", lines)
            self.assertIn(" sys.eth.if           [rw-] : ethernet logical interface name", lines)
            self.assertIn(" sys.debug.instant    [--x] : system debug instant(on/off),"
                          "option: act=[on|off]", lines)

    def test_single_reads(self):
        env = [("ethaddr", "00:11:22:33:44:55"), ("sys.eth.if", "eth1"), ("k=", "x"),
               ("sys.eth.ip.addrs", "10.0.0.2/24")]
        with devsim.Device(env=env, meminfo=MEMINFO) as dev:
            results, _ = batch(dev, ["getprop", "sys.eth.if"], ["getprop", "sys.nothing"],
                               ["getprop", "sys.eth.addr"], ["getprop", "sys.hw.version"],
                               ["getprop", "sys.eth.ip.addrs"], ["getprop", "sys.eth.ip.mode"],
                               ["getprop", "!sys.reboot"], ["getprop", "sys.reboot"],
                               ["getprop", "sys.mem.cached"])
            self.assertEqual(results, [
                (0, "eth1\n"), (0, ""), (0, "00:11:22:33:44:55\n"), (0, "zt4100.1.0\n"),
                (0, "10.0.0.2/24\n"), (0, ""), (0, "\n"), (0, ""), (0, "512\n")])

    def test_memory_rows_from_meminfo(self):
        with devsim.Device(meminfo="MemTotal:  2048 kB\nSwapCached:  5 kB\n") as dev:
            results, _ = batch(dev, ["getprop", "sys.mem.total"], ["getprop", "sys.mem.cached"],
                               ["getprop", "sys.mem.free"])
            # Only the swap-cache line: there is no "Cached:" figure, nor a free one.
            self.assertEqual(results, [(0, "2048\n"), (0, ""), (0, "")])
            dev.set_option(meminfo="Cached:      0 kB\nMemFree:\n")
            results, _ = batch(dev, ["getprop", "sys.mem.cached"], ["getprop", "sys.mem.free"])
            self.assertEqual(results, [(0, "0\n"), (0, "")])


class SetpropTest(SettingsTestBase):
    def test_defaults(self):
        env = [("ethaddr", "00:11:22:33:44:55"), ("sys.eth.if", "eth1"),
               ("sys.eth.ip.addrs", "10.0.0.2/24"), ("sys.wlan.secret", "wpa2@x"),
               ("sys.watchdog.timeout", "5"), ("@color", "red"), ("sys.mem.free", "3")]
        with devsim.Device(env=env) as dev:
            r = dev.run([VORN, "setprop", "default"])
            self.assertEqual(r.returncode, 0, r.stderr)
            expected = "".join(
                f" {n:<20} [set] : {DEFAULTS[n]}\n" if n in DEFAULTS else f" {n:<20} [del]\n"
                for n in NAMES)
            self.assertEqual(r.stdout, expected)
            self.assertEqual(len(r.stdout.splitlines()), 28)
            entries = self.assertBlockValid(dev)
            keys = [k for k, _ in entries]
            self.assertEqual(len(keys), len(set(keys)), entries)
            # Table rows take their defaults or are deleted; what is not a row stays, and so
            # does a stored value of a read-only row, which refuses the deletion.
            self.assertEqual(dict(entries), dict(DEFAULTS, ethaddr="00:11:22:33:44:55",
                                                 **{"@color": "red", "sys.mem.free": "3"}))
            self.assertEqual(keys[:2], ["ethaddr", "sys.eth.if"])  # kept in their places
            self.assertEqual(dev.read_state("min_free_kbytes"), "8192\n")

    def test_user_properties(self):
        with devsim.Device(env={"sys.eth.if": "eth1"}) as dev:
            results, _ = batch(dev, ["setprop", "@color", "red"], ["getprop", "@color"],
                               ["setprop", "@odd", "a=b|c d"], ["getprop", "@odd"],
                               ["setprop", "@color", "blue"])
            self.assertEqual(results, [(0, ""), (0, "red\n"), (0, ""), (0, "a=b|c d\n"),
                                       (0, "")])
            self.assertEqual(self.assertBlockValid(dev), [
                ("sys.eth.if", "eth1"), ("@color", "blue"), ("@odd", "a=b|c d")])
            results, _ = batch(dev, ["setprop", "@color"], ["getprop", "@color"],
                               ["setprop", "@absent"])
            self.assertEqual(results, [(0, ""), (0, ""), (0, "")])
            self.assertEqual(self.assertBlockValid(dev), [
                ("sys.eth.if", "eth1"), ("@odd", "a=b|c d")])

    def test_block_entries(self):
        env = [("@dup", "x"), ("@ab", "1"), ("@dup", "y"), ("k", "v")]
        with devsim.Device(env=env) as dev:
            results, _ = batch(dev, ["getprop", "@dup"], ["getprop", "@a"],
                               ["setprop", "@dup", "z"], ["getprop", "@dup"])
            self.assertEqual(results, [(0, "x\n"), (0, ""), (0, ""), (0, "z\n")])
            # Every copy of a key is replaced, then every copy deleted.
            self.assertEqual(self.assertBlockValid(dev), [
                ("@dup", "z"), ("@ab", "1"), ("@dup", "z"), ("k", "v")])
            results, _ = batch(dev, ["setprop", "@dup"], ["setprop", "@" + "k" * 61, "1"],
                               ["setprop", "@" + "k" * 62, "1"], ["setprop", "@a=b", "1"])
            self.assertEqual(results, [(0, ""), (0, ""), (255, ""), (255, "")])
            self.assertEqual(self.assertBlockValid(dev), [
                ("@ab", "1"), ("k", "v"), ("@" + "k" * 61, "1")])

    def test_full_block(self):
        # "@big=<value>" and the terminating empty entry leave room for eight bytes more:
        # exactly "@n=1234" and its NUL.
        big = "b" * (8188 - len("@big=") - 2 - 8)
        with devsim.Device(env={"@big": big}) as dev:
            results, _ = batch(dev, ["setprop", "@n", "12345"])
            self.assertEqual(results, [(255, "")])
            results, _ = batch(dev, ["setprop", "@n", "1234"], ["setprop", "@m", "1"],
                               ["setprop", "@n", "123"], ["setprop", "@m", "1"],
                               ["getprop", "@big"])
            self.assertEqual(results, [(0, ""), (255, ""), (0, ""), (255, ""), (0, big + "\n")])
            self.assertEqual(self.assertBlockValid(dev), [("@big", big), ("@n", "123")])

    def test_refusals(self):
        with devsim.Device(env={"sys.eth.if": "eth1", "sys.eth.addr": "02:00:00:00:00:01"}) as dev:
            before = raw_block(dev)
            results, _ = batch(dev, ["setprop", "sys.mem.free", "5"],
                               ["setprop", "sys.nothing", "1"], ["setprop", "!sys.eth.if"],
                               ["setprop", "!sys.nothing"], ["setprop", "sys.eth.addr",
                                                             "1E:ED:19:27:1A"],
                               ["setprop", "sys.eth.addr", "1E:ED:19:27:1A:B3:"],
                               ["setprop"], ["setprop", ""], ["getprop", "sys.nothing"])
            self.assertEqual(results, [(255, "")] * 6 + [(254, ""), (255, ""), (0, "")])
            self.assertEqual(raw_block(dev), before)
            self.assertEqual(dev.calls(), [])

    def test_mac_address_row(self):
        env = [("ethaddr", "00:11:22:33:44:55"), ("sys.eth.addr", "02:00:00:00:00:01")]
        with devsim.Device(env=env) as dev:
            results, _ = batch(dev, ["getprop", "sys.eth.addr"],
                               ["setprop", "sys.eth.addr", "1E:ED:19:27:1A:B4"],
                               ["getprop", "sys.eth.addr"], ["setprop", "sys.eth.addr"],
                               ["getprop", "sys.eth.addr"])
            self.assertEqual(results, [(0, "02:00:00:00:00:01\n"), (0, ""),
                                       (0, "1E:ED:19:27:1A:B4\n"), (0, ""),
                                       (0, "00:11:22:33:44:55\n")])
            self.assertEqual(self.assertBlockValid(dev), [("ethaddr", "00:11:22:33:44:55")])

    def test_stored_rows_keep_their_place(self):
        env = [("a", "1"), ("sys.eth.if", "eth1"), ("b", "2")]
        with devsim.Device(env=env) as dev:
            results, _ = batch(dev, ["setprop", "sys.eth.if", "eth2"],
                               ["setprop", "sys.wlan.ssid", "net"], ["setprop", "sys.eth.if", ""],
                               ["setprop", "sys.eth.ip.dns1", "10.0.0.1", "ignored"])
            self.assertEqual([rc for rc, _ in results], [0, 0, 0, 0])
            self.assertEqual(self.assertBlockValid(dev), [
                ("a", "1"), ("b", "2"), ("sys.wlan.ssid", "net"), ("sys.eth.ip.dns1", "10.0.0.1")])

    def test_without_hardware_tag(self):
        with devsim.Device(env={"sys.eth.if": "eth1"}, hw=None) as dev:
            results, _ = batch(dev, ["getprop"], ["getprop", "comment"],
                               ["getprop", "sys.eth.if"], ["setprop", "sys.eth.if", "eth2"],
                               ["setprop", "default"], ["setprop", "@x", "1"], ["getprop", "@x"],
                               ["info", "hw_version"])
            self.assertEqual(results, [(0, ""), (0, ""), (0, ""), (255, ""), (255, ""), (0, ""),
                                       (0, "1\n"), (0, "")])
            self.assertEqual(self.assertBlockValid(dev), [("sys.eth.if", "eth1"), ("@x", "1")])
        # Another model prefix selects the same table.
        with devsim.Device(env={"sys.eth.if": "eth1"}, hw="q5.0") as dev:
            r = dev.run([VORN, "getprop"])
            self.assertEqual(len(r.stdout.splitlines()), 28)
            self.assertIn(" sys.hw.version       : q5.0\n", r.stdout)
        with devsim.Device(hw="x5.0") as dev:
            self.assertEqual(dev.run([VORN, "getprop"]).stdout, "")

    def test_invalid_block(self):
        with devsim.Device() as dev:
            dev.set_bootenv({"sys.eth.if": "eth1", "@x": "1"}, corrupt=True)
            before = raw_block(dev)
            self.assertFalse(read_block(dev)[0])
            results, r = batch(dev, ["getprop", "sys.eth.if"], ["getprop", "@x"],
                               ["setprop", "sys.eth.if", "eth2"], ["setprop", "@x", "2"],
                               ["setprop", "@x"], ["setprop", "default"], ["getprop"])
            self.assertEqual(results[:5], [(0, ""), (0, ""), (255, ""), (255, ""), (255, "")])
            self.assertEqual(results[5][0], 255)
            self.assertEqual(results[6][0], 0)
            self.assertIn(" sys.eth.if           : \n", results[6][1])
            self.assertIn(" sys.hw.version       : zt4100.1.0\n", results[6][1])
            self.assertEqual(raw_block(dev), before)


class LockTest(SettingsTestBase):
    def test_concurrent_writers(self):
        # Each writer has keys of its own: 50 are added, then each is replaced once, so that
        # an update lost to another writer's read-modify-write stays visible at the end.
        writers, count, keys = 4, 100, 50
        script = (
            f"V={shlex.quote(VORN)}\n"
            f"for p in $(seq 1 {writers}); do\n"
            f"  (for i in $(seq 1 {count}); do\n"
            f"     \"$V\" setprop @w$p.$(((i - 1) % {keys})) $i || echo \"fail $p $i $?\"\n"
            f"   done) &\n"
            f"done\n"
            f"wait\n"
            f"ls -a /dev | grep vorn-lock\n"
            f"echo end\n")
        with devsim.Device(env={"sys.eth.if": "eth1"}) as dev:
            r = dev.run(script, timeout=120)
            self.assertEqual((r.returncode, r.stdout), (0, "end\n"), r.stderr)
            entries = self.assertBlockValid(dev)
            expected = [("sys.eth.if", "eth1")] + [(f"@w{p}.{k}", str(k + 1 + keys))
                                                   for p in range(1, writers + 1)
                                                   for k in range(keys)]
            self.assertEqual(sorted(entries), sorted(expected))

    def test_lock_of_dead_owner_is_recovered(self):
        with devsim.Device(env={"sys.eth.if": "eth1"}) as dev:
            r = dev.run(
                f"V={shlex.quote(VORN)}\n"
                "dead=$(sh -c 'echo $$')\n"
                "printf '%d\\n' \"$dead\" > /dev/.vorn-lock\n"
                "kill -0 \"$dead\" 2>/dev/null && echo alive\n"
                "t0=$(date +%s%N); \"$V\" getprop sys.eth.if; t1=$(date +%s%N)\n"
                "echo $(( (t1 - t0) / 1000000 ))\n"
                "ls -a /dev | grep vorn-lock\n"
                "exit 0\n", timeout=30)
            lines = r.stdout.splitlines()
            self.assertEqual(lines[0], "eth1", r.stdout + r.stderr)
            self.assertLess(int(lines[1]), 1000, "ms for a getprop behind a dead owner's lock")
            self.assertEqual(len(lines), 2, r.stdout)

    def test_old_lock_is_recovered_and_live_one_waited_for(self):
        with devsim.Device(env={"sys.eth.if": "eth1"}) as dev:
            r = dev.run(
                f"V={shlex.quote(VORN)}\n"
                "sleep 60 & holder=$!\n"
                # A live owner, but the lock is a minute old.
                "printf '%d\\n' $holder > /dev/.vorn-lock\n"
                "touch -d @$(( $(date +%s) - 60 )) /dev/.vorn-lock\n"
                "t0=$(date +%s%N); \"$V\" getprop sys.eth.if; t1=$(date +%s%N)\n"
                "echo $(( (t1 - t0) / 1000000 ))\n"
                # A live owner and a young lock: the next access waits until it is removed.
                "printf '%d\\n' $holder > /dev/.vorn-lock\n"
                "(sleep 0.5; rm /dev/.vorn-lock) &\n"
                "t0=$(date +%s%N); \"$V\" setprop sys.eth.if eth2; t1=$(date +%s%N)\n"
                "echo $? $(( (t1 - t0) / 1000000 ))\n"
                "ls -a /dev | grep vorn-lock\n"
                "kill $holder; exit 0\n", timeout=30)
            lines = r.stdout.splitlines()
            self.assertEqual(len(lines), 3, r.stdout + r.stderr)
            self.assertEqual(lines[0], "eth1")
            self.assertLess(int(lines[1]), 1000)
            status, waited = lines[2].split()
            self.assertEqual(status, "0")
            self.assertGreaterEqual(int(waited), 450)
            self.assertLess(int(waited), 5000)
            self.assertEqual(self.assertBlockValid(dev), [("sys.eth.if", "eth2")])


class SystemActionTest(SettingsTestBase):
    def test_min_free(self):
        marks = [self.unique_path("minfree1"), self.unique_path("minfree2")]
        with devsim.Device() as dev:
            results, r = batch(dev, ["getprop", "sys.mem.min_free"],
                               ["setprop", "sys.mem.min_free", f"1;touch {marks[0]}"],
                               ["setprop", "sys.mem.min_free", f"$(touch {marks[1]})"],
                               ["setprop", "sys.mem.min_free", "1" * 28],
                               ["getprop", "sys.mem.min_free"],
                               ["setprop", "sys.mem.min_free", "4096"],
                               ["getprop", "sys.mem.min_free"],
                               ["setprop", "sys.mem.min_free"],
                               ["getprop", "sys.mem.min_free"])
            self.assertEqual(results, [(0, "8192\n"), (255, ""), (255, ""), (255, ""),
                                       (0, "8192\n"), (0, ""), (0, "4096\n"), (0, ""),
                                       (0, "4096\n")], r.stderr)
            for mark in marks:
                self.assertFalse(os.path.exists(mark), mark)
            self.assertEqual(dev.read_state("min_free_kbytes"), "4096\n")
            self.assertEqual(self.assertBlockValid(dev), [])

    def test_drop_caches(self):
        with devsim.Device() as dev:
            results, _ = batch(dev, ["getprop", "!sys.mem.drop_caches"],
                               "cat /proc/sys/vm/drop_caches",
                               ["setprop", "!sys.mem.drop_caches"])
            self.assertEqual(results, [(0, "\n"), (0, "0\n"), (0, "")])
            self.assertEqual(dev.read_state("drop_caches"), "1\n")

    def test_reboot_ends_only_the_device(self):
        mark = self.unique_path("after-reboot")
        with devsim.Device() as dev:
            # A query does not reboot.
            results, r = batch(dev, ["getprop", "!sys.reboot"])
            self.assertEqual(results, [(0, "\n")])
            self.assertFalse(r.rebooted)
            r = dev.run(f"echo before; {vorn_line('setprop', '!sys.reboot')}; "
                        f"echo after; touch {mark}", timeout=30)
            self.assertTrue(r.rebooted, r.ending)
            self.assertIsNone(r.returncode)
            self.assertEqual(r.stdout, "before\n")
            self.assertFalse(os.path.exists(mark))
            self.assertEqual(dev.calls(), [])  # restarted by the product itself, not the tool
            # The device boots again.
            self.assertEqual(dev.run([VORN, "info", "hw_version"]).stdout, "zt4100.1.0")

    def test_debug_instant(self):
        on = ["setprop service.adb.tcp.port 5555", "stop adbd", "start adbd"]
        off = ["setprop service.adb.tcp.port -1", "stop adbd", "start adbd"]
        with devsim.Device() as dev:
            cases = [("act=on", on), ("act=off", off), ("act", []), (None, []),
                     ("act=onward", on), ("act=of", []), ("x act=on", [])]
            for option, calls in cases:
                with self.subTest(option=option):
                    dev.clear_calls()
                    args = ["setprop", "!sys.debug.instant"] + ([option] if option else [])
                    results, _ = batch(dev, args, ["getprop", "!sys.debug.instant"])
                    self.assertEqual(results, [(0, ""), (0, "\n")])
                    self.assertEqual(dev.calls(), calls)


class NetworkSetupTest(SettingsTestBase):
    ENV = [("sys.eth.if", "eth0"), ("sys.eth.addr", "02:12:34:56:78:9A")]
    NETIFS = ["eth0=02:00:00:00:00:01", "wlan0=02:00:00:00:00:02"]

    @staticmethod
    def links(text):
        """{name: (mac, up)} from `ip -o link show` lines."""
        out = {}
        for m in re.finditer(r"^\d+: ([^:@]+)[^<]*<([^>]*)>.*?link/ether ([0-9a-f:]+)", text,
                             re.M):
            out[m.group(1)] = (m.group(3), "UP" in m.group(2).split(","))
        return out

    def run_setup(self, dev, *steps):
        """Runs the vorn steps in one boot, eth0 and wlan0 holding one IPv4 address each.
        Returns ([(status, stdout)] of the steps, {name: (mac, up)}, addresses left, result)."""
        results, r = batch(dev, "ip addr add 10.9.8.7/24 dev eth0",
                           "ip addr add 10.9.9.7/24 dev wlan0", *steps,
                           "ip -o link show eth0; ip -o link show wlan0",
                           "ip -o addr show | grep -o '10\\.9\\.[0-9]*\\.7'")
        self.assertEqual(results[:2], [(0, ""), (0, "")], r.stderr)
        return results[2:-2], self.links(results[-2][1]), results[-1][1].split(), r

    def test_eth_setup(self):
        with devsim.Device(env=self.ENV, netifs=self.NETIFS) as dev:
            results, links, addresses, r = self.run_setup(dev, ["setprop", "!sys.eth.ip.setup"])
            self.assertEqual(results, [(0, "-->killall dhcpcd\n")], r.stderr)
            self.assertEqual(links["eth0"], ("02:12:34:56:78:9a", True))
            self.assertEqual(links["wlan0"], ("02:00:00:00:00:02", True))
            # The wired interface's addresses are gone, the other one's stay.
            self.assertEqual(addresses, ["10.9.9.7"])
            self.assertEqual(dev.calls(), ["busybox killall dhcpcd"])

    def test_eth_setup_with_mutual_interface(self):
        with devsim.Device(env=self.ENV, netifs=self.NETIFS) as dev:
            results, links, addresses, r = self.run_setup(
                dev, ["setprop", "!sys.eth.ip.setup", "mutualif=wlan0"])
            self.assertEqual(results, [(0, "-->killall dhcpcd\n")], r.stderr)
            self.assertEqual(links["eth0"], ("02:12:34:56:78:9a", True))
            self.assertEqual(links["wlan0"], ("02:00:00:00:00:02", False))
            self.assertEqual(addresses, ["10.9.9.7"])
            self.assertEqual(dev.calls(), ["busybox killall dhcpcd"])
            # An option that is not "mutualif=" is ignored.
            dev.clear_calls()
            results, links, addresses, r = self.run_setup(
                dev, ["setprop", "!sys.eth.ip.setup", "x=1"])
            self.assertEqual(results, [(0, "-->killall dhcpcd\n")], r.stderr)
            self.assertEqual(links["eth0"], ("02:12:34:56:78:9a", True))
            self.assertEqual(links["wlan0"], ("02:00:00:00:00:02", True))
            self.assertEqual(dev.calls(), ["busybox killall dhcpcd"])

    def test_unusable_address_and_missing_interface(self):
        env = [("sys.eth.if", "eth0"), ("sys.eth.addr", "ZZ:12:34:56:78:9A")]
        with devsim.Device(env=env, netifs=self.NETIFS) as dev:
            results, links, addresses, r = self.run_setup(
                dev, ["setprop", "!sys.eth.ip.setup"], ["setprop", "!sys.wlan.ip.setup"],
                ["setprop", "sys.wlan.if", "wlan0"], ["setprop", "!sys.wlan.ip.setup"],
                ["getprop", "!sys.eth.ip.setup"])
            self.assertEqual(results[0][0], 0, r.stderr)
            self.assertTrue(results[0][1].endswith("-->killall dhcpcd\n"), results[0][1])
            self.assertIn("ZZ:12:34:56:78:9A", results[0][1])
            self.assertEqual(results[1:], [(255, ""), (0, ""), (0, "-->killall dhcpcd\n"),
                                           (0, "\n")])
            self.assertEqual(links["eth0"], ("02:00:00:00:00:01", True))  # address left alone
            self.assertEqual(links["wlan0"], ("02:00:00:00:00:02", True))
            self.assertEqual(addresses, [])
            self.assertEqual(dev.calls(), ["busybox killall dhcpcd"] * 2)

    def test_hostile_interface_names_are_refused(self):
        marks = [self.unique_path(f"netif{i}") for i in range(4)]
        interfaces = [f"eth0;touch {marks[0]}", "$(reboot)", f"eth0`touch {marks[1]}`",
                      "-eth0", "eth0 wlan0", "abcdefghijklmnop"]
        options = [f"mutualif=wlan0;touch {marks[2]}", "mutualif=$(reboot)",
                   f"mutualif=wlan0|touch {marks[3]}", "mutualif="]
        steps = []
        for name in interfaces:
            steps += [["setprop", "sys.eth.if", name], ["setprop", "!sys.eth.ip.setup"]]
        steps.append(["setprop", "sys.eth.if", "eth0"])
        steps += [["setprop", "!sys.eth.ip.setup", option] for option in options]
        with devsim.Device(env=self.ENV, netifs=self.NETIFS) as dev:
            results, links, addresses, r = self.run_setup(dev, *steps)
            self.assertFalse(r.rebooted, r.ending)
            self.assertEqual(results, [(0, ""), (255, "")] * len(interfaces) + [(0, "")]
                             + [(255, "")] * len(options), r.stderr)
            for mark in marks:
                self.assertFalse(os.path.exists(mark), mark)
            self.assertEqual(dev.calls(), [])
            self.assertEqual(links["eth0"], ("02:00:00:00:00:01", True))
            self.assertEqual(links["wlan0"], ("02:00:00:00:00:02", True))
            self.assertEqual(addresses, ["10.9.8.7", "10.9.9.7"])


if __name__ == "__main__":
    unittest.main()
