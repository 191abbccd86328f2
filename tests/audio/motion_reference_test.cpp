// The engine against an independent numpy recomputation of every stage (tools/fixtures/motion.py
// motion-ref): log-mel front end against numpy's FFT, head-pose formulas, the chunked sequence with
// cross-fade, smoothing and clamping, and the keypoints of every frame.
#include <algorithm>
#include <cmath>

#include "audio/tq_motion_mel.h"
#include "audio/tq_motion_pose.h"
#include "audio/tq_motion_tables.h"
#include "motion_test_util.h"

using namespace motiontest;

namespace {

// numpy's results for the shared speech, driver walk bouncing from 2 backwards.
const std::string& ref() {
  static const std::string out = [] {
    const std::string o = files().tmp / "ref";
    tqtest::runFixtureTool({"motion-ref", files().dir, files().speechPath, o, "--start", "2", "--dir-step", "-1",
                            "--wrap", "0", "--blocks", "4"});
    return o;
  }();
  return out;
}

// Largest difference; relative to the magnitude (absolute below 1) for the sequence, whose pose
// logits reach 100.
float maxDiff(const float* a, const float* b, size_t n, bool relative = false) {
  float m = 0;
  for (size_t i = 0; i < n; ++i)
    m = std::max(m, std::fabs(a[i] - b[i]) / (relative ? std::max(1.0f, std::fabs(b[i])) : 1.0f));
  return m;
}

TEST(MotionReference, LogMelMatchesNumpyFft) {
  const auto t = tq::motion::loadMotionTables(files().dir);
  const auto want = readAs<float>(ref() + "/mel.f32");
  ASSERT_EQ(want.size(), 4u * 80 * 21);
  const auto& x = files().speech;
  const tq::motion::MelFrontEnd front(t.window.data(), t.binmat.data());
  std::vector<float> win(tq::motion::kBlockSamples), mel(80 * 21);
  for (int b = 0; b < 4; ++b) {  // the first block starts 2000 samples before the audio: padded with silence
    for (int i = 0; i < tq::motion::kBlockSamples; ++i) {
      const long s = 640L * 5 * b - 2000 + i;
      win[i] = s >= 0 && s < static_cast<long>(x.size()) ? x[s] : 0.0f;
    }
    front.run(win.data(), mel.data());
    EXPECT_LT(maxDiff(mel.data(), want.data() + b * 80 * 21, mel.size()), 2e-4f) << "block " << b;
  }
}

TEST(MotionReference, PoseFormulasMatchNumpy) {
  const auto t = tq::motion::loadMotionTables(files().dir);
  const auto angles = readAs<float>(ref() + "/angles.f32"), rot = readAs<float>(ref() + "/rot.f32");
  ASSERT_EQ(angles.size(), 4u * 3);
  for (int d = 0; d < 4; ++d) {
    const float* S = t.srcInfo.data() + d * tq::motion::kInfoDim;
    const float a[3] = {tq::motion::bin66(S + tq::motion::kInfoPitch), tq::motion::bin66(S + tq::motion::kInfoYaw),
                        tq::motion::bin66(S + tq::motion::kInfoRoll)};
    EXPECT_LT(maxDiff(a, angles.data() + 3 * d, 3), 1e-4f) << "row " << d;
    float R[18];
    tq::motion::poseToR(a[0], a[1], a[2], R);
    tq::motion::poseToR(a[0] + t.meta.deltaPitch, a[1], a[2], R + 9);
    EXPECT_LT(maxDiff(R, rot.data() + 18 * d, 18), 1e-6f) << "row " << d;
  }
}

// With dumps the whole sequence is kept and written; without, old frames are dropped as the stream
// moves on. The second directory has no delta_pitch.
TEST(MotionReference, SequenceAndKeypointsMatchNumpy) {
  const struct {
    std::string name;
    std::vector<std::string> motionOptions;
    int start, dir, wrap;
    std::vector<int> pieces;
    bool dump;
  } cases[] = {
      {"bounce", {}, 2, -1, 0, {640, 333, 5000}, true},
      {"wrap", {"--nt", "3", "--seed", "11", "--no-delta-pitch", "--s-bridge", "1.3"}, 1, -1, 1, {1280}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = files().dir, out = ref();
    if (!c.motionOptions.empty()) {
      dir = variant(c.name, c.motionOptions);
      out = dir + "_out";
      ASSERT_TRUE(tqtest::runFixtureTool({"motion-ref", dir, files().speechPath, out, "--start", std::to_string(c.start),
                                          "--dir-step", std::to_string(c.dir), "--wrap", std::to_string(c.wrap)}));
    }
    tqtest::TempDir dump;
    tqtest::ScopedEnv env("TQ_MOTION_DUMP", c.dump ? dump.path().c_str() : nullptr);
    MotionPtr h = open(dir);
    ASSERT_TRUE(h);
    const Frames got = stream(h.get(), files().speech, c.pieces, c.start, c.dir, c.wrap);
    if (c.dump) {
      const auto post = readAs<float>(out + "/res_post.f32"), fin = readAs<float>(out + "/final.f32");
      const auto gotPost = readAs<float>(dump / "res_post.bin"), gotFinal = readAs<float>(dump / "final.bin");
      ASSERT_EQ(gotPost.size(), post.size());
      ASSERT_EQ(gotFinal.size(), fin.size());
      EXPECT_LT(maxDiff(gotPost.data(), post.data(), post.size(), true), 1e-5f);
      EXPECT_LT(maxDiff(gotFinal.data(), fin.data(), fin.size(), true), 1e-5f);
      // The clamp range is narrower than the generator's swing: clamping really happened.
      size_t clamped = 0;
      for (size_t i = 0; i < post.size(); ++i) clamped += post[i] != fin[i];
      EXPECT_GT(clamped, 100u);
      // The keypoint dumps are what was pulled; the first chunk's conditioning is the first 80 rows.
      EXPECT_EQ(readAs<float>(dump / "xs.bin"), got.src);
      EXPECT_EQ(readAs<float>(dump / "xd.bin"), got.drv);
      const auto cond = readAs<float>(dump / "cond.bin"), aud = readAs<float>(dump / "lmdm0_aud.bin");
      ASSERT_EQ(aud.size(), 80u * 1103);
      EXPECT_TRUE(std::equal(aud.begin(), aud.end(), cond.begin()));
    }
    const auto idx = readAs<int32_t>(out + "/idx.i32");
    const auto src = readAs<float>(out + "/src.f32"), drv = readAs<float>(out + "/drv.f32");
    ASSERT_EQ(idx.size(), static_cast<size_t>(std::ceil(files().speech.size() / 640.0)));
    EXPECT_EQ(got.idx, std::vector<int>(idx.begin(), idx.end()));
    EXPECT_EQ(got.src, src);
    ASSERT_EQ(got.drv.size(), drv.size());
    for (size_t i = 0; i < drv.size(); ++i) ASSERT_NEAR(got.drv[i], drv[i], 1e-5f) << i;
  }
}

}  // namespace
