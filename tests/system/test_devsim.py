#!/usr/bin/env python3
"""System tests of the simulated device itself: what vorn sees inside, and that nothing of a
boot stays on (or reaches) this machine.

Usage: test_devsim.py [PATH_TO_VORN] [unittest options]; VORN_BIN works too.
"""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
DEVSIM_DIR = os.path.join(HERE, "..", "..", "tools", "devsim")
sys.path.insert(0, DEVSIM_DIR)
import devsim  # noqa: E402

VORN = os.environ.get("VORN_BIN", "")
if __name__ == "__main__" and len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
    VORN = os.path.abspath(sys.argv.pop(1))
DEVSIM_CLI = os.path.join(DEVSIM_DIR, "devsim")

DEFAULT_CMDLINE = (
    "console=ttyS0 bmap_dev=sd:/dev/block/mmcblk1 "
    "bmap=boot:1%androidboot:2%androidboot,system:3:4,app:5:sd@6,recovery:7%androidboot "
    "bmap_seq=1:3:sd@6:7 vorn.hw=zt4100.1.0")


def loops_under(root):
    """Lines of `losetup -a` whose backing file lies under root."""
    out = subprocess.run(["losetup", "-a"], stdout=subprocess.PIPE, text=True).stdout
    return [line for line in out.splitlines() if root in line]


def host_mounts():
    with open("/proc/self/mounts") as f:
        return f.read()


def host_links():
    return subprocess.run(["ip", "-o", "link"], stdout=subprocess.PIPE, text=True).stdout


def wait_until(pred, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.1)
    return pred()


class DeviceTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="devsim-test-")
        os.environ["DEVSIM_TMPDIR"] = self.root
        self.mounts_before = host_mounts()

    def tearDown(self):
        self.assertEqual(loops_under(self.root), [])
        self.assertEqual(host_mounts(), self.mounts_before)
        self.assertEqual(os.listdir(self.root), [])
        os.rmdir(self.root)

    def test_cmdline_inside_is_the_layouts(self):
        with devsim.Device() as dev:
            self.assertEqual(dev.cmdline(), DEFAULT_CMDLINE)
            r = dev.run(["cat", "/proc/cmdline"])
            self.assertEqual(r.returncode, 0)
            self.assertEqual(r.stdout, DEFAULT_CMDLINE + "\n")

    def test_cmdline_overrides(self):
        with devsim.Device(hw=None, cmdline={"bmap_seq": "2:4:5:7"}) as dev:
            self.assertEqual(dev.run("cat /proc/cmdline").stdout,
                             DEFAULT_CMDLINE.replace("bmap_seq=1:3:sd@6:7", "bmap_seq=2:4:5:7")
                             .replace(" vorn.hw=zt4100.1.0", "") + "\n")
            dev.set_cmdline(None, quiet="1", **{"vorn.hw": "zt4200.2.1"})
            self.assertTrue(dev.run("cat /proc/cmdline").stdout.endswith(
                "bmap_seq=2:4:5:7 quiet=1 vorn.hw=zt4200.2.1\n"))

    def test_nodes_map_to_their_partitions(self):
        with devsim.Device() as dev:
            for region, copies in dev.layout.regions.items():
                for c in copies:
                    dev.write_copy(region, c.index, 512, f"<{region}#{c.index}>".encode())
            script = " ".join(
                f"dd if={c.node} bs=512 skip=1 count=1 2>/dev/null | tr -d '\\0'; echo;"
                for copies in dev.layout.regions.values() for c in copies)
            r = dev.run(script)
            expected = "".join(f"<{region}#{c.index}>\n"
                               for region, copies in dev.layout.regions.items() for c in copies)
            self.assertEqual(r.stdout, expected)
            # The whole-disk node holds the boot environment block; writes reach the host.
            r = dev.run("dd if=/dev/block/mmcblk0 bs=8192 skip=96 count=1 2>/dev/null | od -An -tx1"
                        " | head -1; printf NODE | dd of=/dev/block/mmcblk1p6 bs=1 seek=100"
                        " conv=notrunc 2>/dev/null")
            self.assertEqual(bytes.fromhex(r.stdout.split("\n")[0].replace(" ", "")),
                             dev.bootenv_raw()[:16])
            self.assertEqual(dev.read_copy("app", 1, 100, 4), b"NODE")
            self.assertEqual(dev.copy("app", 1).node, "/dev/block/mmcblk1p6")

    def test_ext4_copy_mounts_inside_only(self):
        with tempfile.TemporaryDirectory() as d, devsim.Device() as dev:
            with open(os.path.join(d, "%vif-info%"), "w") as f:
                f.write("alias=system\n")
            dev.put_ext4_dir("system", 0, d)
            r = dev.run("mkdir -p /dev/.vorn-mounts && mount -t ext4 /dev/block/mmcblk0p3 "
                        "/dev/.vorn-mounts && grep '^/dev/block/mmcblk0p3 ' /proc/mounts && "
                        "cat /dev/.vorn-mounts/%vif-info% && echo new > /dev/.vorn-mounts/added")
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("/dev/block/mmcblk0p3 /dev/.vorn-mounts ext4", r.stdout)
            self.assertIn("alias=system", r.stdout)
            self.assertNotIn("mmcblk", host_mounts())
            # What the boot wrote is on the disk for the next boot.
            r = dev.run("mount /dev/block/mmcblk0p3 /mnt && cat /mnt/added")
            self.assertEqual(r.stdout, "new\n")

    @unittest.skipUnless(VORN, "path of vorn not given")
    def test_vorn_reads_hardware_tag(self):
        with devsim.Device() as dev:
            r = dev.run([VORN, "info", "hw_version"])
            self.assertEqual((r.returncode, r.stdout), (0, "zt4100.1.0"))
        with devsim.Device(hw="zt4100.2.7") as dev:
            self.assertEqual(dev.run([VORN, "info", "hw_version"]).stdout, "zt4100.2.7")

    def test_stubs_record_calls(self):
        with devsim.Device() as dev:
            r = dev.run("am start com.x/.Main && setprop service.adb.tcp.port 5555 && "
                        "stop adbd && start adbd && busybox killall dhcpcd && echo done")
            self.assertEqual(r.stdout, "done\n")
            self.assertEqual(dev.calls(), ["am start com.x/.Main",
                                           "setprop service.adb.tcp.port 5555",
                                           "stop adbd", "start adbd", "busybox killall dhcpcd"])
            dev.clear_calls()
            self.assertEqual(dev.calls(), [])

    def test_stub_reboot_refuses_outside(self):
        with devsim.Device() as dev:
            r = subprocess.run([os.path.join(dev.dir, "stubs", "reboot")],
                               stderr=subprocess.PIPE, text=True)
            self.assertNotEqual(r.returncode, 0)
            self.assertIn("not inside", r.stderr)

    def test_kernel_settings_land_in_state_files(self):
        with open("/proc/sys/vm/min_free_kbytes") as f:
            real = f.read()
        with devsim.Device() as dev:
            r = dev.run("echo 4321 > /proc/sys/vm/min_free_kbytes && "
                        "echo 1 > /proc/sys/vm/drop_caches && cat /proc/sys/vm/min_free_kbytes; "
                        "echo 1 > /proc/sys/vm/swappiness")
            self.assertEqual(r.stdout, "4321\n")
            self.assertNotEqual(r.returncode, 0)  # the rest of /proc/sys is read-only
            self.assertEqual(dev.read_state("min_free_kbytes"), "4321\n")
            self.assertEqual(dev.read_state("drop_caches"), "1\n")
        with open("/proc/sys/vm/min_free_kbytes") as f:
            self.assertEqual(f.read(), real)

    def test_gpio_watchdog_meminfo(self):
        meminfo = "MemTotal:        2048 kB\nMemFree:         1024 kB\n"
        with devsim.Device(watchdog=True, meminfo=meminfo) as dev:
            r = dev.run("echo 0 > /sys/devices/platform/zt4100-gpio.0/output_CPU_WDT && "
                        "test -f /dev/watchdog && cat /proc/meminfo")
            self.assertEqual((r.returncode, r.stdout), (0, meminfo))
            self.assertEqual(dev.gpio("output_CPU_WDT"), "0\n")
            dev.set_option(watchdog=False, meminfo=None)
            self.assertEqual(dev.run("test -e /dev/watchdog").returncode, 1)

    def test_reboot_applies_stored_bmap(self):
        stored = ("bmap_dev=sd:/dev/block/mmcblk1 bmap=boot:1%androidboot:2%androidboot,"
                  "system:3:4,app:5:sd@6,recovery:7%androidboot bmap_seq=2:4:5:7")
        with devsim.Device(env={"sys.eth.if": "eth1"}) as dev:
            dev.set_bootenv(dev.bootenv().entries + [("bmap", stored)])
            r = dev.run("echo going; reboot; echo not reached")
            self.assertTrue(r.rebooted)
            self.assertIsNone(r.returncode)
            self.assertEqual(r.stdout, "going\n")
            self.assertEqual(dev.calls(), ["reboot"])
            expected = "console=ttyS0 " + stored + " vorn.hw=zt4100.1.0"
            self.assertEqual(dev.cmdline(), expected)
            self.assertEqual(dev.run("cat /proc/cmdline").stdout, expected + "\n")
            # reboot(2) called by the product ends the boot the same way.
            dev.set_cmdline(DEFAULT_CMDLINE)
            r = dev.run([sys.executable, "-c",
                         "import ctypes; ctypes.CDLL(None).reboot(0x01234567)"])
            self.assertTrue(r.rebooted)
            self.assertEqual(dev.cmdline(), expected)
            # A boot that ends by the command's exit leaves the command line alone.
            dev.set_cmdline(DEFAULT_CMDLINE)
            self.assertFalse(dev.run("true").rebooted)
            self.assertEqual(dev.cmdline(), DEFAULT_CMDLINE)

    def test_bootenv_block(self):
        with devsim.Device(env=[("ethaddr", "1e:ed:19:27:1a:b3"), ("sys.eth.if", "eth1")]) as dev:
            raw = dev.bootenv_raw()
            env = dev.bootenv()
            self.assertTrue(env.valid)
            self.assertEqual(env.entries, [("ethaddr", "1e:ed:19:27:1a:b3"),
                                           ("sys.eth.if", "eth1")])
            area = b"ethaddr=1e:ed:19:27:1a:b3\0sys.eth.if=eth1\0"
            self.assertEqual(raw[4:], area + bytes(8188 - len(area)))
            self.assertEqual(devsim.decode_bootenv(devsim.encode_bootenv(env.entries)).entries,
                             env.entries)
            # A block changed inside the device is read back from the host.
            r = dev.run("printf 'a=1\\0' | dd of=/dev/block/mmcblk0 bs=1 seek=$((0xC0004))"
                        " conv=notrunc 2>/dev/null")
            self.assertEqual(r.returncode, 0)
            self.assertFalse(dev.bootenv().valid)
            self.assertEqual(dev.bootenv().get("a"), "1")
            dev.set_bootenv([("a", "1"), ("b", "2"), ("a", "3")])
            dev.bootenv_set("a", "4")
            dev.bootenv_set("c", "5")
            dev.bootenv_set("b", "")
            self.assertEqual(dev.bootenv().entries, [("a", "4"), ("a", "4"), ("c", "5")])
            self.assertTrue(dev.bootenv().valid)
            dev.set_bootenv({"k": "v=w|x"}, corrupt=True)
            self.assertFalse(dev.bootenv().valid)
            self.assertEqual(dev.bootenv().get("k"), "v=w|x")
        with devsim.Device(bootenv_corrupt=True) as dev:
            self.assertFalse(dev.bootenv().valid)
            self.assertEqual(dev.bootenv().entries, [])

    def test_streams_timeout_and_background(self):
        with devsim.Device() as dev:
            r = dev.run("echo out; echo err >&2; exit 7")
            self.assertEqual((r.returncode, r.stdout, r.stderr), (7, "out\n", "err\n"))
            r = dev.run(["cat"], input="fed\n")
            self.assertEqual(r.stdout, "fed\n")
            start = time.monotonic()
            r = dev.run("sleep 30", timeout=1)
            self.assertTrue(r.timed_out)
            self.assertLess(time.monotonic() - start, 10)
            # A background process lives as long as the boot, talking to the foreground one.
            r = dev.run("(sleep 0.2; echo late > /dev/socket/msg) & sleep 30 & "
                        "while [ ! -s /dev/socket/msg ]; do sleep 0.1; done; cat /dev/socket/msg")
            self.assertEqual(r.stdout, "late\n")
            self.assertEqual(dev.run("ls /dev/socket").stdout, "")  # /dev starts empty
            self.assertEqual(dev.run(["/nonexistent"]).returncode, 127)

    def test_service_socket_and_background_boot(self):
        # A stand-in daemon: listens on the socket init hands it, answers framed requests.
        daemon = (
            "import os, socket\n"
            "s = socket.socket(fileno=int(os.environ['ANDROID_SOCKET_vornd'])); s.listen(5)\n"
            "while True:\n"
            "    c, _ = s.accept()\n"
            "    while len(h := c.recv(2)) == 2:\n"
            "        body = c.recv(int.from_bytes(h, 'little'))\n"
            "        os.system('setprop seen ' + body.decode().split()[-1])\n"
            "        reply = b'0\\n' + body + b'\\n'\n"
            "        c.sendall(len(reply).to_bytes(2, 'little') + reply)\n"
            "    c.close()\n")
        with tempfile.NamedTemporaryFile("w", suffix=".py") as f, devsim.Device() as dev:
            f.write(daemon)
            f.flush()
            service = f"devsim service vornd -- {sys.executable} {f.name}"
            # Everything inside one boot: service, then a client inside the device.
            r = dev.run(f"{service} & until devsim send /dev/socket/vornd 'vorn a' 'vorn b';"
                        " do sleep 0.05; done")
            self.assertEqual(r.stdout, "0\nvorn a\n0\nvorn b\n", r.stderr)
            self.assertEqual(dev.calls(), ["setprop seen a", "setprop seen b"])
            # The same from the host, with the boot running in the background.
            boot = dev.start(service)
            self.assertTrue(boot.wait_socket())
            self.assertEqual(boot.request("vorn getprop x"), "0\nvorn getprop x\n")
            self.assertEqual(boot.exec("ls -l /dev/socket/vornd | cut -c1").stdout, "s\n")
            self.assertEqual(boot.exec("exit 5").returncode, 5)
            self.assertTrue(boot.running())
            with self.assertRaises(devsim.DevsimError):
                dev.run("true")  # one boot at a time
            boot.exec("reboot")
            r = boot.wait(10)
            self.assertTrue(r.rebooted)
            self.assertEqual(dev.calls()[-1], "reboot")
            self.assertEqual(loops_under(self.root), [])
            boot = dev.start("echo started; sleep 30")
            boot.wait_ready()
            r = boot.stop()
            self.assertTrue(r.timed_out)

    def test_network_interfaces_stay_inside(self):
        before = host_links()
        with devsim.Device(netifs=["eth0", "wlan0=02:11:22:33:44:55"]) as dev:
            r = dev.run("ip -o link show; cat /sys/class/net/wlan0/address")
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(": eth0", r.stdout)
            self.assertIn("02:11:22:33:44:55\n", r.stdout)
            self.assertNotIn(": wlan0", host_links())
        self.assertEqual(host_links(), before)

    def test_loops_detached_after_failing_command_and_exception(self):
        with devsim.Device() as dev:
            self.assertEqual(dev.run("exit 3").returncode, 3)
            self.assertEqual(loops_under(self.root), [])
            self.assertEqual(dev.run("false; kill -9 $$").returncode, -9)
        with self.assertRaises(RuntimeError):
            with devsim.Device() as dev:
                raise RuntimeError("test failed inside")

    def test_killed_devsim_leaves_nothing(self):
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
                self.assertTrue(wait_until(lambda: not loops_under(self.root)),
                                loops_under(self.root))
                self.assertTrue(wait_until(lambda: os.listdir(self.root) == []),
                                os.listdir(self.root))

    def test_persistent_device_cli(self):
        d = os.path.join(self.root, "dev")
        try:
            def cli(*args):
                return subprocess.run([DEVSIM_CLI, *args], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True)
            r = cli("create", d, "--env", "sys.eth.if=eth1", "--no-hw")
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertNotIn("vorn.hw", r.stdout)
            r = cli("boot", d, "--", "sh", "-c", "am start a/.B; exit 4")
            self.assertEqual(r.returncode, 4)
            self.assertEqual(cli("calls", d).stdout, "am start a/.B\n")
            r = cli("bootenv", d, "--set", "a=1", "--set", "sys.eth.if=")
            self.assertEqual(r.stdout.splitlines()[1:], ["a=1"])
            self.assertIn("crc ok", r.stdout)
            self.assertEqual(loops_under(self.root), [])
        finally:
            r = cli("destroy", d)
            self.assertEqual(r.returncode, 0, r.stderr)

    def test_format_ext4(self):
        with devsim.Device(format_ext4=True) as dev:
            r = dev.run("for n in mmcblk0p3 mmcblk0p4 mmcblk0p5 mmcblk1p6; do "
                        "mount /dev/block/$n /mnt && ls /mnt && umount /mnt; done")
            self.assertEqual(r.stdout, "lost+found\n" * 4, r.stderr)
            self.assertEqual(dev.read_copy("boot", 0, 0, 4096), bytes(4096))

    def test_layout_from_boot_map(self):
        layout = devsim.Layout({"bmap": "boot:5%raw:6%raw,system:x@2:7", "bmap_seq": "5:7"})
        self.assertEqual([c.number for c in layout.regions["system"]], [7])
        self.assertEqual(layout.regions["boot"][1].fs, "raw")
        self.assertEqual(sorted(layout.disks["mmcblk0"].partitions), [5, 6, 7])
        with devsim.Device(layout=layout.data, hw=None) as dev:
            self.assertEqual(dev.cmdline(), "console=ttyS0 bmap=boot:5%raw:6%raw,system:x@2:7 "
                                             "bmap_seq=5:7")
            self.assertEqual(dev.run("ls /dev/block").stdout,
                             "mmcblk0\nmmcblk0p5\nmmcblk0p6\nmmcblk0p7\n")


class HelpersTest(unittest.TestCase):
    def test_apply_bmap_value_keeps_other_tokens(self):
        self.assertEqual(
            devsim.apply_bmap_value("console=ttyS0 bmap_dev=a:/x bmap=b:1 bmap_seq=1 vorn.hw=h",
                                    "bmap=b:1:2 bmap_seq=2"),
            "console=ttyS0 bmap=b:1:2 bmap_seq=2 vorn.hw=h")
        self.assertEqual(devsim.apply_bmap_value("console=ttyS0 vorn.hw=h", "bmap=b:1 bmap_seq=1"),
                         "console=ttyS0 bmap=b:1 bmap_seq=1 vorn.hw=h")

    def test_set_cmdline_keys(self):
        self.assertEqual(devsim.set_cmdline_keys("console=ttyS0 a=1 vorn.hw=x b=2",
                                                 {"a": None, "vorn.hw": "y", "quiet": True}),
                         "console=ttyS0 vorn.hw=y b=2 quiet")


if __name__ == "__main__":
    unittest.main()
