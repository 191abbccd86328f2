// The director renderer against a bare ONNX Runtime session on the original graph,
// its batch padding, its refusals and its fallbacks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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

// A bundle of NT 3 identity frames plus director graphs written under the given model keys.
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

std::vector<float> widen(const uint16_t* h, size_t n) {
  std::vector<float> f(n);
  tq::halfToFloat(h, f.data(), n);
  return f;
}

// Runs the unrewritten graph file in a plain session: the reference the renderer must match.
std::vector<float> bareRun(const std::string& model, bool featSynth, const tq::Identity& id, const int* si,
                           const float* ks, const float* kd, int batch, int crop) {
  Ort::Env& env = tq::ortEnv();  // binds the API before the first wrapper is made
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  Ort::Session s(env, model.c_str(), so);
  const size_t side = featSynth ? 64 : static_cast<size_t>(crop);
  std::vector<float> pooled, prior, kpd(kd, kd + 63 * batch), kps(ks, ks + 63 * batch);
  const size_t priorElems = featSynth ? 262144 : 3 * side * side;
  for (int k = 0; k < batch; ++k) {
    auto p = widen(reinterpret_cast<const uint16_t*>(id.pooled.data) + size_t(si[k]) * 65536, 65536);
    pooled.insert(pooled.end(), p.begin(), p.end());
    const uint16_t* src = featSynth ? reinterpret_cast<const uint16_t*>(id.featSynth.data) + size_t(si[k]) * 262144
                                    : reinterpret_cast<const uint16_t*>(id.rawPrior.data) + size_t(si[k]) * priorElems;
    auto q = widen(src, priorElems);
    prior.insert(prior.end(), q.begin(), q.end());
  }
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t B = batch, S = static_cast<int64_t>(side);
  std::vector<int64_t> pShape = {B, 64, 32, 32}, kShape = {B, 21, 3};
  std::vector<int64_t> rShape = featSynth ? std::vector<int64_t>{B, 64, 64, 64} : std::vector<int64_t>{B, 3, S, S};
  std::vector<Ort::Value> in;
  in.push_back(Ort::Value::CreateTensor<float>(mem, featSynth ? prior.data() : pooled.data(),
                                               featSynth ? prior.size() : pooled.size(),
                                               featSynth ? rShape.data() : pShape.data(), 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, featSynth ? pooled.data() : prior.data(),
                                               featSynth ? pooled.size() : prior.size(),
                                               featSynth ? pShape.data() : rShape.data(), 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, kpd.data(), kpd.size(), kShape.data(), 3));
  in.push_back(Ort::Value::CreateTensor<float>(mem, kps.data(), kps.size(), kShape.data(), 3));
  const char* m4b[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
  const char* fs[] = {"fs_red", "pooled", "kd", "ks"};
  const char* outName[] = {"rgb"};
  auto out = s.Run(Ort::RunOptions{nullptr}, featSynth ? fs : m4b, in.data(), 4, outName, 1);
  const float* o = out[0].GetTensorData<float>();
  return std::vector<float>(o, o + static_cast<size_t>(batch) * 3 * side * side);
}

void expectNear(const float* got, const std::vector<float>& want, size_t n, const char* what) {
  ASSERT_LE(n, want.size());
  float worst = 0;
  for (size_t i = 0; i < n; ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
  EXPECT_LE(worst, 1e-5f) << what;
}

TEST(Renderer, RendersWhatTheOriginalGraphComputes) {
  for (const bool fs : {false, true}) {
    const int crop = fs ? 64 : 32;
    auto b = makeBundle(crop, fs ? "raw+fs" : "raw",
                        {{"b1", {"--kind", fs ? "featsynth" : "m4b", "--batch", "1"}}});
    testing::internal::CaptureStderr();
    tq::Renderer r(b->m, *b->id, "b1", 1, "");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("[tq] std GridSample -> com.vexamo::GridSampleFast load-time rewrite: 1 node(s) (b1)\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("[tq] director ep=cpu (ORT CPU EP)\n"), std::string::npos) << log;
    EXPECT_EQ(r.batch(), 1);
    EXPECT_STREQ(r.ep(), "cpu");
    EXPECT_STREQ(r.backend(), "ort");
    EXPECT_STREQ(r.directorNote(), "");
    for (int si = 0; si < 3; ++si) {
      const auto ks = randomKp(1, 10 + si), kd = randomKp(1, 20 + si);
      const float* got = r.render(&si, ks.data(), kd.data(), 1);
      const auto want = bareRun(b->m.modelPath("b1"), fs, *b->id, &si, ks.data(), kd.data(), 1, crop);
      expectNear(got, want, want.size(), fs ? "featsynth" : "m4b");
    }
    EXPECT_EQ(r.runs(), 3);
    // The keypoints really move the face: driving = source renders something else.
    const int si = 0;
    const auto ks = randomKp(1, 10), kd = randomKp(1, 20);
    const size_t n = 3 * static_cast<size_t>(crop) * crop;
    const float* movedPtr = r.render(&si, ks.data(), kd.data(), 1);
    const std::vector<float> moved(movedPtr, movedPtr + n);
    const float* still = r.render(&si, ks.data(), ks.data(), 1);
    double diff = 0;
    for (size_t i = 0; i < n; ++i) diff += std::fabs(moved[i] - still[i]);
    EXPECT_GT(diff / n, 1e-3) << "keypoints have no effect on the render";
  }
}

TEST(Renderer, PadsAShortBatchWithTheLastFrame) {
  auto b = makeBundle(32, "raw", {{"b1", {"--batch", "1"}}, {"b4", {"--batch", "4"}}});
  tq::Renderer one(b->m, *b->id, "b1", 2, "");
  tq::Renderer four(b->m, *b->id, "b4", 2, "");
  ASSERT_EQ(four.batch(), 4);
  const int si[2] = {2, 0};
  const auto ks = randomKp(2, 3), kd = randomKp(2, 4);
  const size_t frame = 3 * 32 * 32;
  const float* got4 = four.render(si, ks.data(), kd.data(), 2);
  std::vector<float> batch4(got4, got4 + 4 * frame);
  for (int k = 0; k < 2; ++k) {
    const float* got1 = one.render(&si[k], ks.data() + 63 * k, kd.data() + 63 * k, 1);
    for (size_t i = 0; i < frame; ++i)
      ASSERT_NEAR(batch4[k * frame + i], got1[i], 1e-6f) << "frame " << k << " at " << i;
  }
  // Frames 2 and 3 of the run repeat frame 1's inputs.
  for (size_t i = 0; i < frame; ++i) {
    ASSERT_EQ(batch4[2 * frame + i], batch4[frame + i]);
    ASSERT_EQ(batch4[3 * frame + i], batch4[frame + i]);
  }
  for (int bad : {0, 5}) {
    try {
      four.render(si, ks.data(), kd.data(), bad);
      ADD_FAILURE() << "n " << bad << " accepted";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "render: bad n");
    }
  }
}

std::string refusalOf(Bundle& b, const std::string& key, const std::string& ep) {
  try {
    tq::Renderer r(b.m, *b.id, key, 1, ep);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(Renderer, RefusesAtLoad) {
  auto b = makeBundle(32, "raw", {{"r22", {"--rows", "22"}}, {"r20", {"--rows", "20"}}, {"dyn", {"--rows", "0"}},
                                  {"b1", {}}, {"fs", {"--kind", "featsynth"}}, {"baked", {"--variant", "baked"}},
                                  {"dynb", {"--batch", "0"}}});
  const std::string tail =
      "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been "
      "published to a host that links this renderer: training/recipe/host_kp_contract.py is the publish gate "
      "that exists to prevent it.";
  EXPECT_EQ(refusalOf(*b, "r22", ""),
            "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + b->dir + "/model_r22.onnx — the graph declares "
            "kp_driving with 22 keypoint rows, and this renderer feeds 21 (tq::kHostKpRows, tq/tq.h). That is the "
            "recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's second "
            "output. This engine has no width feed (see tq_a2x_width / tq_a2x_pull_wn in tq/tq_a2x.h, which "
            "nothing on this path calls yet), so it cannot drive this director. " + tail);
  EXPECT_EQ(refusalOf(*b, "r20", ""),
            "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + b->dir + "/model_r20.onnx — the graph declares "
            "kp_driving with 20 keypoint rows, and this renderer feeds 21 (tq::kHostKpRows, tq/tq.h). " + tail);
  EXPECT_EQ(refusalOf(*b, "dyn", ""), "");
  EXPECT_EQ(refusalOf(*b, "dynb", ""), "pooled64 input not found / bad shape");
  EXPECT_EQ(refusalOf(*b, "missing", ""), "Renderer: cannot open " + b->dir + "/model_missing.onnx");
  EXPECT_EQ(refusalOf(*b, "fs", ""), "FeatSynth graph but bundle lacks fs_red.f16");
  const std::string xnn = "' is REFUSED. This renderer rewrites its graph to Vexamo custom-domain nodes";
  EXPECT_EQ(refusalOf(*b, "b1", "xnnpack").rfind("Renderer: ep 'xnnpack" + xnn, 0), 0u);
  EXPECT_EQ(refusalOf(*b, "b1", "xnnpack:fp16").rfind("Renderer: ep 'xnnpack:fp16" + xnn, 0), 0u);
  EXPECT_NE(refusalOf(*b, "b1", "xnnpack").find("Use the default ep (\"\", the ORT CPU EP), which opens the same "
                                                "bundle on the same bytes."), std::string::npos);
  EXPECT_EQ(refusalOf(*b, "b1", "XNNPACK"), "Renderer: unknown ep 'XNNPACK'");
  EXPECT_EQ(refusalOf(*b, "b1", "cuda"), "Renderer: unknown ep 'cuda'");
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
}

TEST(Renderer, FallsBackToTheCpuSessionAndKeepsTheOutput) {
  auto b = makeBundle(32, "raw", {{"b1", {}}, {"baked", {"--variant", "baked"}}});
  const int si = 1;
  const auto ks = randomKp(1, 7), kd = randomKp(1, 8);
  const auto want = bareRun(b->m.modelPath("b1"), false, *b->id, &si, ks.data(), kd.data(), 1, 32);
  struct Case {
    const char* key;
    const char* ep;
    const char* envName;
    const char* envValue;
    const char* logLine;
  } cases[] = {
      {"b1", "neon", nullptr, nullptr, "[tq] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n"},
      {"b1", "", "TQ_CONV_BACKEND", "neon", "[tq] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n"},
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
      EXPECT_STREQ(r.backend(), "ort");
      expectNear(r.render(&si, ks.data(), kd.data(), 1), want, want.size(), c.logLine);
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
  const std::string file = log.substr(at + 17, log.find('\n', at) - at - 17);
  EXPECT_TRUE(tqtest::fileExists(file)) << file;
}

TEST(Renderer, CoremlCacheDirNamesTheRuntimeVersion) {
  EXPECT_EQ(tq::coremlCacheDir("/avatars/x"), "/avatars/x/.coreml_cache/ort1.30.0");
}

}  // namespace
