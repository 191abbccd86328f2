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

// q[i] = clamp(round-half-even(x[i] / s) + zp, 0, 255); a NaN result becomes zp.
void int8Quantise(const float* x, std::size_t n, float s, float zp, uint8_t* q);
void int8QuantiseScalar(const float* x, std::size_t n, float s, float zp, uint8_t* q);

// Integer dot products of `pixels` output pixels with one block of 16 output channels.
// Pixel p, tap t reads the 4 x quads channel bytes at q + p x pixelStep + tapOffset[t];
// the block's weights are laid out [taps][quads][16 channels][4 bytes].
// out[p x 16 + o] = sum over taps and bytes of q x w, exactly, in int32.
void int8DotTile(const uint8_t* q, std::ptrdiff_t pixelStep, const std::ptrdiff_t* tapOffset, int taps,
                 int quads, const int8_t* w, int pixels, int32_t* out);
void int8DotTileScalar(const uint8_t* q, std::ptrdiff_t pixelStep, const std::ptrdiff_t* tapOffset, int taps,
                       int quads, const int8_t* w, int pixels, int32_t* out);

}  // namespace simd
}  // namespace tq
