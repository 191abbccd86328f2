#!/usr/bin/env bash
# Installs everything a fresh Debian 12 machine needs to build and test tq_core.
# Run as root. Idempotent: when everything is present it only checks and returns.
#
#   tools/bootstrap.sh            host (x86_64 or aarch64) toolchain and libraries
#   tools/bootstrap.sh --aarch64  also the aarch64 cross toolchain, qemu and arm64 libraries
#   tools/bootstrap.sh --bench    also OpenCV (libopencv-dev), which only the benchmarks use
#   tools/bootstrap.sh --packages also what tools/packages.sh needs to build and check .deb files
#
# Third-party files land in third_party/ (ignored by git), never in /etc/apt.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
tp="$here/third_party"
want_arm=0
want_bench=0
want_pkg=0
for a in "$@"; do
  case "$a" in
    --aarch64) want_arm=1 ;;
    --bench) want_bench=1 ;;
    --packages) want_pkg=1 ;;
    *) echo "bootstrap: unknown argument $a" >&2; exit 2 ;;
  esac
done

say() { echo "[bootstrap] $*" >&2; }
sudo_do() {
  if [ "$(id -u)" = 0 ]; then "$@"
  elif command -v sudo >/dev/null; then sudo "$@"
  else echo "[bootstrap] installing Debian packages needs root, and sudo is not installed: run this command as root" >&2; exit 1
  fi
}

ORT_VERSION=1.30.0
ORT_SHA_X64=ffb75a925ba05e47b235bb66e3e3911714a80b328a9c9425539feb204aa32a23
ORT_SHA_ARM64=1f549d46250b005580b597f4164984aaf75b3bcb9f3aeb07c7f8a8fe60b23c76
HWY_VERSION=1.3.0
HWY_SHA=07b3c1ba2c1096878a85a31a5b9b3757427af963b1141ca904db2f9f4afe0bc2
HWY_FALLBACK_VERSION=1.2.0
HWY_FALLBACK_SHA=7e0be78b8318e8bdbf6fa545d2ecb4c90f947df03f7aadc42c1967f019e63343

# ---------------------------------------------------------------- Debian packages
host_pkgs=(build-essential cmake pkg-config ca-certificates xz-utils libgtest-dev libgmock-dev
           libbenchmark-dev libavformat-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg
           libstb-dev python3-onnx python3-numpy python3-pytest espeak-ng ccache)
# tq_live: the browser demo host serves over civetweb; its browser test drives Debian's chromium.
host_pkgs+=(libcivetweb-dev chromium)
command -v npm >/dev/null 2>&1 || host_pkgs+=(npm)
# The fuzz targets (tools/fuzz.sh) build with clang and link libFuzzer.
host_pkgs+=(clang-14 libclang-rt-14-dev)
# aarch64: GCC cross compiler (libc6-dev-arm64-cross), clang-19 for the NEON_BF16 build,
# qemu-user, and arm64 multiarch libraries; tests run on libc6:arm64 (see
# cmake/aarch64-linux-gnu.cmake).
arm_pkgs=(g++-aarch64-linux-gnu qemu-user clang-19 libc6:arm64 libstdc++6:arm64
          libavformat-dev:arm64 libavcodec-dev:arm64 libswscale-dev:arm64 libavutil-dev:arm64
          libgtest-dev:arm64 libgmock-dev:arm64)
# Debian packages (tools/packages.sh): dpkg-shlibdeps and dpkg-deb, lintian.
pkg_pkgs=(dpkg-dev lintian)

missing_pkgs() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

