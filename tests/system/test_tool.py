#!/usr/bin/env python3
"""System tests of the tool's entry and dispatcher: personalities, the help text, the hardware
version, and the results of missing or unknown command words, with the real vorn in the
simulated device.

Usage: test_tool.py [PATH_TO_VORN] [unittest options].
"""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "devsim"))
import devsim  # noqa: E402

VORN = os.environ.get("VORN_BIN", "")
if __name__ == "__main__" and len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
    VORN = os.path.abspath(sys.argv.pop(1))

with open(os.path.join(HERE, "help_text.golden")) as f:
    HELP_TEXT = f.read()


class ToolTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dev = devsim.Device()

    @classmethod
    def tearDownClass(cls):
        cls.dev.close()

    def run_script(self, lines):
        r = self.dev.run(["sh", "-c", "\n".join(lines)])
        self.assertFalse(r.rebooted)
        return r

    def test_help_prints_banner_and_the_three_texts_exactly(self):
        r = self.run_script(["%s help; echo rc=$?" % VORN])
        banner, rest = r.stdout.split("\n", 1)
        self.assertTrue(banner.startswith("Vornix vorn "), banner)
        self.assertEqual(rest, HELP_TEXT + "rc=0\n")

    def test_personality_follows_the_base_name(self):
        r = self.run_script([
            "mkdir -p /tmp/p/x /tmp/p/system/bin",
            "ln -sf %s /tmp/p/vorn2" % VORN,
            "ln -sf %s /tmp/p/x/vornd" % VORN,
            "ln -sf %s /tmp/p/system/bin/vorn" % VORN,
            "/tmp/p/vorn2 help; echo vorn2=$?",
            "cd /tmp/p && ./x/vornd; echo vornd=$?",
            "/tmp/p/system/bin/vorn info hw_version; echo ' vorn='$?",
        ])
        self.assertEqual(r.stdout, "vorn2=0\nvornd=1\nzt4100.1.0 vorn=0\n")
        self.assertIn("Failed to get socket from environment", r.stderr)

    def test_hardware_version_comes_from_the_kernel_command_line(self):
        with devsim.Device(hw=None) as bare:
            r = bare.run(["sh", "-c", "%s info hw_version; echo rc=$?" % VORN])
        self.assertEqual(r.stdout, "rc=0\n")
        with devsim.Device(hw="q5.2.7") as q5:
            r = q5.run(["sh", "-c", "%s info hw_version; echo rc=$?" % VORN])
        self.assertEqual(r.stdout, "q5.2.7rc=0\n")

    def test_results_of_missing_unknown_and_ignored_words(self):
        r = self.run_script([
            "%s; echo none=$?" % VORN,
            "%s Help; echo Help=$?" % VORN,
            "%s list; echo list=$?" % VORN,
            "%s list foo; echo listfoo=$?" % VORN,
            "%s list bmaps; echo bmaps=$?" % VORN,
            "%s info; echo info=$?" % VORN,
            "%s infos version; echo infos=$?" % VORN,
        ])
        self.assertEqual(r.stdout.splitlines(), [
            "none=254", "Help=254", "list=0", "listfoo=0", "bmaps=0", "info=0", "infos=254"])


if __name__ == "__main__":
    unittest.main()
