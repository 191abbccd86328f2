#!/usr/bin/env bash
# What an installed tq_core must serve, for the source install (install_test.sh) and the
# Debian packages (package_test.sh): the header compiles as C99 and as C++; a C host built
# through pkg-config and the same host built by a CMake project through find_package(tq_core)
# run, on the installed library and the ONNX Runtime installed with it; the short example,
# built through pkg-config, says a sentence of the demo avatar.
#
#   consumers.sh PREFIX LIBDIR ORTDIR SCRATCH
#
# LIBDIR holds libtq_core.so.0 and pkgconfig/, ORTDIR libonnxruntime.so.1; SCRATCH is an
# empty folder. The hosts run with the caller's LD_LIBRARY_PATH.
set -euo pipefail
prefix=$1 libdir=$2 ortdir=$3 tmp=$4
here=$(cd "$(dirname "$0")" && pwd)

# The header compiles as C99 and as C++.
cc -std=c99 -Wall -Wextra -Werror -pedantic -fsyntax-only -I"$prefix/include" -x c "$prefix/include/tq/tq.h"
c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" -x c++ "$prefix/include/tq/tq.h"

# The library and the runtime the loader resolves for a host are the installed ones.
loaded_from() {  # $1 = binary
  local lib want got
  for lib in libtq_core.so.0:"$libdir" libonnxruntime.so.1:"$ortdir"; do
    want=$(readlink -f "${lib#*:}/${lib%%:*}")
    got=$(ldd "$1" | awk -v n="${lib%%:*}" '$1 == n {print $3}')
    if [ -z "$got" ] || [ "$(readlink -f "$got")" != "$want" ]; then
      ldd "$1"; echo "${lib%%:*} of $1 is not the installed $want"; exit 1
    fi
  done
}

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$tmp/host" "$here/host.c" $(pkg-config --cflags --libs tq_core)
"$tmp/host" "$tmp"
loaded_from "$tmp/host"

# The same host, built by a CMake project through find_package.
cmake -S "$here/consumer" -B "$tmp/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DHOST_SOURCE="$here/host.c" >/dev/null
cmake --build "$tmp/consumer" >/dev/null
"$tmp/consumer/consumer" "$tmp"
loaded_from "$tmp/consumer/consumer"

# The short example, built against the installed package, says a sentence of the demo avatar: one
# image per 640 samples of speech, then the 6 frames of the ramp back to idle.
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$tmp/example" "$here/../../tools/tq_example.c" $(pkg-config --cflags --libs tq_core)
env -u LD_LIBRARY_PATH /usr/bin/python3 "$here/../../tools/tq_fixtures.py" demo-avatar "$tmp/a" --seconds 1 --crop 256 \
  --width 640 --height 480 --motion "$tmp/m" >/dev/null
espeak-ng -w "$tmp/s.wav" "One short sentence."
ffmpeg -v error -i "$tmp/s.wav" -f s16le -ac 1 -ar 16000 "$tmp/s.s16"
mkdir "$tmp/frames"
TQ_A2X_W2V_RIGHT=0 "$tmp/example" "$tmp/a" "$tmp/m" "$tmp/s.s16" "$tmp/frames" >/dev/null 2>"$tmp/example.log" ||
  { cat "$tmp/example.log"; echo "the example failed"; exit 1; }
want=$(( ($(stat -c %s "$tmp/s.s16") / 2 + 639) / 640 + 6 ))
got=$(find "$tmp/frames" -name '*.ppm' | wc -l)
[ "$got" = "$want" ] || { echo "the example wrote $got frames, want $want"; exit 1; }
