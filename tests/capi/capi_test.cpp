// The core context through the exported C functions: argument refusals and their texts, the render
// and paste round trip, RGBA, the warp prior against ffmpeg's decode of its movie.
#include <cstring>
#include <functional>

#include "capi_fixture.h"

namespace {

using namespace capitest;

constexpr size_t kCropFloats = 3 * size_t(kCrop) * kCrop;

std::vector<float> kp(float shift) {
  std::vector<float> v(63);
  for (int i = 0; i < 63; ++i) v[i] = 0.3f * std::sin(0.7f * i) + (i % 3 == 1 ? shift : 0.0f);
  return v;
}

std::vector<float> renderCopy(tq_ctx* ctx, int si, const std::vector<float>& src, const std::vector<float>& drv) {
  const float* crop = tq_render_kp_crop(ctx, si, src.data(), drv.data());
  EXPECT_NE(crop, nullptr) << tq_last_error();
  return crop ? std::vector<float>(crop, crop + kCropFloats) : std::vector<float>();
}

class Context : public CtxBase {};

// Out-of-range and NULL calls are refused with their texts, before the director is ever loaded.
TEST_F(Context, RefusalsGiveTheirTextsBeforeTheFirstRender) {
  EXPECT_EQ(std::vector<int>({tq_nt(ctx), tq_width(ctx), tq_height(ctx), tq_crop(ctx), tq_drive_frames(ctx)}),
            std::vector<int>({kNT, kW, kH, kCrop, 4}));
  EXPECT_EQ(tq_nt(nullptr) + tq_width(nullptr) + tq_height(nullptr) + tq_crop(nullptr) + tq_drive_frames(nullptr), 0);
  EXPECT_EQ(tq_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(tq_prior_backend(nullptr), "");
  tq_destroy(nullptr), tq_prior_close(nullptr);
  const auto k = kp(0);
  uint8_t small[8];
  const struct { std::function<bool()> refused; const char* text; } calls[] = {
      {[] { return !tq_create("x", nullptr, 0, nullptr); }, "tq_create: NULL bundle_dir/model_key"},
      {[] { return !tq_create(nullptr, "b1", 0, nullptr); }, "tq_create: NULL bundle_dir/model_key"},
      {[&] { return !tq_render_kp_crop(nullptr, 0, k.data(), k.data()); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_kp_crop(ctx, kNT, k.data(), k.data()); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_kp_crop(ctx, -1, k.data(), k.data()); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_kp_crop(ctx, 0, nullptr, k.data()); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_kp_crop(ctx, 0, k.data(), nullptr); }, "tq_render_kp_crop: bad args"},
      {[] { return !tq_render_drive_crop(nullptr, 0); }, "tq_render_drive_crop: bad frame index"},
      {[&] { return !tq_render_drive_crop(ctx, 4); }, "tq_render_drive_crop: bad frame index"},
      {[&] { return !tq_paste_crop(nullptr, 0, k.data(), small, sizeof small); }, "tq_paste_crop: bad args / out too small"},
      {[&] { return !tq_paste_crop(ctx, 0, k.data(), small, sizeof small); }, "tq_paste_crop: bad args / out too small"},
      {[] { return !tq_paste_last(nullptr, 0); }, "tq_paste_last: bad args / no prior render"},
      {[&] { return !tq_paste_last(ctx, 0); }, "tq_paste_last: bad args / no prior render"},
      {[] { return !tq_target_frame(nullptr, 0); }, "tq_target_frame: bad args"},
      {[&] { return !tq_target_frame(ctx, kNT); }, "tq_target_frame: bad args"},
      {[] { return !tq_prior_open(nullptr, 2, 11); }, "tq_prior_open: NULL bundle_dir"},
      {[&] { return !tq_prior_row(nullptr, 0, small, sizeof small); }, "tq_prior_row: NULL prior/out"},
  };
  testing::internal::CaptureStderr();
  for (const auto& c : calls) {
    EXPECT_TRUE(c.refused()) << c.text;
    EXPECT_STREQ(tq_last_error(), c.text);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("[tq] director"), std::string::npos);
}

// Unscaled at (10 + si, 5 + si), opaque mask, no sharpening: well inside the crop each pixel is the
// crop value; far outside the paste rectangle the driver frame is untouched. A failed render keeps
// the previous crop for tq_paste_last.
TEST_F(Context, RenderedCropsArePastedOverTheirOwnDriverFrame) {
  const auto src = kp(0), drv = kp(0.05f);
  for (int si : {2, 0, 1}) {
    const std::vector<float> crop = renderCopy(ctx, si, src, drv);
    ASSERT_FALSE(crop.empty());
    EXPECT_STREQ(tq_last_error(), "");
    const uint8_t* driver = tq_target_frame(ctx, si);
    ASSERT_NE(driver, nullptr) << tq_last_error();
    std::vector<uint8_t> out(kFrameBytes);
    ASSERT_EQ(tq_paste_crop(ctx, si, crop.data(), out.data(), out.size()), 1) << tq_last_error();
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x)
        for (int c = 0, u = x - 10 - si, v = y - 5 - si; c < 3; ++c) {
          const size_t at = (size_t(y) * kW + x) * 3 + c;
          if (u >= 4 && u < kCrop - 4 && v >= 4 && v < kCrop - 4) {
            ASSERT_NEAR(out[at], std::clamp(crop[c * kCrop * kCrop + v * kCrop + u] * 255.0f, 0.0f, 255.0f), 1.0f)
                << "si " << si << " x " << x << " y " << y;
          } else if (u < -5 || u > kCrop + 4 || v < -5 || v > kCrop + 4) {
            ASSERT_EQ(out[at], driver[at]) << "x " << x << " y " << y;
          }
        }
    EXPECT_EQ(tq_render_kp_crop(ctx, kNT, drv.data(), src.data()), nullptr);
    const uint8_t* last = tq_paste_last(ctx, si);
    EXPECT_TRUE(last && std::memcmp(last, out.data(), kFrameBytes) == 0) << tq_last_error();
  }
}

TEST_F(Context, RgbaFormsExpandThePastedFrame) {
  const size_t pixels = size_t(kW) * kH;
  const auto src = kp(0), drv = kp(-0.06f);
  std::vector<uint8_t> rgba(pixels * 4);
  EXPECT_EQ(tq_render_drive_rgba(ctx, 1, rgba.data(), rgba.size() - 1) + tq_render_kp_rgba(ctx, 0, src.data(),
                                                                                            drv.data(), nullptr, 0), 0);
  EXPECT_STREQ(tq_last_error(), "tq_render_*_rgba: out buffer too small");
  const auto expectRgbaOf = [&](const uint8_t* rgb, const char* what) {
    for (size_t p = 0; p < pixels * 4; ++p) ASSERT_EQ(rgba[p], p % 4 == 3 ? 255 : rgb[p / 4 * 3 + p % 4]) << what << p;
  };
  ASSERT_EQ(tq_render_kp_rgba(ctx, 2, src.data(), drv.data(), rgba.data(), rgba.size()), 1) << tq_last_error();
  expectRgbaOf(renderPaste(ctx, 2, src.data(), drv.data()).data(), "kp");
  // Drive frame 1 shows identity frame 1 (the fixture's si walks 0, 1, 2, 0).
  ASSERT_EQ(tq_render_drive_rgba(ctx, 1, rgba.data(), rgba.size()), 1) << tq_last_error();
  ASSERT_NE(tq_paste_last(ctx, 1), nullptr);
  expectRgbaOf(tq_paste_last(ctx, 1), "drive");
}

// Rows played from the prior movie equal ffmpeg's decode of it, and crops rendered from the movie
// equal crops rendered from its decoded frames stored raw.
TEST(CApi, WarpPriorFromTheMovieRendersLikeItsDecodedFrames) {
  tqtest::TempDir t;
  const std::string dir = writeBundle(t, {"--prior", "none", "--prior-movie"},
                                      "{\"amount\": 0, \"P_hevc\": \"P_hevc.mov\"}");
  ASSERT_TRUE(tqtest::runFixtureTool({"movie-prior-oracle", dir + "/P_hevc.mov", t / "oracle.f16", "--side", "32"}));
  const std::vector<uint8_t> oracle = tqtest::readBytes(t / "oracle.f16");
  tq_prior* p = tq_prior_open(dir.c_str(), 0, -1);
  ASSERT_NE(p, nullptr) << tq_last_error();
  const size_t row = tq_prior_row_bytes(p);
  ASSERT_EQ(oracle.size(), row * kNT);
  EXPECT_EQ(std::string(tq_prior_backend(p)).rfind("hevc444/libavcodec ", 0), 0u) << tq_prior_backend(p);
  std::vector<uint8_t> out(row);
  EXPECT_EQ(tq_prior_row(p, 0, out.data(), 10), 0);
  EXPECT_STREQ(tq_last_error(), "tq_prior_row: cap 10 < row bytes 6144");
  for (int i : {2, 0, 1, 1}) {
    ASSERT_EQ(tq_prior_row(p, i, out.data(), out.size()), 1) << tq_last_error();
    EXPECT_EQ(std::memcmp(out.data(), oracle.data() + row * i, row), 0) << "frame " << i;
  }
  EXPECT_EQ(tq_prior_row(p, kNT, out.data(), out.size()), 0);
  EXPECT_STREQ(tq_last_error(), "tq_prior_row: tq_driver: seek(3) outside [0,3)");
  tq_prior_close(p);
  const auto src = kp(0), drv = kp(0.07f);
  std::vector<std::vector<float>> crops[2];
  for (auto& pass : crops) {
    tq_ctx* ctx = tq_create(dir.c_str(), "b1", 1, nullptr);
    ASSERT_NE(ctx, nullptr) << tq_last_error();
    for (int si : {2, 0, 1, 2}) pass.push_back(renderCopy(ctx, si, src, drv));
    tq_destroy(ctx);
    tqtest::writeText(dir + "/P.f16", std::string(oracle.begin(), oracle.end()));
  }
  EXPECT_EQ(crops[0], crops[1]);
}

}  // namespace
