// The director renderer against a bare ONNX Runtime session on the original graph,
// its batch padding, its refusals and its fallbacks.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "compute/tq_simd.h"
#include "render/tq_ort.h"
#include "render/tq_renderer.h"
#include "tq_test_util.h"

namespace {

using tqtest::TempDir;

struct Bundle {
  TempDir tmp;
  std::string dir;
  tq::Manifest m;
  std::unique_ptr<tq::Identity> id;
};

// NT 3 identity frames plus director graphs written under the given model keys.
std::unique_ptr<Bundle> makeBundle(int crop, const std::string& prior,
                                   const std::vector<std::pair<std::string, std::vector<std::string>>>& models) {
  auto b = std::make_unique<Bundle>();
  b->dir = b->tmp / "bundle";
  EXPECT_TRUE(tqtest::runFixtureTool({"identity-bundle", b->dir, "--nt", "3", "--crop", std::to_string(crop),
                                      "--prior", prior}));
  for (const auto& [key, args] : models) {
    std::vector<std::string> all = {"director", "--out", b->dir + "/model_" + key + ".onnx", "--crop",
                                    std::to_string(crop)};
    all.insert(all.end(), args.begin(), args.end());
    EXPECT_TRUE(tqtest::runFixtureTool(all));
  }
  b->m = tq::loadManifest(b->dir);
  b->id = std::make_unique<tq::Identity>(b->m);
  return b;
}

std::vector<float> randomKp(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.8f, 0.8f);
  std::vector<float> v(static_cast<size_t>(n) * 63);
  for (auto& x : v) x = u(rng);
  return v;
}

void appendWidened(std::vector<float>& out, const uint8_t* base, size_t frame, size_t n) {
  const size_t at = out.size();
  out.resize(at + n);
  tq::halfToFloat(reinterpret_cast<const uint16_t*>(base) + frame * n, out.data() + at, n);
}

