// The teeth-pass kernels: every compiled variant against the scalar reference bit for
// bit (odd sizes, zeros, rounding ties); the reference against numpy's float16
// formulas, exactly; the convolution against ONNX Runtime's own Conv operator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "compute/tq_simd.h"
#include "render/tq_ort.h"
#include "simd_targets.h"
#include "tq_test_util.h"

namespace {

namespace ts = tq::simd;

bool same(float a, float b) { return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, 4) == 0; }

// Halves in 0..1 as in the pass (half uniform, half random bit patterns below 1.0,
// which makes rounding ties frequent), with a sprinkling of zeros.
std::vector<uint16_t> halves(std::mt19937& rng, size_t n) {
  std::vector<uint16_t> v(n);
  for (auto& x : v) x = rng() % 5 == 0 ? 0 : rng() & 1 ? tq::f32ToF16((rng() % 1024) / 1023.0f) : rng() % 0x3C00;
  return v;
}

std::vector<float> floats(std::mt19937& rng, size_t n, float zeroShare) {
  std::vector<float> v(n);
  std::uniform_real_distribution<float> u(-2.0f, 2.0f), p(0.0f, 1.0f);
  // Every third value an exact tie between two adjacent halves.
  for (size_t i = 0; i < n; ++i) {
    const uint16_t h = tq::f32ToF16(u(rng));
    v[i] = p(rng) < zeroShare ? 0.0f : i % 3 ? u(rng) : (tq::halfToFloat(h) + tq::halfToFloat(h + 1)) / 2;
  }
  return v;
}

struct ConvShape {
  int n, cin, h, w, cout;
};
const ConvShape kConvShapes[] = {{3, 7, 9, 13, 16}, {2, 16, 6, 33, 16}, {1, 1, 1, 1, 1}, {2, 3, 4, 67, 5}, {1, 2, 3, 2, 7}};

TEST(TeethKernels, EveryTargetEqualsTheScalarReference) {
  std::mt19937 rng(5);
  const size_t sizes[] = {0, 1, 3, 17, 67, 300, 1001};
  tqtest::forEachSimdTarget([&](const std::string&) {
    for (size_t n : sizes) {
      SCOPED_TRACE("n " + std::to_string(n));
      std::vector<uint8_t> rgb(3 * n);
      for (auto& b : rgb) b = uint8_t(rng());
      std::vector<uint16_t> got(3 * n + 5, 0xABCD), want(got);
      ts::rgb8ToPlanarF16(rgb.data(), got.data(), n + 1, n);
      ts::rgb8ToPlanarF16Scalar(rgb.data(), want.data(), n + 1, n);
      ASSERT_EQ(got, want);  // the gap between planes and the tail are untouched in both

      const auto a = halves(rng, 3 * n), b = halves(rng, 3 * n), wh = halves(rng, n);
      const auto wf = floats(rng, n, 0.3f);
      ASSERT_TRUE(same(ts::retrieveTermPooled(a.data(), b.data(), wh.data(), n),
                       ts::retrieveTermPooledScalar(a.data(), b.data(), wh.data(), n)));
      ASSERT_TRUE(same(ts::retrieveTermExact(a.data(), b.data(), wf.data(), n),
                       ts::retrieveTermExactScalar(a.data(), b.data(), wf.data(), n)));
      for (size_t i0 : {size_t(0), n / 3})
        for (size_t i1 : {n / 2, n, n + 9})
          ASSERT_TRUE(same(ts::retrieveTermExactRange(a.data(), b.data(), wf.data(), n, i0, i1),
                           ts::retrieveTermExactRangeScalar(a.data(), b.data(), wf.data(), n, i0, i1)));

      const auto x = floats(rng, n, 0.1f), y = floats(rng, n, 0.0f);
      std::vector<float> mo(n + 1, -9.0f), mw(n + 1, -9.0f), inPlace(x);
      inPlace.push_back(-9.0f);
      ts::roundF16Mul(x.data(), y.data(), mo.data(), n);
      ts::roundF16MulScalar(x.data(), y.data(), mw.data(), n);
      ts::roundF16Mul(inPlace.data(), y.data(), inPlace.data(), n);
      ASSERT_EQ(0, std::memcmp(mo.data(), mw.data(), (n + 1) * 4));
      ASSERT_EQ(0, std::memcmp(inPlace.data(), mw.data(), (n + 1) * 4));

      std::vector<float> rg(x), sh = floats(rng, n, 0.0f);
      rg.push_back(-9.0f);  // past the end: stays untouched
      for (size_t i = 0; i < n; i += 7) rg[i] = std::numeric_limits<float>::quiet_NaN();
      std::vector<float> rw(rg);
      const float* shared[] = {sh.data(), nullptr};
      for (const float* shp : shared) {
        ts::addRelu(rg.data(), shp, n);
        ts::addReluScalar(rw.data(), shp, n);
        ASSERT_EQ(0, std::memcmp(rg.data(), rw.data(), (n + 1) * 4));  // NaN became 0 in both
      }
    }
    for (const ConvShape& s : kConvShapes) {
      const size_t plane = size_t(s.h) * s.w, pairs = size_t(s.n) * s.cout;
      const auto in = floats(rng, s.n * s.cin * plane, 0.1f), wt = floats(rng, s.cout * s.cin * 9, 0.1f);
      const auto bias = floats(rng, s.cout, 0.0f);
      // Ranges that start and end inside an image's channels; pairs outside stay untouched.
      for (size_t begin : {size_t(0), size_t(3), pairs / 2})
        for (size_t end : {pairs, pairs - pairs / 3, pairs + 4}) {
          std::vector<float> got(pairs * plane, -7.0f), want(got);
          for (const float* bp : {bias.data(), static_cast<const float*>(nullptr)}) {
            ts::conv3x3Range(in.data(), s.n, s.cin, s.h, s.w, wt.data(), bp, s.cout, got.data(), begin, end);
            ts::conv3x3RangeScalar(in.data(), s.n, s.cin, s.h, s.w, wt.data(), bp, s.cout, want.data(), begin, end);
            ASSERT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4))
                << s.n << "x" << s.cin << "x" << s.h << "x" << s.w << "->" << s.cout << " [" << begin << "," << end << ")";
          }
        }
    }
  });
}

