#!/usr/bin/env bash
# Installs the built tree into a temporary prefix and runs the Python tests on
# the installed package and library (no LD_LIBRARY_PATH, no TQ_CORE_LIBRARY).
set -euo pipefail
build=$1 src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
log=$(cmake --install "$build" --prefix "$tmp/prefix")
site=$(sed -n 's/^-- Python package tq_core: \(.*\) (add it to PYTHONPATH)$/\1/p' <<<"$log")
[ "$site" = "$tmp/prefix/lib/python3/site-packages" ] || { echo "$log"; echo "install did not name the package folder"; exit 1; }
cd "$src"
env -u LD_LIBRARY_PATH -u TQ_CORE_LIBRARY PYTHONPATH="$site" TQ_TEST_PREFIX="$tmp/prefix" TQ_SOURCE_DIR="$src" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests
