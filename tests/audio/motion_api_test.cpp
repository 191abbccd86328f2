// The exported functions: refusals with their full texts, frame counts and hold-back, driver walks.
#include <functional>

#include "motion_test_util.h"

using namespace motiontest;

namespace {

std::string createError(const std::string& dir, const char* ep = nullptr) {
  tq_motion* h = tq_motion_create(dir.c_str(), 1, ep);
  tq_motion_destroy(h);
  return h ? "(created)" : tq_motion_last_error();
}

TEST(MotionApi, CreateRefusals) {
  const struct {
    std::string name;
    std::vector<std::string> options;
    std::string expect;  // after "tq_motion_create: "; "DIR" stands for the directory
  } cases[] = {
      {"no_bridge", {"--meta-text", R"({"nt": 4, "n_src": 4, "n_emo": 3})"}, "meta.json: missing s_bridge"},
      {"no_colon", {"--meta-text", R"({"nt" 4, "n_src": 4, "n_emo": 3, "s_bridge": 1})"}, "meta.json: bad nt"},
      {"zero_emo", {"--meta-text", R"({"nt": 4, "n_src": 4, "n_emo": 0, "s_bridge": 1})"}, "meta.json: bad n_emo"},
      {"src_ne_nt", {"--meta-text", R"({"nt": 4, "n_src": 3, "n_emo": 3, "s_bridge": 1})"},
       "tq_motion: n_src != nt unsupported"},
      {"no_meta", {"--omit", "meta.json"}, "cannot open DIR/meta.json"},
      {"emo_count", {"--count", "emo.bin=5"}, "DIR/emo.bin: 5 floats, expected 24"},
      {"binmat_count", {"--count", "hubert_stft_binmat.bin=20561"},
       "DIR/hubert_stft_binmat.bin: 20561 floats, expected 20560"},
      {"src_count", {"--count", "src_xs_info.bin=984"}, "DIR/src_xs_info.bin: 984 floats, expected 1312"},
      {"no_target", {"--omit", "xs_target.bin"}, "cannot open DIR/xs_target.bin"},
      {"zero_scale", {"--zero-src-scale"},
       "tq_motion: expression gain 1.600000 / 0.000000 (ch_xs_info.bin scale / src_xs_info.bin row 0 scale) is "
       "not finite"},
      {"no_delta", {"--no-delta-pitch"}, ""},  // optional member
  };
  for (const auto& c : cases) {
    const std::string dir = variant(c.name, c.options);
    std::string want = c.expect.empty() ? "(created)" : "tq_motion_create: " + c.expect;
    if (want.find("DIR") != std::string::npos) want.replace(want.find("DIR"), 3, dir);
    EXPECT_EQ(createError(dir), want) << c.name;
  }
  const std::string second = variant("second_layout", {});  // the alternative name of the rest keypoints
  ASSERT_EQ(std::rename((second + "/xs_target.bin").c_str(), (second + "/target_keypoints.bin").c_str()), 0);
  EXPECT_EQ(createError(second), "(created)");
  EXPECT_EQ(tq_motion_create(nullptr, 1, nullptr), nullptr);
  EXPECT_STREQ(tq_motion_last_error(), "tq_motion_create: NULL motion_dir");
  EXPECT_EQ(createError(files().dir, "cuda"), "tq_motion_create: tq_motion: unknown ep 'cuda'");
}

// Graphs exported with symbolic or undeclared shapes are bound with the shapes the engine hands over
// and make the same frames. (Fixed dimensions that contradict the engine's buffers meet ONNX Runtime's
// own shape inference first, which refuses the graph at load.)
TEST(MotionApi, SymbolicAndUndeclaredShapesAreBound) {
  const std::vector<float> audio(files().speech.begin(), files().speech.begin() + 3 * 16000);
  const Frames want = stream(open(files().dir).get(), audio, {3200});
  const struct {
    std::string name;
    std::vector<std::string> declare;
  } cases[] = {
      {"mel_T", {"mel=1,80,T"}},
      {"mel_none", {"mel=none"}},
      {"two_symbols", {"mel=B,80,T", "feat=B,T,1024"}},
      {"stitch", {"kp_source=1,N", "kp_driving=none", "kp=1,K,3"}},
      {"lmdm", {"cond=T,1103", "motion=none"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> options;
    for (const std::string& d : c.declare) options.insert(options.end(), {"--declare", d});
    const std::string dir = variant(c.name, options);
    MotionPtr h = open(dir);
    ASSERT_TRUE(h);
    const Frames got = stream(h.get(), audio, {3200});
    EXPECT_TRUE(got.idx == want.idx && got.src == want.src && got.drv == want.drv);
  }
}

TEST(MotionApi, CallRefusals) {
  MotionPtr h = open(files().dir);
  ASSERT_TRUE(h);
  const float x[4] = {};
  int idx[1];
  float kp[63];
  tq_motion_finish(nullptr);
  tq_motion_reset(nullptr, 0, 1, 0);
  tq_motion_set_eager(nullptr, 1);
  EXPECT_EQ(tq_motion_push(h.get(), x, 0), 1);
  const std::string push = "tq_motion_push: bad args / already finished", pull = "tq_motion_pull: bad args";
  const std::function<int()> calls[] = {[&] { return tq_motion_push(nullptr, x, 4); },
                                        [&] { return tq_motion_push(h.get(), nullptr, 4); },
                                        [&] { return tq_motion_push(h.get(), x, -1); },
                                        [&] { return tq_motion_pull(h.get(), nullptr, kp, kp, 1); },
                                        [&] { return tq_motion_pull(nullptr, idx, kp, kp, 1); },
                                        [&] { return tq_motion_finish(h.get()), tq_motion_push(h.get(), x, 4); }};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(calls[i](), 0) << i;
    EXPECT_EQ(tq_motion_last_error(), i == 3 || i == 4 ? pull : push) << i;
  }
  EXPECT_EQ(tq_motion_avail(nullptr) + tq_motion_nt(nullptr), 0);
  EXPECT_EQ(tq_motion_total(nullptr), -1);
  EXPECT_EQ(tq_motion_nt(h.get()), 4);
}

TEST(MotionApi, FrameCountsAndHoldBack) {
  MotionPtr h = open(files().dir);
  ASSERT_TRUE(h);
  const auto& x = files().speech;
  for (int n : {0, 641}) {  // the whole-utterance count is in every stream test
    tq_motion_reset(h.get(), 0, 1, 0);
    tq_motion_push(h.get(), x.data(), n);
    EXPECT_EQ(tq_motion_total(h.get()), -1);
    tq_motion_finish(h.get());
    EXPECT_EQ(tq_motion_total(h.get()), n ? 2 : 0) << n;
  }
  // Open stream: the first chunk needs 80 conditioning rows, which need the block at frame 75 and
  // its 4480 samples of look-ahead; then all but the last 11 frames of the chunk are ready, the rest
  // waits for the next chunk's cross-fade.
  tq_motion_reset(h.get(), 0, 1, 0);
  const int pushes[][2] = {{640 * 75 + 4479, 0}, {1, 69}, {640 * 70 - 1, 69}, {1, 139}};
  int at = 0;
  for (const auto& p : pushes) {
    tq_motion_push(h.get(), x.data() + at, p[0]);
    at += p[0];
    EXPECT_EQ(tq_motion_avail(h.get()), p[1]) << at;
  }
}

TEST(MotionApi, DriverIndexWalks) {
  const struct {
    int nt, start, dir, wrap;
    std::vector<int> expect;
  } cases[] = {
      {4, 0, -1, 1, {0, 3, 2, 1, 0, 3, 2, 1}}, {4, 0, -1, 0, {0, 1, 2, 3, 2, 1, 0, 1}},
      {4, 2, -7, 0, {2, 1, 0, 1, 2, 3, 2, 1}}, {4, -5, 1, 1, {0, 1, 2, 3, 0, 1, 2, 3}},
      {4, 99, 1, 0, {3, 2, 1, 0, 1, 2, 3, 2}}, {1, 0, -1, 1, {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  const std::vector<float> audio(640 * 8, 0.01f);
  for (const auto& c : cases) {
    MotionPtr h = open(c.nt == 4 ? files().dir : variant("nt" + std::to_string(c.nt), {"--nt", std::to_string(c.nt)}));
    ASSERT_TRUE(h);
    EXPECT_EQ(stream(h.get(), audio, {640}, c.start, c.dir, c.wrap).idx, c.expect)
        << "nt " << c.nt << " start " << c.start << " dir " << c.dir << " wrap " << c.wrap;
  }
}

}  // namespace
