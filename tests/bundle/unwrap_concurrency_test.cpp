// Concurrent container resolution and first use of the member-name tables.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bundle/tq_bundle.h"
#include "bundle_test_util.h"
#include "tq/tq.h"
#include "tq_test_util.h"

using namespace bundletest;
using tqtest::TempDir;

namespace {

// Runs body(i) on n threads released together; returns what they logged.
template <class F>
std::string together(int n, F body) {
  std::atomic<int> waiting{n};
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i)
    threads.emplace_back([&, i] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      body(i);
    });
  for (auto& th : threads) th.join();
  return testing::internal::GetCapturedStderr();
}

TEST(UnwrapConcurrency, SameContainerUnpacksOnceAndDifferentOnesEach) {
  TempDir t;
  tqtest::ScopedEnv noRoot("TQ_IMX_UNWRAP_ROOT", nullptr);
  const std::string k = t / "avatar.imx";
  ASSERT_TRUE(writeImx(k, {pattern("P.f16", 24 << 20, 5), text("manifest.json", "{}")}));
  std::vector<Resolved> results(4);
  const std::string line = "[tq] unwrapped " + k + " -> " + t / "avatar.tqbundle\n";
  EXPECT_EQ(together(4, [&](int i) { results[i] = resolveHandle(k); }), line);
  for (const Resolved& r : results) EXPECT_EQ(std::make_pair(r.rc, r.out), std::make_pair(1, t / "avatar.tqbundle"));
  EXPECT_EQ(tqtest::readBytes(t / "avatar.tqbundle/P.f16").size(), 24u << 20);

  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(writeImx(t / ("c" + std::to_string(i) + ".imx"), {pattern("data", 1 << 20, i), text("id", std::to_string(i))}));
  const std::string log = together(3, [&](int i) { results[i] = resolveHandle(t / ("c" + std::to_string(i) + ".imx")); });
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(log.find("[tq] unwrapped " + t / ("c" + std::to_string(i) + ".imx")), std::string::npos) << log;
    EXPECT_EQ(std::make_pair(results[i].rc, results[i].out), std::make_pair(1, t / ("c" + std::to_string(i) + ".tqbundle")));
    EXPECT_EQ(tqtest::readText(results[i].out + "/id"), std::to_string(i));
  }
}

// The alternative-name tables are built on first use, here from many threads at
// once (ThreadSanitizer reports an unsafe initialisation).
TEST(UnwrapConcurrency, FirstUseOfAlternativeNames) {
  std::vector<std::string> got(8);
  together(8, [&](int i) {
    got[i] = tq::canonicalMember("model_b2_int8.onnx") + " " + tq::canonicalMember("drive/xs.f32") + " " +
             tq::canonicalMember("M.f32");
  });
  for (const std::string& g : got)
    EXPECT_EQ(g, "render_model.batch2.int8.onnx idle_loop/source_keypoints.f32 paste_transform.f32");
}

}  // namespace
