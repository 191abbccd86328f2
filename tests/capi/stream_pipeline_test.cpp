// The render/paste overlap of the offline stream with stand-in stages: a slow sink bounds rendering
// to the ring; a failure on either side, also with a full ring, stops after the frames before it
// (each with its own crop); the same pipeline then runs cleanly again.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "capi/tq_stream_pipeline.h"

namespace {

using Pipeline = tq::RenderPastePipeline;

TEST(RenderPastePipeline, RingBoundFailuresAndReuse) {
  const struct { int64_t failRender, failPaste, count, delivered; } cases[] = {
      {-1, -1, 40, 40}, {7, -1, 40, 7}, {0, -1, 40, 0}, {-1, 3, 40, 3}, {-1, 0, 40, 0}, {-1, 39, 45, 39}, {-1, -1, 12, 12}};
  Pipeline p(64);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "render " << c.failRender << " paste " << c.failPaste);
    std::vector<float> buf(64);
    std::atomic<int64_t> pasted{0}, rendered{0};
    int64_t maxAhead = 0;  // render thread only
    std::vector<int64_t> delivered;
    bool wrongCrop = false;
    const auto waitFor = [](const std::atomic<int64_t>& v, int64_t atLeast) {
      while (v.load() < atLeast) std::this_thread::yield();
    };
    const auto render = [&](int64_t j) -> const float* {
      rendered = j + 1, maxAhead = std::max(maxAhead, j - pasted.load());
      return j == c.failRender ? nullptr : (std::fill(buf.begin(), buf.end(), float(j)), buf.data());
    };
    const auto paste = [&](int64_t j, const float* crop) {
      for (int k = 0; k < 64; ++k) wrongCrop |= crop[k] != float(j);
      if (j != c.failPaste) return ++pasted, true;
      waitFor(rendered, j + Pipeline::kRing + 1);  // the ring is full behind this frame
      return false;
    };
    const auto deliver = [&](int64_t j) {
      if (j == 0) waitFor(rendered, Pipeline::kRing + 2);  // a slow sink: the first hand-off waits for a full ring
      delivered.push_back(j);
    };
    auto run = std::async(std::launch::async, [&] { return p.run(c.count, render, paste, deliver); });
    if (run.wait_for(std::chrono::seconds(120)) != std::future_status::ready)
      ADD_FAILURE() << "the pipeline did not finish", std::_Exit(1);  // a hung join would hold the suite
    EXPECT_EQ(run.get(), c.delivered);
    EXPECT_EQ(p.failed(), c.delivered < c.count);
    EXPECT_EQ(delivered.size(), std::size_t(c.delivered));
    for (std::size_t j = 0; j < delivered.size(); ++j) EXPECT_EQ(delivered[j], int64_t(j));
    EXPECT_FALSE(wrongCrop);
    if (c.delivered == c.count) { EXPECT_EQ(maxAhead, Pipeline::kRing); }
  }
}

}  // namespace
