// StreamBorrow over a teeth bundle the fixture tool wrote (bank track through decodeBankTrack):
// construction refusals and delivery-mask lines, quantisation seen through the emitted window, write-back.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tessera/tq_bankdec_ff.h"
#include "tessera/tq_bundle_tessera.h"
#include "tessera/tq_tessera_stream.h"
#include "tq_test_util.h"

namespace {

using namespace tq::tessera;

constexpr int kCanvas = 64;
constexpr std::size_t kPx = std::size_t(kCanvas) * kCanvas;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Borrow : ::testing::Test {
  static void SetUpTestSuite() {
    ASSERT_TRUE(tqtest::runFixtureTool({"teeth-bundle", (dir = new tqtest::TempDir())->path()}));
    ASSERT_TRUE(tqtest::runFixtureTool({"bank-head", *dir / "tame.pt"}));
    in = tq::loadTesseraMembers(dir->path());
  }
  static void TearDownTestSuite() { delete dir; }
  // The bundle's members with the stamp's canvas changed to w x h.
  static std::unique_ptr<StreamBorrow> make(bool lip, int w = kCanvas, int h = kCanvas) {
    const std::vector<uint8_t> track = tqtest::readBytes(in.bank_track_path);
    BankData b{in.n_donors, decodeBankTrack(track.data(), track.size(), in.n_donors, in.band_w, in.band_h,
                                            in.track_order), in.cent, in.aperture, in.c_canon, in.stamp};
    b.stamp.canvas_w = w, b.stamp.canvas_h = h;
    return std::make_unique<StreamBorrow>(std::move(b), loadHeadPt(tqtest::readBytes(*dir / "tame.pt")),
                                          ServeConfig::fromHeadMemberJson(in.head_json), pi(),
                                          lip ? tqtest::readText(*dir / "lip_template.v1.json") : "");
  }
  static UnifiedPi pi() { return UnifiedPi::fromManifestJson(in.manifest_json, kCanvas); }
  static inline tqtest::TempDir* dir = nullptr;
  static inline tq::TesseraAttachInputs in;
};

TEST_F(Borrow, RefusesForeignCanvasesAndNamesItsDeliveryMask) {
  EXPECT_EQ(tqtest::thrown([] { make(false, 512, 384); }),
            "teeth stream: non-square compose canvas 512x384 — tq_core renders a square crop");
  EXPECT_EQ(tqtest::thrown([] { make(false, 80, 80); }), "teeth stream: manifest pi canvas 64 != bank compose "
            "canvas 80 — refusing to compose a mouth on a canvas the stamp does not name");
  for (bool lip : {false, true}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(make(lip)->hasLipContour(), lip);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              lip ? "[borrow] delivery mask: LIP CONTOUR (8 verts, feather 2.0 px) — the ellipse is not reachable in "
                    "this session\n"
                  : "[borrow] !!! delivery mask: ELLIPSE — this bundle carries no lip_template.v1.json, so it serves "
                    "the over-covering elliptical mask the contour replaces. BACKFILL IT: "
                    "models/brevane-2/tools/bake_lip_templates.py\n");
  }
}

