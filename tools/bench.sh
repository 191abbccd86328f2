#!/usr/bin/env bash
# Builds and runs every benchmark once; each line prints ours, the reference, and the ratio.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export ORT_DISABLE_TELEMETRY=1
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)"
for b in build/release/bench/tq_bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" "$@"
done
