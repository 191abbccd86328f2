// The 4:2:0 row conversion: the scalar reference and every compiled vector variant
// against the BT.601 fixed-point formula written out here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compute/tq_simd.h"
#include "simd_targets.h"
#include "tq_test_util.h"

namespace {

void formula(int Y, int U, int V, uint8_t* rgb) {
  const int c = 298 * (Y - 16) + 128, d = U - 128, e = V - 128;
  const auto clamp = [](int v) { return uint8_t(std::min(255, std::max(0, v >> 8))); };
  rgb[0] = clamp(c + 409 * e), rgb[1] = clamp(c - 100 * d - 208 * e), rgb[2] = clamp(c + 516 * d);
}

// A random row in exactly sized heap buffers, so a read past what the row needs shows
// under AddressSanitizer. Step 2 interleaves U and V in one buffer as nv12 does.
struct Row {
  int width, step;
  std::vector<uint8_t> y, c;  // c: U then V planes (step 1) or interleaved UV (step 2)
  Row(int w, int s, std::mt19937& rng) : width(w), step(s), y(w), c(2 * ((w + 1) / 2)) {
    for (auto& b : y) b = uint8_t(rng());
    for (auto& b : c) b = uint8_t(rng());
    if (s == 1) u_.assign(c.begin(), c.begin() + c.size() / 2), v_.assign(c.begin() + c.size() / 2, c.end());
  }
  const uint8_t* U() const { return step == 1 ? u_.data() : c.data(); }
  const uint8_t* V() const { return step == 1 ? v_.data() : c.data() + 1; }
  std::vector<uint8_t> u_, v_;
};

TEST(Yuv420Row, ScalarAndEveryTargetFollowTheFormulaOnRandomRows) {
  std::mt19937 rng(17);
  std::vector<Row> rows;
  for (int step : {1, 2}) {
    for (int w = 1; w <= 200; ++w) rows.emplace_back(w, step, rng);
    for (int w : {255, 256, 257, 511, 1279, 1919, 1920, 1921}) rows.emplace_back(w, step, rng);
  }
  const auto check = [&](bool scalar) {
    for (const Row& r : rows) {
      std::vector<uint8_t> got(3 * r.width + 64, 0x5A);
      (scalar ? tq::simd::yuv420RowToRgb24Scalar : tq::simd::yuv420RowToRgb24)(r.y.data(), r.U(), r.V(), r.width,
                                                                              r.step, got.data());
      for (int x = 0; x < r.width; ++x) {
        uint8_t want[3];
        formula(r.y[x], r.U()[x / 2 * r.step], r.V()[x / 2 * r.step], want);
        ASSERT_EQ(0, std::memcmp(want, &got[3 * x], 3)) << "step " << r.step << " width " << r.width << " x " << x;
      }
      for (int i = 3 * r.width; i < 3 * r.width + 64; ++i) ASSERT_EQ(got[i], 0x5A) << "wrote past the row";
    }
  };
  check(true);
  tqtest::forEachSimdTarget([&](const std::string&) { check(false); });
}

// Every (Y, U, V) through every target: rows of Y = 0..255 over one (U, V) pair, both
// chroma layouts. Unoptimised and emulated runs take a lattice of (U, V) with 0 and 255.
TEST(Yuv420Row, EveryTargetIsExactOnAllInputs) {
#ifdef __OPTIMIZE__
  const int uvStep = tqtest::underEmulation() ? 15 : 1;
#else
  const int uvStep = 15;
#endif
  uint8_t table[256][3];
  std::vector<uint8_t> y(256), cu(128), cv(128), cuv(256), rgb(3 * 256);
  for (int i = 0; i < 256; ++i) y[i] = uint8_t(i);
  tqtest::forEachSimdTarget([&](const std::string&) {
    for (int U = 0; U < 256; U += uvStep) {
      for (int V = 0; V < 256; V += uvStep) {
        for (int Y = 0; Y < 256; ++Y) formula(Y, U, V, table[Y]);
        std::memset(cu.data(), U, cu.size());
        std::memset(cv.data(), V, cv.size());
        for (int i = 0; i < 128; ++i) cuv[2 * i] = uint8_t(U), cuv[2 * i + 1] = uint8_t(V);
        tq::simd::yuv420RowToRgb24(y.data(), cu.data(), cv.data(), 256, 1, rgb.data());
        ASSERT_EQ(0, std::memcmp(rgb.data(), table, sizeof table)) << "planar U" << U << " V" << V;
        tq::simd::yuv420RowToRgb24(y.data(), cuv.data(), cuv.data() + 1, 256, 2, rgb.data());
        ASSERT_EQ(0, std::memcmp(rgb.data(), table, sizeof table)) << "nv12 U" << U << " V" << V;
      }
    }
  });
}

}  // namespace
