// Host threads drive sessions with random pushes, pulls, ends and interrupts, then destroy them in any
// state; every pulled frame is checked. The offline stream's render/paste overlap with stand-in stages.
#include <cstdlib>
#include <future>
#include <random>

#include "session/tq_stream_pipeline.h"
#include "utt_fixture.h"

namespace {

using namespace utttest;

// Sessions per paste mode; sanitized builds render slower: fewer, longer ones still reach speech and ramps.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kSessions = 20, kOpsScale = 4;
#else
constexpr int kSessions = 120, kOpsScale = 1;
#endif

std::atomic<uint64_t> gSpeech{0}, gRamp{0};

// The puller's view of the stream.
struct Checker {
  bool have = false;
  tq_utt_frame_info prev{};
  uint64_t pulled = 0, speech = 0;

  void check(const tq_utt_frame_info& f) {
    ASSERT_TRUE(f.kind <= 2 && f.driver_index < uint32_t(kNT) && (f.kind == 1 ? f.frame >= 0 : f.frame == -1))
        << f.kind << " " << f.driver_index << " " << f.frame;
    ASSERT_TRUE(!have || f.seq > prev.seq);
    // A speech frame after the first follows its predecessor directly: nothing rendered before an
    // interrupt may surface after it.
    if (f.kind == 1 && f.frame > 0) {
      ASSERT_TRUE(have && prev.kind == 1) << "speech frame " << f.frame << " after kind " << prev.kind;
      ASSERT_EQ(std::make_tuple(f.frame, f.seq, f.driver_index),
                std::make_tuple(prev.frame + 1, prev.seq + 1, (prev.driver_index + 1) % kNT));
    }
    const bool rampStep = f.kind == 2 && have && prev.kind == 2 && f.seq == prev.seq + 1;
    ASSERT_TRUE(!rampStep || f.driver_index == (prev.driver_index + 1) % kNT);
    prev = f, have = true, ++pulled, speech += f.kind == 1, gRamp += f.kind == 2;
  }
};

// From whatever state the random sequence left: speak once more and pull through the utterance's
// ramp back to idle, so every run sees ramps.
void settle(tq_utt* u, Checker& chk) {
  ASSERT_EQ(waitReady(u), 1);
  for (int attempt = 0; attempt < 5; ++attempt) {
    pushSamples(u, 3 * 640);
    tq_utt_end_utterance(u);
    for (int idle = 0, ramp = 0; idle < 30; idle += chk.prev.kind == 0) {
      Frame f;
      ASSERT_TRUE(pullNext(u, f, 60.0));
      chk.check(f.info);
      if (f.info.kind == 0 && ramp) return;
      ramp |= f.info.kind == 2;
    }
  }
  ADD_FAILURE() << "no ramp back to idle after five utterances";
}

void runSession(tq_ctx* ctx, const std::string& motion, unsigned seed) {
  std::mt19937 rng(seed);
  Script script;
  script.createMs = rng() % 4 == 0 ? 3 : 0;
  tq_utt_opts o{};
  o.motion_dir = motion.c_str(), o.steady_model = "-", o.eager = rng() % 2 ? -2 : 0;
  o.silence_end_s = (rng() % 3 == 0) ? -1.0 : 0.01 * (1 + rng() % 5);
  o.end_ramp = 1 + rng() % 6, o.interrupt_ramp = 1 + rng() % 4;
  tq_utt* u = tq::utt::createSession(ctx, o, scripted(script));
  ASSERT_NE(u, nullptr);
  if (rng() % 8 == 0) return tq_utt_destroy(u);  // destroyed while the engine may still load
  const int ops = kOpsScale * (20 + rng() % 60);
  Checker chk;
  std::thread pusher([&, r = std::mt19937(seed + 1)]() mutable {
    std::vector<int16_t> pcm(4000, 100);
    for (int i = 0; i < ops; ++i) {
      const int what = r() % 10;
      if (what < 6) tq_utt_push_audio(u, pcm.data(), int(r() % (4000 / kOpsScale)));
      else if (what < 8) tq_utt_end_utterance(u);
      std::this_thread::sleep_for(std::chrono::microseconds(r() % 400));
    }
  });
  std::thread interrupter([&, r = std::mt19937(seed + 2)]() mutable {
    for (int i = 0; i < ops / 4; ++i) {
      if (r() % 3 == 0) tq_utt_interrupt(u);
      EXPECT_TRUE(statsOf(u).state <= 3 && tq_utt_frames_available(u) <= 8);
      EXPECT_EQ(tq_utt_render_status(u, nullptr, 0, nullptr), 0);
      std::this_thread::sleep_for(std::chrono::microseconds(r() % 1500));
    }
  });
  std::thread puller([&, r = std::mt19937(seed + 3)]() mutable {
    std::vector<uint8_t> buf(kFrameBytes);
    for (int i = 0; i < ops * 2 && !::testing::Test::HasFatalFailure(); ++i) {
      tq_utt_frame_info f;
      if (r() % 4 != 0 && tq_utt_pull_frame(u, buf.data(), buf.size(), &f) == 1) chk.check(f);
      std::this_thread::sleep_for(std::chrono::microseconds(r() % 300));
    }
  });
  pusher.join(), interrupter.join(), puller.join();
  if ((seed / 1000) % 4 == 3 && !::testing::Test::HasFatalFailure()) settle(u, chk);
  const tq_utt_stats st = statsOf(u);
  EXPECT_EQ(std::make_pair(st.frames_out, st.speech_frames_out), std::make_pair(chk.pulled, chk.speech));
  gSpeech += chk.speech;
  tq_utt_destroy(u);
  EXPECT_EQ(script.live.load(), 0);
}

// A deadlock shows as the test's timeout.
TEST(UttStress, RandomHostSequencesNeverDeadlockAndEveryPulledFrameIsConsistent) {
  tqtest::TempDir tmp;
  const std::string dir = writeBundle(tmp), motion = writeMotion(tmp / "motion");
  writeStills(dir);
  tq_ctx* ctx = tq_create(dir.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << tq_last_error();
  for (const char* pipe : {"0", "1"}) {
    tqtest::ScopedEnv p("TQ_UTT_PIPELINE_PASTE", pipe);
    for (int i = 0; i < kSessions && !::testing::Test::HasFatalFailure(); ++i) runSession(ctx, motion, 1000u * i + 7);
  }
  EXPECT_TRUE(gSpeech > 0 && gRamp > 0) << gSpeech << " speech, " << gRamp << " ramp frames";
  tq_destroy(ctx);
}

// A slow sink bounds rendering to the ring; a failure on either side, also with a full ring, stops
// after the frames before it (each with its own crop); the same pipeline then runs cleanly again.
using Pipeline = tq::RenderPastePipeline;

TEST(RenderPastePipeline, RingBoundFailuresAndReuse) {
  const struct { int64_t failRender, failPaste, count, delivered; } cases[] = {
      {-1, -1, 40, 40}, {7, -1, 40, 7}, {0, -1, 40, 0}, {-1, 3, 40, 3},
      {-1, 0, 40, 0},   {-1, 39, 45, 39}, {-1, -1, 12, 12}};
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
