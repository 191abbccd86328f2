// The WarpDirector's two passes, one variant per vector target.
//
// Planes: interior columns of a row, a vector of pixels at a time, each channel's
// four stencil values interleaved per pixel and copied into the 12-float records.
// Gather: the taps and weights of a vector of output pixels at once, then per
// pixel the 12-lane accumulation of its four records, then the recombination
// across the pixels again. Edge columns and row tails use the scalar spans.
//
// Every variant equals the scalar reference bit for bit: the same operations in
// the same order, and no fused multiply-add anywhere in this file.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/tq_warp_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "render/tq_warp.h"

HWY_BEFORE_NAMESPACE();
namespace tq {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// At most 8 pixels per step keeps the per-step scratch small on wide targets.
using PixelTag = hn::CappedTag<float, 8>;
constexpr std::size_t kMaxPixels = 8;

// The 3x3 stencil of one channel for the pixels at row, x .. x + N - 1 (all interior columns).
template <class D, class V = hn::Vec<D>>
HWY_INLINE void StencilVec(D d, const float* up, const float* row, const float* dn, int x, V& k0, V& k1, V& k2,
                           V& k3) {
  const V p0 = hn::LoadU(d, up + x - 1), p1 = hn::LoadU(d, up + x), p2 = hn::LoadU(d, up + x + 1);
  const V p3 = hn::LoadU(d, row + x - 1), p4 = hn::LoadU(d, row + x), p5 = hn::LoadU(d, row + x + 1);
  const V p6 = hn::LoadU(d, dn + x - 1), p7 = hn::LoadU(d, dn + x), p8 = hn::LoadU(d, dn + x + 1);
  k0 = p4;
  k1 = hn::Add(hn::Sub(p3, hn::Add(p4, p4)), p5);
  k2 = hn::Add(hn::Sub(p1, hn::Add(p4, p4)), p7);
  k3 = hn::Add(hn::Sub(hn::Add(hn::Sub(p0, hn::Add(p3, p3)), p6), hn::Add(k2, k2)),
               hn::Add(hn::Sub(p2, hn::Add(p5, p5)), p8));
}

void WarpPlanesBand(const float* HWY_RESTRICT src, float* HWY_RESTRICT planes, int W, int H, int y0, int y1) {
  const PixelTag d;
  const int N = static_cast<int>(hn::Lanes(d));
  const std::size_t plane = static_cast<std::size_t>(W) * H;
  HWY_ALIGN float tmp[3][4 * kMaxPixels];
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  for (int y = y0; y < y1; ++y) {
    const std::size_t up = static_cast<std::size_t>(y > 0 ? y - 1 : 0) * W;
    const std::size_t row = static_cast<std::size_t>(y) * W;
    const std::size_t dn = static_cast<std::size_t>(y < H - 1 ? y + 1 : H - 1) * W;
    warpDirectorPlanesSpan(src, planes, W, H, y, 0, std::min(1, W));
    int x = 1;
    for (; x + N <= W - 1; x += N) {
      for (int c = 0; c < 3; ++c) {
        const float* p = src + c * plane;
        hn::Vec<PixelTag> k0, k1, k2, k3;
        StencilVec(d, p + up, p + row, p + dn, x, k0, k1, k2, k3);
        hn::StoreInterleaved4(k0, k1, k2, k3, d, tmp[c]);
      }
      float* rec = planes + 12 * (row + x);
      for (int i = 0; i < N; ++i)
        for (int c = 0; c < 3; ++c) std::memcpy(rec + 12 * i + 4 * c, tmp[c] + 4 * i, 4 * sizeof(float));
    }
    warpDirectorPlanesSpan(src, planes, W, H, y, std::min(x, W), W);
  }
}

// floor(v) exactly, with floor's sign of zero; beyond 2^23 (and for NaN and the
// infinities) v itself, which is what floor returns there.
template <class D, class V = hn::Vec<D>>
HWY_INLINE V FloorExact(D d, V v) {
  const hn::RebindToSigned<D> di;
  const auto small = hn::Lt(hn::Abs(v), hn::Set(d, 8388608.0f));
  const V safe = hn::IfThenElseZero(small, v);
  V t = hn::ConvertTo(d, hn::ConvertTo(di, safe));
  t = hn::IfThenElse(hn::Gt(t, safe), hn::Sub(t, hn::Set(d, 1.0f)), t);
  t = hn::IfThenElse(hn::Eq(t, hn::Zero(d)), hn::CopySign(hn::Zero(d), v), t);
  return hn::IfThenElse(small, t, v);
}

// One axis for a vector of positions: curvature weight, taps and fraction, as the scalar axis().
template <class D, class V = hn::Vec<D>>
HWY_INLINE void AxisVec(D d, V g, int n, V& curve, int32_t* t0, int32_t* t1, V& frac) {
  const hn::RebindToSigned<D> di;
  const V one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f), last = hn::Set(d, static_cast<float>(n - 1));
  const V i = hn::Mul(hn::Sub(hn::Mul(hn::Add(g, one), hn::Set(d, static_cast<float>(n))), one), half);
  const V a = hn::Sub(i, FloorExact(d, i));
  curve = hn::Mul(hn::Mul(hn::Sub(one, a), a), half);
  // NaN fails i >= 0 and reads tap 0, as in the scalar code.
  const V c = hn::IfThenElseZero(hn::Ge(i, hn::Zero(d)), hn::Min(i, last));
  const auto lo = hn::ConvertTo(di, c);  // c >= 0: truncation is floor
  frac = hn::Sub(c, hn::ConvertTo(d, lo));
  const auto lastI = hn::Set(di, n - 1);
  const auto hi = hn::IfThenElse(hn::Lt(lo, lastI), hn::Add(lo, hn::Set(di, 1)), lastI);
  hn::Store(lo, di, t0);
  hn::Store(hi, di, t1);
}

