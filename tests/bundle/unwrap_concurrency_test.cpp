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

std::size_t countOf(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

// Starts all threads' work together.
class StartLine {
 public:
  explicit StartLine(int n) : waiting_(n) {}
  void arriveAndWait() {
    waiting_.fetch_sub(1);
    while (waiting_.load() > 0) std::this_thread::yield();
  }

 private:
  std::atomic<int> waiting_;
};

TEST(UnwrapConcurrency, SameContainerUnpacksOnce) {
  TempDir t;
  tqtest::ScopedEnv noRoot("TQ_IMX_UNWRAP_ROOT", nullptr);
  const std::string k = t / "avatar.imx";
  const std::string u = t / "avatar.tqbundle";
  ASSERT_TRUE(writeImx(k, {pattern("P.f16", 24 << 20, 5), text("manifest.json", "{}")}));

  constexpr int kThreads = 4;
  std::vector<Resolved> results(kThreads);
  StartLine start(kThreads);
  testing::internal::CaptureStderr();
  {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&, i] {
        start.arriveAndWait();
        results[i] = resolveHandle(k);
      });
    for (auto& th : threads) th.join();
  }
  const std::string log = testing::internal::GetCapturedStderr();
  for (const Resolved& r : results) {
    EXPECT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(r.out, u);
  }
  EXPECT_EQ(countOf(log, "[tq] unwrapped "), 1u) << log;
  EXPECT_EQ(tqtest::readBytes(u + "/P.f16").size(), 24u << 20);
}

TEST(UnwrapConcurrency, DifferentContainersEachUnpack) {
  TempDir t;
  tqtest::ScopedEnv noRoot("TQ_IMX_UNWRAP_ROOT", nullptr);
  constexpr int kThreads = 3;
  for (int i = 0; i < kThreads; ++i)
    ASSERT_TRUE(writeImx(t / ("c" + std::to_string(i) + ".imx"),
                         {pattern("data", 1 << 20, i), text("id", std::to_string(i))}));
  std::vector<Resolved> results(kThreads);
  StartLine start(kThreads);
  testing::internal::CaptureStderr();
  {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&, i] {
        start.arriveAndWait();
        results[i] = resolveHandle(t / ("c" + std::to_string(i) + ".imx"));
      });
    for (auto& th : threads) th.join();
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(countOf(log, "[tq] unwrapped "), static_cast<std::size_t>(kThreads)) << log;
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(results[i].rc, 1) << results[i].err;
    EXPECT_EQ(results[i].out, t / ("c" + std::to_string(i) + ".tqbundle"));
    EXPECT_EQ(tqtest::readText(results[i].out + "/id"), std::to_string(i));
  }
}

// The alternative-name tables are built on first use, here from many threads
// at once (ThreadSanitizer reports an unsafe initialisation).
TEST(UnwrapConcurrency, FirstUseOfAlternativeNames) {
  constexpr int kThreads = 8;
  std::vector<std::string> got(kThreads * 3);
  StartLine start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      start.arriveAndWait();
      got[i * 3 + 0] = tq::canonicalMember("model_b2_int8.onnx");
      got[i * 3 + 1] = tq::canonicalMember("drive/xs.f32");
      got[i * 3 + 2] = tq::canonicalMember("M.f32");
    });
  for (auto& th : threads) th.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(got[i * 3 + 0], "render_model.batch2.int8.onnx");
    EXPECT_EQ(got[i * 3 + 1], "idle_loop/source_keypoints.f32");
    EXPECT_EQ(got[i * 3 + 2], "paste_transform.f32");
  }
}

}  // namespace
