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
// Each value narrowed to binary16 as f32ToF16 does, a subnormal half replaced by
// its signed zero, and widened back; in may be out.
void roundThroughF16(const float* in, float* out, std::size_t n);

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

namespace tq {
namespace simd {

// Kernels of the teeth pass. h(x) below is x rounded to binary16 (nearest, ties to
// even) and widened back to float; a NaN stays a NaN. Every variant equals its
// scalar reference (the ...Scalar twin) bit for bit: sums keep the order stated
// here and no multiply-add is fused.

// n interleaved RGB8 pixels to three binary16 planes:
// dst[c * planeStride + i] = binary16(float(src[3 i + c]) / 255).
void rgb8ToPlanarF16(const uint8_t* src, uint16_t* dst, std::size_t planeStride, std::size_t n);
void rgb8ToPlanarF16Scalar(const uint8_t* src, uint16_t* dst, std::size_t planeStride, std::size_t n);

// a and b are three binary16 planes of n values each (plane c at a + c * n), w is n
// binary16 weights. With S_i = |h(a_0[i] - b_0[i])| + |h(a_1[i] - b_1[i])| +
// |h(a_2[i] - b_2[i])| (float, in that order), returns the float sum, started at 0
// and taken in index order, of h(w[i] * h(S_i / 3)).
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, std::size_t n);
float retrieveTermPooledScalar(const uint16_t* a, const uint16_t* b, const uint16_t* w, std::size_t n);

// As retrieveTermPooled with float weights and no rounding of the products: the
// float sum, started at 0 and taken in index order, of w[i] * h(S_i / 3) over
// i0 <= i < i1 with w[i] != 0 (a and b are still binary16 planes of n values; the
// range is clamped to [0, n)). retrieveTermExact is the range [0, n).
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n,
                             std::size_t i0, std::size_t i1);
float retrieveTermExactRangeScalar(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n,
                                   std::size_t i0, std::size_t i1);
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n);
float retrieveTermExactScalar(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n);

// out[i] = b[i] * h(a[i]); out may alias a or b.
void roundF16Mul(const float* a, const float* b, float* out, std::size_t n);
void roundF16MulScalar(const float* a, const float* b, float* out, std::size_t n);

// p[i] = max(p[i] + shared[i], 0), or max(p[i], 0) when shared is null; a NaN
// sum gives 0. shared must not overlap p.
void addRelu(float* p, const float* shared, std::size_t n);
void addReluScalar(float* p, const float* shared, std::size_t n);

// 3x3 convolution, stride 1, zero padding 1, of a batch: in is [n][cin][h][w],
// weight [cout][cin][3][3], bias [cout] (null: zeros), out [n][cout][h][w]. Pair p
// is image p / cout, output channel p % cout; the call writes the output planes of
// pairs begin .. end - 1 (end is clamped to n * cout) and nothing else. Each output
// is acc = bias, then acc = acc + weight * input for ci, ky, kx in that order, taps
// outside the image reading 0. out must not overlap in.
void conv3x3Range(const float* in, int n, int cin, int h, int w, const float* weight, const float* bias,
                  int cout, float* out, std::size_t begin, std::size_t end);
void conv3x3RangeScalar(const float* in, int n, int cin, int h, int w, const float* weight,
                        const float* bias, int cout, float* out, std::size_t begin, std::size_t end);

}  // namespace simd
}  // namespace tq
