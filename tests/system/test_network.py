#!/usr/bin/env python3
"""System tests of updates from a server: the real vorn and vornd in the simulated device
fetch the images of the upgrade tests from lighttpd on the device's loopback (HTTP, and HTTPS
with a certificate of the test PKI), through a proxy that cuts, stalls, swaps or paces the
stream (devsim http, devsim proxy). The partitions' bytes are hashed from the host (hashlib).

Usage: test_network.py [PATH_TO_VORN] [unittest options]; MKVIF_BIN, VORN_INIT_BIN come from
the environment (ctest sets them).
"""

import os
import re
import shutil
import tempfile
import threading
import time
import unittest

from systest import HERE, VORN, VORN_INIT, VORND, devsim, rcs
from test_upgrade import BMAP, COPIES, CopyChecks, Images

HTTP, HTTPS, ROGUE = "http://127.0.0.1:8080", "https://127.0.0.1:8443", "https://127.0.0.1:8444"
ACTIVE = [("boot", 0), ("system", 0), ("app", 0), ("app", 1), ("recovery", 0)]


def proxy(port):
    return f"http://127.0.0.1:{port}"


class NetworkTest(CopyChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="vorn-network-test-")
        os.environ["DEVSIM_TMPDIR"] = cls.root
        cls.img = Images(cls.root)
        pki = cls.img.pki
        with open(f"{pki}/server.pem") as server, open(f"{pki}/inter.pem") as inter:
            cls.img.file("pki/server-chain.pem", (server.read() + inter.read()).encode())
        with open(f"{pki}/root.pem") as f:
            cls.ca = f.read()
        # The update server's certificate chains to the device's CA bundle; the rogue's does not.
        cls.servers = "".join(
            f"devsim http {cls.root} --port {port} --cert {pki}/{cert}.pem --key {pki}/{key}.key; "
            for port, cert, key in ((8443, "server-chain", "server"), (8444, "outsider", "outsider")))
        cls.servers += f"devsim http {cls.root} --port 8080\n"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def device(self, etc=None, **options):
        """Boot 1.0.0 and system 1.0.0 in the active copies; the CA bundle of update servers."""
        dev = devsim.Device(etc={"vorn/ca.pem": self.ca, **(etc or {})}, **options)
        dev.put_raw("boot", 0, self.img.path("boot-1.0.0"))
        dev.put_ext4_image("system", 0, self.img.ext4("1.0.0"))
        return dev

    def test_upgrade_from_the_server_across_a_reboot(self):
        """The compressed system over HTTPS with a token in the query; boot over HTTP through a
        proxy that cuts the stream once: it resumes."""
        with self.device() as dev:
            r = dev.run(f"{self.servers} devsim proxy 8081 8080 --cut --after 100000\n"
                        f"{VORN} upgrade {proxy(8081)}/boot-1.2.0.vif "
                        f"'{HTTPS}/system-1.2.0z.vif?token=t0k'; echo rc=$?; reboot", timeout=60)
            self.assertTrue(r.rebooted, r.stdout + r.stderr)
            self.assertEqual(rcs(r.stdout), [0], r.stdout)
            self.assertEqual(dev.bootenv().get("bmap"), BMAP + "bmap_seq=2:4:sd@6:7")
            self.assert_holds(dev, ("boot", 1), self.img.path("boot-1.2.0"))
            self.assert_holds(dev, ("system", 1), self.img.ext4("1.2.0"))
            r = dev.run(f"{VORN} infos version bmap@boot; {VORN} infos version bmap@system")
            self.assertEqual(r.stdout, "1.2.0" * 2)

    def test_with_the_trust_store_the_signature_is_fetched_beside_the_image(self):
        """The signature of ".../boot-1.2.0.vif?token=t" is ".../boot-1.2.0.vif.sig?token=t";
        an image without one is refused before anything is written."""
        with self.device(etc={"vorn/trust.pem": self.img.trust}) as dev:
            before = self.hashes(dev)
            r = dev.run(f"{self.servers} {VORN} upgrade {HTTP}/system-1.0.0.vif; echo rc=$?\n"
                        f"{VORN} upgrade '{HTTPS}/boot-1.2.0.vif?token=t'; echo rc=$?")
            self.assertEqual(rcs(r.stdout), [-20 & 0xFF, 0], r.stdout)
            self.assertIn(")(no signature file)!", r.stdout)
            self.assertEqual(dev.bootenv().get("bmap"), BMAP + "bmap_seq=2:3:sd@6:7")
            self.assertEqual({c: h for c, h in self.hashes(dev).items() if c != ("boot", 1)},
                             {c: h for c, h in before.items() if c != ("boot", 1)})
            self.assert_holds(dev, ("boot", 1), self.img.path("boot-1.2.0"))

    def test_failures_leave_the_board_as_it_was(self):
        """Refused before a byte is written: every copy as it was. Failing while streaming:
        the copies the board boots and the map as they were."""
        before_writing = [
            (f"upgrade {HTTP}/none.vif?token=s3cret", -33, f"({HTTP}/none.vif)(HTTP 404)!"),
            (f"upgrade {ROGUE}/boot-1.1.0.vif", -32, "SSL certificate problem"),
            (f"upgrade {proxy(9)}/boot-1.1.0.vif", -31, "Couldn't connect to server"),
            (f"upgrade {HTTP}/boot-cut.vif", -37, "another length (300024 bytes, the header"),
            (f"install boot {HTTP}/boot-1.1.0.vif", -39, "a copy the board boots"),
            (f"install system~1 {proxy(9)}/system-1.0.0.vif", -31, "Couldn't connect"),
            (f"upgrade {HTTP}/{'s' * 2048}.vif", -30, "(longer than 2048 characters)!"),
        ]
        streaming = [
            (f"upgrade {proxy(8082)}/system-1.0.0.vif", -35, "gave up after 1 resumes"),
            (f"upgrade {proxy(8083)}/system-1.0.0.vif", -34, "Operation too slow"),
            (f"upgrade {proxy(8084)}/system-1.0.0.vif", -36, "the server ignores the range"),
            (f"upgrade {proxy(8085)}/boot-1.1.0.vif", -38, "another image (the header changed)"),
            (f"upgrade {HTTP}/boot-flipped.vif", -11, "Contents Invalid("),
        ]
        proxies = ("devsim proxy 8082 8080 --cut --cuts 99 --after 300000; "
                   "devsim proxy 8083 8080 --stall --stalls 99 --after 300000; "
                   "devsim proxy 8084 8080 --cut --after 300000 --no-range; "
                   "devsim proxy 8085 8080 --swap /boot-1.1.0.vif=/boot-1.2.0.vif\n")
        env = {"sys.update.retries": "1", "sys.update.stall_seconds": "1"}
        with self.device(env=env) as dev:
            for cases, copies in ((before_writing, COPIES), (streaming, ACTIVE)):
                before = self.hashes(dev, copies)
                script = self.servers + proxies + "".join(
                    f"{VORN} {words}; echo rc=$?; echo ==\n" for words, _, _ in cases)
                r = dev.run(script, timeout=120)
                for (words, rc, says), out in zip(cases, r.stdout.split("==\n")):
                    self.assertEqual(rcs(out), [rc & 0xFF], out)
                    self.assertIn(says, out)
                    self.assertNotIn("s3cret", out.split("\n", 1)[1])
                self.assertEqual(self.hashes(dev, copies), before)
                self.assertIsNone(dev.bootenv().get("bmap"))

    def test_progress_grows_to_the_total_while_vornd_upgrades(self):
        size = os.path.getsize(self.img.path("system-1.0.0"))
        with self.device() as dev:
            service_file = os.path.join(HERE, "..", "..", "init", "vornd.rc")
            boot = dev.start(f"{self.servers} devsim proxy 8086 8080 --rate 2000000\n"
                             f"exec {VORN_INIT} {service_file} {VORND} 2>/dev/null")
            try:
                self.assertTrue(boot.wait_socket(timeout=20))
                self.assertEqual(boot.request("appalive set 10 0"), "0\n")
                replies = []
                upgrade = threading.Thread(target=lambda: replies.append(boot.request(
                    f"vorn upgrade {proxy(8086)}/system-1.0.0.vif", timeout=60)))
                upgrade.start()
                seen = []
                while upgrade.is_alive():
                    seen.append(boot.request("progress"))
                    time.sleep(0.05)
                upgrade.join()
                idle = boot.request("progress")
            finally:
                boot.stop()
        self.assertEqual((replies, idle), (["0\n"], "0\nidle 0/0 - 0/0\n"))
        done = [int(m[1]) for m in (re.match(rf"0\ninstall 1/1 system (\d+)/{size}\n$", s)
                                    for s in seen) if m]
        # Growing to the total: at 2 MB/s the last answer comes within half a second (1 MiB) of
        # the end even when a loaded host delays a poll by several of its 50 ms.
        self.assertEqual(done, sorted(done))
        self.assertTrue(len([d for d in done if 0 < d < size]) > 3 and done[-1] > size - (1 << 20),
                        seen)


if __name__ == "__main__":
    unittest.main()
