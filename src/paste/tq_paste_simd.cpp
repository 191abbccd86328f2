// One frame row of the Lanczos-8 paste, one variant per vector target.
//
// For each frame pixel the Q10 crop coordinate (U, V) is the row start plus the
// column term; its integer pixel is (U >> 10, V >> 10) and its phase
// ((U >> 5) & 31, (V >> 5) & 31). The mask weight is bilinear over the 2x2 mask
// pixels at the integer position, taps outside the crop counting as 0, rounded to
// a whole 8-bit level. The colour is the 8x8 Lanczos sum over crop rows vi-3..vi+4
// and columns ui-3..ui+4, row by row: value = sum_j wy[j] * (sum_k wx[k] * px),
// each sum started at 0 and accumulated in tap order. When the whole footprint
// lies inside the crop the four channels (R, G, B, 0) of rgbx are one vector;
// otherwise taps outside the crop are skipped without renormalising.
//
// Also here: the two loops of the compositor's unsharp mask, vectorised across
// output positions (each output keeps the scalar order of its own sum).
//
// Every variant equals the scalar reference bit for bit: the same operations in
// the same order, and no fused multiply-add anywhere in this file.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "paste/tq_paste_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "compute/tq_simd.h"

#ifndef TQ_PASTE_SIMD_SCALAR_ONCE
#define TQ_PASTE_SIMD_SCALAR_ONCE
namespace tq {
namespace simd {
namespace paste_detail {

// Where one frame pixel samples the crop; false when the pixel is not pasted.
struct Sample {
  int ui, vi, pu, pv;
};

inline bool locate(int U0, int V0, int cu, int cv, int side, Sample& s) {
  // 64-bit sums: the kernel takes arbitrary terms; the compositor keeps them small.
  const int64_t U = static_cast<int64_t>(U0) + cu;
  const int64_t V = static_cast<int64_t>(V0) + cv;
  const int64_t ui = U >> 10, vi = V >> 10;
  if (ui < -1 || ui > side - 1 || vi < -1 || vi > side - 1) return false;
  s.ui = static_cast<int>(ui);
  s.vi = static_cast<int>(vi);
  s.pu = static_cast<int>((U >> 5) & 31);
  s.pv = static_cast<int>((V >> 5) & 31);
  return true;
}

// Mask weight in 0..1 (a whole number of 255ths). ui, vi lie in [-1, side - 1].
inline float maskAlpha(const uint8_t* mask, int side, const float* bilinear, const Sample& s) {
  const float* wx = bilinear + 2 * s.pu;
  const float* wy = bilinear + 2 * s.pv;
  float rows[2];
  for (int j = 0; j < 2; ++j) {
    const int v = s.vi + j;
    float m0 = 0.0f, m1 = 0.0f;
    if (v >= 0 && v < side) {
      const uint8_t* m = mask + static_cast<std::ptrdiff_t>(v) * side;
      if (s.ui >= 0) m0 = m[s.ui];
      if (s.ui + 1 < side) m1 = m[s.ui + 1];
    }
    rows[j] = wx[0] * m0 + wx[1] * m1;
  }
  const float value = wy[0] * rows[0] + wy[1] * rows[1];
  return std::rint(value) / 255.0f;
}

inline bool interior(const Sample& s, int side) {
  return s.ui >= 3 && s.ui + 4 < side && s.vi >= 3 && s.vi + 4 < side;
}

// The 8x8 Lanczos sum of R, G, B, skipping taps outside the crop. Inside the
// crop this is the same arithmetic, lane by lane, as the vector path.
inline void lanczosTaps(const float* rgbx, int side, const float* lanczos, const Sample& s,
                        float out[3]) {
  const float* wx = lanczos + 8 * s.pu;
  const float* wy = lanczos + 8 * s.pv;
  float acc[3] = {0.0f, 0.0f, 0.0f};
  for (int j = 0; j < 8; ++j) {
    const int v = s.vi - 3 + j;
    if (v < 0 || v >= side) continue;
    float r[3] = {0.0f, 0.0f, 0.0f};
    for (int k = 0; k < 8; ++k) {
      const int u = s.ui - 3 + k;
      if (u < 0 || u >= side) continue;
      const float* p = rgbx + (static_cast<std::ptrdiff_t>(v) * side + u) * 4;
      for (int c = 0; c < 3; ++c) r[c] = r[c] + wx[k] * p[c];
    }
    for (int c = 0; c < 3; ++c) acc[c] = acc[c] + wy[j] * r[c];
  }
  for (int c = 0; c < 3; ++c) out[c] = acc[c];
}

// frame * (1 - alpha) + value * alpha, clamped to 0..255 and truncated; a NaN
// (never produced from clamped planes) would give 0.
inline void blend(uint8_t* px, const float* value, float alpha) {
  const float keep = 1.0f - alpha;
  for (int c = 0; c < 3; ++c) {
    const float o = static_cast<float>(px[c]) * keep + value[c] * alpha;
    px[c] = o > 0.0f ? (o < 255.0f ? static_cast<uint8_t>(static_cast<int>(o)) : uint8_t{255})
                     : uint8_t{0};
  }
}

inline void tapSumTail(const float* src, std::ptrdiff_t stride, const float* w, int taps, float* out,
                       std::size_t i, std::size_t n) {
  for (; i < n; ++i) {
    float acc = 0.0f;
    for (int j = 0; j < taps; ++j) acc = acc + w[j] * src[i + j * stride];
    out[i] = acc;
  }
}

inline void sharpenTail(float* plane, const float* blurred, float amount, std::size_t i, std::size_t n) {
  const float a1 = 1.0f + amount;
  for (; i < n; ++i) {
    const float o = a1 * plane[i] - amount * blurred[i];
    plane[i] = o > 0.0f ? (o < 255.0f ? o : 255.0f) : 0.0f;
  }
}

}  // namespace paste_detail
}  // namespace simd
}  // namespace tq
#endif  // TQ_PASTE_SIMD_SCALAR_ONCE

