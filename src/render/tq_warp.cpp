// Finding the m4b warp block in the graph bytes and replacing it, source cone
// included, by one com.vexamo::WarpDirector node.
#include "render/tq_warp.h"

#include <algorithm>
#include <set>
#include <unordered_set>

#include "render/gridsample_fast.h"
#include "render/gs_graph_rewrite.h"
#include "render/gs_wire.h"
#include "render/onnx_fields.h"
#include "render/tq_source_cone.h"

namespace tq {

namespace {

const char* const kDomain = "com.vexamo";

struct Graph {
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs, outputs;
};

void readGraph(GsSlice graph, Graph& g) {
  gsReadGraph(graph, g.nodes, g.inits, g.inputs);
  g.outputs.clear();
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.number == 12 && f.wire == 2) g.outputs.push_back(gsFirstStr(f.payload, 1));
}

bool reads(const GsNodeInfo& n, const std::unordered_set<std::string>& values) {
  for (const std::string& in : n.inputs)
    if (!in.empty() && values.count(in)) return true;
  return false;
}

// The analysis behind findWarpBlock; also yields the fused GridSample's position
// and the block's node flags.
bool analyse(const Graph& g, const std::string& boundary, WarpBlock& block, std::size_t& gsAt,
             std::vector<bool>& marked, std::string& reason) {
  const std::vector<GsNodeInfo>& nodes = g.nodes;
  bool found = false;
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    const GsNodeInfo& n = nodes[k];
    if ((n.opType == "GridSample" || n.opType == "GridSampleFast") && n.inputs.size() > 1 &&
        n.inputs[0] == boundary) {
      if (found) {
        reason = "two GridSamples on the cone's tip";
        return false;
      }
      found = true;
      gsAt = k;
    }
  }
  if (!found) {
    reason = "no GridSample consuming '" + boundary + "'";
    return false;
  }
  const GsNodeInfo& gs = nodes[gsAt];
  if (gs.opType == "GridSample" && !gridSampleNodeQualifies(gs.bytes)) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return false;
  }
  if (gs.outputs.empty() || gs.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return false;
  }
  const std::string& warped = gs.outputs[0];
  const std::string& grid = gs.inputs[1];

  // Values computed from the grid (outside the GridSample): the recombination's weights.
  std::unordered_set<std::string> fromGrid{grid};
  for (bool grew = true; grew;) {
    grew = false;
    for (std::size_t k = 0; k < nodes.size(); ++k)
      if (k != gsAt && reads(nodes[k], fromGrid))
        for (const std::string& o : nodes[k].outputs) grew |= !o.empty() && fromGrid.insert(o).second;
  }

  marked.assign(nodes.size(), false);
  marked[gsAt] = true;
  std::unordered_set<std::string> set{warped};
  for (std::size_t k = 0; k < nodes.size(); ++k)
    if (nodes[k].opType == "Slice" && !nodes[k].inputs.empty() && nodes[k].inputs[0] == warped) {
      marked[k] = true;
      for (const std::string& o : nodes[k].outputs) set.insert(o);
    }
  // A Mul, Sub or Add joins only when each operand is a block value or a weight
  // from the grid: the growth stops at whatever the graph does with the result
  // (a gain, a blend), which must stay in the graph.
  for (bool grew = true; grew;) {
    grew = false;
    for (std::size_t k = 0; k < nodes.size(); ++k) {
      const GsNodeInfo& n = nodes[k];
      if (marked[k] || !(n.opType == "Mul" || n.opType == "Sub" || n.opType == "Add") || !reads(n, set)) continue;
      bool ours = true;
      for (const std::string& in : n.inputs) ours = ours && (set.count(in) || fromGrid.count(in));
      if (!ours) continue;
      marked[k] = grew = true;
      for (const std::string& o : n.outputs) set.insert(o);
    }
  }
  // Exits. A reader of the GridSample's own output outside the block counts too:
  // its producer is about to be removed.
  std::set<std::string> exits;
  for (std::size_t k = 0; k < nodes.size(); ++k)
    if (!marked[k])
      for (const std::string& in : nodes[k].inputs)
        if (!in.empty() && set.count(in)) exits.insert(in);
  for (const std::string& o : g.outputs)
    if (set.count(o)) exits.insert(o);
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return false;
  }
  bool produced = false;
  for (const GsNodeInfo& n : nodes) produced = produced || std::count(n.outputs.begin(), n.outputs.end(), grid) > 0;
  if (!produced) {
    reason = "the grid has no producer";
    return false;
  }
  block.source = boundary;
  block.grid = grid;
  block.output = *exits.begin();
  block.nodes = static_cast<std::size_t>(std::count(marked.begin(), marked.end(), true));
  return true;
}

