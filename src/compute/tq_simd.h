// Vector kernels with run-time dispatch to the best target of the processor.
//
// Each kernel is compiled once per target (Highway dynamic dispatch); the first
// call picks the variant, later calls go straight to it. Every kernel has a plain
// scalar reference that the tests hold each compiled variant against.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tq {
namespace simd {

// Name of the best target the processor supports ("NEON", "SVE2", "AVX2", ...).
const char* target();
// Name of the target whose variants the dispatch tables call right now.
const char* dispatchedTarget();
// The name tq uses for one Highway target bit; "Unknown" for anything else.
const char* targetName(int64_t targetBit);

// IEEE binary16 conversions; f32ToF16 rounds to nearest, ties to even, and
// out-of-range values become infinities. f16ToF32 is exact.
void f32ToF16(const float* in, uint16_t* out, std::size_t n);
void f16ToF32(const uint16_t* in, float* out, std::size_t n);

// One row of 4:2:0 video to interleaved RGB24 (BT.601 limited range, 8-bit fixed
// point): c = 298 (Y - 16) + 128, d = U - 128, e = V - 128; R = (c + 409 e) >> 8,
// G = (c - 100 d - 208 e) >> 8, B = (c + 516 d) >> 8, each clamped to 0..255.
// Pixel x takes its chroma from byte (x / 2) * chromaStep of the u and v rows:
// chromaStep 1 for planar yuv420p, 2 for the interleaved plane of nv12 (u at its
// first byte, v at its second). rgb receives width * 3 bytes.
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,
                      uint8_t* rgb);
// The plain scalar reference of yuv420RowToRgb24.
void yuv420RowToRgb24Scalar(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width,
                            int chromaStep, uint8_t* rgb);

// One frame row of the Lanczos-8 paste (tq::Paste): for each x in [x0, x1] the
// crop position is U = U0 + colU[x - x0], V = V0 + colV[x - x0] in Q10 fixed
// point; the pixel is blended in place into frameRow[3 x .. 3 x + 2] when
// U >> 10 and V >> 10 lie in [-1, side - 1] and its bilinear mask weight is
// positive. rgbx holds side x side pixels as R, G, B, 0; lanczos is 32 phases x
// 8 taps, bilinear 32 phases x 2 weights. Reads nothing outside the crop.
void pasteLanczos8Row(const float* rgbx, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* colU, const int* colV, int U0, int V0, int x0,
                      int x1, uint8_t* frameRow);
// The plain scalar reference of pasteLanczos8Row; every variant equals it bit for bit.
void pasteLanczos8RowScalar(const float* rgbx, int side, const uint8_t* mask, const float* lanczos,
                            const float* bilinear, const int* colU, const int* colV, int U0, int V0,
                            int x0, int x1, uint8_t* frameRow);
// The unsharp mask of tq::Paste, one run of outputs at a time. pasteTapSum:
// out[i] = sum_{j < taps} w[j] * src[i + j * stride] for i < n, each sum started
// at 0 and taken in tap order (stride 1: along a row; the row pitch: down a column).
// pasteSharpen: plane[i] = (1 + amount) * plane[i] - amount * blurred[i], clamped
// to 0..255 (NaN to 0).
void pasteTapSum(const float* src, std::ptrdiff_t stride, const float* w, int taps, float* out, std::size_t n);
void pasteTapSumScalar(const float* src, std::ptrdiff_t stride, const float* w, int taps, float* out,
                       std::size_t n);
void pasteSharpen(float* plane, const float* blurred, float amount, std::size_t n);
void pasteSharpenScalar(float* plane, const float* blurred, float amount, std::size_t n);

}  // namespace simd

// Scalar conversions.
uint16_t f32ToF16(float x);
float halfToFloat(uint16_t h);
void halfToFloat(const uint16_t* in, float* out, std::size_t n);

}  // namespace tq
