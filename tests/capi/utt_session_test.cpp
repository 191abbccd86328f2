// The utterance session with a scripted engine: idle stream, utterances with
// their exact frame counts and ramps, silence timeout, interrupts, pixels
// against the context's own render and paste, refusals, stage report.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <regex>

#include "utt_fixture.h"

namespace {

using namespace utttest;

// The pixels the context itself makes for driver frame d with driving keypoints drv.
std::vector<uint8_t> reference(tq_ctx* ctx, int d, const std::vector<float>& drv) {
  const std::vector<float> xs = restRows(kNT);
  std::vector<uint8_t> out(kFrameBytes);
  const float* crop = tq_render_kp_crop(ctx, d, xs.data() + d * 63, drv.data());
  EXPECT_NE(crop, nullptr) << tq_last_error();
  if (crop) {
    EXPECT_EQ(tq_paste_crop(ctx, d, crop, out.data(), out.size()), 1) << tq_last_error();
  }
  return out;
}

std::vector<float> drivingKp(int d, float w, int speechFrame) {
  std::vector<float> v = restRows(kNT);
  std::vector<float> r(v.begin() + d * 63, v.begin() + d * 63 + 63);
  for (int c = 0; c < 63; ++c) r[c] += w * offset(speechFrame, c);
  return r;
}

int maxDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int m = 0;
  for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(int(a[i]) - int(b[i])));
  return m;
}

class Utt : public UttBase {};

TEST_F(Utt, IdleStreamWalksTheDriverOneNewFramePerPull) {
  start(opts());
  Frame f;
  for (int i = 0; i < 2 * kNT + 2; ++i) {
    ASSERT_TRUE(pullNext(u, f));
    EXPECT_EQ(f.info.kind, 0u);
    EXPECT_EQ(f.info.frame, -1);
    EXPECT_EQ(f.info.driver_index, uint32_t(i % kNT));
    EXPECT_EQ(f.info.seq, uint64_t(i));
    EXPECT_LE(tq_utt_frames_available(u), 1);
    // An idle frame is the driver frame itself.
    EXPECT_EQ(std::memcmp(f.px.data(), tq_target_frame(ctx, i % kNT), kFrameBytes), 0);
  }
  tq_utt_stats st{};
  tq_utt_get_stats(u, &st);
  EXPECT_EQ(st.frames_out, uint64_t(2 * kNT + 2));
  EXPECT_EQ(st.speech_frames_out, 0u);
}

TEST_F(Utt, AudioPushedBeforeTheEngineIsReadyMakesNoSpeech) {
  script.createMs = 300;
  tq_utt_opts o = opts(0.05);
  u = tq::utt::createSession(ctx, o, scripted(script));
  ASSERT_EQ(tq_utt_ready(u), 0);
  pushSamples(u, 6400);
  tq_utt_end_utterance(u);
  ASSERT_EQ(tq_utt_ready(u), 0);
  ASSERT_EQ(waitReady(u), 1);
  Frame f;
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(pullNext(u, f));
    EXPECT_EQ(f.info.kind, 0u) << "frame " << i;
  }
}

struct Mode {
  const char* name;
  int eager;
  const char* pipeline;  // TQ_UTT_PIPELINE_PASTE
  const char* steady;
};

