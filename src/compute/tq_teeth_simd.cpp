// Kernels of the teeth pass, one variant per vector target.
//
// Every variant equals the scalar reference bit for bit: each value goes through
// the same operations in the same order, and no multiply-add is fused anywhere in
// this file. The element-wise parts are vectorised across positions; sums that
// must run in index order take the vector results in a fixed-size chunk and add
// them one at a time. The convolution is vectorised across the output pixels of a
// row, four output channels at once, so each output still sums its taps in the
// reference order (ci, ky, kx) from the bias on.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/tq_teeth_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "compute/tq_simd.h"
#include "compute/tq_half-inl.h"

#ifndef TQ_TEETH_SIMD_SCALAR_ONCE
#define TQ_TEETH_SIMD_SCALAR_ONCE
namespace tq {
namespace simd {
namespace teeth_detail {

// Ordered sums take their terms in chunks of this many (a multiple of every lane count).
constexpr std::size_t kChunk = 256;

// x rounded to binary16 and widened back; NaN stays NaN (the software narrowing
// would turn it into an infinity, the processor's conversion keeps it).
inline float roundHalf(float x) { return std::isnan(x) ? x : tq::halfToFloat(tq::f32ToF16(x)); }

// h(S_i / 3) for pixel i of two three-plane binary16 images of n values.
inline float meanAbsDiff(const uint16_t* a, const uint16_t* b, std::size_t n, std::size_t i) {
  float s = 0.0f;
  for (std::size_t c = 0; c < 3; ++c) {
    const std::size_t k = c * n + i;
    s = s + std::fabs(roundHalf(tq::halfToFloat(a[k]) - tq::halfToFloat(b[k])));
  }
  return roundHalf(s / 3.0f);
}

inline float pooledTerm(const uint16_t* a, const uint16_t* b, const uint16_t* w, std::size_t n, std::size_t i) {
  return roundHalf(tq::halfToFloat(w[i]) * meanAbsDiff(a, b, n, i));
}

// A zero weight contributes nothing; adding +0 to a sum that starts at +0 never
// changes it, so the vector path may add 0 where the reference skips.
inline float exactTerm(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n, std::size_t i) {
  return w[i] != 0.0f ? w[i] * meanAbsDiff(a, b, n, i) : 0.0f;
}

inline void rgbTail(const uint8_t* src, uint16_t* dst, std::size_t ps, std::size_t i, std::size_t n) {
  for (; i < n; ++i)
    for (std::size_t c = 0; c < 3; ++c) dst[c * ps + i] = tq::f32ToF16(static_cast<float>(src[3 * i + c]) / 255.0f);
}

inline void mulTail(const float* a, const float* b, float* out, std::size_t i, std::size_t n) {
  for (; i < n; ++i) out[i] = b[i] * roundHalf(a[i]);
}

inline void addReluTail(float* p, const float* shared, std::size_t i, std::size_t n) {
  for (; i < n; ++i) {
    const float v = shared ? p[i] + shared[i] : p[i];
    p[i] = v > 0.0f ? v : 0.0f;
  }
}

// One output plane of one (image, channel) pair in the reference order.
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
            const bool inside = yy >= 0 && yy < h && xx >= 0 && xx < w;
            const float v = inside ? p[static_cast<std::size_t>(yy) * w + xx] : 0.0f;
            acc = acc + k[ky * 3 + kx] * v;
          }
        }
      }
      out[static_cast<std::size_t>(y) * w + x] = acc;
    }
}

inline bool convShapeOk(int n, int cin, int h, int w, int cout) {
  return n > 0 && cin > 0 && h > 0 && w > 0 && cout > 0;
}

// The zero-padded copy of one image the vector convolution reads, per thread.
inline std::vector<float>& convScratch() {
  thread_local std::vector<float> pad;
  return pad;
}

}  // namespace teeth_detail
}  // namespace simd
}  // namespace tq
#endif  // TQ_TEETH_SIMD_SCALAR_ONCE

