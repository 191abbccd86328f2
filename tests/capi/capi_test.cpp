// The context through its C functions: refusals, render and paste, RGBA, the warp prior against
// ffmpeg's decode; damaged bundles refused in bounded memory; a session on the real a2x engine.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <regex>

#include "capi_fixture.h"
#include "tq/tq_a2x.h"

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
  return crop ? std::vector<float>(crop, crop + kCropFloats) : (ADD_FAILURE() << tq_last_error(), std::vector<float>());
}

class Context : public CtxBase {};

TEST_F(Context, RefusalsGiveTheirTextsBeforeTheFirstRender) {
  EXPECT_EQ(std::vector<int>({tq_nt(ctx), tq_width(ctx), tq_height(ctx), tq_crop(ctx), tq_drive_frames(ctx)}),
            std::vector<int>({kNT, kW, kH, kCrop, 4}));
  EXPECT_EQ(tq_nt(nullptr) + tq_width(nullptr) + tq_height(nullptr) + tq_crop(nullptr) + tq_drive_frames(nullptr), 0);
  EXPECT_EQ(tq_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(tq_prior_backend(nullptr), "");
  tq_destroy(nullptr), tq_prior_close(nullptr);
  const auto k = kp(0);
  uint8_t small[8];
  const char* paste = "tq_paste_crop: bad args / out too small";
  const struct { std::function<bool()> refused; const char* text; } calls[] = {
      {[] { return !tq_create("x", nullptr, 0, nullptr); }, "tq_create: NULL bundle_dir/model_key"},
      {[&] { return !tq_render_kp_crop(nullptr, 0, k.data(), k.data()); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_kp_crop(ctx, kNT, k.data(), k.data()); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_kp_crop(ctx, -1, k.data(), k.data()); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_kp_crop(ctx, 0, nullptr, k.data()); }, "tq_render_kp_crop: bad args"},
      {[&] { return !tq_render_kp_crop(ctx, 0, k.data(), nullptr); }, "tq_render_kp_crop: bad args"},
      {[] { return !tq_render_drive_crop(nullptr, 0); }, "tq_render_drive_crop: bad frame index"},
      {[&] { return !tq_render_drive_crop(ctx, 4); }, "tq_render_drive_crop: bad frame index"},
      {[&] { return !tq_paste_crop(nullptr, 0, k.data(), small, sizeof small); }, paste},
      {[&] { return !tq_paste_crop(ctx, 0, k.data(), small, sizeof small); }, paste},
      {[] { return !tq_paste_last(nullptr, 0); }, "tq_paste_last: bad args / no prior render"},
      {[&] { return !tq_paste_last(ctx, 0); }, "tq_paste_last: bad args / no prior render"},
      {[] { return !tq_target_frame(nullptr, 0); }, "tq_target_frame: bad args"},
      {[&] { return !tq_target_frame(ctx, kNT); }, "tq_target_frame: bad args"},
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

// Damaged bundles run under an address-space cap of what is in use plus 768 MiB, so a damaged size
// trusted again fails to allocate instead of taking the machine (sanitizers and emulators: uncapped).
bool capAddressSpace() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#endif
  std::ifstream status("/proc/self/status");
  std::string key;
  long long kb = 0;
  while (status >> key && key != "VmSize:") continue;
  if (tqtest::underEmulation() || !(status >> kb) || kb <= 0) return false;
  const rlim_t cap = static_cast<rlim_t>(kb) * 1024 + (rlim_t(768) << 20);
  const struct rlimit rl = {cap, cap};
  return setrlimit(RLIMIT_AS, &rl) == 0;
}
const bool kCapped = capAddressSpace();

// Writes stills, then overwrites bytes at `offset` past the first segment with `marker` in the first.
std::function<void(const std::string&)> patchStill(uint8_t marker, std::size_t offset, std::vector<uint8_t> bytes) {
  return [=](const std::string& d) {
    capitest::writeStills(d);
    const std::string still = d + "/target_frames/frame_000000.jpg";
    std::string jpg = tqtest::readText(still);
    const std::size_t at = jpg.find(std::string{'\xFF', char(marker)}, 2);
    ASSERT_NE(at, std::string::npos);
    jpg.replace(at + offset, bytes.size(), std::string(bytes.begin(), bytes.end()));
    tqtest::writeText(still, jpg);
  };
}

void rm(const std::string& path) { std::remove(path.c_str()); }
enum At { kCreate, kRender, kPrior };  // the entry point that refuses

TEST(DamagedBundle, EveryDamageIsRefusedWithItsTextInBoundedMemory) {
  if (!kCapped) std::fprintf(stderr, "address space not capped in this build; texts are still checked\n");
  const std::string drive = "tq_create: size mismatch @/drive/xs.f32", still = "tq_create: tq_driver: @/target_frames/";
  using Edit = std::function<void(const std::string&)>;  // applied to the bundle directory
  const auto replace = [](const char* member, Edit put) {
    return [=](const std::string& d) { rm(d + "/" + member), put(d + "/" + member); };
  };
  const struct {
    std::string manifest;              // set over {"amount": 0}
    std::vector<std::string> fixture;  // extra fixture-tool arguments
    Edit edit;
    At at;
    std::string expected;  // "@" stands for the bundle directory
  } cases[] = {
      {R"("frames": null)", {}, nullptr, kCreate, "tq_create: manifest: missing key frames"},
      {"", {"--extra-bytes", "{\"mask_512.u8\": -1}"}, nullptr, kCreate, "tq_create: mask read failed"},
      {"", {}, [](const std::string& d) { rm(d + "/target_frames.mp4"); }, kCreate,
       "tq_create: this bundle carries neither a populated target_frames/ nor target_frames.mp4 (@/target_frames"
       ".mp4) \xe2\x80\x94 there is no driver video to play. REFUSING to create a session."},
      {"", {}, [](const std::string& d) { rm(d + "/P.f16"); }, kPrior,
       "tq_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov (@/P_hevc.mov) \xe2\x80\x94 there is "
       "no warp prior to play. REFUSING to create a session."},
      // Sizes from the manifest: the drive tables, just past them, near the int32 limit.
      {R"("frames": 100000000)", {}, nullptr, kCreate, drive},
      {R"("frames": 4000012)", {}, nullptr, kCreate, drive},
      {R"("frames": 2000000000)", {}, nullptr, kCreate, drive},
      // crop x crop x NT x 6 wraps to zero over an empty prior.
      {R"("crop": 1073741824, "NT": 8)", {}, replace("P.f16", [](const std::string& m) { tqtest::writeText(m, ""); }),
       kCreate,
       "tq_create: size mismatch @/pooled64.f16"},
      // crop sizes the paste mask of a movie prior.
      {R"("crop": 100000000, "P_hevc": "P_hevc.mov")", {"--prior", "none", "--prior-movie"}, nullptr, kCreate,
       "tq_create: mask read failed"},
      {R"("H": 100000000)", {}, capitest::writeStills, kCreate,
       still + "frame_000000.jpg is 96x64, the manifest says 96x100000000 \xe2\x80\x94 refusing"},
      // A still whose header declares a huge picture; one whose Huffman table declares 16 x 17 codes.
      {"", {}, patchStill(0xC0, 5, {0xC0, 0x40}), kCreate,
       still + "frame_000000.jpg is 96x49216, the manifest says 96x64 \xe2\x80\x94 refusing"},
      {"", {}, patchStill(0xC4, 5, std::vector<uint8_t>(16, 17)), kCreate,
       "tq_create: tq_driver: decode failed: @/target_frames/frame_000000.jpg (Huffman table declares 272 codes (at "
       "most 256))"},
      {"", {}, replace("target_frames.mp4", [](const std::string& m) { symlink("/dev/zero", m.c_str()); }),
       kCreate, "tq_create: tq_driver: @/target_frames.mp4 is not a regular file \xe2\x80\x94 refusing"},
      // A director batch that would size the bound buffers; a directory where the graph should be.
      {"", {}, [](const std::string& d) { tqtest::runFixtureTool({"director", "--out", d + "/model_b1.onnx", "--batch",
                                                                 "1048576"}); },
       kRender, "tq_render_kp_crop: Renderer: @/model_b1.onnx declares pooled64 batch 1048576; this renderer binds at "
                "most 64 frames per run. REFUSING at load."},
      {"", {}, replace("model_b1.onnx", [](const std::string& m) { ::mkdir(m.c_str(), 0755); }), kRender,
       "tq_render_kp_crop: Renderer: cannot open @/model_b1.onnx"},
  };
  for (const auto& dmg : cases) {
    SCOPED_TRACE(dmg.expected);
    tqtest::TempDir t;
    const std::string dir = capitest::writeBundle(t, dmg.fixture, "{\"amount\": 0" + (dmg.manifest.empty() ? "" :
                                                                                      ", " + dmg.manifest) + "}");
    if (dmg.edit) dmg.edit(dir);
    if (::testing::Test::HasFatalFailure()) continue;
    testing::internal::CaptureStderr();
    tq_ctx* ctx = dmg.at == kPrior ? nullptr : tq_create(dir.c_str(), "b1", 1, nullptr);
    std::string err = ctx ? "" : tq_last_error();
    const std::vector<float> kp(63, 0.0f);
    if (ctx && dmg.at == kRender) err = tq_render_kp_crop(ctx, 0, kp.data(), kp.data()) ? "rendered" : tq_last_error();
    if (dmg.at == kPrior) err = tq_prior_open(dir.c_str(), 0, -1) ? "opened" : tq_last_error();
    testing::internal::GetCapturedStderr();
    tq_destroy(ctx);
    EXPECT_EQ(ctx != nullptr, dmg.at == kRender) << err;
    EXPECT_EQ(err, std::regex_replace(dmg.expected, std::regex("@"), dir));
  }
}

// The a2x directory picks the streaming engine and pipelined paste (as the stage report says).
TEST_F(Context, A2xSpeechIsTheEnginesOwnKeypointsRenderedAndPasted) {
  const std::string motion = *tmp / "a2x", w2v = *tmp / "w2v";
  ASSERT_TRUE(tqtest::runFixtureTool({"a2x", "--out", motion, "--w2v-dir", w2v, "--nt", "3", "--short"}));
  tqtest::ScopedEnv w2vEnv("W2V_ONNX", (w2v + "/w2v8.onnx").c_str()), report("TQ_UTT_STAGE_REPORT", "1"),
      pipe("TQ_UTT_PIPELINE_PASTE", nullptr);
  std::vector<int16_t> pcm(16000 + 321);
  for (std::size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<int16_t>(6000 * std::sin(0.031 * i) * std::sin(0.0007 * i) + 900 * std::sin(0.41 * i));
  const int F = (int(pcm.size()) + 639) / 640;
  // Pushed in 100 ms pieces and ended; pulled to the first idle frame after speech and ramp.
  tq_utt* u = tq_utt_open(ctx, motion.c_str());
  ASSERT_TRUE(u && waitReady(u) == 1) << tq_utt_last_error();
  for (std::size_t at = 0; at < pcm.size(); at += 1600)
    EXPECT_EQ(tq_utt_push_audio(u, pcm.data() + at, int(std::min<std::size_t>(1600, pcm.size() - at))), 1);
  tq_utt_end_utterance(u);
  std::vector<Frame> seen;
  for (bool spoke = false; seen.empty() || !spoke || seen.back().info.kind != 0;) {
    seen.emplace_back();
    ASSERT_TRUE(pullNext(u, seen.back()));
    spoke = spoke || seen.back().info.kind != 0;
  }
  testing::internal::CaptureStderr();
  tq_utt_destroy(u);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_search(log, std::regex("\\[tq_utt-stage\\] pipe=0 jobsB=0 jobsC=[1-9][0-9]* stageA_ms=[0-9.]+ "
                                                "stageA_work_ms=-?[0-9.]+ stageA_wait_ms=[0-9.]+ stageB_ms=0.000 "
                                                "stageC_ms=[0-9.]+ deliver_lat_ms=[0-9.]+ over " +
                                                std::to_string(F) + " speech frames\n")))
      << log;
  const std::size_t s = std::find_if(seen.begin(), seen.end(), [](auto& f) { return f.info.kind; }) - seen.begin();
  ASSERT_EQ(seen.size(), s + F + 6 + 1);
  const int start = s ? (int(seen[s - 1].info.driver_index) + 1) % kNT : 0;
  // The engine alone, same start and samples (its short-window frontend ignores how audio arrived).
  tq_a2x* e = tq_a2x_create(motion.c_str(), 1);
  ASSERT_NE(e, nullptr) << tq_a2x_last_error();
  tq_a2x_reset(e, start, 1, 1);
  std::vector<float> f32(pcm.size());
  for (std::size_t i = 0; i < pcm.size(); ++i) f32[i] = pcm[i] * 3.0517578e-5f;
  tq_a2x_push(e, f32.data(), int(f32.size()));
  tq_a2x_finish(e);
  std::vector<int> idx(F);
  std::vector<float> src(std::size_t(F) * 63), drv(std::size_t(F) * 63);
  int got = 0;
  while (got < F && tq_a2x_avail(e) > 0)
    got += tq_a2x_pull(e, idx.data() + got, src.data() + got * 63, drv.data() + got * 63, F - got);
  tq_a2x_destroy(e);
  ASSERT_EQ(got, F);
  for (int k = 0; k < F + 6; ++k) {
    const Frame& p = seen[s + k];
    ASSERT_EQ(p.info.kind, k < F ? 1u : 2u) << k;
    if (k >= F) continue;
    ASSERT_EQ(std::make_pair(p.info.frame, int(p.info.driver_index)), std::make_pair(k, idx[k])) << k;
    EXPECT_TRUE(p.px == renderPaste(ctx, idx[k], &src[k * 63], &drv[k * 63])) << "speech frame " << k;
  }
}

}  // namespace
