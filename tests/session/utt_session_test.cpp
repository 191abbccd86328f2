// The utterance session with a scripted engine: frame counts and ramps, silence, interrupts, pixels
// against the context's render and paste, refusals, load and render failures; a stand-in teeth stage.
#include <condition_variable>
#include <cstring>
#include <functional>
#include <regex>
#include <tuple>

#include "session/tq_utt_session.h"
#include "session/tq_utt_teeth.h"
#include "utt_fixture.h"

namespace {

using namespace utttest;

// The largest difference between px and what the context itself makes for driver frame d with
// driving keypoints rest + w x offset(speech frame i).
int diffToReference(tq_ctx* ctx, const Frame& f, float w, int i) {
  const int d = static_cast<int>(f.info.driver_index);
  std::vector<float> src(63), drv(63);
  for (int c = 0; c < 63; ++c) src[c] = rest(d, c), drv[c] = rest(d, c) + w * offset(i, c);
  const std::vector<uint8_t> ref = renderPaste(ctx, d, src.data(), drv.data());
  int m = 0;
  for (std::size_t k = 0; k < ref.size(); ++k) m = std::max(m, std::abs(int(f.px[k]) - int(ref[k])));
  return m;
}

class Utt : public UttBase {};

// Idle frames walk the driver one new frame per pull; an utterance gives F speech frames numbered
// 0..F-1, end_ramp ramp frames ending on the plain idle pose, then idle frames; the same in every
// scheduling mode, pixels as the context's own render and paste (idle: the driver frame itself).
// TQ_UTT_HYBRID alone turns hybrid mode on (its eager value starts at 3, not the default -1).
TEST_F(Utt, UtteranceGivesEngineTotalSpeechFramesThenRampThenIdle) {
  ASSERT_TRUE(tqtest::runFixtureTool({"director", "--out", dir + "/model_b4.onnx", "--batch", "4", "--crop", "32"}));
  const struct { const char *name, *hybrid, *pipeline, *steady; } modes[] = {  // TQ_UTT_HYBRID, TQ_UTT_PIPELINE_PASTE
      {"sync", nullptr, "0", "-"}, {"hybrid", "yes", "0", "-"}, {"pipelined", nullptr, "1", "-"},
      {"chunked", nullptr, "1", "b4"}};
  const int F = 11, R = 5;
  for (const auto& m : modes) {
    SCOPED_TRACE(m.name);
    tqtest::ScopedEnv hybrid("TQ_UTT_HYBRID", m.hybrid), pipe("TQ_UTT_PIPELINE_PASTE", m.pipeline);
    tq_utt_opts o = opts();
    o.steady_model = m.steady, o.end_ramp = R;
    start(o);
    std::vector<Frame> seen = pullUntil(u, 0, 2 * kNT);
    pushSamples(u, F * 640 - 100);
    tq_utt_end_utterance(u);
    for (Frame& f : pullUntil(u, 1, 1)) seen.push_back(std::move(f));
    const std::size_t s = seen.size() - 1;
    for (Frame& f : pullUntil(u, 0, 3)) seen.push_back(std::move(f));
    const int first = (int(seen[s - 1].info.driver_index) + 1) % kNT;
    ASSERT_EQ(seen.size(), s + F + R + 3);
    for (std::size_t i = 0; i < seen.size(); ++i) {
      const tq_utt_frame_info& f = seen[i].info;
      EXPECT_EQ(f.seq, uint64_t(i));
      const uint8_t* driver = tq_target_frame(ctx, f.driver_index);
      EXPECT_TRUE(f.kind != 0 || std::memcmp(seen[i].px.data(), driver, kFrameBytes) == 0) << "idle: the driver frame";
      if (i < s) {
        EXPECT_EQ(std::make_pair(f.kind, f.driver_index), std::make_pair(0u, uint32_t(i % kNT)));
        continue;
      }
      const int k = static_cast<int>(i - s);
      EXPECT_EQ(f.kind, k < F ? 1u : k < F + R ? 2u : 0u) << k;
      EXPECT_EQ(f.frame, k < F ? k : -1) << k;
      if (k <= F + R) { EXPECT_EQ(f.driver_index, uint32_t((first + k) % kNT)) << k; }
    }
    const tq_utt_stats st = statsOf(u);
    EXPECT_EQ(std::make_pair(st.speech_frames_out, st.first_frames), std::make_pair(uint64_t(F), uint64_t(1)));
    EXPECT_TRUE(st.first_frame_ms > 0.0 && st.render_ms > 0.0);
    stop();
    for (int k : {0, 1, F - 1}) EXPECT_LE(diffToReference(ctx, seen[s + k], 1.0f, k), *m.steady != '-') << k;
    EXPECT_EQ(diffToReference(ctx, seen[s + F + R - 1], 0.0f, 0), 0) << "the last ramp frame is the plain idle pose";
    // The first ramp frame carries the last speech offset at weight 1 - 1/R. The session recovers
    // the offset as (rest + delta) - rest, which may differ from delta in its last bit.
    EXPECT_LE(diffToReference(ctx, seen[s + F], 1.0f - 1.0f / R, F - 1), 1);
  }
  EXPECT_EQ(script.eagerSet, (std::vector<int>{-1, 3, -1, -1}));
}

// Hybrid mode (eager -2) raises the engine's eager value to 24 when the backlog reaches 24 frames
// and drops it back to 3 once the backlog is below 12.
TEST_F(Utt, HybridEagerFollowsTheBacklog) {
  tq_utt_opts o = opts();
  o.eager = -2;
  start(o);
  pushSamples(u, 40 * 640);
  waitAvailable(u, 8);
  pullUntil(u, 1, 40);
  tq_utt_end_utterance(u);
  EXPECT_EQ(pullUntil(u, 2, 6).size(), 6u);
  stop();
  EXPECT_EQ(script.eagerSet, (std::vector<int>{3, 24, 3}));
}

// With the stage report asked for, a session that pastes in place says it measured nothing.
TEST_F(Utt, SilenceEndsAnUtteranceUnlessTheTimeoutIsNegative) {
  tqtest::ScopedEnv report("TQ_UTT_STAGE_REPORT", "1"), pipe("TQ_UTT_PIPELINE_PASTE", nullptr);
  const int F = 6;
  for (double silence : {0.05, -1.0}) {
    SCOPED_TRACE(silence);
    start(opts(silence));
    pushSamples(u, F * 640);
    int speech = 0;
    for (const Frame& f : pullUntil(u, 1, F)) speech += f.info.kind == 2 ? 100 : f.info.frame == speech;
    EXPECT_EQ(speech, F) << "speech frames 0..F-1 in order, no ramp among them";
    if (silence < 0) {  // an observation window far past the 50 ms the other session needed
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_EQ(std::make_pair(tq_utt_frames_available(u), statsOf(u).state), std::make_pair(0, 2u));
      tq_utt_end_utterance(u);
    }
    int ramp = 0;
    for (const Frame& f : pullUntil(u, 0, 1)) ramp += f.info.kind == 2;
    EXPECT_EQ(ramp, 6);
    testing::internal::CaptureStderr();
    stop();
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "[tq_utt-stage] MEASURED NOTHING \xe2\x80\x94 the stage report was asked for and the paste-job counter "
                  "never advanced (pipe=0 jobsB=0 jobsC=0, 6 speech frames delivered)."),
              std::string::npos);
  }
}

