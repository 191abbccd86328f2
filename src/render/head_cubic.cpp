// Head cubic resize: the one 2x half-pixel bicubic Resize of the head becomes an
// edge Pad by 2, a depthwise 5x5 convolution producing the four output phases of
// every channel, and a DepthToSpace that interleaves them. The edge padding
// reproduces the border clamping of the resize; the taps are the resize's own
// cubic weights, so the result is the same filter up to float32 round-off.
#include <cstring>
#include <map>
#include <set>

#include "render/graph_normalise.h"
#include "render/gs_graph_rewrite.h"
#include "render/onnx_fields.h"

namespace tq {

using namespace onnxf;

namespace {

constexpr int64_t kMaxChannels = 1048576;

struct Graph {
  std::vector<GsNodeInfo> nodes;
  std::vector<std::string> initNames, inputNames;
  std::map<std::string, GsSlice> table;  // initializers and Constant outputs: their tensors
  std::map<std::string, GsSlice> inits;  // initializers only
  std::map<std::string, std::size_t> producer;
  std::map<std::string, std::vector<std::size_t>> consumers;
};

void readGraph(GsSlice graph, Graph& g) {
  gsReadGraph(graph, g.nodes, g.initNames, g.inputNames);
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (isBytes(f, kGraphInitializer)) g.inits[gsFirstStr(f.payload, kTensorName)] = f.payload;
  g.table = g.inits;
  for (std::size_t k = 0; k < g.nodes.size(); ++k) {
    const GsNodeInfo& n = g.nodes[k];
    for (const auto& o : n.outputs) g.producer[o] = k;
    for (const auto& i : n.inputs)
      if (!i.empty()) g.consumers[i].push_back(k);
    if (n.opType == "Constant" && n.outputs.size() == 1) {
      const GsSlice v = hcConstValue(n.bytes);
      if (!v.empty()) g.table[n.outputs[0]] = v;
    }
  }
}

bool qualifies(const Graph& g, const GsNodeInfo& n) {
  if (n.opType != "Resize" || !gsFirstStr(n.bytes, kNodeDomain).empty()) return false;
  const HcAttrs a = hcReadAttrs(n.bytes);
  if (a.mode != "cubic" || a.coordinateTransformationMode != "half_pixel" || a.excludeOutside || a.antialias ||
      a.axes || !(a.keepAspectRatioPolicy.empty() || a.keepAspectRatioPolicy == "stretch"))
    return false;
  if (n.inputs.size() != 3 || !n.inputs[1].empty() || n.outputs.size() != 1) return false;
  const auto scales = g.table.find(n.inputs[2]);
  std::vector<float> v;
  return scales != g.table.end() && hcTensorFloats(scales->second, v) &&
         v == std::vector<float>{1.0f, 1.0f, 2.0f, 2.0f};
}

int64_t intAttr(GsSlice node, const char* name, int64_t fallback) {
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (!isBytes(f, kNodeAttribute) || gsFirstStr(f.payload, kAttrName) != name) continue;
    GsReader ar(f.payload);
    GsField af;
    while (ar.next(af))
      if (af.number == kAttrI && af.wire == kVarint) return static_cast<int64_t>(af.value);
  }
  return fallback;
}

// Channel count of the Conv that reads the resize output, or 0 when there is not
// exactly one such consumer with a 4-D initializer weight.
int64_t consumerChannels(const Graph& g, const std::string& value) {
  const auto c = g.consumers.find(value);
  if (c == g.consumers.end() || c->second.size() != 1) return 0;
  const GsNodeInfo& conv = g.nodes[c->second[0]];
  if (conv.opType != "Conv" || conv.inputs.size() < 2) return 0;
  const auto w = g.inits.find(conv.inputs[1]);
  if (w == g.inits.end()) return 0;
  std::vector<int64_t> dims;
  hcTensorDims(w->second, dims);
  const int64_t group = intAttr(conv.bytes, "group", 1);
  if (dims.size() != 4 || group < 1 || group > kMaxChannels || dims[1] < 1 || dims[1] > kMaxChannels) return 0;
  const int64_t C = dims[1] * group;
  return C <= kMaxChannels ? C : 0;
}

// Upstream of the resize, the first per-channel [C', 1, 1] value met within four
// producers must agree with C.
bool channelsAgree(const Graph& g, std::string value, int64_t C) {
  std::vector<int64_t> dims;
  for (int step = 0; step < 4; ++step) {
    const auto p = g.producer.find(value);
    if (p == g.producer.end()) return true;
    const GsNodeInfo& n = g.nodes[p->second];
    for (const auto& in : n.inputs) {
      const auto t = g.table.find(in);
      if (t == g.table.end()) continue;
      hcTensorDims(t->second, dims);
      if (dims.size() == 3 && dims[1] == 1 && dims[2] == 1) return dims[0] == C;
    }
    if (n.inputs.empty()) return true;
    value = n.inputs[0];
  }
  return true;
}

// kernel[4c + 2py + px][0][ky][kx] = vy[ky] * vx[kx]: the even phase on taps 0..3,
// the odd phase on taps 1..4.
std::vector<float> depthwiseKernel(int64_t C, double a) {
  double even[4], odd[4], v[2][5] = {};
  hcTaps(0.75, a, even);
  hcTaps(0.25, a, odd);
  for (int i = 0; i < 4; ++i) v[0][i] = even[i], v[1][i + 1] = odd[i];
  std::vector<float> k(static_cast<std::size_t>(C) * 4 * 25);
  float phase[4][25];
  for (int py = 0; py < 2; ++py)
    for (int px = 0; px < 2; ++px)
      for (int ky = 0; ky < 5; ++ky)
        for (int kx = 0; kx < 5; ++kx) phase[2 * py + px][5 * ky + kx] = static_cast<float>(v[py][ky] * v[px][kx]);
  for (int64_t c = 0; c < C; ++c) std::memcpy(&k[static_cast<std::size_t>(c) * 100], phase, sizeof phase);
  return k;
}

}  // namespace

