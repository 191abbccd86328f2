// Int8ConvVNNI: a convolution with int8 weights and per-output-channel scales,
// as an ONNX Runtime custom operator in the "com.vexamo.int8" domain. The float
// input is quantised on the fly to 8 bits (one scale and zero point for the
// whole tensor), convolved in exact int32 arithmetic and returned as float.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tq {

// The operator's attributes.
struct Int8ConvAttrs {
  int64_t strideH = 1, strideW = 1;
  int64_t top = 0, left = 0, bottom = 0, right = 0;
  int64_t dilationH = 1, dilationW = 1;
  int64_t group = 1;
};

// The whole tensor's quantisation: s = (hi - lo) / 255 over the range [lo, hi]
// of the values and 0; zp = round-half-even(-lo / s) clamped to [0, 255]; s = 1
// and zp = 0 when that range is empty.
struct Int8Quant {
  float s = 1.0f;
  int32_t zp = 0;
};
Int8Quant int8QuantOf(const float* x, std::size_t n);

// Weight-derived data, prepared once per kernel: per output channel the sum of
// its weights, and the weights packed per group in blocks of 16 output channels
// as [taps][input channels / 4][16][4] (input channels padded to a multiple of 4,
// output channels to a multiple of 16, padding weights 0).
struct Int8PackedWeights {
  int64_t M = 0, Cg = 0, kh = 0, kw = 0, group = 1;
  int quads = 0, blocks = 0;  // per group
  std::vector<int32_t> sum;   // [M]
  std::vector<int8_t> packed;
  const int8_t* block(int64_t g, int b) const;
};
Int8PackedWeights int8PackWeights(const int8_t* w, const std::vector<int64_t>& shape, int64_t group);

// The kernel. Attributes are checked when ONNX Runtime creates it (a bad one fails
// the session with an error status); shapes are checked on every run. Weights from
// a constant initializer are prepared on the first run only; weights fed as a
// graph input are prepared again on every run.
struct Int8ConvKernel {
  Int8ConvAttrs attrs;
  bool constantWeights = false;
  std::once_flag prepared;
  Int8PackedWeights weights;
  OrtStatusPtr ComputeV2(OrtKernelContext* context);
};

// The descriptor: "Int8ConvVNNI", op set versions 1 and up, CPU provider; inputs
// X float, weights int8, scales float, bias float, all required; output Y float.
struct Int8ConvOp : Ort::CustomOpBase<Int8ConvOp, Int8ConvKernel, /*WithStatus=*/true> {
  OrtStatusPtr CreateKernelV2(const OrtApi& api, const OrtKernelInfo* info, void** kernel) const;
  const char* GetName() const { return "Int8ConvVNNI"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  std::size_t GetInputTypeCount() const { return 4; }
  ONNXTensorElementDataType GetInputType(std::size_t i) const {
    return i == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  std::size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(std::size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  Int8ConvOp() {
    start_ver_ = 1;
    end_ver_ = 2147483647;
  }
};

// Adds the process-wide "com.vexamo.int8" domain (made on first use, kept until
// process exit) to the options.
void registerInt8ConvVNNI(Ort::SessionOptions& options);

}  // namespace tq
