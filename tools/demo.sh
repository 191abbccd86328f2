#!/usr/bin/env bash
# Main job: sets everything up on a fresh Debian 12 machine, builds the library,
# draws the built-in demo avatar (a procedural stand-in for a filmed person),
# packs it as a single-file IMX container, and plays it through the example
# host: two seconds of the idle loop, then a scripted mouth opening driven
# through tq_render_kp_crop, composited into full 1920x1080 frames and written
# as an H.264 movie.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export ORT_DISABLE_TELEMETRY=1

tools/bootstrap.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)" --target tq_host

out="$root/out/demo"
rm -rf "$out"; mkdir -p "$out"
echo "[demo] drawing the demo avatar"
/usr/bin/python3 tools/tq_fixtures.py demo-avatar "$out/avatar" --imx
/usr/bin/python3 tools/tq_fixtures.py demo-script "$out/mouth.kp" --bundle "$out/avatar" --frames 75
rm -rf "$out/avatar"   # the host opens the container, which unpacks itself once
echo "[demo] playing it"
build/release/tools/tq_host "$out/avatar.imx" --idle 50 --script "$out/mouth.kp" --mp4 "$out/demo.mp4"
echo
echo "demo movie: $out/demo.mp4"
