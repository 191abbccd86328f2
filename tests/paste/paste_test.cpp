// Paste compositor: construction checks and refusals, the environment overrides,
// the weight tables, and invariants of composite that hold whatever the
// resampling details (transparent mask, identity taps, clipping at the frame
// border, singular and out-of-range transforms, the side limit).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "paste/tq_paste.h"
#include "tq_test_util.h"

namespace {

using tq::Paste;
using tq::Unsharp;

const Unsharp kDefault{1.3f, 2.0f, 13};

std::vector<float> randomCrop(int side, std::mt19937& rng, float lo = 0.0f, float hi = 1.0f) {
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> c(3 * static_cast<size_t>(side) * side);
  for (auto& v : c) v = u(rng);
  return c;
}

std::vector<uint8_t> randomBytes(size_t n, std::mt19937& rng) {
  std::uniform_int_distribution<int> b(0, 255);
  std::vector<uint8_t> v(n);
  for (auto& x : v) x = static_cast<uint8_t>(b(rng));
  return v;
}

std::vector<uint8_t> fullMask(int side, uint8_t v) {
  return std::vector<uint8_t>(static_cast<size_t>(side) * side, v);
}

// ------------------------------------------------------------------ construction

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

// ------------------------------------------------------------------ environment

TEST(PasteEnvironment, KsizeOverrideAcceptsOnlySmallerOddValuesFromThree) {
  tqtest::ScopedEnv f("TQ_PASTE_FAST", nullptr);
  const struct {
    const char* value;
    int ksize;
  } cases[] = {{nullptr, 7}, {"5", 5}, {"3", 3}, {"7", 7}, {"4", 7}, {"1", 7}, {"9", 7},
               {"-5", 7},    {"", 7},  {"abc", 7}, {"5junk", 5}, {" 3", 3}, {"99999999999999999999", 7}};
  for (const auto& c : cases) {
    tqtest::ScopedEnv k("TQ_PASTE_KSIZE", c.value);
    Paste p(fullMask(12, 255), 12, {1.3f, 2.0f, 7});
    EXPECT_EQ(p.gauss.size(), static_cast<size_t>(c.ksize)) << (c.value ? c.value : "(unset)");
    double sum = 0;
    for (float g : p.gauss) sum += g;
    EXPECT_NEAR(sum, 1.0, 1e-6);
  }
}

// A rotated, scaled paste of a random crop into a random frame with the given mode.
std::vector<uint8_t> pasteOnce(int side, const float* M, int W, int H, uint8_t* modeOut = nullptr) {
  std::mt19937 rng(77);
  const std::vector<float> crop = randomCrop(side, rng);
  std::vector<uint8_t> frame = randomBytes(static_cast<size_t>(W) * H * 3, rng);
  Paste p(fullMask(side, 255), side, {1.3f, 2.0f, 5});
  if (modeOut) *modeOut = p.mode;
  p.composite(crop.data(), 255.0f, M, frame.data(), W, H);
  return frame;
}

TEST(PasteEnvironment, FastModeSelectsOnlyOneOrTwo) {
  tqtest::ScopedEnv k("TQ_PASTE_KSIZE", nullptr);
  const float c = std::cos(0.3f) * 1.17f, s = std::sin(0.3f) * 1.17f;
  const float M[6] = {c, -s, 20.3f, s, c, 6.8f};
  const int W = 64, H = 56, side = 32;
  std::vector<uint8_t> lanczos, byMode[3];
  {
    tqtest::ScopedEnv f("TQ_PASTE_FAST", nullptr);
    lanczos = pasteOnce(side, M, W, H);
  }
  struct Case {
    const char* value;
    int mode;
  };
  const Case cases[] = {{"0", 0}, {"1", 1}, {"2", 2}, {"3", 0}, {"-1", 0}, {"-2", 0}, {"", 0}, {"fast", 0}, {"2x", 2}};
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.value);
    tqtest::ScopedEnv f("TQ_PASTE_FAST", cs.value);
    uint8_t mode = 99;
    const std::vector<uint8_t> out = pasteOnce(side, M, W, H, &mode);
    EXPECT_EQ(mode, cs.mode);
    if (cs.mode == 0) {
      EXPECT_EQ(out, lanczos) << "a value other than 1 or 2 left the Lanczos path";
    }
    byMode[cs.mode] = out;
  }
  // The three paths really are different resamplers.
  EXPECT_NE(byMode[1], byMode[0]);
  EXPECT_NE(byMode[2], byMode[0]);
  EXPECT_NE(byMode[2], byMode[1]);
}

