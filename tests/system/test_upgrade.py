#!/usr/bin/env python3
"""System tests of the upgrade pipeline: the real vorn and vornd in the simulated device, with
images made and signed by the image builder (and the openssl command) over the PKI of
tests/support/make-test-pki, and the partitions' bytes hashed from the host (hashlib).

Usage: test_upgrade.py [PATH_TO_VORN] [unittest options]; MKVIF_BIN, VORN_INIT_BIN come from
the environment (ctest sets them).
"""

import hashlib
import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

from systest import HERE, MKVIF, VORN, VORN_INIT, VORND, devsim, rcs

COPIES = [("boot", 0), ("boot", 1), ("system", 0), ("system", 1), ("app", 0), ("app", 1),
          ("recovery", 0)]
BMAP = ("bmap_dev=sd:/dev/block/mmcblk1 "
        "bmap=boot:1%androidboot:2%androidboot,system:3:4,app:5:sd@6,recovery:7%androidboot ")


def sha(data):
    return hashlib.sha256(data).hexdigest()


class Images:
    """Every image of the tests, built once; paths are "file@!," locators."""

    def __init__(self, root):
        self.root = root
        self.trace = self.file("trace", b"")
        kernel = self.file("kernel.bin", bytes((i * 31 + 7) & 0xFF for i in range(300000)))
        hw = ["--req-hw", "%hw%,zt4100.1.*,+"]
        setup = self.file("setup.sh", f'echo "$(pwd) $0" >> {self.trace}\n'.encode())
        for v, extra in (("1.0.0", []), ("1.2.0", []),
                         ("1.1.0", ["--req-sw0", "boot,1.1.0,+", "--setup-script", setup])):
            tree = os.path.dirname(self.file(f"tree-{v}/build.prop", f"system {v}\n".encode()))
            self.mk(f"system-{v}", "ext4", "--dir", tree, "--size", "8M", "--alias", "system",
                    "--version", v, *hw, *extra, "--ext4-out", self.ext4(v))
        for name, extra in (("boot-1.0.0", hw), ("boot-1.1.0", hw), ("boot-1.2.0", hw),
                            ("boot-0.9.0", hw),
                            ("system-needs-2", hw + ["--req-sw0", "boot,2.0.0,+"]),
                            ("boot-q5", ["--req-hw", "%hw%,q5.1.*,+"]),
                            ("boot-corrupt", hw + ["--poke", "hdr_crc32=0"])):
            alias, version = name.split("-", 1)
            self.mk(name, "image", "--alias", alias, "--version",
                    version if "." in version else "1.3.0", *extra, "--contents", kernel)
        self.mk("system-1.2.0z", "image", "--alias", "system", "--version", "1.2.0", *hw,
                "--req-sw1", "boot,1.2.0,=", "--compress", "--contents-type", "ext4",
                "--contents", self.ext4("1.2.0"))
        shutil.copy(self.path("system-1.1.0"), self.path("system-cut"))
        os.truncate(self.path("system-cut"), 3 << 20)
        self.pki = os.path.join(root, "pki")
        os.makedirs(self.pki)
        subprocess.run(["bash", os.path.join(HERE, "..", "support", "make-test-pki"), self.pki],
                       check=True, capture_output=True)
        with open(os.path.join(self.pki, "trust.pem"), "rb") as f:
            self.trust = f.read()
        for name in ("boot-1.1.0", "system-1.1.0", "boot-1.2.0", "boot-0.9.0"):
            self.sign(name)
        subprocess.run(["openssl", "cms", "-sign", "-binary", "-outform", "DER", "-in",
                        self.path("system-1.2.0z"), "-out", self.path("system-1.2.0z") + ".sig",
                        "-signer", "signer2.pem", "-inkey", "signer2.key"], cwd=self.pki, check=True)
        with open(self.path("boot-1.1.0"), "rb") as f:
            boot = f.read()
        for name, data, signed in (("boot-cut", boot[:-1000], "boot-1.1.0"),
                                   ("boot-flipped", boot[:5000] + b"?" + boot[5001:], "boot-1.1.0"),
                                   ("boot-badsig", boot, "boot-1.2.0")):
            self.file(name + ".vif", data)
            shutil.copy(self.path(signed) + ".sig", self.path(name) + ".sig")

    def file(self, name, data):
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def mk(self, name, *args):
        subprocess.run([MKVIF, *args, "-q", "-o", self.path(name)], check=True)

    def sign(self, name):
        key, cert, chain = (os.path.join(self.pki, f) for f in ("signer.key", "signer.pem",
                                                                "inter.pem"))
        subprocess.run([MKVIF, "sign", "--key", key, "--cert", cert, "--chain", chain,
                        self.path(name)], check=True)

    def path(self, name):
        return os.path.join(self.root, name + ".vif")

    def ext4(self, version):
        return os.path.join(self.root, f"system-{version}.ext4")

    def __getitem__(self, name):
        return "file@!," + self.path(name)


