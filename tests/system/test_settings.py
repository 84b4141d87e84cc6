#!/usr/bin/env python3
"""System tests of the device settings where a real disk, kernel or process is the point: the
boot environment block on the eMMC, writers in separate processes, kernel settings, the
restart, and network interfaces, with the real vorn inside the simulated device. The rules of
each property are the unit tests' (tests/settings).

Usage: test_settings.py [PATH_TO_VORN] [unittest options]; VORN_BIN works too.
"""

import os
import re
import shlex
import struct
import tempfile
import time
import unittest
import zlib

from systest import VORN, devsim

RC_MARK = re.compile(r"\x1e(\d+)\x1e")
# Places of the environment: the default block as a configuration line, the README's two copies.
with open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")) as f:
    ENV_CONFIGS = {"single": "/dev/block/mmcblk0 0xC0000 0x2000\n",
                   "redundant": re.search(r"^    (# device .*\n(?:    /dev.*\n)+)", f.read(),
                                          re.M).group(1).replace("    ", "")}
# The boot loader's tools lock a file of /var/lock: the device's own, not this machine's.
TOOLS_LOCK = "mount -t tmpfs lock /var/lock"


def block_entries(dev):
    """The entries of the boot environment block, read and checked here (zlib's CRC-32)."""
    raw = dev.read_device("mmcblk0", 0xC0000, 8192)
    assert zlib.crc32(raw[4:]) == struct.unpack_from("<I", raw)[0], "CRC of the block"
    return [tuple(e.decode().split("=", 1)) for e in raw[4:].split(b"\0\0")[0].split(b"\0") if e]


def vorn_line(*args):
    return " ".join(shlex.quote(a) for a in [VORN, *args])


def batch(dev, *steps, timeout=60):
    """Runs steps in one boot: an argv list is a vorn command, a string a shell command.
    Returns ([(exit status, stdout) of each step], BootResult)."""
    script = [f"{s if isinstance(s, str) else vorn_line(*s)}\nprintf '\\036%d\\036' $?"
              for s in steps]
    r = dev.run("\n".join(script), timeout=timeout)
    parts = RC_MARK.split(r.stdout)
    return [(int(parts[i + 1]), parts[i]) for i in range(0, len(parts) - 1, 2)], r


class DeviceTestCase(unittest.TestCase):
    def setUp(self):
        self.assertTrue(VORN and os.access(VORN, os.X_OK), "VORN_BIN or argument needed")
        self.root = tempfile.mkdtemp(prefix="vorn-settings-")
        self.addCleanup(os.rmdir, self.root)
        os.environ["DEVSIM_TMPDIR"] = self.root

    def mark(self, tag):
        """A path under /tmp (shared with the device) that must not come to exist."""
        path = os.path.join(tempfile.gettempdir(), f"vorn-{tag}-{os.getpid()}-{time.time_ns()}")
        self.addCleanup(lambda: os.path.exists(path) and os.unlink(path))
        return path


class SettingsTest(DeviceTestCase):
    def test_concurrent_writers_lose_no_update(self):
        # Each writer has keys of its own: 50 are added, then each is replaced once, so that
        # an update lost to another writer's read-modify-write stays visible at the end. Nothing
        # in front of the block changes.
        writers, count, keys = 4, 100, 50
        script = (f"V={shlex.quote(VORN)}\n"
                  f"for p in $(seq 1 {writers}); do\n"
                  f"  (for i in $(seq 1 {count}); do\n"
                  f"     \"$V\" setprop @w$p.$(((i - 1) % {keys})) $i || echo \"fail $p $i $?\"\n"
                  f"   done) &\n"
                  f"done\n"
                  f"wait\n"
                  f"ls -a /dev | grep vorn-lock\n"
                  f"echo end\n")
        with devsim.Device(env={"sys.eth.if": "eth1"}) as dev:
            before = dev.read_device("mmcblk0", 0, 0xC0000)
            r = dev.run(script, timeout=120)
            self.assertEqual((r.returncode, r.stdout), (0, "end\n"), r.stderr)
            self.assertEqual(dev.read_device("mmcblk0", 0, 0xC0000), before)
            self.assertEqual(dev.calls(), [])
            expected = [("sys.eth.if", "eth1")] + [(f"@w{p}.{k}", str(k + 1 + keys))
                                                   for p in range(1, writers + 1)
                                                   for k in range(keys)]
            self.assertEqual(sorted(block_entries(dev)), sorted(expected))

    def test_reboot_ends_only_the_device(self):
        mark = self.mark("after-reboot")
        with devsim.Device() as dev:
            r = dev.run(f"echo before; {vorn_line('setprop', '!sys.reboot')}; "
                        f"echo after; touch {mark}", timeout=30)
            self.assertTrue(r.rebooted, r.ending)
            self.assertEqual(r.stdout, "before\n")
            self.assertFalse(os.path.exists(mark))
            self.assertEqual(dev.calls(), [])  # restarted by the product itself, not the tool
            self.assertEqual(dev.run([VORN, "info", "hw_version"]).stdout, "zt4100.1.0")