pkgs=("${host_pkgs[@]}")
# The paste benchmark compares against OpenCV's warpAffine when it is installed.
if [ "$want_bench" = 1 ]; then pkgs+=(libopencv-dev); fi
if [ "$want_pkg" = 1 ]; then pkgs+=("${pkg_pkgs[@]}"); fi
if [ "$want_arm" = 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    say "adding the arm64 architecture"
    sudo_do dpkg --add-architecture arm64
    need_update=1
  fi
  pkgs+=("${arm_pkgs[@]}")
fi
mapfile -t todo < <(missing_pkgs "${pkgs[@]}")
if [ "${#todo[@]}" -gt 0 ] || [ "${need_update:-0}" = 1 ]; then
  say "installing ${#todo[@]} Debian packages: ${todo[*]}"
  sudo_do apt-get update -qq >/dev/null
  if [ "${#todo[@]}" -gt 0 ]; then
    sudo_do env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${todo[@]}" >/dev/null
  fi
fi

# ---------------------------------------------------------------- private apt configuration
# Reads packages of other Debian suites without touching the machine's own apt state.
mirror=""
mirror_of_machine() {
  local m
  m=$(grep -hsE '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | grep -v security | head -n1 || true)
  [ -n "$m" ] || m=$(grep -hsE '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
                      | awk '{print $2}' | grep -E 'debian/?$' | grep -v security | head -n1 || true)
  echo "${m%/}"
}
papt_dir=""
papt_opts() { echo -o Dir::Etc::SourceList="$papt_dir/sources.list" -o Dir::Etc::SourceParts="$papt_dir/parts" \
    -o Dir::State::Lists="$papt_dir/lists" -o Dir::Cache="$papt_dir/cache" -o Dir::State::status="$papt_dir/status" \
    -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root; }
papt_cache() { apt-cache $(papt_opts) "$@"; }
papt() { apt-get $(papt_opts) "$@"; }
papt_setup() {
  [ -n "$papt_dir" ] && return 0
  mirror=$(mirror_of_machine)
  [ -n "$mirror" ] || { echo "bootstrap: cannot find the Debian mirror in /etc/apt" >&2; exit 1; }
  papt_dir=$(mktemp -d /tmp/tq-apt.XXXXXX)
  mkdir -p "$papt_dir/parts" "$papt_dir/lists/partial" "$papt_dir/cache/archives/partial"
  : > "$papt_dir/status"
  cat > "$papt_dir/sources.list" <<SRC
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror experimental main
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror sid main
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror sid main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main
SRC
  say "private apt index from $mirror"
  papt update -qq >/dev/null
}
cleanup() { [ -n "$papt_dir" ] && rm -rf "$papt_dir"; return 0; }
trap cleanup EXIT

sha_ok() { [ -f "$1" ] && [ "$(sha256sum "$1" | awk '{print $1}')" = "$2" ]; }

# ---------------------------------------------------------------- ONNX Runtime runtime (npm)
ort="$tp/onnxruntime"
if ! sha_ok "$ort/lib/x64/libonnxruntime.so.1" "$ORT_SHA_X64" || ! sha_ok "$ort/lib/arm64/libonnxruntime.so.1" "$ORT_SHA_ARM64"; then
  say "fetching onnxruntime-node@$ORT_VERSION from npm"
  work=$(mktemp -d /tmp/tq-ort.XXXXXX)
  (cd "$work" && npm pack --ignore-scripts --silent "onnxruntime-node@$ORT_VERSION" >/dev/null)
  tar -xzf "$work"/onnxruntime-node-*.tgz -C "$work"
  mkdir -p "$ort/lib/x64" "$ort/lib/arm64"
  for a in x64 arm64; do
    cp "$work/package/bin/napi-v6/linux/$a/libonnxruntime.so.1" "$ort/lib/$a/libonnxruntime.so.1"
  done
  rm -rf "$work"
  sha_ok "$ort/lib/x64/libonnxruntime.so.1" "$ORT_SHA_X64" || { echo "bootstrap: x64 libonnxruntime checksum mismatch" >&2; exit 1; }
  sha_ok "$ort/lib/arm64/libonnxruntime.so.1" "$ORT_SHA_ARM64" || { echo "bootstrap: arm64 libonnxruntime checksum mismatch" >&2; exit 1; }
fi

# ---------------------------------------------------------------- ONNX Runtime headers (Debian .deb, unpacked)
if [ ! -f "$ort/include/onnxruntime_c_api.h" ]; then
  papt_setup
  work=$(mktemp -d /tmp/tq-orth.XXXXXX)
  got=""
  for v in 1.27.1+dfsg-1 $(papt_cache madison libonnxruntime-dev 2>/dev/null | awk -F'|' '{gsub(/ /,"",$2); print $2}' | sort -rV); do
    if (cd "$work" && papt download -qq "libonnxruntime-dev=$v" >/dev/null 2>&1); then got=$v; break; fi
  done
  [ -n "$got" ] || { echo "bootstrap: no libonnxruntime-dev found in experimental/sid/trixie" >&2; exit 1; }
  say "ONNX Runtime headers from libonnxruntime-dev $got"
  dpkg-deb -x "$work"/libonnxruntime-dev_*.deb "$work/x"
  h=$(dirname "$(find "$work/x" -name onnxruntime_c_api.h | head -n1)")
  mkdir -p "$ort/include"
  cp "$h"/*.h "$ort/include/"
  rm -rf "$work"
fi

# ---------------------------------------------------------------- Highway (built from Debian's source package)
hwy_src_get() {
  papt_setup
  local v sha
  for pair in "$HWY_VERSION:$HWY_SHA" "$HWY_FALLBACK_VERSION:$HWY_FALLBACK_SHA"; do
    v=${pair%%:*}; sha=${pair#*:}
    local full
    full=$(papt_cache showsrc highway 2>/dev/null | awk '/^Version:/{print $2}' | grep "^$v-" | sort -rV | head -n1 || true)
    [ -n "$full" ] || continue
    (cd "$tp/src" && papt source --download-only -qq "highway=$full" >/dev/null 2>&1) || continue
    local tarball
    tarball=$(ls "$tp/src"/highway_"$v".orig.tar.* 2>/dev/null | head -n1)
    if sha_ok "$tarball" "$sha"; then hwy_tarball=$tarball; return 0; fi
    echo "bootstrap: checksum mismatch on $tarball" >&2
  done
  echo "bootstrap: no Highway source package found" >&2; return 1
}
hwy_build() {  # $1 = install prefix, $2.. extra cmake args
  local prefix=$1; shift
  [ -f "$prefix/lib/libhwy.a" ] && return 0
  mkdir -p "$tp/src"
  hwy_tarball=$(ls "$tp/src"/highway_*.orig.tar.* 2>/dev/null | head -n1 || true)
  [ -n "$hwy_tarball" ] || hwy_src_get
  local srcdir="$tp/src/highway"
  if [ ! -f "$srcdir/CMakeLists.txt" ]; then
    rm -rf "$srcdir"; mkdir -p "$srcdir"
    tar -xf "$hwy_tarball" -C "$srcdir" --strip-components=1
  fi
  local b; b=$(mktemp -d /tmp/tq-hwy.XXXXXX)
  say "building Highway into $prefix"
  cmake -S "$srcdir" -B "$b" -DCMAKE_BUILD_TYPE=Release -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DHWY_ENABLE_TESTS=OFF -DHWY_ENABLE_CONTRIB=OFF \
    -DHWY_ENABLE_EXAMPLES=OFF -DHWY_ENABLE_INSTALL=ON -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_LIBDIR=lib "$@" >/dev/null
  cmake --build "$b" -j"$(nproc)" >/dev/null
  cmake --install "$b" >/dev/null
  rm -rf "$b"
}
hwy_build "$tp/hwy-host"
if [ "$want_arm" = 1 ]; then
  # GCC 12 compiles every aarch64 target but NEON_BF16; clang-19 compiles NEON_BF16
  # but no SVE target. Each build of tq_core needs a Highway from the same compiler.
  hwy_build "$tp/hwy-aarch64" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/aarch64-linux-gnu.cmake" \
    -DTQ_AARCH64_COMPILER=gcc
  hwy_build "$tp/hwy-aarch64-clang" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/aarch64-linux-gnu.cmake" \
    -DTQ_AARCH64_COMPILER=clang
fi

say "ready"
