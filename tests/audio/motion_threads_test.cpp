// Separate engines on separate threads share nothing: each stream's pulls equal the same stream run
// alone (the front end's scratch is per thread).
#include <thread>

#include "motion_test_util.h"

using namespace motiontest;

TEST(MotionThreads, ParallelEnginesMatchSerialRuns) {
  const auto& speech = files().speech;
  std::vector<float> quiet(speech.size());
  for (size_t i = 0; i < quiet.size(); ++i) quiet[i] = 0.25f * speech[quiet.size() - 1 - i];
  const std::vector<const std::vector<float>*> inputs = {&speech, &quiet, &speech, &quiet};
  std::vector<Frames> alone(inputs.size()), together(inputs.size());
  std::vector<MotionPtr> handles;
  auto run = [&](size_t i) {
    return stream(handles[i].get(), *inputs[i], {640 + 97 * static_cast<int>(i)}, static_cast<int>(i), 1, 1);
  };
  for (size_t i = 0; i < inputs.size(); ++i) {
    handles.push_back(open(files().dir));
    ASSERT_TRUE(handles.back());
    alone[i] = run(i);
  }
  std::vector<std::thread> threads;
  for (size_t i = 0; i < inputs.size(); ++i) threads.emplace_back([&, i] { together[i] = run(i); });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(together[i].idx, alone[i].idx) << i;
    EXPECT_EQ(together[i].drv, alone[i].drv) << i;
  }
  EXPECT_NE(alone[0].drv, alone[1].drv);
}
