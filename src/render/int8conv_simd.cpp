// Range scan, quantisation and u8 x i8 dot products of the int8 convolution.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/int8conv_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cmath>
#include <cstring>

#include "render/int8conv_simd.h"

HWY_BEFORE_NAMESPACE();
namespace tq {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void Int8Range(const float* HWY_RESTRICT x, std::size_t n, float* lo, float* hi) {
  const hn::ScalableTag<float> d;
  const std::size_t N = hn::Lanes(d);
  auto vlo = hn::Zero(d), vhi = hn::Zero(d);
  std::size_t i = 0;
  for (; i + N <= n; i += N) {
    auto v = hn::LoadU(d, x + i);
    v = hn::IfThenElseZero(hn::Eq(v, v), v);  // NaN counts as 0, which the range already holds
    vlo = hn::Min(vlo, v);
    vhi = hn::Max(vhi, v);
  }
  if (i < n) {
    auto v = hn::LoadN(d, x + i, n - i);  // zero-filled past the end
    v = hn::IfThenElseZero(hn::Eq(v, v), v);
    vlo = hn::Min(vlo, v);
    vhi = hn::Max(vhi, v);
  }
  *lo = hn::ReduceMin(d, vlo);
  *hi = hn::ReduceMax(d, vhi);
}

void Int8Quantise(const float* HWY_RESTRICT x, std::size_t n, float s, float zp, uint8_t* HWY_RESTRICT q) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> du8;
  const std::size_t N = hn::Lanes(df);
  const auto vs = hn::Set(df, s), vzp = hn::Set(df, zp), v255 = hn::Set(df, 255.0f);
  const auto one = [&](hn::Vec<decltype(df)> v) {
    auto r = hn::Add(hn::Round(hn::Div(v, vs)), vzp);
    r = hn::IfThenElse(hn::Eq(r, r), r, vzp);
    r = hn::Min(hn::Max(r, hn::Zero(df)), v255);
    return hn::DemoteTo(du8, hn::ConvertTo(di, r));
  };
  std::size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(one(hn::LoadU(df, x + i)), du8, q + i);
  if (i < n) hn::StoreN(one(hn::LoadN(df, x + i, n - i)), du8, q + i, n - i);
}

#if HWY_TARGET == HWY_SCALAR
void Int8DotTile(const uint8_t* q, std::ptrdiff_t pixelStep, const std::ptrdiff_t* tapOffset, int taps, int quads,
                 const int8_t* w, int pixels, int32_t* out) {
  int8DotTileScalar(q, pixelStep, tapOffset, taps, quads, w, pixels, out);
}
#else
// P pixels at once: each packed weight vector is loaded once and used P times.
template <int P>
HWY_INLINE void DotPixels(const uint8_t* HWY_RESTRICT q, std::ptrdiff_t step, const std::ptrdiff_t* tapOffset,
                          int taps, int quads, const int8_t* HWY_RESTRICT w, int32_t* HWY_RESTRICT out) {
  const hn::CappedTag<int32_t, kInt8Block> d;
  const hn::Repartition<int8_t, decltype(d)> di8;
  const hn::Repartition<uint8_t, decltype(d)> du8;
  const hn::RebindToUnsigned<decltype(d)> du32;
  const int N = static_cast<int>(hn::Lanes(d));
  for (int j = 0; j < kInt8Block; j += N) {
    auto a0 = hn::Zero(d), a1 = hn::Zero(d), a2 = hn::Zero(d), a3 = hn::Zero(d);
    auto a4 = hn::Zero(d), a5 = hn::Zero(d), a6 = hn::Zero(d), a7 = hn::Zero(d);
    for (int t = 0; t < taps; ++t) {
      const uint8_t* qt = q + tapOffset[t];
      const int8_t* wt = w + static_cast<std::ptrdiff_t>(t) * quads * 4 * kInt8Block + 4 * j;
      for (int c = 0; c < quads; ++c) {
        const auto wv = hn::LoadU(di8, wt + c * 4 * kInt8Block);
        const uint8_t* qc = qt + 4 * c;
#define TQ_I8_STEP(k)                                                                 \
  if constexpr (P > k) {                                                              \
    uint32_t b;                                                                       \
    std::memcpy(&b, qc + (k) * step, 4);                                              \
    a##k = hn::SumOfMulQuadAccumulate(d, hn::BitCast(du8, hn::Set(du32, b)), wv, a##k); \
  }
        TQ_I8_STEP(0) TQ_I8_STEP(1) TQ_I8_STEP(2) TQ_I8_STEP(3)
        TQ_I8_STEP(4) TQ_I8_STEP(5) TQ_I8_STEP(6) TQ_I8_STEP(7)
#undef TQ_I8_STEP
      }
    }
    hn::StoreU(a0, d, out + j);
    if constexpr (P > 1) hn::StoreU(a1, d, out + 1 * kInt8Block + j);
    if constexpr (P > 2) hn::StoreU(a2, d, out + 2 * kInt8Block + j);
    if constexpr (P > 3) hn::StoreU(a3, d, out + 3 * kInt8Block + j);
    if constexpr (P > 4) hn::StoreU(a4, d, out + 4 * kInt8Block + j);
    if constexpr (P > 5) hn::StoreU(a5, d, out + 5 * kInt8Block + j);
    if constexpr (P > 6) hn::StoreU(a6, d, out + 6 * kInt8Block + j);
    if constexpr (P > 7) hn::StoreU(a7, d, out + 7 * kInt8Block + j);
    (void)a1, (void)a2, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7;
  }
}

