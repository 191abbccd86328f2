// Student blend normalisation: the blend MatMul of older student graphs becomes a
// Gemm, which computes the same product for its 2-D operands.
#include <map>

#include "render/graph_normalise.h"
#include "render/gs_graph_rewrite.h"
#include "render/onnx_fields.h"

namespace tq {

using namespace onnxf;

namespace {

constexpr const char* kBlendName = "/s2/blend";

// Rank declared by a ValueInfoProto, or -1 when it declares no shape.
int declaredRank(GsSlice valueInfo) {
  GsReader vr(valueInfo);
  GsField vf;
  while (vr.next(vf)) {
    if (!isBytes(vf, 2)) continue;  // type
    GsReader tr(vf.payload);
    GsField tf;
    while (tr.next(tf)) {
      if (!isBytes(tf, 1)) continue;  // tensor_type
      GsReader ttr(tf.payload);
      GsField ttf;
      while (ttr.next(ttf)) {
        if (!isBytes(ttf, 2)) continue;  // shape
        int rank = 0;
        GsReader sr(ttf.payload);
        GsField sf;
        while (sr.next(sf)) rank += isBytes(sf, 1);
        return rank;
      }
    }
  }
  return -1;
}

// Every rank the graph states for a value: initializer dims and declared shapes.
std::map<std::string, int> knownRanks(GsSlice graph) {
  std::map<std::string, int> ranks;
  std::vector<int64_t> dims;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (isBytes(f, kGraphInitializer)) {
      hcTensorDims(f.payload, dims);
      ranks[gsFirstStr(f.payload, kTensorName)] = static_cast<int>(dims.size());
    } else if (isBytes(f, kGraphInput) || isBytes(f, kGraphOutput) || isBytes(f, kGraphValueInfo)) {
      const int rank = declaredRank(f.payload);
      if (rank >= 0) ranks[gsFirstStr(f.payload, kValueInfoName)] = rank;
    }
  }
  return ranks;
}

bool qualifies(GsSlice node, const std::map<std::string, int>& ranks) {
  std::vector<std::string> inputs;
  bool named = false, matmul = false, attrs = false, domainOk = true;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (isBytes(f, kNodeInput)) inputs.push_back(f.payload.str());
    else if (isBytes(f, kNodeName)) named = f.payload.str() == kBlendName;
    else if (isBytes(f, kNodeOpType)) matmul = f.payload.str() == "MatMul";
    else if (f.number == kNodeAttribute) attrs = true;
    else if (isBytes(f, kNodeDomain)) domainOk = f.payload.size == 0 || f.payload.str() == "ai.onnx";
  }
  if (!named || !matmul || attrs || !domainOk || inputs.size() != 2) return false;
  for (const auto& in : inputs) {
    const auto it = ranks.find(in);
    if (it != ranks.end() && it->second != 2) return false;
  }
  return true;
}

}  // namespace

std::size_t normaliseStudentBlend(std::vector<uint8_t>& model) {
  const GsSlice in(model);
  const GsSlice graph = gsGraphOf(in);
  if (graph.empty()) return 0;
  const std::map<std::string, int> ranks = knownRanks(graph);
  std::vector<bool> rewrite;
  const std::size_t count = gsMarkNodes(graph, [&](GsSlice node) { return qualifies(node, ranks); }, rewrite);
  if (count == 0) return 0;

  std::vector<uint8_t> out;
  gsRewriteGraph(in, out, 16 * count + 64, [&](const GsField& f, std::ptrdiff_t node, std::vector<uint8_t>& g) {
    if (node < 0 || !rewrite[node]) return gsPutRaw(g, f.raw);
    gsPutRetypedNode(g, f.payload, "Gemm", "", true);
  });
  model.swap(out);
  return count;
}

}  // namespace tq
