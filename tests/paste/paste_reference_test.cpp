// The whole composite against the numpy version of the compositor's formulas in
// the fixture tool (tables, reflect-101 unsharp mask, Q10 inverse mapping, mask
// weight, resampling, blend): every byte must agree, for random crops, masks and
// transforms, in all three resampling modes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "paste/tq_paste.h"
#include "tq_test_util.h"

namespace {

struct Settings {
  int side;
  float amount, sigma;
  int ksize;
  int mode;  // 0 Lanczos-8, 1 bicubic, 2 bilinear
};

template <class T>
void writeRaw(const std::string& path, const std::vector<T>& v) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(v.data()), std::streamsize(v.size() * sizeof(T)));
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

void checkScenes(const Settings& S, int W, int H, int transforms, unsigned seed) {
  std::mt19937 rng(seed);
  const int side = S.side;
  std::uniform_real_distribution<float> val(-0.05f, 1.05f);
  std::vector<float> crop(3 * size_t(side) * side);
  for (auto& v : crop) v = val(rng);
  const std::vector<uint8_t> mask = featherMask(side, rng);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> frame0(size_t(W) * H * 3);
  for (auto& v : frame0) v = uint8_t(byte(rng));

  tqtest::ScopedEnv fast("TQ_PASTE_FAST", S.mode ? std::to_string(S.mode).c_str() : nullptr);
  tqtest::ScopedEnv ks("TQ_PASTE_KSIZE", nullptr);
  tq::Paste paste(mask, side, {S.amount, S.sigma, S.ksize});
  ASSERT_EQ(paste.mode, S.mode);

  tqtest::TempDir dir;
  writeRaw(dir / "crop.f32", crop);
  writeRaw(dir / "mask.u8", mask);
  writeRaw(dir / "frame.u8", frame0);
  int changedScenes = 0;
  for (int n = 0; n < transforms; ++n) {
    const std::vector<float> M = randomTransform(side, W, H, rng);
    SCOPED_TRACE("transform " + std::to_string(n) + ": " + text(M[0]) + " " + text(M[1]) + " " + text(M[2]) +
                 " / " + text(M[3]) + " " + text(M[4]) + " " + text(M[5]));
    std::vector<uint8_t> got = frame0;
    paste.composite(crop.data(), 255.0f, M.data(), got.data(), W, H);
    writeRaw(dir / "M.f32", M);
    ASSERT_TRUE(tqtest::runFixtureTool(
        {"paste-composite", "--crop", dir / "crop.f32", "--mask", dir / "mask.u8", "--M", dir / "M.f32", "--frame",
         dir / "frame.u8", "--out", dir / "out.u8", "--side", std::to_string(side), "--W", std::to_string(W), "--H",
         std::to_string(H), "--amount", text(S.amount), "--sigma", text(S.sigma), "--ksize", std::to_string(S.ksize),
         "--scale", "255", "--mode", std::to_string(S.mode)}));
    const std::vector<uint8_t> want = tqtest::readBytes(dir / "out.u8");
    ASSERT_EQ(want.size(), got.size());
    size_t diffs = 0, first = 0;
    for (size_t i = got.size(); i-- > 0;)
      if (got[i] != want[i]) ++diffs, first = i;
    EXPECT_EQ(diffs, 0u) << "first at (" << (first / 3) % W << ", " << (first / 3) / W << ") ch " << first % 3 << ": "
                         << int(got[first]) << " vs numpy " << int(want[first]);
    changedScenes += want != frame0;
  }
  EXPECT_GE(changedScenes, transforms / 2) << "too few transforms touched the frame to mean anything";
}

int shrink(int n) { return tqtest::underEmulation() ? std::max(1, n / 2) : n; }

TEST(PasteReference, EveryModeMatchesNumpyOnEveryByte) {
  const struct {
    Settings s;
    int W, H, transforms;
    unsigned seed;
  } cases[] = {
      {{tqtest::underEmulation() ? 24 : 40, 1.3f, 2.0f, 13, 0}, 96, 80, shrink(4), 101},
      {{32, 0.6f, 1.1f, 7, 0}, 72, 64, shrink(2), 102},
      // Softening, and a crop so small that every footprint crosses the border,
      // with the widest kernel its reflect padding allows.
      {{6, -0.4f, 3.0f, 11, 0}, 24, 20, 3, 103},
      {{32, 1.3f, 2.0f, 13, 1}, 80, 64, shrink(3), 201},
      {{5, 0.8f, 1.5f, 9, 1}, 20, 18, 2, 202},
      {{32, 1.3f, 2.0f, 13, 2}, 80, 64, shrink(3), 301},
      {{5, 0.8f, 1.5f, 9, 2}, 20, 18, 2, 302},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.s.mode) + " side " + std::to_string(c.s.side));
    checkScenes(c.s, c.W, c.H, c.transforms, c.seed);
  }
}

}  // namespace
