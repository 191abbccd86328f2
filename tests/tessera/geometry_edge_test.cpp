// Corpus matching at its thresholds, and the edges of the geometry: canvas 1,
// collapsed anchors, the feather's outer edge, keypoints off the canvas or NaN
// (nothing may be written outside the caller's canvas).
#include <algorithm>
#include <limits>

#include "geometry_test_util.h"

namespace {

using tq::tessera::Box;
using tq::tessera::LipContour;
using tq::tessera::UnifiedPi;

template <class F>
std::string refusalOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

std::string fixed2(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.2f", v);
  return b;
}

// Closed, left-right symmetric lips on rows 17..20: every column centroid is
// exactly the middle column of a 257 canvas.
std::vector<float> symmetricLips(int frames) {
  std::vector<float> kp(63 * static_cast<std::size_t>(frames), 0.0f);
  for (int f = 0; f < frames; ++f) {
    float* k = kp.data() + 63 * f;
    const float x[4] = {-0.2f, 0.2f, 0.0f, 0.0f}, y[4] = {0.3f, 0.3f, 0.29f, 0.31f};
    for (int i = 0; i < 4; ++i) k[3 * (17 + i)] = x[i], k[3 * (17 + i) + 1] = y[i];
  }
  return kp;
}

TEST(Corpus, SelectsWithinToleranceAndRefusesUnmatchedOrAmbiguous) {
  const int canvas = 257, frames = 2;
  const std::vector<float> kp = symmetricLips(frames);
  UnifiedPi pi = geotest::makePi(canvas, false, 1.0f, 0.1f, 0.08f, 0.074f);
  pi.lip_idx = {17, 18, 19, 20};
  tqtest::TempDir dir;
  ASSERT_TRUE(geotest::runReference(
      dir, "pi-reference", kp,
      geotest::piParams(pi) + ", \"corpus\": [[0.05,0.08,0.015],[0.1,0.08,0.074],[0.14,0.08,0.074]]}"));
  const auto c = geotest::readArray<double>(dir / "ref/corpus.f64");
  ASSERT_EQ(c.size(), 6u);
  for (int k = 0; k < 3; ++k) ASSERT_EQ(c[2 * k], 128.0);
  const std::string text =
      "{\"unified\": {\"pi\": {\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [17, 18, 19, 20], "
      "\"lip_geom_params\": [0, 0, 0]}}}";
  const char* names[3] = {"v1", "v2", "v3"};
  const auto ranking = [&](const double cc[2]) {
    std::vector<std::pair<double, int>> d;
    for (int k = 0; k < 3; ++k) d.push_back({std::hypot(c[2 * k] - cc[0], c[2 * k + 1] - cc[1]), k});
    std::stable_sort(d.begin(), d.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::string s;
    for (auto& e : d) s += std::string(" ") + names[e.second] + "=" + fixed2(e.first) + "px";
    return s;
  };
  const double cy1 = c[1];
  for (const double off : {2.0, 8.0}) {  // 8.0 px still matches
    const double cc[2] = {128.0, cy1 - off};
    std::string why;
    const UnifiedPi got = UnifiedPi::corpusFromManifestJson(text, canvas, kp.data(), frames, cc, &why);
    EXPECT_EQ(got.lip_geom_params[0], 0.05f);
    EXPECT_EQ(got.lip_geom_params[2], 0.015f);
    EXPECT_EQ(why, ranking(cc));
    EXPECT_EQ(why.rfind(" v1=" + fixed2(off) + "px", 0), 0u) << why;
  }
  const double far[2] = {128.0, cy1 - 8.5};
  EXPECT_EQ(refusalOf([&] { UnifiedPi::corpusFromManifestJson(text, canvas, kp.data(), frames, far, nullptr); }),
            "teeth-pi: no corpus pi geometry matches this bank's c_canon (128.00," + fixed2(far[1]) +
                ") within 8.00px —" + ranking(far) +
                " — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody can name");
  const double mid[2] = {128.0, 0.5 * (c[3] + c[5])};
  EXPECT_EQ(refusalOf([&] { UnifiedPi::corpusFromManifestJson(text, canvas, kp.data(), frames, mid, nullptr); }),
            "teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) —" + ranking(mid) +
                " — refusing to guess the bank frame");
  const double nan[2] = {std::nan(""), 0.0};
  EXPECT_EQ(refusalOf([&] { UnifiedPi::corpusFromManifestJson(text, canvas, kp.data(), frames, nan, nullptr); })
                .rfind("teeth-pi: no corpus pi geometry matches", 0),
            0u);
  EXPECT_EQ(refusalOf([&] { UnifiedPi::corpusFromManifestJson(text, canvas, nullptr, frames, far, nullptr); }),
            "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — "
            "refusing to fall back to the stamped geometry, which is the GRAPH's compose field");
  const std::vector<float> off(63, 9.0f);  // pi empty on every frame
  EXPECT_EQ(refusalOf([&] { UnifiedPi::corpusFromManifestJson(text, canvas, off.data(), 1, far, nullptr); }),
            "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame "
            "is identified by");
}

// Canvas-sized outputs followed by guard bytes that must survive every call.
template <class T>
struct Guarded {
  std::vector<T> buf;
  std::size_t n;
  explicit Guarded(std::size_t n_) : buf(n_ + 64, T(77)), n(n_) {}
  T* data() { return buf.data(); }
  bool guardIntact() const {
    return std::all_of(buf.begin() + n, buf.end(), [](T v) { return v == T(77); });
  }
  bool allZero() const {
    return std::all_of(buf.begin(), buf.begin() + n, [](T v) { return v == T(0); });
  }
};

std::vector<float> lipsAt(float x, float y) {
  std::vector<float> kp = geotest::makeFrames(1, 11);
  for (int r = 12; r <= 20; ++r) kp[3 * r] += x, kp[3 * r + 1] += y;
  return kp;
}

TEST(GeometryEdges, OffCanvasAndNanKeypointsWriteNothingOutsideTheCanvas) {
  const int canvas = 64;
  const std::size_t px = canvas * canvas;
  const UnifiedPi pi = geotest::makePi(canvas, true, 1.0f, 0.1f, 0.08f, 0.074f);
  const std::vector<double> u = geotest::starShape(16);
  LipContour lc(canvas, 3.0f, u.data(), 16, nullptr, 0);
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    const char* name;
    std::vector<float> kp;
  } cases[] = {{"right", lipsAt(5.0f, 0.0f)},         {"up_left", lipsAt(-3.0f, -4.0f)},
               {"huge", lipsAt(1e30f, 1e30f)},        {"nan", lipsAt(std::nanf(""), 0.0f)},
               {"inf", lipsAt(inf, -inf)},            {"lowest", lipsAt(-3e38f, 3e38f)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const float* k = c.kp.data();
    const Box sb = pi.supportBox(k);
    EXPECT_TRUE(sb.x0 >= 0 && sb.y0 >= 0 && sb.x0 <= sb.x1 && sb.y0 <= sb.y1 && sb.x1 <= canvas && sb.y1 <= canvas);
    Guarded<uint8_t> a(px), b(px), d(px), e(px);
    Guarded<float> f(px);
    pi.piU8Boxed(k, a.data());
    int32_t sy = 12345, sx = 12345;
    const double cc[2] = {32, 32};
    EXPECT_FALSE(pi.piU8AndShift(k, cc, b.data(), sy, sx));
    EXPECT_EQ(sy, 12345);
    EXPECT_EQ(sx, 12345);
    lc.contourF32Canvas(k, f.data());
    lc.deliveredU8(k, pi, d.data());
    std::fill(e.buf.begin(), e.buf.begin() + px, uint8_t(200));
    EXPECT_FALSE(lc.shrinkU8InPlace(k, Box{-10, -10, canvas + 10, canvas + 10}, e.data()));
    int32_t dy = 7, dx = 7;
    EXPECT_FALSE(lc.deliveredU8AndShift(k, pi, cc, b.data(), dy, dx));
    for (auto* g : {&a, &b, &d, &e}) {
      EXPECT_TRUE(g->guardIntact());
      EXPECT_TRUE(g->allZero());
    }
    EXPECT_TRUE(f.guardIntact());
    EXPECT_TRUE(f.allZero());
  }

  // One vertex a billion pixels away: the outline is clipped, the loop ends,
  // and the field stays on the canvas and within 0..1.
  LipContour far(canvas, 3.0f, u.data(), 16, nullptr, 0);
  std::vector<double> W(32 * 8, 0.0), b(32, 0.0);
  for (int v = 0; v < 16; ++v) b[2 * v] = 10 * u[2 * v], b[2 * v + 1] = 10 * u[2 * v + 1];
  b[10] = 1e9;
  b[11] = -3e9;
  const int32_t idx[4] = {17, 18, 19, 20};
  far.attachMap(W.data(), b.data(), 32, 8, idx, 4);
  const std::vector<float> kp = lipsAt(0, 0);
  std::vector<double> poly(32);
  far.polygon(kp.data(), poly.data());
  const Box bx = far.box(poly.data());
  EXPECT_EQ(bx.x1, canvas);
  EXPECT_EQ(bx.y0, 0);
  Guarded<float> f(px);
  far.contourF32Canvas(kp.data(), f.data());
  EXPECT_TRUE(f.guardIntact());
  EXPECT_TRUE(std::all_of(f.buf.begin(), f.buf.begin() + px, [](float v) { return v >= 0.0f && v <= 1.0f; }));
  EXPECT_GT(std::count(f.buf.begin(), f.buf.begin() + px, 1.0f), 50);

  // A caller's own box over a polygon with NaN and infinite vertices.
  poly.assign(32, 20.0);
  poly[3] = std::nan("");
  poly[6] = -std::numeric_limits<double>::infinity();
  Guarded<uint8_t> small(8 * 8);
  far.fillScanline(poly.data(), Box{16, 16, 24, 24}, small.data());
  EXPECT_TRUE(small.guardIntact());

  // An ellipse beyond the right edge gets an empty box on the canvas.
  const Box eb = pi.ellBox(tq::tessera::EllParams{3.0f, 0.0f, 0.1f, 0.1f, 1.0f});
  EXPECT_TRUE(eb.empty());
  EXPECT_LE(eb.x0, canvas);
  EXPECT_LE(eb.x1, canvas);
}

TEST(GeometryEdges, CanvasOneIsOnePixel) {
  const UnifiedPi pi = geotest::makePi(1, false, 1.0f, 0.1f, 0.08f, 0.074f);
  EXPECT_EQ(pi.gx, std::vector<float>{-1.0f});
  EXPECT_EQ(pi.gy, std::vector<float>{-1.0f});
  const std::vector<float> kp = geotest::makeFrames(1, 5);
  const Box b = pi.supportBox(kp.data());
  EXPECT_EQ((std::vector<int32_t>{b.x0, b.y0, b.x1, b.y1}), (std::vector<int32_t>{0, 0, 1, 1}));
  Guarded<uint8_t> full(1), boxed(1), del(1);
  pi.piU8(kp.data(), full.data());
  pi.piU8Boxed(kp.data(), boxed.data());
  EXPECT_EQ(full.buf[0], boxed.buf[0]);
  const std::vector<double> u = geotest::starShape(8);
  LipContour lc(1, 2.0f, u.data(), 8, nullptr, 0);
  Guarded<float> f(1);
  lc.contourF32Canvas(kp.data(), f.data());
  lc.deliveredU8(kp.data(), pi, del.data());
  EXPECT_TRUE(full.guardIntact() && boxed.guardIntact() && f.guardIntact() && del.guardIntact());
  EXPECT_GE(f.buf[0], 0.0f);
  EXPECT_LE(f.buf[0], 1.0f);
}

// All anchors on one point collapse the outline to a pixel: 1 there, falling
// to 0 at the feather width (a pixel exactly feather_px away gets 0).
TEST(GeometryEdges, CollapsedAnchorsAndTheFeatherEdge) {
  const int canvas = 64;
  const std::vector<double> u = geotest::starShape(12);
  std::vector<float> kp(63, 0.0f);
  std::vector<float> f(canvas * canvas);
  for (const float feather : {0.955f, 3.0f}) {
    LipContour lc(canvas, feather, u.data(), 12, nullptr, 0);
    lc.contourF32Canvas(kp.data(), f.data());
    EXPECT_EQ(f[32 * canvas + 32], 1.0f);
    for (int k = 1; k < 6; ++k) {
      const float expect = 0.955f * k >= feather ? 0.0f : 1.0f;
      EXPECT_EQ(f[32 * canvas + 32 + k] > 0.0f, expect > 0.0f) << "feather " << feather << " step " << k;
      EXPECT_EQ(f[(32 - k) * canvas + 32] > 0.0f, expect > 0.0f);
    }
    EXPECT_EQ(std::count_if(f.begin(), f.end(), [](float v) { return v > 0.0f; }), feather < 1 ? 1 : 29);
  }
}

}  // namespace