void Int8DotTile(const uint8_t* q, std::ptrdiff_t pixelStep, const std::ptrdiff_t* tapOffset, int taps, int quads,
                 const int8_t* w, int pixels, int32_t* out) {
  int p = 0;
  for (; p + 8 <= pixels; p += 8)
    DotPixels<8>(q + p * pixelStep, pixelStep, tapOffset, taps, quads, w, out + p * kInt8Block);
  for (; p + 4 <= pixels; p += 4)
    DotPixels<4>(q + p * pixelStep, pixelStep, tapOffset, taps, quads, w, out + p * kInt8Block);
  for (; p < pixels; ++p) DotPixels<1>(q + p * pixelStep, pixelStep, tapOffset, taps, quads, w, out + p * kInt8Block);
}
#endif

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace tq
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tq {
namespace simd {

HWY_EXPORT(Int8Range);
HWY_EXPORT(Int8Quantise);
HWY_EXPORT(Int8DotTile);

void int8Range(const float* x, std::size_t n, float* lo, float* hi) { HWY_DYNAMIC_DISPATCH(Int8Range)(x, n, lo, hi); }

void int8Quantise(const float* x, std::size_t n, float s, float zp, uint8_t* q) {
  HWY_DYNAMIC_DISPATCH(Int8Quantise)(x, n, s, zp, q);
}

void int8DotTile(const uint8_t* q, std::ptrdiff_t pixelStep, const std::ptrdiff_t* tapOffset, int taps, int quads,
                 const int8_t* w, int pixels, int32_t* out) {
  HWY_DYNAMIC_DISPATCH(Int8DotTile)(q, pixelStep, tapOffset, taps, quads, w, pixels, out);
}

void int8RangeScalar(const float* x, std::size_t n, float* lo, float* hi) {
  float l = 0.0f, h = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    if (x[i] < l) l = x[i];
    if (x[i] > h) h = x[i];
  }
  *lo = l;
  *hi = h;
}

void int8QuantiseScalar(const float* x, std::size_t n, float s, float zp, uint8_t* q) {
  for (std::size_t i = 0; i < n; ++i) {
    float r = std::nearbyint(x[i] / s) + zp;
    if (r != r) r = zp;
    r = r < 0.0f ? 0.0f : (r > 255.0f ? 255.0f : r);
    q[i] = static_cast<uint8_t>(r);
  }
}

void int8DotTileScalar(const uint8_t* q, std::ptrdiff_t pixelStep, const std::ptrdiff_t* tapOffset, int taps,
                       int quads, const int8_t* w, int pixels, int32_t* out) {
  for (int p = 0; p < pixels; ++p)
    for (int o = 0; o < kInt8Block; ++o) {
      int32_t acc = 0;
      for (int t = 0; t < taps; ++t)
        for (int c = 0; c < 4 * quads; ++c)
          acc += int32_t(q[p * pixelStep + tapOffset[t] + c]) *
                 int32_t(w[((static_cast<std::ptrdiff_t>(t) * quads + c / 4) * kInt8Block + o) * 4 + c % 4]);
      out[p * kInt8Block + o] = acc;
    }
}

}  // namespace simd
}  // namespace tq
#endif  // HWY_ONCE
