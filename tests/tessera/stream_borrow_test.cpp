// StreamBorrow over a teeth bundle the fixture tool wrote (its bank track decoded
// by decodeBankTrack): construction refusals and delivery-mask lines, crop
// quantisation seen through the emitted window, and the write-back formula.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tessera/tq_bankdec_ff.h"
#include "tessera/tq_bundle_tessera.h"
#include "tessera/tq_tessera_stream.h"
#include "tq_test_util.h"

namespace {

using namespace tq::tessera;

constexpr int kCanvas = 64;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

class Borrow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    ASSERT_TRUE(tqtest::runFixtureTool({"teeth-bundle", dir_->path()}));
    ASSERT_TRUE(tqtest::runFixtureTool({"bank-head", *dir_ / "tame.pt"}));
  }
  static void TearDownTestSuite() { delete dir_; }

  // The bundle's members as the borrow takes them; the stamp and pi canvas may be changed.
  std::unique_ptr<StreamBorrow> make(bool lip, tq::GeometryStamp* stamp = nullptr, int piCanvas = kCanvas) {
    const tq::TesseraAttachInputs in = tq::loadTesseraMembers(dir_->path());
    const std::vector<uint8_t> track = tqtest::readBytes(in.bank_track_path);
    BankData b;
    b.n_donors = in.n_donors;
    b.patches = decodeBankTrack(track.data(), track.size(), in.n_donors, in.band_w, in.band_h, in.track_order);
    b.cent = in.cent, b.aperture = in.aperture, b.c_canon = in.c_canon, b.stamp = stamp ? *stamp : in.stamp;
    stamp_ = in.stamp;
    pi_ = UnifiedPi::fromManifestJson(in.manifest_json, piCanvas);
    return std::make_unique<StreamBorrow>(std::move(b), loadHeadPt(tqtest::readBytes(*dir_ / "tame.pt")),
                                          ServeConfig::fromHeadMemberJson(in.head_json), pi_,
                                          lip ? tqtest::readText(*dir_ / "lip_template.v1.json") : "");
  }

  // Lips (rows 17..20) around the bank's canonical centroid (32, 41.5), opening by `open`.
  static std::vector<float> lips(float open) {
    std::vector<float> kp(63, 0.0f);
    const float x = 2.0f * 32.0f / 63.0f - 1.0f, y = 2.0f * 41.5f / 63.0f - 1.0f;
    const float pts[4][2] = {{x - 0.2f, y}, {x + 0.2f, y}, {x, y - open}, {x, y + open}};
    for (int i = 0; i < 4; ++i) kp[3 * (17 + i)] = pts[i][0], kp[3 * (17 + i) + 1] = pts[i][1];
    return kp;
  }

  static tqtest::TempDir* dir_;
  tq::GeometryStamp stamp_;
  UnifiedPi pi_;
};
tqtest::TempDir* Borrow::dir_ = nullptr;

TEST_F(Borrow, RefusesCanvasesItCannotComposeOnAndNamesItsDeliveryMask) {
  tq::GeometryStamp s = tq::loadTesseraMembers(dir_->path()).stamp;
  s.canvas_w = 512, s.canvas_h = 384;
  EXPECT_EQ(tqtest::thrown([&] { make(false, &s); }),
            "teeth stream: non-square compose canvas 512x384 — tq_core renders a square crop");
  s.canvas_w = s.canvas_h = 80;
  EXPECT_EQ(tqtest::thrown([&] { make(false, &s); }),
            "teeth stream: manifest pi canvas 64 != bank compose canvas 80 — refusing to compose a mouth on a canvas "
            "the stamp does not name");
  for (bool lip : {false, true}) {
    testing::internal::CaptureStderr();
    const bool contour = make(lip)->hasLipContour();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(contour, lip);
    EXPECT_EQ(err, lip ? "[borrow] delivery mask: LIP CONTOUR (8 verts, feather 2.0 px) — the ellipse is not reachable "
                         "in this session\n"
                       : "[borrow] !!! delivery mask: ELLIPSE — this bundle carries no lip_template.v1.json, so it "
                         "serves the over-covering elliptical mask the contour replaces. BACKFILL IT: "
                         "models/brevane-2/tools/bake_lip_templates.py\n");
  }
}

