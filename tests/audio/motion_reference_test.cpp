// The engine against an independent numpy recomputation of every stage
// (tools/fixtures/motion.py motion-ref): log-mel front end against numpy's FFT,
// head-pose formulas, the chunked sequence with cross-fade, smoothing and
// clamping, and the keypoints of every frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "audio/tq_motion_mel.h"
#include "audio/tq_motion_pose.h"
#include "audio/tq_motion_tables.h"
#include "motion_test_util.h"

using namespace motiontest;

namespace {

// numpy's results for the shared speech, driver walk bouncing from 2 backwards.
struct Reference {
  std::string out = files().tmp / "ref";
  Reference() {
    tqtest::runFixtureTool({"motion-ref", files().dir, files().speechPath, out, "--start", "2", "--dir-step", "-1",
                            "--wrap", "0", "--blocks", "4"});
  }
  std::vector<float> f32(const char* name) const { return readAs<float>(out + "/" + name); }
};

const Reference& ref() {
  static Reference r;
  return r;
}

float maxAbsDiff(const float* a, const float* b, size_t n) {
  float m = 0;
  for (size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

// Largest difference relative to the magnitude (absolute below 1): pose logits
// reach 100, where 1e-5 is a single float step.
float maxRelDiff(const float* a, const float* b, size_t n) {
  float m = 0;
  for (size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(a[i] - b[i]) / std::max(1.0f, std::fabs(b[i])));
  return m;
}

}  // namespace

TEST(MotionReference, LogMelMatchesNumpyFft) {
  const auto t = tq::motion::loadMotionTables(files().dir);
  const auto want = ref().f32("mel.f32");
  ASSERT_EQ(want.size(), 4u * 80 * 21);
  const auto& x = files().speech;
  const tq::motion::MelFrontEnd front(t.window.data(), t.binmat.data());
  std::vector<float> win(tq::motion::kBlockSamples), mel(80 * 21);
  for (int b = 0; b < 4; ++b) {
    const long lo = 640L * 5 * b - 2000;
    for (int i = 0; i < tq::motion::kBlockSamples; ++i) {
      const long s = lo + i;
      win[i] = s >= 0 && s < static_cast<long>(x.size()) ? x[s] : 0.0f;
    }
    front.run(win.data(), mel.data());
    EXPECT_LT(maxAbsDiff(mel.data(), want.data() + b * 80 * 21, mel.size()), 2e-4f) << "block " << b;
  }
  // The first block starts 2000 samples before the audio: its padding is silence.
  EXPECT_FLOAT_EQ(mel[0], want[0]);
}

TEST(MotionReference, PoseFormulasMatchNumpy) {
  const auto t = tq::motion::loadMotionTables(files().dir);
  const auto angles = ref().f32("angles.f32");
  const auto rot = ref().f32("rot.f32");
  ASSERT_EQ(angles.size(), 4u * 3);
  for (int d = 0; d < 4; ++d) {
    const float* S = t.srcInfo.data() + d * tq::motion::kInfoDim;
    const float p = tq::motion::bin66(S + tq::motion::kInfoPitch);
    const float y = tq::motion::bin66(S + tq::motion::kInfoYaw);
    const float r = tq::motion::bin66(S + tq::motion::kInfoRoll);
    EXPECT_NEAR(p, angles[3 * d], 1e-4);
    EXPECT_NEAR(y, angles[3 * d + 1], 1e-4);
    EXPECT_NEAR(r, angles[3 * d + 2], 1e-4);
    float Rs[9], Rd[9];
    tq::motion::poseToR(p, y, r, Rs);
    tq::motion::poseToR(p + t.meta.deltaPitch, y, r, Rd);
    EXPECT_LT(maxAbsDiff(Rs, rot.data() + 18 * d, 9), 1e-6f) << "row " << d;
    EXPECT_LT(maxAbsDiff(Rd, rot.data() + 18 * d + 9, 9), 1e-6f) << "row " << d;
  }
}

TEST(MotionReference, SequenceAndKeypointsMatchNumpy) {
  // With dumps the whole sequence is kept and written; without, old frames are
  // dropped as the stream moves on. The second directory has no delta_pitch.
  struct Case {
    std::string name;
    std::vector<std::string> motionOptions;
    int start, dir, wrap;
    std::vector<int> pieces;
    bool dump;
  };
  const std::vector<Case> cases = {
      {"bounce", {}, 2, -1, 0, {640, 333, 5000}, true},
      {"wrap", {"--nt", "3", "--seed", "11", "--no-delta-pitch", "--s-bridge", "1.3"}, 1, -1, 1, {1280}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = files().dir, out = ref().out;
    if (!c.motionOptions.empty()) {
      dir = files().tmp / ("ref_" + c.name);
      out = dir + "_out";
      std::vector<std::string> args = {"motion", dir};
      args.insert(args.end(), c.motionOptions.begin(), c.motionOptions.end());
      ASSERT_TRUE(tqtest::runFixtureTool(args));
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
      EXPECT_LT(maxRelDiff(gotPost.data(), post.data(), post.size()), 1e-5f);
      EXPECT_LT(maxRelDiff(gotFinal.data(), fin.data(), fin.size()), 1e-5f);
      // The clamp range is narrower than the generator's swing: clamping really happened.
      size_t clamped = 0;
      for (size_t i = 0; i < post.size(); ++i) clamped += post[i] != fin[i];
      EXPECT_GT(clamped, 100u);
    }

    const auto idx = readAs<int32_t>(out + "/idx.i32");
    const auto src = readAs<float>(out + "/src.f32"), drv = readAs<float>(out + "/drv.f32");
    ASSERT_EQ(got.size(), idx.size());
    ASSERT_EQ(idx.size(), static_cast<size_t>(std::ceil(files().speech.size() / 640.0)));
    EXPECT_EQ(got.idx, std::vector<int>(idx.begin(), idx.end()));
    EXPECT_EQ(got.src, src);
    EXPECT_LT(maxAbsDiff(got.drv.data(), drv.data(), drv.size()), 1e-5f);
  }
}
