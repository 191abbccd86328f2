// The 4:2:0 row conversion: every compiled vector variant against the scalar
// reference, and the reference against the fixed-point formula written out here.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compute/tq_simd.h"
#include "simd_targets.h"
#include "tq_test_util.h"

namespace {

int clampByte(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

// The BT.601 limited-range formula for one pixel.
void formula(int Y, int U, int V, uint8_t* rgb) {
  const int c = 298 * (Y - 16) + 128, d = U - 128, e = V - 128;
  rgb[0] = uint8_t(clampByte((c + 409 * e) >> 8));
  rgb[1] = uint8_t(clampByte((c - 100 * d - 208 * e) >> 8));
  rgb[2] = uint8_t(clampByte((c + 516 * d) >> 8));
}

// A row in exactly sized heap buffers, so that a read past the chroma or luma a
// row needs shows under AddressSanitizer. Step 2 keeps U and V interleaved in one
// buffer as nv12 does.
struct Row {
  int width, step;
  std::vector<uint8_t> y, u, v, uv;
  Row(int w, int s, std::mt19937& rng) : width(w), step(s) {
    std::uniform_int_distribution<int> byte(0, 255);
    const int cw = (w + 1) / 2;
    y.resize(w);
    for (auto& b : y) b = uint8_t(byte(rng));
    if (s == 1) {
      u.resize(cw);
      v.resize(cw);
      for (auto& b : u) b = uint8_t(byte(rng));
      for (auto& b : v) b = uint8_t(byte(rng));
    } else {
      uv.resize(2 * cw);
      for (auto& b : uv) b = uint8_t(byte(rng));
    }
  }
  const uint8_t* U() const { return step == 1 ? u.data() : uv.data(); }
  const uint8_t* V() const { return step == 1 ? v.data() : uv.data() + 1; }
  int chromaU(int x) const { return step == 1 ? u[x / 2] : uv[(x / 2) * 2]; }
  int chromaV(int x) const { return step == 1 ? v[x / 2] : uv[(x / 2) * 2 + 1]; }
};

TEST(Yuv420Row, ScalarReferenceFollowsTheFormula) {
  std::mt19937 rng(5);
  for (int step : {1, 2}) {
    for (int w : {1, 2, 3, 7, 8, 33, 64, 101}) {
      Row r(w, step, rng);
      std::vector<uint8_t> got(3 * w + 3, 0xEE);
      tq::simd::yuv420RowToRgb24Scalar(r.y.data(), r.U(), r.V(), w, step, got.data());
      for (int x = 0; x < w; ++x) {
        uint8_t want[3];
        formula(r.y[x], r.chromaU(x), r.chromaV(x), want);
        ASSERT_EQ(0, std::memcmp(want, &got[3 * x], 3)) << "step " << step << " width " << w << " x " << x;
      }
      for (int k = 0; k < 3; ++k) EXPECT_EQ(got[3 * w + k], 0xEE) << "wrote past the row";
    }
  }
}

TEST(Yuv420Row, EveryTargetEqualsTheScalarReferenceOnRandomRows) {
  std::mt19937 rng(17);
  std::vector<int> widths;
  for (int w = 1; w <= 200; ++w) widths.push_back(w);
  for (int w : {255, 256, 257, 511, 1279, 1280, 1919, 1920, 1921}) widths.push_back(w);
  std::vector<Row> rows;
  for (int step : {1, 2})
    for (int w : widths) rows.emplace_back(w, step, rng);
  tqtest::forEachSimdTarget([&](const std::string&) {
    for (const Row& r : rows) {
      std::vector<uint8_t> want(3 * r.width), got(3 * r.width + 64, 0x5A);
      tq::simd::yuv420RowToRgb24Scalar(r.y.data(), r.U(), r.V(), r.width, r.step, want.data());
      tq::simd::yuv420RowToRgb24(r.y.data(), r.U(), r.V(), r.width, r.step, got.data());
      for (int i = 0; i < 3 * r.width; ++i)
        ASSERT_EQ(got[i], want[i]) << "step " << r.step << " width " << r.width << " byte " << i;
      for (int i = 3 * r.width; i < 3 * r.width + 64; ++i)
        ASSERT_EQ(got[i], 0x5A) << "step " << r.step << " width " << r.width << " wrote past the row";
    }
  });
}

// Every (Y, U, V) combination through every target, against the formula: rows of
// 256 pixels with Y = 0..255 over one (U, V) pair, both chroma layouts. Unoptimised
// (sanitizer) builds and emulated runs take every Y but a lattice of (U, V) pairs
// that still includes 0 and 255.
TEST(Yuv420Row, EveryTargetIsExactOnAllInputs) {
#ifdef __OPTIMIZE__
  const bool slow = tqtest::underEmulation();
#else
  const bool slow = true;
#endif
  const int uvStep = slow ? 15 : 1;
  uint8_t table[256][3];
  tqtest::forEachSimdTarget([&](const std::string&) {
    std::vector<uint8_t> y(256), cu(128), cv(128), cuv(256), rgb(3 * 256);
    for (int i = 0; i < 256; ++i) y[i] = uint8_t(i);
    for (int U = 0; U < 256; U += uvStep) {
      for (int V = 0; V < 256; V += uvStep) {
        for (int Y = 0; Y < 256; ++Y) formula(Y, U, V, table[Y]);
        std::memset(cu.data(), U, cu.size());
        std::memset(cv.data(), V, cv.size());
        for (int i = 0; i < 128; ++i) {
          cuv[2 * i] = uint8_t(U);
          cuv[2 * i + 1] = uint8_t(V);
        }
        for (int step : {1, 2}) {
          const uint8_t* u = step == 1 ? cu.data() : cuv.data();
          const uint8_t* v = step == 1 ? cv.data() : cuv.data() + 1;
          tq::simd::yuv420RowToRgb24(y.data(), u, v, 256, step, rgb.data());
          if (std::memcmp(rgb.data(), table, sizeof table) != 0) {
            for (int Y = 0; Y < 256; ++Y)
              ASSERT_EQ(0, std::memcmp(&rgb[3 * Y], table[Y], 3)) << "Y" << Y << " U" << U << " V" << V
                                                                   << " step " << step;
          }
        }
      }
    }
  });
}

}  // namespace
