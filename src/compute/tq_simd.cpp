// Half-float conversion kernels and the dispatch diagnostics.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/tq_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>

#include "compute/tq_simd.h"
#include "compute/tq_half-inl.h"

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

// Narrow to binary16, flush subnormal halves to their signed zero, widen back;
// `in` may be `out`.
void RoundThroughF16(const float* in, float* out, std::size_t n) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<hwy::float16_t, decltype(df)> dh;
  const hn::RebindToUnsigned<decltype(dh)> du;
  const auto exponent = hn::Set(du, 0x7C00u), sign = hn::Set(du, 0x8000u);
  const auto round = [&](hn::VFromD<decltype(df)> v) {
    const auto bits = hn::BitCast(du, hn::DemoteTo(dh, v));
    const auto kept = hn::IfThenElse(hn::Eq(hn::And(bits, exponent), hn::Zero(du)), hn::And(bits, sign), bits);
    return WidenHalf(df, dh, hn::BitCast(dh, kept));
  };
  const std::size_t N = hn::Lanes(df);
  std::size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(round(hn::LoadU(df, in + i)), df, out + i);
  if (i < n) {
    const std::size_t r = n - i;
    hn::StoreN(round(hn::LoadN(df, in + i, r)), df, out + i, r);
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
HWY_EXPORT(RoundThroughF16);
HWY_EXPORT(ThisTarget);

void f32ToF16(const float* in, uint16_t* out, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(F32ToF16)(in, out, n);
}

void f16ToF32(const uint16_t* in, float* out, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(F16ToF32)(in, out, n);
}

void roundThroughF16(const float* in, float* out, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(RoundThroughF16)(in, out, n);
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
