// Paste compositor: construction refusals, the environment overrides, placements
// that paste nothing, the side limit, and the Lanczos row kernel on inputs no
// compositor produces (every vector variant and the scalar reference). What a
// paste computes is held against the numpy compositor in paste_reference_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "compute/tq_simd.h"
#include "paste/tq_paste.h"
#include "simd_targets.h"
#include "tq_test_util.h"

namespace {

using tq::Paste, tq::Unsharp;

const Unsharp kDefault{1.3f, 2.0f, 13};

std::vector<uint8_t> fullMask(int side) { return std::vector<uint8_t>(size_t(side) * side, 255); }

TEST(PasteConstruction, RefusesInconsistentArguments) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const struct {
    int maskBytes, side;
    Unsharp u;
    const char* message;  // empty: accepted
  } cases[] = {
      {15, 4, kDefault, "paste: mask size"}, {17, 4, kDefault, "paste: mask size"},
      {64, 8, {1.3f, 2.0f, 4}, "paste: ksize must be odd"}, {64, 8, {1.3f, 2.0f, 0}, "paste: ksize must be odd"},
      {64, 8, {1.3f, 2.0f, -3}, "paste: ksize -3 must be at least 1"}, {0, 0, kDefault, "paste: side 0 must be at least 1"},
      // Reflect-101 padding mirrors ksize / 2 pixels; it needs that many beyond each edge.
      {16, 4, {1.3f, 2.0f, 9}, "paste: ksize 9 too wide for side 4 (at most 2 * side - 1 taps)"},
      {1, 1, {1.3f, 2.0f, 3}, "paste: ksize 3 too wide for side 1 (at most 2 * side - 1 taps)"},
      {16, 4, {1.3f, 2.0f, 7}, ""}, {1, 1, {1.3f, 2.0f, 1}, ""}, {64, 8, {-0.5f, 2.0f, 3}, ""},  // negative amounts soften
      // A zero or non-finite sigma makes the Gaussian 0/0; a non-finite amount poisons every pixel.
      {64, 8, {1.3f, 0.0f, 3}, "paste: sigma 0 must be positive and finite"},
      {64, 8, {1.3f, -1.0f, 3}, "paste: sigma -1 must be positive and finite"},
      {64, 8, {1.3f, nan, 3}, "paste: sigma nan must be positive and finite"},
      {64, 8, {1.3f, inf, 3}, "paste: sigma inf must be positive and finite"},
      {64, 8, {nan, 2.0f, 3}, "paste: amount nan must be finite"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(tqtest::thrown([&] { Paste(std::vector<uint8_t>(c.maskBytes, 1), c.side, c.u); }),
              *c.message ? c.message : "(nothing thrown)");
}

// TQ_PASTE_FAST picks the resampler only for 1 or 2; TQ_PASTE_KSIZE narrows the
// kernel only to an odd value from 3 up to the configured one.
TEST(PasteEnvironment, OverridesAcceptOnlyTheirValidValues) {
  const struct {
    const char *fast, *ksize;
    int mode, taps;
  } cases[] = {{nullptr, nullptr, 0, 7}, {"1", "5", 1, 5}, {"2", "3", 2, 3}, {"2x", "5junk", 2, 5}, {"0", "7", 0, 7},
               {"3", "4", 0, 7}, {"-1", "1", 0, 7}, {"-2", "9", 0, 7}, {"", "-5", 0, 7}, {"fast", "", 0, 7},
               {"1", " 3", 1, 3}, {"2", "99999999999999999999", 2, 7}};
  for (const auto& c : cases) {
    tqtest::ScopedEnv f("TQ_PASTE_FAST", c.fast), k("TQ_PASTE_KSIZE", c.ksize);
    const Paste p(fullMask(12), 12, {1.3f, 2.0f, 7});
    EXPECT_EQ(p.mode, c.mode) << (c.fast ? c.fast : "(unset)");
    EXPECT_EQ(p.ksize, c.taps) << (c.ksize ? c.ksize : "(unset)");
    EXPECT_EQ(p.gauss.size(), size_t(c.taps));
  }
}

TEST(PasteInvariants, PlacementsWithNothingToPasteLeaveTheFrameUntouched) {
  const int side = 16, W = 50, H = 40;
  const std::vector<float> crop(3 * side * side, 0.7f);
  const std::vector<uint8_t> frame0(W * H * 3, 77);
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    const char* name;
    float M[6];
  } cases[] = {
      {"wholly right", {1, 0, W + 4.5f, 0, 1, 5}}, {"wholly above", {1, 0, 5, 0, 1, -side - 4.5f}},
      {"wholly left, rotated", {0, 1.5f, -side * 1.5f - 8, -1.5f, 0, 30}}, {"far away", {1, 0, 200, 0, 1, 300}},
      {"singular", {1, 2, 10, 2, 4, 10}}, {"zero", {0, 0, 10, 0, 0, 10}}, {"NaN", {1, 0, nan, 0, 1, 5}},
      {"infinite", {inf, 0, 5, 0, 1, 5}},
      // The inverse of these leaves the fixed-point range over the paste
      // rectangle (crop coordinates beyond 2^19 pixels): treated as singular.
      {"vanishing", {1e-6f, 0, 20, 0, 1e-6f, 20}}, {"nearly singular", {1, 1, 20, 1, 1.0f + 1.0f / 1048576, 20}},
  };
  Paste p(fullMask(side), side, kDefault);
  for (const auto& t : cases) {
    std::vector<uint8_t> frame = frame0;
    EXPECT_NO_THROW(p.composite(crop.data(), 255.0f, t.M, frame.data(), W, H)) << t.name;
    EXPECT_EQ(frame, frame0) << t.name;
  }
  std::vector<uint8_t> one(3, 1);  // an empty frame is nothing to paste into
  const float M[6] = {1, 0, 0, 0, 1, 0};
  p.composite(crop.data(), 255.0f, M, one.data(), 0, 0);
  EXPECT_EQ(one, std::vector<uint8_t>(3, 1));
}

// The vertical pass keeps one row of sums on the stack: 1024 pixels is the
// widest crop, and a wider one is refused before the frame is touched.
TEST(PasteInvariants, SideLimit) {
  for (const int side : {1024, 1025}) {
    if (side == 1024 && tqtest::underEmulation()) continue;  // too slow there
    Paste p(fullMask(side), side, {1.3f, 2.0f, 5});
    const std::vector<float> crop(3 * size_t(side) * side, 0.5f);
    std::vector<uint8_t> frame(64 * 64 * 3, 3);
    const float M[6] = {1, 0, -500, 0, 1, -500};
    EXPECT_EQ(tqtest::thrown([&] { p.composite(crop.data(), 255.0f, M, frame.data(), 64, 64); }),
              side == 1024 ? "(nothing thrown)" : "paste: side > 1024");
    EXPECT_EQ(frame[0], side == 1024 ? uint8_t(p.planes[0][500 * side + 500]) : 3);
  }
}

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
  for (int p = 0; p < 32; ++p) bilinear[2 * p] = lanczos[8 * p + 3] = 1.0f;  // mask weight = mask pixel; identity taps
  lanczos[8 * 5 + 3] = -0.5f, lanczos[8 * 5 + 4] = w;  // but phase 5
  std::vector<float> rgbx(4 * side * side, 201.0f);  // the unused fourth lane is never read into the result
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
