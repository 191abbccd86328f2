// Bank track decoding on tracks the ffmpeg tool wrote: lossless tracks come back
// as the drawn patches in donor order byte for byte, a yuv420p track within one
// level of ffmpeg's own bilinear RGB24, and every malformed track is refused with
// its whole text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tessera/tq_bankdec_ff.h"
#include "tq_test_util.h"

namespace {

constexpr int kN = 12, kW = 40, kH = 24;

class BankTrack : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    ASSERT_TRUE(tqtest::runFixtureTool({"bank-tracks", dir_->path(), "--n", std::to_string(kN), "--size", "40x24",
                                        "--odd-size", "37x23"}));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::vector<uint8_t> file(const std::string& name) { return tqtest::readBytes(*dir_ / name); }
  static std::vector<int32_t> order() { return tqtest::readAs<int32_t>(*dir_ / "order.i32"); }
  static std::vector<uint8_t> decode(const std::string& name, int n, int w, int h, const std::vector<int32_t>& ord) {
    const std::vector<uint8_t> b = file(name);
    return tq::tessera::decodeBankTrack(b.data(), b.size(), n, w, h, ord);
  }
  static tqtest::TempDir* dir_;
};
tqtest::TempDir* BankTrack::dir_ = nullptr;

TEST_F(BankTrack, LosslessTracksDecodeToTheDonorsByteForByte) {
  EXPECT_EQ(decode("lossless.mp4", kN, kW, kH, order()), file("donors.rgb"));
  EXPECT_EQ(decode("odd_lossless.mp4", kN, 37, 23, order()), file("odd_donors.rgb"));
}

TEST_F(BankTrack, Yuv420TrackIsWithinOneLevelOfFfmpegBilinear) {
  const std::vector<int32_t> ord = order();
  const std::vector<uint8_t> got = decode("yuv.mp4", kN, kW, kH, ord);
  const std::vector<uint8_t> ref = file("yuv_ref.rgb");  // track order
  const size_t frame = size_t(kW) * kH * 3;
  ASSERT_EQ(ref.size(), got.size());
  int worst = 0;
  for (int i = 0; i < kN; ++i)
    for (size_t k = 0; k < frame; ++k)
      worst = std::max(worst, std::abs(int(got[size_t(ord[i]) * frame + k]) - int(ref[i * frame + k])));
  EXPECT_LE(worst, 1);
}

TEST_F(BankTrack, RefusesEveryMalformedTrackWithItsText) {
  const std::string serve = " — refusing to serve";
  std::vector<int32_t> outside = order(), repeated = order();
  outside[3] = kN;
  repeated[3] = repeated[4];
  std::vector<int32_t> shortOrder = order(), resizedOrder(132);
  shortOrder.pop_back();
  for (int i = 0; i < 132; ++i) resizedOrder[i] = i;
  const struct {
    const char* file;
    int n, w, h;
    std::vector<int32_t> ord;
    std::string text;
  } cases[] = {
      {"", kN, kW, kH, order(), "reference bank track is empty" + serve},
      {"lossless.mp4", kN, kW, kH, shortOrder,
       "reference bank sidecar track_order has 11 entries, expected 12 — sidecar/track mismatch, refusing to serve"},
      {"lossless.mp4", kN, kW, 0, order(), "reference bank geometry is not positive" + serve},
      {"lossless.mp4", 0, kW, kH, {}, "reference bank geometry is not positive" + serve},
      {"donors.rgb", kN, kW, kH, order(), "reference bank track is not a readable container" + serve},
      {"cut_tail.mp4", kN, kW, kH, order(), "reference bank track is not a readable container" + serve},
      {"audio.m4a", kN, kW, kH, order(), "reference bank track has no video stream" + serve},
      {"wide.mp4", kN, kW, kH, order(),
       "reference bank track is 42x24, the geometry stamp says 40x24 — geometry mismatch, refusing to serve"},
      {"lossless.mp4", kN, kW, kH, outside, "reference bank track_order is out of range" + serve},
      {"lossless.mp4", kN, kW, kH, repeated, "reference bank track_order is not a permutation" + serve},
      {"resized.h264", 132, kW, kH, resizedOrder, "reference bank frame changed size mid-track" + serve},
      {"more.mp4", kN, kW, kH, order(),
       "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve"},
      {"fewer.mp4", kN, kW, kH, order(),
       "bank track decoded to 11 frames, expected 12 — geometry/N mismatch, refusing to serve"},
      {"cut_fast.mp4", kN, kW, kH, order(),
       "bank track decoded to 6 frames, expected 12 — geometry/N mismatch, refusing to serve"},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> b = *c.file ? file(c.file) : std::vector<uint8_t>{};
    EXPECT_EQ(tqtest::thrown([&] { tq::tessera::decodeBankTrack(b.data(), b.size(), c.n, c.w, c.h, c.ord); }), c.text)
        << c.file;
  }
}

}  // namespace
