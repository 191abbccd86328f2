// 4:2:0 row to interleaved RGB24, one variant per vector target.
//
// The fixed-point formula (c = 298 (Y - 16) + 128, R = (c + 409 e) >> 8, ...) needs
// more than 16 bits, but each product splits into a multiple of 256 and a rest:
//   298 y + 409 e + 128       = 256 (y + e)  + (42 y + 153 e + 128)
//   298 y - 100 d - 208 e + 128 = 256 (y - e)  + (42 y - 100 d + 48 e + 128)
//   298 y + 516 d + 128       = 256 (y + 2d) + (42 y + 4 d + 128)
// with y = Y - 16, d = U - 128, e = V - 128. The rests stay within int16 for every
// 8-bit input (-20128 .. 29597), and floor((256 k + r) / 256) = k + (r >> 8), so
// the vector variants work on 16-bit lanes and still give the exact values.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/tq_yuv2rgb_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "compute/tq_simd.h"

#ifndef TQ_YUV2RGB_SCALAR_ONCE
#define TQ_YUV2RGB_SCALAR_ONCE
namespace tq {
namespace simd {
namespace detail {

inline uint8_t clampByte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Pixels [x0, width) of a row, one at a time.
inline void yuvRowTail(const uint8_t* y, const uint8_t* u, const uint8_t* v, int x0, int width,
                       int chromaStep, uint8_t* rgb) {
  for (int x = x0; x < width; ++x) {
    const int ci = (x / 2) * chromaStep;
    const int c = 298 * (static_cast<int>(y[x]) - 16) + 128;
    const int d = static_cast<int>(u[ci]) - 128;
    const int e = static_cast<int>(v[ci]) - 128;
    uint8_t* o = rgb + 3 * static_cast<std::ptrdiff_t>(x);
    o[0] = clampByte((c + 409 * e) >> 8);
    o[1] = clampByte((c - 100 * d - 208 * e) >> 8);
    o[2] = clampByte((c + 516 * d) >> 8);
  }
}

}  // namespace detail
}  // namespace simd
}  // namespace tq
#endif

