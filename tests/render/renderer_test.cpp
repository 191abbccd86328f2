// The director renderer against a plain ONNX Runtime session on the original
// graph, its batch padding, its refusals and its fallbacks.
#include "render/tq_renderer.h"
#include "render_test_util.h"

namespace {

using rtest::Bundle, rtest::worstDiff;

TEST(Renderer, RendersWhatTheOriginalGraphComputesAndPadsShortBatches) {
  for (const bool fs : {false, true}) {
    SCOPED_TRACE(fs ? "featsynth" : "m4b");
    const int crop = fs ? 64 : 32;
    const std::string kind = fs ? "featsynth" : "m4b";
    Bundle b(crop, fs ? "raw+fs" : "raw",
             {{"b1", {"--kind", kind, "--batch", "1"}}, {"b4", {"--kind", kind, "--batch", "4"}}});
    testing::internal::CaptureStderr();
    tq::Renderer r(b.m, *b.id, "b1", 1, "");
    tq::Renderer four(b.m, *b.id, "b4", 2, "");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("[tq] std GridSample -> com.vexamo::GridSampleFast load-time rewrite: 1 node(s) (b1)\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("[tq] director ep=cpu (ORT CPU EP)\n"), std::string::npos) << log;
    EXPECT_EQ(std::make_pair(r.batch(), four.batch()), std::make_pair(1, 4));
    rtest::DirectorSession bare(b.m, "b1", fs, false);
    const auto ks = rtest::keypoints(3, 10), kd = rtest::keypoints(3, 20);
    std::vector<std::vector<float>> single(3);
    for (int si : {2, 0, 1}) {
      single[si] = bare.run(*b.id, si, ks.data() + 63 * si, kd.data() + 63 * si);
      EXPECT_LE(worstDiff(r.render(&si, ks.data() + 63 * si, kd.data() + 63 * si, 1), single[si]), 1e-5f) << si;
    }
    EXPECT_EQ(r.runs(), 3);
    // The keypoints really move the face: driving = source renders something else.
    const int si0 = 0;
    EXPECT_GT(worstDiff(r.render(&si0, ks.data(), ks.data(), 1), single[0]), 1e-2f) << "keypoints have no effect";
    // Two frames in the four-frame graph: frames 0 and 1 as rendered alone, 2 and 3 repeat frame 1.
    const int si[2] = {0, 1};
    const float* out = four.render(si, ks.data(), kd.data(), 2);
    const size_t frame = single[0].size();
    for (int k = 0; k < 4; ++k)
      EXPECT_LE(worstDiff(out + k * frame, single[std::min(k, 1)]), 1e-5f) << "batch frame " << k;
    for (int n : {0, 5}) EXPECT_EQ(tqtest::thrown([&] { four.render(si, ks.data(), kd.data(), n); }), "render: bad n");
    // The renderer guards the identity arrays itself: sessions call it without the C API's checks.
    for (int bad : {-1, 3, 1 << 30})
      EXPECT_EQ(tqtest::thrown([&] { r.render(&bad, ks.data(), kd.data(), 1); }),
                "render: source index " + std::to_string(bad) + " out of range [0, 3)");
  }
}

std::string refusalOf(Bundle& b, const std::string& key, const std::string& ep) {
  testing::internal::CaptureStderr();
  const std::string what = tqtest::thrown([&] { tq::Renderer r(b.m, *b.id, key, 1, ep); });
  testing::internal::GetCapturedStderr();
  return what == "(nothing thrown)" ? "" : what;  // empty: loaded
}

TEST(Renderer, RefusesAtLoad) {
  Bundle b(64, "raw+fs",
           {{"r22", {"--rows", "22"}}, {"r20", {"--rows", "20"}}, {"src20", {"--source-rows", "20"}},
            {"fs22", {"--kind", "featsynth", "--rows", "22"}}, {"fssrc20", {"--kind", "featsynth", "--source-rows", "20"}},
            {"dyn", {"--rows", "0"}}, {"b1", {}}, {"baked", {"--variant", "baked"}}, {"dynb", {"--batch", "0"}}});
  const auto contract = [&](const std::string& key, const std::string& input, int rows) {
    return "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + b.dir + "/model_" + key + ".onnx — the graph declares " +
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
    const char *key, *ep;
    std::string message;
  } cases[] = {
      {"r22", "", contract("r22", "kp_driving", 22) + width + tail},
      {"r20", "", contract("r20", "kp_driving", 20) + tail},
      {"src20", "", contract("src20", "kp_source", 20) + tail},
      {"fs22", "", contract("fs22", "kd", 22) + width + tail},
      {"fssrc20", "", contract("fssrc20", "ks", 20) + tail},
      {"dyn", "", ""},
      {"dynb", "", "pooled64 input not found / bad shape"},
      {"missing", "", "Renderer: cannot open " + b.dir + "/model_missing.onnx"},
      {"b1", "xnnpack", "Renderer: ep 'xnnpack" + xnn},
      {"b1", "xnnpack:fp16", "Renderer: ep 'xnnpack:fp16" + xnn},
      {"b1", "XNNPACK", "Renderer: unknown ep 'XNNPACK'"},
      {"b1", "cuda", "Renderer: unknown ep 'cuda'"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusalOf(b, c.key, c.ep), c.message) << c.key << " " << c.ep;
  {
    tqtest::ScopedEnv off("TQ_GS_FAST", "0");
    EXPECT_EQ(refusalOf(b, "baked", ""),
              "Renderer: TQ_GS_FAST=0 (or VEXAMO_BREVANE2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " +
                  b.dir + "/model_baked.onnx has com.vexamo::GridSampleFast BAKED INTO THE GRAPH. That flag "
                  "disables the custom-op registration, so there would be no kernel to bind and this session would "
                  "die inside ORT with 'GridSampleFast(-1) is not a registered function/op'. There is no "
                  "standard-GridSample arm on this bundle to measure: the artifact itself is non-standard. Run the "
                  "A/B on a STANDARD-ONNX bundle (the shipping format since INFERENCE_STANDARDIZATION.md #1), or "
                  "unset the flag to load this one.");
    EXPECT_EQ(refusalOf(b, "b1", ""), "");  // a standard graph runs ORT's own GridSample
  }
  Bundle fsOnly(32, "fs", {{"b1", {}}});
  EXPECT_EQ(refusalOf(fsOnly, "b1", ""),
            "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
            "P_hevc.mov to play in place is present, so tq::Identity mapped NOTHING and Identity::P(si) would be an "
            "offset from a null pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a "
            "session.");
  Bundle rawOnly(32, "raw", {{"fs", {"--kind", "featsynth"}}});
  EXPECT_EQ(refusalOf(rawOnly, "fs", ""), "FeatSynth graph but bundle lacks fs_red.f16");
  EXPECT_EQ(tq::coremlCacheDir("/b"), "/b/.coreml_cache/ort" + std::string(OrtGetApiBase()->GetVersionString()));
}

TEST(Renderer, FallsBackToTheCpuSessionAndKeepsTheOutput) {
  Bundle b(32, "raw", {{"b1", {}}, {"baked", {"--variant", "baked"}}});
  const int si = 1;
  const auto ks = rtest::keypoints(1, 7), kd = rtest::keypoints(1, 8);
  const auto want = rtest::DirectorSession(b.m, "b1", false, false).run(*b.id, si, ks.data(), kd.data());
  const std::string prof = b.tmp / "tqprof";
  const std::string neon = "[tq] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n";
  const struct {
    const char *key, *ep, *envName, *envValue;
    std::string logLine;
  } cases[] = {
      {"b1", "neon", "TQ_UNUSED_VARIABLE", nullptr, neon},
      {"b1", "", "TQ_CONV_BACKEND", "neon", neon},
      {"b1", "coreml:ane", "TQ_UNUSED_VARIABLE", nullptr, "— falling back to the ORT CPU EP\n"},
      {"b1", "", "TQ_GS_REWRITE", "0",
       "[tq] TQ_GS_REWRITE=0: load-time std GridSample -> com.vexamo::GridSampleFast rewrite DISABLED (b1); the "
       "custom op is still registered, so a baked bundle loads and runs its baked kernel. A standard bundle now "
       "runs ORT's own GridSample.\n"},
      {"baked", "", "TQ_UNUSED_VARIABLE", nullptr, "[tq] director ep=cpu (ORT CPU EP)\n"},
      {"b1", "", "TQ_ORT_PROFILE", prof.c_str(), "[tq_ort_profile] 1 frames: "},  // reported at destruction
  };
  for (const auto& c : cases) {
    tqtest::ScopedEnv env(c.envName, c.envValue);
    testing::internal::CaptureStderr();
    EXPECT_EQ(tqtest::thrown([&] {
                tq::Renderer r(b.m, *b.id, c.key, 1, c.ep);
                EXPECT_STREQ(r.ep(), "cpu") << c.ep;
                EXPECT_LE(worstDiff(r.render(&si, ks.data(), kd.data(), 1), want), 1e-5f) << c.logLine;
              }),
              "(nothing thrown)");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
  }
}

}  // namespace
