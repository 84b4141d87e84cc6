#!/usr/bin/env python3
"""vornd-bench against the real vornd inside a simulated device (tools/devsim).

    bench/vornd_device_bench.py [BUILD_DIR] [--runs N] [-- vornd-bench options...]

Boots a device whose boot environment holds sys.eth.if=eth1 and whose ext4 copies hold empty
file systems, starts vornd through vorn-init on /dev/socket/vornd, disarms the liveness
monitor's default watch at once ("appalive set 10 0": pid 0 never fires), and runs inside it

    vornd-bench -s /dev/socket/vornd -r "vorn getprop sys.eth.if" -H "vorn list images"

that is 8 clients x 1000 getprop requests, then 200 heartbeats while "vorn list images" (which
mounts and releases the ext4 copies, holding the command mutex each time) runs back to back.
Each run is a boot of its own, far shorter than the 181 seconds of the default watch; the
device and its loop devices are gone when the script ends. Needs root (see tools/devsim).
"""

import argparse
import os
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools", "devsim"))
import devsim  # noqa: E402

SOCKET = "/dev/socket/vornd"
# A boot is cut off after this long whatever happens: far below the default watch's 181 s.
BOOT_LIMIT = 120


def one_run(build, bench_args):
    vorn_init = os.path.join(build, "tools", "vorn-init", "vorn-init")
    vornd = os.path.join(build, "src", "vornd")
    vornc = os.path.join(build, "tools", "vornc", "vornc")
    bench = os.path.join(build, "bench", "vornd-bench")
    with devsim.Device(env={"sys.eth.if": "eth1"}, format_ext4=True) as dev, \
            tempfile.NamedTemporaryFile(prefix="vornd-bench-", suffix=".log") as log:
        # The daemon's log goes to a file.
        service_file = os.path.join(ROOT, "init", "vornd.rc")
        boot = dev.start(f"exec timeout {BOOT_LIMIT} {vorn_init} {service_file} {vornd} "
                         f"2>{log.name} >/dev/null")
        try:
            if not boot.wait_socket(SOCKET, timeout=20):
                raise SystemExit("vornd did not come up")
            r = boot.exec([vornc, "-s", SOCKET, "appalive", "set", "10", "0"])
            if r.returncode != 0:
                raise SystemExit(f"could not disarm the default watch: {r!r}")
            # One timed run of the hold command, for reference.
            started = time.monotonic()
            r = boot.exec([vornc, "-s", SOCKET, "vorn", "list", "images"])
            hold_ms = (time.monotonic() - started) * 1e3
            print(f"one 'vorn list images' through vornc: {hold_ms:.1f} ms (reply {r.returncode})")
            args = ["-s", SOCKET, "-r", "vorn getprop sys.eth.if", "-H", "vorn list images"]
            r = boot.exec([bench, *args, *bench_args], timeout=BOOT_LIMIT - 20)
            sys.stdout.write(r.stdout)
            sys.stderr.write(r.stderr)
            calls = dev.calls()
        finally:
            boot.stop()
        with open(log.name, errors="replace") as f:
            print("daemon log lines:", sum(1 for line in f if line.startswith("vornd ")))
    if calls:
        print("recorded tool calls:", calls)
    return r.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("bench_args", nargs="*", help="more vornd-bench options (after --)")
    opts = parser.parse_args()
    build = os.path.abspath(opts.build)
    status = 0
    for run in range(opts.runs):
        print(f"== run {run + 1}")
        status = one_run(build, opts.bench_args) or status
    return status


if __name__ == "__main__":
    sys.exit(main())
