// Lip contour binding: the compose alpha of the director's output blend
// fg * alpha + bg * (1 - alpha) is bounded by a new graph input "lip_delivery",
// alpha' = Min(alpha, lip_delivery). Where the raster is 1 the graph's own alpha is
// unchanged; where the lip contour is lower it bounds the blend.
#include <climits>
#include <map>
#include <set>

#include "render/graph_normalise.h"
#include "render/gs_graph_rewrite.h"
#include "render/onnx_fields.h"

namespace tq {

using namespace onnxf;

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

struct Graph {
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> initNames, inputNames;
  std::map<std::string, GsSlice> inits;
  std::map<std::string, std::size_t> producer;
  std::string firstOutput;

  explicit Graph(GsSlice graph) {
    gsReadGraph(graph, nodes, initNames, inputNames);
    bool haveOutput = false;
    GsReader r(graph);
    GsField f;
    while (r.next(f)) {
      if (isBytes(f, kGraphInitializer)) inits[gsFirstStr(f.payload, kTensorName)] = f.payload;
      if (isBytes(f, kGraphOutput) && !haveOutput) firstOutput = gsFirstStr(f.payload, kValueInfoName), haveOutput = true;
    }
    for (std::size_t k = 0; k < nodes.size(); ++k)
      for (const auto& o : nodes[k].outputs) producer.emplace(o, k);
  }
  std::size_t producerOf(const std::string& v) const {
    const auto p = producer.find(v);
    return p == producer.end() ? kNone : p->second;
  }
  const GsNodeInfo* node(std::size_t k, const char* op, std::size_t inputs) const {
    return k != kNone && nodes[k].opType == op && nodes[k].inputs.size() == inputs ? &nodes[k] : nullptr;
  }
  bool hasInput(const char* name) const {
    for (const auto& n : inputNames)
      if (n == name) return true;
    return false;
  }
  // The constant 1.0: a one-element float initializer or a Constant holding one float 1.0.
  bool isOne(const std::string& v) const {
    std::vector<float> values;
    const auto i = inits.find(v);
    if (i != inits.end()) return hcTensorFloats(i->second, values) && values.size() == 1 && values[0] == 1.0f;
    const std::size_t p = producerOf(v);
    return p != kNone && nodes[p].opType == "Constant" && hcTensorFloats(hcConstValue(nodes[p].bytes), values) &&
           values.size() == 1 && values[0] == 1.0f;
  }
};

struct Tail {
  std::size_t sub = kNone, alphaMul = kNone, clip = kNone;
  std::string alpha;
};

// Tests one Add against the compose pattern. Empty reason and tail.clip set: a
// match; a non-empty reason: a refusal.
void matchAdd(const Graph& g, const GsNodeInfo& add, Tail& tail, std::string& reason) {
  if (add.inputs.size() != 2) return;
  const std::size_t mi[2] = {g.producerOf(add.inputs[0]), g.producerOf(add.inputs[1])};
  const GsNodeInfo* mul[2] = {g.node(mi[0], "Mul", 2), g.node(mi[1], "Mul", 2)};
  if (!mul[0] || !mul[1] || mi[0] == mi[1]) return;
  for (int one = 0; one < 2; ++one) {
    const GsNodeInfo& other = *mul[1 - one];
    for (const auto& in : mul[one]->inputs) {
      const std::size_t s = g.producerOf(in);
      const GsNodeInfo* sub = g.node(s, "Sub", 2);
      if (!sub || !g.isOne(sub->inputs[0])) continue;
      const std::string& alpha = sub->inputs[1];
      if (other.inputs[0] != alpha && other.inputs[1] != alpha) continue;
      const std::size_t clip = g.producerOf(alpha);
      if (clip == kNone) {
        reason = "the compose alpha '" + alpha + "' has no producer node";
        return;
      }
      if (g.nodes[clip].opType != "Clip") continue;
      tail.sub = s;
      tail.alphaMul = mi[1 - one];
      tail.clip = clip;
      tail.alpha = alpha;
      return;
    }
  }
}

// Walks the producers upstream of the first graph output (past Identity and Cast),
// each node once, testing every Add against the compose pattern.
std::string findTail(const Graph& g, Tail& tail) {
  const char* missing = "the graph does not carry the unified compose tail";
  std::size_t start = g.firstOutput.empty() ? kNone : g.producerOf(g.firstOutput);
  while (start != kNone && (g.nodes[start].opType == "Identity" || g.nodes[start].opType == "Cast") &&
         !g.nodes[start].inputs.empty())
    start = g.producerOf(g.nodes[start].inputs[0]);
  if (start == kNone) return missing;
  std::vector<bool> seen(g.nodes.size(), false);
  std::vector<std::size_t> stack = {start};
  seen[start] = true;
  while (!stack.empty()) {
    const GsNodeInfo& n = g.nodes[stack.back()];
    stack.pop_back();
    if (n.opType == "Add") {
      std::string reason;
      matchAdd(g, n, tail, reason);
      if (!reason.empty()) return reason;
      if (tail.clip != kNone) return std::string();
    }
    for (const auto& in : n.inputs) {
      const std::size_t p = g.producerOf(in);
      if (p != kNone && !seen[p]) seen[p] = true, stack.push_back(p);
    }
  }
  return missing;
}

int64_t readCanvas(GsSlice graph, const Graph& g, const GsNodeInfo& clip) {
  int64_t canvas = 0;
  std::vector<int64_t> dims;
  for (const auto& in : clip.inputs) {
    const auto i = g.inits.find(in);
    if (i == g.inits.end()) continue;
    hcTensorDims(i->second, dims);
    const std::size_t r = dims.size();
    if (r >= 2 && dims[r - 1] == dims[r - 2]) canvas = dims[r - 1];
  }
  if (canvas > 0) return canvas;
  int64_t first, last, count;
  ldInputDims(graph, "P_rgb", first, last, count);
  return count == 4 ? last : 0;
}

int64_t readBatch(GsSlice graph) {
  for (const char* name : {"pooled64", "kp_driving"}) {
    int64_t first, last, count;
    ldInputDims(graph, name, first, last, count);
    if (count > 0 && first > 0) return first <= INT_MAX ? first : 0;
  }
  return 0;
}

// Re-emits a node with its inputs renamed `from` -> `to`: untouched fields raw in
// their order, then the inputs.
void putRewired(std::vector<uint8_t>& graph, GsSlice node, const std::string& from, const std::string& to) {
  std::vector<uint8_t> out;
  std::vector<std::string> inputs;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (isBytes(f, kNodeInput))
      inputs.push_back(f.payload.str() == from ? to : f.payload.str());
    else
      gsPutRaw(out, f.raw);
  }
  for (const auto& in : inputs) gsPutBytes(out, kNodeInput, in);
  gsPutBytes(graph, kGraphNode, out.data(), out.size());
}