HWY_BEFORE_NAMESPACE();
namespace tq {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void Rgb8ToPlanarF16(const uint8_t* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst, std::size_t ps,
                     std::size_t n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToUnsigned<decltype(df)> du;
  const hn::Rebind<uint8_t, decltype(df)> d8;
  const hn::Rebind<hwy::float16_t, decltype(df)> dh;
  auto* o = reinterpret_cast<hwy::float16_t*>(dst);
  const auto k255 = hn::Set(df, 255.0f);
  const std::size_t N = hn::Lanes(df);
  std::size_t i = 0;
  for (; i + N <= n; i += N) {
    hn::VFromD<decltype(d8)> r, g, b;
    hn::LoadInterleaved3(d8, src + 3 * i, r, g, b);
    hn::StoreU(hn::DemoteTo(dh, hn::Div(hn::ConvertTo(df, hn::PromoteTo(du, r)), k255)), dh, o + i);
    hn::StoreU(hn::DemoteTo(dh, hn::Div(hn::ConvertTo(df, hn::PromoteTo(du, g)), k255)), dh, o + ps + i);
    hn::StoreU(hn::DemoteTo(dh, hn::Div(hn::ConvertTo(df, hn::PromoteTo(du, b)), k255)), dh, o + 2 * ps + i);
  }
  teeth_detail::rgbTail(src, dst, ps, i, n);
}

// h(S_i / 3) for the N positions from i.
template <class DF>
HWY_INLINE hn::VFromD<DF> MeanAbsDiff(DF df, const uint16_t* a, const uint16_t* b, std::size_t n, std::size_t i) {
  const hn::Rebind<hwy::float16_t, DF> dh;
  const auto* ah = reinterpret_cast<const hwy::float16_t*>(a);
  const auto* bh = reinterpret_cast<const hwy::float16_t*>(b);
  auto s = hn::Zero(df);
  for (std::size_t c = 0; c < 3; ++c) {
    const std::size_t k = c * n + i;
    const auto d = hn::Sub(WidenHalf(df, dh, hn::LoadU(dh, ah + k)), WidenHalf(df, dh, hn::LoadU(dh, bh + k)));
    s = hn::Add(s, hn::Abs(RoundHalf(df, d)));
  }
  return RoundHalf(df, hn::Div(s, hn::Set(df, 3.0f)));
}

// Sum over [i0, i1) in index order of term(i): the terms come from vectorTerm for
// whole vectors and scalarTerm for the rest of each chunk.
template <class DF, class VectorTerm, class ScalarTerm>
HWY_INLINE float OrderedSum(DF df, std::size_t i0, std::size_t i1, const VectorTerm& vectorTerm,
                            const ScalarTerm& scalarTerm) {
  HWY_ALIGN float t[teeth_detail::kChunk];
  const std::size_t N = hn::Lanes(df);
  float acc = 0.0f;
  for (std::size_t start = i0; start < i1; start += teeth_detail::kChunk) {
    const std::size_t len = std::min(teeth_detail::kChunk, i1 - start);
    std::size_t j = 0;
    for (; j + N <= len; j += N) hn::StoreU(vectorTerm(start + j), df, t + j);
    for (; j < len; ++j) t[j] = scalarTerm(start + j);
    for (j = 0; j < len; ++j) acc = acc + t[j];
  }
  return acc;
}

float RetrieveTermPooled(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                         const uint16_t* HWY_RESTRICT w, std::size_t n) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<hwy::float16_t, decltype(df)> dh;
  const auto* wh = reinterpret_cast<const hwy::float16_t*>(w);
  return OrderedSum(
      df, 0, n,
      [&](std::size_t i) {
        return RoundHalf(df, hn::Mul(WidenHalf(df, dh, hn::LoadU(dh, wh + i)), MeanAbsDiff(df, a, b, n, i)));
      },
      [&](std::size_t i) { return teeth_detail::pooledTerm(a, b, w, n, i); });
}