// F speech frames numbered 0..F-1, end_ramp ramp frames ending on the plain idle
// pose, then idle frames; the same in every scheduling mode.
TEST_F(Utt, UtteranceGivesEngineTotalSpeechFramesThenRampThenIdle) {
  const std::string b4 = dir + "/model_b4.onnx";
  ASSERT_TRUE(tqtest::runFixtureTool({"director", "--out", b4, "--batch", "4", "--crop", "32"}));
  const Mode modes[] = {{"sync", 0, "0", "-"},
                        {"hybrid", -2, "0", "-"},
                        {"pipelined", 0, "1", "-"},
                        {"chunked", 0, "1", "b4"}};
  const int F = 11, endRamp = 5;
  for (const Mode& m : modes) {
    SCOPED_TRACE(m.name);
    tqtest::ScopedEnv pipe("TQ_UTT_PIPELINE_PASTE", m.pipeline);
    tq_utt_opts o = opts();
    o.eager = m.eager;
    o.steady_model = m.steady;
    o.end_ramp = endRamp;
    start(o);
    pushSamples(u, F * 640 - 100);
    tq_utt_end_utterance(u);
    std::vector<Frame> seen;
    int idleAfter = 0;
    bool speechSeen = false;
    while (idleAfter < 3) {
      Frame f;
      ASSERT_TRUE(pullNext(u, f));
      if (f.info.kind != 0) speechSeen = true;
      if (speechSeen && f.info.kind == 0) ++idleAfter;
      seen.push_back(std::move(f));
    }
    std::size_t s = 0;
    while (seen[s].info.kind == 0) ++s;
    // Speech starts where the idle stream stopped (index 0 before any idle frame).
    const int first = s ? (int(seen[s - 1].info.driver_index) + 1) % kNT : 0;
    for (int k = 0; k < F; ++k) {
      const Frame& f = seen[s + k];
      ASSERT_EQ(f.info.kind, 1u) << k;
      EXPECT_EQ(f.info.frame, k);
      EXPECT_EQ(f.info.driver_index, uint32_t((first + k) % kNT));
    }
    for (int k = 0; k < endRamp; ++k) {
      const Frame& f = seen[s + F + k];
      ASSERT_EQ(f.info.kind, 2u) << k;
      EXPECT_EQ(f.info.frame, -1);
      EXPECT_EQ(f.info.driver_index, uint32_t((first + F + k) % kNT));
    }
    ASSERT_EQ(seen.size(), s + F + endRamp + 3);
    EXPECT_EQ(seen[s + F + endRamp].info.driver_index, uint32_t((first + F + endRamp) % kNT));
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].info.seq, uint64_t(i));
    tq_utt_stats st{};
    tq_utt_get_stats(u, &st);
    EXPECT_EQ(st.speech_frames_out, uint64_t(F));
    EXPECT_EQ(st.first_frames, 1u);
    EXPECT_GT(st.first_frame_ms, 0.0);
    EXPECT_GT(st.render_ms, 0.0);
    tq_utt_destroy(u);
    u = nullptr;

    // Pixels: the context's own render and paste of the same keypoints.
    const int tol = std::strcmp(m.steady, "-") == 0 ? 0 : 1;
    for (int k : {0, 1, F - 1}) {
      const Frame& f = seen[s + k];
      EXPECT_LE(maxDiff(f.px, reference(ctx, f.info.driver_index, drivingKp(f.info.driver_index, 1.0f, k))), tol)
          << "speech frame " << k;
    }
    const Frame& last = seen[s + F + endRamp - 1];
    EXPECT_EQ(maxDiff(last.px, reference(ctx, last.info.driver_index, drivingKp(last.info.driver_index, 0.0f, 0))), 0)
        << "the last ramp frame is the plain idle pose";
    // The session recovers the offset as (rest + delta) - rest, which may differ
    // from delta in its last bit: one level of one pixel is allowed.
    const Frame& ramp0 = seen[s + F];
    EXPECT_LE(maxDiff(ramp0.px, reference(ctx, ramp0.info.driver_index,
                                          [&] {
                                            // offset carried from the last speech frame, weight 1 - 1/R
                                            std::vector<float> r = drivingKp(ramp0.info.driver_index, 0.0f, 0);
                                            for (int c = 0; c < 63; ++c)
                                              r[c] += (1.0f - 1.0f / endRamp) * offset(F - 1, c);
                                            return r;
                                          }())),
              1);
  }
}

// Hybrid mode raises the engine's eager value to 24 when the backlog reaches 24
// frames and drops it back to 3 once the backlog is below 12.
TEST_F(Utt, HybridEagerFollowsTheBacklog) {
  tq_utt_opts o = opts();
  o.eager = -2;
  start(o);
  pushSamples(u, 40 * 640);
  while (tq_utt_frames_available(u) < 8) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Frame f;
  int speech = 0;
  while (speech < 40) {
    ASSERT_TRUE(pullNext(u, f));
    speech += f.info.kind == 1;
  }
  tq_utt_end_utterance(u);
  for (int k = 0; k < 6; ++k) ASSERT_TRUE(pullNext(u, f));
  EXPECT_EQ(f.info.kind, 2u);
  tq_utt_destroy(u);
  u = nullptr;
  EXPECT_EQ(script.eagerSet, (std::vector<int>{3, 24, 3}));
}