// The rebuilt graph's own account of the binding; empty when it holds.
std::string selfCheck(GsSlice graph, const std::string& alpha) {
  const Graph g(graph);
  if (!g.hasInput(kLipInput)) return "self-check: the input did not survive the rebuild";
  std::vector<std::string> names(g.nodes.size());
  bool minFound = false;
  for (std::size_t k = 0; k < g.nodes.size(); ++k) {
    names[k] = gsFirstStr(g.nodes[k].bytes, kNodeName);
    minFound = minFound || names[k] == kLipMinNode;
  }
  if (!minFound) return "self-check: the Min node did not survive the rebuild";
  std::size_t consumers = 0;
  bool oldRead = false;
  for (std::size_t k = 0; k < g.nodes.size(); ++k) {
    bool readsNew = false;
    for (const auto& in : g.nodes[k].inputs) {
      readsNew = readsNew || in == kLipAlpha;
      oldRead = oldRead || (in == alpha && names[k] != kLipMinNode);
    }
    consumers += readsNew;
  }
  if (consumers == 0 || oldRead)
    return "self-check: rewire did not take: " + std::to_string(consumers) + " consumers of " + kLipAlpha +
           (oldRead ? ", one still reads the alpha" : "") +
           " — refusing a graph that would serve the ellipse with the input attached and ignored";
  std::set<std::string> known(g.initNames.begin(), g.initNames.end());
  known.insert(g.inputNames.begin(), g.inputNames.end());
  for (std::size_t k = 0; k < g.nodes.size(); ++k) {
    for (const auto& in : g.nodes[k].inputs) {
      if (in.empty() || known.count(in)) continue;
      const std::size_t p = g.producerOf(in);
      const std::string node = names[k].empty() ? g.nodes[k].opType + " #" + std::to_string(k) : names[k];
      return "self-check: node " + node + " reads '" + in + "' produced at " +
             (p == kNone ? std::string("no node") : std::to_string(p)) +
             " — the rewritten graph is not topologically ordered";
    }
    known.insert(g.nodes[k].outputs.begin(), g.nodes[k].outputs.end());
  }
  return std::string();
}

}  // namespace

bool rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int* canvasOut, int* batchOut) {
  reason.clear();
  const GsSlice in(model);
  const GsSlice graph = gsGraphOf(in);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  const Graph g(graph);
  if (g.hasInput(kLipInput)) {
    reason = std::string("the graph already carries an input named ") + kLipInput;
    return false;
  }
  // A FeatSynth director is never fed "lip_delivery": bound, every run would fail.
  if (g.hasInput("fs_red")) {
    reason = "the graph is a FeatSynth director (input fs_red), which is never fed lip_delivery";
    return false;
  }
  Tail tail;
  reason = findTail(g, tail);
  if (!reason.empty()) return false;
  const int64_t canvas = readCanvas(graph, g, g.nodes[tail.clip]);
  if (canvas <= 0 || canvas > INT_MAX) {
    reason = "cannot read the compose canvas off the graph";
    return false;
  }
  const int64_t batch = readBatch(graph);

  std::vector<uint8_t> out;
  gsRewriteGraph(
      in, out, 256,
      [&](const GsField& f, std::ptrdiff_t node, std::vector<uint8_t>& graph) {
        const std::size_t at = static_cast<std::size_t>(node);
        if (node >= 0 && (at == tail.sub || at == tail.alphaMul))
          return putRewired(graph, f.payload, tail.alpha, kLipAlpha);
        gsPutRaw(graph, f.raw);
        if (node >= 0 && at == tail.clip) hcNode(graph, "Min", {tail.alpha, kLipInput}, kLipAlpha, kLipMinNode, {});
      },
      [&](std::vector<uint8_t>& graph) {
        const int64_t dims[4] = {batch, 1, canvas, canvas};
        gsPutTensorValueInfo(graph, kGraphInput, kLipInput, dims, 4);
      });
  reason = selfCheck(gsGraphOf(GsSlice(out)), tail.alpha);
  if (!reason.empty()) return false;
  model.swap(out);
  if (canvasOut) *canvasOut = static_cast<int>(canvas);
  if (batchOut) *batchOut = static_cast<int>(batch);
  return true;
}

}  // namespace tq
