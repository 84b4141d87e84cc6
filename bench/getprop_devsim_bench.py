#!/usr/bin/env python3
"""Start-up cost of a property read on the simulated device: wall time of
"vorn getprop sys.eth.if" against "/bin/true getprop sys.eth.if", both started the same way
(posix_spawn, standard output to /dev/null, then waitpid) in the same run and alternating one
by one, so that the process start is the floor and drift of the machine hits both alike.

    bench/getprop_devsim_bench.py <path to vorn> [starts per command, default 300]

The timing loop runs inside one boot of a devsim device (root needed): the real eMMC block
device with a valid boot environment block holding sys.eth.if=eth0, the device's kernel command
line with the hardware tag, the private /dev holding the lock file. Prints the median and the
10th and 90th percentiles of each, and the ratio of the medians (getprop / true). A third
series starts the same binary under a name that does nothing (it exits at once): what loading
the executable and its shared libraries costs before any command runs.
"""

import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ARGS = ["getprop", "sys.eth.if"]


def spawn_ns(path, argv0):
    """Wall time in ns of one start of path, until it has been waited for."""
    t0 = time.perf_counter_ns()
    pid = os.posix_spawn(path, [argv0, *ARGS], os.environ,
                         file_actions=[(os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0)])
    _, status = os.waitpid(pid, 0)
    t1 = time.perf_counter_ns()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"getprop_devsim_bench: {argv0} failed ({status})")
    return t1 - t0


def inside(vorn, runs):
    """The timing loop, run inside the simulated device."""
    import subprocess
    answer = subprocess.run([vorn, *ARGS], stdout=subprocess.PIPE, text=True).stdout
    if answer != "eth0\n":
        sys.exit(f"getprop_devsim_bench: vorn answered {answer!r}, expected 'eth0'")
    with tempfile.TemporaryDirectory() as work:
        idle = os.path.join(work, "vorn-idle")
        os.symlink(vorn, idle)
        contenders = [("vorn getprop", vorn, vorn), ("/bin/true", "/bin/true", "/bin/true"),
                      ("vorn, idle name", idle, idle)]
        samples = {name: [] for name, _, _ in contenders}
        for _ in range(20):  # warm the page cache and the dynamic loader's caches
            for _, path, argv0 in contenders:
                spawn_ns(path, argv0)
        for _ in range(runs):
            for name, path, argv0 in contenders:
                samples[name].append(spawn_ns(path, argv0))
    if os.path.exists("/dev/.vorn-lock"):
        sys.exit("getprop_devsim_bench: lock file left behind")

    def us(ns):
        return ns / 1000

    print(f"starts per command : {runs} (alternating, inside the simulated device)")
    medians = {}
    for name, _, _ in contenders:
        values = sorted(samples[name])
        medians[name] = statistics.median(values)
        p10 = values[len(values) // 10]
        p90 = values[len(values) * 9 // 10]
        print(f"{name:<18} : median {us(medians[name]):8.1f} us  "
              f"(p10 {us(p10):7.1f}, p90 {us(p90):7.1f})")
    print(f"ratio              : {medians['vorn getprop'] / medians['/bin/true']:8.2f} "
          "(getprop / true, medians)")
    print(f"ratio, loaded      : {medians['vorn getprop'] / medians['vorn, idle name']:8.2f} "
          "(getprop / idle name, medians)")


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "--inside":
        inside(sys.argv[2], int(sys.argv[3]))
        return
    if len(sys.argv) < 2:
        sys.exit(f"usage: {sys.argv[0]} <path to vorn> [starts per command]")
    vorn = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    if os.geteuid() != 0:
        print("getprop_devsim_bench: needs root for the simulated device", file=sys.stderr)
        sys.exit(77)
    sys.path.insert(0, os.path.join(HERE, "..", "tools", "devsim"))
    import devsim
    with devsim.Device(env={"sys.eth.if": "eth0", "sys.eth.addr": "1E:ED:19:27:1A:B3"}) as dev:
        r = dev.run([sys.executable, os.path.abspath(__file__), "--inside", vorn, str(runs)],
                    timeout=600)
        sys.stdout.write(r.stdout)
        sys.stderr.write(r.stderr)
        sys.exit(r.returncode if r.returncode is not None else 1)


if __name__ == "__main__":
    main()
