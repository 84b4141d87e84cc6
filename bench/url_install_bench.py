#!/usr/bin/env python3
"""The install streamed from a server against the install of the same file from disk, on the
simulated device (tools/devsim; root needed).

    bench/url_install_bench.py [BUILD_DIR] [--rounds N]

Makes a 256 MiB and a 64 MiB ext4 system image (plain, three quarters full of half random
data) with the image builder, signed, boots a device with a trust store (so that every digest
is computed, and the URL's signature fetched) whose system copies are 300 MiB partitions,
starts lighttpd on the device's loopback serving them (devsim http), and runs inside that one
boot, alternately ROUNDS times, "vorn install system~1" of the 256 MiB image from its file and
from http://127.0.0.1:8080/, then the 64 MiB image from the server. It prints each run's wall
time, peak RSS (the child's own maximum resident set) and CPU time, the medians, the throughput ratio
URL / file (target at least 0.8) and the peak RSS of the 64 and 256 MiB streams, which must be
the same: the stream holds constant memory.
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools", "devsim"))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import devsim  # noqa: E402
from upgrade_device_bench import LAYOUT, system_image, trust_store  # noqa: E402

# Runs inside the device: each source installed by a vorn process of its own, timed, with the
# peak RSS that wait4 reports for that process alone.
TIMER = r"""
import os, subprocess, sys, time
vorn = sys.argv[1]
for source in sys.argv[2:]:
    started = time.monotonic()
    child = subprocess.Popen([vorn, "install", "system~1", source], stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    print(source, os.waitstatus_to_exitcode(status), time.monotonic() - started,
          usage.ru_maxrss, usage.ru_utime + usage.ru_stime, flush=True)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--rounds", type=int, default=5)
    opts = parser.parse_args()
    build = os.path.abspath(opts.build)
    work = tempfile.mkdtemp(prefix="vorn-url-bench-")
    os.environ["DEVSIM_TMPDIR"] = work
    try:
        etc = trust_store(work)
        big = system_image(build, work, "sys256", 256)[0]
        small = system_image(build, work, "sys64", 64)[0]
        url = "http://127.0.0.1:8080/"
        sources = [f"file@!,{big}", url + os.path.basename(big)] * opts.rounds
        sources.append(url + os.path.basename(small))
        timer = os.path.join(work, "timer.py")
        with open(timer, "w") as f:
            f.write(TIMER)
        vorn = os.path.join(build, "src", "vorn")
        with devsim.Device(layout=LAYOUT, etc=etc) as dev:
            r = dev.run(f"devsim http {work} --port 8080 && python3 {timer} {vorn} "
                        + " ".join(sources), timeout=120 * opts.rounds + 120)
        sys.stdout.write(r.stdout + r.stderr)
        runs = [line.split() for line in r.stdout.splitlines()]
        if r.returncode != 0 or any(run[1] != "0" for run in runs):
            return 1
        mib = os.path.getsize(big) / (1 << 20)
        file_s = statistics.median(float(x[2]) for x in runs[:-1] if x[0].startswith("file@"))
        url_s = statistics.median(float(x[2]) for x in runs[:-1] if x[0].startswith("http"))
        rss = [int(x[3]) for x in runs if x[0].startswith("http")]
        cpu = {kind: statistics.median(float(x[4]) for x in runs[:-1] if x[0].startswith(kind))
               for kind in ("file@", "http")}
        print(f"file {file_s:.2f} s ({mib / file_s:.0f} MiB/s, CPU {cpu['file@']:.2f} s), "
              f"url {url_s:.2f} s ({mib / url_s:.0f} MiB/s, CPU {cpu['http']:.2f} s): "
              f"url / file throughput {file_s / url_s:.2f}")
        print(f"peak RSS of the url install: 256 MiB image {max(rss[:-1])} KiB, "
              f"64 MiB image {rss[-1]} KiB")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
