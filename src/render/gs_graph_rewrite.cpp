#include "render/gs_graph_rewrite.h"

#include "render/onnx_fields.h"

namespace tq {

using namespace onnxf;

void gsRewriteGraph(GsSlice model, std::vector<uint8_t>& out, std::size_t extra, const GsGraphFieldFn& onField,
                    const std::function<void(std::vector<uint8_t>& graph)>& atEnd) {
  out.clear();
  out.reserve(model.size + extra);
  std::vector<uint8_t> graph;
  bool graphDone = false;
  GsReader r(model);
  GsField f;
  while (r.next(f)) {
    if (graphDone || !isBytes(f, kModelGraph)) {
      gsPutRaw(out, f.raw);
      continue;
    }
    graphDone = true;
    graph.reserve(f.payload.size + extra);
    std::ptrdiff_t node = 0;
    GsReader gr(f.payload);
    GsField gf;
    while (gr.next(gf)) onField(gf, isBytes(gf, kGraphNode) ? node++ : -1, graph);
    if (atEnd) atEnd(graph);
    gsPutBytes(out, kModelGraph, graph.data(), graph.size());
  }
}

std::size_t gsMarkNodes(GsSlice graph, const std::function<bool(GsSlice node)>& pred, std::vector<bool>& marks) {
  marks.clear();
  std::size_t count = 0;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (!isBytes(f, kGraphNode)) continue;
    marks.push_back(pred(f.payload));
    count += marks.back();
  }
  return count;
}

void gsPutRetypedNode(std::vector<uint8_t>& graph, GsSlice node, const std::string& opType, const std::string& domain,
                      bool keepAttributes) {
  std::vector<uint8_t> body;
  body.reserve(node.size + opType.size() + domain.size() + 8);
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (f.number != kNodeOpType && f.number != kNodeDomain && (keepAttributes || f.number != kNodeAttribute))
      gsPutRaw(body, f.raw);
  gsPutBytes(body, kNodeOpType, opType);
  if (!domain.empty()) gsPutBytes(body, kNodeDomain, domain);
  gsPutBytes(graph, kGraphNode, body.data(), body.size());
}

void gsEnsureOpsetImport(std::vector<uint8_t>& model, const std::string& domain) {
  constexpr uint32_t kModelOpset = 8, kOpsetDomain = 1, kOpsetVersion = 2;
  GsReader r{GsSlice(model)};
  GsField f;
  while (r.next(f))
    if (isBytes(f, kModelOpset) && gsFirstStr(f.payload, kOpsetDomain) == domain) return;
  std::vector<uint8_t> opset;
  gsPutBytes(opset, kOpsetDomain, domain);
  gsPutVarint(opset, (kOpsetVersion << 3) | kVarint);
  gsPutVarint(opset, 1);
  gsPutBytes(model, kModelOpset, opset.data(), opset.size());
}

}  // namespace tq
