#!/usr/bin/env python3
"""System tests of the simulated device itself: what a command sees inside, and that nothing
of a boot stays on (or reaches) this machine.

Usage: test_devsim.py [PATH_TO_VORN] [unittest options]; VORN_BIN works too.
"""

import os
import signal
import subprocess
import tempfile
import time
import unittest

from systest import HERE, devsim

DEVSIM_CLI = os.path.join(os.path.dirname(devsim.__file__), "devsim")


def loops_under(root):
    """Lines of `losetup -a` whose backing file lies under root."""
    out = subprocess.run(["losetup", "-a"], stdout=subprocess.PIPE, text=True).stdout
    return [line for line in out.splitlines() if root in line]


def host_state():
    with open("/proc/self/mounts") as f:
        mounts = f.read()
    with open("/proc/sys/vm/min_free_kbytes") as f:
        min_free = f.read()
    links = subprocess.run(["ip", "-o", "link"], stdout=subprocess.PIPE, text=True).stdout
    return mounts, min_free, links


def wait_until(pred, seconds=10):
    end = time.monotonic() + seconds
    while not pred() and time.monotonic() < end:
        time.sleep(0.1)
    return pred()


class DeviceTest(unittest.TestCase):
    """After every test: no loop device, mount, file, interface or kernel setting left."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="devsim-test-")
        os.environ["DEVSIM_TMPDIR"] = self.root
        self.host_before = host_state()

    def tearDown(self):
        self.assertEqual(loops_under(self.root), [])
        self.assertEqual(host_state(), self.host_before)
        self.assertEqual(os.listdir(self.root), [])
        os.rmdir(self.root)

    def test_stubs_kernel_settings_gpio_and_network_stay_inside(self):
        meminfo = "MemTotal:        2048 kB\n"
        with devsim.Device(watchdog=True, meminfo=meminfo, netifs=["eth0=02:11:22:33:44:55"]) as dev:
            r = dev.run("am start com.x/.Main && stop adbd && busybox killall dhcpcd && "
                        "echo 4321 > /proc/sys/vm/min_free_kbytes && "
                        "echo 1 > /proc/sys/vm/drop_caches && "
                        "echo 0 > /sys/devices/platform/zt4100-gpio.0/output_CPU_WDT && "
                        "test -f /dev/watchdog && cat /proc/meminfo /sys/class/net/eth0/address"
                        " && ip link set eth0 down; echo 1 > /proc/sys/vm/swappiness")
            self.assertEqual(r.stdout, meminfo + "02:11:22:33:44:55\n")
            self.assertNotEqual(r.returncode, 0)  # the rest of /proc/sys is read-only
            self.assertEqual(dev.calls(), ["am start com.x/.Main", "stop adbd",
                                           "busybox killall dhcpcd"])
            self.assertEqual((dev.read_state("min_free_kbytes"), dev.read_state("drop_caches"),
                              dev.gpio("output_CPU_WDT")), ("4321\n", "1\n", "0\n"))
            r = subprocess.run([os.path.join(dev.dir, "stubs", "reboot")],
                               stderr=subprocess.PIPE, text=True)
            self.assertIn("not inside", r.stderr)

    def test_failed_or_killed_devsim_leaves_nothing(self):
        with self.assertRaises(RuntimeError), devsim.Device():
            raise RuntimeError("test failed inside")
        for sig in (signal.SIGKILL, signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig):
                proc = subprocess.Popen(
                    [DEVSIM_CLI, "run", "--put-dir", "system#0=" + HERE, "--", "sh", "-c",
                     "mount /dev/block/mmcblk0p3 /mnt && echo up && sleep 30"],
                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                    preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
                self.assertEqual(proc.stdout.readline(), b"up\n")
                self.assertNotEqual(loops_under(self.root), [])
                proc.send_signal(sig)
                proc.wait(timeout=10)
                proc.stdout.close()
                self.assertTrue(wait_until(lambda: not loops_under(self.root)))
                self.assertTrue(wait_until(lambda: os.listdir(self.root) == []))


if __name__ == "__main__":
    unittest.main()
