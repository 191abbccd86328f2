// WarpDirector: the m4b director's higher-order warp of its 3-channel source
// "P_rgb" as one operator in the "com.vexamo" domain, and the load-time rewrite
// that replaces the graph's spelled-out block (source cone, fused GridSample,
// Slice/Mul/Sub/Add recombination) by it.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tq {

// ---------------------------------------------------------------- graph

// The block found in a graph.
struct WarpBlock {
  std::string source;      // the fused GridSample's input: the one Concat reading "P_rgb"
  std::string grid;        // the GridSample's second input
  std::string output;      // the recombination's single exit
  std::size_t nodes = 0;   // the GridSample and its recombination
};

// One node as read for the analysis.
struct WdNode {
  std::string opType;
  std::vector<std::string> inputs, outputs;
};

// Finds the warp block; false with `reason` set when the graph has none this
// library can replace.
bool findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* block, std::string& reason);

// Replaces the source cone and the warp block by one WarpDirector node ("P_rgb",
// grid -> exit) and imports "com.vexamo". Returns the number of nodes removed, or
// 0 with `reason` set and `model` untouched.
std::size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason);

// ---------------------------------------------------------------- kernel

// Per pixel i = y * W + x and channel c, planes[12i + 4c + k] holds the pixel (k 0)
// and its horizontal, vertical and mixed second differences (k 1..3) over the 3x3
// neighbourhood with edge replication. Rows [y0, y1) of one [3, H, W] image.
void warpDirectorPlanesBand(const float* src, float* planes, int W, int H, int y0, int y1);
// Output rows [y0, y1) of [3, H, W] from the planes and the grid [H, W, 2]:
// bilinear (border) taps of the planes recombined with the curvature weights of
// the grid's fractional positions.
void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int W, int H, int y0, int y1);
// The plain scalar references of the two passes above (which dispatch to the
// best vector target); every variant equals them bit for bit.
void warpDirectorPlanesBandScalar(const float* src, float* planes, int W, int H, int y0, int y1);
void warpDirectorGatherBandScalar(const float* planes, const float* grid, float* out, int W, int H, int y0, int y1);
// Scalar columns [x0, x1) of row y of either pass: the vector variants' edges and tails.
void warpDirectorPlanesSpan(const float* src, float* planes, int W, int H, int y, int x0, int x1);
void warpDirectorGatherSpan(const float* planes, const float* grid, float* out, int W, int H, int y, int x0, int x1);
// The same result in one pass, without a plane buffer.
void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int y0, int y1);
void warpDirector(const float* src, const float* grid, float* out, int W, int H);

// Parallel-for bodies: task t covers rows [16t, min(16t + 16, H)).
struct WarpBandContext {
  const float* X;
  const float* grid;
  float* planes;
  float* Y;
  int W, H;
  int rows;
};
void warp_planes_fn(void* context, std::size_t task);
void warp_gather_fn(void* context, std::size_t task);

// ---------------------------------------------------------------- operator

// X [N, 3, H, W] and grid [N, H, W, 2] -> Y [N, 3, H, W]. Keeps its plane buffer
// from run to run, so one session must not run it from two threads at once.
struct WarpKernel {
  int32_t W = 0, H = 0;
  std::vector<float> planes;
  OrtStatusPtr ComputeV2(OrtKernelContext* context);
};

struct WarpOp : Ort::CustomOpBase<WarpOp, WarpKernel, /*WithStatus=*/true> {
  OrtStatusPtr CreateKernelV2(const OrtApi& api, const OrtKernelInfo* info, void** kernel) const;
  const char* GetName() const { return "WarpDirector"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  std::size_t GetInputTypeCount() const { return 2; }
  ONNXTensorElementDataType GetInputType(std::size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  std::size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(std::size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

}  // namespace tq
