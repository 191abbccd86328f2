#!/usr/bin/env bash
# Installs the built tree into a temporary prefix, then builds and runs a C host
# through pkg-config and a CMake project through find_package(tq_core), both
# without LD_LIBRARY_PATH.
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

# The header compiles as C99 and as C++.
cc -std=c99 -Wall -Wextra -Werror -pedantic -fsyntax-only -I"$prefix/include" -x c "$prefix/include/tq/tq.h"
c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" -x c++ "$prefix/include/tq/tq.h"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$tmp/host" "$here/host.c" $(pkg-config --cflags --libs tq_core)
"$tmp/host" "$tmp"
# The runtime found is the installed one, not the build tree's.
ort=$(ldd "$tmp/host" | awk '/libonnxruntime\.so\.1/ {print $3}')
if [ -z "$ort" ] || [ "$(readlink -f "$ort")" != "$(readlink -f "$prefix/lib/libonnxruntime.so.1")" ]; then
  ldd "$tmp/host"; echo "ONNX Runtime not found beside the installed library"; exit 1
fi

# The same host, built by a CMake project through find_package.
cmake -S "$here/consumer" -B "$tmp/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DHOST_SOURCE="$here/host.c" >/dev/null
cmake --build "$tmp/consumer" >/dev/null
"$tmp/consumer/consumer" "$tmp"
echo "install ok"