bool findBlock(const std::vector<uint8_t>& model, WarpBlock& block, std::size_t& gsAt, std::vector<bool>& marked,
               std::string& reason) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  std::string boundary;
  if (findSourceConeBoundary(model, boundary) != 1) {
    reason = std::string("not one Concat consuming ") + "P_rgb";
    return false;
  }
  Graph g;
  readGraph(graph, g);
  return analyse(g, boundary, block, gsAt, marked, reason);
}

}  // namespace

bool findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* block, std::string& reason) {
  if (!block) {
    reason = "no out param";
    return false;
  }
  std::size_t gsAt = 0;
  std::vector<bool> marked;
  return findBlock(model, *block, gsAt, marked, reason);
}

std::size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason) {
  WarpBlock block;
  std::size_t gsAt = 0;
  std::vector<bool> marked;
  if (!findBlock(model, block, gsAt, marked, reason)) return 0;

  const GsSlice graph = gsGraphOf(model);
  Graph g;
  readGraph(graph, g);
  std::vector<bool> inCone;
  if (!gsSourceCone(g.nodes, g.inits, g.inputs, block.source, inCone, reason)) return 0;
  if (gsAt >= g.nodes.size() || g.nodes[gsAt].inputs.empty() || g.nodes[gsAt].inputs[0] != block.source ||
      g.nodes.size() != marked.size()) {
    reason = "the GridSample moved between passes";
    return 0;
  }
  // The cone's tip disappears with the block: nothing else may read it.
  for (std::size_t k = 0; k < g.nodes.size(); ++k)
    if (!inCone[k] && !marked[k] &&
        std::count(g.nodes[k].inputs.begin(), g.nodes[k].inputs.end(), block.source) > 0) {
      reason = "cone value '" + block.source + "' escapes to " + g.nodes[k].opType;
      return 0;
    }

  std::vector<uint8_t> node;
  gsPutBytes(node, 1, std::string("P_rgb"));
  gsPutBytes(node, 1, block.grid);
  gsPutBytes(node, 2, block.output);
  gsPutBytes(node, 3, std::string("tq_warp_director"));
  gsPutBytes(node, 4, std::string("WarpDirector"));
  gsPutBytes(node, 7, std::string(kDomain));

  // Initializers only the removed nodes read go with them (ORT would warn about
  // each and drop it itself); graph inputs and outputs of the same name stay.
  std::set<std::string> removedReads, keptReads(g.inputs.begin(), g.inputs.end());
  for (std::size_t k = 0; k < g.nodes.size(); ++k)
    (inCone[k] || marked[k] ? removedReads : keptReads).insert(g.nodes[k].inputs.begin(), g.nodes[k].inputs.end());
  keptReads.insert({"P_rgb", block.grid});
  {
    GsReader r(graph);
    GsField f;
    while (r.next(f))
      if (onnxf::isBytes(f, onnxf::kGraphOutput)) keptReads.insert(gsFirstStr(f.payload, onnxf::kValueInfoName));
  }
  const auto deadInit = [&](const GsField& f) {
    if (!onnxf::isBytes(f, onnxf::kGraphInitializer)) return false;
    const std::string name = gsFirstStr(f.payload, onnxf::kTensorName);
    return removedReads.count(name) && !keptReads.count(name);
  };

  std::size_t removed = 0;
  std::vector<uint8_t> out;
  gsRewriteGraph(GsSlice(model), out, node.size() + 64,
                 [&](const GsField& f, std::ptrdiff_t n, std::vector<uint8_t>& g) {
                   if (n < 0) {
                     if (!deadInit(f)) gsPutRaw(g, f.raw);
                     return;
                   }
                   const std::size_t at = static_cast<std::size_t>(n);
                   if (at == gsAt) gsPutBytes(g, onnxf::kGraphNode, node.data(), node.size());
                   if (inCone[at] || marked[at])
                     ++removed;
                   else
                     gsPutRaw(g, f.raw);
                 });
  gsEnsureOpsetImport(out, kDomain);
  model.swap(out);
  return removed;
}

}  // namespace tq
