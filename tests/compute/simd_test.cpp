// Half-float conversions: the scalar references against the compiler's own IEEE
// binary16 type, and every compiled vector variant against the scalar references.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "compute/tq_simd.h"
#include "simd_targets.h"

// GCC before 13 has no _Float16 in C++ on aarch64, but __fp16 there is the same IEEE format.
#if defined(__aarch64__) && defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
using IeeeHalf = __fp16;
#define TQ_HAVE_IEEE_HALF 1
#elif defined(__FLT16_MAX__)
using IeeeHalf = _Float16;
#define TQ_HAVE_IEEE_HALF 1
#endif

namespace {

bool isNanHalf(uint32_t h) { return ((h >> 10) & 0x1F) == 0x1F && (h & 0x3FF); }

// Random floats biased into the half range, so subnormal, tie and overflow paths are hit often.
std::vector<float> narrowingInputs(int n) {
  std::vector<float> v = {0.0f, -0.0f, 65504.0f, 65520.0f, -65520.0f, std::ldexp(1.0f, -25),
                          std::ldexp(3.0f, -25), std::numeric_limits<float>::infinity()};
  std::mt19937 rng(7);
  for (int i = 0; i < n; ++i) {
    uint32_t b = rng();
    if (i & 1) b = (b & 0x807FFFFFu) | ((90u + (b >> 24) % 60u) << 23);
    float f;
    std::memcpy(&f, &b, 4);
    if (!std::isnan(f)) v.push_back(f);
  }
  return v;
}

TEST(HalfScalar, NarrowingRoundsToNearestEven) {
  const struct {
    float in;
    uint16_t out;
  } cases[] = {{65504.0f, 0x7BFF}, {65520.0f, 0x7C00}, {-65520.0f, 0xFC00}, {1.0f + std::ldexp(1.0f, -11), 0x3C00},
               {1.0f + 3 * std::ldexp(1.0f, -11), 0x3C02}, {std::ldexp(1.0f, -25), 0}, {std::ldexp(1.0f, -24), 1},
               {std::ldexp(3.0f, -25), 2}, {std::ldexp(1.0f, -14) - std::ldexp(1.0f, -25), 0x0400},
               {-0.0f, 0x8000}, {-std::numeric_limits<float>::infinity(), 0xFC00}, {std::ldexp(1.0f, -40), 0}};
  for (const auto& c : cases) EXPECT_EQ(tq::f32ToF16(c.in), c.out) << "input " << c.in;
  EXPECT_EQ(tq::f32ToF16(-std::numeric_limits<float>::quiet_NaN()), 0xFC00);
#ifdef TQ_HAVE_IEEE_HALF
  for (float x : narrowingInputs(2000000)) {
    const IeeeHalf ref = static_cast<IeeeHalf>(x);
    uint16_t rb;
    std::memcpy(&rb, &ref, 2);
    ASSERT_EQ(tq::f32ToF16(x), rb) << std::hexfloat << x;
  }
#endif
}

TEST(HalfScalar, WideningIsExactForEveryHalf) {
  for (uint32_t h = 0; h < 0x10000; ++h) {
    const float f = tq::halfToFloat(static_cast<uint16_t>(h));
    if (isNanHalf(h)) {
      EXPECT_TRUE(std::isnan(f)) << std::hex << h;
      continue;
    }
#ifdef TQ_HAVE_IEEE_HALF
    IeeeHalf ref;
    const uint16_t hb = static_cast<uint16_t>(h);
    std::memcpy(&ref, &hb, 2);
    const float rf = static_cast<float>(ref);
    EXPECT_EQ(std::memcmp(&f, &rf, 4), 0) << std::hex << h;
#endif
    EXPECT_EQ(tq::f32ToF16(f), h) << std::hex << h;  // and narrows back unchanged
  }
}

TEST(SimdHalf, EveryTargetConvertsLikeTheScalarReference) {
  const std::vector<float> in = narrowingInputs(200000);
  std::vector<uint16_t> ref(in.size()), all(0x10000);
  for (size_t i = 0; i < in.size(); ++i) ref[i] = tq::f32ToF16(in[i]);
  for (uint32_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint16_t>(i);
  std::vector<float> wide(all.size());
  tq::halfToFloat(all.data(), wide.data(), all.size());
  tqtest::forEachSimdTarget([&](const std::string&) {
    // Odd lengths and an unaligned start exercise the partial tails; the guard catches overruns.
    for (size_t n : {size_t(0), size_t(1), size_t(3), size_t(17), size_t(67), in.size()}) {
      std::vector<uint16_t> out(n + 1, 0xABCD);
      tq::simd::f32ToF16(in.data(), out.data(), n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], ref[i]) << "n " << n << " x " << in[i];
      ASSERT_EQ(out[n], 0xABCD) << "wrote past the end, n " << n;
    }
    const float nan = std::numeric_limits<float>::quiet_NaN();
    uint16_t h = 0;
    tq::simd::f32ToF16(&nan, &h, 1);
    EXPECT_TRUE(isNanHalf(h));
    for (size_t off : {size_t(0), size_t(5)}) {
      const size_t n = all.size() - off - 3;
      std::vector<float> out(n + 1, -7.0f);
      tq::simd::f16ToF32(all.data() + off, out.data(), n);
      for (size_t i = 0; i < n; ++i) {
        if (isNanHalf(all[off + i])) ASSERT_TRUE(std::isnan(out[i]));
        else ASSERT_EQ(std::memcmp(&out[i], &wide[off + i], 4), 0) << std::hex << all[off + i];
      }
      ASSERT_EQ(out[n], -7.0f);
    }
  });
}

TEST(SimdDispatch, WithoutAMockTheBestCompiledTargetRuns) {
  EXPECT_NE(std::string(tq::simd::target()), "Unknown");
  const std::string dispatched = tq::simd::dispatchedTarget();
  EXPECT_EQ(dispatched, tq::simd::targetName(hwy::SupportedAndGeneratedTargets().front()));
  if (const char* want = std::getenv("TQ_EXPECT_SIMD_BEST")) EXPECT_EQ(dispatched, want);
}

}  // namespace
