# Sourced by tools/packages.sh and tests/install/package_test.sh: the architectures
# an --arch value names. $1 = the caller's name for messages, $2 = the value.
package_archs() {
  case "$2" in
    all) echo "amd64 arm64" ;;
    amd64|arm64) echo "$2" ;;
    *) echo "$1: --arch takes amd64, arm64 or all, not '$2'" >&2; return 2 ;;
  esac
}
