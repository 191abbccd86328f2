#!/usr/bin/env bash
# Live demo in the browser: sets everything up on a fresh Debian 12 machine, builds the
# example host tq_live, draws the built-in demo avatar once (out/live/) and serves it on
# this machine. Open the address it prints, type a sentence, press speak: the avatar says
# it, with its voice. Ctrl-C ends it. tools/live.sh --port N picks the port (default 8025).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export ORT_DISABLE_TELEMETRY=1

tools/bootstrap.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)" --target tq_live

out="$root/out/live"
if [ ! -e "$out/avatar.imx" ] || [ ! -d "$out/motion" ]; then
  echo "[live] drawing the demo avatar and its audio models"
  rm -rf "$out"; mkdir -p "$out"
  /usr/bin/python3 tools/tq_fixtures.py demo-avatar "$out/avatar" --imx --motion "$out/motion"
  rm -rf "$out/avatar"   # the host opens the container, which unpacks itself once
fi
# The stand-in speech encoder looks at no future audio (see tools/demo.sh).
TQ_A2X_W2V_RIGHT=0 exec build/release/tools/tq_live "$out/avatar.imx" "$out/motion" --port 8025 "$@"
