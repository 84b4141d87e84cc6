#!/usr/bin/env python3
"""The install and the upgrade on the simulated device (tools/devsim; root needed).

    bench/upgrade_device_bench.py [BUILD_DIR] [--rounds N] [--skip-install] [--skip-heartbeat]

1. install-bench (bench/install_bench.cc) inside a device whose system copies are 300 MiB
   partitions: a 256 MiB ext4 image, plain and compressed, against dd conv=fsync and a bare
   inflate loop writing into the same copy, ROUNDS rounds side by side. The images are signed
   and the device has a trust store, so the install computes every digest it can.
2. vornd-bench inside a device running the real vornd (under vorn-init): 200 heartbeats
   ("appalive set 10 0", 5 ms apart) while another client sends "vorn upgrade" of a 64 MiB
   system image back to back; the heartbeats' latency percentiles.

The file systems hold a mix of random and repeated data, so that the stream compresses to
about 40 %. Everything is made in a temporary directory and removed at the end. The copies are
loop devices over files of the host's disk, so every flush reaches that disk: run it on a
quiet machine, and read the spread (min, max) beside the medians.
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools", "devsim"))
import devsim  # noqa: E402

LAYOUT = {
    "bmap": "boot:1%androidboot:2%androidboot,system:3:4",
    "bmap_seq": "1:3",
    "devices": {"mmcblk0": {"partitions": {"1": 8, "2": 8, "3": 300, "4": 300}}},
}
SOCKET = "/dev/socket/vornd"


def system_image(build, work, name, mib):
    """A system image whose file system of MIB MiB is three quarters full: its plain and
    compressed VIF images and the file system itself."""
    tree = os.path.join(work, name)
    os.makedirs(tree)
    rng = random.Random(mib)
    with open(os.path.join(tree, "data.bin"), "wb") as f:
        for _ in range(mib * 3):  # 250 KiB pieces: half random, half a repeated line
            f.write(rng.randbytes(128 << 10))
            f.write((b"ro.build.fingerprint=zt4100/%d\n" % rng.randrange(1000)) * 4096)
    mkvif = os.path.join(build, "tools", "mkvif", "mkvif")
    fs = os.path.join(work, name + ".ext4")
    common = ["--alias", "system", "--version", "9.0.0", "--req-hw", "%hw%,zt4100.1.*,+", "-q"]
    subprocess.run([mkvif, "ext4", "--dir", tree, "--size", f"{mib}M", *common,
                    "-o", os.path.join(work, name + ".vif"), "--ext4-out", fs], check=True)
    subprocess.run([mkvif, "image", "--contents", fs, "--contents-type", "ext4", "--compress",
                    "--level", "6", *common, "-o", os.path.join(work, name + "-z.vif")],
                   check=True)
    shutil.rmtree(tree)
    for image in (name + ".vif", name + "-z.vif"):
        subprocess.run([mkvif, "sign", "--key", os.path.join(work, "signer.key"), "--cert",
                        os.path.join(work, "signer.pem"), os.path.join(work, image)], check=True)
    return [os.path.join(work, name + s) for s in (".vif", "-z.vif", ".ext4")]


def trust_store(work):
    """A self-signed root (the device's trust store) and a signer under it."""
    def openssl(*words):
        subprocess.run(["openssl", *words], cwd=work, check=True, capture_output=True)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    openssl("req", "-x509", *key, "-subj", "/CN=root", "-keyout", "root.key", "-out", "root.pem")
    openssl("req", *key, "-subj", "/CN=signer", "-keyout", "signer.key", "-out", "signer.csr")
    openssl("x509", "-req", "-in", "signer.csr", "-CA", "root.pem", "-CAkey", "root.key",
            "-out", "signer.pem")
    with open(os.path.join(work, "root.pem"), "rb") as f:
        return {"vorn/trust.pem": f.read()}


def install_bench(build, work, rounds, etc):
    files = system_image(build, work, "sys256", 256)
    print("image sizes: plain %d, compressed %d bytes" % tuple(map(os.path.getsize, files[:2])))
    bench = os.path.join(build, "bench", "install-bench")
    with devsim.Device(layout=LAYOUT, etc=etc) as dev:
        r = dev.run([bench, *files, str(rounds)], timeout=60 * rounds + 120)
    sys.stdout.write(r.stdout + r.stderr)
    return r.returncode


def heartbeat_bench(build, work, etc):
    image = system_image(build, work, "sys64", 64)[0]
    vorn_init = os.path.join(build, "tools", "vorn-init", "vorn-init")
    vornd = os.path.join(build, "src", "vornd")
    bench = os.path.join(build, "bench", "vornd-bench")
    with devsim.Device(layout=LAYOUT, etc=etc) as dev:
        service_file = os.path.join(ROOT, "init", "vornd.rc")
        boot = dev.start(f"exec timeout 150 {vorn_init} {service_file} {vornd} 2>/dev/null")
        try:
            if not boot.wait_socket(SOCKET, timeout=20):
                raise SystemExit("vornd did not come up")
            boot.request("appalive set 10 0")  # disarms the default watch
            r = boot.exec([bench, "-s", SOCKET, "-c", "1", "-n", "20", "-r", "vorn info foo",
                           "-H", f"vorn upgrade file@!,{image}"], timeout=120)
            sys.stdout.write(r.stdout + r.stderr)
        finally:
            boot.stop()
    return r.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--skip-install", action="store_true")
    parser.add_argument("--skip-heartbeat", action="store_true")
    opts = parser.parse_args()
    build = os.path.abspath(opts.build)
    work = tempfile.mkdtemp(prefix="vorn-upgrade-bench-")
    os.environ["DEVSIM_TMPDIR"] = work
    try:
        status = 0
        etc = trust_store(work)
        if not opts.skip_install:
            status |= install_bench(build, work, opts.rounds, etc)
        if not opts.skip_heartbeat:
            status |= heartbeat_bench(build, work, etc)
        return status
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