// Unpulled speech frames are dropped (a gap in seq), the ramp starts from the last pulled face, and
// a new utterance numbers its frames from 0; without ramp rows idle continues after that face.
TEST_F(Utt, InterruptDropsUnpulledFramesAndRampsFromTheLastPulledFace) {
  for (bool ramps : {true, false}) {
    tq_utt_opts o = opts();
    const std::string bare = *tmp / "motion-bare";
    if (!ramps) tqtest::runCommand("mkdir -p " + bare), o.motion_dir = bare.c_str();
    start(o);
    pushSamples(u, 40 * 640);
    const Frame last = pullUntil(u, 1, 3).back();
    waitAvailable(u, 8);  // the session ran ahead: the interrupt has something to discard
    tq_utt_interrupt(u);  // the first ramp frame may be ready at once: the gap in seq shows the drop
    std::vector<Frame> after(ramps ? 6 : 1);
    for (Frame& f : after) ASSERT_TRUE(pullNext(u, f));
    EXPECT_GE(after[0].info.seq, last.info.seq + 1 + 8) << "the discarded frames leave a gap";
    for (std::size_t k = 0; k < after.size(); ++k) {
      EXPECT_EQ(after[k].info.seq, after[0].info.seq + k);
      EXPECT_EQ(after[k].info.kind, ramps && k < 4 ? 2u : 0u) << k;
      if (k < 4) { EXPECT_EQ(after[k].info.driver_index, (last.info.driver_index + 1 + k) % kNT); }
    }
    if (!ramps) break;
    pushSamples(u, 3 * 640);
    tq_utt_end_utterance(u);
    EXPECT_EQ(pullUntil(u, 1, 1).back().info.frame, 0);
    stop();
    EXPECT_EQ(diffToReference(ctx, after[0], 0.75f, last.info.frame), 0) << "the ramp starts from the pulled face";
  }
}

