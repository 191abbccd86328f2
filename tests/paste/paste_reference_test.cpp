// The whole composite against a plain reference written here straight from the
// compositor's formulas (tables, reflect-101 unsharp mask, Q10 inverse mapping,
// mask weight, resampling, blend), and against the numpy version of the same
// formulas in the fixture tool. All three must agree on every byte, for random
// crops, masks and transforms, in all three resampling modes.
//
// The reference evaluates every sum in the defining order in float (tables and
// the inverse transform in double); no multiply-add fusion is allowed here.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "paste/tq_paste.h"
#include "tq_test_util.h"

namespace {

// ------------------------------------------------------------------ plain reference

struct Settings {
  int side;
  float amount, sigma;
  int ksize;
  int mode;  // 0 Lanczos-8, 1 bicubic, 2 bilinear
};

struct Tables {
  float lz[32][8], bl[32][2], bc[32][4];
};

double sinc(double x) { return std::sin(3.14159265358979323846 * x) / (3.14159265358979323846 * x); }

Tables makeTables() {
  Tables T{};
  for (int p = 0; p < 32; ++p) {
    const double t = p / 32.0;
    T.bl[p][0] = float(1 - t);
    T.bl[p][1] = float(t);
    if (t < 1e-7) {
      for (int k = 0; k < 8; ++k) T.lz[p][k] = k == 3 ? 1.0f : 0.0f;
    } else {
      double w[8], s = 0;
      for (int k = 0; k < 8; ++k) {
        w[k] = sinc(t + 3 - k) * sinc((t + 3 - k) / 4);
        s += w[k];
      }
      for (int k = 0; k < 8; ++k) T.lz[p][k] = float(w[k] / s);
    }
    const double w0 = ((-0.75 * (t + 1) + 3.75) * (t + 1) - 6) * (t + 1) + 3;
    const double w1 = (1.25 * t - 2.25) * (t * t) + 1;
    const double w2 = (1.25 * (1 - t) - 2.25) * ((1 - t) * (1 - t)) + 1;
    T.bc[p][0] = float(w0);
    T.bc[p][1] = float(w1);
    T.bc[p][2] = float(w2);
    T.bc[p][3] = float(1 - w0 - w1 - w2);
  }
  return T;
}

std::vector<float> gaussian(int ksize, float sigma) {
  std::vector<double> g(ksize);
  double s = 0;
  for (int i = 0; i < ksize; ++i) {
    const double x = i - (ksize - 1) * 0.5;
    g[i] = std::exp(-(x * x) / (2.0 * double(sigma) * double(sigma)));
    s += g[i];
  }
  std::vector<float> out(ksize);
  for (int i = 0; i < ksize; ++i) out[i] = float(g[i] / s);
  return out;
}

float clamp255(float v) { return v > 0 ? (v < 255 ? v : 255.0f) : 0.0f; }

int reflect101(int i, int n) {
  i = i < 0 ? -i : i;
  return i < n ? i : 2 * (n - 1) - i;
}

// plane * (1 + amount) - amount * gaussian(plane), clamped; reflect-101 borders.
std::vector<float> sharpen(const std::vector<float>& plane, int side, const std::vector<float>& g, float amount) {
  const int k = int(g.size()), h = k / 2, P = side + k - 1;
  std::vector<float> pad(size_t(P) * P), hb(size_t(P) * side), out(plane.size());
  for (int r = 0; r < P; ++r)
    for (int c = 0; c < P; ++c) pad[size_t(r) * P + c] = plane[size_t(reflect101(r - h, side)) * side + reflect101(c - h, side)];
  for (int r = 0; r < P; ++r)
    for (int c = 0; c < side; ++c) {
      float acc = 0;
      for (int j = 0; j < k; ++j) acc = acc + g[j] * pad[size_t(r) * P + c + j];
      hb[size_t(r) * side + c] = acc;
    }
  for (int r = 0; r < side; ++r)
    for (int c = 0; c < side; ++c) {
      float acc = 0;
      for (int j = 0; j < k; ++j) acc = acc + g[j] * hb[size_t(r + j) * side + c];
      const float p = plane[size_t(r) * side + c];
      out[size_t(r) * side + c] = clamp255((1.0f + amount) * p - amount * acc);
    }
  return out;
}

// Crop sample with taps outside the crop skipped (mode 0, 1) or zero (mode 2).
float sampleColour(const Tables& T, const std::vector<float>& pl, int side, int mode, int ui, int vi, int pu, int pv) {
  if (mode == 2) {
    float rows[2];
    for (int j = 0; j < 2; ++j) {
      const int v = vi + j;
      const bool vin = v >= 0 && v < side;
      const float p0 = vin && ui >= 0 ? pl[size_t(v) * side + ui] : 0.0f;
      const float p1 = vin && ui + 1 < side ? pl[size_t(v) * side + ui + 1] : 0.0f;
      rows[j] = T.bl[pu][0] * p0 + T.bl[pu][1] * p1;
    }
    return T.bl[pv][0] * rows[0] + T.bl[pv][1] * rows[1];
  }
  const int taps = mode == 0 ? 8 : 4, first = mode == 0 ? 3 : 1;
  float acc = 0;
  for (int j = 0; j < taps; ++j) {
    const int v = vi - first + j;
    if (v < 0 || v >= side) continue;
    float r = 0;
    for (int k = 0; k < taps; ++k) {
      const int u = ui - first + k;
      if (u < 0 || u >= side) continue;
      const float wx = mode == 0 ? T.lz[pu][k] : T.bc[pu][k];
      r = r + wx * pl[size_t(v) * side + u];
    }
    acc = acc + (mode == 0 ? T.lz[pv][j] : T.bc[pv][j]) * r;
  }
  return acc;
}

std::vector<uint8_t> referenceComposite(const Settings& S, const std::vector<float>& crop, float scale,
                                        const std::vector<uint8_t>& mask, const float* M,
                                        std::vector<uint8_t> frame, int W, int H) {
  const int side = S.side;
  const double a = M[0], b = M[1], tx = M[2], c = M[3], d = M[4], ty = M[5];
  const double det = a * d - b * c;
  if (det == 0) return frame;
  float xs[4], ys[4];
  const float corner[4][2] = {{-4, -4}, {float(side + 3), -4}, {-4, float(side + 3)}, {float(side + 3), float(side + 3)}};
  for (int i = 0; i < 4; ++i) {
    xs[i] = M[0] * corner[i][0] + M[1] * corner[i][1] + M[2];
    ys[i] = M[3] * corner[i][0] + M[4] * corner[i][1] + M[5];
  }
  const int x0 = std::max(int(std::floor(*std::min_element(xs, xs + 4))), 0);
  const int x1 = std::min(int(std::ceil(*std::max_element(xs, xs + 4))), W - 1);
  const int y0 = std::max(int(std::floor(*std::min_element(ys, ys + 4))), 0);
  const int y1 = std::min(int(std::ceil(*std::max_element(ys, ys + 4))), H - 1);
  if (x0 > x1 || y0 > y1) return frame;

  const Tables T = makeTables();
  const std::vector<float> g = gaussian(S.ksize, S.sigma);
  std::vector<float> planes[3];
  for (int ch = 0; ch < 3; ++ch) {
    std::vector<float> p(size_t(side) * side);
    for (size_t i = 0; i < p.size(); ++i) p[i] = crop[ch * p.size() + i] * scale;
    planes[ch] = sharpen(p, side, g, S.amount);
  }

  const double ia = -b / det, ib = a / det;
  const double ic = -(tx * (d / det) + ty * (-b / det));
  const double id = -(tx * (-c / det) + ty * (a / det));
  for (int y = y0; y <= y1; ++y) {
    const int U0 = int(std::nearbyint((y * ia + ic) * 1024)) + 16;
    const int V0 = int(std::nearbyint((y * ib + id) * 1024)) + 16;
    for (int x = x0; x <= x1; ++x) {
      const int U = U0 + int(std::nearbyint(x * (d / det) * 1024));
      const int V = V0 + int(std::nearbyint(x * (-c / det) * 1024));
      const int ui = U >> 10, vi = V >> 10, pu = (U >> 5) & 31, pv = (V >> 5) & 31;
      if (ui < -1 || ui > side - 1 || vi < -1 || vi > side - 1) continue;
      // Mask: bilinear over the 2x2 mask pixels, outside counting as 0, rounded.
      float mrow[2];
      for (int j = 0; j < 2; ++j) {
        const int v = vi + j;
        const bool vin = v >= 0 && v < side;
        const float m0 = vin && ui >= 0 ? float(mask[size_t(v) * side + ui]) : 0.0f;
        const float m1 = vin && ui + 1 < side ? float(mask[size_t(v) * side + ui + 1]) : 0.0f;
        mrow[j] = T.bl[pu][0] * m0 + T.bl[pu][1] * m1;
      }
      const float alpha = std::rint(T.bl[pv][0] * mrow[0] + T.bl[pv][1] * mrow[1]) / 255.0f;
      if (alpha <= 0) continue;
      for (int ch = 0; ch < 3; ++ch) {
        const float value = sampleColour(T, planes[ch], side, S.mode, ui, vi, pu, pv);
        uint8_t& f = frame[(size_t(y) * W + x) * 3 + ch];
        const float o = clamp255(float(f) * (1.0f - alpha) + value * alpha);
        f = uint8_t(int(o));
      }
    }
  }
  return frame;
}

// ------------------------------------------------------------------ scenes

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

// A feathered disc with noise, fully transparent corners and an opaque middle.
std::vector<uint8_t> featherMask(int side, std::mt19937& rng) {
  std::uniform_int_distribution<int> noise(-30, 30);
  std::vector<uint8_t> m(size_t(side) * side);
  const double c = (side - 1) * 0.5;
  for (int v = 0; v < side; ++v)
    for (int u = 0; u < side; ++u) {
      const double r = std::hypot(u - c, v - c) / (side * 0.5);
      double w = (1.0 - r) * 2.5 * 255.0 + noise(rng);
      m[size_t(v) * side + u] = uint8_t(w < 0 ? 0 : (w > 255 ? 255 : w));
    }
  return m;
}

std::vector<float> randomTransform(int side, int W, int H, std::mt19937& rng) {
  std::uniform_real_distribution<float> ang(-0.6f, 0.6f), sc(0.6f, 1.6f), sh(-0.15f, 0.15f),
      cx(-0.25f * side, W + 0.25f * side), cy(-0.25f * side, H + 0.25f * side);
  const float t = ang(rng), s = sc(rng), s2 = s * std::uniform_real_distribution<float>(0.85f, 1.15f)(rng);
  const float flip = std::bernoulli_distribution(0.25)(rng) ? -1.0f : 1.0f;
  const float a = flip * s * std::cos(t), b = -s2 * std::sin(t) + sh(rng);
  const float c = flip * s * std::sin(t), d = s2 * std::cos(t);
  const float h = side * 0.5f;
  const float X = cx(rng), Y = cy(rng);
  return {a, b, X - (a * h + b * h), c, d, Y - (c * h + d * h)};
}

int countDiff(const std::vector<uint8_t>& x, const std::vector<uint8_t>& y, int W, std::string* where) {
  int n = 0;
  for (size_t i = 0; i < x.size(); ++i)
    if (x[i] != y[i]) {
      if (n++ == 0 && where)
        *where = "first at (" + std::to_string((i / 3) % W) + ", " + std::to_string((i / 3) / W) + ") ch " +
                 std::to_string(i % 3) + ": " + std::to_string(x[i]) + " vs " + std::to_string(y[i]);
    }
  return n;
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
    const std::vector<uint8_t> want = referenceComposite(S, crop, 255.0f, mask, M.data(), frame0, W, H);
    std::vector<uint8_t> got = frame0;
    paste.composite(crop.data(), 255.0f, M.data(), got.data(), W, H);
    std::string where;
    EXPECT_EQ(countDiff(got, want, W, &where), 0) << "composite vs plain reference, " << where;
    changedScenes += want != frame0;

    writeRaw(dir / "M.f32", M);
    ASSERT_TRUE(tqtest::runFixtureTool({"paste-composite", "--crop", dir / "crop.f32", "--mask", dir / "mask.u8",
                                        "--M", dir / "M.f32", "--frame", dir / "frame.u8", "--out",
                                        dir / "out.u8", "--side", std::to_string(side), "--W",
                                        std::to_string(W), "--H", std::to_string(H), "--amount",
                                        text(S.amount), "--sigma", text(S.sigma), "--ksize",
                                        std::to_string(S.ksize), "--scale", "255", "--mode",
                                        std::to_string(S.mode)}));
    const std::vector<uint8_t> numpy = tqtest::readBytes(dir / "out.u8");
    ASSERT_EQ(numpy.size(), want.size());
    EXPECT_EQ(countDiff(numpy, want, W, &where), 0) << "numpy vs plain reference, " << where;
  }
  EXPECT_GE(changedScenes, transforms / 2) << "too few transforms touched the frame to mean anything";
}