class CopyChecks:
    """What a test case reads of the copies (hashlib from the host)."""

    def hashes(self, dev, copies=COPIES):
        return {c: sha(dev.read_copy(*c)) for c in copies}

    def assert_holds(self, dev, copy, path):
        """The copy begins with the bytes of the file."""
        with open(path, "rb") as f:
            data = f.read()
        self.assertEqual(sha(dev.read_copy(*copy, 0, len(data))), sha(data), copy)


class UpgradeTest(CopyChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="vorn-upgrade-test-")
        os.environ["DEVSIM_TMPDIR"] = cls.root
        cls.img = Images(cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def device(self, **options):
        """Boot 1.0.0 and system 1.0.0 in the first copies, the active ones."""
        dev = devsim.Device(**options)
        dev.put_raw("boot", 0, self.img.path("boot-1.0.0"))
        dev.put_ext4_image("system", 0, self.img.ext4("1.0.0"))
        return dev

    def trace(self):
        try:
            with open(self.img.trace) as f:
                return f.read().splitlines()
        finally:
            open(self.img.trace, "w").close()

    def test_upgrade_cycle_there_and_back(self):
        img = self.img
        paths = f"{img['boot-1.1.0']} {img['system-1.1.0']}"
        with self.device() as dev:
            before = self.hashes(dev)
            r = dev.run(f"{VORN} upgrade.install {paths}; echo rc=$?")
            self.assertEqual(rcs(r.stdout), [0], r.stdout)
            self.assertEqual((self.trace(), dev.bootenv().get("bmap")), ([], None))
            after = self.hashes(dev)
            for copy in COPIES:
                if copy not in (("boot", 1), ("system", 1)):
                    self.assertEqual(after[copy], before[copy], copy)
            self.assert_holds(dev, ("boot", 1), img.path("boot-1.1.0"))
            self.assert_holds(dev, ("system", 1), img.ext4("1.1.0"))

            r = dev.run(f"{VORN} upgrade.setup.reboot {paths}", timeout=60)
            self.assertTrue(r.rebooted, r.stdout + r.stderr)
            self.assertIn("Setup Image Executed(system~1)(cd /dev/.vorn-mounts;"
                          "sh /dev/.vorn-mounts/%vif-setup%)(0)\n", r.stdout)
            self.assertIn("Waiting for REBOOT(5 seconds)", r.stdout)
            self.assertEqual(self.trace(), ["/dev/.vorn-mounts /dev/.vorn-mounts/%vif-setup%"])
            self.assertEqual(dev.bootenv().get("bmap"), BMAP + "bmap_seq=2:4:sd@6:7")
            self.assertIn(" bmap_seq=2:4:sd@6:7", dev.cmdline())
            self.assertEqual(self.hashes(dev)[("boot", 1)], after[("boot", 1)])

            # The next boot runs the new copies; the way back is one "upgrade".
            r = dev.run(f"{VORN} infos version bmap@boot; echo; {VORN} infos version bmap@system; "
                        f"echo; {VORN} upgrade {img['boot-1.2.0']} {img['system-1.2.0z']}; "
                        "echo rc=$?; reboot", timeout=60)
            self.assertTrue(r.rebooted, r.stdout + r.stderr)
            self.assertTrue(r.stdout.startswith("1.1.0\n1.1.0\n"), r.stdout)
            self.assertEqual(rcs(r.stdout), [0])
            self.assertEqual(self.trace(), [])
            self.assertEqual(dev.bootenv().get("bmap"), BMAP + "bmap_seq=1:3:sd@6:7")
            self.assert_holds(dev, ("boot", 0), img.path("boot-1.2.0"))
            self.assert_holds(dev, ("system", 0), img.ext4("1.2.0"))  # inflated
            r = dev.run(f"{VORN} infos version bmap@boot; echo; {VORN} infos version bmap@system")
            self.assertEqual(r.stdout, "1.2.0\n1.2.0")

    def test_refusals_switch_nothing(self):
        """After the private mount point is checked: a stale mount of system#1 there, then two
        processes reading both copies at once; each operation must read the copy it names."""
        img = self.img
        cases = [
            # (command words, exit status, words of its message)
            (["mount -o ro /dev/block/mmcblk0p4 /mnt",
              f"upgrade {img['system-1.0.0']}", "umount /mnt"], 249, "[Error] Write Fail"),
            ([f"upgrade.setup {img['boot-1.1.0']}"], 256 - 10, "Not Installed(bmap@boot~1,"),
            ([f"upgrade {img['system-needs-2']}"], 1,
             "boot,2.0.0,+\nUpgrade Warning(Dependencies exists=1)"),
            ([f"upgrade.install {img['boot-q5']}"], 255, "Dependency(req_hw) error!"),
            ([f"install system~1 {img['boot-1.1.0']}"], 255, "Not Match Alias(system/boot)"),
            ([f"upgrade {img['boot-corrupt']}"], 255, "Verify fail"),
            ([f"upgrade {img['boot-1.1.0']} file@!,{self.root}/missing.vif"], 255,
             "Verify fail"),
            ([f"upgrade {img['boot-1.1.0']} {img['system-cut']}"], 256 - 204,
             "Upgrade Fail(system)(0)"),
            ([f"upgrade {img['system-1.0.0']} {img['system-1.0.0']}"], 255,
             "Upgrade Fail(Two images for region system)"),
            ([f"upgrade {' '.join([img['boot-1.0.0']] * 6)}"], 255,
             "Upgrade Fail(Too many images=6)"),
        ]
        versions = " ".join(f"{VORN} infos version bmap@system#{i % 2}; echo;" for i in range(20))
        mounts = (f"mkdir -p /dev/.vorn-mounts; mount /dev/block/mmcblk0p4 /dev/.vorn-mounts\n"
                  f"{VORN} infos version bmap@system#0; echo; {VORN} list images | grep system\n"
                  f"grep -c vorn-mounts /proc/mounts\n"
                  f"(for i in 1 2; do {versions} done) > {self.root}/a &\n"
                  f"(for i in 1 2; do {versions} done) > {self.root}/b & wait\n"
                  f"cat {self.root}/a {self.root}/b")
        script = ""
        for words, _, _ in cases:
            for w in words:
                mounting = w.startswith(("mount", "umount"))
                script += w + "\n" if mounting else f"{VORN} {w}; rc=$?; echo; echo rc=$rc\n"
            script += "echo ==\n"
        with self.device() as dev:
            dev.put_ext4_image("system", 1, img.ext4("1.2.0"))
            lines = dev.run(mounts, timeout=120).stdout.splitlines()
            self.assertEqual(lines[0], "1.0.0")
            self.assertIn("[v] /dev/block/mmcblk0p3   ext4         system   1.0.0", lines[1])
            self.assertIn("[ ] /dev/block/mmcblk0p4   ext4         system   1.2.0", lines[2])
            self.assertEqual(lines[3:], ["0"] + ["1.0.0", "1.2.0"] * 40)
            before = self.hashes(dev)
            r = dev.run(script, timeout=120)
            for (words, rc, says), out in zip(cases, r.stdout.split("==\n")):
                self.assertEqual(rcs(out), [rc], out)
                self.assertIn(says, out)
            self.assertIsNone(dev.bootenv().get("bmap"))
            after = self.hashes(dev)
            # Only the failing second image's batch wrote: its first image into boot's next
            # copy; the other next copies took the partial writes; the active copies none.
            self.assert_holds(dev, ("boot", 1), img.path("boot-1.1.0"))
            for copy in (("boot", 0), ("system", 0), ("app", 0), ("app", 1), ("recovery", 0)):
                self.assertEqual(after[copy], before[copy], copy)

    def test_with_the_trust_store_only_sound_signed_images_go_in(self):
        img = self.img
        cases = [  # (command words, exit status, words of its message)
            (f"install system {img['system-1.2.0']}", 236, ")(no signature file)!"),
            (f"check upgrade {img['system-1.2.0']}", 236, ")(no signature file)!"),
            (f"install boot {img['boot-cut']}", 255, "[Error] Image File Short("),
            (f"install boot {img['boot-flipped']}", 245, ")(checksum)!"),
            (f"install boot {img['boot-badsig']}", 231, ")(the signature is over other bytes)!"),
            (f"upgrade {img['boot-1.1.0']} {img['system-1.2.0']}", 256 - 220,
             "Upgrade Fail(system)(-20)"),
            (f"install boot {img['boot-0.9.0']}", 230, ")(0.9.0 < 1.0.0)!"),
            (f"check image.signature {img['boot-1.1.0']}", 0, "Signed by (/CN=signer)\nChecked"),
        ]
        script = "".join(f"{VORN} {words}; rc=$?; echo; echo rc=$rc; echo ==\n"
                         for words, _, _ in cases)
        with self.device(etc={"vorn/trust.pem": img.trust}) as dev:
            before = self.hashes(dev)
            r = dev.run(script, timeout=120)
            for (words, rc, says), out in zip(cases, r.stdout.split("==\n")):
                self.assertEqual(rcs(out), [rc], out)
                self.assertIn(says, out)
            self.assertEqual((self.hashes(dev), dev.bootenv().get("bmap")), (before, None))
            # Found while the next copy is written: that copy only is left behind.
            r = dev.run(f"{VORN} upgrade {img['boot-badsig']}; echo rc=$?")
            self.assertEqual(rcs(r.stdout), [231], r.stdout)
            after = self.hashes(dev)
            self.assertEqual([c for c in COPIES if after[c] != before[c]], [("boot", 1)])
            self.assertIsNone(dev.bootenv().get("bmap"))
            r = dev.run(f"{VORN} upgrade {img['boot-1.1.0']} {img['system-1.1.0']}; echo rc=$?; "
                        "reboot", timeout=60)
            self.assertEqual((rcs(r.stdout), r.rebooted), ([0], True), r.stdout)
            self.trace()
            r = dev.run(f"{VORN} infos version bmap@boot; echo; {VORN} infos version bmap@system")
            self.assertEqual(r.stdout, "1.1.0\n1.1.0")

    def test_upgrade_through_vornd_with_heartbeats(self):
        img = self.img
        with self.device(etc={"vorn/trust.pem": img.trust}) as dev:
            service_file = os.path.join(HERE, "..", "..", "init", "vornd.rc")
            boot = dev.start(f"exec {VORN_INIT} {service_file} {VORND} 2>/dev/null")
            try:
                self.assertTrue(boot.wait_socket(timeout=20))
                self.assertEqual(boot.request("appalive set 10 0"), "0\n")
                self.assertEqual(boot.request(f"vorn upgrade {img['system-needs-2']}"),
                                 "1\nboot,2.0.0,+\n")
                self.assertEqual(boot.request(f"vorn upgrade {img['system-1.2.0']}"), "-20\n")
                delays, replies, done = [], set(), threading.Event()

                def heartbeat():
                    started = time.monotonic()
                    replies.add(boot.request("appalive set 10 0"))
                    delays.append(time.monotonic() - started)
                beat = threading.Thread(target=lambda: [heartbeat() for _ in iter(done.is_set, True)])
                beat.start()
                reply = boot.request(f"vorn upgrade {img['boot-1.2.0']} {img['system-1.2.0z']}",
                                     timeout=60)
                done.set()
                beat.join()
            finally:
                boot.stop()
            self.assertEqual((reply, replies), ("0\n", {"0\n"}))
            self.assertTrue(len(delays) > 5 and max(delays) < 1.0, delays)
            self.assertEqual(dev.bootenv().get("bmap"), BMAP + "bmap_seq=2:4:sd@6:7")
            self.assert_holds(dev, ("system", 1), img.ext4("1.2.0"))


if __name__ == "__main__":
    unittest.main()
