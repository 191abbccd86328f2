// The graph wire toolkit and the load-time rewrite over arbitrary model bytes:
// the baked-kernel check, the GridSample rewrite, and a re-read of what it wrote.
#include <cstdlib>
#include <exception>

#include "fuzz_util.h"
#include "render/gridsample_fast.h"
#include "render/gs_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  try {
    (void)tq::graphHasBakedGridSampleFast(bytes);
    tqfuzz::readGraphBack(bytes);
    const std::size_t rewritten = tq::rewriteGridSampleToFast(bytes);
    if (rewritten) {
      // What the rewrite wrote must read back, and a second pass finds nothing left to do.
      tqfuzz::readGraphBack(bytes);
      if (tq::rewriteGridSampleToFast(bytes) != 0) std::abort();
    }
    tq::GsGraphEdit edit;
    edit.dropNode.assign(1, true);
    edit.dropOutputs = true;
    std::vector<uint8_t> out;
    tq::gsRebuild(bytes, edit, out);
    tqfuzz::readGraphBack(out);
  } catch (const std::exception&) {
  }
  return 0;
}