TEST_F(Utt, RefusalsGiveTheirTexts) {
  tq_utt_opts o{};
  const struct { std::function<bool()> refused; const char* text; } cases[] = {
      {[&] { return !tq_utt_create(nullptr, &o); }, "tq_utt_create: NULL ctx/opts"},
      {[&] { return !tq_utt_create(ctx, nullptr); }, "tq_utt_create: NULL ctx/opts"},
      {[&] { return !tq_utt_create(ctx, &o); }, "tq_utt_create: opts.motion_dir required"},
      {[&] { return !tq_utt_open(ctx, ""); }, "tq_utt_create: opts.motion_dir required"},
      {[] { return !tq_utt_push_audio(nullptr, nullptr, 1); }, "tq_utt_push_audio: bad args"},
      {[] { return !tq_utt_pull_frame(nullptr, nullptr, 0, nullptr); }, "tq_utt_pull_frame: bad args"},
  };
  for (const auto& c : cases) EXPECT_TRUE(c.refused() && tq_utt_last_error() == std::string(c.text)) << c.text;
  EXPECT_EQ(tq_utt_ready(nullptr), -1);
  EXPECT_EQ(tq_utt_frames_available(nullptr) + tq_utt_render_status(nullptr, nullptr, 0, nullptr), 0);
  tq_utt_get_stats(nullptr, nullptr), tq_utt_end_utterance(nullptr), tq_utt_interrupt(nullptr), tq_utt_destroy(nullptr);
  start(opts());
  const int16_t pcm[4] = {};
  EXPECT_EQ(tq_utt_push_audio(u, pcm, -1) + tq_utt_push_audio(u, nullptr, 4), 0);
  EXPECT_STREQ(tq_utt_last_error(), "tq_utt_push_audio: bad args");
  EXPECT_EQ(tq_utt_push_audio(u, pcm, 0), 1);
  EXPECT_STREQ(tq_utt_last_error(), "");
  // A buffer one byte short keeps the frame for the next pull.
  waitAvailable(u, 1);
  std::vector<uint8_t> buf(kFrameBytes);
  tq_utt_frame_info info{};
  EXPECT_EQ(tq_utt_pull_frame(u, buf.data(), kFrameBytes - 1, &info), 0);
  EXPECT_STREQ(tq_utt_last_error(), "tq_utt_pull_frame: buffer too small");
  EXPECT_TRUE(tq_utt_pull_frame(u, buf.data(), kFrameBytes, &info) == 1 && info.seq == 0);
  EXPECT_STREQ(tq_utt_last_error(), "") << "the pull clears the text of the refusal before it";
  uint64_t failures = 7;
  char text[8] = "x";
  EXPECT_EQ(tq_utt_render_status(u, text, sizeof text, &failures), 0);
  EXPECT_TRUE(failures == 0 && text[0] == 0);
}

