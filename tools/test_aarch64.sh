#!/usr/bin/env bash
# Cross-builds tq_core and its tests for aarch64 and runs them under qemu-aarch64
# user emulation, once per emulated processor (QEMU_CPU):
#
#   GCC 12 build (every target but NEON_BF16)
#     max              SVE2, 512-bit vectors (also SVE, NEON)   whole suite*
#     max,sve=off      NEON only                                whole suite*
#     max,sve256=on    SVE, 256-bit vectors: SVE_256           SIMD tests
#     max,sve128=on    SVE2, 128-bit vectors: SVE2_128         SIMD tests
#   clang-19 build (NEON_BF16, NEON, NEON_WITHOUT_AES; no SVE target)
#     max,sve=off      NEON with bf16/fp16/dot: NEON_BF16       SIMD tests
#
# * The benchmarks are not built for aarch64 here (see below).
# SIMD tests (ctest label "simd") run their checks under every compiled target
# the emulated processor supports and fail when a target listed here for that
# processor was not among them (TQ_EXPECT_SIMD_TARGETS), so no path goes
# silently untested; tq_test_simd also fails when the best target dispatched is
# not the first listed (TQ_EXPECT_SIMD_BEST), which depends on the emulated vector
# length. Needs `tools/bootstrap.sh --aarch64`.
#
# Environment:
#   TQ_AARCH64_FULL_CPUS   processors for the whole suite (default "max max,sve=off")
#   TQ_AARCH64_SIMD_CPUS   processors for the SIMD tests alone
#                          (default "max,sve256=on max,sve128=on"); also known:
#                          a64fx (SVE without SVE2), cortex-a57
#   TQ_AARCH64_CLANG=0     skip the clang-19 build and its run
#   TQ_AARCH64_CTEST_ARGS  extra ctest arguments for every run, e.g. "-R simd"
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
full_cpus=${TQ_AARCH64_FULL_CPUS-"max max,sve=off"}
simd_cpus=${TQ_AARCH64_SIMD_CPUS-"max,sve256=on max,sve128=on"}
with_clang=${TQ_AARCH64_CLANG:-1}
read -r -a extra <<< "${TQ_AARCH64_CTEST_ARGS:-}"

need() { echo "test_aarch64: $1 missing; run tools/bootstrap.sh --aarch64" >&2; exit 1; }
for tool in aarch64-linux-gnu-g++ qemu-aarch64; do command -v "$tool" >/dev/null || need "$tool"; done
[ -e /lib/ld-linux-aarch64.so.1 ] || need "libc6:arm64"
[ -f third_party/hwy-aarch64/lib/libhwy.a ] || need third_party/hwy-aarch64
if [ "$with_clang" = 1 ]; then
  command -v clang++-19 >/dev/null || need clang-19
  [ -f third_party/hwy-aarch64-clang/lib/libhwy.a ] || need third_party/hwy-aarch64-clang
fi

# What each emulated processor supports, best first (Highway's order of preference).
supported_by() {
  case "$1" in
    max)           echo "SVE2 SVE NEON_BF16 NEON NEON_WITHOUT_AES" ;;
    max,sve=off)   echo "NEON_BF16 NEON NEON_WITHOUT_AES" ;;
    max,sve256=on) echo "SVE_256 SVE2 SVE NEON_BF16 NEON NEON_WITHOUT_AES" ;;
    max,sve128=on) echo "SVE2_128 SVE2 SVE NEON_BF16 NEON NEON_WITHOUT_AES" ;;
    a64fx)         echo "SVE NEON NEON_WITHOUT_AES" ;;
    cortex-a57)    echo "NEON NEON_WITHOUT_AES" ;;
    *) echo "test_aarch64: no target list for QEMU_CPU=$1" >&2; return 1 ;;
  esac
}
# The targets each compiler builds: Highway leaves NEON_BF16 out below GCC 13.2
# and every SVE target out below clang 20.
compiled_by() {
  case "$1" in
    gcc)   echo "SVE2_128 SVE_256 SVE2 SVE NEON NEON_WITHOUT_AES" ;;
    clang) echo "NEON_BF16 NEON NEON_WITHOUT_AES" ;;
  esac
}
# Supported and compiled, comma-separated, best first.
expected_for() {  # $1 = compiler, $2 = processor
  local t out=() compiled
  compiled=" $(compiled_by "$1") "
  for t in $(supported_by "$2"); do
    case "$compiled" in *" $t "*) out+=("$t") ;; esac
  done
  (IFS=,; echo "${out[*]}")
}

stamp() { date +%s; }
took() { echo "$(( $(stamp) - $1 )) s"; }

build() {  # $1 = build dir, rest = cmake arguments
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

# Tests that start a child copy of themselves run it through the same emulator.
# (cmake/qemu-root: see cmake/aarch64-linux-gnu.cmake)
export TQ_TEST_EMULATOR="qemu-aarch64 -L $root/cmake/qemu-root"
export TQ_UNDER_EMULATION=1
export ORT_DISABLE_TELEMETRY=1

failed=()
run_suite() {  # $1 = build dir, $2 = compiler, $3 = QEMU_CPU, rest = ctest selection
  local dir=$1 cc=$2 cpu=$3 expect best t1
  shift 3
  expect=$(expected_for "$cc" "$cpu")
  best=${expect%%,*}
  echo "=== aarch64 $cc, QEMU_CPU=$cpu${1:+ ($*)}: targets $expect"
  t1=$(stamp)
  # --no-tests=error: a run that finds no tests fails.
  if ! QEMU_CPU=$cpu TQ_EXPECT_SIMD_TARGETS=$expect TQ_EXPECT_SIMD_BEST=$best \
       ctest --test-dir "$dir" --output-on-failure --no-tests=error -j"$jobs" "$@" "${extra[@]}"; then
    failed+=("$cc:$cpu")
  fi
  echo "=== aarch64 $cc, QEMU_CPU=$cpu: $(took "$t1")"
}

t0=$(stamp)
echo "=== aarch64 gcc: cross build"
build build/aarch64 -DTQ_AARCH64_COMPILER=gcc -DTQ_BUILD_BENCH=OFF
echo "=== aarch64 gcc: cross build $(took "$t0")"
# The benchmarks are neither built nor run here: their timings mean nothing under
# emulation, and what they time is the tests' subject.
for cpu in $full_cpus; do run_suite build/aarch64 gcc "$cpu"; done
for cpu in $simd_cpus; do run_suite build/aarch64 gcc "$cpu" -L simd; done

if [ "$with_clang" = 1 ]; then
  t2=$(stamp)
  echo "=== aarch64 clang-19: cross build of the SIMD tests"
  dir=build/aarch64-clang
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQ_AARCH64_COMPILER=clang \
    -DTQ_HWY_PREFIX="$root/third_party/hwy-aarch64-clang" >/dev/null
  # Each test is built by the target of the same name.
  mapfile -t simd_tests < <(ctest --test-dir "$dir" -N -L simd | sed -n 's/^ *Test *#[0-9]*: //p')
  [ "${#simd_tests[@]}" -gt 0 ] || { echo "test_aarch64: no test carries the simd label" >&2; exit 1; }
  cmake --build "$dir" -j"$jobs" --target "${simd_tests[@]}"
  echo "=== aarch64 clang-19: cross build $(took "$t2")"
  run_suite "$dir" clang max,sve=off -L simd
fi

echo "=== aarch64 total: $(took "$t0")"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "test_aarch64: FAILED: ${failed[*]}" >&2
  exit 1
fi
