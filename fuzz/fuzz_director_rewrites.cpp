// The director's load-time rewrites over arbitrary model bytes: the student
// blend, the head cubic Resize, the lip binding, the warp block and the source
// cone split, each on its own copy and then chained in the renderer's order.
// A rewrite that changed something must leave bytes the wire reader reads, with
// the node count it promises, and, where it is meant to be idempotent, a second
// pass with nothing to do; a refusal or a wire error leaves the bytes as they were.
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "render/graph_normalise.h"
#include "render/gs_wire.h"
#include "render/tq_source_cone.h"
#include "render/tq_warp.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool readsBack(const Bytes& bytes) {
  try {
    tqfuzz::readGraphBack(bytes);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Nodes in the graph, or -1 when the bytes do not read.
long nodeCount(const Bytes& bytes) {
  try {
    std::vector<tq::GsNodeInfo> nodes;
    std::vector<std::string> inits, inputs;
    tq::gsReadGraph(tq::gsGraphOf(bytes), nodes, inits, inputs);
    return long(nodes.size());
  } catch (const std::exception&) {
    return -1;
  }
}

// Runs `pass` on `bytes`: true when it changed them, with the nodes it added
// (negative: removed). A change must read back with that many nodes more when
// the input read; anything else leaves the bytes as they were.
template <class Pass>
bool apply(Bytes& bytes, bool inputReads, const Pass& pass) {
  const Bytes before = bytes;
  bool changed = false;
  long added = 0;
  try {
    changed = pass(bytes, added);
  } catch (const std::exception&) {
    if (bytes != before) std::abort();
    return false;
  }
  if (!changed && bytes != before) std::abort();
  if (changed && inputReads && (!readsBack(bytes) || nodeCount(bytes) != nodeCount(before) + added)) std::abort();
  return changed;
}

// A second pass over rewritten bytes finds nothing and changes nothing.
template <class Pass>
void again(Bytes& bytes, const Pass& pass) {
  const Bytes before = bytes;
  bool changed = false;
  long added = 0;
  try {
    changed = pass(bytes, added);
  } catch (const std::exception&) {
  }
  if (changed || bytes != before) std::abort();
}

// Each MatMul becomes a Gemm in place.
bool blend(Bytes& b, long&) { return tq::normaliseStudentBlend(b) != 0; }
// One Resize becomes Pad, Conv and DepthToSpace.
bool cubic(Bytes& b, long& added) { return (added = 2 * long(tq::rewriteHeadCubicResize(b))) != 0; }
// One Min node joins.
bool lip(Bytes& b, long& added) {
  added = 1;
  std::string reason;
  int canvas = 0, batch = 0;
  const bool bound = tq::rewriteBindLipContour(b, reason, &canvas, &batch);
  if (bound ? canvas <= 0 : reason.empty()) std::abort();
  return bound;
}
// The removed nodes give way to one WarpDirector.
bool warp(Bytes& b, long& added) {
  std::string reason, findReason;
  tq::WarpBlock block;
  const bool found = tq::findWarpBlock(b, &block, findReason);
  const std::size_t removed = tq::rewriteWarpBlockToCustomOp(b, reason);
  if (removed ? !found : reason.empty()) std::abort();
  added = 1 - long(removed);
  return removed != 0;
}

// The cone split leaves the model alone; what it builds must read back.
void cone(const Bytes& model, bool inputReads) {
  try {
    std::string boundary, reason;
    if (tq::findSourceConeBoundary(model, boundary) != 1) return;
    Bytes prep, perFrame;
    if (tq::buildSourceConePrep(model, boundary, prep, reason) && inputReads && !readsBack(prep)) std::abort();
    const int64_t dims[4] = {1, 12, 8, 8};
    if (tq::buildSourceConePerFrame(model, boundary, dims, 4, perFrame, reason) && inputReads &&
        !readsBack(perFrame))
      std::abort();
  } catch (const std::exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes input(data, data + size);
  const bool reads = readsBack(input);
  bool (*const passes[])(Bytes&, long&) = {warp, blend, cubic, lip};
  // Each pass alone, then all of them in the renderer's order.
  for (const auto pass : passes) {
    Bytes b = input;
    if (apply(b, reads, pass)) again(b, pass);
  }
  Bytes chained = input;
  for (const auto pass : passes) apply(chained, reads, pass);
  cone(input, reads);
  cone(chained, reads);
  return 0;
}
