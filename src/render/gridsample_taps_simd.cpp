// GridSampleFast's taps and weights for a run of output pixels, one variant per
// vector target. Every variant equals gsfTapsScalar bit for bit: the same float
// operations in the same order, no fused multiply-add anywhere in this file.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/gridsample_taps_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>

#include "render/gridsample_taps.h"

HWY_BEFORE_NAMESPACE();
namespace tq {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The scalar floorOf: (float)(int)v, one less when that is above v, for |v| < 2^23;
// v itself beyond that and for NaN and the infinities.
template <class D, class V = hn::Vec<D>>
HWY_INLINE V FloorOf(D d, V v) {
  const hn::RebindToSigned<D> di;
  const auto small = hn::Lt(hn::Abs(v), hn::Set(d, 8388608.0f));
  const V safe = hn::IfThenElseZero(small, v);
  V t = hn::ConvertTo(d, hn::ConvertTo(di, safe));
  t = hn::IfThenElse(hn::Gt(t, safe), hn::Sub(t, hn::Set(d, 1.0f)), t);
  return hn::IfThenElse(small, t, v);
}

// One axis: position ((g + 1) * 0.5) * n - 0.5, its fraction, and the two taps
// floor(pos) and floor(pos) + 1 clamped to [0, n - 1] (NaN reads tap 0).
template <class D, class V = hn::Vec<D>, class VI = hn::Vec<hn::RebindToSigned<D>>>
HWY_INLINE void Axis(D d, V g, int n, V& frac, VI& lo, VI& hi) {
  const hn::RebindToSigned<D> di;
  const V one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f);
  const V pos = hn::Sub(hn::Mul(hn::Mul(hn::Add(g, one), half), hn::Set(d, static_cast<float>(n))), half);
  const V fl = FloorOf(d, pos);
  frac = hn::Sub(pos, fl);
  // floor clamped to [-1, n - 1] is exact in int32 (n <= 2^24) and gives the same taps.
  const V c = hn::IfThenElse(hn::Ge(fl, hn::Set(d, -1.0f)), hn::Min(fl, hn::Set(d, static_cast<float>(n - 1))),
                             hn::Set(d, -1.0f));
  const VI o = hn::ConvertTo(di, c);
  lo = hn::Max(o, hn::Zero(di));
  hi = hn::Min(hn::Add(o, hn::Set(di, 1)), hn::Set(di, n - 1));
}

void GsfTaps(const float* HWY_RESTRICT grid, int n, int W, int H, GsfTapRun& t) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  const int N = static_cast<int>(hn::Lanes(d));
  const auto one = hn::Set(d, 1.0f);
  const auto w = hn::Set(di, W);
  int i = 0;
  for (; i + N <= n; i += N) {
    hn::Vec<decltype(d)> gx, gy, wx, wy;
    hn::Vec<decltype(di)> xa, xb, ya, yb;
    hn::LoadInterleaved2(d, grid + 2 * i, gx, gy);
    Axis(d, gx, W, wx, xa, xb);
    Axis(d, gy, H, wy, ya, yb);
    const auto rowA = hn::Mul(ya, w), rowB = hn::Mul(yb, w);
    hn::StoreU(hn::Add(rowA, xa), di, t.o00 + i);
    hn::StoreU(hn::Add(rowA, xb), di, t.o01 + i);
    hn::StoreU(hn::Add(rowB, xa), di, t.o10 + i);
    hn::StoreU(hn::Add(rowB, xb), di, t.o11 + i);
    const auto ox = hn::Sub(one, wx), oy = hn::Sub(one, wy);
    hn::StoreU(hn::Mul(ox, oy), d, t.w00 + i);
    hn::StoreU(hn::Mul(wx, oy), d, t.w01 + i);
    hn::StoreU(hn::Mul(ox, wy), d, t.w10 + i);
    hn::StoreU(hn::Mul(wx, wy), d, t.w11 + i);
  }
  if (i < n) gsfTapsScalar<int32_t>(grid, i, n, W, H, t);
}

}  // namespace HWY_NAMESPACE
}  // namespace tq
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tq {

HWY_EXPORT(GsfTaps);

void gsfTaps(const float* grid, int n, int W, int H, GsfTapRun& taps) {
  HWY_DYNAMIC_DISPATCH(GsfTaps)(grid, n, W, H, taps);
}

}  // namespace tq
#endif  // HWY_ONCE
