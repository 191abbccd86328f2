// Handles on several threads share the process's speech encoders and the silence cache: first loads
// race, runs overlap, and every thread must get exactly what it gets alone.
#include <thread>

#include "a2x_test_util.h"

using namespace a2xtest;

namespace {

struct Result {
  Frames streamed;
  std::vector<float> offline;
};

Result runOne(const Fixture& fx, const std::vector<float>& audio, int pieces) {
  Result r;
  Handle h(fx);
  if (!h.h) return ADD_FAILURE() << tq_a2x_last_error(), r;
  r.streamed = stream(h, audio, {pieces});
  const int F = static_cast<int>((audio.size() + 639) / 640);
  r.offline.resize(static_cast<std::size_t>(F) * kKp);
  EXPECT_EQ(tq_a2x_deltas(h, audio.data(), static_cast<int>(audio.size()), r.offline.data(), F), F);
  return r;
}

TEST(A2xConcurrency, HandlesOnManyThreadsMatchTheirSoloRuns) {
  const Fixture& fx = fixture({"--short", "--silence-prime", "3"});
  const std::vector<float> speech = speechOf(6.0);
  constexpr int kThreads = 3;
  std::vector<std::vector<float>> audio;
  for (int t = 0; t < kThreads; ++t) audio.emplace_back(speech.begin() + t * 16000, speech.begin() + t * 16000 + 40000);
  tqtest::ScopedEnv env("W2V_ONNX", fx.w2v.c_str());
  std::vector<Result> together(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] { together[t] = runOne(fx, audio[t], 1000 + 2000 * t); });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    const Result alone = runOne(fx, audio[t], 5120);
    EXPECT_EQ(together[t].streamed.idx, alone.streamed.idx) << t;
    EXPECT_EQ(together[t].streamed.drv, alone.streamed.drv) << "thread " << t;
    EXPECT_EQ(together[t].offline, alone.offline) << "thread " << t;
  }
  // Different audio gives different motion: the threads did not share stream state.
  EXPECT_NE(together[0].streamed.drv, together[1].streamed.drv);
}

}  // namespace
