// The lip contour against a numpy transcription (polygon, box, step-by-step
// line and scanline raster, chamfer, field, delivered mask), plus two checks
// that share nothing with either: even-odd point-in-polygon and exact
// Euclidean distance.
#include <algorithm>

#include "geometry_test_util.h"

namespace {

using geotest::makeFrames;
using tq::tessera::Box;
using tq::tessera::LipContour;

constexpr int kCanvas = 128, kFrames = 20, kNv = 24;
constexpr float kFeather = 10.0f;

std::string contourParams(const tq::tessera::UnifiedPi& pi, const std::vector<double>& u, const std::vector<double>* W,
                          const std::vector<double>* b) {
  std::string s = geotest::piParams(pi) + ", \"feather\": " + geotest::num(kFeather) + ", \"u_canon\": [";
  for (int v = 0; v < kNv; ++v) s += (v ? ",[" : "[") + geotest::num(u[2 * v]) + "," + geotest::num(u[2 * v + 1]) + "]";
  s += "]";
  if (W) {
    s += ", \"W\": [";
    for (int j = 0; j < 2 * kNv; ++j) {
      s += j ? ",[" : "[";
      for (int c = 0; c < 8; ++c) s += (c ? "," : "") + geotest::num((*W)[8 * j + c]);
      s += "]";
    }
    s += "], \"b\": [";
    for (int j = 0; j < 2 * kNv; ++j) s += (j ? "," : "") + geotest::num((*b)[j]);
    s += "]";
  }
  return s + "}";
}

// Inverse of the feather ramp: the distance a field value in (0, 1) stands for.
double distanceOf(float value) {
  double lo = 0, hi = 1;
  for (int i = 0; i < 60; ++i) {
    const double m = 0.5 * (lo + hi);
    ((3 - 2 * m) * m * m < value ? lo : hi) = m;
  }
  return kFeather * (1 - 0.5 * (lo + hi));
}

double segmentDistance(double px, double py, double ax, double ay, double bx, double by) {
  const double dx = bx - ax, dy = by - ay, len = dx * dx + dy * dy;
  double t = len > 0 ? ((px - ax) * dx + (py - ay) * dy) / len : 0;
  t = std::min(1.0, std::max(0.0, t));
  return std::hypot(px - ax - t * dx, py - ay - t * dy);
}

bool evenOddInside(const std::vector<double>& poly, double px, double py) {
  bool in = false;
  for (int i = 0, j = kNv - 1; i < kNv; j = i++) {
    const double xi = poly[2 * i], yi = poly[2 * i + 1], xj = poly[2 * j], yj = poly[2 * j + 1];
    if ((yi > py) != (yj > py) && px < (xj - xi) * (py - yi) / (yj - yi) + xi) in = !in;
  }
  return in;
}

class ContourReference : public ::testing::TestWithParam<bool> {};

TEST_P(ContourReference, MatchesNumpyAndIndependentChecks) {
  const bool mapped = GetParam();
  const std::vector<double> u = geotest::starShape(kNv);
  LipContour lc(kCanvas, kFeather, u.data(), kNv, nullptr, 0);
  std::vector<double> W, b;
  if (mapped) {
    geotest::Rng r{99};
    for (int i = 0; i < 2 * kNv * 8; ++i) W.push_back(r.in(-0.8, 0.8));
    for (int i = 0; i < 2 * kNv; ++i) b.push_back(r.in(-4, 4));
    const int32_t idx[4] = {17, 18, 19, 20};
    lc.attachMap(W.data(), b.data(), 2 * kNv, 8, idx, 4);
  }
  const tq::tessera::UnifiedPi pi = geotest::makePi(kCanvas, false, 1.0f, 0.1f, 0.08f, 0.074f);
  const std::vector<float> kp = makeFrames(kFrames, 0xc0de);
  tqtest::TempDir dir;
  ASSERT_TRUE(geotest::runReference(dir, "contour-reference", kp,
                                    contourParams(pi, u, mapped ? &W : nullptr, mapped ? &b : nullptr)));
  const auto refPoly = geotest::readArray<double>(dir / "ref/poly.f64");
  const auto refBox = geotest::readArray<int32_t>(dir / "ref/cbox.i32");
  const auto refRaster = geotest::readArray<uint8_t>(dir / "ref/raster.u8");
  const auto refField = geotest::readArray<float>(dir / "ref/field.f32");
  const auto refDelivered = geotest::readArray<uint8_t>(dir / "ref/delivered.u8");
  const std::size_t px = static_cast<std::size_t>(kCanvas) * kCanvas;
  ASSERT_EQ(refField.size(), px * kFrames);

  std::vector<double> poly(2 * kNv);
  std::vector<uint8_t> raster(px), delivered(px);
  std::vector<float> field(px);
  std::size_t rasterAt = 0;
  int insideChecked = 0, distChecked = 0;
  for (int f = 0; f < kFrames; ++f) {
    const float* k = kp.data() + 63 * f;
    lc.polygon(k, poly.data());
    for (int i = 0; i < 2 * kNv; ++i) ASSERT_NEAR(poly[i], refPoly[2 * kNv * f + i], 1e-9) << "frame " << f;
    const Box bx = lc.box(poly.data());
    ASSERT_EQ((std::vector<int32_t>{bx.x0, bx.y0, bx.x1, bx.y1}),
              (std::vector<int32_t>(refBox.begin() + 4 * f, refBox.begin() + 4 * f + 4)))
        << "frame " << f;
    const int w = bx.x1 - bx.x0, h = bx.y1 - bx.y0;
    if (w > 0 && h > 0) {
      lc.fillScanline(poly.data(), bx, raster.data());
      ASSERT_EQ(0, std::memcmp(raster.data(), refRaster.data() + rasterAt, static_cast<std::size_t>(w) * h))
          << "raster, frame " << f;
      rasterAt += static_cast<std::size_t>(w) * h;
    }
    lc.contourF32Canvas(k, field.data());
    ASSERT_EQ(0, std::memcmp(field.data(), refField.data() + px * f, px * sizeof(float))) << "field, frame " << f;
    lc.deliveredU8(k, pi, delivered.data());
    ASSERT_EQ(0, std::memcmp(delivered.data(), refDelivered.data() + px * f, px)) << "delivered, frame " << f;
    if (mapped || w <= 0 || h <= 0) continue;

    // Independent checks inside the canvas part of the box.
    std::vector<std::pair<int, int>> on;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (raster[y * w + x]) on.emplace_back(x, y);
    for (int y = bx.y0; y < bx.y1; ++y) {
      for (int x = bx.x0; x < bx.x1; ++x) {
        double edge = 1e30;
        for (int i = 0, j = kNv - 1; i < kNv; j = i++)
          edge = std::min(edge, segmentDistance(x, y, poly[2 * j], poly[2 * j + 1], poly[2 * i], poly[2 * i + 1]));
        const bool filled = raster[(y - bx.y0) * w + (x - bx.x0)] != 0;
        if (edge >= 2.0) {
          ASSERT_EQ(filled, evenOddInside(poly, x, y)) << "pixel " << x << "," << y << " frame " << f;
          ++insideChecked;
        }
        const float v = field[static_cast<std::size_t>(y) * kCanvas + x];
        if (filled) {
          ASSERT_EQ(v, 1.0f);
          continue;
        }
        if (!(v > 0.0f && v < 1.0f)) continue;
        double exact = 1e30;
        for (const auto& p : on) exact = std::min(exact, std::hypot(x - bx.x0 - p.first, y - bx.y0 - p.second));
        ASSERT_NEAR(distanceOf(v), exact, 0.06 * exact) << "pixel " << x << "," << y << " frame " << f;
        ++distChecked;
      }
    }
  }
  if (!mapped) {
    EXPECT_GT(insideChecked, 20000);
    EXPECT_GT(distChecked, 5000);
  }
}

INSTANTIATE_TEST_SUITE_P(Maps, ContourReference, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "mapped" : "template"; });

}  // namespace
