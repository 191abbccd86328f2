// The core context through the exported C functions: argument checks and their texts, bundle
// refusals, the render and paste round trip, RGBA, the warp prior.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

#include "capi_fixture.h"
#include "tq/tq.h"

namespace {

using namespace capitest;
using tqtest::TempDir;

constexpr size_t kCropFloats = 3 * size_t(kCrop) * kCrop;

std::vector<float> kp(float shift) {
  std::vector<float> v(63);
  for (int i = 0; i < 63; ++i) v[i] = 0.3f * std::sin(0.7f * i) + (i % 3 == 1 ? shift : 0.0f);
  return v;
}

tq_ctx* createQuietly(const std::string& dir) {
  testing::internal::CaptureStderr();
  tq_ctx* ctx = tq_create(dir.c_str(), "b1", 1, nullptr);
  testing::internal::GetCapturedStderr();
  EXPECT_NE(ctx, nullptr) << tq_last_error();
  return ctx;
}

std::vector<float> renderCopy(tq_ctx* ctx, int si, const std::vector<float>& src, const std::vector<float>& drv) {
  const float* crop = tq_render_kp_crop(ctx, si, src.data(), drv.data());
  EXPECT_NE(crop, nullptr) << tq_last_error();
  return crop ? std::vector<float>(crop, crop + kCropFloats) : std::vector<float>();
}

std::vector<uint8_t> pasted(tq_ctx* ctx, int si, const std::vector<float>& crop) {
  std::vector<uint8_t> out(kFrameBytes);
  EXPECT_EQ(tq_paste_crop(ctx, si, crop.data(), out.data(), out.size()), 1) << tq_last_error();
  return out;
}

struct Call {
  std::function<bool()> refused;
  const char* text;
};
void expectRefusals(const std::vector<Call>& calls) {
  for (const Call& c : calls) {
    EXPECT_TRUE(c.refused()) << c.text;
    EXPECT_STREQ(tq_last_error(), c.text);
  }
}

class Context : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { dir = writeBundle(*(tmp = new TempDir())); }
  static void TearDownTestSuite() { delete tmp; }
  void SetUp() override { ASSERT_NE(ctx = createQuietly(dir), nullptr); }
  void TearDown() override { tq_destroy(ctx); }
  static inline TempDir* tmp = nullptr;
  static inline std::string dir;
  tq_ctx* ctx = nullptr;
};

