// The core context through the exported C functions: argument checks and their
// texts, bundle refusals, the render and paste round trip, RGBA, the warp prior.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "capi_fixture.h"
#include "tq/tq.h"

namespace {

using capitest::kCrop;
using capitest::kH;
using capitest::kNT;
using capitest::kW;
using tqtest::TempDir;

std::vector<float> kp(float shift) {
  std::vector<float> v(63);
  for (int i = 0; i < 63; ++i) v[i] = 0.3f * std::sin(0.7f * i) + (i % 3 == 1 ? shift : 0.0f);
  return v;
}

class Context : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tmp = new TempDir();
    dir = capitest::writeBundle(*tmp, "prior-movie");
  }
  static void TearDownTestSuite() { delete tmp; }
  void SetUp() override {
    testing::internal::CaptureStderr();
    ctx = tq_create(dir.c_str(), "b1", 1, nullptr);
    log = testing::internal::GetCapturedStderr();
    ASSERT_NE(ctx, nullptr) << tq_last_error();
  }
  void TearDown() override { tq_destroy(ctx); }

  static TempDir* tmp;
  static std::string dir;
  tq_ctx* ctx = nullptr;
  std::string log;
};
TempDir* Context::tmp = nullptr;
std::string Context::dir;

TEST(CApi, NullAndOutOfRangeArgumentsGiveTheirFixedTexts) {
  EXPECT_EQ(tq_host_kp_rows(), 21);
  EXPECT_EQ(tq_nt(nullptr), 0);
  EXPECT_EQ(tq_width(nullptr), 0);
  EXPECT_EQ(tq_height(nullptr), 0);
  EXPECT_EQ(tq_crop(nullptr), 0);
  EXPECT_EQ(tq_drive_frames(nullptr), 0);
  EXPECT_EQ(tq_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(tq_prior_backend(nullptr), "");
  tq_destroy(nullptr);
  tq_prior_close(nullptr);
  const float k[63] = {};
  uint8_t out[16];
  struct Case {
    std::function<bool()> call;
    const char* text;
  } cases[] = {
      {[] { return tq_create("x", nullptr, 0, nullptr) == nullptr; }, "tq_create: NULL bundle_dir/model_key"},
      {[] { return tq_create(nullptr, "b1", 0, nullptr) == nullptr; }, "tq_create: NULL bundle_dir/model_key"},
      {[&] { return tq_render_kp_crop(nullptr, 0, k, k) == nullptr; }, "tq_render_kp_crop: bad args"},
      {[] { return tq_render_drive_crop(nullptr, 0) == nullptr; }, "tq_render_drive_crop: bad frame index"},
      {[&] { return tq_paste_crop(nullptr, 0, k, out, sizeof out) == 0; }, "tq_paste_crop: bad args / out too small"},
      {[] { return tq_paste_last(nullptr, 0) == nullptr; }, "tq_paste_last: bad args / no prior render"},
      {[] { return tq_target_frame(nullptr, 0) == nullptr; }, "tq_target_frame: bad args"},
      {[] { return tq_prior_open(nullptr, 2, 11) == nullptr; }, "tq_prior_open: NULL bundle_dir"},
      {[&] { return tq_prior_row(nullptr, 0, out, sizeof out) == 0; }, "tq_prior_row: NULL prior/out"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(c.call()) << c.text;
    EXPECT_STREQ(tq_last_error(), c.text);
  }
}

TEST(CApi, BundleRefusalsReachTheCaller) {
  TempDir t;
  const std::string dir = t / "b";
  ASSERT_TRUE(tqtest::runFixtureTool({"identity-bundle", dir, "--manifest-set", "{\"frames\": null}"}));
  EXPECT_EQ(tq_create(dir.c_str(), "b1", 0, nullptr), nullptr);
  EXPECT_STREQ(tq_last_error(), "tq_create: manifest: missing key frames");

  TempDir t2;
  const std::string noMask = t2 / "b";
  ASSERT_TRUE(tqtest::runFixtureTool({"identity-bundle", noMask, "--crop", "16", "--extra-bytes",
                                      "{\"mask_512.u8\": -1}"}));
  EXPECT_EQ(tq_create(noMask.c_str(), "b1", 0, nullptr), nullptr);
  EXPECT_STREQ(tq_last_error(), "tq_create: mask read failed");

  // Everything present but the driver video.
  TempDir t3;
  const std::string noDriver = t3 / "b";
  ASSERT_TRUE(tqtest::runFixtureTool({"identity-bundle", noDriver}));
  EXPECT_EQ(tq_create(noDriver.c_str(), "b1", 0, ""), nullptr);
  EXPECT_EQ(std::string(tq_last_error()),
            "tq_create: this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" + noDriver +
                "/target_frames.mp4) — there is no driver video to play. REFUSING to create a session.");
  EXPECT_EQ(tq_prior_open(noDriver.c_str(), 0, -1), nullptr);
  EXPECT_EQ(std::string(tq_last_error()),
            "tq_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov (" + noDriver +
                "/P_hevc.mov) — there is no warp prior to play. REFUSING to create a session.");
}

TEST_F(Context, GeometryAndFirstRenderChecks) {
  EXPECT_STREQ(tq_last_error(), "");
  EXPECT_EQ(tq_nt(ctx), kNT);
  EXPECT_EQ(tq_width(ctx), kW);
  EXPECT_EQ(tq_height(ctx), kH);
  EXPECT_EQ(tq_crop(ctx), kCrop);
  EXPECT_EQ(tq_drive_frames(ctx), 4);
  EXPECT_EQ(tq_paste_last(ctx, 0), nullptr);
  EXPECT_STREQ(tq_last_error(), "tq_paste_last: bad args / no prior render");
  const auto k = kp(0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(tq_render_kp_crop(ctx, kNT, k.data(), k.data()), nullptr);
  EXPECT_STREQ(tq_last_error(), "tq_render_kp_crop: bad args");
  EXPECT_EQ(tq_render_kp_crop(ctx, -1, k.data(), k.data()), nullptr);
  EXPECT_EQ(tq_render_kp_crop(ctx, 0, nullptr, k.data()), nullptr);
  EXPECT_EQ(tq_render_drive_crop(ctx, 4), nullptr);
  EXPECT_STREQ(tq_last_error(), "tq_render_drive_crop: bad frame index");
  EXPECT_EQ(tq_target_frame(ctx, kNT), nullptr);
  EXPECT_STREQ(tq_last_error(), "tq_target_frame: bad args");
  uint8_t small[8];
  EXPECT_EQ(tq_paste_crop(ctx, 0, k.data(), small, sizeof small), 0);
  EXPECT_STREQ(tq_last_error(), "tq_paste_crop: bad args / out too small");
  // None of the refused calls loaded the director.
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("[tq] director"), std::string::npos);
}

TEST_F(Context, RenderedCropsArePastedOverTheirOwnDriverFrame) {
  const auto src = kp(0), drv = kp(0.05f);
  const size_t frameBytes = size_t(kW) * kH * 3;
  for (int si : {2, 0, 1}) {
    const float* crop = tq_render_kp_crop(ctx, si, src.data(), drv.data());
    ASSERT_NE(crop, nullptr) << tq_last_error();
    EXPECT_STREQ(tq_last_error(), "");
    std::vector<float> copy(crop, crop + 3 * kCrop * kCrop);
    const uint8_t* target = tq_target_frame(ctx, si);
    ASSERT_NE(target, nullptr) << tq_last_error();
    std::vector<uint8_t> driver(target, target + frameBytes);
    std::vector<uint8_t> pasted(frameBytes);
    ASSERT_EQ(tq_paste_crop(ctx, si, copy.data(), pasted.data(), pasted.size()), 1) << tq_last_error();
    const uint8_t* last = tq_paste_last(ctx, si);
    ASSERT_NE(last, nullptr) << tq_last_error();
    EXPECT_EQ(std::memcmp(last, pasted.data(), frameBytes), 0);
    // Unscaled at (10 + si, 5 + si), opaque mask, no sharpening: well inside the crop each
    // pixel is the crop value; far outside the paste rectangle the driver frame is untouched.
    const int ox = 10 + si, oy = 5 + si;
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        const size_t at = (size_t(y) * kW + x) * 3;
        const int u = x - ox, v = y - oy;
        if (u >= 4 && u < kCrop - 4 && v >= 4 && v < kCrop - 4) {
          for (int c = 0; c < 3; ++c) {
            const float want = std::min(255.0f, std::max(0.0f, copy[c * kCrop * kCrop + v * kCrop + u] * 255.0f));
            EXPECT_NEAR(pasted[at + c], want, 1.0f) << "si " << si << " x " << x << " y " << y;
          }
        } else if (u < -5 || u > kCrop + 4 || v < -5 || v > kCrop + 4) {
          for (int c = 0; c < 3; ++c) ASSERT_EQ(pasted[at + c], driver[at + c]) << "x " << x << " y " << y;
        }
      }
    }
  }
}

