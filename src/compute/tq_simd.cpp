// Half-float conversion kernels and the dispatch diagnostics.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/tq_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>

#include "compute/tq_simd.h"

HWY_BEFORE_NAMESPACE();
namespace tq {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void F32ToF16(const float* HWY_RESTRICT in, uint16_t* HWY_RESTRICT out, std::size_t n) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<hwy::float16_t, decltype(df)> dh;
  auto* o = reinterpret_cast<hwy::float16_t*>(out);
  const std::size_t N = hn::Lanes(df);
  std::size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(hn::DemoteTo(dh, hn::LoadU(df, in + i)), dh, o + i);
  if (i < n) {
    const std::size_t r = n - i;
    hn::StoreN(hn::DemoteTo(dh, hn::LoadN(df, in + i, r)), dh, o + i, r);
  }
}

// Targets without a hardware half conversion get Highway's emulation, which turns
// infinities into finite values; they widen through integer arithmetic instead.
#undef TQ_WIDEN_BY_BITS
#if HWY_TARGET == HWY_SSE2 || HWY_TARGET == HWY_SSSE3 || HWY_TARGET == HWY_SSE4 || \
    HWY_TARGET == HWY_EMU128 || HWY_TARGET == HWY_SCALAR
#define TQ_WIDEN_BY_BITS 1
#else
#define TQ_WIDEN_BY_BITS 0
#endif

template <class DF, class DH>
HWY_INLINE hn::VFromD<DF> WidenHalf(DF df, DH dh, hn::VFromD<DH> h) {
  (void)dh;
#if TQ_WIDEN_BY_BITS
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToUnsigned<DH> duh;
  const auto bits = hn::PromoteTo(du, hn::BitCast(duh, h));
  const auto sign = hn::ShiftLeft<16>(hn::And(bits, hn::Set(du, 0x8000u)));
  auto o = hn::ShiftLeft<13>(hn::And(bits, hn::Set(du, 0x7FFFu)));
  const auto exp = hn::And(o, hn::Set(du, 0x0F800000u));
  o = hn::Add(o, hn::Set(du, 112u << 23));  // rebias 15 -> 127
  // Infinity and NaN: push the exponent to all ones.
  o = hn::IfThenElse(hn::Eq(exp, hn::Set(du, 0x0F800000u)), hn::Add(o, hn::Set(du, 112u << 23)), o);
  // Zero and subnormals: renormalise exactly with one float subtraction.
  const auto sub = hn::BitCast(du, hn::Sub(hn::BitCast(df, hn::Add(o, hn::Set(du, 1u << 23))),
                                           hn::BitCast(df, hn::Set(du, 113u << 23))));
  o = hn::IfThenElse(hn::Eq(exp, hn::Zero(du)), sub, o);
  return hn::BitCast(df, hn::Or(o, sign));
#else
  return hn::PromoteTo(df, h);
#endif
}

void F16ToF32(const uint16_t* HWY_RESTRICT in, float* HWY_RESTRICT out, std::size_t n) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<hwy::float16_t, decltype(df)> dh;
  const auto* p = reinterpret_cast<const hwy::float16_t*>(in);
  const std::size_t N = hn::Lanes(df);
  std::size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(WidenHalf(df, dh, hn::LoadU(dh, p + i)), df, out + i);
  if (i < n) {
    const std::size_t r = n - i;
    hn::StoreN(WidenHalf(df, dh, hn::LoadN(dh, p + i, r)), df, out + i, r);
  }
}

int64_t ThisTarget() { return HWY_TARGET; }

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace tq
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tq {
namespace simd {

HWY_EXPORT(F32ToF16);
HWY_EXPORT(F16ToF32);
HWY_EXPORT(ThisTarget);

void f32ToF16(const float* in, uint16_t* out, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(F32ToF16)(in, out, n);
}

void f16ToF32(const uint16_t* in, float* out, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(F16ToF32)(in, out, n);
}

const char* targetName(int64_t bit) {
  static const char* const kKnown[] = {
      "NEON", "NEON_WITHOUT_AES", "NEON_BF16", "SVE", "SVE2", "SVE_256", "SVE2_128", "SSE2",
      "SSSE3", "SSE4", "AVX2", "AVX3", "AVX3_DL", "AVX3_ZEN4", "AVX3_SPR", "AVX10_2", "PPC8",
      "PPC9", "PPC10", "WASM", "WASM_EMU256", "Z14", "Z15", "RVV", "LSX", "LASX", "EMU128",
      "SCALAR"};
  const char* name = hwy::TargetName(bit);
  for (const char* k : kKnown)
    if (name && std::strcmp(name, k) == 0) return k;
  return "Unknown";
}

const char* dispatchedTarget() { return targetName(HWY_DYNAMIC_DISPATCH(ThisTarget)()); }

const char* target() {
  // Settle the dispatch choice first: asking for the supported mask before the
  // first dispatch can make the choice land on a different SVE width.
  (void)dispatchedTarget();
  const int64_t mask = hwy::SupportedTargets();
  if (mask == 0) return "Unknown";
  return targetName(mask & -mask);
}

}  // namespace simd
}  // namespace tq
#endif  // HWY_ONCE