TEST(CApi, NullArgumentsGiveTheirFixedTexts) {
  EXPECT_EQ(tq_host_kp_rows(), 21);
  EXPECT_EQ(tq_nt(nullptr) + tq_width(nullptr) + tq_height(nullptr) + tq_crop(nullptr) + tq_drive_frames(nullptr), 0);
  EXPECT_EQ(tq_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(tq_prior_backend(nullptr), "");
  tq_destroy(nullptr);
  tq_prior_close(nullptr);
  const float k[63] = {};
  uint8_t out[16];
  expectRefusals({
      {[] { return !tq_create("x", nullptr, 0, nullptr); }, "tq_create: NULL bundle_dir/model_key"},
      {[] { return !tq_create(nullptr, "b1", 0, nullptr); }, "tq_create: NULL bundle_dir/model_key"},
      {[&] { return !tq_render_kp_crop(nullptr, 0, k, k); }, "tq_render_kp_crop: bad args"},
      {[] { return !tq_render_drive_crop(nullptr, 0); }, "tq_render_drive_crop: bad frame index"},
      {[&] { return !tq_paste_crop(nullptr, 0, k, out, sizeof out); }, "tq_paste_crop: bad args / out too small"},
      {[] { return !tq_paste_last(nullptr, 0); }, "tq_paste_last: bad args / no prior render"},
      {[] { return !tq_target_frame(nullptr, 0); }, "tq_target_frame: bad args"},
      {[] { return !tq_prior_open(nullptr, 2, 11); }, "tq_prior_open: NULL bundle_dir"},
      {[&] { return !tq_prior_row(nullptr, 0, out, sizeof out); }, "tq_prior_row: NULL prior/out"},
  });
}

TEST(CApi, BundleRefusalsReachTheCaller) {
  const struct {
    std::vector<std::string> args;
    std::string message;  // "@" stands for the bundle directory
  } cases[] = {
      {{"--manifest-set", "{\"frames\": null}"}, "tq_create: manifest: missing key frames"},
      {{"--crop", "16", "--extra-bytes", "{\"mask_512.u8\": -1}"}, "tq_create: mask read failed"},
      {{}, "tq_create: this bundle carries neither a populated target_frames/ nor target_frames.mp4 (@/target_frames"
           ".mp4) — there is no driver video to play. REFUSING to create a session."},
  };
  for (const auto& c : cases) {
    TempDir t;
    const std::string dir = t / "b";
    std::vector<std::string> args = {"identity-bundle", dir};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ASSERT_TRUE(tqtest::runFixtureTool(args));
    EXPECT_EQ(tq_create(dir.c_str(), "b1", 0, ""), nullptr);
    std::string want = c.message;
    if (want.find('@') != std::string::npos) want.replace(want.find('@'), 1, dir);
    EXPECT_EQ(tq_last_error(), want);
    if (!c.args.empty()) continue;
    EXPECT_EQ(tq_prior_open(dir.c_str(), 0, -1), nullptr);
    EXPECT_EQ(std::string(tq_last_error()), "tq_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov (" +
                                                dir + "/P_hevc.mov) — there is no warp prior to play. REFUSING to "
                                                "create a session.");
  }
}

// Out-of-range calls are refused with their texts before the director is ever loaded.
TEST_F(Context, GeometryAndRefusalsBeforeTheFirstRender) {
  EXPECT_EQ(tq_nt(ctx), kNT);
  EXPECT_EQ(tq_width(ctx), kW);
  EXPECT_EQ(tq_height(ctx), kH);
  EXPECT_EQ(tq_crop(ctx), kCrop);
  EXPECT_EQ(tq_drive_frames(ctx), 4);
  const auto k = kp(0);
  uint8_t small[8];
  testing::internal::CaptureStderr();
  expectRefusals({
      {[&] { return !tq_paste_last(ctx, 0); }, "tq_paste_last: bad args / no prior render"},
      {[&] { return !tq_render_kp_crop(ctx, kNT, k.data(), k.data()); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_kp_crop(ctx, -1, k.data(), k.data()); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_kp_crop(ctx, 0, nullptr, k.data()); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_kp_crop(ctx, 0, k.data(), nullptr); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_drive_crop(ctx, 4); }, "tq_render_drive_crop: bad frame index"},
      {[&] { return !tq_target_frame(ctx, kNT); }, "tq_target_frame: bad args"},
      {[&] { return !tq_paste_crop(ctx, 0, k.data(), small, sizeof small); }, "tq_paste_crop: bad args / out too small"},
  });
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
    const uint8_t* target = tq_target_frame(ctx, si);
    ASSERT_NE(target, nullptr) << tq_last_error();
    const std::vector<uint8_t> driver(target, target + kFrameBytes), out = pasted(ctx, si, crop);
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
    ASSERT_NE(last, nullptr) << tq_last_error();
    EXPECT_EQ(std::memcmp(last, out.data(), kFrameBytes), 0);
  }
}

TEST_F(Context, RgbaFormsExpandThePastedFrame) {
  const size_t pixels = size_t(kW) * kH;
  const auto src = kp(0), drv = kp(-0.06f);
  std::vector<uint8_t> rgba(pixels * 4);
  EXPECT_EQ(tq_render_drive_rgba(ctx, 1, rgba.data(), rgba.size() - 1), 0);
  EXPECT_STREQ(tq_last_error(), "tq_render_*_rgba: out buffer too small");
  EXPECT_EQ(tq_render_kp_rgba(ctx, 0, src.data(), drv.data(), nullptr, rgba.size()), 0);
  EXPECT_STREQ(tq_last_error(), "tq_render_*_rgba: out buffer too small");
  const auto expectRgbaOf = [&](const uint8_t* rgb, const char* what) {
    for (size_t p = 0; p < pixels * 4; ++p) ASSERT_EQ(rgba[p], p % 4 == 3 ? 255 : rgb[p / 4 * 3 + p % 4]) << what << p;
  };
  // Keypoint form: the frame of identity 2 with the crop these keypoints render.
  ASSERT_EQ(tq_render_kp_rgba(ctx, 2, src.data(), drv.data(), rgba.data(), rgba.size()), 1) << tq_last_error();
  expectRgbaOf(pasted(ctx, 2, renderCopy(ctx, 2, src, drv)).data(), "kp");
  // Drive frame 1 shows identity frame 1 (the fixture's si walks 0, 1, 2, 0).
  ASSERT_EQ(tq_render_drive_rgba(ctx, 1, rgba.data(), rgba.size()), 1) << tq_last_error();
  ASSERT_NE(tq_paste_last(ctx, 1), nullptr);
  expectRgbaOf(tq_paste_last(ctx, 1), "drive");
}

