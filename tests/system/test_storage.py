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
import tempfile
import unittest

from systest import MKVIF, PROBE, VORN, devsim

NOT_VALID = "   -          -           -    "


def mkvif(*args):
    subprocess.run([MKVIF, *args], check=True, stdout=subprocess.DEVNULL)


class StorageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        """Images of the example device, built once with the image builder."""
        cls.root = root = tempfile.mkdtemp(prefix="vorn-storage-test-")
        os.environ["DEVSIM_TMPDIR"] = root
        contents = os.path.join(root, "kernel.bin")
        with open(contents, "wb") as f:
            f.write(bytes((i * 31 + 7) & 0xFF for i in range(200000)))
        cls.image = {}
        for name, alias, version, extra in (
                ("boot", "boot", "1.0.2", ["--req-hw", "%hw%,zt4100.1.*,+"]),
                ("boot-bad", "boot", "1.0.3", ["--poke", "hdr_crc32=0x12345678"]),
                ("boot-needs", "boot", "1.0.4", ["--req-hw", "%hw%,zt4100.1.*,+",
                                                 "--req-sw0", "system,1.0.2,="]),
                ("recovery", "recovery", "2.1.0", [])):
            cls.image[name] = os.path.join(root, name + ".vif")
            mkvif("image", "--alias", alias, "--version", version, "--contents", contents,
                  "-o", cls.image[name], *extra)
        for alias, version in (("system", "1.0.2"), ("system", "1.0.1"), ("app", "3.0.0")):
            tree = os.path.join(root, "tree-" + version, "bin")
            os.makedirs(tree)
            with open(os.path.join(tree, "hello"), "w") as f:
                f.write("%s %s\n" % (alias, version))
            cls.image[version] = os.path.join(root, version + ".ext4")
            mkvif("ext4", "--dir", os.path.dirname(tree), "--size", "8M", "--alias", alias,
                  "--version", version, "-o", cls.image[version] + ".vif",
                  "--ext4-out", cls.image[version])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def example_device(self):
        """Boot copy 1 valid, system 1.0.2 active and 1.0.1 next."""
        dev = devsim.Device()
        dev.put_raw("boot", 0, self.image["boot"])
        dev.put_ext4_image("system", 0, self.image["1.0.2"])
        dev.put_ext4_image("system", 1, self.image["1.0.1"])
        return dev

    def run_lines(self, dev, *lines):
        """Runs the lines in one boot; the lines of its output. Nothing may stay mounted on the
        private mount point."""
        r = dev.run("\n".join(lines + ("echo '<mounts>'", "cat /proc/mounts")))
        self.assertFalse(r.rebooted, r.stderr)
        out, mounts = r.stdout.split("<mounts>\n")
        self.assertNotIn(" /dev/.vorn-mounts ", mounts, "left on the private mount point")
        return out.splitlines()

    def vorn(self, *words):
        return " ".join([VORN, *words]) + "; echo ' rc='$?"

    def cut_while_mounted(self, dev, region, index):
        """The copy as a power cut leaves it while it is mounted read-write with a transaction
        committed: its journal needs recovery (the bytes of the medium, taken at the cut)."""
        node, point = dev.copy(region, index).node, tempfile.mkdtemp(dir=self.root)
        snap = os.path.join(point + ".img")
        r = dev.run(f"mount {node} {point} && echo x > {point}/new && sync && dd if={node} "
                    f"of={snap} bs=1M status=none")
        self.assertEqual(r.returncode, 0, r.stderr)
        features = subprocess.run(["dumpe2fs", "-h", snap], capture_output=True, text=True)
        self.assertIn("needs_recovery", features.stdout)
        dev.put_ext4_image(region, index, snap)

    def test_listing_and_infos(self):
        # A copy without a header and one that fails a single check show hyphens alike. Item
        # lists and locator texts are the unit tests'; here the sources on the device.
        with self.example_device() as dev:
            dev.put_raw("boot", 1, self.image["boot-bad"])
            dev.put_ext4_image("app", 1, self.image["3.0.0"])
            self.cut_while_mounted(dev, "system", 0)
            copies = [(r, i) for r in ("boot", "system", "app") for i in (0, 1)] + [("recovery", 0)]
            before = [hashlib.sha256(dev.read_copy(*c)).digest() for c in copies]
            out = self.run_lines(dev, VORN + " list images; echo rc=$?",
                                 self.vorn("check", "upgrade", "file@!," + self.image["boot-needs"],
                                           ">/dev/null"),
                                 self.vorn("infos", "version,alias", "bmap@system#1"),
                                 self.vorn("infos", "version,alias,contents_type", "bmap@boot"),
                                 self.vorn("infos", "version", "bmap@boot~1"),
                                 self.vorn("infos", "version", "bmap@kernel"),
                                 self.vorn("infos", "version", "dev@x,raw@0:10"))
            # Reading commands mount ext4 copies read-only without journal replay: no byte of
            # any copy changes (a read-write mount rewrites the superblock every time, a
            # read-only one replays a journal that needs recovery).
            self.assertEqual(before, [hashlib.sha256(dev.read_copy(*c)).digest() for c in copies])
        self.assertEqual(out, [
            "    boot - [v] /dev/block/mmcblk0p1   androidboot  boot     1.0.2        <o o o o> bootable",
            "       `+- [ ] /dev/block/mmcblk0p2   androidboot  " + NOT_VALID,
            "  system - [v] /dev/block/mmcblk0p3   ext4         system   1.0.2        <o o o o>",
            "       `+- [ ] /dev/block/mmcblk0p4   ext4         system   1.0.1        <o o o o>",
            "     app - [ ] /dev/block/mmcblk0p5   ext4         " + NOT_VALID,
            "       `+- [v] /dev/block/mmcblk1p6   ext4         app      3.0.0        <o o o o>",
            "recovery - [v] /dev/block/mmcblk0p7   androidboot  " + NOT_VALID,
            "rc=0",
            " rc=0",
            "1.0.1|system rc=0",
            "1.0.2|boot|0x000000c1 rc=0",
            " rc=251",  # fails a check (-5)
            " rc=253",  # no such region: unreadable (-3)
            " rc=254",  # not a source infos reads (-2)
        ])
        with devsim.Device(cmdline={"bmap_seq": None}) as dev:
            self.assertEqual(self.run_lines(dev, VORN + " list images; echo rc=$?"), ["rc=0"])

    def test_fifos_and_links_are_never_read(self):
        # A FIFO would hold a read forever; a link would lead out of the copy, to a header of
        # a file elsewhere on the device. Both read as a missing header.
        fifo, outside = os.path.join(self.root, "fifo"), os.path.join(self.root, "outside")
        os.mkfifo(fifo)
        mkvif("info-text", self.image["recovery"], "-o", outside)
        trees = [os.path.join(self.root, t) for t in ("tree-link", "tree-fifo")]
        for tree in trees:
            os.makedirs(tree)
        os.symlink(outside, os.path.join(trees[0], "%vif-info%"))
        os.mkfifo(os.path.join(trees[1], "%vif-info%"))
        with devsim.Device() as dev:
            dev.put_ext4_dir("system", 0, trees[0])
            dev.put_ext4_dir("system", 1, trees[1])
            out = self.run_lines(dev, *(self.vorn("infos", "version", source) for source in
                                        ("file@!," + fifo, "bmap@system", "bmap@system#1")))
        self.assertEqual(out, [" rc=252"] * 3)

    def test_a_copy_mounted_elsewhere_is_read_there_and_never_written_raw(self):
        patch = os.path.join(self.root, "patch.bin")
        with open(patch, "wb") as f:
            f.write(b"\xEE" * 4096)
        with self.example_device() as dev:
            before = dev.read_copy("system", 0, 0, 65536)
            out = self.run_lines(
                dev,
                # Read-only, so that the mount itself leaves the superblock as it was.
                "mkdir -p /mnt/system && mount -t ext4 -o ro /dev/block/mmcblk0p3 /mnt/system",
                self.vorn("infos", "version", "bmap@system"),
                "%s write 'bmap@system,raw@0:1000' %s" % (PROBE, patch),
                "grep -c '^/dev/block/mmcblk0p3 /mnt/system ' /proc/mounts",
                "umount /mnt/system",
                "%s write 'bmap@system~1,raw@0:1000' %s" % (PROBE, patch))
            self.assertEqual(out, ["1.0.2 rc=0", "-1", "1", "4096"])
            self.assertEqual(dev.read_copy("system", 0, 0, 65536), before)
            self.assertEqual(dev.read_copy("system", 1, 0, 4096), b"\xEE" * 4096)

    def test_file_access_mounts_the_copy_until_released(self):
        locator = "'bmap@system#1,ext4@/bin/hello'"
        with self.example_device() as dev:
            out = self.run_lines(
                dev, "%s size %s" % (PROBE, locator),
                "%s mounted /dev/block/mmcblk0p4" % PROBE,
                "%s read %s 64" % (PROBE, locator),
                "%s release %s" % (PROBE, locator),
                "%s mounted /dev/block/mmcblk0p4" % PROBE)
        self.assertEqual(out, ["13", "/dev/.vorn-mounts", "13", b"system 1.0.1\n".hex(), "0",
                               "-"])


if __name__ == "__main__":
    unittest.main()
