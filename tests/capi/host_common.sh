# Sourced by the host scripts (after setting $src): strict mode, the test emulator, a scratch
# directory removed on exit, the Python that has the fixture packages, and the fixture tool.
set -euo pipefail
emu=${TQ_TEST_EMULATOR:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
py() { env -u LD_LIBRARY_PATH /usr/bin/python3 "$@"; }
fx() { py "$src/tools/tq_fixtures.py" "$@"; }
