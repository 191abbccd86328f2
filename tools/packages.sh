#!/usr/bin/env bash
# Builds tq_core's Debian packages with CMake and CPack, into out/packages/:
#
#   tools/packages.sh                  amd64 and arm64 (as root, fresh Debian 12, like tools/test.sh)
#   tools/packages.sh --arch amd64     one architecture (amd64 or arm64)
#
# arm64 is cross-built with the toolchain of `tools/bootstrap.sh --aarch64`
# (cmake/aarch64-linux-gnu.cmake). Per architecture: libtq-core0 (library and its
# private ONNX Runtime), libtq-core-dev, tq-core-tools and python3-tq-core, named
# <package>_<version>_<arch>.deb, each checked with lintian: a package's overrides
# (cmake/debian/<package>.lintian-overrides) give the reason for each tag it carries
# on purpose, and any other warning or error fails the run. Build trees:
# build/packages-<arch>. tests/install/package_test.sh installs and runs them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=tools/package_arch.sh
source "$root/tools/package_arch.sh"
archs="amd64 arm64"
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) archs=$(package_archs tools/packages.sh "${2:-}") || exit 2; shift 2 ;;
    *) echo "usage: tools/packages.sh [--arch amd64|arm64|all]" >&2; exit 2 ;;
  esac
done
[ "$(dpkg --print-architecture)" = amd64 ] || { echo "tools/packages.sh: builds on an amd64 machine" >&2; exit 1; }
jobs=$(nproc)
started=$(date +%s)

case " $archs " in
  *" arm64 "*) tools/bootstrap.sh --aarch64 --packages ;;
  *) tools/bootstrap.sh --packages ;;
esac

# shellcheck source=tools/ccache_env.sh
source "$root/tools/ccache_env.sh"
# The changelog's date (and CPack's file times): the last commit's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

out="$root/out/packages"
mkdir -p "$out"
built=()
for arch in $archs; do
  t0=$(date +%s)
  dir="build/packages-$arch"
  args=()
  case "$arch" in
    amd64) triplet=x86_64-linux-gnu ;;
    arm64) triplet=aarch64-linux-gnu
           args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DTQ_AARCH64_COMPILER=gcc) ;;
  esac
  echo "=== $arch: build ($dir)"
  # The build type and compiler of tools/test.sh and tools/test_aarch64.sh; the
  # linker makes relocations read-only after start-up, as Debian's own packages do.
  cmake -S "$root" -B "$dir" "${args[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQ_DEB_PACKAGES=ON \
    -DTQ_BUILD_TESTS=OFF -DTQ_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="lib/$triplet" \
    -DCMAKE_SHARED_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "=== $arch: packages"
  rm -rf "$dir/packages"
  # dpkg-shlibdeps reads the package architecture from DEB_HOST_ARCH: for arm64 it
  # looks the libraries up among the arm64 multiarch packages.
  (cd "$dir" && DEB_HOST_ARCH=$arch cpack -G DEB >cpack.log 2>&1) || { cat "$dir/cpack.log"; exit 1; }
  rm -f "$out"/*_"$arch".deb
  cp "$dir"/packages/*.deb "$out/"
  built+=("$out"/*_"$arch".deb)
  echo "=== $arch: $(( $(date +%s) - t0 )) s"
done

echo "=== lintian"
# Overridden tags are listed (O:) after their reasons (N:); lintian's own --fail-on
# would count them too, so the run fails on the errors and warnings it prints.
lintian --fail-on none --show-overrides --tag-display-limit 0 "${built[@]}" 2>&1 |
  grep -v '^running with root privileges' | tee "$out/lintian.log"
if grep -qE '^(E|W): ' "$out/lintian.log"; then
  echo "tools/packages.sh: lintian found errors or warnings that no override explains" >&2
  exit 1
fi

echo "=== packages in $out ($(( $(date +%s) - started )) s)"
for f in "${built[@]}"; do
  printf '%-44s %-16s %8s KiB\n' "$(basename "$f")" "$(dpkg-deb -f "$f" Package)" "$(( $(stat -c %s "$f") / 1024 ))"
done
