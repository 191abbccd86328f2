// Every compiled variant of the half-float kernels against the scalar references.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <hwy/targets.h>

#include "compute/tq_simd.h"
#include "simd_targets.h"

namespace {

bool isNanHalf(uint16_t h) { return ((h >> 10) & 0x1F) == 0x1F && (h & 0x3FF); }

std::vector<float> narrowingInputs() {
  std::vector<float> v = {0.0f, -0.0f, 1.0f, -1.0f, 65504.0f, 65519.99f, 65520.0f, 1e9f, -1e9f,
                          std::ldexp(1.0f, -24), std::ldexp(1.0f, -25), std::ldexp(3.0f, -25),
                          std::ldexp(1.0f, -14), 1.0f + std::ldexp(1.0f, -11),
                          1.0f + 3 * std::ldexp(1.0f, -11),
                          std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::denorm_min()};
  std::mt19937 rng(11);
  std::uniform_int_distribution<uint32_t> bits;
  for (int i = 0; i < 200000; ++i) {
    uint32_t b = bits(rng);
    b = (b & 0x807FFFFFu) | ((95u + (b >> 24) % 50u) << 23);  // around the half range
    float f;
    std::memcpy(&f, &b, 4);
    v.push_back(f);
  }
  return v;
}

TEST(SimdHalf, EveryTargetNarrowsLikeTheScalarReference) {
  const std::vector<float> in = narrowingInputs();
  std::vector<uint16_t> ref(in.size());
  for (size_t i = 0; i < in.size(); ++i) ref[i] = tq::f32ToF16(in[i]);
  tqtest::forEachSimdTarget([&](const std::string&) {
    // Odd lengths and offsets exercise the partial tail.
    for (size_t n : {size_t(0), size_t(1), size_t(3), size_t(17), size_t(67), in.size()}) {
      std::vector<uint16_t> out(n + 1, 0xABCD);
      tq::simd::f32ToF16(in.data(), out.data(), n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], ref[i]) << "n " << n << " i " << i << " x " << in[i];
      ASSERT_EQ(out[n], 0xABCD) << "wrote past the end, n " << n;
    }
    const float nan = std::numeric_limits<float>::quiet_NaN();
    uint16_t h = 0;
    tq::simd::f32ToF16(&nan, &h, 1);
    EXPECT_TRUE(isNanHalf(h));
  });
}

TEST(SimdHalf, EveryTargetWidensEveryHalfExactly) {
  std::vector<uint16_t> all(0x10000);
  for (uint32_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint16_t>(i);
  std::vector<float> ref(all.size());
  tq::halfToFloat(all.data(), ref.data(), all.size());
  tqtest::forEachSimdTarget([&](const std::string&) {
    for (size_t off : {size_t(0), size_t(5)}) {
      const size_t n = all.size() - off - 3;  // unaligned start, odd tail
      std::vector<float> out(n + 1, -7.0f);
      tq::simd::f16ToF32(all.data() + off, out.data(), n);
      for (size_t i = 0; i < n; ++i) {
        const uint16_t h = all[off + i];
        if (isNanHalf(h)) {
          ASSERT_TRUE(std::isnan(out[i])) << std::hex << h;
          continue;
        }
        ASSERT_EQ(std::memcmp(&out[i], &ref[off + i], 4), 0) << std::hex << h;
      }
      ASSERT_EQ(out[n], -7.0f);
    }
  });
}

TEST(SimdDispatch, TargetNamesAreTheLibrarysNames) {
  const std::string best = tq::simd::target();
  EXPECT_NE(best, "Unknown");
  // Without a mock, dispatch runs the best target that is both supported and compiled in
  // (the processor may support a better one this compiler cannot build).
  const std::string dispatched = tq::simd::dispatchedTarget();
  EXPECT_EQ(dispatched, tq::simd::targetName(hwy::SupportedAndGeneratedTargets().front()));
  if (const char* want = std::getenv("TQ_EXPECT_SIMD_BEST")) {
    EXPECT_EQ(dispatched, want);
  }
}

}  // namespace