// Crop R 1.2, G 0.5, B -0.3 or NaN: where the compose mask is 0 the window keeps the frame, (255,
// 128, 0); RGBA gives the same windows; each push emits the frame before it.
TEST_F(Borrow, QuantisesCropsAndEmitsOneFrameLate) {
  std::vector<float> planes(kPx * 3);
  std::vector<uint8_t> rgba(kPx * 4), mask(kPx);
  for (std::size_t i = 0; i < kPx; ++i) {
    planes[i] = 1.2f, planes[kPx + i] = 0.5f, planes[2 * kPx + i] = i % 2 ? kNaN : -0.3f;
    rgba[4 * i] = 255, rgba[4 * i + 1] = 128, rgba[4 * i + 2] = 0, rgba[4 * i + 3] = uint8_t(i);
  }
  auto a = make(false), b = make(false);
  FrameResult ra, rb;
  const tq::GeometryStamp& s = in.stamp;
  for (int f = 0; f < 3; ++f) {
    // Lips (rows 17..20) around the bank's canonical centroid (32, 41.5), opening a little more each frame.
    std::vector<float> kp(63, 0.0f);
    const float x = 64.0f / 63 - 1, y = 83.0f / 63 - 1, open = 0.04f + 0.02f * f;
    const float lips[8] = {x - 0.2f, y, x + 0.2f, y, x, y - open, x, y + open};
    for (int i = 0; i < 4; ++i) kp[3 * (17 + i)] = lips[2 * i], kp[3 * (17 + i) + 1] = lips[2 * i + 1];
    EXPECT_EQ(a->push(planes.data(), kp.data(), ra), f > 0);
    EXPECT_EQ(b->pushRgba(rgba.data(), kp.data(), rb), f > 0);
    int kept = 0, masked = 0;
    for (int r = 0; f > 0 && r < s.window_h; ++r)
      for (int c = 0; c < s.window_w; ++c) {
        const uint8_t* w = &ra.window[(std::size_t(r) * s.window_w + c) * 3];
        if (mask[std::size_t(s.window_y0 + r) * kCanvas + s.window_x0 + c]) { ++masked; continue; }
        ++kept;
        EXPECT_TRUE(w[0] == 255 && w[1] == 128 && w[2] == 0) << r << "," << c;
      }
    EXPECT_TRUE(f == 0 || (!ra.refused && ra.window == rb.window && kept > 0 && masked > 0)) << ra.reason;
    int32_t dy, dx;
    const double canon[2] = {32.0, 41.5};
    ASSERT_TRUE(pi().piU8AndShift(kp.data(), canon, mask.data(), dy, dx));  // this frame's, emitted next
  }
  EXPECT_TRUE(a->flush(ra) && !ra.refused && !a->flush(ra));
  EXPECT_EQ(std::make_pair(a->backend(), a->hostSplit(nullptr)), std::make_pair("cpu", false));
}

// crop = clamp(byte / 255 - q(v) / 255 + v, 0, 1) in the stamp window (q: push quantisation, NaN as 0);
// RGBA stores it rounded, alpha untouched; a refused result writes nothing, a wrong size is refused.
TEST_F(Borrow, WriteBackKeepsTheQuantisationResidue) {
  const tq::GeometryStamp& s = in.stamp;
  const float values[] = {1.2f, 0.5f, -0.3f, kNaN, 0.25f, 0.5f};
  const uint8_t bytes[] = {0, 128, 200, 255, 64, 0};
  FrameResult r;
  r.window.resize(std::size_t(s.window_w) * s.window_h * 3);
  for (std::size_t i = 0; i < r.window.size(); ++i) r.window[i] = bytes[i % 6];
  std::vector<float> crop(kPx * 3), out;
  for (std::size_t i = 0; i < crop.size(); ++i) crop[i] = values[(i / 7) % 6];
  std::vector<uint8_t> rgba(kPx * 4, 77);
  StreamBorrow::writeWindowDelta((out = crop).data(), kCanvas, r, s);
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), kCanvas, r, s);
  for (std::size_t i = 0; i < crop.size(); ++i) {
    const int c = int(i / kPx), y = int(i % kPx) / kCanvas - s.window_y0, x = int(i % kCanvas) - s.window_x0;
    const uint8_t got = rgba[(i % kPx) * 4 + c];
    if (y < 0 || y >= s.window_h || x < 0 || x >= s.window_w) {
      EXPECT_TRUE((std::isnan(crop[i]) ? std::isnan(out[i]) : out[i] == crop[i]) && got == 77);
      continue;
    }
    const uint8_t b = r.window[(std::size_t(y) * s.window_w + x) * 3 + c];
    const float v = std::isnan(crop[i]) ? 0.0f : crop[i];
    const float q = v > 0.0f ? std::nearbyint(std::min(v, 1.0f) * 255.0f) / 255.0f : 0.0f;
    EXPECT_EQ(out[i], std::min(std::max(b / 255.0f - q + v, 0.0f), 1.0f)) << i;
    EXPECT_EQ(got, b) << "a byte crop has no residue";
  }
  for (std::size_t k = 0; k < kPx; ++k) EXPECT_EQ(rgba[k * 4 + 3], 77);
  r.refused = true;
  StreamBorrow::writeWindowDelta((out = crop).data(), kCanvas, r, s);
  EXPECT_EQ(0, std::memcmp(out.data(), crop.data(), crop.size() * 4));
  r.refused = false, r.window.resize(5);
  EXPECT_EQ(tqtest::thrown([&] { StreamBorrow::writeWindowDelta(out.data(), kCanvas, r, s); }),
            "teeth stream: window 5 bytes does not match the stamp window 24x40 — refusing to write back");
}

}  // namespace
