// The whole composite against the numpy compositor of the fixture tool, every
// byte, in all three resampling modes and under every vector target: random
// crops (with non-finite values), masks and transforms, plus fixed placements at
// the edges (whole-pixel shifts, clipping, extreme magnification and shrink).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "paste/tq_paste.h"
#include "simd_targets.h"
#include "tq_test_util.h"

namespace {

template <class T>
void writeRaw(const std::string& path, const std::vector<T>& v) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(v.data()), std::streamsize(v.size() * sizeof(T)));
}

std::string text(double v) {
  char b[48];
  std::snprintf(b, sizeof b, "%.9g", v);
  return b;
}

// A feathered disc with noise: transparent corners, an opaque middle.
std::vector<uint8_t> featherMask(int side, std::mt19937& rng) {
  std::uniform_int_distribution<int> noise(-30, 30);
  std::vector<uint8_t> m(size_t(side) * side);
  const double c = (side - 1) * 0.5;
  for (int v = 0; v < side; ++v)
    for (int u = 0; u < side; ++u) {
      const double w = (1.0 - std::hypot(u - c, v - c) / (side * 0.5)) * 2.5 * 255.0 + noise(rng);
      m[size_t(v) * side + u] = uint8_t(std::clamp(w, 0.0, 255.0));
    }
  return m;
}

// Rotation, anisotropic scale, shear and sometimes a mirror, centred anywhere
// from a quarter crop outside the frame to a quarter crop beyond it.
std::vector<float> randomTransform(int side, int W, int H, std::mt19937& rng) {
  std::uniform_real_distribution<float> ang(-0.6f, 0.6f), sc(0.6f, 1.6f), sh(-0.15f, 0.15f),
      cx(-0.25f * side, W + 0.25f * side), cy(-0.25f * side, H + 0.25f * side);
  const float t = ang(rng), s = sc(rng), s2 = s * std::uniform_real_distribution<float>(0.85f, 1.15f)(rng);
  const float flip = std::bernoulli_distribution(0.25)(rng) ? -1.0f : 1.0f;
  const float a = flip * s * std::cos(t), b = -s2 * std::sin(t) + sh(rng);
  const float c = flip * s * std::sin(t), d = s2 * std::cos(t);
  const float h = side * 0.5f, X = cx(rng), Y = cy(rng);
  return {a, b, X - (a * h + b * h), c, d, Y - (c * h + d * h)};
}

struct Scene {
  int side;
  tq::Unsharp u;
  int mode;  // 0 Lanczos-8, 1 bicubic, 2 bilinear
  int W, H, randomTransforms;
  bool fixed;
  unsigned seed;
};

void checkScene(const Scene& S) {
  std::mt19937 rng(S.seed);
  const int side = S.side, W = S.W, H = S.H;
  std::uniform_real_distribution<float> val(-0.05f, 1.05f);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<float> crop(3 * size_t(side) * side);
  std::vector<uint8_t> frame0(size_t(W) * H * 3);
  for (auto& v : crop) v = val(rng);
  for (auto& v : frame0) v = uint8_t(byte(rng));
  // Non-finite crop values spread over their blur window and clamp to 0 or 255 there.
  crop[size_t(side) * side / 2] = std::numeric_limits<float>::quiet_NaN();
  crop[size_t(side) * side + 2] = std::numeric_limits<float>::infinity();
  crop[2 * size_t(side) * side + side + 1] = -std::numeric_limits<float>::infinity();
  const std::vector<uint8_t> mask = featherMask(side, rng);
  tqtest::ScopedEnv fast("TQ_PASTE_FAST", S.mode ? std::to_string(S.mode).c_str() : nullptr),
      ks("TQ_PASTE_KSIZE", nullptr);
  tq::Paste paste(mask, side, S.u);
  ASSERT_EQ(paste.mode, S.mode);
  // Whole-pixel shifts (phase 0 everywhere), magnified, rotated and mirrored
  // placements over the frame's corner and edges, a 1/20 shrink that still
  // pastes, and one crop pixel covering the whole frame.
  std::vector<std::vector<float>> transforms;
  if (S.fixed)
    transforms = {{1, 0, 5, 0, 1, 9},          {1, 0, -7, 0, 1, -3},           {2, 0, -20.5f, 0, 2, -10.25f},
                  {0, -2, W + 10.5f, 2, 0, 8}, {-2, 0, 20, 0, 2, H - 12.75f}, {0.05f, 0, W * 0.5f, 0, 0.05f, H * 0.5f},
                  {1e30f, 0, 5, 0, 1e30f, 5}};
  for (int n = 0; n < S.randomTransforms; ++n) transforms.push_back(randomTransform(side, W, H, rng));
  tqtest::TempDir dir;
  writeRaw(dir / "crop.f32", crop), writeRaw(dir / "mask.u8", mask), writeRaw(dir / "frame.u8", frame0);
  int changed = 0;
  for (const auto& M : transforms) {
    SCOPED_TRACE(::testing::PrintToString(M));
    writeRaw(dir / "M.f32", M);
    ASSERT_TRUE(tqtest::runFixtureTool(
        {"paste-composite", "--crop", dir / "crop.f32", "--mask", dir / "mask.u8", "--M", dir / "M.f32", "--frame",
         dir / "frame.u8", "--out", dir / "out.u8", "--side", std::to_string(side), "--W", std::to_string(W), "--H",
         std::to_string(H), "--amount", text(S.u.amount), "--sigma", text(S.u.sigma), "--ksize",
         std::to_string(S.u.ksize), "--scale", "255", "--mode", std::to_string(S.mode)}));
    const std::vector<uint8_t> want = tqtest::readBytes(dir / "out.u8");
    ASSERT_EQ(want.size(), frame0.size());
    changed += want != frame0;
    tqtest::forEachSimdTarget([&](const std::string&) {
      std::vector<uint8_t> got = frame0;
      paste.composite(crop.data(), 255.0f, M.data(), got.data(), W, H);
      size_t diffs = 0, first = 0;
      for (size_t i = got.size(); i-- > 0;)
        if (got[i] != want[i]) ++diffs, first = i;
      EXPECT_EQ(diffs, 0u) << "first at (" << (first / 3) % W << ", " << (first / 3) / W << ") ch " << first % 3
                           << ": " << int(got[first]) << " vs numpy " << int(want[first]);
    });
  }
  EXPECT_GE(changed, int(transforms.size()) / 2) << "too few transforms touched the frame to mean anything";
}

TEST(PasteReference, EveryModeAndTargetMatchesNumpyOnEveryByte) {
  const bool emu = tqtest::underEmulation();
  const int n = emu ? 1 : 3;
  const Scene scenes[] = {
      {emu ? 24 : 40, {1.3f, 2.0f, 13}, 0, 96, 80, n, true, 101},
      {32, {0.6f, 1.1f, 7}, 0, 72, 64, n, false, 102},
      // Softening, and a crop so small that every footprint crosses the border,
      // with the widest kernel its reflect padding allows.
      {6, {-0.4f, 3.0f, 11}, 0, 24, 20, 3, false, 103},
      {32, {1.3f, 2.0f, 13}, 1, 80, 64, n, true, 201},
      {5, {0.8f, 1.5f, 9}, 1, 20, 18, 2, false, 202},
      {32, {1.3f, 2.0f, 13}, 2, 80, 64, n, true, 301},
      {5, {0.8f, 1.5f, 9}, 2, 20, 18, 2, false, 302},
  };
  for (const Scene& s : scenes) {
    SCOPED_TRACE("mode " + std::to_string(s.mode) + " side " + std::to_string(s.side));
    checkScene(s);
  }
}

}  // namespace