// The unrewritten graph file run for one frame in a plain session: the reference.
std::vector<float> bareRun(const std::string& model, bool fs, const tq::Identity& id, int si, const float* ks,
                           const float* kd, int crop) {
  Ort::Env& env = tq::ortEnv();  // binds the API before the first wrapper is made
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  Ort::Session s(env, model.c_str(), so);
  const int64_t side = fs ? 64 : crop;
  std::vector<float> pooled, prior, kpd(kd, kd + 63), kps(ks, ks + 63);
  appendWidened(pooled, id.pooled.data, size_t(si), 65536);
  appendWidened(prior, fs ? id.featSynth.data : id.rawPrior.data, size_t(si), fs ? 262144 : size_t(3 * side * side));
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t pShape[] = {1, 64, 32, 32}, kShape[] = {1, 21, 3};
  const int64_t rShape[] = {1, fs ? 64 : 3, side, side};
  std::vector<Ort::Value> in;
  auto add = [&](std::vector<float>& v, const int64_t* shape, size_t rank) {
    in.push_back(Ort::Value::CreateTensor<float>(mem, v.data(), v.size(), shape, rank));
  };
  if (fs) add(prior, rShape, 4);
  add(pooled, pShape, 4);
  if (!fs) add(prior, rShape, 4);
  add(kpd, kShape, 3);
  add(kps, kShape, 3);
  const char* m4b[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
  const char* fsNames[] = {"fs_red", "pooled", "kd", "ks"};
  const char* outName[] = {"rgb"};
  auto out = s.Run(Ort::RunOptions{nullptr}, fs ? fsNames : m4b, in.data(), 4, outName, 1);
  const float* o = out[0].GetTensorData<float>();
  return std::vector<float>(o, o + size_t(3 * side * side));
}

float worstDiff(const float* got, const std::vector<float>& want) {
  float worst = 0;
  for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
  return worst;
}

TEST(Renderer, RendersWhatTheOriginalGraphComputesAndPadsShortBatches) {
  for (const bool fs : {false, true}) {
    SCOPED_TRACE(fs ? "featsynth" : "m4b");
    const int crop = fs ? 64 : 32;
    const std::string kind = fs ? "featsynth" : "m4b";
    auto b = makeBundle(crop, fs ? "raw+fs" : "raw",
                        {{"b1", {"--kind", kind, "--batch", "1"}}, {"b4", {"--kind", kind, "--batch", "4"}}});
    testing::internal::CaptureStderr();
    tq::Renderer r(b->m, *b->id, "b1", 1, "");
    tq::Renderer four(b->m, *b->id, "b4", 2, "");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("[tq] std GridSample -> com.vexamo::GridSampleFast load-time rewrite: 1 node(s) (b1)\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("[tq] director ep=cpu (ORT CPU EP)\n"), std::string::npos) << log;
    EXPECT_EQ(r.batch(), 1);
    EXPECT_EQ(four.batch(), 4);
    const auto ks = randomKp(3, 10), kd = randomKp(3, 20);
    const size_t frame = size_t(3) * (fs ? 64 : crop) * (fs ? 64 : crop);
    std::vector<std::vector<float>> single;
    for (int si : {2, 0, 1}) {
      const auto want = bareRun(b->m.modelPath("b1"), fs, *b->id, si, ks.data() + 63 * si, kd.data() + 63 * si, crop);
      const float* got = r.render(&si, ks.data() + 63 * si, kd.data() + 63 * si, 1);
      EXPECT_LE(worstDiff(got, want), 1e-5f) << "si " << si;
      single.emplace_back(want);
    }
    EXPECT_EQ(r.runs(), 3);
    // The keypoints really move the face: driving = source renders something else.
    const int si0 = 0;
    const float* still = r.render(&si0, ks.data(), ks.data(), 1);
    EXPECT_GT(worstDiff(still, single[1]), 1e-2f) << "keypoints have no effect";

    // A batch of two in the four-frame graph: frames 0 and 1 as rendered alone, 2 and 3 repeat frame 1.
    const int si[2] = {2, 0};
    std::vector<float> ks2(ks.begin() + 126, ks.end()), kd2(kd.begin() + 126, kd.end());
    ks2.insert(ks2.end(), ks.begin(), ks.begin() + 63);
    kd2.insert(kd2.end(), kd.begin(), kd.begin() + 63);
    const float* out = four.render(si, ks2.data(), kd2.data(), 2);
    const std::vector<float> b4(out, out + 4 * frame);
    const std::vector<float>* alone[2] = {&single[0], &single[1]};
    for (int k = 0; k < 4; ++k)
      EXPECT_LE(worstDiff(b4.data() + k * frame, *alone[std::min(k, 1)]), 1e-5f) << "batch frame " << k;
    for (int bad : {0, 5}) {
      EXPECT_EQ(tqtest::thrown([&] { four.render(si, ks.data(), kd.data(), bad); }), "render: bad n") << bad;
    }
  }
}

std::string refusalOf(Bundle& b, const std::string& key, const std::string& ep) {
  testing::internal::CaptureStderr();
  const std::string what = tqtest::thrown([&] { tq::Renderer r(b.m, *b.id, key, 1, ep); });
  testing::internal::GetCapturedStderr();
  return what == "(nothing thrown)" ? "" : what;  // empty: loaded
}

TEST(Renderer, RefusesAtLoad) {
  auto b = makeBundle(64, "raw+fs",
                      {{"r22", {"--rows", "22"}},
                       {"r20", {"--rows", "20"}},
                       {"src20", {"--source-rows", "20"}},
                       {"fs22", {"--kind", "featsynth", "--rows", "22"}},
                       {"fssrc20", {"--kind", "featsynth", "--source-rows", "20"}},
                       {"dyn", {"--rows", "0"}},
                       {"b1", {}},
                       {"baked", {"--variant", "baked"}},
                       {"dynb", {"--batch", "0"}}});
  const auto contract = [&](const std::string& key, const std::string& input, int rows) {
    return "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + b->dir + "/model_" + key + ".onnx — the graph declares " +
           input + " with " + std::to_string(rows) +
           " keypoint rows, and this renderer feeds 21 (tq::kHostKpRows, tq/tq.h). ";
  };
  const std::string width =
      "That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's "
      "second output. This engine has no width feed (see tq_a2x_width / tq_a2x_pull_wn in tq/tq_a2x.h, which "
      "nothing on this path calls yet), so it cannot drive this director. ";
  const std::string tail =
      "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been "
      "published to a host that links this renderer: training/recipe/host_kp_contract.py is the publish gate "
      "that exists to prevent it.";
  const std::string xnn =
      "' is REFUSED. This renderer rewrites its graph to Vexamo custom-domain nodes (com.vexamo::GridSampleFast, "
      "and com.vexamo::WarpDirector wherever TQ_WARP_NODE is on), and ORT's XNNPACK execution provider SEGFAULTS "
      "while partitioning a graph that carries them — measured 2026-09-15 on a published brevane2-android AAR, "
      "null deref inside libonnxruntime.so at session create, on both a door-served and a hand-staged copy of the "
      "same identity. It is a signal, not an exception, so it cannot be caught and reported. Use the default ep "
      "(\"\", the ORT CPU EP), which opens the same bundle on the same bytes.";
  const struct {
    const char* key;
    const char* ep;
    std::string message;
  } cases[] = {
      {"r22", "", contract("r22", "kp_driving", 22) + width + tail},
      {"r20", "", contract("r20", "kp_driving", 20) + tail},
      {"src20", "", contract("src20", "kp_source", 20) + tail},
      {"fs22", "", contract("fs22", "kd", 22) + width + tail},
      {"fssrc20", "", contract("fssrc20", "ks", 20) + tail},
      {"dyn", "", ""},
      {"dynb", "", "pooled64 input not found / bad shape"},
      {"missing", "", "Renderer: cannot open " + b->dir + "/model_missing.onnx"},
      {"b1", "xnnpack", "Renderer: ep 'xnnpack" + xnn},
      {"b1", "xnnpack:fp16", "Renderer: ep 'xnnpack:fp16" + xnn},
      {"b1", "XNNPACK", "Renderer: unknown ep 'XNNPACK'"},
      {"b1", "cuda", "Renderer: unknown ep 'cuda'"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusalOf(*b, c.key, c.ep), c.message) << c.key << " " << c.ep;
  {
    tqtest::ScopedEnv off("TQ_GS_FAST", "0");
    EXPECT_EQ(refusalOf(*b, "baked", ""),
              "Renderer: TQ_GS_FAST=0 (or VEXAMO_BREVANE2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " +
                  b->dir + "/model_baked.onnx has com.vexamo::GridSampleFast BAKED INTO THE GRAPH. That flag "
                  "disables the custom-op registration, so there would be no kernel to bind and this session would "
                  "die inside ORT with 'GridSampleFast(-1) is not a registered function/op'. There is no "
                  "standard-GridSample arm on this bundle to measure: the artifact itself is non-standard. Run the "
                  "A/B on a STANDARD-ONNX bundle (the shipping format since INFERENCE_STANDARDIZATION.md #1), or "
                  "unset the flag to load this one.");
    EXPECT_EQ(refusalOf(*b, "b1", ""), "");  // a standard graph runs ORT's own GridSample
  }
  auto fsOnly = makeBundle(32, "fs", {{"b1", {}}});
  EXPECT_EQ(refusalOf(*fsOnly, "b1", ""),
            "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
            "P_hevc.mov to play in place is present, so tq::Identity mapped NOTHING and Identity::P(si) would be an "
            "offset from a null pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a "
            "session.");
  auto rawOnly = makeBundle(32, "raw", {{"fs", {"--kind", "featsynth"}}});
  EXPECT_EQ(refusalOf(*rawOnly, "fs", ""), "FeatSynth graph but bundle lacks fs_red.f16");
}

TEST(Renderer, FallsBackToTheCpuSessionAndKeepsTheOutput) {
  auto b = makeBundle(32, "raw", {{"b1", {}}, {"baked", {"--variant", "baked"}}});
  const int si = 1;
  const auto ks = randomKp(1, 7), kd = randomKp(1, 8);
  const auto want = bareRun(b->m.modelPath("b1"), false, *b->id, si, ks.data(), kd.data(), 32);
  const std::string neon = "[tq] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n";
  const struct {
    const char* key;
    const char* ep;
    const char* envName;
    const char* envValue;
    const char* logLine;
  } cases[] = {
      {"b1", "neon", nullptr, nullptr, neon.c_str()},
      {"b1", "", "TQ_CONV_BACKEND", "neon", neon.c_str()},
      {"b1", "coreml", nullptr, nullptr, "[tq] CoreML EP session refused: "},
      {"b1", "coreml:ane", nullptr, nullptr, "— falling back to the ORT CPU EP\n"},
      {"b1", "", "TQ_GS_REWRITE", "0",
       "[tq] TQ_GS_REWRITE=0: load-time std GridSample -> com.vexamo::GridSampleFast rewrite DISABLED (b1); the "
       "custom op is still registered, so a baked bundle loads and runs its baked kernel. A standard bundle now "
       "runs ORT's own GridSample.\n"},
      {"baked", "", nullptr, nullptr, "[tq] director ep=cpu (ORT CPU EP)\n"},
  };
  for (const auto& c : cases) {
    tqtest::ScopedEnv env(c.envName ? c.envName : "TQ_UNUSED_VARIABLE", c.envValue);
    testing::internal::CaptureStderr();
    std::string log;
    try {
      tq::Renderer r(b->m, *b->id, c.key, 1, c.ep);
      log = testing::internal::GetCapturedStderr();
      EXPECT_STREQ(r.ep(), "cpu") << c.ep;
      EXPECT_LE(worstDiff(r.render(&si, ks.data(), kd.data(), 1), want), 1e-5f) << c.logLine;
    } catch (const std::exception& e) {
      log = testing::internal::GetCapturedStderr();
      ADD_FAILURE() << c.key << " " << c.ep << ": " << e.what();
    }
    EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
  }
}

TEST(Renderer, ProfilingReportsAtDestruction) {
  auto b = makeBundle(32, "raw", {{"b1", {}}});
  TempDir prof;
  const std::string prefix = prof / "tqprof";
  tqtest::ScopedEnv env("TQ_ORT_PROFILE", prefix.c_str());
  testing::internal::CaptureStderr();
  {
    tq::Renderer r(b->m, *b->id, "b1", 1, "");
    const int si = 0;
    const auto kp = randomKp(1, 1);
    r.render(&si, kp.data(), kp.data(), 1);
    r.render(&si, kp.data(), kp.data(), 1);
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("[tq_ort_profile] 2 frames: "), std::string::npos) << log;
  const auto at = log.find("[tq_ort_profile] " + prefix);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_TRUE(tqtest::fileExists(log.substr(at + 17, log.find('\n', at) - at - 17)));
}

TEST(Renderer, CoremlCacheDirNamesTheRuntimeVersion) {
  tq::ortEnv();
  const std::string version = OrtGetApiBase()->GetVersionString();
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(tq::coremlCacheDir("/avatars/x"), "/avatars/x/.coreml_cache/ort" + version);
}

}  // namespace
