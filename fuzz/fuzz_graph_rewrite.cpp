// The graph wire toolkit and the load-time rewrite over arbitrary model bytes:
// the baked-kernel check, the GridSample rewrite, and a re-read of what it wrote.
#include <cstdlib>
#include <exception>

#include "fuzz_util.h"
#include "render/gridsample_fast.h"
#include "render/gs_wire.h"

namespace {

void readBack(const std::vector<uint8_t>& bytes) {
  std::vector<tq::GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  const tq::GsSlice graph = tq::gsGraphOf(bytes);
  tq::gsReadGraph(graph, nodes, inits, inputs);
  for (const tq::GsNodeInfo& n : nodes) {
    const tq::GsSlice v = tq::hcConstValue(n.bytes);
    std::vector<float> floats;
    std::vector<int64_t> dims;
    if (!v.empty()) {
      tq::hcTensorFloats(v, floats);
      tq::hcTensorDims(v, dims);
    }
  }
  for (const std::string& in : inputs) {
    int64_t first = 0, last = 0, count = 0;
    tq::ldInputDims(graph, in, first, last, count);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  try {
    (void)tq::graphHasBakedGridSampleFast(bytes);
    readBack(bytes);
    const std::size_t rewritten = tq::rewriteGridSampleToFast(bytes);
    if (rewritten) {
      // What the rewrite wrote must read back, and a second pass finds nothing left to do.
      readBack(bytes);
      if (tq::rewriteGridSampleToFast(bytes) != 0) std::abort();
    }
    tq::GsGraphEdit edit;
    edit.dropNode.assign(1, true);
    edit.dropOutputs = true;
    std::vector<uint8_t> out;
    tq::gsRebuild(bytes, edit, out);
    readBack(out);
  } catch (const std::exception&) {
  }
  return 0;
}
