// The walk every graph rewrite shares: a model copied field for field, its graph
// rebuilt by the rewrite one field at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "render/gs_wire.h"

namespace tq {

// Called for each field of the graph being rebuilt, in order: `node` is the field's
// position among the graph's nodes, or -1 when it is not a node. The callee appends
// what replaces the field to `graph`; gsPutRaw(graph, field.raw) keeps it as it is.
using GsGraphFieldFn = std::function<void(const GsField& field, std::ptrdiff_t node, std::vector<uint8_t>& graph)>;

// Copies `model` into `out` (cleared first; must not alias the model's buffer) byte
// for byte, except its first graph field, which is rebuilt through `onField`; then
// `atEnd`, when given, appends to the rebuilt graph. `extra` sizes the buffers for
// what the rewrite adds.
void gsRewriteGraph(GsSlice model, std::vector<uint8_t>& out, std::size_t extra, const GsGraphFieldFn& onField,
                    const std::function<void(std::vector<uint8_t>& graph)>& atEnd = {});

// Marks, by node position, the graph's nodes (NodeProto payloads) that satisfy
// `pred`; returns how many do.
std::size_t gsMarkNodes(GsSlice graph, const std::function<bool(GsSlice node)>& pred, std::vector<bool>& marks);

// Appends `node` (a NodeProto payload) as a graph node with op_type `opType` and
// domain `domain` (none when empty); its attributes are kept when `keepAttributes`.
// Inputs, outputs, name and everything else are copied unchanged.
void gsPutRetypedNode(std::vector<uint8_t>& graph, GsSlice node, const std::string& opType, const std::string& domain,
                      bool keepAttributes);

// Appends to `model` an opset_import of `domain` at version 1 unless the model
// imports that domain already.
void gsEnsureOpsetImport(std::vector<uint8_t>& model, const std::string& domain);

}  // namespace tq
