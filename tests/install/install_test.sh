#!/usr/bin/env bash
# Installs the built tree into a temporary prefix, then builds and runs a C host
# through pkg-config and a CMake project through find_package(tq_core), both
# without LD_LIBRARY_PATH (consumers.sh).
set -euo pipefail
build=$1 here=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/tq/tq.h lib/libtq_core.so lib/libonnxruntime.so.1 lib/pkgconfig/tq_core.pc \
         lib/cmake/tq_core/tq_coreConfig.cmake; do
  [ -e "$prefix/$f" ] || { echo "install lacks $f"; exit 1; }
done
unset LD_LIBRARY_PATH
mkdir "$tmp/scratch"
"$here/consumers.sh" "$prefix" "$prefix/lib" "$prefix/lib" "$tmp/scratch"
echo "install ok"
