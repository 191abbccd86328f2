// The int8 convolution's vector kernels: every compiled target against the scalar reference.
#include "render/int8conv_simd.h"
#include "render_test_util.h"
#include "simd_targets.h"

namespace {

using rtest::randomValues;

TEST(Int8ConvVNNI, EveryVectorTargetEqualsTheScalarReference) {
  std::mt19937 rng(5);
  std::vector<float> x = randomValues(4 * 1031, -3.0f, 2.0f, rng);
  for (std::size_t i = 0; i < x.size(); i += 17) x[i] = std::nearbyint(x[i] * 8) / 8 + 0.5f / 8;  // ties at s = 1/8
  x[3] = std::numeric_limits<float>::quiet_NaN(), x[40] = std::numeric_limits<float>::infinity();
  x[41] = -std::numeric_limits<float>::infinity(), x[42] = 1e30f, x[43] = -1e30f;
  const float* rows[4] = {x.data(), x.data() + 1031, x.data() + 2062, x.data() + 3093};
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> q(40000);
  std::vector<int8_t> w(9 * 5 * 64);
  for (auto& v : q) v = uint8_t(byte(rng));
  for (auto& v : w) v = int8_t(byte(rng) - 128);
  q[0] = q[1] = q[2] = q[3] = 255, w[0] = w[1] = w[2] = w[3] = -128;
  const std::vector<std::ptrdiff_t> taps = {0, 4, 8, 800, 804, 808, 1600, 1604, 1608};
  const std::vector<int32_t> correction = {0, 5, -7, 1 << 20, 3, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  // Even channels map the sums to floats exactly (k 1, bias 0), so those compare the sums themselves.
  std::vector<float> k = randomValues(16, 1e-4f, 1e-2f, rng), bias = randomValues(16, -1, 1, rng);
  for (int o = 0; o < 16; o += 2) k[o] = 1.0f, bias[o] = 0.0f;
  tqtest::forEachSimdTarget([&](const std::string&) {
    for (std::size_t n : {0, 1, 7, 64, 1031}) {
      for (std::size_t from : {std::size_t(0), std::size_t(44)}) {  // with and without NaN and infinities
        float lo, hi, rlo, rhi;
        tq::simd::int8Range(x.data() + from, n - std::min(n, from), &lo, &hi);
        tq::simd::int8RangeScalar(x.data() + from, n - std::min(n, from), &rlo, &rhi);
        EXPECT_TRUE(lo == rlo && hi == rhi) << n << " " << from;
      }
      for (const auto& [s, zp] : {std::pair<float, float>{0.125f, 37.0f}, {0.0137f, 0.0f}, {1e-30f, 255.0f}}) {
        std::vector<uint8_t> a(4 * n), b(4 * n);
        tq::simd::int8QuantiseQuad(rows, n, s, zp, a.data());
        tq::simd::int8QuantiseQuadScalar(rows, n, s, zp, b.data());
        EXPECT_EQ(a, b) << n << " " << s;
      }
    }
    for (int stride : {1, 2})
      for (int pixels : {1, 13, 32, 64})
        for (int ocs : {16, 7}) {
          std::vector<float> a(16 * 64, -1.0f), b(a);
          tq::simd::Int8RowArgs r{q.data(), 8000, stride, taps.data(), 9, 5, w.data(), ocs, correction.data(),
                                  k.data(), bias.data(), a.data(), 64, pixels};
          tq::simd::int8ConvRow(r);
          r.y = b.data();
          tq::simd::int8ConvRowScalar(r);
          EXPECT_EQ(a, b) << stride << " " << pixels << " " << ocs;
        }
  });
}

}  // namespace
