// The render/paste overlap of the offline stream, with stand-in stages:
// back-pressure from a slow sink, and failures on either side with a full ring.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "capi/tq_stream_pipeline.h"

namespace {

constexpr std::size_t kCrop = 64;
using Pipeline = tq::RenderPastePipeline;

// Stand-in stages: frame j's crop is filled with j; the sink checks it got that
// crop and records how far rendering ran ahead of the pasted frames.
struct Stages {
  std::vector<float> buf = std::vector<float>(kCrop);
  std::atomic<int64_t> pastedDone{0}, renderCalls{0};
  int64_t failRender = -1, failPaste = -1, maxAhead = 0;  // maxAhead: render thread only
  std::vector<int64_t> delivered;
  bool wrongCrop = false;
  std::atomic<int64_t> releaseAt{-1};  // paste of frame releaseAt - 5 waits for render(releaseAt)

  static void waitFor(const std::atomic<int64_t>& v, int64_t at_least) {
    while (v.load() < at_least) std::this_thread::yield();
  }
  const float* render(int64_t j) {
    renderCalls = j + 1;
    maxAhead = std::max(maxAhead, j - pastedDone.load());
    if (j == failRender) return nullptr;
    std::fill(buf.begin(), buf.end(), static_cast<float>(j));
    return buf.data();
  }
  bool paste(int64_t j, const float* crop) {
    for (std::size_t k = 0; k < kCrop; ++k) wrongCrop |= crop[k] != static_cast<float>(j);
    if (j == failPaste) {
      waitFor(renderCalls, j + Pipeline::kRing + 1);  // the ring is full behind this frame
      return false;
    }
    ++pastedDone;
    return true;
  }
  int64_t run(Pipeline& p, int64_t count) {
    return p.run(
        count, [this](int64_t j) { return render(j); }, [this](int64_t j, const float* c) { return paste(j, c); },
        [this](int64_t j) {
          // The first frame's hand-off waits until rendering has filled the ring.
          if (j == 0) waitFor(renderCalls, Pipeline::kRing + 2);
          delivered.push_back(j);
        });
  }
};

// Runs with a watchdog: a hung join would otherwise hold the suite until its timeout.
int64_t runBounded(Pipeline& p, Stages& s, int64_t count) {
  auto f = std::async(std::launch::async, [&] { return s.run(p, count); });
  if (f.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
    ADD_FAILURE() << "the pipeline did not finish";
    std::_Exit(1);
  }
  return f.get();
}

std::vector<int64_t> upTo(int64_t n) {
  std::vector<int64_t> v;
  for (int64_t j = 0; j < n; ++j) v.push_back(j);
  return v;
}

TEST(RenderPastePipeline, SlowSinkBoundsRenderingToTheRing) {
  Pipeline p(kCrop);
  Stages s;
  EXPECT_EQ(runBounded(p, s, 40), 40);
  EXPECT_FALSE(p.failed());
  EXPECT_FALSE(s.wrongCrop);
  EXPECT_EQ(s.delivered, upTo(40));
  EXPECT_EQ(s.maxAhead, Pipeline::kRing);
}

TEST(RenderPastePipeline, FailuresStopAfterTheFramesBefore) {
  struct Case {
    int64_t failRender, failPaste, delivered;
  } cases[] = {{7, -1, 7}, {0, -1, 0}, {-1, 3, 3}, {-1, 0, 0}, {-1, 39, 39}};
  Pipeline p(kCrop);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "render " << c.failRender << " paste " << c.failPaste);
    Stages s;
    s.failRender = c.failRender;
    s.failPaste = c.failPaste;
    const int64_t n = c.failPaste == 39 ? 45 : 40;
    EXPECT_EQ(runBounded(p, s, n), c.delivered);
    EXPECT_TRUE(p.failed());
    EXPECT_EQ(s.delivered, upTo(c.delivered));
    EXPECT_FALSE(s.wrongCrop);
  }
  Stages again;  // the same pipeline runs cleanly after failures
  EXPECT_EQ(runBounded(p, again, 12), 12);
  EXPECT_FALSE(p.failed());
  EXPECT_EQ(again.delivered, upTo(12));
}

}  // namespace
