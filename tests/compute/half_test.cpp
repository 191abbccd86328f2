// Scalar half-float conversions against the compiler's own IEEE binary16 type.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "compute/tq_simd.h"

// The compiler's own IEEE binary16 type, the independent oracle. GCC before 13
// has no _Float16 in C++ on aarch64, but __fp16 there is the same IEEE format.
#if defined(__aarch64__) && defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
using IeeeHalf = __fp16;
#define TQ_HAVE_IEEE_HALF 1
#elif defined(__FLT16_MAX__)
using IeeeHalf = _Float16;
#define TQ_HAVE_IEEE_HALF 1
#endif

namespace {

float bitsToFloat(uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

TEST(HalfScalar, RoundingAndRangeEdges) {
  struct Case {
    float in;
    uint16_t out;
  } cases[] = {
      {65504.0f, 0x7BFF},                            // largest half
      {65520.0f, 0x7C00},                            // rounds up to infinity
      {-65520.0f, 0xFC00},
      {1.0f + std::ldexp(1.0f, -11), 0x3C00},        // tie, even stays
      {1.0f + 3 * std::ldexp(1.0f, -11), 0x3C02},    // tie, odd rounds up
      {std::ldexp(1.0f, -25), 0x0000},               // half of the smallest subnormal: tie to 0
      {std::ldexp(1.0f, -24), 0x0001},               // smallest subnormal
      {std::ldexp(3.0f, -25), 0x0002},               // 1.5 units: tie to even (2)
      {std::ldexp(1.0f, -14) - std::ldexp(1.0f, -25), 0x0400},  // subnormal carry into normal
      {2047.0f / 1024.0f * 32768.0f + 16.0f, 0x7C00},           // fraction carry into infinity
      {-0.0f, 0x8000},
      {std::numeric_limits<float>::infinity(), 0x7C00},
      {-std::numeric_limits<float>::infinity(), 0xFC00},
      {std::ldexp(1.0f, -40), 0x0000},
  };
  for (const auto& c : cases) EXPECT_EQ(tq::f32ToF16(c.in), c.out) << "input " << c.in;
  EXPECT_EQ(tq::f32ToF16(std::numeric_limits<float>::quiet_NaN()), 0x7C00);
  EXPECT_EQ(tq::f32ToF16(-std::numeric_limits<float>::quiet_NaN()), 0xFC00);
}

TEST(HalfScalar, WideningIsExactForEveryHalf) {
  for (uint32_t h = 0; h < 0x10000; ++h) {
    const float f = tq::halfToFloat(static_cast<uint16_t>(h));
    const bool nan = ((h >> 10) & 0x1F) == 0x1F && (h & 0x3FF);
    if (nan) {
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
    // Every finite half survives the narrowing back unchanged.
    EXPECT_EQ(tq::f32ToF16(f), h) << std::hex << h;
  }
}

#ifdef TQ_HAVE_IEEE_HALF
TEST(HalfScalar, NarrowingMatchesIeeeOnRandomFloats) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> bits;
  for (int i = 0; i < 2000000; ++i) {
    // Bias towards the half range so subnormal and rounding paths are hit often.
    uint32_t b = bits(rng);
    if (i & 1) b = (b & 0x807FFFFFu) | ((90u + (b >> 24) % 60u) << 23);
    const float x = bitsToFloat(b);
    if (std::isnan(x)) continue;
    const IeeeHalf ref = static_cast<IeeeHalf>(x);
    uint16_t rb;
    std::memcpy(&rb, &ref, 2);
    ASSERT_EQ(tq::f32ToF16(x), rb) << std::hexfloat << x;
  }
}
#endif

}  // namespace