TEST(PasteEnvironment, ReadOncePerObjectAtConstruction) {
  std::unique_ptr<Paste> p;
  {
    tqtest::ScopedEnv k("TQ_PASTE_KSIZE", "5"), f("TQ_PASTE_FAST", "2");
    p.reset(new Paste(fullMask(16, 255), 16, {1.3f, 2.0f, 9}));
  }
  tqtest::ScopedEnv k("TQ_PASTE_KSIZE", "7"), f("TQ_PASTE_FAST", "1");
  std::mt19937 rng(3);
  const auto crop = randomCrop(16, rng);
  std::vector<uint8_t> frame(40 * 40 * 3, 9);
  const float M[6] = {1.1f, 0.1f, 5.0f, -0.1f, 1.1f, 6.0f};
  p->composite(crop.data(), 255.0f, M, frame.data(), 40, 40);
  EXPECT_EQ(p->mode, 2);
  EXPECT_EQ(p->gauss.size(), 5u);
}

// ------------------------------------------------------------------ invariants

struct Transform {
  const char* name;
  float M[6];
};

std::vector<Transform> someTransforms(int side) {
  const float c = std::cos(0.4f), s = std::sin(0.4f);
  const float h = side * 0.5f;
  return {
      {"translation", {1, 0, 10.25f, 0, 1, 7.5f}},
      {"rotation and scale", {1.2f * c, -1.2f * s, 20, 1.2f * s, 1.2f * c, 3}},
      {"shrink with mirror", {-0.7f, 0.05f, 30 + h, 0.1f, 0.65f, 12}},
      {"partly outside", {0.9f, 0.3f, -h, -0.3f, 0.9f, 40}},
  };
}

TEST(PasteInvariants, TransparentMaskLeavesTheFrameBitIdentical) {
  const int side = 24, W = 70, H = 60;
  std::mt19937 rng(11);
  const auto crop = randomCrop(side, rng, -0.2f, 1.2f);
  const std::vector<uint8_t> frame0 = randomBytes(W * H * 3, rng);
  for (const char* mode : {"0", "1", "2"}) {
    tqtest::ScopedEnv f("TQ_PASTE_FAST", mode);
    Paste p(fullMask(side, 0), side, kDefault);
    for (const Transform& t : someTransforms(side)) {
      SCOPED_TRACE(std::string("mode ") + mode + ", " + t.name);
      std::vector<uint8_t> frame = frame0;
      p.composite(crop.data(), 255.0f, t.M, frame.data(), W, H);
      EXPECT_EQ(frame, frame0);
    }
  }
}

