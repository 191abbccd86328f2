#!/usr/bin/env bash
# Builds the fuzz targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer,
# in build/fuzz) and runs each for the given time, one after the other:
#
#   tools/fuzz.sh [seconds-per-target] [target...]      (default 60 s, every target)
#
# TQ_FUZZ_PARALLEL=n runs n targets at a time (default 1); each run also reports
# the processor time it got, which is what matters when targets share cores.
#
# Each target starts from its committed seeds (fuzz/corpus/<target>) plus what
# earlier runs found (build/fuzz/corpus/<target>); crashing inputs land in
# build/fuzz/artifacts/. Exits non-zero when any target finds a fault.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
secs=${1:-60}
shift || true
out=build/fuzz
export ORT_DISABLE_TELEMETRY=1
# Targets that unpack into a fresh directory per input spend most of their time in
# the file system: memory-backed directories run them about 2.5x faster.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
tp=()
[ -n "${TQ_THIRD_PARTY:-}" ] && tp=(-DTQ_THIRD_PARTY="$TQ_THIRD_PARTY")

CC=${CC:-clang-14} CXX=${CXX:-clang++-14} cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${tp[@]}" -DTQ_FUZZ=ON -DTQ_BUILD_TESTS=OFF -DTQ_BUILD_BENCH=OFF >/dev/null
cmake --build "$out" -j"${TQ_FUZZ_JOBS:-$(nproc)}" --target tq_fuzzers >/dev/null

if [ $# -gt 0 ]; then targets=("$@"); else
  mapfile -t targets < <(ls fuzz/fuzz_*.cpp | xargs -n1 basename | sed 's/\.cpp$//' | grep -vx fuzz_util)
fi
mkdir -p "$out/artifacts"
run_one() {  # $1 = target; prints one summary line, returns the fuzzer's status
  local t=$1 dict=() log rc stats runs cpu
  mkdir -p "$out/corpus/$t"
  [ -f "fuzz/dict/$t.dict" ] && dict=(-dict="fuzz/dict/$t.dict")
  # Per-target flags (fuzz/options/<target>.args, one line) come last and win.
  local extra=()
  [ -f "fuzz/options/$t.args" ] && read -r -a extra <"fuzz/options/$t.args"
  log="$out/$t.log"
  # The library's own stderr lines are dropped (-close_fd_mask); libFuzzer and
  # the sanitizers keep reporting on a duplicate of stderr.
  local TIMEFORMAT='cpu: %U+%S s'
  set +e
  { time ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$out/fuzz/$t" "$out/corpus/$t" "fuzz/corpus/$t" "${dict[@]}" -max_total_time="$secs" -timeout=20 \
    -rss_limit_mb=2560 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" "${extra[@]}" \
    >"$log" 2>&1; } 2>"$log.time"
  rc=$?
  set -e
  stats=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n1 | sed -E 's/.*(cov: [0-9]+ ft: [0-9]+).*exec\/s: ([0-9]+).*/\1 exec\/s: \2/' || true)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1 || true)
  cpu=$(grep -o 'cpu: .*' "$log.time" 2>/dev/null || true)
  if [ "$rc" -ne 0 ]; then
    echo "$t: FAILED (rc $rc) after ${runs:-?} runs; see $log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$log" | head -n3 || true
  else
    echo "$t: ${secs} s, ${runs:-?} runs, ${stats:-no stats}, ${cpu:-cpu: ?}"
  fi
  return "$rc"
}
failed=()
parallel=${TQ_FUZZ_PARALLEL:-1}
declare -A pids=()
reap() {  # waits for one running target and records its failure
  local done_pid t
  set +e
  wait -n -p done_pid "${!pids[@]}"
  local rc=$?
  set -e
  t=${pids[$done_pid]}
  unset "pids[$done_pid]"
  [ "$rc" -eq 0 ] || failed+=("$t")
}
for t in "${targets[@]}"; do
  while [ "${#pids[@]}" -ge "$parallel" ]; do reap; done
  run_one "$t" &
  pids[$!]=$t
done
while [ "${#pids[@]}" -gt 0 ]; do reap; done
[ "${#failed[@]}" -eq 0 ] || { echo "fuzz targets with findings: ${failed[*]}" >&2; exit 1; }