TEST_F(Utt, SilenceEndsAnUtteranceUnlessTheTimeoutIsNegative) {
  const int F = 6;
  for (double silence : {0.05, -1.0}) {
    SCOPED_TRACE(silence);
    start(opts(silence));
    pushSamples(u, F * 640);
    Frame f;
    int speech = 0;
    while (speech < F) {
      ASSERT_TRUE(pullNext(u, f));
      if (f.info.kind == 1) {
        EXPECT_EQ(f.info.frame, speech++);
      }
      ASSERT_NE(f.info.kind, 2u);
    }
    if (silence < 0) {
      // An observation window far past the 50 ms the other session needed.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_EQ(tq_utt_frames_available(u), 0);
      tq_utt_stats st{};
      tq_utt_get_stats(u, &st);
      EXPECT_EQ(st.state, 2u);
      tq_utt_end_utterance(u);
    }
    for (int k = 0; k < 6; ++k) {
      ASSERT_TRUE(pullNext(u, f));
      EXPECT_EQ(f.info.kind, 2u) << k;
    }
    ASSERT_TRUE(pullNext(u, f));
    EXPECT_EQ(f.info.kind, 0u);
    tq_utt_destroy(u);
    u = nullptr;
  }
}

// Pulls until `n` speech frames were taken; returns the last one.
Frame pullSpeech(tq_utt* u, int n, uint64_t* lastSeq) {
  Frame f;
  int got = 0;
  while (got < n) {
    EXPECT_TRUE(pullNext(u, f));
    if (::testing::Test::HasFailure()) break;
    if (*lastSeq != UINT64_MAX) {
      EXPECT_EQ(f.info.seq, *lastSeq + 1);
    }
    *lastSeq = f.info.seq;
    if (f.info.kind == 1) ++got;
  }
  return f;
}

TEST_F(Utt, InterruptDropsUnpulledFramesAndRampsFromTheLastPulledFace) {
  start(opts());
  pushSamples(u, 40 * 640);
  uint64_t seq = UINT64_MAX;
  const Frame last = pullSpeech(u, 3, &seq);
  ASSERT_EQ(last.info.kind, 1u);
  // Let the session run ahead, so the interrupt has something to discard.
  while (tq_utt_frames_available(u) < 8) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  tq_utt_interrupt(u);
  EXPECT_EQ(tq_utt_frames_available(u), 0);
  std::vector<Frame> after(6);
  for (Frame& f : after) ASSERT_TRUE(pullNext(u, f));
  EXPECT_GE(after[0].info.seq, seq + 1 + 8) << "the discarded frames leave a gap";
  for (std::size_t i = 1; i < after.size(); ++i) EXPECT_EQ(after[i].info.seq, after[i - 1].info.seq + 1);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(after[k].info.kind, 2u) << k;
    EXPECT_EQ(after[k].info.driver_index, (last.info.driver_index + 1 + k) % kNT);
  }
  EXPECT_EQ(after[4].info.kind, 0u);
  // A new utterance numbers its frames from 0 again.
  pushSamples(u, 3 * 640);
  tq_utt_end_utterance(u);
  Frame f;
  do ASSERT_TRUE(pullNext(u, f));
  while (f.info.kind != 1);
  EXPECT_EQ(f.info.frame, 0);
  tq_utt_destroy(u);
  u = nullptr;
  const int d = after[0].info.driver_index;
  std::vector<float> r = drivingKp(d, 0.0f, 0);
  for (int c = 0; c < 63; ++c) r[c] += 0.75f * offset(last.info.frame, c);
  EXPECT_EQ(maxDiff(after[0].px, reference(ctx, d, r)), 0) << "the ramp starts from the pulled face";
}

TEST_F(Utt, InterruptWithoutRampsContinuesAfterTheLastPulledFrame) {
  const std::string bare = *tmp / "motion-bare";
  tqtest::runCommand("mkdir -p " + bare);
  tq_utt_opts o = opts();
  o.motion_dir = bare.c_str();
  start(o);
  pushSamples(u, 40 * 640);
  uint64_t seq = UINT64_MAX;
  const Frame last = pullSpeech(u, 2, &seq);
  while (tq_utt_frames_available(u) < 8) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  tq_utt_interrupt(u);
  Frame f;
  ASSERT_TRUE(pullNext(u, f));
  EXPECT_EQ(f.info.kind, 0u);
  EXPECT_EQ(f.info.driver_index, (last.info.driver_index + 1) % kNT);
}