class BootLoaderToolsTest(DeviceTestCase):
    def test_tools_and_vorn_read_each_others_writes_on_both_layouts(self):
        for name, config in ENV_CONFIGS.items():
            with self.subTest(name), devsim.Device(env={"a": "1"},
                                                   etc={"fw_env.config": config}) as dev:
                results, _ = batch(dev, TOOLS_LOCK, ["setprop", "@b", "2"], "fw_printenv",
                                   "fw_setenv @c 3 && fw_setenv a", ["getprop", "@c"],
                                   ["setprop", "@b", "4"], "fw_printenv -n @b")
                self.assertEqual(results, [(0, ""), (0, ""), (0, "@b=2\na=1\n"), (0, ""),
                                           (0, "3\n"), (0, ""), (0, "4\n")])
                env = dev.bootenv()
                # Each of the four writes took the next serial, the tools' as vorn's.
                self.assertEqual((sorted(env.entries), env.flags),
                                 ([("@b", "4"), ("@c", "3")], None if name == "single" else 4))

    def test_every_torn_write_of_a_redundant_environment_reads_as_the_old_one(self):
        # Entries that fill the copy, so that every sector of the write is new.
        env = {"@a": "old", "@pad": "x" * 8100}
        with devsim.Device(env=env, etc={"fw_env.config": ENV_CONFIGS["redundant"]}) as dev:
            self.assertEqual(dev.run([VORN, "setprop", "@a", "new"]).returncode, 0)
            place, new = dev.env_places()[1], os.path.join(self.root, "new")
            with open(new, "wb") as f:
                f.write(dev.bootenv_raw(1))
            self.addCleanup(os.unlink, new)
            dev.write_bootenv(bytes(place.size), 1)
            r = dev.run(f"{TOOLS_LOCK}; for k in $(seq 1 16); do dd if={new} of={place.node} "
                        f"bs=512 count=$k seek={place.offset // 512} conv=notrunc 2>/dev/null; "
                        f"echo $(fw_printenv -n @a) $({vorn_line('getprop', '@a')}); done")
            self.assertEqual(r.stdout.splitlines(), ["old old"] * 15 + ["new new"])


class NetworkSetupTest(DeviceTestCase):
    ENV = [("sys.eth.if", "eth0"), ("sys.eth.addr", "02:12:34:56:78:9A")]
    NETIFS = ["eth0=02:00:00:00:00:01", "wlan0=02:00:00:00:00:02"]

    def run_setup(self, *steps):
        """Runs the vorn steps in one boot, eth0 and wlan0 holding one IPv4 address each.
        Returns the step results, {name: (mac, up)} and the addresses left."""
        with devsim.Device(env=self.ENV, netifs=self.NETIFS) as dev:
            results, r = batch(dev, "ip addr add 10.9.8.7/24 dev eth0",
                               "ip addr add 10.9.9.7/24 dev wlan0", *steps,
                               "ip -o link show eth0; ip -o link show wlan0",
                               "ip -o addr show | grep -o '10\\.9\\.[0-9]*\\.7'")
            self.assertFalse(r.rebooted, r.ending)
            self.calls = dev.calls()
        self.assertEqual(results[:2], [(0, ""), (0, "")], r.stderr)
        links = {m[0]: (m[2], "UP" in m[1].split(",")) for m in re.findall(
            r"^\d+: ([^:@]+)[^<]*<([^>]*)>.*?link/ether ([0-9a-f:]+)", results[-2][1], re.M)}
        return results[2:-2], links, results[-1][1].split()

    def test_hostile_names_are_refused_then_eth_setup_with_a_mutual_interface(self):
        # Only the last step reaches the interfaces and the stub tools.
        marks = [self.mark(f"netif{i}") for i in range(4)]
        interfaces = [f"eth0;touch {marks[0]}", "$(reboot)", f"eth0`touch {marks[1]}`", "-eth0",
                      "eth0 wlan0", "abcdefghijklmnop", "e" * 40]
        options = [f"mutualif=wlan0;touch {marks[2]}", "mutualif=$(reboot)",
                   f"mutualif=wlan0|touch {marks[3]}", "mutualif="]
        steps = []
        for name in interfaces:
            steps += [["setprop", "sys.eth.if", name], ["setprop", "!sys.eth.ip.setup"]]
        steps.append(["setprop", "sys.eth.if", "eth0"])
        steps += [["setprop", "!sys.eth.ip.setup", option] for option in options]
        steps.append(["setprop", "!sys.eth.ip.setup", "mutualif=wlan0"])
        results, links, addresses = self.run_setup(*steps)
        self.assertEqual(results, [(0, ""), (255, "")] * len(interfaces) + [(0, "")]
                         + [(255, "")] * len(options) + [(0, "-->killall dhcpcd\n")])
        for mark in marks:
            self.assertFalse(os.path.exists(mark), mark)
        self.assertEqual(self.calls, ["busybox killall dhcpcd"])
        self.assertEqual(links, {"eth0": ("02:12:34:56:78:9a", True),
                                 "wlan0": ("02:00:00:00:00:02", False)})
        self.assertEqual(addresses, ["10.9.9.7"])  # only the wired interface's are gone

if __name__ == "__main__":
    unittest.main()
