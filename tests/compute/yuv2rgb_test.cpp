// The 4:2:0 row conversion: the scalar reference and every compiled vector variant
// against the BT.601 fixed-point formula written out here.
#include <gtest/gtest.h>

#include <algorithm>
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
