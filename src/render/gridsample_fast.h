// GridSampleFast: the library's bilinear, border-padded, align_corners=0 grid
// sampler for grids of the input's spatial size, as an ONNX Runtime custom
// operator in the "com.vexamo" domain, plus the load-time rewrite that moves
// qualifying standard GridSample nodes onto it.
//
// The "com.vexamo" domain object is process-wide and carries both of the
// library's director operators: GridSampleFast and WarpDirector.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "render/gs_wire.h"

namespace tq {

// ---------------------------------------------------------------- kernel

// Samples one batch item: X and Y are [C, H, W], grid is [H, W, 2] holding the
// normalised source position (gx, gy) of every output pixel.
void gridsample_fast(const float* X, const float* grid, float* Y, int C, int H, int W);

// The same for output rows [max(y0, 0), min(y1, H)) only.
void gridsample_fast_band(const float* X, const float* grid, float* Y, int C, int H, int W, int y0, int y1);

// Parallel-for body of the operator: task t covers rows [t x rows, min(t x rows + rows, H)).
struct GsfBandContext {
  const float* X;
  const float* grid;
  float* Y;
  int C, H, W;
  int rows;
};
void band_fn(void* context, std::size_t task);

// ---------------------------------------------------------------- operator

// The kernel: stateless. Inputs X [N, C, H, W] and grid [N, H, W, 2], output Y
// with X's shape. A grid of any other shape is refused with an error status
// (the run fails) instead of being read out of bounds.
struct GSFKernel {
  OrtStatusPtr ComputeV2(OrtKernelContext* context);
};

// The descriptor: "GridSampleFast", op set versions 1 and up, CPU provider,
// two required float inputs, one required float output, no attributes.
struct GSFOp : Ort::CustomOpBase<GSFOp, GSFKernel, /*WithStatus=*/true> {
  OrtStatusPtr CreateKernelV2(const OrtApi& api, const OrtKernelInfo* info, void** kernel) const;
  const char* GetName() const { return "GridSampleFast"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  std::size_t GetInputTypeCount() const { return 2; }
  ONNXTensorElementDataType GetInputType(std::size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  std::size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(std::size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

// ---------------------------------------------------------------- domain

// The process-wide "com.vexamo" domain, built by domainOps on first call (after
// binding the ONNX Runtime API). Lives until process exit.
Ort::CustomOpDomain& vexamoDomain();

// Adds the library's director operators to `domain`: GridSampleFast, then WarpDirector.
void domainOps(Ort::CustomOpDomain& domain);

// Each adds the one "com.vexamo" domain to the options, so either makes both
// operators available to sessions created with them. Call only one of them on a
// given SessionOptions.
void registerGridSampleFast(Ort::SessionOptions& options);
void registerWarpDirector(Ort::SessionOptions& options);

// ---------------------------------------------------------------- graph rewrite

// Rewrites every top-level GridSample node that is bilinear ("bilinear" or
// "linear"), "border"-padded and align_corners 0 (all explicit except
// align_corners) in the default domain into com.vexamo::GridSampleFast, and
// imports "com.vexamo" version 1 unless the model already does. Returns the
// number of nodes rewritten; with 0, or when it throws (malformed bytes, the
// wire errors of gs_wire.h), `model` is left untouched.
std::size_t rewriteGridSampleToFast(std::vector<uint8_t>& model);

// Whether a NodeProto is a GridSample this operator computes (the rules above).
bool gridSampleNodeQualifies(GsSlice node);

// True when some top-level graph node is com.vexamo::GridSampleFast. Throws the
// wire errors on malformed bytes.
bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model);

}  // namespace tq
