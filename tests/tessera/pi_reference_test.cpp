// The compose alpha against a numpy float32 transcription of its formulas:
// full-canvas and boxed bytes, support boxes, centroids, corpus centroids.
#include "geometry_test_util.h"

namespace {

using geotest::makeFrames;
using geotest::makePi;
using tq::tessera::Box;
using tq::tessera::UnifiedPi;

struct PiCase {
  const char* name;
  bool corner;
  float scale, padX, padY, down;
};

class PiReference : public ::testing::TestWithParam<PiCase> {};

TEST_P(PiReference, BytesBoxesAndCentroidsMatchNumpy) {
  const PiCase& c = GetParam();
  const int canvas = 128, frames = 50;
  const UnifiedPi pi = makePi(canvas, c.corner, c.scale, c.padX, c.padY, c.down);
  const std::vector<float> kp = makeFrames(frames, 0x5eed + c.corner);
  tqtest::TempDir dir;
  ASSERT_TRUE(geotest::runReference(dir, "pi-reference", kp,
                                    geotest::piParams(pi) + ", \"corpus\": [[0.05,0.08,0.015],[0.1,0.08,0.074]]}"));
  const auto refPi = geotest::readArray<uint8_t>(dir / "ref/pi.u8");
  const auto refCent = geotest::readArray<double>(dir / "ref/cent.f64");
  const auto refBox = geotest::readArray<int32_t>(dir / "ref/sbox.i32");
  const auto refCorpus = geotest::readArray<double>(dir / "ref/corpus.f64");
  const std::size_t px = static_cast<std::size_t>(canvas) * canvas;
  ASSERT_EQ(refPi.size(), px * frames);

  std::vector<uint8_t> full(px), boxed(px, 0x5a);
  int closed = 0, centroids = 0;
  for (int f = 0; f < frames; ++f) {
    const float* k = kp.data() + 63 * f;
    float g = -1;
    pi.gateParams(k, &g);
    closed += g == 0.0f;
    pi.piU8(k, full.data());
    pi.piU8Boxed(k, boxed.data());
    ASSERT_EQ(0, std::memcmp(full.data(), refPi.data() + px * f, px)) << "piU8, frame " << f;
    ASSERT_EQ(0, std::memcmp(boxed.data(), refPi.data() + px * f, px)) << "piU8Boxed, frame " << f;
    const Box b = pi.supportBox(k);
    EXPECT_EQ((std::vector<int32_t>{b.x0, b.y0, b.x1, b.y1}),
              (std::vector<int32_t>(refBox.begin() + 4 * f, refBox.begin() + 4 * f + 4)))
        << "frame " << f;
    double cx = -1, cy = -1;
    const bool found = pi.piU8Centroid(full.data(), cx, cy);
    ASSERT_EQ(found, refCent[3 * f] == 1.0) << "frame " << f;
    if (found) {
      ++centroids;
      EXPECT_NEAR(cx, refCent[3 * f + 1], 1e-9);
      EXPECT_NEAR(cy, refCent[3 * f + 2], 1e-9);
      double bx = -1, by = -1;
      ASSERT_TRUE(pi.piU8Centroid(full.data(), b, bx, by));
      EXPECT_EQ(bx, cx);
      EXPECT_EQ(by, cy);
    }
  }
  EXPECT_GE(closed, 10);     // closed lips are covered
  EXPECT_GE(centroids, 40);  // and most frames have a centroid

  for (int row = 0; row < 2; ++row) {
    const float pads[2][3] = {{0.05f, 0.08f, 0.015f}, {0.1f, 0.08f, 0.074f}};
    UnifiedPi trial = pi;
    trial.lip_geom_params = {{pads[row][0], pads[row][1], pads[row][2]}};
    double cx = 0, cy = 0;
    trial.canonicalCentroid(kp.data(), frames, cx, cy);
    EXPECT_NEAR(cx, refCorpus[2 * row], 1e-9);
    EXPECT_NEAR(cy, refCorpus[2 * row + 1], 1e-9);
  }
}

INSTANTIATE_TEST_SUITE_P(Geometries, PiReference,
                         ::testing::Values(PiCase{"plain", false, 1.0f, 0.1f, 0.08f, 0.074f},
                                           PiCase{"corner_scaled", true, 1.3f, 0.05f, 0.0f, 0.015f}),
                         [](const ::testing::TestParamInfo<PiCase>& i) { return std::string(i.param.name); });

// With a gate strength of 0 the compose alpha is the lip ellipse alone, and
// corner recovery only ever grows it until every lip keypoint is inside.
TEST(PiMasks, ClosedLipsServeTheLipMaskAndCornerRecoveryCoversTheLips) {
  const int canvas = 96;
  const std::vector<float> kp = makeFrames(1, 7);  // frame 0 is closed
  UnifiedPi pi = makePi(canvas, false, 1.0f, 0.02f, 0.0f, 0.015f);
  float g = -1;
  pi.gateParams(kp.data(), &g);
  ASSERT_EQ(g, 0.0f);
  std::vector<float> lip(canvas * canvas), gate(canvas * canvas);
  std::vector<uint8_t> out(canvas * canvas);
  pi.lipMask(kp.data(), lip.data());
  pi.propTeethGate(kp.data(), gate.data());
  pi.piU8(kp.data(), out.data());
  for (int i = 0; i < canvas * canvas; ++i) {
    ASSERT_EQ(gate[i], 0.0f);
    ASSERT_EQ(out[i], tq::tessera::quantizeU8(lip[i]));
  }
  const auto plain = pi.lipParams(kp.data());
  pi.corner_recovery = true;
  const auto grown = pi.lipParams(kp.data());
  EXPECT_GE(grown.rx, plain.rx);
  for (int r : pi.lip_idx) {
    const float u = (kp[3 * r] - grown.cx) / grown.rx, v = (kp[3 * r + 1] - grown.cy) / grown.ry;
    EXPECT_LT(std::sqrt(u * u + v * v), 1.0f) << "lip row " << r << " outside the recovered ellipse";
  }
}

}  // namespace