HWY_BEFORE_NAMESPACE();
namespace tq {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Lane j of the result is p[j / 2] (planar chroma, one byte per sample).
template <class DI16>
HWY_INLINE hn::VFromD<DI16> ChromaPlanar(DI16 di16, const uint8_t* HWY_RESTRICT p) {
  const hn::Rebind<uint8_t, DI16> d8;                       // N bytes
  const hn::Repartition<uint16_t, decltype(d8)> d16h;       // N/2 words
  const hn::Rebind<uint8_t, decltype(d16h)> d8q;            // N/2 bytes
  const auto c = hn::PromoteTo(d16h, hn::LoadU(d8q, p));
  const auto dup = hn::Or(c, hn::ShiftLeft<8>(c));          // bytes c, c
  return hn::PromoteTo(di16, hn::BitCast(d8, dup));
}

// Lane j of the result is p[(j / 2) * 2] (one component of interleaved chroma);
// reads p[0 .. N-1].
template <class DI16>
HWY_INLINE hn::VFromD<DI16> ChromaInterleaved(DI16 di16, const uint8_t* HWY_RESTRICT p) {
  const hn::Rebind<uint8_t, DI16> d8;
  const hn::Repartition<uint16_t, decltype(d8)> d16h;
  const auto c = hn::And(hn::BitCast(d16h, hn::LoadU(d8, p)), hn::Set(d16h, 0x00FF));
  const auto dup = hn::Or(c, hn::ShiftLeft<8>(c));
  return hn::PromoteTo(di16, hn::BitCast(d8, dup));
}

struct Rgb16 {
  template <class V>
  HWY_INLINE static void Convert(V Y, V U, V V_, V& R, V& G, V& B) {
    const hn::DFromV<V> d;
    const V y = hn::Sub(Y, hn::Set(d, 16));
    const V dd = hn::Sub(U, hn::Set(d, 128));
    const V e = hn::Sub(V_, hn::Set(d, 128));
    const V t = hn::Add(hn::Mul(y, hn::Set(d, 42)), hn::Set(d, 128));
    R = hn::Add(hn::Add(y, e), hn::ShiftRight<8>(hn::Add(t, hn::Mul(e, hn::Set(d, 153)))));
    const V gr = hn::Add(hn::Mul(dd, hn::Set(d, -100)), hn::Mul(e, hn::Set(d, 48)));
    G = hn::Add(hn::Sub(y, e), hn::ShiftRight<8>(hn::Add(t, gr)));
    B = hn::Add(hn::Add(y, hn::Add(dd, dd)), hn::ShiftRight<8>(hn::Add(t, hn::ShiftLeft<2>(dd))));
  }
};

void Yuv420RowToRgb24(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
                      const uint8_t* HWY_RESTRICT v, int width, int chromaStep,
                      uint8_t* HWY_RESTRICT rgb) {
  const hn::ScalableTag<uint8_t> d8;                        // one step: N8 pixels
  const hn::Repartition<int16_t, decltype(d8)> di16;        // half a step per vector
  const hn::Rebind<uint8_t, decltype(di16)> d8h;
  const int N8 = static_cast<int>(hn::Lanes(d8));
  const int N16 = static_cast<int>(hn::Lanes(di16));

  int x = 0;
  if (chromaStep == 1 || chromaStep == 2) {
    // Interleaved chroma reads one byte past the last sample it uses; stop before
    // that byte could lie beyond the row.
    const int limit = chromaStep == 1 ? width : ((width - 1) / 2) * 2 + 1;
    for (; x + N8 <= limit; x += N8) {
      hn::VFromD<decltype(di16)> Ulo, Uhi, Vlo, Vhi;
      if (chromaStep == 1) {
        Ulo = ChromaPlanar(di16, u + x / 2);
        Uhi = ChromaPlanar(di16, u + (x + N16) / 2);
        Vlo = ChromaPlanar(di16, v + x / 2);
        Vhi = ChromaPlanar(di16, v + (x + N16) / 2);
      } else {
        Ulo = ChromaInterleaved(di16, u + x);
        Uhi = ChromaInterleaved(di16, u + x + N16);
        Vlo = ChromaInterleaved(di16, v + x);
        Vhi = ChromaInterleaved(di16, v + x + N16);
      }
      const auto Ylo = hn::PromoteTo(di16, hn::LoadU(d8h, y + x));
      const auto Yhi = hn::PromoteTo(di16, hn::LoadU(d8h, y + x + N16));
      hn::VFromD<decltype(di16)> Rlo, Glo, Blo, Rhi, Ghi, Bhi;
      Rgb16::Convert(Ylo, Ulo, Vlo, Rlo, Glo, Blo);
      Rgb16::Convert(Yhi, Uhi, Vhi, Rhi, Ghi, Bhi);
      hn::StoreInterleaved3(hn::OrderedDemote2To(d8, Rlo, Rhi), hn::OrderedDemote2To(d8, Glo, Ghi),
                            hn::OrderedDemote2To(d8, Blo, Bhi), d8,
                            rgb + 3 * static_cast<std::ptrdiff_t>(x));
    }
  }
  detail::yuvRowTail(y, u, v, x, width, chromaStep, rgb);
}

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace tq
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tq {
namespace simd {

HWY_EXPORT(Yuv420RowToRgb24);

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,
                      uint8_t* rgb) {
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24)(y, u, v, width, chromaStep, rgb);
}

void yuv420RowToRgb24Scalar(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width,
                            int chromaStep, uint8_t* rgb) {
  detail::yuvRowTail(y, u, v, 0, width, chromaStep, rgb);
}

}  // namespace simd
}  // namespace tq
#endif  // HWY_ONCE
