// Range scan, quantisation and u8 x i8 convolution rows of the int8 convolution.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/int8conv_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "render/int8conv_simd.h"

// The output is one multiply and one add; a fused multiply-add would round differently.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

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
  for (; i < n; i += N) {
    auto v = i + N <= n ? hn::LoadU(d, x + i) : hn::LoadN(d, x + i, n - i);  // zero-filled past the end
    v = hn::IfThenElseZero(hn::Eq(v, v), v);  // NaN counts as 0, which the range holds anyway
    vlo = hn::Min(vlo, v);
    vhi = hn::Max(vhi, v);
  }
  *lo = hn::ReduceMin(d, vlo);
  *hi = hn::ReduceMax(d, vhi);
}

void Int8QuantiseQuad(const float* const rows[4], std::size_t n, float s, float zp, uint8_t* HWY_RESTRICT out) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> du8;
  const std::size_t N = hn::Lanes(df);
  const auto vs = hn::Set(df, s), vzp = hn::Set(df, zp), v255 = hn::Set(df, 255.0f);
  const auto one = [&](const float* row, std::size_t i, std::size_t count) {
    const auto v = count == N ? hn::LoadU(df, row + i) : hn::LoadN(df, row + i, count);
    auto r = hn::Add(hn::Round(hn::Div(v, vs)), vzp);
    r = hn::IfThenElse(hn::Eq(r, r), r, vzp);
    r = hn::Min(hn::Max(r, hn::Zero(df)), v255);
    return hn::DemoteTo(du8, hn::ConvertTo(di, r));
  };
  HWY_ALIGN uint8_t tail[4 * HWY_MAX_BYTES / sizeof(float)];
  for (std::size_t i = 0; i < n; i += N) {
    const std::size_t count = std::min(N, n - i);
    const auto q0 = one(rows[0], i, count), q1 = one(rows[1], i, count);
    const auto q2 = one(rows[2], i, count), q3 = one(rows[3], i, count);
    if (count == N) {
      hn::StoreInterleaved4(q0, q1, q2, q3, du8, out + 4 * i);
    } else {
      hn::StoreInterleaved4(q0, q1, q2, q3, du8, tail);
      std::memcpy(out + 4 * i, tail, 4 * count);
    }
  }
}

