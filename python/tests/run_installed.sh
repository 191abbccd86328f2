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

# pip installs the same package elsewhere; it then finds the installed library
# through TQ_CORE_LIBRARY, or on the loader's search path.
cp -r "$src/python" "$tmp/pysrc"
rm -rf "$tmp/pysrc/tests"
PIP_DISABLE_PIP_VERSION_CHECK=1 /usr/bin/python3 -m pip install -q --no-build-isolation --no-deps --no-index \
  --target "$tmp/pip" "$tmp/pysrc" 2>&1 | grep -v "^WARNING: Running pip as the 'root' user" || true
probe='import tq_core; print(tq_core.__file__, tq_core.library_path(), tq_core.kp_rows())'
lib="$tmp/prefix/lib/libtq_core.so.0"
got=$(cd /tmp && env -u LD_LIBRARY_PATH PYTHONPATH="$tmp/pip" TQ_CORE_LIBRARY="$lib" /usr/bin/python3 -c "$probe")
[ "$got" = "$tmp/pip/tq_core/__init__.py $lib 21" ] || { echo "pip install: $got"; exit 1; }
got=$(cd /tmp && env -u TQ_CORE_LIBRARY PYTHONPATH="$tmp/pip" LD_LIBRARY_PATH="$tmp/prefix/lib" /usr/bin/python3 -c "$probe")
[ "$got" = "$tmp/pip/tq_core/__init__.py libtq_core.so.0 21" ] || { echo "pip install: $got"; exit 1; }
echo "python ok"
