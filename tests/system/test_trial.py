#!/usr/bin/env python3
"""System tests of trial boots: the simulated device's boot loader counts boots and runs the
README's altbootcmd, copies that never come up end in watchdog resets, and the real vorn and
vornd commit, roll back and refuse (each command's rules: tests/upgrade/trial_boot_test.cc).
Usage: test_trial.py [PATH_TO_VORN]; MKVIF_BIN, VORN_INIT_BIN come from the environment."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from systest import HERE, MKVIF, VORN, VORN_INIT, VORND, devsim, rcs

with open(os.path.join(HERE, "..", "..", "README.md")) as f:
    ALTBOOTCMD = re.search(r"^    altbootcmd=(.*)$", f.read(), re.M).group(1)
OLD, NEW = "bmap_seq=1:3:sd@6:7", "bmap_seq=1:4:sd@6:7"  # the system copy the map runs


class TrialTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="vorn-trial-test-")
        os.environ["DEVSIM_TMPDIR"] = cls.root
        os.makedirs(os.path.join(cls.root, "tree"))
        image = os.path.join(cls.root, "system.vif")
        subprocess.run([MKVIF, "ext4", "--dir", os.path.join(cls.root, "tree"), "--size", "1M",
                        "--alias", "system", "--version", "2.0.0", "--req-hw",
                        "%hw%,zt4100.1.*,+", "-q", "-o", image], check=True)
        cls.upgrade = f"{VORN} upgrade file@!,{image}"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def trial(self):
        """A board with trial boots whose next boot tries system copy 4."""
        dev = devsim.Device(env={"bootlimit": "3", "altbootcmd": ALTBOOTCMD})
        r = dev.run(f"{self.upgrade} >/dev/null; {VORN} upgrade.status; reboot")
        self.assertEqual((r.ending, r.stdout), ("reboot", "pending bootcount=0 bootlimit=3\n"))
        self.assertIn(NEW, dev.cmdline())
        return dev

    def test_copy_that_never_comes_up_is_tried_bootlimit_times_then_the_old_one_runs(self):
        with self.trial() as dev:
            dev.set_option(dead_copies=["system#1"], reset_seconds=0.3)
            tries = []
            while len(tries) < 5:
                count = dev.bootenv().get("bootcount")
                r = dev.run([VORN, "upgrade.status"])
                if not r.watchdog_reset:
                    break
                tries.append((count, NEW in r.cmdline))
            self.assertEqual(tries, [("1", True), ("2", True), ("3", True)])
            self.assertEqual((r.returncode, r.stdout, OLD in r.cmdline), (0, "fallback\n", True))
            env = dev.bootenv()
            self.assertEqual((env.get("upgrade_available"), env.get("bootcount")), ("0", "0"))
            self.assertEqual(dev.calls(), ["reboot"])  # the upgrade's, nothing by hand

    def test_vornd_commits_at_the_first_heartbeat_and_a_later_failure_keeps_it(self):
        with self.trial() as dev:
            service_file = os.path.join(HERE, "..", "..", "init", "vornd.rc")
            boot = dev.start(f"exec {VORN_INIT} {service_file} {VORND} 2>/dev/null")
            try:
                self.assertTrue(boot.wait_socket(timeout=20))
                before = boot.request("vorn upgrade.status")
                self.assertEqual(boot.request("appalive set 10 0"), "0\n")
                end = time.monotonic() + 10
                while boot.request("vorn upgrade.status") != "0\nnone\n\n":
                    self.assertLess(time.monotonic(), end, "not committed")
                    time.sleep(0.1)
            finally:
                boot.stop()
            self.assertEqual(before, "1\npending bootcount=1 bootlimit=3\n\n")
            dev.boot_loader()
            dev.set_option(dead_copies=["system#1"], reset_seconds=0.3)
            for _ in range(4):
                self.assertTrue(dev.run([VORN, "upgrade.status"]).watchdog_reset)
            env = dev.bootenv()
            self.assertEqual((env.get("upgrade_available"), env.get("bootcount"),
                              env.get("bmap_prev")), ("0", "0", None))
            self.assertIn(NEW, dev.cmdline())

    def test_refusals_while_pending_then_rollback_and_commit_by_command(self):
        image = self.upgrade.split()[-1]
        with self.trial() as dev:
            # The trial runs: a new upgrade (also with its reboot) and an install into the
            # copy it falls back to are refused; the commit waits for the trial's own map.
            r = dev.run(f"{self.upgrade}; echo rc=$?; {VORN} upgrade.setup.reboot {image}; "
                        f"echo rc=$?; {VORN} install system~1 {image}; echo rc=$?; "
                        f"{VORN} upgrade.check {image}; echo rc=$?; {VORN} upgrade.rollback; "
                        f"echo rc=$?; {VORN} upgrade.commit; echo rc=$?; reboot")
            self.assertEqual(rcs(r.stdout), [256 - 101, 256 - 101, 256 - 27, 0, 0, 0],
                             r.stdout)
            self.assertIn("Upgrade Fail(Upgrade pending", r.stdout)
            self.assertIn("[Error] Fallback Copy(system)(/dev/block/mmcblk0p3)", r.stdout)
            self.assertIn("No Upgrade Pending", r.stdout)  # the rollback ended it
            self.assertIn(OLD, dev.cmdline())
            r = dev.run(f"{self.upgrade} >/dev/null; {VORN} upgrade.commit; echo rc=$?; reboot")
            self.assertEqual(rcs(r.stdout), [256 - 102])  # not restarted on the trial yet
            r = dev.run(f"{VORN} upgrade.commit; echo rc=$?; {VORN} upgrade.status")
            self.assertEqual((rcs(r.stdout), r.stdout.splitlines()[-1]), ([0], "none"))
            self.assertIsNone(dev.bootenv().get("bmap_prev"))
            self.assertIn(NEW, dev.cmdline())


if __name__ == "__main__":
    unittest.main()
