#include "render/tq_source_cone.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace tq {

namespace {

const char* const kPrior = "P_rgb";

bool contains(const std::vector<std::string>& list, const std::string& s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

// The graph's nodes and names, plus the checks shared by both halves of the split.
bool readChecked(const std::vector<uint8_t>& model, std::vector<GsNodeInfo>& nodes,
                 std::vector<std::string>& inits, std::vector<std::string>& inputs, std::string& reason) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  gsReadGraph(graph, nodes, inits, inputs);
  if (!contains(inputs, kPrior)) {
    reason = "no P_rgb input";
    return false;
  }
  return true;
}

// Initializers that none of the kept nodes reads: each half of the split would
// otherwise carry the other half's weights, and ONNX Runtime warns once per unused
// one at load. Names that are also graph inputs stay (dropping the data would turn
// them into inputs someone must feed), and nothing is pruned when a kept node has
// subgraphs, whose reads of outer values are not in the node's input list.
std::vector<std::string> unreadInitializers(const std::vector<GsNodeInfo>& nodes, const std::vector<bool>& dropNode,
                                            const std::vector<std::string>& inits,
                                            const std::vector<std::string>& inputs) {
  std::unordered_set<std::string> read;
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    if (dropNode[k]) continue;
    const std::string& op = nodes[k].opType;
    if (op == "If" || op == "Loop" || op == "Scan") return {};
    read.insert(nodes[k].inputs.begin(), nodes[k].inputs.end());
  }
  std::vector<std::string> unread;
  for (const std::string& name : inits)
    if (!read.count(name) && !contains(inputs, name)) unread.push_back(name);
  return unread;
}

}  // namespace

int findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& boundary) {
  boundary.clear();
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) return 0;
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  gsReadGraph(graph, nodes, inits, inputs);
  int count = 0;
  std::string found;
  for (const GsNodeInfo& n : nodes)
    if (n.opType == "Concat" && contains(n.inputs, kPrior) && !n.outputs.empty() && !n.outputs[0].empty()) {
      if (++count == 1) found = n.outputs[0];
    }
  if (count == 1) boundary = found;
  return count;
}

bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::vector<std::string>& initializerNames,
                  const std::vector<std::string>& inputNames, const std::string& boundary,
                  std::vector<bool>& inCone, std::string& reason) {
  std::unordered_map<std::string, std::size_t> producer;
  for (std::size_t k = 0; k < nodes.size(); ++k)
    for (const std::string& o : nodes[k].outputs)
      if (!o.empty()) producer.emplace(o, k);
  const std::unordered_set<std::string> inits(initializerNames.begin(), initializerNames.end());

  inCone.assign(nodes.size(), false);
  std::unordered_set<std::string> seen;
  std::vector<std::string> stack{boundary};
  while (!stack.empty()) {
    const std::string v = std::move(stack.back());
    stack.pop_back();
    if (v.empty() || v == kPrior || inits.count(v) || !seen.insert(v).second) continue;
    const auto p = producer.find(v);
    if (p == producer.end()) {
      reason = contains(inputNames, v) ? "cone reads graph input '" + v + "'" : "cone leaf '" + v + "' has no producer";
      return false;
    }
    const GsNodeInfo& n = nodes[p->second];
    if (n.opType == "Constant") continue;  // constants are shared, never part of the cone
    inCone[p->second] = true;
    for (const std::string& in : n.inputs) stack.push_back(in);
  }

  std::unordered_set<std::string> coneValues;
  for (std::size_t k = 0; k < nodes.size(); ++k)
    if (inCone[k])
      for (const std::string& o : nodes[k].outputs) coneValues.insert(o);
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    if (inCone[k]) continue;
    for (const std::string& in : nodes[k].inputs) {
      if (in == kPrior) {
        reason = "P_rgb is also read outside the cone by " + nodes[k].opType;
        return false;
      }
      if (in == boundary) continue;
      if (!in.empty() && coneValues.count(in)) {
        reason = "cone value '" + in + "' escapes to " + nodes[k].opType;
        return false;
      }
    }
  }
  return true;
}

bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& boundary,
                         std::vector<uint8_t>& prep, std::string& reason) {
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  if (!readChecked(model, nodes, inits, inputs, reason)) return false;
  std::vector<bool> inCone;
  if (!gsSourceCone(nodes, inits, inputs, boundary, inCone, reason)) return false;

  GsGraphEdit edit;
  edit.dropNode.resize(nodes.size());
  bool any = false;
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    const bool keep = inCone[k] || nodes[k].opType == "Constant";
    edit.dropNode[k] = !keep;
    any = any || keep;
  }
  if (!any) {
    reason = "empty cone";
    return false;
  }
  edit.dropInitializers = unreadInitializers(nodes, edit.dropNode, inits, {});
  edit.onlyPrgbInput = true;
  edit.dropOutputs = true;
  edit.newValueName = boundary;
  edit.newValueDims = nullptr;
  edit.newValueRank = 4;
  edit.newValueField = 12;
  gsRebuild(model, edit, prep);
  return true;
}

bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& boundary,
                             const int64_t* dims, std::size_t rank, std::vector<uint8_t>& perFrame,
                             std::string& reason) {
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  if (!readChecked(model, nodes, inits, inputs, reason)) return false;
  std::vector<bool> inCone;
  if (!gsSourceCone(nodes, inits, inputs, boundary, inCone, reason)) return false;

  GsGraphEdit edit;
  edit.dropNode = inCone;
  edit.dropInitializers = unreadInitializers(nodes, edit.dropNode, inits, inputs);
  edit.dropPrgbInput = true;
  edit.newValueName = boundary;
  edit.newValueDims = dims;
  edit.newValueRank = static_cast<int>(rank);
  edit.newValueField = 11;
  gsRebuild(model, edit, perFrame);
  return true;
}

}  // namespace tq