void WarpGatherBand(const float* HWY_RESTRICT planes, const float* HWY_RESTRICT grid, float* HWY_RESTRICT out, int W,
                    int H, int y0, int y1) {
  const PixelTag d;
  const hn::CappedTag<float, 4> d4;  // one record quarter (or less) at a time
  const int N = static_cast<int>(hn::Lanes(d));
  const std::size_t L = hn::Lanes(d4);
  const std::size_t plane = static_cast<std::size_t>(W) * H;
  HWY_ALIGN int32_t tx0[kMaxPixels], tx1[kMaxPixels], ty0[kMaxPixels], ty1[kMaxPixels];
  HWY_ALIGN float w[4][kMaxPixels];
  HWY_ALIGN float S[3][4 * kMaxPixels];  // channel, pixel, term
  const auto one = hn::Set(d, 1.0f);
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  for (int y = y0; y < y1; ++y) {
    int x = 0;
    for (; x + N <= W; x += N) {
      const std::size_t i = static_cast<std::size_t>(y) * W + x;
      hn::Vec<PixelTag> gx, gy, ax, by, fx, fy;
      hn::LoadInterleaved2(d, grid + 2 * i, gx, gy);
      AxisVec(d, gx, W, ax, tx0, tx1, fx);
      AxisVec(d, gy, H, by, ty0, ty1, fy);
      hn::Store(hn::Mul(hn::Sub(one, fx), hn::Sub(one, fy)), d, w[0]);
      hn::Store(hn::Mul(fx, hn::Sub(one, fy)), d, w[1]);
      hn::Store(hn::Mul(hn::Sub(one, fx), fy), d, w[2]);
      hn::Store(hn::Mul(fx, fy), d, w[3]);
      for (int p = 0; p < N; ++p) {
        const float* r[4] = {planes + 12 * (static_cast<std::size_t>(ty0[p]) * W + tx0[p]),
                             planes + 12 * (static_cast<std::size_t>(ty0[p]) * W + tx1[p]),
                             planes + 12 * (static_cast<std::size_t>(ty1[p]) * W + tx0[p]),
                             planes + 12 * (static_cast<std::size_t>(ty1[p]) * W + tx1[p])};
        for (std::size_t j = 0; j < 12; j += L) {
          auto s = hn::Zero(d4);
          for (int q = 0; q < 4; ++q) s = hn::Add(s, hn::Mul(hn::Set(d4, w[q][p]), hn::LoadU(d4, r[q] + j)));
          hn::StoreU(s, d4, S[j / 4] + 4 * p + j % 4);
        }
      }
      const auto axby = hn::Mul(ax, by);
      for (int c = 0; c < 3; ++c) {
        hn::Vec<PixelTag> s0, s1, s2, s3;
        hn::LoadInterleaved4(d, S[c], s0, s1, s2, s3);
        const auto v = hn::Add(hn::Mul(axby, s3), hn::Sub(hn::Sub(s0, hn::Mul(ax, s1)), hn::Mul(by, s2)));
        hn::StoreU(v, d, out + c * plane + i);
      }
    }
    warpDirectorGatherSpan(planes, grid, out, W, H, y, x, W);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace tq
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tq {

HWY_EXPORT(WarpPlanesBand);
HWY_EXPORT(WarpGatherBand);

void warpDirectorPlanesBand(const float* src, float* planes, int W, int H, int y0, int y1) {
  HWY_DYNAMIC_DISPATCH(WarpPlanesBand)(src, planes, W, H, y0, y1);
}

void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int W, int H, int y0, int y1) {
  HWY_DYNAMIC_DISPATCH(WarpGatherBand)(planes, grid, out, W, H, y0, y1);
}

}  // namespace tq
#endif  // HWY_ONCE