TEST_F(Context, RgbaFormsExpandThePastedFrame) {
  const size_t pixels = size_t(kW) * kH;
  std::vector<uint8_t> rgba(pixels * 4);
  EXPECT_EQ(tq_render_drive_rgba(ctx, 1, rgba.data(), rgba.size() - 1), 0);
  EXPECT_STREQ(tq_last_error(), "tq_render_*_rgba: out buffer too small");
  EXPECT_EQ(tq_render_kp_rgba(ctx, 0, kp(0).data(), kp(0).data(), nullptr, rgba.size()), 0);
  EXPECT_STREQ(tq_last_error(), "tq_render_*_rgba: out buffer too small");
  ASSERT_EQ(tq_render_drive_rgba(ctx, 1, rgba.data(), rgba.size()), 1) << tq_last_error();
  // Drive frame 1 shows identity frame 1 (the fixture's si walks 0, 1, 2, 0).
  const uint8_t* rgb = tq_paste_last(ctx, 1);
  ASSERT_NE(rgb, nullptr);
  for (size_t p = 0; p < pixels; ++p) {
    ASSERT_EQ(rgba[4 * p + 3], 255);
    for (int c = 0; c < 3; ++c) ASSERT_EQ(rgba[4 * p + c], rgb[3 * p + c]) << p;
  }
}

