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
# The short example, built against the installed package, says a sentence of the demo avatar: one
# image per 640 samples of speech, then the 6 frames of the ramp back to idle.
cc -std=c99 -Wall -Wextra -Werror -o "$tmp/example" "$here/../../tools/tq_example.c" $(pkg-config --cflags --libs tq_core)
/usr/bin/python3 "$here/../../tools/tq_fixtures.py" demo-avatar "$tmp/a" --seconds 1 --crop 256 --width 640 \
  --height 480 --motion "$tmp/m" >/dev/null
espeak-ng -w "$tmp/s.wav" "One short sentence."
ffmpeg -v error -i "$tmp/s.wav" -f s16le -ac 1 -ar 16000 "$tmp/s.s16"
mkdir "$tmp/frames"
TQ_A2X_W2V_RIGHT=0 "$tmp/example" "$tmp/a" "$tmp/m" "$tmp/s.s16" "$tmp/frames" >/dev/null 2>"$tmp/example.log" ||
  { cat "$tmp/example.log"; echo "the example failed"; exit 1; }
want=$(( ($(stat -c %s "$tmp/s.s16") / 2 + 639) / 640 + 6 ))
got=$(find "$tmp/frames" -name '*.ppm' | wc -l)
[ "$got" = "$want" ] || { echo "the example wrote $got frames, want $want"; exit 1; }
echo "install ok"
