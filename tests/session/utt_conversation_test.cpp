// Conversations: sentences handed over back to back (whole, on the audio clock, while the last one's
// frames are unpulled, ended by silence, interrupted) come out as one utterance each, in order, with
// their ramps; engine failures return the stream to idle and the next sentence speaks; misuse of the
// session and the context is refused. With the scripted engine and with the real a2x and motion.
#include <atomic>
#include <future>

#include "utt_fixture.h"

namespace {

using namespace utttest;

enum class Pace { Whole, Clock, Overlap, Silence, Interrupt };
const char* name(Pace p) {
  const char* names[] = {"whole", "clock", "overlap", "silence", "interrupt"};
  return names[static_cast<int>(p)];
}

// Sentence i's audio: a tone of its own, so that a merged, split or repeated sentence shows.
std::vector<int16_t> sentencePcm(int i, int n) {
  std::vector<int16_t> pcm(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) pcm[k] = static_cast<int16_t>(2000 * (i + 1) * std::sin(0.01 * (i + 2) * k) + i);
  return pcm;
}

// What the host saw: each run of speech frames, the frame numbers in it, and the ramp frames after it.
struct Heard {
  std::vector<std::vector<int>> runs;
  std::vector<int> rampsAfter;
};

class Conversation : public UttBase {
 protected:
  static constexpr int kEndRamp = 3, kInterruptRamp = 4;

  tq_utt_opts convOpts(double silence) const {
    tq_utt_opts o = opts(silence, kEndRamp);
    o.interrupt_ramp = kInterruptRamp;
    return o;
  }

