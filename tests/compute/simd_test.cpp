// The vector kernels: half-float conversions (scalar references against the compiler's own
// IEEE binary16 type, every compiled variant against them) and the 4:2:0 row conversion
// (scalar reference and every variant against the BT.601 formula written out here).
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "compute/tq_simd.h"
#include "simd_targets.h"
#include "tq_test_util.h"

// GCC before 13 has no _Float16 in C++ on aarch64, but __fp16 there is the same IEEE format.
#if defined(__aarch64__) && defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
using IeeeHalf = __fp16;
#elif defined(__FLT16_MAX__)
using IeeeHalf = _Float16;
#else
#error "the half-float tests need the compiler's IEEE binary16 type"
#endif

namespace {

bool isNanHalf(uint32_t h) { return ((h >> 10) & 0x1F) == 0x1F && (h & 0x3FF); }

// Random floats, every other one in and around the half range so that subnormal, tie
// and overflow paths are hit often.
std::vector<float> narrowingInputs(int n) {
  std::vector<float> v = {-0.0f, 65520.0f, -std::numeric_limits<float>::infinity()};
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

TEST(HalfScalar, NarrowingAndWideningMatchIeee) {
  for (float x : narrowingInputs(2000000)) {
    const IeeeHalf ref = static_cast<IeeeHalf>(x);
    uint16_t rb;
    std::memcpy(&rb, &ref, 2);
    ASSERT_EQ(tq::f32ToF16(x), rb) << std::hexfloat << x;
  }
  EXPECT_EQ(tq::f32ToF16(-std::numeric_limits<float>::quiet_NaN()), 0xFC00);
  for (uint32_t h = 0; h < 0x10000; ++h) {
    const uint16_t hb = static_cast<uint16_t>(h);
    IeeeHalf ref;
    std::memcpy(&ref, &hb, 2);
    const float f = tq::halfToFloat(hb), rf = static_cast<float>(ref);
    if (isNanHalf(h)) {
      EXPECT_TRUE(std::isnan(f)) << std::hex << h;
    } else {
      EXPECT_EQ(std::memcmp(&f, &rf, 4), 0) << std::hex << h;
      EXPECT_EQ(tq::f32ToF16(f), h) << std::hex << h;  // and narrows back unchanged
    }
  }
}

TEST(SimdHalf, EveryTargetConvertsLikeTheScalarReference) {
  const std::vector<float> in = narrowingInputs(200000);
  std::vector<uint16_t> ref(in.size()), all(0x10000);
  for (size_t i = 0; i < in.size(); ++i) ref[i] = tq::f32ToF16(in[i]);
  for (uint32_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint16_t>(i);
  std::vector<float> wide(all.size());
  tq::halfToFloat(all.data(), wide.data(), all.size());
  const float nan = std::numeric_limits<float>::quiet_NaN();
  tqtest::forEachSimdTarget([&](const std::string&) {
    // Odd lengths and an unaligned start exercise the partial tails; the guard catches overruns.
    for (size_t n : {size_t(0), size_t(1), size_t(3), size_t(17), size_t(67), in.size()}) {
      std::vector<uint16_t> out(n + 1, 0xABCD);
      tq::simd::f32ToF16(in.data(), out.data(), n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], ref[i]) << "n " << n << " x " << in[i];
      ASSERT_EQ(out[n], 0xABCD) << "wrote past the end, n " << n;
    }
    uint16_t h = 0;
    tq::simd::f32ToF16(&nan, &h, 1);
    EXPECT_TRUE(isNanHalf(h));
    // The round trip with subnormal halves flushed to their signed zero, in place.
    for (size_t n : {size_t(5), in.size()}) {
      std::vector<float> out(in.begin(), in.begin() + n);
      out.push_back(-7.0f);
      tq::simd::roundThroughF16(out.data(), out.data(), n);
      for (size_t i = 0; i < n; ++i) {
        const uint16_t r = (ref[i] & 0x7C00u) ? ref[i] : uint16_t(ref[i] & 0x8000u);
        const float want = tq::halfToFloat(r);
        ASSERT_EQ(std::memcmp(&out[i], &want, 4), 0) << "n " << n << " x " << in[i];
      }
      ASSERT_EQ(out[n], -7.0f);
    }
    for (size_t off : {size_t(0), size_t(5)}) {
      const size_t n = all.size() - off - 3;
      std::vector<float> out(n + 1, -7.0f);
      tq::simd::f16ToF32(all.data() + off, out.data(), n);
      for (size_t i = 0; i < n; ++i)
        ASSERT_TRUE(isNanHalf(all[off + i]) ? std::isnan(out[i]) : !std::memcmp(&out[i], &wide[off + i], 4)) << i;
      ASSERT_EQ(out[n], -7.0f);
    }
  });
  // Without a mock the best target both supported and compiled in runs.
  EXPECT_STRNE(tq::simd::target(), "Unknown");
  EXPECT_EQ(std::string(tq::simd::dispatchedTarget()), tq::simd::targetName(hwy::SupportedAndGeneratedTargets()[0]));
  const char* want = std::getenv("TQ_EXPECT_SIMD_BEST");
  EXPECT_STREQ(tq::simd::dispatchedTarget(), want ? want : tq::simd::dispatchedTarget());
}

void formula(int Y, int U, int V, uint8_t* rgb) {
  const int c = 298 * (Y - 16) + 128, d = U - 128, e = V - 128;
  const auto clamp = [](int v) { return uint8_t(std::min(255, std::max(0, v >> 8))); };
  rgb[0] = clamp(c + 409 * e), rgb[1] = clamp(c - 100 * d - 208 * e), rgb[2] = clamp(c + 516 * d);
}

// Rows from every (U, V) start in both chroma layouts: pixel x has Y = x mod 256 and
// chroma stepping from (U, V) by odd strides, so over all starts every pixel position sees
// every (Y, U, V). A long (256..319) and a short (1..255) row per start put every tail
// length at the end of exactly sized heap rows, where a read past what the row needs shows
// under AddressSanitizer; a guard catches writes past the row. Unoptimised and emulated
// runs take a lattice of starts.
TEST(Yuv420Row, ScalarAndEveryTargetFollowTheFormulaOnEveryInput) {
#ifdef __OPTIMIZE__
  const int stride = tqtest::underEmulation() ? 15 : 1;
#else
  const int stride = 15;
#endif
  const auto check = [&](decltype(&tq::simd::yuv420RowToRgb24) convert) {
    for (int U = 0; U < 256; U += stride)
      for (int V = 0; V < 256; V += stride)
        for (const int w : {256 + (U + 3 * V) % 64, 1 + (U + 5 * V) % 255}) {
          const int cw = (w + 1) / 2;
          std::vector<uint8_t> y(w), u(cw), v(cw), uv(2 * cw), got(3 * w + 64);
          for (int x = 0; x < w; ++x) y[x] = uint8_t(x);
          for (int j = 0; j < cw; ++j) uv[2 * j] = u[j] = uint8_t(U + 37 * j), uv[2 * j + 1] = v[j] = uint8_t(V + 91 * j);
          for (int step : {1, 2}) {
            std::fill(got.begin(), got.end(), 0x5A);
            convert(y.data(), step == 1 ? u.data() : uv.data(), step == 1 ? v.data() : uv.data() + 1, w, step,
                    got.data());
            for (int x = 0; x < w; ++x) {
              uint8_t want[3];
              formula(y[x], u[x / 2], v[x / 2], want);
              ASSERT_TRUE(std::equal(want, want + 3, &got[3 * x])) << "step " << step << " width " << w << " x " << x;
            }
            ASSERT_EQ(std::count(got.begin() + 3 * w, got.end(), 0x5A), 64) << "wrote past the row, width " << w;
          }
        }
  };
  check(tq::simd::yuv420RowToRgb24Scalar);
  tqtest::forEachSimdTarget([&](const std::string&) { check(tq::simd::yuv420RowToRgb24); });
}

}  // namespace