// The waits time out while the engine loads and wake when it is ready and when a frame is
// published; a wait running when destroy begins returns -1 at once, before destroy has joined the
// load, and destroy waits for it to leave.
TEST_F(Utt, WaitsTimeOutWakeAndReturnWhenDestroyBegins) {
  EXPECT_EQ(tq_utt_wait_frame(nullptr, 0), -1);
  EXPECT_STREQ(tq_utt_last_error(), "tq_utt_wait_frame: NULL session");
  script.createMs = 1500;
  u = tq::utt::createSession(ctx, opts(), scripted(script));
  EXPECT_EQ(tq_utt_wait_ready(u, 20), 0);
  EXPECT_STREQ(tq_utt_last_error(), "");
  EXPECT_EQ(tq_utt_wait_ready(u, -1), 1);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(tq_utt_wait_frame(u, -1), 1);
    Frame f;
    ASSERT_TRUE(pullNext(u, f, 0));
  }
  stop();

  u = tq::utt::createSession(ctx, opts(), scripted(script));
  int got = 2;
  std::string text;
  std::chrono::steady_clock::time_point waited;
  std::thread waiter([&] {
    got = tq_utt_wait_ready(u, -1);
    text = tq_utt_last_error();
    waited = std::chrono::steady_clock::now();
  });
  for (bool inside = false; !inside; std::this_thread::yield()) {
    std::lock_guard<std::mutex> lk(u->mu);
    inside = u->waiters == 1;
  }
  stop();
  const auto destroyed = std::chrono::steady_clock::now();
  waiter.join();
  EXPECT_EQ(got, -1);
  EXPECT_EQ(text, "tq_utt_wait_ready: the session is being destroyed");
  EXPECT_LT(waited, destroyed);
}

// A load failure reaches tq_utt_ready and the last error, idle frames go on, audio pushed before
// the engine is ready makes no speech, and destroy joins while loading and after a failure (the
// stress test destroys sessions in every other state).
TEST_F(Utt, EngineLoadFailuresReachReadyAndDestroyJoinsFromEveryState) {
  const struct { int nt; const char *failText, *expect; } cases[] = {
      {kNT, "scripted: the model directory is empty", "scripted: the model directory is empty"},
      {5, nullptr,
       "the motion engine's rest keypoints (xs_target.bin) have 5 rows but the bundle has NT 3 driver frames "
       "\xe2\x80\x94 refusing to drive frames the bundle does not have"},
  };
  for (const auto& c : cases) {
    script.nt = c.nt, script.failText = c.failText;
    u = tq::utt::createSession(ctx, opts(), scripted(script));
    EXPECT_TRUE(waitReady(u) == -1 && tq_utt_last_error() == std::string(c.expect)) << tq_utt_last_error();
    pushSamples(u, 3200);
    for (const Frame& f : pullUntil(u, 0, 4)) EXPECT_EQ(f.info.kind, 0u);
    stop();
    EXPECT_EQ(script.live.load(), 0);
  }
  script.nt = kNT, script.failText = nullptr, script.createMs = 300;
  u = tq::utt::createSession(ctx, opts(), scripted(script));
  stop();  // while loading
  EXPECT_EQ(script.live.load(), 0);
  u = tq::utt::createSession(ctx, opts(0.05), scripted(script));
  pushSamples(u, 6400);
  tq_utt_end_utterance(u);
  ASSERT_TRUE(tq_utt_ready(u) == 0 && waitReady(u) == 1);
  for (const Frame& f : pullUntil(u, 0, 12)) EXPECT_EQ(f.info.kind, 0u);
}

