// Engines on several threads (a2x handles share the speech encoders and silence cache, whose first loads
// race; motion engines share nothing): every thread must get exactly what it gets alone.
#include <thread>

#include "a2x_test_util.h"
#include "motion_test_util.h"

namespace {

struct A2xRun {
  a2xtest::Frames streamed;
  std::vector<float> offline;
};

A2xRun runA2x(const a2xtest::Fixture& fx, const std::vector<float>& audio, int pieces) {
  A2xRun r;
  a2xtest::Handle h(fx);
  if (!h.h) return ADD_FAILURE() << tq_a2x_last_error(), r;
  r.streamed = a2xtest::stream(h, audio, {pieces});
  const int F = static_cast<int>((audio.size() + 639) / 640);
  r.offline.resize(static_cast<std::size_t>(F) * a2xtest::kKp);
  EXPECT_EQ(tq_a2x_deltas(h, audio.data(), static_cast<int>(audio.size()), r.offline.data(), F), F);
  return r;
}

template <class Result, class Run>
void runTogetherAndAlone(int count, Run run, std::vector<Result>* together, std::vector<Result>* alone) {
  together->resize(count), alone->resize(count);
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back([&, t] { (*together)[t] = run(t, true); });
  for (auto& th : threads) th.join();
  for (int t = 0; t < count; ++t) (*alone)[t] = run(t, false);
}

TEST(A2xConcurrency, HandlesOnManyThreadsMatchTheirSoloRuns) {
  const a2xtest::Fixture& fx = a2xtest::fixture({"--short", "--silence-prime", "3"});
  const std::vector<float> speech = a2xtest::speechOf(6.0);
  std::vector<std::vector<float>> audio;
  for (int t = 0; t < 3; ++t) audio.emplace_back(speech.begin() + t * 16000, speech.begin() + t * 16000 + 40000);
  tqtest::ScopedEnv env("W2V_ONNX", fx.w2v.c_str());
  std::vector<A2xRun> together, alone;
  runTogetherAndAlone(3, [&](int t, bool first) { return runA2x(fx, audio[t], first ? 1000 + 2000 * t : 5120); },
                      &together, &alone);
  for (int t = 0; t < 3; ++t) {
    EXPECT_EQ(together[t].streamed.idx, alone[t].streamed.idx) << t;
    EXPECT_EQ(together[t].streamed.drv, alone[t].streamed.drv) << "thread " << t;
    EXPECT_EQ(together[t].offline, alone[t].offline) << "thread " << t;
  }
  // Different audio gives different motion: the threads did not share stream state.
  EXPECT_NE(together[0].streamed.drv, together[1].streamed.drv);
}

TEST(MotionThreads, ParallelEnginesMatchSerialRuns) {
  using namespace motiontest;
  const auto& speech = files().speech;
  std::vector<float> quiet(speech.size());
  for (size_t i = 0; i < quiet.size(); ++i) quiet[i] = 0.25f * speech[quiet.size() - 1 - i];
  std::vector<MotionPtr> handles;
  for (int i = 0; i < 4; ++i) handles.push_back(open(files().dir));
  std::vector<Frames> together, alone;
  runTogetherAndAlone(4, [&](int i, bool) {
    return stream(handles[i].get(), i % 2 ? quiet : speech, {640 + 97 * i}, i, 1, 1);
  }, &together, &alone);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(together[i].idx, alone[i].idx) << i;
    EXPECT_EQ(together[i].drv, alone[i].drv) << i;
  }
  EXPECT_NE(alone[0].drv, alone[1].drv);
}

}  // namespace