int shrink(int n) { return tqtest::underEmulation() ? std::max(1, n / 2) : n; }

TEST(PasteReference, LanczosMatchesOnEveryPixel) {
  checkScenes({tqtest::underEmulation() ? 24 : 40, 1.3f, 2.0f, 13, 0}, 96, 80, shrink(5), 101);
  checkScenes({32, 0.6f, 1.1f, 7, 0}, 72, 64, shrink(3), 102);
  // Negative amount (softening) and a crop small enough that every footprint
  // crosses the border, with the widest kernel its reflect padding allows.
  checkScenes({6, -0.4f, 3.0f, 11, 0}, 24, 20, 3, 103);
}

TEST(PasteReference, BicubicMatchesOnEveryPixel) {
  checkScenes({32, 1.3f, 2.0f, 13, 1}, 80, 64, shrink(3), 201);
  checkScenes({5, 0.8f, 1.5f, 9, 1}, 20, 18, 2, 202);
}

TEST(PasteReference, BilinearMatchesOnEveryPixel) {
  checkScenes({32, 1.3f, 2.0f, 13, 2}, 80, 64, shrink(3), 301);
  checkScenes({5, 0.8f, 1.5f, 9, 2}, 20, 18, 2, 302);
}

// The sharpened planes themselves, compared as floats (not through the 8-bit
// blend, which would hide last-bit differences).
TEST(PasteReference, SharpenedPlanesMatchBitForBit) {
  std::mt19937 rng(401);
  std::uniform_real_distribution<float> val(-0.05f, 1.05f);
  const Settings cases[] = {{40, 1.3f, 2.0f, 13, 0}, {17, 0.7f, 0.8f, 5, 0}, {5, 2.0f, 4.0f, 9, 0}, {1, 1.3f, 2.0f, 1, 0}};
  for (const Settings& S : cases) {
    SCOPED_TRACE("side " + std::to_string(S.side) + " ksize " + std::to_string(S.ksize));
    tqtest::ScopedEnv ks("TQ_PASTE_KSIZE", nullptr);
    const size_t n = size_t(S.side) * S.side;
    std::vector<float> crop(3 * n);
    for (auto& v : crop) v = val(rng);
    tq::Paste paste(std::vector<uint8_t>(n, 255), S.side, {S.amount, S.sigma, S.ksize});
    paste.fillPlanes(crop.data(), 255.0f);
    const std::vector<float> g = gaussian(S.ksize, S.sigma);
    ASSERT_EQ(paste.gauss, g);
    for (int c = 0; c < 3; ++c) {
      std::vector<float> p(crop.begin() + c * n, crop.begin() + (c + 1) * n);
      for (auto& v : p) v *= 255.0f;
      ASSERT_EQ(paste.planes[c], p);
      paste.unsharpPlane(paste.planes[c]);
      const std::vector<float> want = sharpen(p, S.side, g, S.amount);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(paste.planes[c][i], want[i]) << "channel " << c << " pixel " << i;
    }
  }
}

TEST(PasteReference, TablesMatchTheFormulas) {
  const Tables T = makeTables();
  tq::Paste paste(std::vector<uint8_t>(64, 255), 8, {1.3f, 2.0f, 3});
  for (int p = 0; p < 32; ++p) {
    for (int k = 0; k < 8; ++k) EXPECT_EQ(paste.lanczos[8 * p + k], T.lz[p][k]) << p << "," << k;
    for (int k = 0; k < 4; ++k) EXPECT_EQ(paste.bicubic[4 * p + k], T.bc[p][k]) << p << "," << k;
    for (int k = 0; k < 2; ++k) EXPECT_EQ(paste.bilinear[2 * p + k], T.bl[p][k]) << p << "," << k;
  }
}

}  // namespace
