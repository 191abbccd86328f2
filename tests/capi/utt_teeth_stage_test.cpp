// The session's teeth stage with a stand-in borrow: crops pass through it one frame behind,
// synchronously or on the stage's thread, every delivered face has had its window written, a
// refusal stops delivery altogether, and an interrupt wins over a frame held in the stage.
#include <condition_variable>

#include "capi/tq_utt_session.h"
#include "capi/tq_utt_teeth.h"
#include "utt_fixture.h"

namespace {

using namespace utttest;

// Finishes each frame on the next push; refuses the frame numbered refuseAt. With blockAt, holds the
// render thread inside that push until opened, so an interrupt lands between render and delivery.
class OneBehind : public tq::utt::TeethStage {
 public:
  explicit OneBehind(int refuseAt = -1, int blockAt = -1) : refuseAt_(refuseAt), blockAt_(blockAt) {}
  bool push(const float*, const float*) override {
    std::unique_lock<std::mutex> lk(m_);
    if (++pushes == blockAt_) {
      reached_ = true;
      cv_.notify_all();
      cv_.wait(lk, [&] { return open_; });
    }
    return finish(true);
  }
  bool flush() override {
    std::lock_guard<std::mutex> lk(m_);
    return finish(false);
  }
  bool refused() const override {
    std::lock_guard<std::mutex> lk(m_);
    return finished_ - 1 == refuseAt_;
  }
  std::string message() const override { return "stand-in: refused"; }
  void writeWindow(float*, int) override {
    std::lock_guard<std::mutex> lk(m_);
    ++writes;
  }
  void waitReached() {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait(lk, [&] { return reached_; });
  }
  void open() {
    std::lock_guard<std::mutex> lk(m_);
    open_ = true;
    cv_.notify_all();
  }
  int pushes = 0, writes = 0;

 private:
  bool finish(bool pending) {
    const bool done = pending_;
    finished_ += done;
    pending_ = pending;
    return done;
  }
  mutable std::mutex m_;
  std::condition_variable cv_;
  int refuseAt_, blockAt_, finished_ = 0;
  bool pending_ = false, reached_ = false, open_ = false;
};

class UttTeeth : public UttBase {};

TEST_F(UttTeeth, EveryFaceIsComposedOneFrameBehindInBothModes) {
  const int F = 6, R = 3;
  for (bool pipelined : {false, true}) {
    SCOPED_TRACE(pipelined);
    tq_utt_opts o = opts();
    o.end_ramp = R;
    start(o);
    auto stage = std::make_shared<OneBehind>();
    tq::utt::attachTeeth(u, stage, pipelined);
    pushSamples(u, F * 640);
    tq_utt_end_utterance(u);
    Frame f;
    int speech = 0, ramp = 0, idleAfter = 0;
    while (idleAfter < 2) {
      ASSERT_TRUE(pullNext(u, f));
      if (f.info.kind == 1) { EXPECT_EQ(f.info.frame, speech++); }
      ramp += f.info.kind == 2;
      idleAfter += f.info.kind == 0 && speech > 0;
    }
    EXPECT_EQ(speech, F);
    EXPECT_EQ(ramp, R);
    stop();
    EXPECT_EQ(stage->pushes, F + R);
    EXPECT_EQ(stage->writes, F + R) << "every delivered face had its window written";
  }
}

TEST_F(UttTeeth, ARefusalStopsDelivery) {
  start(opts());
  auto stage = std::make_shared<OneBehind>(2);
  tq::utt::attachTeeth(u, stage, false);
  pushSamples(u, 12 * 640);
  tq_utt_end_utterance(u);
  Frame f;
  for (int speech = 0; speech < 2;) {
    ASSERT_TRUE(pullNext(u, f));
    if (f.info.kind == 1) { EXPECT_EQ(f.info.frame, speech++); }
  }
  for (int i = 0; i < 20000; ++i) {
    {
      std::lock_guard<std::mutex> lk(u->mu);
      if (u->teeth.failed) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  while (tq_utt_pull_frame(u, f.px.data(), f.px.size(), &f.info) == 1) EXPECT_NE(f.info.kind, 1u);
  // An observation window: nothing, not even an idle frame, comes any more.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(tq_utt_frames_available(u), 0);
  std::lock_guard<std::mutex> lk(u->mu);
  EXPECT_EQ(u->teeth.refused, 1u);
  EXPECT_EQ(u->teeth.message, "stand-in: refused");
}

TEST_F(UttTeeth, AFrameRenderedBeforeAnInterruptIsNeverDeliveredAfterIt) {
  start(opts());
  auto stage = std::make_shared<OneBehind>(-1, 4);
  tq::utt::attachTeeth(u, stage, false);
  pushSamples(u, 20 * 640);
  stage->waitReached();  // speech frame 3 rendered, frame 2 held, neither delivered
  tq_utt_interrupt(u);
  stage->open();
  Frame f;
  for (int k = 0; k < 8; ++k) {
    ASSERT_TRUE(pullNext(u, f));
    EXPECT_NE(f.info.kind, 1u) << "frame " << f.info.frame << " surfaced after the interrupt";
  }
}

}  // namespace