// Crop R = 1.2, G = 0.5, B <= 0 or NaN: wherever the compose mask is 0 the window keeps the frame,
// so it reads (255, 128, 0); planes and RGBA give the same windows; emission is one frame late.
TEST_F(Borrow, CropsAreQuantisedHalfToEvenAndPushedOneFrameLate) {
  const std::size_t px = std::size_t(kCanvas) * kCanvas;
  std::vector<float> planes(px * 3);
  std::vector<uint8_t> rgba(px * 4);
  for (std::size_t i = 0; i < px; ++i) {
    planes[i] = 1.2f, planes[px + i] = 0.5f, planes[2 * px + i] = i % 2 ? kNaN : -0.3f;
    rgba[4 * i] = 255, rgba[4 * i + 1] = 128, rgba[4 * i + 2] = 0, rgba[4 * i + 3] = uint8_t(i);
  }
  auto a = make(false), b = make(false);
  FrameResult ra, rb;
  std::vector<uint8_t> mask(px);
  int32_t dy = 0, dx = 0;
  const double canon[2] = {32.0, 41.5};
  for (int f = 0; f < 3; ++f) {
    const std::vector<float> kp = lips(0.04f + 0.02f * f);
    EXPECT_EQ(a->push(planes.data(), kp.data(), ra), f > 0);
    EXPECT_EQ(b->pushRgba(rgba.data(), kp.data(), rb), f > 0);
    if (f == 0) {
      ASSERT_TRUE(pi_.piU8AndShift(kp.data(), canon, mask.data(), dy, dx));
      continue;
    }
    ASSERT_FALSE(ra.refused) << ra.reason;
    EXPECT_EQ(ra.window, rb.window);
    int kept = 0, masked = 0;
    for (int r = 0; r < stamp_.window_h; ++r)
      for (int c = 0; c < stamp_.window_w; ++c) {
        const uint8_t* w = &ra.window[(std::size_t(r) * stamp_.window_w + c) * 3];
        if (mask[std::size_t(stamp_.window_y0 + r) * kCanvas + stamp_.window_x0 + c]) { ++masked; continue; }
        kept += w[0] == 255 && w[1] == 128 && w[2] == 0;
        EXPECT_EQ(std::vector<int>(w, w + 3), (std::vector<int>{255, 128, 0})) << r << "," << c;
      }
    EXPECT_TRUE(kept > 0 && masked > 0) << kept << " " << masked;
    ASSERT_TRUE(pi_.piU8AndShift(kp.data(), canon, mask.data(), dy, dx));
  }
  EXPECT_TRUE(a->flush(ra) && !ra.refused);
  EXPECT_FALSE(a->flush(ra));
  EXPECT_EQ(std::make_pair(a->backend(), a->hostSplit(nullptr)), std::make_pair("cpu", false));
}

// crop = clamp(byte / 255 - q(v) / 255 + v, 0, 1) inside the unshifted stamp window, with q the
// push quantisation (NaN read as 0); RGBA stores it rounded, alpha untouched; refusals write nothing.
TEST_F(Borrow, WriteBackKeepsTheQuantisationResidue) {
  make(false);
  const tq::GeometryStamp& s = stamp_;
  const std::size_t px = std::size_t(kCanvas) * kCanvas;
  const float values[] = {1.2f, 0.5f, -0.3f, kNaN, 0.25f, 0.5f};
  const uint8_t bytes[] = {0, 128, 200, 255, 64, 0};
  FrameResult r;
  r.window.resize(std::size_t(s.window_w) * s.window_h * 3);
  for (std::size_t i = 0; i < r.window.size(); ++i) r.window[i] = bytes[i % 6];
  std::vector<float> crop(px * 3);
  for (std::size_t i = 0; i < crop.size(); ++i) crop[i] = values[(i / 7) % 6];
  std::vector<float> out = crop;
  StreamBorrow::writeWindowDelta(out.data(), kCanvas, r, s);
  std::vector<uint8_t> rgba(px * 4, 77), rgbaOut = rgba;
  StreamBorrow::writeWindowDeltaRgba(rgbaOut.data(), kCanvas, r, s);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < kCanvas; ++y)
      for (int x = 0; x < kCanvas; ++x) {
        const std::size_t i = c * px + std::size_t(y) * kCanvas + x, p = (std::size_t(y) * kCanvas + x) * 4 + c;
        const bool in = y >= s.window_y0 && y < s.window_y0 + s.window_h && x >= s.window_x0 &&
                        x < s.window_x0 + s.window_w;
        if (!in) {
          EXPECT_TRUE(std::isnan(crop[i]) ? std::isnan(out[i]) : out[i] == crop[i]);
          EXPECT_EQ(rgbaOut[p], 77);
          continue;
        }
        const uint8_t b = r.window[((std::size_t(y) - s.window_y0) * s.window_w + (x - s.window_x0)) * 3 + c];
        const float v = std::isnan(crop[i]) ? 0.0f : crop[i];
        const float q = v > 0.0f ? std::nearbyint(std::min(v, 1.0f) * 255.0f) / 255.0f : 0.0f;
        EXPECT_EQ(out[i], std::min(std::max(b / 255.0f - q + v, 0.0f), 1.0f)) << c << " " << y << " " << x;
        EXPECT_EQ(rgbaOut[p], b) << "a byte crop has no residue";
      }
  for (std::size_t k = 0; k < px; ++k) EXPECT_EQ(rgbaOut[k * 4 + 3], 77);
  r.refused = true;
  std::vector<float> same = crop;
  StreamBorrow::writeWindowDelta(same.data(), kCanvas, r, s);
  EXPECT_EQ(0, std::memcmp(same.data(), crop.data(), crop.size() * 4));
  r.refused = false;
  r.window.resize(5);
  EXPECT_EQ(tqtest::thrown([&] { StreamBorrow::writeWindowDelta(out.data(), kCanvas, r, s); }),
            "teeth stream: window 5 bytes does not match the stamp window 24x40 — refusing to write back");
}

}  // namespace
