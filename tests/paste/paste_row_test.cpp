// The Lanczos paste row kernel on inputs no compositor produces: rounding that a
// fused multiply-add would change, and Q10 terms whose sum leaves int32. Every
// compiled vector variant and the scalar reference.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "compute/tq_simd.h"
#include "simd_targets.h"

namespace {

using RowFn = void (*)(const float*, int, const uint8_t*, const float*, const float*, const int*, const int*, int,
                       int, int, int, uint8_t*);

// Runs fn as the scalar reference and under every vector target.
void forEachVariant(const std::function<void(RowFn, const std::string&)>& body) {
  body(tq::simd::pasteLanczos8RowScalar, "scalar reference");
  tqtest::forEachSimdTarget([&](const std::string& t) { body(tq::simd::pasteLanczos8Row, t); });
}

// With tap weights (-0.5, w) over pixels of 201, where w * 201 rounds to exactly
// 200.5 but is really 200.4999924, separate operations give -100.5 + 200.5 = 100
// while a fused w * 201 + (-100.5) rounds to 99.9999924 and truncates to 99.
// Checked at an interior pixel (vector path) and at a border pixel.
TEST(PasteRowKernel, NoFusedMultiplyAdd) {
  const int side = 12;
  const uint32_t bits = 0x3f7f5cf9u;  // 0.99751240015...
  float w;
  std::memcpy(&w, &bits, sizeof w);
  ASSERT_EQ(w * 201.0f, 200.5f);
  std::vector<float> lanczos(256, 0.0f), bilinear(64, 0.0f);
  for (int p = 0; p < 32; ++p) {
    bilinear[2 * p] = 1.0f;     // the mask weight is the mask pixel itself
    lanczos[8 * p + 3] = 1.0f;  // identity, except phase 5
  }
  lanczos[8 * 5 + 3] = -0.5f;
  lanczos[8 * 5 + 4] = w;
  std::vector<float> rgbx(4 * side * side);
  for (size_t i = 0; i < rgbx.size(); ++i) rgbx[i] = i % 4 == 3 ? 0.0f : 201.0f;
  const std::vector<uint8_t> mask(side * side, 255);
  const std::vector<int> colU = {(4 << 10) + (5 << 5), (1 << 10) + (5 << 5)}, colV = {4 << 10, 0};
  forEachVariant([&](RowFn fn, const std::string& name) {
    std::vector<uint8_t> frame(6, 7);
    fn(rgbx.data(), side, mask.data(), lanczos.data(), bilinear.data(), colU.data(), colV.data(), 0, 0, 0, 1,
       frame.data());
    EXPECT_EQ(frame, std::vector<uint8_t>(6, 100)) << name;
  });
}

TEST(PasteRowKernel, ExtremeTermsAreSkippedWithoutOverflow) {
  // INT_MAX + INT_MAX wraps in int32 to -2, a border pixel of the crop: the sum
  // must be taken wide and the pixel skipped.
  std::vector<float> lanczos(256, 0.125f), bilinear(64, 0.5f), rgbx(4 * 64, 100.0f);
  const std::vector<uint8_t> mask(64, 255);
  const int big = std::numeric_limits<int>::max();
  const std::vector<int> colU = {big, big}, colV = {big, 0};
  forEachVariant([&](RowFn fn, const std::string& name) {
    std::vector<uint8_t> frame(6, 7);
    fn(rgbx.data(), 8, mask.data(), lanczos.data(), bilinear.data(), colU.data(), colV.data(), big, big, 0, 1,
       frame.data());
    EXPECT_EQ(frame, std::vector<uint8_t>(6, 7)) << name;
  });
}

}  // namespace
