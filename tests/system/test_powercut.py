#!/usr/bin/env python3
"""Power cuts and I/O errors at every boundary of vorn's commands, in the simulated device,
and the sweep's own checks against updaters that are known to be unsafe.

Usage: test_powercut.py [PATH_TO_VORN] [unittest options]; VORN_BIN and MKVIF_BIN work too.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "powercut"))
import cases  # noqa: E402
import devsim  # noqa: E402
import powercut  # noqa: E402
import vif  # noqa: E402

VORN = os.environ.get("VORN_BIN", "")
if __name__ == "__main__" and len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
    VORN = os.path.abspath(sys.argv.pop(1))
MKVIF = os.environ.get("MKVIF_BIN") or os.path.join(os.path.dirname(VORN), "..", "tools",
                                                      "mkvif", "mkvif")

# Writes a new block in two halves, unsynced, and carries on past failed writes.
UNSAFE_UPDATER = """import os, sys
data = open(sys.argv[1], "rb").read()
fd = os.open("/dev/block/mmcblk0", os.O_WRONLY)
for half in (0, 4096):
    try:
        os.pwrite(fd, data[half:half + 4096], 0xC0000 + half)
    except OSError:
        pass
"""


# Boundaries, cuts survived, errors handled (at the sample of boundaries) and torn writes
# survived per case. An upgrade: boot in one write and its sync, system in three and its sync,
# the setup script's mount, sync and unmount, the block's write and sync. The compressed system
# image goes in four 64 KiB writes after a read-only mount of app for its dependency. setprop:
# the block's write (EIO, ENOSPC, lost, short) and sync (EIO). The redundant environment's 8 KiB
# write is torn after each of its first 15 sectors.
FIGURES = {"upgrade": (11, 11, 18, 0), "upgrade-compressed": (9, 9, 12, 0),
           "install-then-setup": (11, 11, 18, 0), "upgrade-redundant-env": (4, 4, 10, 15),
           "setprop-replace": (2, 2, 5, 0), "setprop-append": (2, 2, 5, 0),
           "setprop-delete": (2, 2, 5, 0)}


class SweepTest(unittest.TestCase):
    def test_every_case_survives_every_cut_and_error(self):
        for name, case in cases.all_cases(VORN, MKVIF).items():
            with self.subTest(name):
                report = powercut.sweep(case, all_errors=False)
                self.assertEqual(report.failures, [])
                self.assertEqual((report.boundaries, report.cuts_survived,
                                  report.errors_survived, report.torn_survived), FIGURES[name])

    def test_unsafe_updater_is_caught(self):
        new = cases.STORED_ENV + [("@blob", "x" * 5000)]  # reaches into the second half
        with tempfile.NamedTemporaryFile() as block:
            block.write(devsim.encode_bootenv(new))
            block.flush()
            case = powercut.Case("unsafe", [sys.executable, "-c", UNSAFE_UPDATER, block.name],
                                 lambda dev: new, device={"env": cases.STORED_ENV}, torn=True)
            report = powercut.sweep(case)
        failures = "\n".join(report.failures)
        self.assertEqual((report.boundaries, report.cuts_survived, report.torn), (2, 1, 14),
                         failures)
        # A single block torn inside a write: 7 sectors of the first half's 8, each.
        for expected in ("order: boot environment write not synced before the end",
                         "cut before #2 pwrite64:2", "boot environment block invalid (CRC)",
                         "torn after 1 sectors at #1", "torn after 7 sectors at #1",
                         "EIO at #1 pwrite64:1", "the command succeeded"):
            self.assertIn(expected, failures)

    def test_command_line(self):
        tool = os.path.join(HERE, "..", "..", "tools", "devsim", "devsim")
        with tempfile.TemporaryDirectory() as tmp:
            board = os.path.join(tmp, "board")
            subprocess.run([tool, "create", board, "--env", "a=1"], check=True,
                           stdout=subprocess.DEVNULL)
            old, new = [("a", "1")], [("a", "1"), ("@b", "2")]
            rows = [(["cut", "--at", "write:1"], 0, "power cut before: write(", old),
                    (["cut", "--at", "fdatasync:1", "--error", "EIO"], 255,
                     "fdatasync:1=EIO injected", old),  # the old block written back
                    (["cut", "--at", "write:1", "--retval", "8192"], 255,
                     "write:1=8192 injected", old),  # lost: found by the read-back
                    (["trace"], 0, "boundary 2 fdatasync:1", new),
                    (["cut", "--at", "write:9"], 0, "no call write:9 was made", new)]
            for args, code, text, entries in rows:
                r = subprocess.run([tool, args[0], board, *args[1:], "--", VORN, "setprop",
                                    "@b", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True)
                self.assertEqual((r.returncode, text in r.stderr), (code, True), r.stderr)
                with devsim.Device(state_dir=board) as dev:
                    self.assertEqual(dev.bootenv().entries, entries)

    def test_ordering(self):
        node, block = "/dev/block/mmcblk0p3", "/dev/block/mmcblk0"
        put = f'1 pwrite64(3<{node}>, "x", 4096, 0) = 4096\n'
        split = put.replace(") = 4096", " <unfinished ...>\n2 lseek(5</x>, 0, SEEK_SET) = 0\n"
                            "1 <... pwrite64 resumed>) = 4096")
        env = f'1 pwrite64(4<{block}>, "y", 8192, 786432) = 8192\n'
        sync = '1 fdatasync({}<{}>) = {}\n'
        mount = f'1 mount("{node}", "/m", "ext4", {{}}, "") = 0\n'
        synced = sync.format(4, block, 0)
        rows = [
            (mount.format("MS_NODEV") + '1 syncfs(5</m>) = 0\n' + env + synced, []),
            (mount.format("MS_RDONLY") + env + synced, []),
            (mount.format("MS_NODEV") + '1 umount2("/m", 0) = 0\n' + env + synced,
             ["mmcblk0p3 not synced before the first"]),
            (put + sync.format(3, node, 0) + env + sync.format(4, block, 0), []),
            (split + env + sync.format(4, block, 0), ["mmcblk0p3 not synced before the first"]),
            (put + sync.format(3, node, "-1 EIO (Input/output error)") + env +
             sync.format(4, block, 0), ["mmcblk0p3 not synced before the first"]),
            (env + put + sync.format(3, node, 0) + sync.format(4, block, 0),
             ["written after the boot environment"]),
            (put + sync.format(3, node, 0) + env, ["write not synced before the end"]),
        ]
        for text, expected in rows:
            with self.subTest(text):
                problems = powercut.ordering_problems(devsim.Trace(text))
                self.assertEqual(len(problems), len(expected), problems)
                for p, e in zip(problems, expected):
                    self.assertIn(e, p)

    def test_image_check(self):
        with tempfile.TemporaryDirectory() as tmp:
            contents = os.path.join(tmp, "boot.img")
            with open(contents, "wb") as f:
                f.write(os.urandom(5000))
            images = {}
            for name, extra in (("plain", []), ("zipped", ["--compress"]),
                                ("bad", ["--poke", "hdr_crc32=0"])):
                images[name] = os.path.join(tmp, name + ".vif")
                subprocess.run([MKVIF, "image", "--alias", "boot", "--version", "1.0",
                                "--contents", contents, "-o", images[name], *extra], check=True)
            os.mkdir(os.path.join(tmp, "root"))
            shutil.copy(contents, os.path.join(tmp, "root", "carried"))
            ext4, images["system"] = os.path.join(tmp, "system.ext4"), os.path.join(tmp, "s.vif")
            subprocess.run([MKVIF, "ext4", "--dir", os.path.join(tmp, "root"), "--size", "1M",
                            "--alias", "system", "--version", "2.0", "-o", images["system"],
                            "--ext4-out", ext4], check=True)
            plain, zipped, bad, system, fs = map(vif.read_image, (
                images["plain"], images["zipped"], images["bad"], images["system"], ext4))
            unzipped = zipped[:1024] + plain[1024:]  # as the install writes a zipped image
            rows = [
                (plain, "androidboot", None, []),
                (unzipped, "androidboot", zipped, []),
                (plain, "androidboot", zipped, ["header of another image"]),
                (bad, "androidboot", None, ["hdr_crc32"]),
                (plain[:-1] + bytes([plain[-1] ^ 1]), "androidboot", None, ["contents_crc32"]),
                (fs, "ext4", system, []),
                (fs, "ext4", plain, ["header of another image", "contents differ"]),
                (bytes(4096), "ext4", None, ["no %vif-info%"]),
            ]
            # Copies after a setup script: one that added a file, one that removed a carried one.
            for request, added, expected in (("write {} ran", "ran", []),
                                             ("rm carried", None, ["carried differs"])):
                shutil.copy(ext4, os.path.join(tmp, "copy"))
                subprocess.run(["debugfs", "-w", "-R", request.format(contents),
                                os.path.join(tmp, "copy")], check=True, capture_output=True)
                rows.append((vif.read_image(os.path.join(tmp, "copy")), "script", system,
                             expected, {added: plain[1024:]} if added else {}))
            for data, fs, image, expected, *added in rows:
                with self.subTest(fs=fs, expected=expected):
                    problems = (vif.setup_copy_problems(data, image, added[0]) if added
                                else vif.copy_problems(data, fs, image))
                    self.assertEqual(len(problems), len(expected), problems)
                    for p, e in zip(problems, expected):
                        self.assertIn(e, p)


if __name__ == "__main__":
    unittest.main()
