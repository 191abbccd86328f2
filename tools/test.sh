#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine (as root) and runs the tests.
#
#   tools/test.sh           the whole suite on a release build: unit, integration,
#                           install, Python, browser and benchmark smoke tests
#   tools/test.sh --full    CI's matrix (.ci/run): the above, then
#                             the suite under AddressSanitizer + UndefinedBehaviorSanitizer,
#                             the concurrency tests under ThreadSanitizer,
#                             every fuzz target replaying its seeds and fuzzing a few seconds,
#                             the suite cross-built for aarch64 under qemu: whole on the SVE2
#                             processor model, the vector-kernel tests on the others,
#                             the Debian packages of both architectures built (tools/packages.sh)
#                             and installed: consumers built against the amd64 ones, the
#                             main job's test run from the arm64 ones under qemu
#
# Compiled objects are cached outside the checkout (Debian's ccache, in
# $CCACHE_DIR, default /var/cache/tq_core-ccache, or ~/.cache/tq_core-ccache
# when /var/cache is not writable), so a second run rebuilds in
# seconds. The long fuzz runs are tools/fuzz.sh's own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
full=0
case "${1:-}" in
  --full) full=1 ;;
  "") ;;
  *) echo "usage: tools/test.sh [--full]" >&2; exit 2 ;;
esac
export ORT_DISABLE_TELEMETRY=1
# Line tables only (-g1): reports keep file:line, and the tests compile in about
# two thirds of the time full debug information takes.
export TQ_DEBUG_INFO=${TQ_DEBUG_INFO:-lines}
jobs=$(nproc)
started=$(date +%s)

if [ "$full" = 1 ]; then tools/bootstrap.sh --aarch64; else tools/bootstrap.sh; fi

# shellcheck source=tools/ccache_env.sh
source "$root/tools/ccache_env.sh"

step() { echo; echo "=== $* ($(date +%H:%M:%S), $(($(date +%s) - started)) s)"; }

build() {  # $1 = build dir, rest = cmake arguments
  local dir=$1; shift
  cmake -S "$root" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

# Runs ctest and prints its own summary line; $1 = what ran, rest = ctest arguments.
suite() {
  local what=$1 log; shift
  log=$(mktemp)
  set +e
  ctest "$@" --output-on-failure --no-tests=error -j"$jobs" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1 || true)
  rm -f "$log"
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    local failed=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
    echo "tq_core $what: $total tests ran, $((total - failed)) passed, $failed failed"
  fi
  return "$rc"
}

step "release build and full suite"
build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
suite "release suite" --test-dir build/release

if [ "$full" = 0 ]; then
  step "all tests passed"
  exit 0
fi

step "AddressSanitizer + UndefinedBehaviorSanitizer"
build build/asan -DCMAKE_BUILD_TYPE=Debug -DTQ_SANITIZE='address;undefined' -DTQ_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS=suppressions="$root/tools/lsan.supp" \
  suite "ASan+UBSan suite" --test-dir build/asan -LE install

step "ThreadSanitizer: concurrency tests"
# Only the test binaries labelled "concurrency" (each test is built by the target of its name).
cmake -S "$root" -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQ_SANITIZE=thread -DTQ_BUILD_BENCH=OFF >/dev/null
mapfile -t tsan_tests < <(ctest --test-dir build/tsan -N -L concurrency | sed -n 's/^ *Test *#[0-9]*: //p')
[ "${#tsan_tests[@]}" -gt 0 ] || { echo "no test carries the concurrency label" >&2; exit 1; }
cmake --build build/tsan -j"$jobs" --target "${tsan_tests[@]}"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tools/tsan.supp" \
  suite "TSan concurrency tests" --test-dir build/tsan -L concurrency

step "fuzz targets: each replays its seeds and fuzzes 5 s"
# Builds only the fuzz targets (clang, build/fuzz); a crash on the corpus fails the run.
TQ_FUZZ_JOBS="$jobs" TQ_FUZZ_PARALLEL="$jobs" tools/fuzz.sh 5

step "aarch64 cross build under emulation"
# Processor models differ only in the vector kernels: the whole suite runs once, on
# the SVE2 model; the SIMD tests check every compiled target on each other model.
TQ_AARCH64_FULL_CPUS=${TQ_AARCH64_FULL_CPUS-max} \
  TQ_AARCH64_SIMD_CPUS=${TQ_AARCH64_SIMD_CPUS-"max,sve=off max,sve256=on max,sve128=on"} tools/test_aarch64.sh

step "Debian packages: build, lintian, install and run"
tools/packages.sh
tests/install/package_test.sh

step "all tests passed"
