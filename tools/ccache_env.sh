# Sourced by tools/test.sh and tools/packages.sh: compiled objects are cached outside
# the checkout with Debian's ccache, in $CCACHE_DIR (default
# /var/cache/tq_core-ccache, or ~/.cache/tq_core-ccache when /var/cache is not
# writable), so a second run rebuilds in seconds.
if command -v ccache >/dev/null; then
  if [ -z "${CCACHE_DIR:-}" ]; then
    if [ -w /var/cache ]; then CCACHE_DIR=/var/cache/tq_core-ccache; else CCACHE_DIR=${XDG_CACHE_HOME:-$HOME/.cache}/tq_core-ccache; fi
  fi
  export CCACHE_DIR
  mkdir -p "$CCACHE_DIR"
  # Build trees with the same flags share objects (the release tree and the amd64
  # package tree, the aarch64 test tree and the arm64 package tree): without this,
  # ccache keys objects with debug information on the build directory.
  export CCACHE_NOHASHDIR=1
  # Read by CMake when a build directory is first configured, cross and fuzz builds included.
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
