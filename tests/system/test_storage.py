#!/usr/bin/env python3
"""System tests of image sources and storage: `vorn list images`, `vorn infos` on image files
and region copies, and the mounts and raw writes underneath, with the real vorn in the
simulated device.

Usage: test_storage.py [PATH_TO_VORN] [unittest options]; the other binaries come from
MKVIF_BIN and STORAGE_PROBE_BIN.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "devsim"))
import devsim  # noqa: E402

VORN = os.environ.get("VORN_BIN", "")
if __name__ == "__main__" and len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
    VORN = os.path.abspath(sys.argv.pop(1))
BIN_DIR = os.path.dirname(os.path.abspath(VORN)) if VORN else ""
MKVIF = os.environ.get("MKVIF_BIN") or os.path.join(BIN_DIR, "..", "tools", "mkvif", "mkvif")
PROBE = os.environ.get("STORAGE_PROBE_BIN") or os.path.join(
    BIN_DIR, "..", "tests", "system", "storage_probe")

NOT_VALID = "   -          -           -    "
PRIVATE_MOUNT = " /dev/.vorn-mounts "


def mkvif(*args):
    subprocess.run([MKVIF, *args], check=True, stdout=subprocess.DEVNULL)


class Images:
    """Images of the example device, built once with the image builder."""

    def __init__(self, root):
        self.root = root
        contents = os.path.join(root, "kernel.bin")
        with open(contents, "wb") as f:
            f.write(bytes((i * 31 + 7) & 0xFF for i in range(200000)))
        self.boot = os.path.join(root, "boot.vif")
        mkvif("image", "--alias", "boot", "--version", "1.0.2", "--req-hw", "%hw%,zt4100.1.*,+",
              "--contents-type", "0xC1", "--contents", contents, "-o", self.boot)
        self.boot_bad = os.path.join(root, "boot-bad.vif")
        mkvif("image", "--alias", "boot", "--version", "1.0.3", "--contents", contents,
              "-o", self.boot_bad, "--poke", "hdr_crc32=0x12345678")
        self.recovery = os.path.join(root, "recovery.vif")
        mkvif("image", "--alias", "recovery", "--version", "2.1.0", "--contents", contents,
              "-o", self.recovery)
        self.system = {}
        for version in ("1.0.2", "1.0.1"):
            tree = os.path.join(root, "tree-" + version)
            os.makedirs(os.path.join(tree, "bin"))
            with open(os.path.join(tree, "bin", "hello"), "w") as f:
                f.write("system " + version + "\n")
            ext4 = os.path.join(root, "system-%s.ext4" % version)
            mkvif("ext4", "--dir", tree, "--size", "8M", "--alias", "system", "--version",
                  version, "-o", os.path.join(root, "system-%s.vif" % version),
                  "--ext4-out", ext4)
            self.system[version] = ext4
        tree = os.path.join(root, "tree-app")
        os.makedirs(tree)
        self.app = os.path.join(root, "app.ext4")
        mkvif("ext4", "--dir", tree, "--size", "4M", "--alias", "app", "--version", "3.0.0",
              "-o", os.path.join(root, "app.vif"), "--ext4-out", self.app)


class StorageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="vorn-storage-test-")
        os.environ["DEVSIM_TMPDIR"] = cls.root
        cls.images = Images(cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def example_device(self):
        """The listing example: boot copy 1 valid, copy 2 empty; system 1.0.2 and 1.0.1."""
        dev = devsim.Device()
        dev.put_raw("boot", 0, self.images.boot)
        dev.put_ext4_image("system", 0, self.images.system["1.0.2"])
        dev.put_ext4_image("system", 1, self.images.system["1.0.1"])
        return dev

    def run_in(self, dev, script, **kw):
        result = dev.run(["sh", "-c", script], **kw)
        self.assertFalse(result.rebooted, result.stderr)
        return result

    def assert_nothing_private(self, text):
        self.assertNotIn(PRIVATE_MOUNT, text, "a mount was left on the private mount point")

    def test_listing_prints_the_example_lines(self):
        with self.example_device() as dev:
            dev.put_ext4_image("app", 1, self.images.app)
            dev.put_raw("recovery", 0, self.images.recovery)
            copies = [(r, i) for r in ("boot", "system", "app") for i in (0, 1)] + [("recovery", 0)]
            before = [hashlib.sha256(dev.read_copy(*c)).digest() for c in copies]
            r = self.run_in(dev, "%s list images; echo rc=$?; cat /proc/mounts; "
                                 "%s infos version bmap@system >/dev/null" % (VORN, VORN))
            # Reading commands mount ext4 copies read-only without journal replay: no byte of
            # any copy changes (a read-write mount rewrites the superblock every time).
            self.assertEqual(before, [hashlib.sha256(dev.read_copy(*c)).digest() for c in copies])
        lines = r.stdout.splitlines()
        self.assertEqual(lines[:8], [
            "    boot - [v] /dev/block/mmcblk0p1   androidboot  boot     1.0.2        <o o o o> bootable",
            "       `+- [ ] /dev/block/mmcblk0p2   androidboot  " + NOT_VALID,
            "  system - [v] /dev/block/mmcblk0p3   ext4         system   1.0.2        <o o o o>",
            "       `+- [ ] /dev/block/mmcblk0p4   ext4         system   1.0.1        <o o o o>",
            "     app - [ ] /dev/block/mmcblk0p5   ext4         " + NOT_VALID,
            "       `+- [v] /dev/block/mmcblk1p6   ext4         app      3.0.0        <o o o o>",
            "recovery - [v] /dev/block/mmcblk0p7   androidboot  recovery 2.1.0        <o o o o> bootable",
            "rc=0",
        ])
        self.assert_nothing_private(r.stdout)

    def test_listing_shows_hyphens_for_a_header_failing_one_check(self):
        with self.example_device() as dev:
            dev.put_raw("boot", 1, self.images.boot_bad)
            r = self.run_in(dev, "%s list images" % VORN)
        self.assertIn("       `+- [ ] /dev/block/mmcblk0p2   androidboot  " + NOT_VALID + "\n",
                      r.stdout)

    def test_listing_of_an_empty_map_prints_nothing(self):
        with devsim.Device(cmdline={"bmap_seq": None}) as dev:
            r = self.run_in(dev, "%s list images; echo rc=$?" % VORN)
        self.assertEqual(r.stdout, "rc=0\n")

    def test_infos_reads_each_kind_of_region_header(self):
        with self.example_device() as dev:
            dev.put_raw("recovery", 0, self.images.recovery)
            r = self.run_in(dev, "\n".join([
                "%s infos version,alias bmap@system; echo ' rc='$?" % VORN,
                "%s infos version,alias bmap@system#1; echo ' rc='$?" % VORN,
                "%s infos version,alias,contents_type bmap@boot; echo ' rc='$?" % VORN,
                "%s infos alias bmap@recovery; echo ' rc='$?" % VORN,
                "%s infos version bmap@boot~1; echo ' rc='$?" % VORN,
                "%s infos version bmap@kernel; echo ' rc='$?" % VORN,
                "cat /proc/mounts",
            ]))
        lines = r.stdout.splitlines()
        self.assertEqual(lines[:6], [
            "1.0.2|system rc=0",
            "1.0.1|system rc=0",
            "1.0.2|boot|0x000000c1 rc=0",
            "recovery rc=0",
            " rc=252",  # the next boot copy is empty: not a valid header (-4)
            " rc=253",  # no such region: unreadable (-3)
        ])
        self.assert_nothing_private(r.stdout)

    def test_recovery_is_read_raw_only(self):
        # A recovery copy holding a file system with a text header is not looked into.
        with devsim.Device() as dev:
            tree = os.path.join(self.root, "tree-recovery")
            os.makedirs(tree, exist_ok=True)
            subprocess.run([MKVIF, "info-text", self.images.recovery, "-o",
                            os.path.join(tree, "%vif-info%")], check=True)
            dev.put_ext4_dir("recovery", 0, tree)
            r = self.run_in(dev, "%s infos alias bmap@recovery; echo ' rc='$?" % VORN)
        self.assertEqual(r.stdout.strip(), "rc=252")

    def test_infos_on_image_files(self):
        with devsim.Device() as dev:
            img = self.images.boot
            r = self.run_in(dev, "\n".join([
                "%s infos magic,hdr_version,alias,,nothing,version file@!,%s; echo ' rc='$?"
                % (VORN, img),
                "%s infos version,alias, file@!,%s; echo ' rc='$?" % (VORN, img),
                "%s infos version dev@x,raw@0:10; echo ' rc='$?" % VORN,
                "%s infos version file@!,%s; echo ' rc='$?" % (VORN, self.images.boot_bad),
                "%s infos version; echo ' rc='$?" % VORN,
            ]))
        self.assertEqual(r.stdout.splitlines(), [
            "8,4B45535452564946|0x00000001|boot|||1.0.2 rc=0",
            "1.0.2|boot rc=0",
            " rc=254",
            " rc=251",
            " rc=254",
        ])

    def test_fifos_and_links_are_never_read(self):
        # A FIFO would hold a read forever; a link would lead out of the copy, to a header of
        # a file elsewhere on the device. Both read as a missing header.
        fifo, outside = os.path.join(self.root, "fifo"), os.path.join(self.root, "outside")
        os.mkfifo(fifo)
        subprocess.run([MKVIF, "info-text", self.images.recovery, "-o", outside], check=True)
        trees = [os.path.join(self.root, t) for t in ("tree-link", "tree-fifo")]
        for tree in trees:
            os.makedirs(tree)
        os.symlink(outside, os.path.join(trees[0], "%vif-info%"))
        os.mkfifo(os.path.join(trees[1], "%vif-info%"))
        with devsim.Device() as dev:
            dev.put_ext4_dir("system", 0, trees[0])
            dev.put_ext4_dir("system", 1, trees[1])
            r = self.run_in(dev, "".join(
                "%s infos version %s; echo ' rc='$?\n" % (VORN, source)
                for source in ("file@!," + fifo, "bmap@system", "bmap@system#1")), timeout=30)
        self.assertEqual(r.stdout.splitlines(), [" rc=252"] * 3)

    def test_a_copy_mounted_elsewhere_is_used_there_and_stays_mounted(self):
        with self.example_device() as dev:
            r = self.run_in(dev, "\n".join([
                "mkdir -p /mnt/system && mount -t ext4 /dev/block/mmcblk0p3 /mnt/system",
                "%s infos version bmap@system; echo ' rc='$?" % VORN,
                "grep -c '^/dev/block/mmcblk0p3 /mnt/system ' /proc/mounts",
                "grep -c '%s' /proc/mounts" % PRIVATE_MOUNT,
            ]))
        self.assertEqual(r.stdout.splitlines(), ["1.0.2 rc=0", "1", "0"])

    def test_raw_write_to_a_mounted_copy_is_refused(self):
        patch = os.path.join(self.root, "patch.bin")
        with open(patch, "wb") as f:
            f.write(b"\xEE" * 4096)
        with self.example_device() as dev:
            before = dev.read_copy("system", 0, 0, 65536)
            r = self.run_in(dev, "\n".join([
                # Read-only, so that the mount itself leaves the superblock as it was.
                "mkdir -p /mnt/system && mount -t ext4 -o ro /dev/block/mmcblk0p3 /mnt/system",
                "%s write 'bmap@system,raw@0:1000' %s" % (PROBE, patch),
                "umount /mnt/system",
                "%s write 'bmap@system~1,raw@0:1000' %s" % (PROBE, patch),
            ]))
            self.assertEqual(r.stdout.splitlines(), ["-1", "4096"])
            self.assertEqual(dev.read_copy("system", 0, 0, 65536), before)
            self.assertEqual(dev.read_copy("system", 1, 0, 4096), b"\xEE" * 4096)

    def test_file_access_mounts_the_copy_until_released(self):
        with self.example_device() as dev:
            r = self.run_in(dev, "\n".join([
                "%s size 'bmap@system#1,ext4@/bin/hello'" % PROBE,
                "%s mounted /dev/block/mmcblk0p4" % PROBE,
                "%s read 'bmap@system#1,ext4@/bin/hello' 64" % PROBE,
                "%s release 'bmap@system#1,ext4@/bin/hello'" % PROBE,
                "%s mounted /dev/block/mmcblk0p4" % PROBE,
            ]))
        self.assertEqual(r.stdout.splitlines(), [
            "13", "/dev/.vorn-mounts", "13", b"system 1.0.1\n".hex(), "0", "-"])


if __name__ == "__main__":
    unittest.main()
