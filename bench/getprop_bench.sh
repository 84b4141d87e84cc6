#!/usr/bin/env bash
# Start-up cost of a property read: wall time of "vorn getprop sys.eth.if" against /bin/true,
# both started the same way (fork and exec from this shell) in the same run, so that the
# process start is the floor. Prints the mean time per run of each and their ratio, and also
# the time of the same binary started under a name that does nothing (it exits at once), which
# shows what loading the executable and its shared libraries costs before any command runs.
#
#   bench/getprop_bench.sh <path to vorn> [runs] [--no-block]
#
# The product binary runs unchanged inside a private mount namespace (root needed) that stands
# in for the device: a tmpfs on /dev holding the lock file and an eMMC image file at
# /dev/block/mmcblk0 with a valid boot environment block, and a kernel command line naming the
# hardware model (so that the property table is selected). With --no-block the image is left
# out: the read of the block then fails, after the whole start-up and the lock.
# Nothing outside the namespace is touched; it ends with the script.
set -euo pipefail

if [[ $# -lt 1 ]]; then
  echo "usage: $0 <path to vorn> [runs] [--no-block]" >&2
  exit 2
fi
vorn=$(readlink -f "$1")
runs=${2:-500}
block=yes
[[ ${3:-} == --no-block ]] && block=no

if [[ ${VORN_BENCH_INSIDE:-} != 1 ]]; then
  if [[ $(id -u) != 0 ]] || ! command -v unshare >/dev/null; then
    echo "getprop_bench: needs root and unshare(1) for its private mount namespace" >&2
    exit 77
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  VORN_BENCH_INSIDE=1 VORN_BENCH_WORK=$work \
    unshare --mount --propagation private "$0" "$vorn" "$runs" "${3:-}"
  exit $?
fi

# Inside the private mount namespace from here on.
work=$VORN_BENCH_WORK
mkdir -p "$work/host-dev"
mount --bind /dev "$work/host-dev"
mount -t tmpfs -o mode=755 vorn-bench-dev /dev
touch /dev/null
mount --bind "$work/host-dev/null" /dev/null
mkdir -p /dev/block

echo "console=ttyS0 vorn.hw=zt4100.0.0 quiet" > "$work/cmdline"
mount --bind "$work/cmdline" /proc/cmdline

if [[ $block == yes ]]; then
  python3 - /dev/block/mmcblk0 <<'PY'
import struct, sys, zlib
area = b"sys.eth.if=eth0\0sys.eth.addr=1E:ED:19:27:1A:B3\0"
area = area.ljust(8188, b"\0")
with open(sys.argv[1], "wb") as f:
    f.seek(0xC0000)
    f.write(struct.pack("<I", zlib.crc32(area) & 0xFFFFFFFF) + area)
PY
  expected=eth0
else
  expected=
fi

ln -s "$vorn" "$work/vorn-idle"
answer=$("$vorn" getprop sys.eth.if)
if [[ $answer != "$expected" ]]; then
  echo "getprop_bench: vorn answered '$answer', expected '$expected'" >&2
  exit 1
fi

now_ns() { date +%s%N; }

# Alternate rounds of both commands, so that drift of the machine hits both alike.
rounds=5
per_round=$(( (runs + rounds - 1) / rounds ))
vorn_ns=0
true_ns=0
idle_ns=0
for ((r = 0; r < rounds; r++)); do
  t0=$(now_ns)
  for ((i = 0; i < per_round; i++)); do "$vorn" getprop sys.eth.if >/dev/null; done
  t1=$(now_ns)
  for ((i = 0; i < per_round; i++)); do /bin/true getprop sys.eth.if >/dev/null; done
  t2=$(now_ns)
  for ((i = 0; i < per_round; i++)); do "$work/vorn-idle" getprop sys.eth.if >/dev/null; done
  t3=$(now_ns)
  vorn_ns=$((vorn_ns + t1 - t0))
  true_ns=$((true_ns + t2 - t1))
  idle_ns=$((idle_ns + t3 - t2))
done
total=$((rounds * per_round))
if [[ -e /dev/.vorn-lock ]]; then
  echo "getprop_bench: lock file left behind" >&2
  exit 1
fi

awk -v v="$vorn_ns" -v t="$true_ns" -v i="$idle_ns" -v n="$total" -v mode="$block" 'BEGIN {
  printf "runs per command : %d (boot environment block: %s)\n", n, mode
  printf "vorn getprop     : %8.1f us per run\n", v / n / 1000
  printf "/bin/true        : %8.1f us per run\n", t / n / 1000
  printf "vorn, idle name  : %8.1f us per run (loading only)\n", i / n / 1000
  printf "ratio            : %8.2f (getprop / true)\n", v / t
  printf "ratio, loaded    : %8.2f (getprop / idle name)\n", v / i
}'