// Whole-pixel translation: every frame pixel samples phase 0, where all three
// kernels are the identity, and an opaque mask gives alpha exactly 1.
TEST(PasteInvariants, WholePixelTranslationReproducesTheSharpenedCrop) {
  const int side = 32, W = 80, H = 64;
  std::mt19937 rng(13);
  const auto crop = randomCrop(side, rng, -0.1f, 1.1f);
  const std::vector<uint8_t> frame0 = randomBytes(W * H * 3, rng);
  const int offsets[][2] = {{5, 9}, {0, 0}, {-7, -3}, {W - side / 2, H - 10}};
  for (const char* mode : {"0", "1", "2"}) {
    tqtest::ScopedEnv f("TQ_PASTE_FAST", mode);
    Paste p(fullMask(side, 255), side, kDefault);
    for (const auto& o : offsets) {
      SCOPED_TRACE(std::string("mode ") + mode + " offset " + std::to_string(o[0]) + "," + std::to_string(o[1]));
      const float M[6] = {1, 0, float(o[0]), 0, 1, float(o[1])};
      std::vector<uint8_t> frame = frame0;
      p.composite(crop.data(), 255.0f, M, frame.data(), W, H);
      int pasted = 0;
      for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
          const int u = x - o[0], v = y - o[1];
          const bool inside = u >= 0 && u < side && v >= 0 && v < side;
          for (int c = 0; c < 3; ++c) {
            const size_t at = (static_cast<size_t>(y) * W + x) * 3 + c;
            if (inside) {
              const float want = p.planes[c][v * side + u];
              ASSERT_EQ(frame[at], static_cast<uint8_t>(static_cast<int>(want))) << x << "," << y << " c" << c;
            } else {
              ASSERT_EQ(frame[at], frame0[at]) << "outside the crop " << x << "," << y;
            }
          }
          pasted += inside;
        }
      }
      EXPECT_GT(pasted, 0);
    }
  }
}

// With scale 2 every Q10 term is exact, so the paste into a frame equals the
// matching window of the same paste into a larger frame: clipping at the frame
// border changes nothing but what is visible.
TEST(PasteInvariants, PartlyOutsidePastesExactlyTheVisiblePart) {
  const int side = 24, W = 48, H = 40, m = 40;
  std::mt19937 rng(14);
  const auto crop = randomCrop(side, rng);
  const auto mask = randomBytes(side * side, rng);
  const std::vector<uint8_t> big0 = randomBytes((W + 2 * m) * (H + 2 * m) * 3, rng);
  std::vector<uint8_t> small0(W * H * 3);
  for (int y = 0; y < H; ++y)
    std::memcpy(&small0[y * W * 3], &big0[((y + m) * (W + 2 * m) + m) * 3], W * 3);
  const float places[][6] = {{2, 0, -20.5f, 0, 2, -10.25f},   // top-left corner
                             {0, -2, W + 10.5f, 2, 0, 8.0f},   // rotated 90 degrees, right edge
                             {-2, 0, 20.0f, 0, 2, H - 12.75f}}; // mirrored, bottom edge
  for (const char* mode : {"0", "1", "2"}) {
    tqtest::ScopedEnv f("TQ_PASTE_FAST", mode);
    Paste p(mask, side, kDefault);
    for (const auto& M : places) {
      SCOPED_TRACE(std::string("mode ") + mode + " tx " + std::to_string(M[2]));
      std::vector<uint8_t> small = small0, big = big0;
      p.composite(crop.data(), 255.0f, M, small.data(), W, H);
      const float Mb[6] = {M[0], M[1], M[2] + m, M[3], M[4], M[5] + m};
      p.composite(crop.data(), 255.0f, Mb, big.data(), W + 2 * m, H + 2 * m);
      int changedInside = 0, changedOutside = 0;
      for (int y = 0; y < H + 2 * m; ++y)
        for (int x = 0; x < W + 2 * m; ++x) {
          const size_t at = (static_cast<size_t>(y) * (W + 2 * m) + x) * 3;
          const bool diff = std::memcmp(&big[at], &big0[at], 3) != 0;
          const bool in = x >= m && x < m + W && y >= m && y < m + H;
          (in ? changedInside : changedOutside) += diff;
          if (in) {
            ASSERT_EQ(0, std::memcmp(&small[((y - m) * W + (x - m)) * 3], &big[at], 3)) << x - m << "," << y - m;
          }
        }
      EXPECT_GT(changedInside, 0);
      EXPECT_GT(changedOutside, 0) << "the placement was meant to cross the frame border";
    }
  }
}

