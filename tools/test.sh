#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine and runs every test:
#   1. the suite (and the install test and benchmark smoke runs) on a release build,
#   2. the suite under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. the concurrency tests under ThreadSanitizer,
#   4. an aarch64 cross build of the suite under qemu (SVE2 and NEON-only CPUs).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export ORT_DISABLE_TELEMETRY=1
jobs=$(nproc)

tools/bootstrap.sh --aarch64

step() { echo; echo "=== $* ($(date +%H:%M:%S))"; }

build() {  # $1 = build dir, rest = cmake arguments
  local dir=$1; shift
  cmake -S "$root" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

step "release build and full suite"
build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build/release --output-on-failure --no-tests=error -j"$jobs"

step "AddressSanitizer + UndefinedBehaviorSanitizer"
build build/asan -DCMAKE_BUILD_TYPE=Debug -DTQ_SANITIZE='address;undefined' -DTQ_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS=suppressions="$root/tools/lsan.supp" \
  ctest --test-dir build/asan --output-on-failure --no-tests=error -j"$jobs" -LE install

step "ThreadSanitizer: concurrency tests"
# Only the test binaries labelled "concurrency" (each test is built by the target of its name).
cmake -S "$root" -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQ_SANITIZE=thread -DTQ_BUILD_BENCH=OFF >/dev/null
mapfile -t tsan_tests < <(ctest --test-dir build/tsan -N -L concurrency | sed -n 's/^ *Test *#[0-9]*: //p')
[ "${#tsan_tests[@]}" -gt 0 ] || { echo "no test carries the concurrency label" >&2; exit 1; }
cmake --build build/tsan -j"$jobs" --target "${tsan_tests[@]}"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tools/tsan.supp" \
  ctest --test-dir build/tsan --output-on-failure --no-tests=error -j"$jobs" -L concurrency

step "fuzz targets: 25 s each from their seeds"
# Builds only the fuzz targets (clang, build/fuzz); a crash on the corpus fails the run.
TQ_FUZZ_JOBS="$jobs" tools/fuzz.sh 25

step "aarch64 cross build under emulation"
tools/test_aarch64.sh

step "all tests passed"
