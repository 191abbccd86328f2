// Load-time normalisations against ONNX Runtime on the original graphs: the
// student blend, the head cubic resize and the lip contour binding, each fixture
// with its count or its refusal; refused graphs keep their bytes, rewritten ones
// load in the onnx package.
#include "render/graph_normalise.h"
#include "render/tq_renderer.h"
#include "render_test_util.h"
#include "tessera/tq_lip_contour.h"

namespace {

using rtest::Bytes, rtest::Tensor;

struct Inputs {
  std::vector<std::string> names;
  std::vector<Tensor> values;
};

// Every input the session declares (fixed shapes), filled with ones or seeded values.
Inputs inputsOf(Ort::Session& s, bool ones, unsigned seed) {
  Inputs in;
  std::mt19937 rng(seed);
  Ort::AllocatorWithDefaultOptions alloc;
  for (std::size_t k = 0; k < s.GetInputCount(); ++k) {
    in.names.push_back(s.GetInputNameAllocated(k, alloc).get());
    Tensor t{s.GetInputTypeInfo(k).GetTensorTypeAndShapeInfo().GetShape(), {}};
    std::size_t n = 1;
    for (int64_t d : t.shape) n *= std::size_t(d);
    t.data = ones ? std::vector<float>(n, 1.0f) : rtest::randomValues(n, 0.0f, 1.0f, rng);
    in.values.push_back(std::move(t));
  }
  return in;
}

std::vector<float> runOn(Ort::Session& s, const Inputs& in, const char* output) {
  std::vector<const char*> names;
  for (const auto& n : in.names) names.push_back(n.c_str());
  return rtest::run(s, names, in.values, output);
}

TEST(Normalise, RewritesMatchOnnxRuntimeOnTheOriginalGraphs) {
  tqtest::TempDir dir;
  enum Kind { kBlend, kCubic, kLip };
  const std::string tail = "the graph does not carry the unified compose tail";
  const struct {
    Kind kind;
    std::vector<std::string> args;
    std::size_t count;   // nodes rewritten (1 for a bound lip contour)
    std::string reason;  // the lip binding's refusal
    bool ort = true;     // ONNX Runtime refuses two nodes of one name
  } cases[] = {
      {kBlend, {"--variant", "2d"}, 1, ""},
      {kBlend, {"--variant", "two"}, 2, "", false},
      {kBlend, {"--variant", "attr"}, 0, ""},
      {kBlend, {"--variant", "domain"}, 0, ""},
      {kBlend, {"--variant", "3d"}, 0, ""},
      {kCubic, {"--variant", "init"}, 1, ""},
      {kCubic, {"--variant", "const"}, 1, ""},
      {kCubic, {"--variant", "a075"}, 1, ""},
      {kCubic, {"--variant", "a050"}, 1, ""},
      {kCubic, {"--variant", "depthwise"}, 1, ""},
      {kCubic, {"--variant", "unnamed"}, 1, ""},
      {kCubic, {"--variant", "mismatch"}, 0, ""},
      {kCubic, {"--variant", "two"}, 0, ""},
      {kCubic, {"--variant", "consumers"}, 0, ""},
      {kCubic, {"--variant", "relu"}, 0, ""},
      {kLip, {"--variant", "tail"}, 1, ""},
      {kLip, {"--variant", "const", "--batch", "2", "--crop", "24"}, 1, ""},
      {kLip, {"--variant", "plain"}, 0, tail},
      {kLip, {"--variant", "declared"}, 0, "the graph already carries an input named lip_delivery"},
      {kLip, {"--variant", "tail", "--kind", "featsynth"}, 0,
       "the graph is a FeatSynth director (input fs_red), which is never fed lip_delivery"},
      {kLip, {"--variant", "elsewhere"}, 0,
       "self-check: rewire did not take: 2 consumers of tessera_lipdel_alpha, one still reads the alpha — refusing "
       "a graph that would serve the ellipse with the input attached and ignored"},
  };
  const char* tools[] = {"blend-graph", "cubic-graph", "compose-graph"};
  std::vector<std::string> rewritten;
  std::size_t unnamedAt = 0;
  int n = 0;
  for (const auto& c : cases) {
    const std::string name = "g" + std::to_string(n++) + ".onnx", label = name + " " + c.args[1];
    std::vector<std::string> args = {tools[c.kind], "--out", dir / name};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ASSERT_TRUE(tqtest::runFixtureTool(args));
    const Bytes original = tqtest::readBytes(dir / name);
    Bytes model = original;
    std::string reason = "unset";
    int canvas = -1, batch = -1;
    const std::size_t count = c.kind == kBlend   ? tq::normaliseStudentBlend(model)
                              : c.kind == kCubic ? tq::rewriteHeadCubicResize(model)
                                                 : tq::rewriteBindLipContour(model, reason, &canvas, &batch);
    ASSERT_EQ(count, c.count) << label;
    if (c.kind == kLip) {
      EXPECT_EQ(reason, c.reason) << label;
    }
    if (count == 0) {
      EXPECT_TRUE(model == original) << label;
      continue;
    }
    if (c.args[1] == "unnamed") unnamedAt = rewritten.size();
    rewritten.push_back(dir / ("re_" + name));
    rtest::writeFile(rewritten.back(), model);
    if (!c.ort) continue;
    auto before = rtest::session(original, 1, false), after = rtest::session(model, 1, false);
    const char* out = c.kind == kLip ? "rgb" : "Y";
    const Inputs in = inputsOf(*before, c.kind == kBlend, 5);
    const std::vector<float> want = runOn(*before, in, out);
    if (c.kind == kCubic) {
      const std::vector<float> got = runOn(*after, in, out);
      ASSERT_EQ(got.size(), want.size());
      // 1e-6 of the output's scale: ORT's own cubic rounds differently per processor
      // (fused multiply-add on ARM), by an ulp of the largest values.
      float scale = 1;
      for (float v : want) scale = std::max(scale, std::fabs(v));
      EXPECT_LE(rtest::worstDiff(got.data(), want), 1e-6f * scale) << label;
      continue;
    }
    if (c.kind == kBlend) {
      EXPECT_TRUE(runOn(*after, in, out) == want) << label;
      continue;
    }
    // A raster of ones leaves the graph's alpha alone; any raster gives what the
    // onnx package's own Min twin gives.
    const int side = c.args.size() > 2 ? 24 : 32, frames = c.args.size() > 2 ? 2 : 1;
    EXPECT_EQ(canvas, side);
    EXPECT_EQ(batch, frames);
    Inputs withLip = inputsOf(*after, true, 5);
    for (std::size_t k = 0; k + 1 < withLip.values.size(); ++k) withLip.values[k] = in.values[k];
    EXPECT_TRUE(runOn(*after, withLip, out) == want) << label;
    args.push_back("--twin");
    args[2] = dir / ("twin_" + name);
    ASSERT_TRUE(tqtest::runFixtureTool(args));
    auto twin = rtest::session(tqtest::readBytes(args[2]), 1, false);
    std::mt19937 rng(9);
    withLip.values.back().data = rtest::randomValues(withLip.values.back().data.size(), 0.0f, 1.0f, rng);
    EXPECT_TRUE(runOn(*after, withLip, out) == runOn(*twin, withLip, out)) << label;
  }
  // The onnx package reads the rewritten models and finds the unnamed Resize's
  // replacement under the documented names.
  const auto models = rtest::dumpModels(dir, rewritten);
  ASSERT_EQ(models.size(), rewritten.size());
  std::string unnamed;
  for (const auto& line : models[unnamedAt]) unnamed += line + "\n";
  for (const char* want : {"node 7 Pad domain= name=/Resize/pad in=g,rz7_pads out=rz7_padout attrs=mode",
                           "node 8 Conv domain= name=/Resize/dwconv in=rz7_padout,rz7_dw_w out=rz7_convout "
                           "attrs=dilations,group,kernel_shape,pads,strides",
                           "node 9 DepthToSpace domain= name=/Resize/d2s in=rz7_convout out=up attrs=blocksize,mode",
                           "init rz7_pads\ninit rz7_dw_w\n"})
    EXPECT_NE(unnamed.find(want), std::string::npos) << want << "\n" << unnamed;
  std::vector<std::string> check = {"check"};
  check.insert(check.end(), rewritten.begin(), rewritten.end());
  EXPECT_TRUE(tqtest::runFixtureTool(check));

  // Taps: a = -0.75 gives mirrored phases, each summing to 1; no graph, no binding.
  double even[4], odd[4];
  tq::hcTaps(0.75, -0.75, even);
  tq::hcTaps(0.25, -0.75, odd);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(even[i], odd[3 - i], 1e-15);
  EXPECT_NEAR(even[0] + even[1] + even[2] + even[3], 1.0, 1e-15);
  Bytes empty;
  std::string reason;
  EXPECT_FALSE(tq::rewriteBindLipContour(empty, reason, nullptr, nullptr));
  EXPECT_EQ(reason, "no graph");
}

}  // namespace

