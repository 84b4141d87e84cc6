#!/usr/bin/env python3
"""System tests of the tool's entry: personalities, the help text, the hardware version and the
exit status, with the real vorn in the simulated device.

Usage: test_tool.py [PATH_TO_VORN] [unittest options].
"""

import hashlib
import unittest

from systest import VORN, devsim

# The help text below the banner: 66 lines that users and scripts read character for character,
# then the 4 lines of the commands added since.
HELP_SHA1 = "7d8739c5479507fde006dad3acc297f4b284a779"


class ToolTest(unittest.TestCase):
    def test_help_prints_the_banner_and_the_help_text_exactly(self):
        with devsim.Device() as dev:
            r = dev.run([VORN, "help"])
        banner, rest = r.stdout.split("\n", 1)
        self.assertEqual(r.returncode, 0)
        self.assertTrue(banner.startswith("Vornix vorn "), banner)
        lines = rest.splitlines(keepends=True)
        self.assertEqual((len(lines), hashlib.sha1("".join(lines[:66]).encode()).hexdigest()),
                         (71, HELP_SHA1), rest)

    def test_personality_follows_the_base_name_and_the_result_is_the_exit_status(self):
        with devsim.Device() as dev:
            r = dev.run("\n".join([
                "mkdir -p /tmp/p/system/bin",
                "ln -sf %s /tmp/p/vorn2" % VORN,
                "ln -sf %s /tmp/p/system/bin/vorn" % VORN,
                "/tmp/p/vorn2 help; echo vorn2=$?",
                "/tmp/p/system/bin/vorn info hw_version; echo ' vorn='$?",
                "/tmp/p/system/bin/vorn; echo none=$?",
                "/tmp/p/system/bin/vorn bogus; echo bogus=$?",
            ]))
        self.assertEqual(r.stdout, "vorn2=0\nzt4100.1.0 vorn=0\nnone=254\nbogus=254\n")

    def test_hardware_version_comes_from_the_kernel_command_line(self):
        for hw, out in ((None, ""), ("q5.2.7", "q5.2.7")):
            with devsim.Device(hw=hw) as dev:
                self.assertEqual(dev.run([VORN, "info", "hw_version"]).stdout, out)


if __name__ == "__main__":
    unittest.main()
