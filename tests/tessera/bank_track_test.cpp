// Bank tracks the ffmpeg tool wrote: lossless ones decode to the drawn patches in donor order byte
// for byte, a yuv420p one within a level of ffmpeg's own bilinear RGB24; malformed ones are refused.
#include <gtest/gtest.h>

#include "tessera/tq_bankdec_ff.h"
#include "tq_test_util.h"

namespace {

constexpr int kN = 12, kW = 40, kH = 24;

struct BankTrack : ::testing::Test {
  static void SetUpTestSuite() {
    ASSERT_TRUE(tqtest::runFixtureTool({"bank-tracks", (dir = new tqtest::TempDir())->path(), "--n", "12"}));
  }
  static void TearDownTestSuite() { delete dir; }
  static std::vector<uint8_t> file(const std::string& name) { return tqtest::readBytes(*dir / name); }
  static std::vector<int32_t> order() { return tqtest::readAs<int32_t>(*dir / "order.i32"); }
  static std::vector<uint8_t> decode(const char* name, int n, int w, int h, const std::vector<int32_t>& ord) {
    const std::vector<uint8_t> b = *name ? file(name) : std::vector<uint8_t>{};
    return tq::tessera::decodeBankTrack(b.data(), b.size(), n, w, h, ord);
  }
  static inline tqtest::TempDir* dir = nullptr;
};

TEST_F(BankTrack, DecodesToDonorOrder) {
  EXPECT_EQ(decode("lossless.mp4", kN, kW, kH, order()), file("donors.rgb"));
  EXPECT_EQ(decode("odd_lossless.mp4", kN, 37, 23, order()), file("odd_donors.rgb"));
  const std::vector<int32_t> ord = order();
  const std::vector<uint8_t> got = decode("yuv.mp4", kN, kW, kH, ord), ref = file("yuv_ref.rgb");  // ref: track order
  const std::size_t frame = std::size_t(kW) * kH * 3;
  ASSERT_EQ(ref.size(), got.size());
  int worst = 0;
  for (std::size_t k = 0; k < ref.size(); ++k)
    worst = std::max(worst, std::abs(int(got[ord[k / frame] * frame + k % frame]) - int(ref[k])));
  // The reference comes from the build machine's ffmpeg; under emulation our decode
  // runs another processor's swscale code, whose yuv->rgb rounding differs by a level.
  EXPECT_LE(worst, tqtest::underEmulation() ? 2 : 1);
}

TEST_F(BankTrack, RefusesMalformedTracks) {
  const std::string serve = " — refusing to serve", more = "bank track carries more frames than the sidecar's n_donors";
  std::vector<int32_t> outside = order(), repeated = order(), shortOrder = order(), longOrder(132);
  outside[3] = kN, repeated[3] = repeated[4], shortOrder.pop_back();
  for (int i = 0; i < 132; ++i) longOrder[i] = i;
  const struct {
    const char* file;
    int n, h;
    std::vector<int32_t> ord;
    std::string text;
  } cases[] = {
      {"", kN, kH, order(), "reference bank track is empty" + serve},
      {"lossless.mp4", kN, kH, shortOrder, "reference bank sidecar track_order has 11 entries, expected 12 — "
                                           "sidecar/track mismatch, refusing to serve"},
      {"lossless.mp4", kN, 0, order(), "reference bank geometry is not positive" + serve},
      {"lossless.mp4", 0, kH, {}, "reference bank geometry is not positive" + serve},
      {"donors.rgb", kN, kH, order(), "reference bank track is not a readable container" + serve},
      {"cut_tail.mp4", kN, kH, order(), "reference bank track is not a readable container" + serve},
      {"audio.m4a", kN, kH, order(), "reference bank track has no video stream" + serve},
      {"wide.mp4", kN, kH, order(), "reference bank track is 42x24, the geometry stamp says 40x24 — geometry "
                                    "mismatch, refusing to serve"},
      {"lossless.mp4", kN, kH, outside, "reference bank track_order is out of range" + serve},
      {"lossless.mp4", kN, kH, repeated, "reference bank track_order is not a permutation" + serve},
      {"resized.h264", 132, kH, longOrder, "reference bank frame changed size mid-track" + serve},
      {"more.mp4", kN, kH, order(), more + " — sidecar/track mismatch, refusing to serve"},
      {"fewer.mp4", kN, kH, order(), "bank track decoded to 11 frames, expected 12 — geometry/N mismatch, refusing "
                                     "to serve"},
      {"cut_fast.mp4", kN, kH, order(), "bank track decoded to 6 frames, expected 12 — geometry/N mismatch, "
                                        "refusing to serve"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(tqtest::thrown([&] { decode(c.file, c.n, kW, c.h, c.ord); }), c.text) << c.file;
}

}  // namespace
