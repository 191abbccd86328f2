// The render/paste overlap of the offline stream, with stand-in stages: back-pressure from a slow
// sink, failures on either side with a full ring, and a clean run after them.
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

// Stand-in stages: frame j's crop is filled with j; the sink checks it got that crop and records
// how far rendering ran ahead of the pasted frames.
struct Stages {
  std::vector<float> buf = std::vector<float>(kCrop);
  std::atomic<int64_t> pastedDone{0}, renderCalls{0};
  int64_t failRender = -1, failPaste = -1, maxAhead = 0;  // maxAhead: render thread only
  std::vector<int64_t> delivered;
  bool wrongCrop = false;

  static void waitFor(const std::atomic<int64_t>& v, int64_t atLeast) {
    while (v.load() < atLeast) std::this_thread::yield();
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
    if (j != failPaste) return ++pastedDone, true;
    waitFor(renderCalls, j + Pipeline::kRing + 1);  // the ring is full behind this frame
    return false;
  }
  // Bounded: a hung join would otherwise hold the suite until its timeout.
  int64_t run(Pipeline& p, int64_t count) {
    auto f = std::async(std::launch::async, [&] {
      return p.run(
          count, [this](int64_t j) { return render(j); }, [this](int64_t j, const float* c) { return paste(j, c); },
          [this](int64_t j) {
            if (j == 0) waitFor(renderCalls, Pipeline::kRing + 2);  // the first hand-off waits for a full ring
            delivered.push_back(j);
          });
    });
    if (f.wait_for(std::chrono::seconds(120)) != std::future_status::ready)
      ADD_FAILURE() << "the pipeline did not finish", std::_Exit(1);
    return f.get();
  }
};

std::vector<int64_t> upTo(int64_t n) {
  std::vector<int64_t> v(static_cast<std::size_t>(n));
  for (int64_t j = 0; j < n; ++j) v[j] = j;
  return v;
}

// A slow sink bounds rendering to the ring; a failure on either side stops after the frames before
// it; the same pipeline then runs cleanly again.
TEST(RenderPastePipeline, RingBoundFailuresAndReuse) {
  const struct { int64_t failRender, failPaste, count, delivered; } cases[] = {
      {-1, -1, 40, 40}, {7, -1, 40, 7}, {0, -1, 40, 0}, {-1, 3, 40, 3}, {-1, 0, 40, 0}, {-1, 39, 45, 39}, {-1, -1, 12, 12}};
  Pipeline p(kCrop);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "render " << c.failRender << " paste " << c.failPaste);
    Stages s;
    s.failRender = c.failRender, s.failPaste = c.failPaste;
    EXPECT_EQ(s.run(p, c.count), c.delivered);
    EXPECT_EQ(p.failed(), c.delivered < c.count);
    EXPECT_EQ(s.delivered, upTo(c.delivered));
    EXPECT_FALSE(s.wrongCrop);
    if (c.count == 40 && c.delivered == 40) { EXPECT_EQ(s.maxAhead, Pipeline::kRing); }
  }
}

}  // namespace