TEST(PasteInvariants, NoOpPlacementsLeaveTheFrameUntouched) {
  const int side = 16, W = 50, H = 40;
  std::mt19937 rng(15);
  const auto crop = randomCrop(side, rng);
  const std::vector<uint8_t> frame0 = randomBytes(W * H * 3, rng);
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const Transform cases[] = {
      {"wholly right", {1, 0, W + 4.5f, 0, 1, 5}},
      {"wholly above", {1, 0, 5, 0, 1, -side - 4.5f}},
      {"wholly left, rotated", {0, 1.5f, -side * 1.5f - 8, -1.5f, 0, 30}},
      {"wholly below and right", {1, 0, 200, 0, 1, 300}},
      {"singular", {1, 2, 10, 2, 4, 10}},
      {"zero", {0, 0, 10, 0, 0, 10}},
      {"rank one", {1, 1, 5, 0, 0, 5}},
      {"NaN", {1, 0, nan, 0, 1, 5}},
      {"infinite", {inf, 0, 5, 0, 1, 5}},
      // The inverse of these leaves the fixed-point range over the paste
      // rectangle (crop coordinates beyond 2^19 pixels): treated as singular.
      {"vanishing", {1e-6f, 0, 20, 0, 1e-6f, 20}},
      {"nearly singular", {1, 1, 20, 1, 1.0f + 1.0f / 1048576, 20}},
  };
  for (const char* mode : {"0", "1", "2"}) {
    tqtest::ScopedEnv f("TQ_PASTE_FAST", mode);
    Paste p(fullMask(side, 255), side, kDefault);
    for (const Transform& t : cases) {
      SCOPED_TRACE(std::string("mode ") + mode + ", " + t.name);
      std::vector<uint8_t> frame = frame0;
      EXPECT_NO_THROW(p.composite(crop.data(), 255.0f, t.M, frame.data(), W, H));
      EXPECT_EQ(frame, frame0);
    }
    // An empty frame is nothing to paste into.
    std::vector<uint8_t> one(3, 1);
    const float M[6] = {1, 0, 0, 0, 1, 0};
    p.composite(crop.data(), 255.0f, M, one.data(), 0, 0);
    EXPECT_EQ(one, std::vector<uint8_t>(3, 1));
  }
}

TEST(PasteInvariants, StrongShrinkStillPastesInsideTheFootprint) {
  // Not every small placement is treated as degenerate: a 1/20 shrink pastes.
  const int side = 64, W = 40, H = 40;
  std::vector<float> crop(3 * side * side, 1.0f);
  std::vector<uint8_t> frame(W * H * 3, 0);
  Paste p(fullMask(side, 255), side, kDefault);
  const float M[6] = {0.05f, 0, 20, 0, 0.05f, 20};
  p.composite(crop.data(), 255.0f, M, frame.data(), W, H);
  EXPECT_GT(frame[(21 * W + 21) * 3], 200);  // samples crop (20, 20)
  EXPECT_EQ(frame[(10 * W + 10) * 3], 0);
}

TEST(PasteInvariants, HugeMagnificationPaintsOneCropPixel) {
  // Crop pixel (0, 0) covers the whole frame; every frame pixel samples it at phase 0.
  const int side = 16, W = 30, H = 20;
  std::mt19937 rng(19);
  const auto crop = randomCrop(side, rng);
  std::vector<uint8_t> frame = randomBytes(W * H * 3, rng);
  Paste p(fullMask(side, 255), side, kDefault);
  const float M[6] = {1e30f, 0, 5, 0, 1e30f, 5};
  p.composite(crop.data(), 255.0f, M, frame.data(), W, H);
  for (int i = 0; i < W * H; ++i)
    for (int c = 0; c < 3; ++c)
      ASSERT_EQ(frame[i * 3 + c], static_cast<uint8_t>(static_cast<int>(p.planes[c][0]))) << i;
}

