// The exported functions: refusals with their full texts, frame counts and
// hold-back, driver-frame walking, reset, execution providers, dump files.
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include "audio/tq_motion_net.h"
#include "render/tq_ort.h"
#include "motion_test_util.h"

using namespace motiontest;

namespace {

std::string variant(const std::string& name, const std::vector<std::string>& options) {
  const std::string dir = files().tmp / ("v_" + name);
  std::vector<std::string> args = {"motion", dir};
  args.insert(args.end(), options.begin(), options.end());
  tqtest::runFixtureTool(args);
  return dir;
}

std::string createError(const std::string& dir, const char* ep = nullptr) {
  tq_motion* h = tq_motion_create(dir.c_str(), 1, ep);
  if (h) {
    tq_motion_destroy(h);
    return "(created)";
  }
  return tq_motion_last_error();
}

// What this ONNX Runtime says when asked for the CoreML provider.
std::string ortCoremlRefusal() {
  tq::ortInit();
  Ort::SessionOptions o;
  try {
    o.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"}});
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(MotionApi, CreateRefusals) {
  const std::string meta = R"({"nt": 4, "n_src": 4, "n_emo": 3, "s_bridge": 0.8})";
  struct Case {
    std::string name;
    std::vector<std::string> options;
    std::string expect;  // after "tq_motion_create: "; "DIR" stands for the directory
  };
  const std::vector<Case> cases = {
      {"no_bridge", {"--meta-text", R"({"nt": 4, "n_src": 4, "n_emo": 3})"}, "meta.json: missing s_bridge"},
      {"no_colon", {"--meta-text", R"({"nt" 4, "n_src": 4, "n_emo": 3, "s_bridge": 1})"}, "meta.json: bad nt"},
      {"not_number", {"--meta-text", R"({"nt": 4, "n_src": 4, "n_emo": "x", "s_bridge": 1})"}, "meta.json: bad n_emo"},
      {"zero_emo", {"--meta-text", R"({"nt": 4, "n_src": 4, "n_emo": 0, "s_bridge": 1})"}, "meta.json: bad n_emo"},
      {"src_ne_nt", {"--meta-text", R"({"nt": 4, "n_src": 3, "n_emo": 3, "s_bridge": 1})"},
       "tq_motion: n_src != nt unsupported"},
      {"no_meta", {"--omit", "meta.json"}, "cannot open DIR/meta.json"},
      {"emo_count", {"--count", "emo.bin=5"}, "DIR/emo.bin: 5 floats, expected 24"},
      {"binmat_count", {"--count", "hubert_stft_binmat.bin=20561"},
       "DIR/hubert_stft_binmat.bin: 20561 floats, expected 20560"},
      {"src_count", {"--count", "src_xs_info.bin=984"}, "DIR/src_xs_info.bin: 984 floats, expected 1312"},
      {"no_sc", {"--omit", "ch_sc.bin"}, "cannot open DIR/ch_sc.bin"},
      {"no_target", {"--omit", "xs_target.bin"}, "cannot open DIR/xs_target.bin"},
      {"no_stitch", {"--omit", "stitch.onnx"}, "cannot open DIR/stitch.onnx"},
      {"zero_scale", {"--zero-src-scale"},
       "tq_motion: expression gain 1.600000 / 0.000000 (ch_xs_info.bin scale / src_xs_info.bin row 0 scale) is "
       "not finite"},
  };
  for (const Case& c : cases) {
    const std::string dir = variant(c.name, c.options);
    std::string want = "tq_motion_create: " + c.expect;
    const size_t at = want.find("DIR");
    if (at != std::string::npos) want.replace(at, 3, dir);
    EXPECT_EQ(createError(dir), want) << c.name;
  }
  EXPECT_EQ(tq_motion_create(nullptr, 1, nullptr), nullptr);
  EXPECT_STREQ(tq_motion_last_error(), "tq_motion_create: NULL motion_dir");
  EXPECT_EQ(createError(files().dir, "cuda"), "tq_motion_create: tq_motion: unknown ep 'cuda'");
  // No CoreML provider in this runtime: creation fails with the runtime's own text.
  const std::string coreml = ortCoremlRefusal();
  ASSERT_FALSE(coreml.empty());
  for (const char* ep : {"coreml", "coreml-ane", "coreml:gpu"})
    EXPECT_EQ(createError(files().dir, ep), "tq_motion_create: " + coreml) << ep;
  const std::vector<std::pair<const char*, const char*>> units = {
      {"coreml", "ALL"},          {"coreml-", "ALL"},       {"coreml-cpu", "CPUOnly"}, {"coreml:gpu", "CPUAndGPU"},
      {"coreml_ane", "CPUAndNeuralEngine"}, {"coreml-cpux", "ALL"}, {"coreml-CPU", "ALL"}, {"coremlxane", "CPUAndNeuralEngine"}};
  for (const auto& u : units) EXPECT_STREQ(tq::motion::coremlComputeUnits(u.first), u.second) << u.first;
  // Optional and alternative members.
  EXPECT_EQ(createError(variant("no_delta", {"--no-delta-pitch"})), "(created)");
  const std::string second = variant("second_layout", {});
  ASSERT_EQ(std::rename((second + "/xs_target.bin").c_str(), (second + "/target_keypoints.bin").c_str()), 0);
  EXPECT_EQ(createError(second), "(created)");
}

TEST(MotionApi, CallRefusals) {
  MotionPtr h = open(files().dir);
  ASSERT_TRUE(h);
  const float x[4] = {};
  int idx[1];
  float kp[63];
  const std::string pushMsg = "tq_motion_push: bad args / already finished";
  struct PushCase {
    tq_motion* h;
    const float* s;
    int n;
  };
  for (const PushCase& c : {PushCase{nullptr, x, 4}, PushCase{h.get(), nullptr, 4}, PushCase{h.get(), x, -1}}) {
    EXPECT_EQ(tq_motion_push(c.h, c.s, c.n), 0);
    EXPECT_EQ(tq_motion_last_error(), pushMsg);
  }
  EXPECT_EQ(tq_motion_push(h.get(), x, 0), 1);
  tq_motion_finish(h.get());
  EXPECT_EQ(tq_motion_push(h.get(), x, 4), 0);
  EXPECT_EQ(tq_motion_last_error(), pushMsg);
  EXPECT_EQ(tq_motion_pull(h.get(), nullptr, kp, kp, 1), 0);
  EXPECT_STREQ(tq_motion_last_error(), "tq_motion_pull: bad args");
  EXPECT_EQ(tq_motion_pull(nullptr, idx, kp, kp, 1), 0);
  EXPECT_STREQ(tq_motion_last_error(), "tq_motion_pull: bad args");
  EXPECT_EQ(tq_motion_avail(nullptr), 0);
  EXPECT_EQ(tq_motion_total(nullptr), -1);
  EXPECT_EQ(tq_motion_nt(nullptr), 0);
  EXPECT_EQ(tq_motion_nt(h.get()), 4);
  tq_motion_finish(nullptr);
  tq_motion_reset(nullptr, 0, 1, 0);
  tq_motion_set_eager(nullptr, 1);
  tq_motion_destroy(nullptr);
}

TEST(MotionApi, FrameCountsAndHoldBack) {
  MotionPtr h = open(files().dir);
  ASSERT_TRUE(h);
  const auto& x = files().speech;
  for (int n : {0, 1, 639, 640, 641, 6400, 52481}) {
    tq_motion_reset(h.get(), 0, 1, 0);
    tq_motion_push(h.get(), x.data(), n);
    EXPECT_EQ(tq_motion_total(h.get()), -1);
    tq_motion_finish(h.get());
    const int total = (n + 639) / 640;
    EXPECT_EQ(tq_motion_total(h.get()), total) << n;
    Frames f;
    pullReady(h.get(), &f);
    EXPECT_EQ(static_cast<int>(f.size()), total) << n;
  }
  // Open stream: the first chunk needs 80 conditioning rows, which need the block
  // at frame 75 and its 4480 samples of look-ahead; then all but the last 11 frames
  // of the chunk are ready, the rest waits for the next chunk's cross-fade.
  tq_motion_reset(h.get(), 0, 1, 0);
  tq_motion_push(h.get(), x.data(), 640 * 75 + 4479);
  EXPECT_EQ(tq_motion_avail(h.get()), 0);
  tq_motion_push(h.get(), x.data() + 640 * 75 + 4479, 1);
  EXPECT_EQ(tq_motion_avail(h.get()), 69);
  tq_motion_push(h.get(), x.data() + 640 * 75 + 4480, 640 * 70 - 1);
  EXPECT_EQ(tq_motion_avail(h.get()), 69);
  tq_motion_push(h.get(), x.data() + 640 * 145 + 4479, 1);
  EXPECT_EQ(tq_motion_avail(h.get()), 139);
}

TEST(MotionApi, DriverIndexWalks) {
  struct Case {
    int nt, start, dir, wrap;
    std::vector<int> expect;
  };
  const std::vector<Case> cases = {
      {3, 0, 1, 0, {0, 1, 2, 1, 0, 1, 2, 1}},
      {3, 0, 1, 1, {0, 1, 2, 0, 1, 2, 0, 1}},
      {4, 0, -1, 1, {0, 3, 2, 1, 0, 3, 2, 1}},
      {4, 0, -1, 0, {0, 1, 2, 3, 2, 1, 0, 1}},
      {4, 2, -7, 0, {2, 1, 0, 1, 2, 3, 2, 1}},
      {4, -5, 1, 1, {0, 1, 2, 3, 0, 1, 2, 3}},
      {4, 99, 1, 0, {3, 2, 1, 0, 1, 2, 3, 2}},
      {1, 0, 1, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
      {1, 0, -1, 1, {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  std::vector<float> audio(640 * 8, 0.01f);
  for (const Case& c : cases) {
    const std::string dir = c.nt == 4 ? files().dir : variant("nt" + std::to_string(c.nt), {"--nt", std::to_string(c.nt)});
    MotionPtr h = open(dir);
    ASSERT_TRUE(h);
    const Frames f = stream(h.get(), audio, {640}, c.start, c.dir, c.wrap);
    EXPECT_EQ(f.idx, c.expect) << "nt " << c.nt << " start " << c.start << " dir " << c.dir << " wrap " << c.wrap;
  }
}

TEST(MotionApi, ResetStartsAFreshUtterance) {
  MotionPtr a = open(files().dir), b = open(files().dir);
  ASSERT_TRUE(a && b);
  const auto& x = files().speech;
  const Frames fresh = stream(a.get(), x, {4000}, 1, 1, 1);
  // Half an utterance, pulled from, then abandoned by a reset.
  tq_motion_reset(b.get(), 3, -1, 0);
  tq_motion_push(b.get(), x.data() + 1000, 90000);
  Frames junk;
  pullReady(b.get(), &junk);
  EXPECT_GT(junk.size(), 0u);
  const Frames again = stream(b.get(), x, {4000}, 1, 1, 1);
  EXPECT_EQ(again.idx, fresh.idx);
  EXPECT_EQ(again.src, fresh.src);
  EXPECT_EQ(again.drv, fresh.drv);
}

TEST(MotionApi, DumpFiles) {
  tqtest::TempDir dump;
  tqtest::ScopedEnv env("TQ_MOTION_DUMP", dump.path().c_str());
  MotionPtr h = open(files().dir);
  ASSERT_TRUE(h);
  const Frames f = stream(h.get(), files().speech, {3200});
  const size_t F = f.size(), rows = (F + 4) / 5 * 5;
  const std::vector<std::pair<const char*, size_t>> sizes = {
      {"mel0.bin", 80 * 21},       {"feat0.bin", 20 * 1024},  {"lmdm0_kp.bin", 265},
      {"lmdm0_aud.bin", 80 * 1103}, {"lmdm0_pred.bin", 80 * 265}, {"xs.bin", F * 63},
      {"xd.bin", F * 63},          {"xsla.bin", F * 63},       {"xdla.bin", F * 63},
      {"res_post.bin", F * 265},   {"final.bin", F * 265},     {"cond.bin", rows * 1103}};
  for (const auto& s : sizes) EXPECT_EQ(readAs<float>(dump / s.first).size(), s.second) << s.first;
  EXPECT_EQ(readAs<float>(dump / "xs.bin"), f.src);
  EXPECT_EQ(readAs<float>(dump / "xd.bin"), f.drv);
  // The first chunk's conditioning is the first 80 conditioning rows.
  const auto cond = readAs<float>(dump / "cond.bin");
  const auto aud = readAs<float>(dump / "lmdm0_aud.bin");
  EXPECT_TRUE(std::equal(aud.begin(), aud.end(), cond.begin()));
}