// A director that cannot render driver frame 2 (its warp-prior movie ends after frame 1), and an
// engine handing out a driver frame the bundle does not have: the speech frame fails, the utterance
// is abandoned and idle frames flow again instead of the same row being re-rendered for ever.
TEST(UttRenderFailure, AFatalRenderAbandonsTheUtteranceAndIdleFramesGoOn) {
  tqtest::TempDir t;
  const std::string dir = writeBundle(t, {"--prior", "none", "--prior-movie"},
                                      "{\"amount\": 0, \"P_hevc\": \"P_hevc.mov\"}");
  ASSERT_TRUE(tqtest::runFixtureTool({"movie", dir + "/P_hevc.mov", "--size", "32x32", "--frames", "2", "--codec",
                                      "libx265", "--pix-fmt", "yuv444p"}));
  const std::string motion = writeMotion(t / "motion");
  tq_ctx* ctx = tq_create(dir.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << tq_last_error();
  for (int fixedIndex : {2, kNT}) {
    Script script;
    script.fixedIndex = fixedIndex;
    tq_utt_opts o{};
    o.motion_dir = motion.c_str(), o.steady_model = "-", o.silence_end_s = -1;
    tq_utt* u = tq::utt::createSession(ctx, o, scripted(script));
    ASSERT_EQ(waitReady(u), 1);
    pushSamples(u, 10 * 640);
    tq_utt_end_utterance(u);
    Frame f;
    char text[512];
    uint64_t failures = 0;
    for (int pulls = 0; tq_utt_render_status(u, text, sizeof text, &failures) == 0 && pulls < 400; ++pulls) {
      ASSERT_TRUE(pullNext(u, f, 20.0));
      EXPECT_EQ(f.info.kind, 0u);
    }
    EXPECT_TRUE(tq_utt_render_status(u, text, sizeof text, &failures) == -1 && failures >= 1);
    EXPECT_TRUE(std::regex_search(text, std::regex(fixedIndex < kNT ? "^ep=.* render: " : "^ep=.* motion: the engine "
                                                   "handed out driver index 3 outside 0\\.\\.2$")))
        << text;
    for (const Frame& g : pullUntil(u, 0, 2 * kNT)) EXPECT_EQ(g.info.kind, 0u) << "idle frames flow after the failure";
    tq_utt_destroy(u);
  }
  tq_destroy(ctx);
}

// Finishes each frame on the next push; refuses the frame numbered refuseAt. With blockAt, holds the
// render thread inside that push until opened, so an interrupt lands between render and delivery.
class OneBehind : public tq::utt::TeethStage {
 public:
  explicit OneBehind(int refuseAt = -1, int blockAt = -1) : refuseAt_(refuseAt), blockAt_(blockAt) {}
  bool push(const float*, const float*) override {
    std::unique_lock<std::mutex> lk(m_);
    if (++pushes == blockAt_) reached_ = true, cv_.notify_all(), cv_.wait(lk, [&] { return open_; });
    return finish(true);
  }
  bool flush() override { Lock lk(m_); return finish(false); }
  bool refused() const override { Lock lk(m_); return finished_ - 1 == refuseAt_; }
  std::string message() const override { return "stand-in: refused"; }
  void writeWindow(float*, int) override { Lock lk(m_); ++writes; }
  void waitReached() {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait(lk, [&] { return reached_; });
  }
  void open() { Lock lk(m_); open_ = true, cv_.notify_all(); }
  int pushes = 0, writes = 0;

 private:
  using Lock = std::lock_guard<std::mutex>;
  bool finish(bool pending) {
    const bool done = pending_;
    finished_ += done, pending_ = pending;
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
    start(opts(-1.0, R));
    auto stage = std::make_shared<OneBehind>();
    tq::utt::attachTeeth(u, stage, pipelined);
    pushSamples(u, F * 640);
    tq_utt_end_utterance(u);
    int speech = 0, ramp = 0;
    for (const Frame& f : pullUntil(u, 1, 1)) speech += f.info.kind == 1;
    for (const Frame& f : pullUntil(u, 0, 2)) {
      if (f.info.kind == 1) { EXPECT_EQ(f.info.frame, speech++); }
      ramp += f.info.kind == 2;
    }
    EXPECT_EQ(std::make_pair(speech, ramp), std::make_pair(F, R));
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
  int speech = 0;
  for (const Frame& f : pullUntil(u, 1, 2)) speech += f.info.kind == 1 && f.info.frame == speech;
  EXPECT_EQ(speech, 2);
  for (int i = 0; i < 20000 && (std::lock_guard<std::mutex>(u->mu), !u->teeth.failed); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Frame f{{}, std::vector<uint8_t>(kFrameBytes)};
  while (tq_utt_pull_frame(u, f.px.data(), f.px.size(), &f.info) == 1) EXPECT_NE(f.info.kind, 1u);
  // An observation window: nothing, not even an idle frame, comes any more.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int available = tq_utt_frames_available(u);
  std::lock_guard<std::mutex> lk(u->mu);
  EXPECT_EQ(std::make_tuple(available, u->teeth.refused, u->teeth.message),
            std::make_tuple(0, 1u, std::string("stand-in: refused")));
}

TEST_F(UttTeeth, AFrameRenderedBeforeAnInterruptIsNeverDeliveredAfterIt) {
  start(opts());
  auto stage = std::make_shared<OneBehind>(-1, 4);
  tq::utt::attachTeeth(u, stage, false);
  pushSamples(u, 20 * 640);
  stage->waitReached();  // speech frame 3 rendered, frame 2 held, neither delivered
  tq_utt_interrupt(u);
  stage->open();
  for (const Frame& f : pullUntil(u, 0, 8)) EXPECT_NE(f.info.kind, 1u) << "frame " << f.info.frame << " surfaced";
}

}  // namespace