TEST(PasteInvariants, NonFiniteCropValuesStayInRange) {
  const int side = 16;
  std::mt19937 rng(16);
  auto crop = randomCrop(side, rng);
  crop[5 * side + 5] = std::numeric_limits<float>::quiet_NaN();
  crop[side * side + 3] = std::numeric_limits<float>::infinity();
  crop[2 * side * side + 100] = -std::numeric_limits<float>::infinity();
  std::vector<uint8_t> frame(40 * 40 * 3, 128);
  Paste p(fullMask(side, 255), side, {1.3f, 2.0f, 5});
  const float M[6] = {1.1f, 0.2f, 10, -0.2f, 1.1f, 12};
  p.composite(crop.data(), 255.0f, M, frame.data(), 40, 40);
  for (const auto& pl : p.planes)
    for (float v : pl) ASSERT_TRUE(v >= 0.0f && v <= 255.0f) << v;
  // The non-finite value spreads over its blur window and becomes 0 there.
  EXPECT_EQ(p.planes[0][5 * side + 5], 0.0f);
}

TEST(PasteInvariants, SideAboveTheLimitFailsAtTheFirstComposite) {
  const int side = 1025;
  Paste p(fullMask(side, 255), side, kDefault);  // construction alone is fine
  std::vector<float> crop(3 * static_cast<size_t>(side) * side, 0.5f);
  std::vector<uint8_t> frame(64 * 64 * 3, 3);
  const float M[6] = {0.05f, 0, 2, 0, 0.05f, 2};
  EXPECT_EQ(tqtest::thrown([&] { p.composite(crop.data(), 255.0f, M, frame.data(), 64, 64); }),
            "paste: side > 1024");
  EXPECT_EQ(frame, std::vector<uint8_t>(64 * 64 * 3, 3));
  EXPECT_EQ(tqtest::thrown([&] { p.unsharpPlane(p.planes[0]); }), "paste: side > 1024");
}

TEST(PasteInvariants, SideAtTheLimitWorks) {
  if (tqtest::underEmulation()) GTEST_SKIP() << "a 1024 crop is too slow under emulation";
  const int side = 1024;
  Paste p(fullMask(side, 255), side, {1.3f, 2.0f, 5});
  std::vector<float> crop(3 * static_cast<size_t>(side) * side, 0.5f);
  std::vector<uint8_t> frame(64 * 64 * 3, 3);
  const float M[6] = {1, 0, -500, 0, 1, -500};
  p.composite(crop.data(), 255.0f, M, frame.data(), 64, 64);
  EXPECT_EQ(frame[0], static_cast<uint8_t>(static_cast<int>(p.planes[0][500 * side + 500])));
}

TEST(PasteScratch, BuffersAreReusedAndColumnTablesOnlyGrow) {
  const int side = 24, W = 120, H = 90;
  std::mt19937 rng(18);
  const auto crop = randomCrop(side, rng);
  std::vector<uint8_t> frame = randomBytes(W * H * 3, rng);
  Paste p(fullMask(side, 200), side, kDefault);
  const float* planes0 = p.planes[0].data();
  const float* pad0 = p.pad.data();
  const float* blur0 = p.blur.data();
  const float* rgbx0 = p.rgbx.data();
  const float wide[6] = {3, 0, 5, 0, 1, 5};
  const float narrow[6] = {1, 0, 5, 0, 1, 5};
  p.composite(crop.data(), 255.0f, wide, frame.data(), W, H);
  const size_t grown = p.colU.size();
  const int* col0 = p.colU.data();
  for (int i = 0; i < 3; ++i) {
    p.composite(crop.data(), 255.0f, narrow, frame.data(), W, H);
    p.composite(crop.data(), 255.0f, wide, frame.data(), W, H);
  }
  EXPECT_EQ(p.colU.size(), grown);
  EXPECT_EQ(p.colV.size(), grown);
  EXPECT_EQ(p.colU.data(), col0);
  EXPECT_EQ(p.planes[0].data(), planes0);
  EXPECT_EQ(p.pad.data(), pad0);
  EXPECT_EQ(p.blur.data(), blur0);
  EXPECT_EQ(p.rgbx.data(), rgbx0);
}

}  // namespace