HcAttrs hcReadAttrs(GsSlice node) {
  HcAttrs a;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (!isBytes(f, kNodeAttribute)) continue;
    const std::string name = gsFirstStr(f.payload, kAttrName);
    GsReader ar(f.payload);
    GsField af;
    while (ar.next(af)) {
      if (af.number == kAttrS && af.wire == kBytes) {
        if (name == "mode") a.mode = af.payload.str();
        else if (name == "coordinate_transformation_mode") a.coordinateTransformationMode = af.payload.str();
        else if (name == "keep_aspect_ratio_policy") a.keepAspectRatioPolicy = af.payload.str();
      } else if (af.number == kAttrF && af.wire == kFixed32 && name == "cubic_coeff_a") {
        std::memcpy(&a.cubicCoeffA, af.raw.data + af.raw.size - 4, 4);
        a.hasCubicCoeffA = true;
      } else if (af.number == kAttrI && af.wire == kVarint) {
        if (name == "exclude_outside") a.excludeOutside = af.value != 0;
        else if (name == "antialias") a.antialias = af.value != 0;
      }
    }
    if (name == "axes") a.axes = true;
  }
  return a;
}

void hcTaps(double t, double a, double taps[4]) {
  const double d[4] = {t + 1, t, 1 - t, 2 - t};
  double sum = 0;
  for (int i = 0; i < 4; ++i) {
    const double x = d[i];
    taps[i] = x <= 1 ? ((a + 2) * x - (a + 3)) * x * x + 1 : (((x - 5) * x + 8) * x) * a - 4 * a;
    sum += taps[i];
  }
  for (int i = 0; i < 4; ++i) taps[i] /= sum;
}

std::size_t rewriteHeadCubicResize(std::vector<uint8_t>& model) {
  const GsSlice in(model);
  const GsSlice graph = gsGraphOf(in);
  if (graph.empty()) return 0;
  Graph g;
  readGraph(graph, g);

  std::size_t at = 0, found = 0;
  for (std::size_t k = 0; k < g.nodes.size(); ++k)
    if (qualifies(g, g.nodes[k])) at = k, ++found;
  if (found != 1) return 0;
  const GsNodeInfo& rz = g.nodes[at];
  const int64_t C = consumerChannels(g, rz.outputs[0]);
  if (C < 1 || !channelsAgree(g, rz.inputs[0], C)) return 0;
  const HcAttrs attrs = hcReadAttrs(rz.bytes);
  const double a = attrs.hasCubicCoeffA ? attrs.cubicCoeffA : -0.75;

  std::string B = gsFirstStr(rz.bytes, kNodeName);
  if (B.empty()) B = "/Resize";
  const std::string P = "rz" + std::to_string(at);
  const std::string pads = P + "_pads", weight = P + "_dw_w", padOut = P + "_padout", convOut = P + "_convout";
  // The new names must not collide with anything the graph already names.
  std::set<std::string> taken(g.initNames.begin(), g.initNames.end());
  taken.insert(g.inputNames.begin(), g.inputNames.end());
  for (const auto& [name, k] : g.producer) taken.insert(name);
  for (const auto& name : {pads, weight, padOut, convOut})
    if (taken.count(name)) return 0;

  const std::vector<float> kernel = depthwiseKernel(C, a);
  const int64_t padValues[8] = {0, 0, 2, 2, 0, 0, 2, 2};
  std::vector<uint8_t> padAttrs, convAttrs, d2sAttrs;
  hcAttrS(padAttrs, "mode", "edge");
  const int64_t ones[2] = {1, 1}, five[2] = {5, 5}, zeros[4] = {0, 0, 0, 0};
  hcAttrIs(convAttrs, "dilations", ones, 2);
  hcAttrI(convAttrs, "group", C);
  hcAttrIs(convAttrs, "kernel_shape", five, 2);
  hcAttrIs(convAttrs, "pads", zeros, 4);
  hcAttrIs(convAttrs, "strides", ones, 2);
  hcAttrI(d2sAttrs, "blocksize", 2);
  hcAttrS(d2sAttrs, "mode", "CRD");

  std::vector<uint8_t> out;
  gsRewriteGraph(
      in, out, kernel.size() * 4 + 512,
      [&](const GsField& f, std::ptrdiff_t node, std::vector<uint8_t>& graph) {
        if (node < 0 || std::size_t(node) != at) return gsPutRaw(graph, f.raw);
        hcNode(graph, "Pad", {rz.inputs[0], pads}, padOut, B + "/pad", padAttrs);
        hcNode(graph, "Conv", {padOut, weight}, convOut, B + "/dwconv", convAttrs);
        hcNode(graph, "DepthToSpace", {convOut}, rz.outputs[0], B + "/d2s", d2sAttrs);
      },
      [&](std::vector<uint8_t>& graph) {
        hcInit(graph, pads, kInt64, {8}, padValues, sizeof padValues);
        hcInit(graph, weight, kFloat, {4 * C, 1, 5, 5}, kernel.data(), kernel.size() * sizeof(float));
      });
  model.swap(out);
  return 1;
}

}  // namespace tq
