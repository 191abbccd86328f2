// Bundle manifest reader: segment 0 is manifest.json, segment 1 (optional) the
// lip template the reader carries along.
#include <exception>

#include "bundle/tq_bundle.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> seg = tqfuzz::segments(data, size);
  tqfuzz::TempDir dir;
  tqfuzz::writeFile(dir / "manifest.json", seg[0]);
  if (seg.size() > 1) tqfuzz::writeFile(dir / "lip_template.v1.json", seg[1]);
  try {
    const tq::Manifest m = tq::loadManifest(dir.path());
    (void)m.modelPath("m");
  } catch (const std::exception&) {
  }
  return 0;
}