TEST(TeethKernels, ReferenceMatchesNumpyFloat16Formulas) {
  tqtest::TempDir dir;
  ASSERT_TRUE(tqtest::runFixtureTool({"teeth-kernel-reference", dir.path()}));
  const auto rd = [&](const char* name) { return dir / name; };
  const size_t rgbN = 1001, poolN = 777, mulN = 1003;  // the sizes the tool writes

  const auto rgb = tqtest::readBytes(rd("rgb.u8"));
  const auto rgbRef = tqtest::readAs<uint16_t>(rd("rgb_ref.f16"));
  ASSERT_EQ(rgb.size(), 3 * rgbN);
  std::vector<uint16_t> planes(3 * rgbN);
  ts::rgb8ToPlanarF16Scalar(rgb.data(), planes.data(), rgbN, rgbN);
  EXPECT_EQ(planes, rgbRef);

  const auto a = tqtest::readAs<uint16_t>(rd("pool_a.f16")), b = tqtest::readAs<uint16_t>(rd("pool_b.f16"));
  const auto wh = tqtest::readAs<uint16_t>(rd("pool_wh.f16"));
  const auto wf = tqtest::readAs<float>(rd("pool_wf.f32")), ref = tqtest::readAs<float>(rd("pool_ref.f32"));
  ASSERT_EQ(a.size(), 3 * poolN);
  ASSERT_EQ(ref.size(), 2u);
  EXPECT_EQ(ts::retrieveTermPooledScalar(a.data(), b.data(), wh.data(), poolN), ref[0]);
  EXPECT_EQ(ts::retrieveTermExactScalar(a.data(), b.data(), wf.data(), poolN), ref[1]);

  const auto x = tqtest::readAs<float>(rd("mul_a.f32")), y = tqtest::readAs<float>(rd("mul_b.f32"));
  const auto mulRef = tqtest::readAs<float>(rd("mul_ref.f32"));
  ASSERT_EQ(x.size(), mulN);
  std::vector<float> out(mulN);
  ts::roundF16MulScalar(x.data(), y.data(), out.data(), mulN);
  EXPECT_EQ(0, std::memcmp(out.data(), mulRef.data(), mulN * 4));
}

TEST(TeethKernels, ConvolutionMatchesOnnxRuntimeConv) {
  tqtest::TempDir dir;
  std::mt19937 rng(9);
  tq::ortInit();
  for (const ConvShape& s : kConvShapes) {
    const std::string model = dir / "conv.onnx";
    ASSERT_TRUE(tqtest::runFixtureTool({"conv3x3-graph", model, "--n", std::to_string(s.n), "--cin",
                                        std::to_string(s.cin), "--h", std::to_string(s.h), "--w",
                                        std::to_string(s.w), "--cout", std::to_string(s.cout)}));
    const size_t plane = size_t(s.h) * s.w, pairs = size_t(s.n) * s.cout;
    auto in = floats(rng, s.n * s.cin * plane, 0.1f), wt = floats(rng, s.cout * s.cin * 9, 0.0f);
    auto bias = floats(rng, s.cout, 0.0f);
    std::vector<float> want(pairs * plane), got(pairs * plane);
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(1);
    auto session = tq::makeSession(model, so);
    const int64_t xs[] = {s.n, s.cin, s.h, s.w}, ws[] = {s.cout, s.cin, 3, 3}, bs[] = {s.cout},
                  ys[] = {s.n, s.cout, s.h, s.w};
    const auto& mem = tq::ortCpuMemory();
    Ort::Value inputs[] = {Ort::Value::CreateTensor<float>(mem, in.data(), in.size(), xs, 4),
                           Ort::Value::CreateTensor<float>(mem, wt.data(), wt.size(), ws, 4),
                           Ort::Value::CreateTensor<float>(mem, bias.data(), bias.size(), bs, 1)};
    Ort::Value y = Ort::Value::CreateTensor<float>(mem, want.data(), want.size(), ys, 4);
    const char* inNames[] = {"X", "W", "B"};
    const char* outNames[] = {"Y"};
    tq::ortRun(*session, inNames, inputs, 3, outNames, &y, 1);
    // Two ranges that split an image's channels cover every pair.
    ts::conv3x3Range(in.data(), s.n, s.cin, s.h, s.w, wt.data(), bias.data(), s.cout, got.data(), 0, pairs / 2 + 1);
    ts::conv3x3Range(in.data(), s.n, s.cin, s.h, s.w, wt.data(), bias.data(), s.cout, got.data(), pairs / 2 + 1, pairs);
    for (size_t i = 0; i < got.size(); ++i)
      ASSERT_NEAR(got[i], want[i], 1e-5 * std::max(1.0f, std::fabs(want[i])))
          << s.n << "x" << s.cin << "x" << s.h << "x" << s.w << "->" << s.cout << " at " << i;
  }
}

}  // namespace
