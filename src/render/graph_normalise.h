// Load-time normalisations of the director graph, each working on the model's
// protobuf bytes with the graph wire toolkit (gs_wire.h):
//   - the student blend MatMul becomes a Gemm;
//   - the head's 2x bicubic Resize becomes edge Pad + depthwise 5x5 Conv +
//     DepthToSpace, the same filter up to float32 round-off;
//   - the compose alpha of the output blend is bounded by a new graph input
//     "lip_delivery" (the lip contour raster) through a Min node.
// Each leaves the bytes untouched when it does not apply; malformed bytes throw
// the toolkit's wire errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "render/gs_wire.h"

namespace tq {

// Rewrites every top-level MatMul named "/s2/blend" (two inputs, no attributes,
// default domain) into a Gemm. A node whose operands are known (initializer,
// graph input, output or value_info) to be other than 2-D is left alone, since
// Gemm takes matrices only. Returns the number of nodes rewritten.
std::size_t normaliseStudentBlend(std::vector<uint8_t>& model);

// A Resize node's attributes as read from its bytes.
struct HcAttrs {
  std::string mode;
  std::string coordinateTransformationMode;
  std::string keepAspectRatioPolicy;  // empty when absent
  bool hasCubicCoeffA = false;
  bool axes = false;            // the attribute is present
  bool excludeOutside = false;  // present and non-zero
  bool antialias = false;       // present and non-zero
  float cubicCoeffA = 0.0f;
};

HcAttrs hcReadAttrs(GsSlice node);

// The four cubic-convolution weights (coefficient a) of a sample at fractional
// offset t, for the distances t + 1, t, 1 - t and 2 - t, normalised to sum 1.
void hcTaps(double t, double a, double taps[4]);

// Replaces the graph's one qualifying 2x half-pixel cubic Resize (whose output
// feeds exactly one Conv) by Pad(edge, 2) + depthwise Conv 5x5 + DepthToSpace(2,
// CRD). Returns 1 when replaced, 0 when the graph was left as it was.
std::size_t rewriteHeadCubicResize(std::vector<uint8_t>& model);

// Names the lip binding adds to the graph.
constexpr const char* kLipInput = "lip_delivery";
constexpr const char* kLipMinNode = "tessera_lipdel_min";
constexpr const char* kLipAlpha = "tessera_lipdel_alpha";

// Bounds the compose alpha of the graph's output blend by a new input
// "lip_delivery" [batch, 1, canvas, canvas]: alpha becomes Min(alpha,
// lip_delivery). True when bound (canvas and batch reported through the pointers
// that are given); false with `reason` set, and the bytes untouched, otherwise.
bool rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int* canvas, int* batch);

}  // namespace tq