HWY_BEFORE_NAMESPACE();
namespace tq {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void PasteLanczos8Row(const float* HWY_RESTRICT rgbx, int side, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczos, const float* HWY_RESTRICT bilinear,
                      const int* HWY_RESTRICT colU, const int* HWY_RESTRICT colV, int U0, int V0,
                      int x0, int x1, uint8_t* HWY_RESTRICT frameRow) {
  namespace pd = paste_detail;
  // Four lanes hold R, G, B, 0 of one crop pixel; targets with fewer lanes
  // (scalar) take the channels in several steps with the same per-lane arithmetic.
  const hn::CappedTag<float, 4> d;
  const int N = static_cast<int>(hn::Lanes(d));
  for (int x = x0; x <= x1; ++x) {
    pd::Sample s;
    if (!pd::locate(U0, V0, colU[x - x0], colV[x - x0], side, s)) continue;
    const float alpha = pd::maskAlpha(mask, side, bilinear, s);
    if (!(alpha > 0.0f)) continue;
    alignas(16) float value[4];
    if (pd::interior(s, side)) {
      const float* wx = lanczos + 8 * s.pu;
      const float* wy = lanczos + 8 * s.pv;
      const float* base = rgbx + (static_cast<std::ptrdiff_t>(s.vi - 3) * side + (s.ui - 3)) * 4;
      const auto w0 = hn::Set(d, wx[0]), w1 = hn::Set(d, wx[1]), w2 = hn::Set(d, wx[2]), w3 = hn::Set(d, wx[3]);
      const auto w4 = hn::Set(d, wx[4]), w5 = hn::Set(d, wx[5]), w6 = hn::Set(d, wx[6]), w7 = hn::Set(d, wx[7]);
      const std::ptrdiff_t pitch = static_cast<std::ptrdiff_t>(side) * 4;
      for (int c = 0; c < 4; c += N) {
        auto acc = hn::Zero(d);
        HWY_UNROLL(8)
        for (int j = 0; j < 8; ++j) {
          const float* p = base + j * pitch + c;
          auto r = hn::Zero(d);
          r = hn::Add(r, hn::Mul(w0, hn::LoadU(d, p)));
          r = hn::Add(r, hn::Mul(w1, hn::LoadU(d, p + 4)));
          r = hn::Add(r, hn::Mul(w2, hn::LoadU(d, p + 8)));
          r = hn::Add(r, hn::Mul(w3, hn::LoadU(d, p + 12)));
          r = hn::Add(r, hn::Mul(w4, hn::LoadU(d, p + 16)));
          r = hn::Add(r, hn::Mul(w5, hn::LoadU(d, p + 20)));
          r = hn::Add(r, hn::Mul(w6, hn::LoadU(d, p + 24)));
          r = hn::Add(r, hn::Mul(w7, hn::LoadU(d, p + 28)));
          acc = hn::Add(acc, hn::Mul(hn::Set(d, wy[j]), r));
        }
        hn::StoreU(acc, d, value + c);
      }
    } else {
      pd::lanczosTaps(rgbx, side, lanczos, s, value);
    }
    pd::blend(frameRow + 3 * static_cast<std::ptrdiff_t>(x), value, alpha);
  }
}

void PasteTapSum(const float* HWY_RESTRICT src, std::ptrdiff_t stride, const float* HWY_RESTRICT w, int taps,
                 float* HWY_RESTRICT out, std::size_t n) {
  const hn::ScalableTag<float> d;
  const std::size_t N = hn::Lanes(d);
  std::size_t i = 0;
  for (; i + N <= n; i += N) {
    auto acc = hn::Zero(d);
    const float* p = src + i;
    for (int j = 0; j < taps; ++j) acc = hn::Add(acc, hn::Mul(hn::Set(d, w[j]), hn::LoadU(d, p + j * stride)));
    hn::StoreU(acc, d, out + i);
  }
  paste_detail::tapSumTail(src, stride, w, taps, out, i, n);
}

void PasteSharpen(float* HWY_RESTRICT plane, const float* HWY_RESTRICT blurred, float amount, std::size_t n) {
  const hn::ScalableTag<float> d;
  const std::size_t N = hn::Lanes(d);
  const auto a1 = hn::Set(d, 1.0f + amount), a = hn::Set(d, amount);
  const auto zero = hn::Zero(d), top = hn::Set(d, 255.0f);
  std::size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto o = hn::Sub(hn::Mul(a1, hn::LoadU(d, plane + i)), hn::Mul(a, hn::LoadU(d, blurred + i)));
    // Comparisons are false for NaN, which therefore becomes 0 as in the scalar clamp.
    const auto c = hn::IfThenElse(hn::Gt(o, zero), hn::IfThenElse(hn::Lt(o, top), o, top), zero);
    hn::StoreU(c, d, plane + i);
  }
  paste_detail::sharpenTail(plane, blurred, amount, i, n);
}

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace tq
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tq {
namespace simd {

HWY_EXPORT(PasteLanczos8Row);
HWY_EXPORT(PasteTapSum);
HWY_EXPORT(PasteSharpen);

void pasteTapSum(const float* src, std::ptrdiff_t stride, const float* w, int taps, float* out, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(PasteTapSum)(src, stride, w, taps, out, n);
}

void pasteTapSumScalar(const float* src, std::ptrdiff_t stride, const float* w, int taps, float* out,
                       std::size_t n) {
  paste_detail::tapSumTail(src, stride, w, taps, out, 0, n);
}

void pasteSharpen(float* plane, const float* blurred, float amount, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(PasteSharpen)(plane, blurred, amount, n);
}

void pasteSharpenScalar(float* plane, const float* blurred, float amount, std::size_t n) {
  paste_detail::sharpenTail(plane, blurred, amount, 0, n);
}

void pasteLanczos8Row(const float* rgbx, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* colU, const int* colV, int U0, int V0, int x0,
                      int x1, uint8_t* frameRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(rgbx, side, mask, lanczos, bilinear, colU, colV, U0, V0, x0,
                                         x1, frameRow);
}

void pasteLanczos8RowScalar(const float* rgbx, int side, const uint8_t* mask, const float* lanczos,
                            const float* bilinear, const int* colU, const int* colV, int U0, int V0,
                            int x0, int x1, uint8_t* frameRow) {
  namespace pd = paste_detail;
  for (int x = x0; x <= x1; ++x) {
    pd::Sample s;
    if (!pd::locate(U0, V0, colU[x - x0], colV[x - x0], side, s)) continue;
    const float alpha = pd::maskAlpha(mask, side, bilinear, s);
    if (!(alpha > 0.0f)) continue;
    float value[3];
    pd::lanczosTaps(rgbx, side, lanczos, s, value);
    pd::blend(frameRow + 3 * static_cast<std::ptrdiff_t>(x), value, alpha);
  }
}

}  // namespace simd
}  // namespace tq
#endif  // HWY_ONCE
