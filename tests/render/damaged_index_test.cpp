// The renderer refuses a source index outside the identity arrays itself: the
// utterance session calls it without the C interface's guard in front.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "render/tq_renderer.h"
#include "tq_test_util.h"

TEST(RendererIndex, OutOfRangeSourceIndexIsRefusedAndInRangeRenders) {
  tqtest::TempDir t;
  const std::string dir = t / "bundle";
  ASSERT_TRUE(tqtest::runFixtureTool({"identity-bundle", dir, "--nt", "3", "--crop", "32", "--director", "b1"}));
  const tq::Manifest m = tq::loadManifest(dir);
  tq::Identity id(m);
  testing::internal::CaptureStderr();
  tq::Renderer r(m, id, "b1", 1, "");
  testing::internal::GetCapturedStderr();
  const std::vector<float> kp(63, 0.1f);
  for (int si : {-1, 3, 1 << 30}) {
    try {
      r.render(&si, kp.data(), kp.data(), 1);
      ADD_FAILURE() << "source index " << si << " rendered";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "render: source index " + std::to_string(si) + " out of range [0, 3)");
    }
  }
  const int last = 2;
  EXPECT_NE(r.render(&last, kp.data(), kp.data(), 1), nullptr);
}
