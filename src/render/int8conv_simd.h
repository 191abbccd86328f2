// Vector kernels of the int8 convolution operator (int8conv_vnni.h), each with
// run-time dispatch and a plain scalar reference that every variant equals exactly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tq {
namespace simd {

// Output channels per packed weight block.
constexpr int kInt8Block = 16;

// lo = min(0, min x), hi = max(0, max x) over n values. NaN values are skipped.
void int8Range(const float* x, std::size_t n, float* lo, float* hi);
void int8RangeScalar(const float* x, std::size_t n, float* lo, float* hi);

// Quantises four rows of n values and interleaves them: out[4 i + j] =
// clamp(round-half-even(rows[j][i] / s) + zp, 0, 255), a NaN result giving zp.
void int8QuantiseQuad(const float* const rows[4], std::size_t n, float s, float zp, uint8_t* out);
void int8QuantiseQuadScalar(const float* const rows[4], std::size_t n, float s, float zp, uint8_t* out);

// One output row segment of one block of 16 output channels. The quantised input
// is stored in quads of 4 channels, [quad][y][x][4]. For output pixel p and tap t
// the 4 channel bytes of quad c are at q + c x quadPlane + tapOffset[t] + 4 x p x strideW.
// The block's weights are [taps][quads][16 channels][4 bytes]. For o < ocs:
//   acc = sum over taps, quads and bytes of q x w (exact, int32),
//   y[o x yStride + p] = float(acc - correction[o]) x k[o] + bias[o] (not fused).
struct Int8RowArgs {
  const uint8_t* q;
  std::ptrdiff_t quadPlane;
  int strideW;
  const std::ptrdiff_t* tapOffset;
  int taps, quads;
  const int8_t* w;
  int ocs;
  const int32_t* correction;
  const float* k;
  const float* bias;
  float* y;
  std::ptrdiff_t yStride;
  int pixels;
};
void int8ConvRow(const Int8RowArgs& a);
void int8ConvRowScalar(const Int8RowArgs& a);

}  // namespace simd
}  // namespace tq
