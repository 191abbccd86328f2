// The engine against numpy (fixture motion-ref: log-mel front end, head pose, chunked sequence with
// cross-fade, smoothing, clamping): driver indices, source and driving keypoints of every frame.
#include <algorithm>
#include <cmath>

#include "motion_test_util.h"

using namespace motiontest;

namespace {

TEST(MotionReference, SequenceAndKeypointsMatchNumpy) {
  const struct {
    std::string name;
    std::vector<std::string> motionOptions;
    int start, dir, wrap;
    std::vector<int> pieces;
  } cases[] = {
      {"bounce", {}, 2, -1, 0, {640, 333, 5000}},
      {"wrap", {"--nt", "3", "--seed", "11", "--no-delta-pitch", "--s-bridge", "1.3"}, 1, -1, 1, {1280}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = c.motionOptions.empty() ? files().dir : variant(c.name, c.motionOptions);
    const std::string out = files().tmp / ("ref_" + c.name);
    ASSERT_TRUE(tqtest::runFixtureTool({"motion-ref", dir, files().speechPath, out, "--start", std::to_string(c.start),
                                        "--dir-step", std::to_string(c.dir), "--wrap", std::to_string(c.wrap)}));
    MotionPtr h = open(dir);
    ASSERT_TRUE(h);
    const Frames got = stream(h.get(), files().speech, c.pieces, c.start, c.dir, c.wrap);
    // The clamp range is narrower than the generator's swing: clamping really happens.
    const auto post = readAs<float>(out + "/res_post.f32"), fin = readAs<float>(out + "/final.f32");
    ASSERT_EQ(post.size(), fin.size());
    size_t clamped = 0;
    for (size_t i = 0; i < post.size(); ++i) clamped += post[i] != fin[i];
    EXPECT_GT(clamped, 100u);
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
