// The demo avatar's stand-in audio models, run by the streaming engine on an
// espeak-ng sentence, against a numpy recomputation of what they are documented
// to do (frame loudness, band average, gated opening, eased decoder): offline and
// streamed, the deltas match and open the mouth; the motion directory carries the
// avatar's own rest keypoints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tq/tq_a2x.h"
#include "tq_test_util.h"

namespace {

constexpr float kOpen = 0.08f;  // the demo's opening at full loudness
constexpr int kInnerLowerY = 20 * 3 + 1;

std::vector<float> readFloats(const std::string& path) {
  const std::vector<uint8_t> b = tqtest::readBytes(path);
  std::vector<float> v(b.size() / 4);
  std::memcpy(v.data(), b.data(), v.size() * 4);
  return v;
}

struct DemoMotion : ::testing::Test {
  static void SetUpTestSuite() {
    dir = new tqtest::TempDir;
    const tqtest::TempDir& t = *dir;
    ASSERT_TRUE(tqtest::runFixtureTool({"demo-avatar", t / "a", "--seconds", "0.4", "--crop", "64", "--width", "128",
                                        "--height", "96", "--motion", t / "m"}));
    ASSERT_EQ(tqtest::runCommand("espeak-ng -w '" + t / "s.wav" + "' 'Open wide, then close it again.'"), 0);
    ASSERT_EQ(tqtest::runCommand("ffmpeg -v error -i '" + t / "s.wav" + "' -f f32le -ac 1 -ar 16000 '" +
                                 t / "s.f32" + "'"),
              0);
    ASSERT_EQ(tqtest::runCommand(std::string("env -u LD_LIBRARY_PATH ") + TQ_PYTHON + " '" + tqtest::sourceDir() +
                                 "/tests/capi/demo_motion_reference.py' '" + t / "s.f32" + "' 0.08 '" +
                                 t / "offline.f32" + "' '" + t / "stream.f32" + "'"),
              0);
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  static tqtest::TempDir* dir;
};
tqtest::TempDir* DemoMotion::dir = nullptr;

// Largest difference, and the reference's largest lower-inner-lip drop.
void expectMatches(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  float worst = 0, open = 0;
  for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
  for (size_t f = 0; f < want.size() / 63; ++f) open = std::max(open, want[f * 63 + kInnerLowerY]);
  EXPECT_LT(worst, 3e-4f);
  EXPECT_GT(open, 0.5f * kOpen) << "the sentence should open the mouth at least half way";
  // Closed at the end: espeak-ng ends on silence.
  EXPECT_LT(std::fabs(got[got.size() - 63 + kInnerLowerY]), 0.02f * kOpen);
}

TEST_F(DemoMotion, EngineFollowsTheDocumentedLoudnessModel) {
  const tqtest::TempDir& t = *dir;
  tqtest::ScopedEnv w2v("W2V_ONNX", (t / "m/w2v8.onnx").c_str());
  tqtest::ScopedEnv right("TQ_A2X_W2V_RIGHT", "0");
  tq_a2x* h = tq_a2x_create((t / "m").c_str(), 1);
  ASSERT_NE(h, nullptr) << tq_a2x_last_error();
  const std::vector<float> x = readFloats(t / "s.f32");
  const int n = static_cast<int>(x.size()), frames = (n + 639) / 640;
  ASSERT_GT(frames, 25);
  ASSERT_LT(frames, 200);  // one 8-second window offline

  std::vector<float> offline(static_cast<size_t>(frames) * 63);
  ASSERT_EQ(tq_a2x_deltas(h, x.data(), n, offline.data(), frames), frames) << tq_a2x_last_error();
  expectMatches(offline, readFloats(t / "offline.f32"));

  // Streamed in 20 ms pieces, as a live host pushes.
  tq_a2x_reset(h, 0, 1, 1);
  for (int off = 0; off < n; off += 320) tq_a2x_push(h, x.data() + off, std::min(320, n - off));
  tq_a2x_finish(h);
  ASSERT_EQ(tq_a2x_total(h), frames);
  std::vector<int> idx(frames);
  std::vector<float> src(static_cast<size_t>(frames) * 63), drv(src.size()), delta(src.size());
  int got = 0;
  while (got < frames) {
    const int k = tq_a2x_pull(h, idx.data() + got, src.data() + got * 63, drv.data() + got * 63, frames - got);
    ASSERT_GT(k, 0) << tq_a2x_last_error();
    got += k;
  }
  for (size_t i = 0; i < delta.size(); ++i) delta[i] = drv[i] - src[i];
  expectMatches(delta, readFloats(t / "stream.f32"));

  // The source keypoints are the avatar's own rest keypoints, walked in wrap mode.
  const std::vector<float> rest = readFloats(t / "a/xs_target.bin");
  const int nt = tq_a2x_nt(h);
  ASSERT_EQ(static_cast<size_t>(nt) * 63, rest.size());
  for (int f = 0; f < frames; ++f) {
    ASSERT_EQ(idx[f], f % nt);
    ASSERT_EQ(0, std::memcmp(src.data() + f * 63, rest.data() + idx[f] * 63, 63 * sizeof(float))) << f;
  }
  tq_a2x_destroy(h);
}

}  // namespace