namespace {

// A bundle with a lip template whose director composes through the unified tail
// (batch 2): crops equal the onnx package's Min twin fed the same contour raster.
TEST(Normalise, RendererBindsTheLipContourRaster) {
  tqtest::TempDir tmp;
  const std::string dir = tmp / "bundle", twinPath = tmp / "twin.onnx";
  ASSERT_TRUE(tqtest::runFixtureTool({"identity-bundle", dir, "--nt", "3", "--crop", "32", "--prior", "raw"}));
  const std::string tmpl = R"({"format": "lip-template-v1", "canvas": 32, "feather_px": 2.5,
      "u_canon": [[-1, 0], [-0.4, -0.6], [0.4, -0.6], [1, 0], [0.3, 0.7], [-0.3, 0.7]]})";
  tqtest::writeText(dir + "/lip_template.v1.json", tmpl);
  for (const auto& [out, extra] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {dir + "/model_lip.onnx", {}}, {twinPath, {"--twin"}}, {dir + "/model_plain.onnx", {"--variant", "plain"}},
           {dir + "/model_c24.onnx", {"--crop", "24"}}}) {
    std::vector<std::string> args = {"compose-graph", "--out", out, "--batch", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(tqtest::runFixtureTool(args));
  }
  const tq::Manifest m = tq::loadManifest(dir);
  const tq::Identity id(m);
  // The renderer's GridSample rewrite on the twin too: results then agree bit for bit.
  Bytes twinBytes = tqtest::readBytes(twinPath);
  ASSERT_EQ(tq::rewriteGridSampleToFast(twinBytes), 1u);
  auto twin = rtest::session(twinBytes, 1, true);
  auto contour = tq::tessera::LipContour::fromTemplateJson(tmpl, 32);
  testing::internal::CaptureStderr();
  tq::Renderer r(m, id, "lip", 1, "");
  EXPECT_EQ(tqtest::thrown([&] { tq::Renderer(m, id, "plain", 1, ""); }), "(nothing thrown)");
  EXPECT_EQ(tqtest::thrown([&] { tq::Renderer(m, id, "c24", 1, ""); }),
            "Renderer: the director's compose canvas is 24 and this bundle's manifest declares crop 32 — refusing "
            "to bind a lip contour rasterised on the wrong canvas");
  const std::string log = testing::internal::GetCapturedStderr();
  for (const char* line :
       {"[tq] compose alpha: LIP CONTOUR (lip) — Min(a, lip_delivery) bound at load, 6 verts, feather 2.5 px; the "
        "graph's ellipse is not reachable in this session\n",
        "[tq] !!! lip contour NOT bound to the compose alpha (plain): the graph does not carry the unified compose "
        "tail — this session serves the graph's own ELLIPSE\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line << log;

  const int si[2] = {2, 0};
  const auto ks = rtest::keypoints(2, 3), kd = rtest::keypoints(2, 4);
  for (int n : {2, 1}) {
    // Frames past n repeat frame n - 1, its raster included.
    Inputs in{{"pooled64", "P_rgb", "kp_driving", "kp_source", "lip_delivery"},
              {{{2, 64, 32, 32}, std::vector<float>(2 * 65536)}, {{2, 3, 32, 32}, std::vector<float>(2 * 3072)},
               {{2, 21, 3}, std::vector<float>(126)}, {{2, 21, 3}, std::vector<float>(126)},
               {{2, 1, 32, 32}, std::vector<float>(2 * 1024)}}};
    for (int k = 0; k < 2; ++k) {
      const int f = std::min(k, n - 1);
      tq::halfToFloat(id.pooled64(si[f]), in.values[0].data.data() + k * 65536, 65536);
      tq::halfToFloat(id.P(si[f]), in.values[1].data.data() + k * 3072, 3072);
      std::copy_n(kd.data() + f * 63, 63, in.values[2].data.data() + k * 63);
      std::copy_n(ks.data() + f * 63, 63, in.values[3].data.data() + k * 63);
      contour.contourF32Canvas(kd.data() + f * 63, in.values[4].data.data() + k * 1024);
    }
    const std::vector<float> want = runOn(*twin, in, "rgb");
    const float* got = r.render(si, ks.data(), kd.data(), n);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got)) << n;
    std::fill(in.values[4].data.begin(), in.values[4].data.end(), 1.0f);  // the raster does bound the blend
    EXPECT_FALSE(runOn(*twin, in, "rgb") == want);
  }
}

}  // namespace