TEST(CApi, TheRendererIsSizedByTheCallerOrForThePipeline) {
  TempDir t;
  const std::string dir = capitest::writeBundle(t);
  const auto k = kp(0);
  for (int threads : {0, 4}) {
    tq_ctx* ctx = tq_create(dir.c_str(), "b1", threads, nullptr);
    ASSERT_NE(ctx, nullptr) << tq_last_error();
    testing::internal::CaptureStderr();
    EXPECT_NE(tq_render_kp_crop(ctx, 0, k.data(), k.data()), nullptr) << tq_last_error();
    const std::string log = testing::internal::GetCapturedStderr();
    const bool printed = log.find("[tq] director intra-op ") != std::string::npos;
    if (threads == 0) {
      // The pool in this process was not sized by the environment: min(4, cores).
      EXPECT_TRUE(printed) << log;
      EXPECT_NE(log.find("of pool"), std::string::npos);
      EXPECT_NE(log.find(": the caller did not choose, the core sized it for the tq_utt pipeline\n"),
                std::string::npos);
    } else {
      EXPECT_FALSE(printed) << log;
    }
    tq_destroy(ctx);
  }
}

TEST(CApi, WarpPriorRowsComeFromTheMovie) {
  TempDir t;
  const std::string dir = capitest::writeBundle(t, "prior-movie");
  ASSERT_TRUE(tqtest::runFixtureTool({"movie-prior-oracle", dir + "/P_hevc.mov", t / "oracle.f16", "--side", "32"}));
  const std::vector<uint8_t> oracle = tqtest::readBytes(t / "oracle.f16");
  tq_prior* p = tq_prior_open(dir.c_str(), 0, -1);
  ASSERT_NE(p, nullptr) << tq_last_error();
  const size_t row = tq_prior_row_bytes(p);
  EXPECT_EQ(row, size_t(kCrop) * kCrop * 6);
  ASSERT_EQ(oracle.size(), row * kNT);
  EXPECT_EQ(std::string(tq_prior_backend(p)).rfind("hevc444/libavcodec ", 0), 0u) << tq_prior_backend(p);
  std::vector<uint8_t> out(row);
  EXPECT_EQ(tq_prior_row(p, 0, out.data(), 10), 0);
  EXPECT_STREQ(tq_last_error(), "tq_prior_row: cap 10 < row bytes 6144");
  for (int i : {2, 0, 1, 1}) {
    ASSERT_EQ(tq_prior_row(p, i, out.data(), out.size()), 1) << tq_last_error();
    EXPECT_STREQ(tq_last_error(), "");
    EXPECT_EQ(std::memcmp(out.data(), oracle.data() + row * i, row), 0) << "frame " << i;
  }
  EXPECT_EQ(tq_prior_row(p, kNT, out.data(), out.size()), 0);
  EXPECT_EQ(std::string(tq_last_error()), "tq_prior_row: tq_driver: seek(3) outside [0,3)");
  tq_prior_close(p);
}

}  // namespace