// Child mode: a context with TQ_CAPI_CHILD_THREADS threads renders once and prints what the
// renderer logged about its threads.
TEST(CApiChild, DirectorThreadsLine) {
  const char* dir = std::getenv("TQ_CAPI_CHILD_BUNDLE");
  if (!dir) GTEST_SKIP() << "child mode only";
  tq_ctx* ctx = tq_create(dir, "b1", std::atoi(std::getenv("TQ_CAPI_CHILD_THREADS")), nullptr);
  ASSERT_NE(ctx, nullptr) << tq_last_error();
  const auto k = kp(0);
  testing::internal::CaptureStderr();
  ASSERT_NE(tq_render_kp_crop(ctx, 0, k.data(), k.data()), nullptr) << tq_last_error();
  const std::string log = testing::internal::GetCapturedStderr();
  const auto at = log.find("[tq] director intra-op");
  std::printf("<%s>\n", at == std::string::npos ? "none" : log.substr(at, log.find('\n', at) + 1 - at).c_str());
  tq_destroy(ctx);
}

TEST(CApi, TheRendererIsSizedByTheCallerOrForThePipeline) {
  TempDir t;
  const std::string dir = writeBundle(t);
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  const int hwc = std::max(1, static_cast<int>(std::thread::hardware_concurrency())), pool3 = std::min(3, hwc);
  const auto line = [&](const std::string& env, int threads) {
    std::string out;
    const char* emu = std::getenv("TQ_TEST_EMULATOR");
    tqtest::runCommand("env -u TQ_CORE_THREADS -u TQ_PASTE_THREADS " + env + " TQ_CAPI_CHILD_BUNDLE='" + dir +
                           "' TQ_CAPI_CHILD_THREADS=" + std::to_string(threads) + " " + (emu ? emu : "") + " " +
                           std::string(self, size_t(n)) + " --gtest_filter=CApiChild.DirectorThreadsLine",
                       &out);
    const auto at = out.find('<');
    return at == std::string::npos ? out : out.substr(at + 1, out.find(">\n", at) - at - 1);
  };
  const auto sized = [](int intra, int pool) {
    return "[tq] director intra-op " + std::to_string(intra) + " of pool " + std::to_string(pool) +
           ": the caller did not choose, the core sized it for the tq_utt pipeline\n";
  };
  EXPECT_EQ(line("TQ_CORE_THREADS=3", 0), sized(std::min(2, pool3), pool3));
  EXPECT_EQ(line("TQ_CORE_THREADS=1", 0), sized(1, 1));
  EXPECT_EQ(line("", 0), sized(std::min(2, std::min(4, hwc)), std::min(4, hwc)));
  EXPECT_EQ(line("TQ_CORE_THREADS=3", 4), "none");
}

// Rows played from the prior movie equal ffmpeg's decode of it, and crops rendered from the movie
// equal crops rendered from its decoded frames stored raw.
TEST(CApi, WarpPriorFromTheMovieRendersLikeItsDecodedFrames) {
  TempDir t;
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
    EXPECT_STREQ(tq_last_error(), "");
    EXPECT_EQ(std::memcmp(out.data(), oracle.data() + row * i, row), 0) << "frame " << i;
  }
  EXPECT_EQ(tq_prior_row(p, kNT, out.data(), out.size()), 0);
  EXPECT_EQ(std::string(tq_last_error()), "tq_prior_row: tq_driver: seek(3) outside [0,3)");
  tq_prior_close(p);

  const auto src = kp(0), drv = kp(0.07f);
  std::vector<std::vector<float>> fromMovie;
  for (int pass = 0; pass < 2; ++pass) {
    tq_ctx* ctx = createQuietly(dir);
    ASSERT_NE(ctx, nullptr);
    int k = 0;
    for (int si : {2, 0, 1, 2}) {
      if (pass == 0) fromMovie.push_back(renderCopy(ctx, si, src, drv));
      else EXPECT_EQ(renderCopy(ctx, si, src, drv), fromMovie[k++]) << si;
    }
    tq_destroy(ctx);
    tqtest::writeText(dir + "/P.f16", std::string(oracle.begin(), oracle.end()));
  }
}

}  // namespace