float RetrieveTermExactRange(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                             const float* HWY_RESTRICT w, std::size_t n, std::size_t i0, std::size_t i1) {
  const hn::ScalableTag<float> df;
  i1 = std::min(i1, n);
  if (i0 >= i1) return 0.0f;
  return OrderedSum(
      df, i0, i1,
      [&](std::size_t i) {
        const auto wv = hn::LoadU(df, w + i);
        return hn::IfThenElseZero(hn::Ne(wv, hn::Zero(df)), hn::Mul(wv, MeanAbsDiff(df, a, b, n, i)));
      },
      [&](std::size_t i) { return teeth_detail::exactTerm(a, b, w, n, i); });
}

// out may alias a or b: each vector is loaded before its result is stored.
void RoundF16Mul(const float* a, const float* b, float* out, std::size_t n) {
  const hn::ScalableTag<float> df;
  const std::size_t N = hn::Lanes(df);
  std::size_t i = 0;
  for (; i + N <= n; i += N)
    hn::StoreU(hn::Mul(hn::LoadU(df, b + i), RoundHalf(df, hn::LoadU(df, a + i))), df, out + i);
  teeth_detail::mulTail(a, b, out, i, n);
}

void AddRelu(float* HWY_RESTRICT p, const float* HWY_RESTRICT shared, std::size_t n) {
  const hn::ScalableTag<float> df;
  const std::size_t N = hn::Lanes(df);
  const auto zero = hn::Zero(df);
  std::size_t i = 0;
  for (; i + N <= n; i += N) {
    auto v = hn::LoadU(df, p + i);
    if (shared) v = hn::Add(v, hn::LoadU(df, shared + i));
    // A comparison, not Max: NaN fails it and becomes 0 on every processor.
    hn::StoreU(hn::IfThenElseZero(hn::Gt(v, zero), v), df, p + i);
  }
  teeth_detail::addReluTail(p, shared, i, n);
}

// Stores the first `count` (at most N) lanes of v at p.
template <class D>
HWY_INLINE void StorePart(D d, hn::VFromD<D> v, float* p, std::size_t count) {
  if (count >= hn::Lanes(d)) {
    hn::StoreU(v, d, p);
  } else if (count > 0) {
    hn::StoreN(v, d, p, count);
  }
}

// Vectors per block of the four-channel convolution: four where the target has 32
// vector registers (16 accumulators stay in registers), else two.
#if HWY_ARCH_X86 && HWY_TARGET > HWY_AVX3
constexpr int kConvVectors = 2;
#else
constexpr int kConvVectors = 4;
#endif

