#!/usr/bin/env bash
# Installs the Debian packages of tools/packages.sh and runs what they hold.
#
#   tests/install/package_test.sh [--arch amd64|arm64|all] [DIR]    (DIR: default out/packages)
#
# amd64: the four packages are unpacked into a fresh root (dpkg -x: dpkg --root would
# install into an empty package database, where no dependency is met and the maintainer
# scripts run chrooted into a root without a shell); apt resolves their dependencies
# against this machine's archive without installing (--simulate). The pkg-config and
# CMake consumers of the source install test (consumers.sh) then build and run against
# the root, and the Python package in it loads the root's library.
# arm64: libtq-core0 and tq-core-tools are unpacked into a fresh root and the main job's
# test (tests/session/speak_test.sh) runs the root's tq_speak under qemu-aarch64: the
# demo avatar says a short sentence into a movie, whose frames and audio it checks. The
# arm64 loader's own report shows the library and ONNX Runtime came from the root.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tools/package_arch.sh
source "$src/tools/package_arch.sh"
archs="amd64 arm64"
dir="$src/out/packages"
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) archs=$(package_archs package_test "${2:-}") || exit 2; shift 2 ;;
    -*) echo "usage: tests/install/package_test.sh [--arch amd64|arm64|all] [DIR]" >&2; exit 2 ;;
    *) dir=$1; shift ;;
  esac
done
export ORT_DISABLE_TELEMETRY=1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
version=$(sed -n 's/^project(tq_core VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")

deb() {  # $1 = package, $2 = architecture: the file, checked to be that package of this version
  local f="$dir/$1_${version}_$2.deb"
  [ -f "$f" ] || fail "no $f (run tools/packages.sh)"
  [ "$(dpkg-deb -f "$f" Package Version Architecture)" = "$(printf 'Package: %s\nVersion: %s\nArchitecture: %s' "$1" "$version" "$2")" ] ||
    { dpkg-deb -f "$f"; fail "$f: control fields"; }
  echo "$f"
}

# The library's SONAME and run path, and its FFmpeg dependencies by the names of the
# Debian packages that hold the FFmpeg libraries it links (as dpkg knows them here).
check_runtime() {  # $1 = unpacked root, $2 = triplet, $3 = libtq-core0 .deb, $4 = architecture
  local lib="$1/usr/lib/$2/libtq_core.so.0" n owner depends
  [ -f "$1/usr/lib/$2/tq_core/libonnxruntime.so.1" ] || fail "no private ONNX Runtime in libtq-core0"
  [ ! -e "$1/usr/lib/$2/libonnxruntime.so.1" ] || fail "ONNX Runtime on the loader's own path"
  readelf -d "$lib" | grep -q 'Library soname: \[libtq_core\.so\.0\]' || fail "SONAME of $lib"
  readelf -d "$lib" | grep -qF 'Library runpath: [$ORIGIN/tq_core]' || { readelf -d "$lib"; fail "RUNPATH of $lib"; }
  depends=$(dpkg-deb -f "$3" Depends)
  for n in $(readelf -d "$lib" | sed -n 's/.*Shared library: \[\(libav[a-z]*\.so\.[0-9]*\|libswscale\.so\.[0-9]*\)\].*/\1/p'); do
    owner=$(dpkg -S "/usr/lib/$2/$n" | sed -n "s/^\([^:]*\):$4: .*/\1/p" | head -n1)
    [ -n "$owner" ] || fail "no $4 package holds $n"
    grep -qE "(^|, )$owner( |,|$)" <<<"$depends" || fail "libtq-core0 does not depend on $owner (for $n): $depends"
  done
}

# apt resolves the packages' dependencies from the archive this machine uses, installing nothing.
resolvable() {  # package files
  apt-get install --simulate --no-install-recommends "$@" >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt cannot install $*"; }
}

if [[ " $archs " == *" amd64 "* ]]; then
  t0=$(date +%s)
  r="$tmp/amd64"; t=x86_64-linux-gnu
  debs=()
  for p in libtq-core0 libtq-core-dev tq-core-tools python3-tq-core; do debs+=("$(deb "$p" amd64)"); done
  for f in "${debs[@]}"; do dpkg-deb -x "$f" "$r"; done
  resolvable "${debs[@]}"
  check_runtime "$r" "$t" "${debs[0]}" amd64
  [ -x "$r/usr/bin/tq_speak" ] || fail "tq-core-tools holds no tq_speak"
  # The library lies on the device's loader path (/usr/lib/<triplet>); here LD_LIBRARY_PATH
  # stands in for it. Its ONNX Runtime is found through its own run path only.
  mkdir "$tmp/c"
  LD_LIBRARY_PATH="$r/usr/lib/$t" "$src/tests/install/consumers.sh" "$r/usr" "$r/usr/lib/$t" "$r/usr/lib/$t/tq_core" "$tmp/c"
  got=$(env -u LD_LIBRARY_PATH PYTHONPATH="$r/usr/lib/python3/dist-packages" /usr/bin/python3 -c \
    'import tq_core; print(tq_core.__version__, tq_core.library_path())')
  [ "$got" = "$version $r/usr/lib/$t/libtq_core.so.0" ] || fail "the Python package loaded '$got'"
  echo "package amd64 ok ($(( $(date +%s) - t0 )) s)"
fi

if [[ " $archs " == *" arm64 "* ]]; then
  t0=$(date +%s)
  r="$tmp/arm64"; t=aarch64-linux-gnu
  debs=("$(deb libtq-core0 arm64)" "$(deb tq-core-tools arm64)")
  for f in "${debs[@]}"; do dpkg-deb -x "$f" "$r"; done
  resolvable "${debs[@]}"
  check_runtime "$r" "$t" "${debs[0]}" arm64
  # The FFmpeg and C libraries come from this machine's arm64 multiarch packages
  # (cmake/qemu-root falls through to /, see cmake/aarch64-linux-gnu.cmake); the arm64
  # loader writes what it loaded into $tmp/ld.<pid>.
  TQ_TEST_EMULATOR="qemu-aarch64 -L $src/cmake/qemu-root -E LD_DEBUG=libs -E LD_DEBUG_OUTPUT=$tmp/ld" \
    TQ_UNDER_EMULATION=1 "$src/tests/session/speak_test.sh" "$r/usr/bin/tq_speak" "$src"
  for lib in "usr/lib/$t/libtq_core.so.0" "usr/lib/$t/tq_core/libonnxruntime.so.1"; do
    loaded=$(cat "$tmp"/ld.* | sed -n "s/.*calling init: \(.*\/$(basename "$lib")\)$/\1/p" | sort -u)
    [ -n "$loaded" ] || fail "the arm64 loader reports no $(basename "$lib")"
    while read -r l; do
      [ "$(readlink -f "$l")" = "$(readlink -f "$r/$lib")" ] || fail "tq_speak ran on $l, not the package's /$lib"
    done <<<"$loaded"
    echo "arm64 loader: $(basename "$lib") from the package's /$lib"
  done
  echo "package arm64 ok ($(( $(date +%s) - t0 )) s)"
fi
