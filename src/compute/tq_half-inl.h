// Per-target binary16 widening shared by the vector kernels; include after
// <hwy/highway.h> in a file compiled for every target (foreach_target.h).
#if defined(TQ_COMPUTE_HALF_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TQ_COMPUTE_HALF_INL_H_
#undef TQ_COMPUTE_HALF_INL_H_
#else
#define TQ_COMPUTE_HALF_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace tq {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

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

// x rounded to binary16 (nearest, ties to even) and widened back.
template <class DF>
HWY_INLINE hn::VFromD<DF> RoundHalf(DF df, hn::VFromD<DF> x) {
  const hn::Rebind<hwy::float16_t, DF> dh;
  return WidenHalf(df, dh, hn::DemoteTo(dh, x));
}

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace tq
HWY_AFTER_NAMESPACE();

#endif  // TQ_COMPUTE_HALF_INL_H_
