// Paste compositor: construction refusals, the environment overrides, placements
// that paste nothing and the side limit. What a paste computes is held against
// the numpy compositor in paste_reference_test.cpp.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "paste/tq_paste.h"
#include "tq_test_util.h"

namespace {

using tq::Paste;
using tq::Unsharp;

const Unsharp kDefault{1.3f, 2.0f, 13};

std::vector<uint8_t> fullMask(int side) { return std::vector<uint8_t>(size_t(side) * side, 255); }

TEST(PasteConstruction, RefusesInconsistentArguments) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const struct {
    int maskBytes, side;
    Unsharp u;
    const char* message;  // empty: accepted
  } cases[] = {
      {15, 4, kDefault, "paste: mask size"},
      {17, 4, kDefault, "paste: mask size"},
      {64, 8, {1.3f, 2.0f, 4}, "paste: ksize must be odd"},
      {64, 8, {1.3f, 2.0f, 0}, "paste: ksize must be odd"},
      {64, 8, {1.3f, 2.0f, -3}, "paste: ksize -3 must be at least 1"},
      {0, 0, kDefault, "paste: side 0 must be at least 1"},
      // Reflect-101 padding mirrors ksize / 2 pixels; it needs that many beyond each edge.
      {16, 4, {1.3f, 2.0f, 9}, "paste: ksize 9 too wide for side 4 (at most 2 * side - 1 taps)"},
      {1, 1, {1.3f, 2.0f, 3}, "paste: ksize 3 too wide for side 1 (at most 2 * side - 1 taps)"},
      {16, 4, {1.3f, 2.0f, 7}, ""},
      {1, 1, {1.3f, 2.0f, 1}, ""},
      // A zero or non-finite sigma makes the Gaussian 0/0; a non-finite amount poisons every pixel.
      {64, 8, {1.3f, 0.0f, 3}, "paste: sigma 0 must be positive and finite"},
      {64, 8, {1.3f, -1.0f, 3}, "paste: sigma -1 must be positive and finite"},
      {64, 8, {1.3f, nan, 3}, "paste: sigma nan must be positive and finite"},
      {64, 8, {1.3f, inf, 3}, "paste: sigma inf must be positive and finite"},
      {64, 8, {nan, 2.0f, 3}, "paste: amount nan must be finite"},
      {64, 8, {-0.5f, 2.0f, 3}, ""},  // negative amounts soften
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
  } cases[] = {{nullptr, nullptr, 0, 7}, {"1", "5", 1, 5},  {"2", "3", 2, 3},   {"2x", "5junk", 2, 5},
               {"0", "7", 0, 7},         {"3", "4", 0, 7},  {"-1", "1", 0, 7},  {"-2", "9", 0, 7},
               {"", "-5", 0, 7},         {"fast", "", 0, 7}, {"1", " 3", 1, 3}, {"2", "99999999999999999999", 2, 7}};
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
      {"wholly right", {1, 0, W + 4.5f, 0, 1, 5}},
      {"wholly above", {1, 0, 5, 0, 1, -side - 4.5f}},
      {"wholly left, rotated", {0, 1.5f, -side * 1.5f - 8, -1.5f, 0, 30}},
      {"wholly below and right", {1, 0, 200, 0, 1, 300}},
      {"singular", {1, 2, 10, 2, 4, 10}},
      {"zero", {0, 0, 10, 0, 0, 10}},
      {"NaN", {1, 0, nan, 0, 1, 5}},
      {"infinite", {inf, 0, 5, 0, 1, 5}},
      // The inverse of these leaves the fixed-point range over the paste
      // rectangle (crop coordinates beyond 2^19 pixels): treated as singular.
      {"vanishing", {1e-6f, 0, 20, 0, 1e-6f, 20}},
      {"nearly singular", {1, 1, 20, 1, 1.0f + 1.0f / 1048576, 20}},
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

}  // namespace