// Output row y of four channels, V * N pixels from x: the taps of output (y, x + j)
// start at padded row y, column x + j. Lanes past the row compute on whatever the
// padded buffer holds there and are not stored.
template <int V, class D>
HWY_INLINE void ConvBlock4(D d, const float* pad, std::size_t planeP, std::size_t Wp, int cin,
                           const float* const* wk, const float* bias, float* const* row, std::size_t x,
                           std::size_t count) {
  static_assert(V == 2 || V == 4, "two or four vectors");
  const std::size_t N = hn::Lanes(d);
  auto a00 = hn::Set(d, bias[0]), a01 = a00, a02 = a00, a03 = a00;
  auto a10 = hn::Set(d, bias[1]), a11 = a10, a12 = a10, a13 = a10;
  auto a20 = hn::Set(d, bias[2]), a21 = a20, a22 = a20, a23 = a20;
  auto a30 = hn::Set(d, bias[3]), a31 = a30, a32 = a30, a33 = a30;
  for (int ci = 0; ci < cin; ++ci) {
    const float* p = pad + ci * planeP + x;
    const float* k0 = wk[0] + ci * 9;
    const float* k1 = wk[1] + ci * 9;
    const float* k2 = wk[2] + ci * 9;
    const float* k3 = wk[3] + ci * 9;
    for (int ky = 0; ky < 3; ++ky) {
      for (int kx = 0; kx < 3; ++kx) {
        const float* q = p + ky * Wp + kx;
        const int t = ky * 3 + kx;
        const auto w0 = hn::Set(d, k0[t]), w1 = hn::Set(d, k1[t]), w2 = hn::Set(d, k2[t]), w3 = hn::Set(d, k3[t]);
        const auto v0 = hn::LoadU(d, q), v1 = hn::LoadU(d, q + N);
        a00 = hn::Add(a00, hn::Mul(w0, v0));
        a01 = hn::Add(a01, hn::Mul(w0, v1));
        a10 = hn::Add(a10, hn::Mul(w1, v0));
        a11 = hn::Add(a11, hn::Mul(w1, v1));
        a20 = hn::Add(a20, hn::Mul(w2, v0));
        a21 = hn::Add(a21, hn::Mul(w2, v1));
        a30 = hn::Add(a30, hn::Mul(w3, v0));
        a31 = hn::Add(a31, hn::Mul(w3, v1));
        if constexpr (V == 4) {
          const auto v2 = hn::LoadU(d, q + 2 * N), v3 = hn::LoadU(d, q + 3 * N);
          a02 = hn::Add(a02, hn::Mul(w0, v2));
          a03 = hn::Add(a03, hn::Mul(w0, v3));
          a12 = hn::Add(a12, hn::Mul(w1, v2));
          a13 = hn::Add(a13, hn::Mul(w1, v3));
          a22 = hn::Add(a22, hn::Mul(w2, v2));
          a23 = hn::Add(a23, hn::Mul(w2, v3));
          a32 = hn::Add(a32, hn::Mul(w3, v2));
          a33 = hn::Add(a33, hn::Mul(w3, v3));
        }
      }
    }
  }
  std::size_t c[4];
  for (int j = 0; j < 4; ++j) c[j] = std::min(N, count - std::min(count, j * N));
  StorePart(d, a00, row[0] + x, c[0]), StorePart(d, a01, row[0] + x + N, c[1]);
  StorePart(d, a10, row[1] + x, c[0]), StorePart(d, a11, row[1] + x + N, c[1]);
  StorePart(d, a20, row[2] + x, c[0]), StorePart(d, a21, row[2] + x + N, c[1]);
  StorePart(d, a30, row[3] + x, c[0]), StorePart(d, a31, row[3] + x + N, c[1]);
  if constexpr (V == 4) {
    StorePart(d, a02, row[0] + x + 2 * N, c[2]), StorePart(d, a03, row[0] + x + 3 * N, c[3]);
    StorePart(d, a12, row[1] + x + 2 * N, c[2]), StorePart(d, a13, row[1] + x + 3 * N, c[3]);
    StorePart(d, a22, row[2] + x + 2 * N, c[2]), StorePart(d, a23, row[2] + x + 3 * N, c[3]);
    StorePart(d, a32, row[3] + x + 2 * N, c[2]), StorePart(d, a33, row[3] + x + 3 * N, c[3]);
  }
}

// The same for one channel.
template <int V, class D>
HWY_INLINE void ConvBlock1(D d, const float* pad, std::size_t planeP, std::size_t Wp, int cin, const float* wk,
                           float bias, float* row, std::size_t x, std::size_t count) {
  static_assert(V == 2 || V == 4, "two or four vectors");
  const std::size_t N = hn::Lanes(d);
  auto a0 = hn::Set(d, bias), a1 = a0, a2 = a0, a3 = a0;
  for (int ci = 0; ci < cin; ++ci) {
    const float* p = pad + ci * planeP + x;
    const float* k = wk + ci * 9;
    for (int ky = 0; ky < 3; ++ky) {
      for (int kx = 0; kx < 3; ++kx) {
        const float* q = p + ky * Wp + kx;
        const auto wv = hn::Set(d, k[ky * 3 + kx]);
        a0 = hn::Add(a0, hn::Mul(wv, hn::LoadU(d, q)));
        a1 = hn::Add(a1, hn::Mul(wv, hn::LoadU(d, q + N)));
        if constexpr (V == 4) {
          a2 = hn::Add(a2, hn::Mul(wv, hn::LoadU(d, q + 2 * N)));
          a3 = hn::Add(a3, hn::Mul(wv, hn::LoadU(d, q + 3 * N)));
        }
      }
    }
  }
  std::size_t c[4];
  for (int j = 0; j < 4; ++j) c[j] = std::min(N, count - std::min(count, j * N));
  StorePart(d, a0, row + x, c[0]);
  StorePart(d, a1, row + x + N, c[1]);
  if constexpr (V == 4) {
    StorePart(d, a2, row + x + 2 * N, c[2]);
    StorePart(d, a3, row + x + 3 * N, c[3]);
  }
}

