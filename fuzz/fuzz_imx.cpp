// IMX container unpacking: the input is the container file, unpacked through
// the same resolution a host's open uses into a directory emptied after each
// input.
#include <cstdlib>
#include <exception>

#include "bundle/tq_imx.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Set once: changing the environment per input leaks glibc's old strings,
  // which would make libFuzzer scan for leaks after every input.
  static tqfuzz::TempDir* const out = [] {
    auto* d = new tqfuzz::TempDir;
    ::setenv("TQ_IMX_UNWRAP_ROOT", d->path().c_str(), 1);
    return d;
  }();
  tqfuzz::TempDir dir;
  const std::string container = dir / "avatar.imx";
  tqfuzz::writeFile(container, data, size);
  try {
    const std::string resolved = tq::resolveBundlePath(container);
    // A second resolution takes the warm path and must agree.
    if (tq::resolveBundlePath(container) != resolved) std::abort();
  } catch (const std::exception&) {
  }
  tqfuzz::removeTree(*out / "avatar.tqbundle");
  tqfuzz::removeTree(*out / "avatar.tqbundle.imx_unwrapped");
  return 0;
}