TEST_F(Utt, RefusalsGiveTheirTexts) {
  tq_utt_opts o{};
  struct Case {
    std::function<bool()> call;
    const char* text;
  } cases[] = {
      {[&] { return tq_utt_create(nullptr, &o) == nullptr; }, "tq_utt_create: NULL ctx/opts"},
      {[&] { return tq_utt_create(ctx, nullptr) == nullptr; }, "tq_utt_create: NULL ctx/opts"},
      {[&] { return tq_utt_create(ctx, &o) == nullptr; }, "tq_utt_create: opts.motion_dir required"},
      {[&] { return tq_utt_open(ctx, "") == nullptr; }, "tq_utt_create: opts.motion_dir required"},
      {[] { return tq_utt_push_audio(nullptr, nullptr, 1) == 0; }, "tq_utt_push_audio: bad args"},
      {[] { return tq_utt_pull_frame(nullptr, nullptr, 0, nullptr) == 0; }, "tq_utt_pull_frame: bad args"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(c.call()) << c.text;
    EXPECT_STREQ(tq_utt_last_error(), c.text);
  }
  EXPECT_EQ(tq_utt_ready(nullptr), -1);
  EXPECT_EQ(tq_utt_frames_available(nullptr), 0);
  EXPECT_EQ(tq_utt_render_status(nullptr, nullptr, 0, nullptr), 0);
  tq_utt_get_stats(nullptr, nullptr);
  tq_utt_end_utterance(nullptr);
  tq_utt_interrupt(nullptr);
  tq_utt_destroy(nullptr);

  start(opts());
  const int16_t pcm[4] = {};
  EXPECT_EQ(tq_utt_push_audio(u, pcm, -1), 0);
  EXPECT_STREQ(tq_utt_last_error(), "tq_utt_push_audio: bad args");
  EXPECT_EQ(tq_utt_push_audio(u, nullptr, 4), 0);
  EXPECT_EQ(tq_utt_push_audio(u, pcm, 0), 1);
  EXPECT_STREQ(tq_utt_last_error(), "");
  // A buffer one byte short keeps the frame for the next pull.
  while (tq_utt_frames_available(u) < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::vector<uint8_t> buf(kFrameBytes);
  tq_utt_frame_info info{};
  EXPECT_EQ(tq_utt_pull_frame(u, buf.data(), kFrameBytes - 1, &info), 0);
  EXPECT_STREQ(tq_utt_last_error(), "tq_utt_pull_frame: buffer too small");
  EXPECT_EQ(tq_utt_pull_frame(u, buf.data(), kFrameBytes, &info), 1);
  EXPECT_EQ(info.seq, 0u);
  uint64_t failures = 7;
  char text[8] = "x";
  EXPECT_EQ(tq_utt_render_status(u, text, sizeof text, &failures), 0);
  EXPECT_EQ(failures, 0u);
  EXPECT_STREQ(text, "");
}

TEST_F(Utt, EngineLoadFailuresReachReadyAndIdleFramesGoOn) {
  struct Case {
    int nt;
    const char* failText;
    const char* expect;
  } cases[] = {
      {kNT, "scripted: the model directory is empty", "scripted: the model directory is empty"},
      {5, nullptr,
       "the motion engine's rest keypoints (xs_target.bin) have 5 rows but the bundle has NT 3 driver frames "
       "\xe2\x80\x94 refusing to drive frames the bundle does not have"},
  };
  for (const Case& c : cases) {
    script.nt = c.nt;
    script.failText = c.failText;
    u = tq::utt::createSession(ctx, opts(), scripted(script));
    EXPECT_EQ(waitReady(u), -1);
    EXPECT_STREQ(tq_utt_last_error(), c.expect);
    pushSamples(u, 3200);
    Frame f;
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(pullNext(u, f));
      EXPECT_EQ(f.info.kind, 0u);
    }
    tq_utt_destroy(u);
    u = nullptr;
    EXPECT_EQ(script.live.load(), 0);
  }
}

TEST_F(Utt, DestroyJoinsFromEveryState) {
  // engine still loading
  script.createMs = 150;
  u = tq::utt::createSession(ctx, opts(), scripted(script));
  tq_utt_destroy(u);
  EXPECT_EQ(script.live.load(), 0);
  script.createMs = 0;
  // mid-utterance, host not pulling, ring full
  start(opts());
  pushSamples(u, 30 * 640);
  while (tq_utt_frames_available(u) < 8) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  tq_utt_destroy(u);
  u = nullptr;
  EXPECT_EQ(script.live.load(), 0);
}

TEST_F(Utt, StageReportSaysWhatItMeasured) {
  tqtest::ScopedEnv report("TQ_UTT_STAGE_REPORT", "1");
  for (const char* pipe : {"0", "1"}) {
    tqtest::ScopedEnv p("TQ_UTT_PIPELINE_PASTE", pipe);
    start(opts());
    pushSamples(u, 4 * 640);
    tq_utt_end_utterance(u);
    Frame f;
    int speech = 0;
    while (speech < 4) {
      ASSERT_TRUE(pullNext(u, f));
      speech += f.info.kind == 1;
    }
    testing::internal::CaptureStderr();
    tq_utt_destroy(u);
    u = nullptr;
    const std::string log = testing::internal::GetCapturedStderr();
    if (pipe[0] == '0') {
      EXPECT_NE(log.find("[tq_utt-stage] MEASURED NOTHING \xe2\x80\x94 the stage report was asked for and the "
                         "paste-job counter never advanced (pipe=0 jobsB=0 jobsC=0, 4 speech frames delivered)."),
                std::string::npos)
          << log;
    } else {
      EXPECT_TRUE(std::regex_search(
          log, std::regex("\\[tq_utt-stage\\] pipe=0 jobsB=0 jobsC=[1-9][0-9]* stageA_ms=[0-9.]+ "
                          "stageA_work_ms=-?[0-9.]+ stageA_wait_ms=[0-9.]+ stageB_ms=0.000 stageC_ms=[0-9.]+ "
                          "deliver_lat_ms=[0-9.]+ over 4 speech frames\n")))
          << log;
    }
  }
}

}  // namespace

