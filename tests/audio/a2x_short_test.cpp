// The streaming engine over the short-window trunk/head pair (found beside the 8-second graph).
#include "a2x_test_util.h"

using namespace a2xtest;

namespace {

// A trunk whose length is taken from its first run (the fixed length runs in the process test).
const Fixture& shortFixture() { return fixture({"--short", "--lt-dynamic", "--pos-rows", "48"}); }

TEST(A2xShort, PushSizeInvariance) {
  expectPushSizeInvariant(shortFixture());
  tqtest::ScopedEnv rc("TQ_A2X_W2V_RIGHT", "0");
  expectPushSizeInvariant(shortFixture());
}

// Block W's features exist once (W + 8 + RC) x 640 samples are usable (U = min(ceil to a block, n)
// as the samples arrive); frame f waits for features f..f+R, R = 4 here. RC = 0: U reaches 5120
// at 5120 samples and frames 0..3 are ready; the block rule waited for 8 + 1 audio frames, which U
// first holds at 9601. RC = 12: the first block needs U >= 12800, first true at 14721 either way.
TEST(A2xShort, FirstFrameAsSoonAsItsFeaturesExist) {
  {
    tqtest::ScopedEnv rc("TQ_A2X_W2V_RIGHT", "0");
    expectFirstFrameAfter(shortFixture(), 5120, 9601);
  }
  tqtest::ScopedEnv rc("TQ_A2X_W2V_RIGHT", "12");
  expectFirstFrameAfter(shortFixture(), 14721, 14721);
}

// Trunk sampling, head, half rounding, banded mask, cycled positional rows (48 rows for ~7 s of
// frames) and the decoder against the numpy recomputation.
TEST(A2xShort, MatchesIndependentRecomputation) {
  std::vector<float> a = sentence();
  a.insert(a.end(), 2000, 0.0f);
  expectMatchesReference(shortFixture(), "short", a, {7, 4500, 8999, 1200, 3333}, 1, 1, 1);
}

// Look-ahead RC + 8: with 32 usable frames 12 are ready, avail extends 8 at a time; offline deltas
// take the 8-second windows, loading that graph on first use.
TEST(A2xShort, FramesReadyWhileOpenAndOfflineDeltas) {
  Handle h(shortFixture());
  ASSERT_NE(h.h, nullptr);
  const std::vector<float> a = speechOf(3.0);
  tq_a2x_push(h, a.data(), 20480);
  for (int ready : {8, 12, 12}) EXPECT_EQ(tq_a2x_avail(h), ready);
  tq_a2x_finish(h);
  Frames f;
  EXPECT_EQ(pullInto(h, &f), 32);
  std::vector<float> out(75 * kKp);
  ASSERT_EQ(tq_a2x_deltas(h, a.data(), static_cast<int>(a.size()), out.data(), 75), 75) << tq_a2x_last_error();
  float lip = 0;
  for (int i = 0; i < 75; ++i) lip = std::max(lip, out[i * kKp + 3 * 18 + 1]);
  EXPECT_GT(lip, 0.005);
}

}  // namespace