#if HWY_TARGET == HWY_SCALAR
void Int8ConvRow(const Int8RowArgs& a) { int8ConvRowScalar(a); }
#else
// Four output channels by two vectors of output pixels at a time: per step of 4
// input channels, two loads of pixels and four weight broadcasts feed eight
// dot-product accumulations.
void Int8ConvRow(const Int8RowArgs& a) {
  const hn::ScalableTag<int32_t> d;
  const hn::RebindToUnsigned<decltype(d)> du32;
  const hn::Repartition<uint8_t, decltype(d)> du8;
  const hn::Repartition<int8_t, decltype(d)> di8;
  const hn::RebindToFloat<decltype(d)> df;
  const int N = static_cast<int>(hn::Lanes(d));
  const std::ptrdiff_t pixelStep = 4 * static_cast<std::ptrdiff_t>(a.strideW);
  HWY_ALIGN uint32_t gathered[2 * HWY_MAX_BYTES / sizeof(uint32_t)];
  const auto broadcast = [&](const int8_t* p) {
    uint32_t b;
    std::memcpy(&b, p, 4);
    return hn::BitCast(di8, hn::Set(du32, b));
  };
  for (int og = 0; og < a.ocs; og += 4) {
    for (int p0 = 0; p0 < a.pixels; p0 += 2 * N) {
      const int count = std::min(2 * N, a.pixels - p0);
      const bool contiguous = a.strideW == 1 && count == 2 * N;
      auto a00 = hn::Zero(d), a01 = hn::Zero(d), a10 = hn::Zero(d), a11 = hn::Zero(d);
      auto a20 = hn::Zero(d), a21 = hn::Zero(d), a30 = hn::Zero(d), a31 = hn::Zero(d);
      for (int t = 0; t < a.taps; ++t) {
        const uint8_t* qt = a.q + a.tapOffset[t] + p0 * pixelStep;
        const int8_t* wt = a.w + static_cast<std::ptrdiff_t>(t) * a.quads * 4 * kInt8Block + 4 * og;
        for (int c = 0; c < a.quads; ++c) {
          const uint8_t* src = qt + c * a.quadPlane;
          hn::Vec<decltype(du8)> u0, u1;
          if (contiguous) {
            u0 = hn::LoadU(du8, src);
            u1 = hn::LoadU(du8, src + 4 * N);
          } else {
            for (int i = 0; i < 2 * N; ++i) {
              gathered[i] = 0;
              if (i < count) std::memcpy(&gathered[i], src + i * pixelStep, 4);
            }
            u0 = hn::BitCast(du8, hn::Load(du32, gathered));
            u1 = hn::BitCast(du8, hn::Load(du32, gathered + N));
          }
          const int8_t* wc = wt + c * 4 * kInt8Block;
          const auto w0 = broadcast(wc), w1 = broadcast(wc + 4), w2 = broadcast(wc + 8), w3 = broadcast(wc + 12);
          a00 = hn::SumOfMulQuadAccumulate(d, u0, w0, a00);
          a01 = hn::SumOfMulQuadAccumulate(d, u1, w0, a01);
          a10 = hn::SumOfMulQuadAccumulate(d, u0, w1, a10);
          a11 = hn::SumOfMulQuadAccumulate(d, u1, w1, a11);
          a20 = hn::SumOfMulQuadAccumulate(d, u0, w2, a20);
          a21 = hn::SumOfMulQuadAccumulate(d, u1, w2, a21);
          a30 = hn::SumOfMulQuadAccumulate(d, u0, w3, a30);
          a31 = hn::SumOfMulQuadAccumulate(d, u1, w3, a31);
        }
      }
      const auto store = [&](int o, hn::Vec<decltype(d)> lo, hn::Vec<decltype(d)> hi) {
        if (og + o >= a.ocs) return;
        const int ch = og + o;
        const auto corr = hn::Set(d, a.correction[ch]);
        const auto k = hn::Set(df, a.k[ch]), b = hn::Set(df, a.bias[ch]);
        float* y = a.y + ch * a.yStride + p0;
        const auto ylo = hn::Add(hn::Mul(hn::ConvertTo(df, hn::Sub(lo, corr)), k), b);
        const auto yhi = hn::Add(hn::Mul(hn::ConvertTo(df, hn::Sub(hi, corr)), k), b);
        if (count >= N) {
          hn::StoreU(ylo, df, y);
          if (count > N) hn::StoreN(yhi, df, y + N, static_cast<std::size_t>(count - N));
        } else {
          hn::StoreN(ylo, df, y, static_cast<std::size_t>(count));
        }
      };
      store(0, a00, a01);
      store(1, a10, a11);
      store(2, a20, a21);
      store(3, a30, a31);
    }
  }
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
HWY_EXPORT(Int8QuantiseQuad);
HWY_EXPORT(Int8ConvRow);

void int8Range(const float* x, std::size_t n, float* lo, float* hi) { HWY_DYNAMIC_DISPATCH(Int8Range)(x, n, lo, hi); }

void int8QuantiseQuad(const float* const rows[4], std::size_t n, float s, float zp, uint8_t* out) {
  HWY_DYNAMIC_DISPATCH(Int8QuantiseQuad)(rows, n, s, zp, out);
}

void int8ConvRow(const Int8RowArgs& a) { HWY_DYNAMIC_DISPATCH(Int8ConvRow)(a); }

void int8RangeScalar(const float* x, std::size_t n, float* lo, float* hi) {
  float l = 0.0f, h = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    if (x[i] < l) l = x[i];
    if (x[i] > h) h = x[i];
  }
  *lo = l;
  *hi = h;
}

void int8QuantiseQuadScalar(const float* const rows[4], std::size_t n, float s, float zp, uint8_t* out) {
  for (std::size_t i = 0; i < n; ++i)
    for (int j = 0; j < 4; ++j) {
      float r = std::nearbyint(rows[j][i] / s) + zp;
      if (r != r) r = zp;
      r = r < 0.0f ? 0.0f : (r > 255.0f ? 255.0f : r);
      out[4 * i + j] = static_cast<uint8_t>(r);
    }
}

void int8ConvRowScalar(const Int8RowArgs& a) {
  for (int o = 0; o < a.ocs; ++o)
    for (int p = 0; p < a.pixels; ++p) {
      int32_t acc = 0;
      for (int t = 0; t < a.taps; ++t)
        for (int c = 0; c < a.quads; ++c)
          for (int j = 0; j < 4; ++j)
            acc += int32_t(a.q[c * a.quadPlane + a.tapOffset[t] + 4 * p * std::ptrdiff_t(a.strideW) + j]) *
                   int32_t(a.w[((std::ptrdiff_t(t) * a.quads + c) * kInt8Block + o) * 4 + j]);
      const float product = static_cast<float>(acc - a.correction[o]) * a.k[o];
      a.y[o * a.yStride + p] = product + a.bias[o];
    }
}

}  // namespace simd
}  // namespace tq
#endif  // HWY_ONCE
