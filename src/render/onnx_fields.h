// Protobuf field numbers and wire types of the ONNX messages the graph rewrites
// read and write.
#pragma once

#include <cstdint>

#include "render/gs_wire.h"

namespace tq {
namespace onnxf {

constexpr uint32_t kVarint = 0, kFixed32 = 5, kBytes = 2;

constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kGraphNode = 1, kGraphInitializer = 5, kGraphInput = 11, kGraphOutput = 12, kGraphValueInfo = 13;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4, kNodeAttribute = 5,
                   kNodeDomain = 7;
constexpr uint32_t kAttrName = 1, kAttrF = 2, kAttrI = 3, kAttrS = 4;
constexpr uint32_t kTensorName = 8;
constexpr uint32_t kValueInfoName = 1;

constexpr int32_t kFloat = 1, kInt64 = 7;

inline bool isBytes(const GsField& f, uint32_t number) { return f.number == number && f.wire == kBytes; }

}  // namespace onnxf
}  // namespace tq