  // Plays the sentences at the given pace on a host thread while this thread pulls, until at least
  // `runs` speech runs were heard, the last one as long as the last sentence, and the stream is idle.
  Heard converse(tq_utt* s, const std::vector<int>& sentences, Pace pace, std::size_t runs) {
    const std::size_t lastLength = static_cast<std::size_t>((sentences.back() + 639) / 640);
    std::atomic<int> firsts{0};
    std::atomic<int> secondPulled{0};  // frames of the second sentence the host has seen
    std::atomic<bool> done{false};
    auto host = std::async(std::launch::async, [&] {
      for (int i = 0; i < static_cast<int>(sentences.size()); ++i) {
        const std::vector<int16_t> pcm = sentencePcm(i, sentences[i]);
        if (pace == Pace::Clock) {
          for (std::size_t at = 0; at < pcm.size(); at += 320) {
            tq_utt_push_audio(s, pcm.data() + at, static_cast<int>(std::min<std::size_t>(320, pcm.size() - at)));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        } else if (pace == Pace::Interrupt && i == 1) {
          // Half of the second sentence, an interrupt once the host has seen two of its frames,
          // then the rest is never said.
          tq_utt_push_audio(s, pcm.data(), static_cast<int>(pcm.size() / 2));
          while (!done && secondPulled < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          tq_utt_interrupt(s);
          continue;
        } else {
          tq_utt_push_audio(s, pcm.data(), static_cast<int>(pcm.size()));
        }
        if (pace != Pace::Silence) tq_utt_end_utterance(s);
        if (pace == Pace::Silence) std::this_thread::sleep_for(std::chrono::milliseconds(250));
        // The next sentence while this one's frames are still being shown.
        if (pace == Pace::Overlap)
          while (!done && firsts < i + 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    Heard h;
    Frame f;
    bool idleAfterLast = false;
    // Idle frames flow while the host waits between sentences: the bound is a time, not a count.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!idleAfterLast) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "still not heard after 60 s: " << h.runs.size() << " runs";
        break;
      }
      if (!pullNext(s, f, 60.0)) {
        ADD_FAILURE() << "no frame; heard " << h.runs.size() << " runs";
        break;
      }
      if (pace == Pace::Overlap) std::this_thread::sleep_for(std::chrono::milliseconds(3));
      const tq_utt_frame_info& i = f.info;
      if (i.kind == 1) {
        if (i.frame == 0) h.runs.emplace_back(), h.rampsAfter.push_back(0), ++firsts;
        if (h.runs.empty()) {
          ADD_FAILURE() << "speech frame " << i.frame << " before any frame 0";
          break;
        }
        h.runs.back().push_back(i.frame);
        if (h.runs.size() == 2) ++secondPulled;
      } else if (i.kind == 2 && !h.runs.empty()) {
        ++h.rampsAfter.back();
      } else if (i.kind == 0) {
        idleAfterLast = h.runs.size() >= runs && h.runs.back().size() == lastLength;
      }
    }
    done = true;
    host.get();
    return h;
  }

  // Every sentence in full: frames 0..F-1 then its end ramp; the engine got exactly its samples.
  void expectSpoken(const Heard& h, const std::vector<int>& sentences, bool scriptedEngine) {
    ASSERT_EQ(h.runs.size(), sentences.size());
    for (std::size_t i = 0; i < sentences.size(); ++i) {
      const int F = (sentences[i] + 639) / 640;
      std::vector<int> want(static_cast<std::size_t>(F));
      for (int k = 0; k < F; ++k) want[k] = k;
      EXPECT_EQ(h.runs[i], want) << "sentence " << i;
      EXPECT_EQ(h.rampsAfter[i], kEndRamp) << "sentence " << i;
      if (!scriptedEngine) continue;
      std::lock_guard<std::mutex> lk(script.m);
      ASSERT_GT(script.received.size(), i);
      const std::vector<int16_t> pcm = sentencePcm(static_cast<int>(i), sentences[i]);
      std::vector<float> want32(pcm.size());
      for (std::size_t k = 0; k < pcm.size(); ++k) want32[k] = pcm[k] * 3.0517578e-5f;
      EXPECT_TRUE(script.received[i] == want32) << "sentence " << i << ": the engine got " << script.received[i].size()
                                                << " samples of " << want32.size();
    }
  }
};

// Sentence lengths in samples: one frame, a partial frame, a couple of seconds.
const std::vector<std::vector<int>> kTable = {{640, 9000}, {300, 12800, 2000}, {6400, 700, 32000, 1280}};

TEST_F(Conversation, EverySentenceIsOneUtteranceInOrderWithBothPushAfterFinishBehaviours) {
  for (bool refuse : {false, true}) {
    for (Pace pace : {Pace::Whole, Pace::Clock, Pace::Overlap, Pace::Silence}) {
      for (const std::vector<int>& sentences : kTable) {
        if (pace == Pace::Clock && sentences.size() > 2) continue;  // keeps the real-time cases short
        SCOPED_TRACE(std::string(name(pace)) + (refuse ? " refusing" : " appending") + " " +
                     std::to_string(sentences.size()) + " sentences");
        script.refuseAfterFinish = refuse;
        script.received.clear();
        start(convOpts(pace == Pace::Silence ? 0.1 : -1.0));
        const Heard h = converse(u, sentences, pace, sentences.size());
        expectSpoken(h, sentences, true);
        tq_utt_counts c{};
        tq_utt_get_counts(u, &c);
        const uint64_t n = sentences.size();
        EXPECT_EQ(std::make_tuple(c.samples_dropped, c.utterances_started, c.utterances_finished),
                  std::make_tuple(uint64_t(0), n, n));
        stop();
        EXPECT_EQ(script.misuse, 0) << "no push after finish";
      }
    }
  }
}

// A pause of the silence timeout between two pushes ends the first sentence even when the render
// loop spends the whole pause waiting for a slow engine: two utterances, never one.
TEST_F(Conversation, APauseEndsTheSentenceWhileTheLoopIsBusy) {
  script.availMs = 400;
  start(convOpts(0.1));
  const std::vector<int16_t> one = sentencePcm(0, 3200), two = sentencePcm(1, 1920);
  tq_utt_push_audio(u, one.data(), static_cast<int>(one.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  tq_utt_push_audio(u, two.data(), static_cast<int>(two.size()));
  std::vector<std::vector<int>> runs;
  Frame f;
  // Idle frames flow meanwhile: the bound is a time (8 frames of 400 ms engine calls and more).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!(runs.size() == 2 && runs.back().size() == 3) && std::chrono::steady_clock::now() < deadline &&
         pullNext(u, f, 20.0))
    if (f.info.kind == 1) {
      if (f.info.frame == 0) runs.emplace_back();
      if (!runs.empty()) runs.back().push_back(f.info.frame);
    }
  EXPECT_EQ(runs, (std::vector<std::vector<int>>{{0, 1, 2, 3, 4}, {0, 1, 2}}));
}

TEST_F(Conversation, AnInterruptCutsTheSecondSentenceAndTheThirdSpeaksInFull) {
  const std::vector<int> sentences = {3200, 16000, 2600};
  start(convOpts(-1.0));
  const Heard h = converse(u, sentences, Pace::Interrupt, 3);
  ASSERT_EQ(h.runs.size(), 3u);
  EXPECT_EQ(h.runs[0], (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(h.rampsAfter[0], kEndRamp);
  ASSERT_GE(h.runs[1].size(), 2u);
  for (std::size_t k = 0; k < h.runs[1].size(); ++k) EXPECT_EQ(h.runs[1][k], int(k));
  EXPECT_EQ(h.rampsAfter[1], kInterruptRamp);
  EXPECT_EQ(h.runs[2], (std::vector<int>{0, 1, 2, 3, 4}));
  tq_utt_counts c{};
  tq_utt_get_counts(u, &c);
  EXPECT_EQ(std::make_tuple(c.utterances_started, c.utterances_finished, c.utterances_interrupted),
            std::make_tuple(uint64_t(3), uint64_t(2), uint64_t(1)));
  stop();
  std::lock_guard<std::mutex> lk(script.m);
  ASSERT_EQ(script.received.size(), 3u);
  EXPECT_EQ(script.received[2].size(), 2600u) << "the sentence after the interrupt lost nothing";
}

// The engine fails in the middle of the second of three sentences: the failure reaches the render
// status under "motion" with the engine's text, the stream ramps back to idle, the rest of that
// sentence is dropped, the third speaks, and the fatal state clears once it has.
TEST_F(Conversation, AnEngineFailureSurfacesAndTheNextSentenceSpeaks) {
  script.failUtterance = 1, script.failAfter = 4, script.failText = "scripted: trunk pos out of range";
  start(convOpts(-1.0));
  const std::vector<int> sentences = {1280, 12800, 1900};
  // Frames the engine made before it failed may or may not have been rendered when the failure came.
  const Heard h = converse(u, sentences, Pace::Whole, 2);
  ASSERT_TRUE(h.runs.size() == 2 || h.runs.size() == 3) << h.runs.size();
  EXPECT_EQ(h.runs.front(), (std::vector<int>{0, 1}));
  if (h.runs.size() == 3) {
    ASSERT_LE(h.runs[1].size(), 4u);
    for (std::size_t k = 0; k < h.runs[1].size(); ++k) EXPECT_EQ(h.runs[1][k], int(k));
    EXPECT_EQ(h.rampsAfter[1], kEndRamp) << "back to idle through a ramp";
  }
  EXPECT_EQ(h.runs.back(), (std::vector<int>{0, 1, 2}));
  char text[256];
  uint64_t failures = 0;
  EXPECT_EQ(tq_utt_render_status(u, text, sizeof text, &failures), 0) << "the third sentence cleared the fatal state";
  EXPECT_EQ(failures, 1u);
  EXPECT_TRUE(std::string(text).size() > 8 && std::string(text).substr(std::string(text).find(' ')) ==
                                                  " motion: scripted: trunk pos out of range")
      << text;
  tq_utt_counts c{};
  tq_utt_get_counts(u, &c);
  EXPECT_EQ(std::make_tuple(c.utterances_started, c.utterances_finished, c.utterances_failed),
            std::make_tuple(uint64_t(3), uint64_t(2), uint64_t(1)));
}

// While the failed utterance is still open, the render status says so and nothing polls for ever.
TEST_F(Conversation, AFailedOpenUtteranceReportsAndIdles) {
  script.failUtterance = 0, script.failAfter = 0, script.failText = "scripted: broken";
  start(convOpts(-1.0));
  pushSamples(u, 6400);
  char text[256] = "";
  for (int i = 0; i < 20000 && tq_utt_render_status(u, text, sizeof text, nullptr) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(tq_utt_render_status(u, text, sizeof text, nullptr), -1);
  EXPECT_NE(std::string(text).find(" motion: scripted: broken"), std::string::npos) << text;
  for (const Frame& f : pullUntil(u, 0, 6)) EXPECT_EQ(f.info.kind, 0u);
  pushSamples(u, 640);  // more of the abandoned sentence: dropped
  tq_utt_end_utterance(u);
  for (int i = 0; i < 2000; ++i) {
    tq_utt_counts c{};
    tq_utt_get_counts(u, &c);
    if (c.samples_dropped > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  tq_utt_counts c{};
  tq_utt_get_counts(u, &c);
  EXPECT_EQ(std::make_tuple(c.samples_dropped, c.utterances_failed), std::make_tuple(uint64_t(640), uint64_t(1)));
}

// Misuse of the session and its context: refused with its text, or made safe.
TEST_F(Conversation, MisuseIsRefusedOrMadeSafe) {
  start(convOpts(-1.0));
  tq_utt_opts o = convOpts(-1.0);
  EXPECT_EQ(tq_utt_create(ctx, &o), nullptr);
  EXPECT_STREQ(tq_utt_last_error(),
               "tq_utt_create: this context already has a live session; tq_utt_destroy it first (two sessions would "
               "share one director, compositor and driver cursor between two render threads)");
  // A push of 0 samples before any audio does not start the latency clock of the next utterance.
  const int16_t none[1] = {};
  EXPECT_EQ(tq_utt_push_audio(u, none, 0), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pushSamples(u, 1280);
  tq_utt_end_utterance(u);
  pullUntil(u, 1, 2);
  EXPECT_LT(statsOf(u).first_frame_ms, 300.0);
  // The context destroyed under a live session stays until the session ends; the session goes on.
  testing::internal::CaptureStderr();
  tq_destroy(ctx);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[tq] tq_destroy: a tq_utt session is still alive on this context; the context is released when "
            "tq_utt_destroy ends it\n");
  EXPECT_EQ(tq_utt_create(ctx, &o), nullptr);
  EXPECT_STREQ(tq_utt_last_error(), "tq_utt_create: the context was destroyed (tq_destroy)");
  pushSamples(u, 1280);
  tq_utt_end_utterance(u);
  EXPECT_EQ(pullUntil(u, 1, 2).back().info.frame, 1);
  stop();  // releases the context
  ctx = nullptr;
}

// The real engines: the same conversation, and the a2x failing on every extend.
class ConversationReal : public Conversation {
 protected:
  static void SetUpTestSuite() {
    Conversation::SetUpTestSuite();
    a2xDir = *tmp / "a2x", w2vDir = *tmp / "w2v", motionDir = *tmp / "motion-real";
    ASSERT_TRUE(tqtest::runFixtureTool({"a2x", "--out", a2xDir, "--w2v-dir", w2vDir, "--nt", "3", "--short"}));
    ASSERT_TRUE(tqtest::runFixtureTool({"motion", motionDir, "--nt", "3"}));
  }
  void startReal(const std::string& dir, double silence = -1.0) {
    tq_utt_opts o = convOpts(silence);
    o.motion_dir = dir.c_str();
    tqtest::ScopedEnv w2v("W2V_ONNX", (w2vDir + "/w2v8.onnx").c_str());
    u = tq_utt_create(ctx, &o);
    ASSERT_NE(u, nullptr) << tq_utt_last_error();
    ASSERT_EQ(waitReady(u), 1) << tq_utt_last_error();
  }
  static inline std::string a2xDir, w2vDir, motionDir;
};

TEST_F(ConversationReal, BothEnginesSpeakEverySentence) {
  const std::vector<int> sentences = {6000, 640, 9000};
  for (const std::string* dir : {&a2xDir, &motionDir}) {
    for (Pace pace : {Pace::Whole, Pace::Overlap}) {
      SCOPED_TRACE(*dir + " " + name(pace));
      startReal(*dir);
      expectSpoken(converse(u, sentences, pace, sentences.size()), sentences, false);
      // The last sentence's first frame: engine work and a render happened on its way, and the
      // measured parts (disjoint intervals) leave a non-negative rest for the hand-offs.
      tq_utt_latency l{};
      tq_utt_get_latency(u, &l);
      EXPECT_EQ(l.utterance, statsOf(u).first_frames);
      EXPECT_EQ(l.total_ms, statsOf(u).first_frame_ms);
      EXPECT_GT(l.frontend_ms + l.encoder_ms + l.decoder_ms, 0.0);
      EXPECT_GT(l.render_ms, 0.0);
      EXPECT_GT(l.paste_ms, 0.0);
      EXPECT_GE(l.handoff_ms, -0.01);
      uint64_t failures = 9;
      EXPECT_EQ(tq_utt_render_status(u, nullptr, 0, &failures), 0);
      EXPECT_EQ(failures, 0u);
      stop();
    }
  }
}

TEST_F(ConversationReal, AnA2xRightContextItCannotServeIsRefusedAtLoad) {
  tqtest::ScopedEnv right("TQ_A2X_W2V_RIGHT", "50");
  tq_utt_opts o = convOpts(-1.0);
  o.motion_dir = a2xDir.c_str();
  tqtest::ScopedEnv w2v("W2V_ONNX", (w2vDir + "/w2v8.onnx").c_str());
  u = tq_utt_create(ctx, &o);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(waitReady(u), -1);
  EXPECT_STREQ(tq_utt_last_error(),
               "tq_a2x_create: TQ_A2X_W2V_RIGHT=50 is more right context than the short-window w2v frontend can "
               "serve (at most 42 frames: its 2 s trunk window would start after the first frame of a block)");
}

}  // namespace
