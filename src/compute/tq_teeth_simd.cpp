// Kernels of the teeth pass.
// Every result must be the same on every processor: no fused multiply-add.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "compute/tq_simd.h"

namespace tq {
namespace simd {
namespace teeth_detail {

// x rounded to binary16 and widened back; NaN stays NaN (the software narrowing
// would turn it into an infinity, the processor's conversion keeps it).
inline float roundHalf(float x) { return std::isnan(x) ? x : tq::halfToFloat(tq::f32ToF16(x)); }

// S_i / 3 rounded, for pixel i of two three-plane binary16 images of n values.
inline float meanAbsDiff(const uint16_t* a, const uint16_t* b, std::size_t n, std::size_t i) {
  float s = 0.0f;
  for (int c = 0; c < 3; ++c) {
    const std::size_t k = c * n + i;
    s = s + std::fabs(roundHalf(tq::halfToFloat(a[k]) - tq::halfToFloat(b[k])));
  }
  return roundHalf(s / 3.0f);
}

inline void rgbTail(const uint8_t* src, uint16_t* dst, std::size_t ps, std::size_t i, std::size_t n) {
  for (; i < n; ++i)
    for (int c = 0; c < 3; ++c) dst[c * ps + i] = tq::f32ToF16(static_cast<float>(src[3 * i + c]) / 255.0f);
}

inline void mulTail(const float* a, const float* b, float* out, std::size_t i, std::size_t n) {
  for (; i < n; ++i) out[i] = b[i] * roundHalf(a[i]);
}

// One output plane of one (image, channel) pair, all of it in scalar order.
inline void convPlane(const float* img, int cin, int h, int w, const float* wk, float bias, float* out) {
  const std::size_t plane = static_cast<std::size_t>(h) * w;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float acc = bias;
      for (int ci = 0; ci < cin; ++ci) {
        const float* p = img + ci * plane;
        const float* k = wk + ci * 9;
        for (int ky = 0; ky < 3; ++ky) {
          const int yy = y + ky - 1;
          for (int kx = 0; kx < 3; ++kx) {
            const int xx = x + kx - 1;
            const float v = (yy >= 0 && yy < h && xx >= 0 && xx < w) ? p[static_cast<std::size_t>(yy) * w + xx] : 0.0f;
            acc = acc + k[ky * 3 + kx] * v;
          }
        }
      }
      out[static_cast<std::size_t>(y) * w + x] = acc;
    }
}

}  // namespace teeth_detail

void rgb8ToPlanarF16Scalar(const uint8_t* src, uint16_t* dst, std::size_t planeStride, std::size_t n) {
  teeth_detail::rgbTail(src, dst, planeStride, 0, n);
}

float retrieveTermPooledScalar(const uint16_t* a, const uint16_t* b, const uint16_t* w, std::size_t n) {
  namespace td = teeth_detail;
  float acc = 0.0f;
  for (std::size_t i = 0; i < n; ++i) acc = acc + td::roundHalf(tq::halfToFloat(w[i]) * td::meanAbsDiff(a, b, n, i));
  return acc;
}

float retrieveTermExactRangeScalar(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n,
                                   std::size_t i0, std::size_t i1) {
  i1 = std::min(i1, n);
  float acc = 0.0f;
  for (std::size_t i = i0; i < i1; ++i)
    if (w[i] != 0.0f) acc = acc + w[i] * teeth_detail::meanAbsDiff(a, b, n, i);
  return acc;
}

float retrieveTermExactScalar(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n) {
  return retrieveTermExactRangeScalar(a, b, w, n, 0, n);
}

void roundF16MulScalar(const float* a, const float* b, float* out, std::size_t n) {
  teeth_detail::mulTail(a, b, out, 0, n);
}

void conv3x3RangeScalar(const float* in, int n, int cin, int h, int w, const float* weight,
                        const float* bias, int cout, float* out, std::size_t begin, std::size_t end) {
  if (n <= 0 || cin <= 0 || h <= 0 || w <= 0 || cout <= 0) return;
  const std::size_t plane = static_cast<std::size_t>(h) * w;
  end = std::min(end, static_cast<std::size_t>(n) * cout);
  for (std::size_t p = begin; p < end; ++p) {
    const std::size_t img = p / cout, co = p % cout;
    teeth_detail::convPlane(in + img * cin * plane, cin, h, w, weight + co * cin * 9, bias ? bias[co] : 0.0f,
                            out + p * plane);
  }
}

// Dispatching entry points (vector variants to follow).
void rgb8ToPlanarF16(const uint8_t* src, uint16_t* dst, std::size_t planeStride, std::size_t n) {
  rgb8ToPlanarF16Scalar(src, dst, planeStride, n);
}
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, std::size_t n) {
  return retrieveTermPooledScalar(a, b, w, n);
}
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n,
                             std::size_t i0, std::size_t i1) {
  return retrieveTermExactRangeScalar(a, b, w, n, i0, i1);
}
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n) {
  return retrieveTermExactScalar(a, b, w, n);
}
void roundF16Mul(const float* a, const float* b, float* out, std::size_t n) { roundF16MulScalar(a, b, out, n); }
void conv3x3Range(const float* in, int n, int cin, int h, int w, const float* weight, const float* bias,
                  int cout, float* out, std::size_t begin, std::size_t end) {
  conv3x3RangeScalar(in, n, cin, h, w, weight, bias, cout, out, begin, end);
}

}  // namespace simd
}  // namespace tq
