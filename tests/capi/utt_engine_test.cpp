// The session with the real a2x engine, through the exported functions only: the a2x directory picks
// the streaming engine and pipelined paste (as the stage report says); speech frames are exactly
// what the engine itself yields for the same audio, rendered and pasted as the context does.
#include <regex>

#include "capi_fixture.h"
#include "tq/tq_a2x.h"

namespace {

using namespace capitest;

class UttEngines : public CtxBase {};

TEST_F(UttEngines, A2xSpeechIsTheEnginesOwnKeypointsRenderedAndPasted) {
  const std::string motion = *tmp / "a2x", w2v = *tmp / "w2v";
  ASSERT_TRUE(tqtest::runFixtureTool({"a2x", "--out", motion, "--w2v-dir", w2v, "--nt", "3", "--short"}));
  tqtest::ScopedEnv w2vEnv("W2V_ONNX", (w2v + "/w2v8.onnx").c_str()), report("TQ_UTT_STAGE_REPORT", "1"),
      pipe("TQ_UTT_PIPELINE_PASTE", nullptr);
  std::vector<int16_t> pcm(16000 + 321);
  for (std::size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<int16_t>(6000 * std::sin(0.031 * i) * std::sin(0.0007 * i) + 900 * std::sin(0.41 * i));
  const int F = (int(pcm.size()) + 639) / 640;
  // The audio in 100 ms pieces, then the end of the utterance; pulled through the speech and its
  // ramp to the first idle frame after them.
  tq_utt* u = tq_utt_open(ctx, motion.c_str());
  ASSERT_TRUE(u && waitReady(u) == 1) << tq_utt_last_error();
  for (std::size_t at = 0; at < pcm.size(); at += 1600)
    EXPECT_EQ(tq_utt_push_audio(u, pcm.data() + at, int(std::min<std::size_t>(1600, pcm.size() - at))), 1);
  tq_utt_end_utterance(u);
  std::vector<Frame> seen;
  for (bool spoke = false; seen.empty() || !spoke || seen.back().info.kind != 0;) {
    seen.emplace_back();
    ASSERT_TRUE(pullNext(u, seen.back()));
    spoke = spoke || seen.back().info.kind != 0;
  }
  testing::internal::CaptureStderr();
  tq_utt_destroy(u);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_search(log, std::regex("\\[tq_utt-stage\\] pipe=0 jobsB=0 jobsC=[1-9][0-9]* stageA_ms=[0-9.]+ "
                                                "stageA_work_ms=-?[0-9.]+ stageA_wait_ms=[0-9.]+ stageB_ms=0.000 "
                                                "stageC_ms=[0-9.]+ deliver_lat_ms=[0-9.]+ over " +
                                                std::to_string(F) + " speech frames\n")))
      << log;
  std::size_t s = 0;
  while (s < seen.size() && seen[s].info.kind == 0) ++s;
  ASSERT_EQ(seen.size(), s + F + 6 + 1);
  const int start = s ? (int(seen[s - 1].info.driver_index) + 1) % kNT : 0;
  // The engine on its own, same start, same samples (the short-window audio frontend makes its
  // features independent of how the audio arrived).
  tq_a2x* e = tq_a2x_create(motion.c_str(), 1);
  ASSERT_NE(e, nullptr) << tq_a2x_last_error();
  tq_a2x_reset(e, start, 1, 1);
  std::vector<float> f32(pcm.size());
  for (std::size_t i = 0; i < pcm.size(); ++i) f32[i] = pcm[i] * 3.0517578e-5f;
  tq_a2x_push(e, f32.data(), int(f32.size()));
  tq_a2x_finish(e);
  std::vector<int> idx(F);
  std::vector<float> src(std::size_t(F) * 63), drv(std::size_t(F) * 63);
  int got = 0;
  while (got < F && tq_a2x_avail(e) > 0)
    got += tq_a2x_pull(e, idx.data() + got, src.data() + got * 63, drv.data() + got * 63, F - got);
  tq_a2x_destroy(e);
  ASSERT_EQ(got, F);
  for (int k = 0; k < F + 6; ++k) {
    const Frame& p = seen[s + k];
    ASSERT_EQ(p.info.kind, k < F ? 1u : 2u) << k;
    if (k >= F) continue;
    ASSERT_EQ(std::make_pair(p.info.frame, int(p.info.driver_index)), std::make_pair(k, idx[k])) << k;
    EXPECT_TRUE(p.px == renderPaste(ctx, idx[k], &src[k * 63], &drv[k * 63])) << "speech frame " << k;
  }
}

}  // namespace