void Conv3x3Range(const float* HWY_RESTRICT in, int n, int cin, int h, int w, const float* HWY_RESTRICT weight,
                  const float* HWY_RESTRICT bias, int cout, float* HWY_RESTRICT out, std::size_t begin,
                  std::size_t end) {
  if (!teeth_detail::convShapeOk(n, cin, h, w, cout)) return;
  const hn::ScalableTag<float> d;
  const std::size_t N = hn::Lanes(d);
  const std::size_t H = static_cast<std::size_t>(h), W = static_cast<std::size_t>(w);
  const std::size_t plane = H * W, Wp = W + 2, planeP = (H + 2) * Wp;
  const std::size_t co_n = static_cast<std::size_t>(cout);
  end = std::min(end, static_cast<std::size_t>(n) * co_n);
  if (begin >= end) return;

  // Zero padding around every input plane, and slack after the last one for the
  // lanes of a block that run past the row end.
  std::vector<float>& pad = teeth_detail::convScratch();
  const std::size_t need = static_cast<std::size_t>(cin) * planeP + 4 * N + 2;
  if (pad.size() < need) pad.assign(need, 0.0f);
  std::size_t padded = SIZE_MAX;

  for (std::size_t p = begin; p < end;) {
    const std::size_t img = p / co_n, co0 = p % co_n;
    const std::size_t co1 = std::min(co_n, co0 + (end - p));
    if (padded != img) {
      for (int ci = 0; ci < cin; ++ci) {
        const float* s = in + (img * cin + ci) * plane;
        float* dp = pad.data() + ci * planeP;
        std::fill(dp, dp + Wp, 0.0f);
        for (std::size_t y = 0; y < H; ++y) {
          float* r = dp + (y + 1) * Wp;
          r[0] = 0.0f;
          std::copy(s + y * W, s + (y + 1) * W, r + 1);
          r[W + 1] = 0.0f;
        }
        std::fill(dp + (H + 1) * Wp, dp + planeP, 0.0f);
      }
      padded = img;
    }
    float* outImg = out + img * co_n * plane;
    std::size_t co = co0;
    for (; co + 4 <= co1; co += 4) {
      const float* wk[4];
      float b[4];
      for (int j = 0; j < 4; ++j) {
        wk[j] = weight + (co + j) * cin * 9;
        b[j] = bias ? bias[co + j] : 0.0f;
      }
      for (std::size_t y = 0; y < H; ++y) {
        float* row[4];
        for (int j = 0; j < 4; ++j) row[j] = outImg + (co + j) * plane + y * W;
        const float* padRow = pad.data() + y * Wp;
        std::size_t x = 0;
        // Wide blocks while more than two vectors remain, so a short row is not padded to four.
        if (kConvVectors == 4)
          for (; x + 2 * N < W; x += 4 * N)
            ConvBlock4<4>(d, padRow, planeP, Wp, cin, wk, b, row, x, std::min(4 * N, W - x));
        for (; x < W; x += 2 * N) ConvBlock4<2>(d, padRow, planeP, Wp, cin, wk, b, row, x, std::min(2 * N, W - x));
      }
    }
    for (; co < co1; ++co) {
      const float* wk = weight + co * cin * 9;
      const float b = bias ? bias[co] : 0.0f;
      for (std::size_t y = 0; y < H; ++y) {
        const float* padRow = pad.data() + y * Wp;
        float* row = outImg + co * plane + y * W;
        std::size_t x = 0;
        if (kConvVectors == 4)
          for (; x + 2 * N < W; x += 4 * N)
            ConvBlock1<4>(d, padRow, planeP, Wp, cin, wk, b, row, x, std::min(4 * N, W - x));
        for (; x < W; x += 2 * N) ConvBlock1<2>(d, padRow, planeP, Wp, cin, wk, b, row, x, std::min(2 * N, W - x));
      }
    }
    p += co1 - co0;
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace tq
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tq {
namespace simd {

HWY_EXPORT(Rgb8ToPlanarF16);
HWY_EXPORT(RetrieveTermPooled);
HWY_EXPORT(RetrieveTermExactRange);
HWY_EXPORT(RoundF16Mul);
HWY_EXPORT(Conv3x3Range);
HWY_EXPORT(AddRelu);

void rgb8ToPlanarF16(const uint8_t* src, uint16_t* dst, std::size_t planeStride, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(src, dst, planeStride, n);
}

void rgb8ToPlanarF16Scalar(const uint8_t* src, uint16_t* dst, std::size_t planeStride, std::size_t n) {
  teeth_detail::rgbTail(src, dst, planeStride, 0, n);
}

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, std::size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, w, n);
}

float retrieveTermPooledScalar(const uint16_t* a, const uint16_t* b, const uint16_t* w, std::size_t n) {
  float acc = 0.0f;
  for (std::size_t i = 0; i < n; ++i) acc = acc + teeth_detail::pooledTerm(a, b, w, n, i);
  return acc;
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n,
                             std::size_t i0, std::size_t i1) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, n, i0, i1);
}

