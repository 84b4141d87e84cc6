#!/usr/bin/env bash
# Runs vornd-bench against a real vornd on this host, briefly and disarmed (see README.md).
#   bench/run-host.sh [BUILD_DIR] [vornd-bench options...]
set -euo pipefail
build=${1:-build}
shift || true
tmp=$(mktemp -d)
pidfile=$tmp/pid
cleanup() {
  if [[ -s $pidfile ]]; then kill "$(cat "$pidfile")" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# Stand-ins for the Android tools the daemon may run: they only record their calls.
mkdir "$tmp/stub"
for tool in reboot am; do
  printf '#!/bin/sh\necho "%s $*" >> %s/calls\n' "$tool" "$tmp" >"$tmp/stub/$tool"
  chmod +x "$tmp/stub/$tool"
done

# A hard time limit far below the default watch's 181 seconds, on top of disarming it.
PATH=$tmp/stub:$PATH timeout 120 "$build/tools/vorn-init/vorn-init" -s "$tmp/vornd" -p "$pidfile" \
  "$build/src/vornd" 2>"$tmp/vornd.log" &
"$build/tools/vornc/vornc" -w 5 -s "$tmp/vornd" appalive set 10 0 >/dev/null

"$build/bench/vornd-bench" -s "$tmp/vornd" -H "vorn help" "$@"
status=$?
if [[ -s $tmp/calls ]]; then
  echo "recorded tool calls:"
  cat "$tmp/calls"
fi
echo "daemon log lines: $(grep -c vornd "$tmp/vornd.log" || true)"
exit $status