namespace {

// A director that cannot render driver frame 2 (its warp-prior movie ends after
// frame 1): the speech frame fails, the utterance is abandoned and idle frames
// flow again instead of the same row being re-rendered for ever.
TEST(UttRenderFailure, AFatalRenderAbandonsTheUtteranceAndIdleFramesGoOn) {
  tqtest::TempDir t;
  const std::string dir = t / "bundle", motion = t / "motion";
  ASSERT_TRUE(tqtest::runFixtureTool({"identity-bundle", dir, "--nt", "3", "--crop", "32", "--W", "96", "--H", "64",
                                      "--translate", "--mask-value", "255", "--driver-movie", "--director", "b1",
                                      "--frames", "4", "--manifest-set", "{\"amount\": 0, \"P_hevc\": \"P_hevc.mov\"}", "--prior", "none",
                                      "--prior-movie"}));
  ASSERT_TRUE(tqtest::runFixtureTool({"movie", dir + "/P_hevc.mov", "--size", "32x32", "--frames", "2", "--codec",
                                      "libx265", "--pix-fmt", "yuv444p"}));
  tqtest::runCommand("mkdir -p " + motion);
  writeRest(motion + "/xs_target.bin", kNT);
  tq_ctx* ctx = tq_create(dir.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << tq_last_error();
  Script script;
  script.fixedIndex = 2;
  tq_utt_opts o{};
  o.motion_dir = motion.c_str();
  o.steady_model = "-";
  o.silence_end_s = -1;
  tq_utt* u = tq::utt::createSession(ctx, o, scripted(script));
  ASSERT_EQ(waitReady(u), 1);
  pushSamples(u, 10 * 640);
  tq_utt_end_utterance(u);
  Frame f;
  char text[512];
  uint64_t failures = 0;
  int pulls = 0;
  while (tq_utt_render_status(u, text, sizeof text, &failures) == 0 && pulls < 400) {
    ASSERT_TRUE(pullNext(u, f, 20.0));
    EXPECT_EQ(f.info.kind, 0u);
    ++pulls;
  }
  EXPECT_EQ(tq_utt_render_status(u, text, sizeof text, &failures), -1);
  EXPECT_GE(failures, 1u);
  const std::string msg = text;
  EXPECT_EQ(msg.rfind("ep=", 0), 0u) << msg;
  EXPECT_NE(msg.find(" render: "), std::string::npos) << msg;
  for (int i = 0; i < 2 * kNT; ++i) {
    ASSERT_TRUE(pullNext(u, f, 20.0)) << "idle frames must flow after the failure";
    EXPECT_EQ(f.info.kind, 0u);
  }
  tq_utt_destroy(u);
  tq_destroy(ctx);
}

}  // namespace

namespace {

// The caller's options, the context's thread count and the environment.
TEST(UttOptions, ResolveDefaultsOverridesAndEngineKind) {
  tqtest::TempDir t;
  const std::string plain = t / "plain", first = t / "first", second = t / "second";
  tqtest::runCommand("mkdir -p " + plain + " " + first + " " + second + " && touch " + first +
                     "/a2x_enc_stream.onnx " + second + "/audio_motion_encoder.onnx");
  tqtest::ScopedEnv e1("TQ_STEADY_MODEL", nullptr), e2("TQ_UTT_HYBRID", nullptr), e3("TQ_UTT_PIPELINE_PASTE", nullptr);
  tq_utt_opts o{};
  o.motion_dir = plain.c_str();
  tq::utt::Options r = tq::utt::resolveOptions(o, 5);
  EXPECT_EQ(r.threads, 5);
  EXPECT_EQ(r.steadyModel, "b24_fp32");
  EXPECT_EQ(r.eager, -1);
  EXPECT_FALSE(r.hybrid);
  EXPECT_EQ(r.silenceMs, 600.0);
  EXPECT_EQ(r.endRamp, 6);
  EXPECT_EQ(r.interruptRamp, 4);
  EXPECT_FALSE(r.a2x);
  EXPECT_FALSE(r.pipelinedPaste);

  struct Case {
    int eager;
    const char* hybridEnv;
    bool hybrid;
    int value;
  } eager[] = {{-2, nullptr, true, 3}, {0, "1", true, 3},   {-1, "yes", true, 3}, {0, "0", false, -1},
               {0, "", false, -1},     {5, "1", false, 5}, {1, nullptr, false, 1}};
  for (const Case& c : eager) {
    tqtest::ScopedEnv h("TQ_UTT_HYBRID", c.hybridEnv);
    o.eager = c.eager;
    r = tq::utt::resolveOptions(o, 5);
    EXPECT_EQ(r.hybrid, c.hybrid) << c.eager << " " << (c.hybridEnv ? c.hybridEnv : "unset");
    EXPECT_EQ(r.eager, c.value) << c.eager;
  }

  o.threads = 2;
  o.steady_model = "b4";
  o.silence_end_s = 1.5;
  o.end_ramp = 3;
  o.interrupt_ramp = 9;
  r = tq::utt::resolveOptions(o, 5);
  EXPECT_EQ(r.threads, 2);
  EXPECT_EQ(r.steadyModel, "b4");
  EXPECT_EQ(r.silenceMs, 1500.0);
  EXPECT_EQ(r.endRamp, 3);
  EXPECT_EQ(r.interruptRamp, 9);
  {
    tqtest::ScopedEnv s("TQ_STEADY_MODEL", "-");
    EXPECT_EQ(tq::utt::resolveOptions(o, 5).steadyModel, "-");
  }
  o.silence_end_s = -0.1;
  EXPECT_LT(tq::utt::resolveOptions(o, 5).silenceMs, 0.0);

  for (const std::string& d : {first, second}) {
    o.motion_dir = d.c_str();
    r = tq::utt::resolveOptions(o, 5);
    EXPECT_TRUE(r.a2x) << d;
    EXPECT_TRUE(r.pipelinedPaste) << d;
    tqtest::ScopedEnv p("TQ_UTT_PIPELINE_PASTE", "0");
    EXPECT_FALSE(tq::utt::resolveOptions(o, 5).pipelinedPaste);
  }
  o.motion_dir = plain.c_str();
  tqtest::ScopedEnv p("TQ_UTT_PIPELINE_PASTE", "1");
  EXPECT_TRUE(tq::utt::resolveOptions(o, 5).pipelinedPaste);
}

}  // namespace