float retrieveTermExactRangeScalar(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n,
                                   std::size_t i0, std::size_t i1) {
  i1 = std::min(i1, n);
  float acc = 0.0f;
  for (std::size_t i = i0; i < i1; ++i)
    if (w[i] != 0.0f) acc = acc + w[i] * teeth_detail::meanAbsDiff(a, b, n, i);
  return acc;
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n) {
  return retrieveTermExactRange(a, b, w, n, 0, n);
}

float retrieveTermExactScalar(const uint16_t* a, const uint16_t* b, const float* w, std::size_t n) {
  return retrieveTermExactRangeScalar(a, b, w, n, 0, n);
}

void roundF16Mul(const float* a, const float* b, float* out, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(RoundF16Mul)(a, b, out, n);
}

void roundF16MulScalar(const float* a, const float* b, float* out, std::size_t n) {
  teeth_detail::mulTail(a, b, out, 0, n);
}

void addRelu(float* p, const float* shared, std::size_t n) { HWY_DYNAMIC_DISPATCH(AddRelu)(p, shared, n); }

void addReluScalar(float* p, const float* shared, std::size_t n) { teeth_detail::addReluTail(p, shared, 0, n); }

void conv3x3Range(const float* in, int n, int cin, int h, int w, const float* weight, const float* bias,
                  int cout, float* out, std::size_t begin, std::size_t end) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, n, cin, h, w, weight, bias, cout, out, begin, end);
}

void conv3x3RangeScalar(const float* in, int n, int cin, int h, int w, const float* weight,
                        const float* bias, int cout, float* out, std::size_t begin, std::size_t end) {
  if (!teeth_detail::convShapeOk(n, cin, h, w, cout)) return;
  const std::size_t plane = static_cast<std::size_t>(h) * w, co_n = static_cast<std::size_t>(cout);
  end = std::min(end, static_cast<std::size_t>(n) * co_n);
  for (std::size_t p = begin; p < end; ++p) {
    const std::size_t img = p / co_n, co = p % co_n;
    teeth_detail::convPlane(in + img * cin * plane, cin, h, w, weight + co * cin * 9, bias ? bias[co] : 0.0f,
                            out + p * plane);
  }
}

}  // namespace simd
}  // namespace tq
#endif  // HWY_ONCE
