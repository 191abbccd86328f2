// A small bundle (NT 3 identity 32 x 32 crops pasted unscaled at (10 + i, 5 + i) into 96 x 64 H.264
// driver frames, opaque mask, no sharpening, director "b1"), the render + paste reference, session helpers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "tq/tq.h"
#include "tq_test_util.h"

namespace capitest {

constexpr int kNT = 3, kCrop = 32, kW = 96, kH = 64;
constexpr std::size_t kFrameBytes = std::size_t(kW) * kH * 3;

inline std::string writeBundle(const tqtest::TempDir& t, const std::vector<std::string>& extra = {},
                               const std::string& manifest = "{\"amount\": 0}") {
  const std::string dir = t / "bundle";
  std::vector<std::string> args = {"identity-bundle", dir, "--nt", "3", "--crop", "32", "--W", "96", "--H", "64",
                                   "--translate", "--mask-value", "255", "--driver-movie", "--director", "b1",
                                   "--frames", "4", "--manifest-set", manifest};
  args.insert(args.end(), extra.begin(), extra.end());
  EXPECT_TRUE(tqtest::runFixtureTool(args));
  return dir;
}

// Replaces the bundle's driver movie with three ffmpeg-written JPEG stills (decoded on the caller's
// thread, so the sanitizers see every thread that touches a frame).
inline void writeStills(const std::string& dir) {
  EXPECT_EQ(tqtest::runCommand("mkdir -p " + dir + "/target_frames && rm -f " + dir + "/target_frames.mp4 && ffmpeg "
                               "-v error -y -f lavfi -i testsrc=size=96x64:rate=25 -frames:v 3 -start_number 0 " +
                               dir + "/target_frames/frame_%06d.jpg"), 0);
}

// The reference for every session and stream frame: what the context itself renders and pastes
// for driver frame d with these keypoints. Empty (and a failure) when it cannot.
inline std::vector<uint8_t> renderPaste(tq_ctx* ctx, int d, const float* src, const float* drv) {
  std::vector<uint8_t> out(std::size_t(tq_width(ctx)) * tq_height(ctx) * 3);
  const float* crop = tq_render_kp_crop(ctx, d, src, drv);
  if (!crop || tq_paste_crop(ctx, d, crop, out.data(), out.size()) != 1) ADD_FAILURE() << tq_last_error(), out.clear();
  return out;
}

struct Frame { tq_utt_frame_info info{}; std::vector<uint8_t> px; };

// Waits (bounded) for the next frame; the host paces the session by pulling.
inline bool pullNext(tq_utt* u, Frame& f, double seconds = 120.0) {
  f.px.resize(kFrameBytes);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  do {
    if (tq_utt_pull_frame(u, f.px.data(), f.px.size(), &f.info) == 1) return true;
  } while (std::chrono::steady_clock::now() < end && tq_utt_wait_frame(u, 1000) >= 0);
  return false;
}

inline int waitReady(tq_utt* u) { return tq_utt_wait_ready(u, 300000); }

// One context on the shared bundle per test, the bundle written once per binary.
class CtxBase : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { dir = writeBundle(*(tmp = new tqtest::TempDir())); }
  static void TearDownTestSuite() { delete tmp; }
  void SetUp() override { ASSERT_NE(ctx = tq_create(dir.c_str(), "b1", 1, nullptr), nullptr) << tq_last_error(); }
  void TearDown() override { tq_destroy(ctx); }
  static inline tqtest::TempDir* tmp = nullptr;
  static inline std::string dir;
  tq_ctx* ctx = nullptr;
};

}  // namespace capitest
