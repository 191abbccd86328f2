// GridSampleFast: graphs rewritten onto it against ONNX Runtime's own GridSample,
// the kernel at the edges of the grid, the operator's refusal of grids that do
// not fit, and the rewrite's bytes as the onnx package reads them.
#include "render/gs_wire.h"
#include "render_test_util.h"

namespace {

using rtest::Bytes, rtest::Tensor;

// Random positions, every fifth coordinate an edge value below 2^24 pixels: beyond that ONNX Runtime's
// GridSample loses the pixel grid and is no oracle (PositionsFarOutsideSampleTheBorder covers them).
std::vector<float> randomGrid(std::size_t n, std::mt19937& rng) {
  static const float edge[] = {-1.0f, 1.0f, 5.0f, -5.0f, 1e5f, -1e5f, 0.0f, 1.0f, -1.0f, 2.5f};
  std::vector<float> g = rtest::randomValues(n, -1.3f, 1.3f, rng);
  for (std::size_t i = 0; i < n; i += 5) g[i] = edge[(i / 5) % 10];
  return g;
}

std::vector<float> runGs(Ort::Session& s, const Tensor& x, const Tensor& grid, const char* output = "Y") {
  return rtest::run(s, {"X", "grid"}, {x, grid}, output);
}

TEST(GridSampleFast, RewrittenGraphsComputeWhatOnnxRuntimeComputes) {
  tqtest::TempDir dir;
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::size_t rewritten;
    std::vector<const char*> outputs;
  } graphs[] = {
      {"one.onnx", {"--dynamic", "--nodes", "[{}]"}, 1, {"Y"}},
      {"mixed.onnx",
       {"--dynamic", "--docs", "--metadata", "--subgraph", "--nodes",
        R"([{}, {"mode": "nearest"}, {"align_corners": 1}, {"padding_mode": "zeros"}, {"mode": null},
            {"align_corners": "bare"}, {"padding_mode": "reflection"}, {}])"},
       3, {"Y", "S"}},
      {"linear.onnx", {"--dynamic", "--opset", "20", "--no-check", "--nodes", R"([{"mode": "linear"}])"}, 1, {"Y"}},
  };
  std::vector<std::vector<int64_t>> shapes = {{1, 3, 8, 8}, {2, 2, 17, 5}};
  if (!tqtest::underEmulation()) shapes.insert(shapes.end(), {{2, 4, 35, 33}, {1, 1, 1, 1}, {1, 2, 1, 9}, {1, 2, 9, 1}, {1, 64, 20, 24}});
  std::mt19937 rng(11);
  for (const auto& g : graphs) {
    const Bytes original = rtest::gsGraph(dir, g.name, g.args);
    ASSERT_FALSE(original.empty());
    Bytes model = original;
    ASSERT_EQ(tq::rewriteGridSampleToFast(model), g.rewritten) << g.name;
    const auto before = rtest::session(original, 1, false), after = rtest::session(model, 2, true);
    for (const auto& s : shapes) {
      const Tensor x{s, rtest::randomValues(std::size_t(s[0] * s[1] * s[2] * s[3]), -1, 1, rng)};
      const Tensor grid{{s[0], s[2], s[3], 2}, randomGrid(std::size_t(s[0] * s[2] * s[3] * 2), rng)};
      for (const char* out : g.outputs) {
        const std::vector<float> want = runGs(*before, x, grid, out), got = runGs(*after, x, grid, out);
        ASSERT_EQ(got.size(), want.size());
        EXPECT_LE(rtest::worstDiff(got.data(), want), 1e-5f) << g.name << " " << out << " " << ::testing::PrintToString(s);
      }
    }
  }
}

TEST(GridSampleFast, PositionsFarOutsideSampleTheBorder) {
  const int C = 2, H = 5, W = 7;
  std::mt19937 rng(3);
  const std::vector<float> X = rtest::randomValues(C * H * W, -1, 1, rng);
  // A grid value -> whether it lands on the last column / row (else the first).
  const std::pair<float, bool> edges[] = {{-1.0f, false}, {1.0f, true},   {5.0f, true},   {-5.0f, false},
                                          {1e6f, true},   {-1e6f, false}, {1e30f, true},  {-1e37f, false}};
  for (const auto& [gx, right] : edges)
    for (const auto& [gy, bottom] : edges) {
      std::vector<float> grid(H * W * 2), Y(C * H * W);
      for (int i = 0; i < H * W; ++i) grid[2 * i] = gx, grid[2 * i + 1] = gy;
      tq::gridsample_fast(X.data(), grid.data(), Y.data(), C, H, W);
      const int at = (bottom ? H - 1 : 0) * W + (right ? W - 1 : 0);
      for (int i = 0; i < C * H * W; ++i)
        ASSERT_NEAR(Y[i], X[i / (H * W) * H * W + at], 1e-6f) << "gx " << gx << " gy " << gy;
    }
  // Non-finite and int-overflowing positions stay inside the (exactly sized) input.
  for (const float g : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity(), 3e38f, -3e38f, 2147483648.0f, -2147483904.0f}) {
    std::vector<float> grid(H * W * 2, g), Y(C * H * W);
    for (int i = 1; i < H * W * 2; i += 4) grid[i] = 0.3f;
    tq::gridsample_fast(X.data(), grid.data(), Y.data(), C, H, W);
    for (float y : Y) ASSERT_TRUE(std::isnan(y) || std::fabs(y) <= 1.0f) << g;
  }
}

TEST(GridSampleFast, TheOperatorRefusesGridsThatDoNotFitTheInput) {
  tqtest::TempDir dir;
  const Bytes baked = rtest::gsGraph(dir, "free.onnx", {"--free-shapes", "--no-check", "--nodes", rtest::kBakedNode});
  ASSERT_FALSE(baked.empty());
  const auto misfit = [](const char* g, const char* x, const char* need) {
    return std::string("com.vexamo::GridSampleFast: grid ") + g + " does not fit X " + x +
           ": this operator samples a grid of the input's own spatial size and needs grid " + need;
  };
  const struct {
    std::vector<int64_t> x, g;
    std::string message;  // empty: runs
  } cases[] = {
      {{1, 3, 8, 8}, {1, 4, 4, 2}, misfit("[1, 4, 4, 2]", "[1, 3, 8, 8]", "[1, 8, 8, 2]")},
      {{1, 3, 8, 8}, {1, 8, 8, 3}, misfit("[1, 8, 8, 3]", "[1, 3, 8, 8]", "[1, 8, 8, 2]")},
      {{2, 3, 8, 8}, {1, 8, 8, 2}, misfit("[1, 8, 8, 2]", "[2, 3, 8, 8]", "[2, 8, 8, 2]")},
      {{1, 3, 8, 8}, {8, 8, 2}, misfit("[8, 8, 2]", "[1, 3, 8, 8]", "[1, 8, 8, 2]")},
      {{3, 8, 8}, {8, 8, 2}, "com.vexamo::GridSampleFast: X must be [N, C, H, W], got [3, 8, 8]"},
      {{0, 3, 8, 8}, {0, 8, 8, 2}, ""},  // empty tensors: nothing to sample
  };
  const auto session = rtest::session(baked, 1, true);
  std::mt19937 rng(4);
  const auto values = [&](const std::vector<int64_t>& shape) {
    int64_t n = 1;
    for (auto d : shape) n *= d;
    return rtest::randomValues(std::size_t(n), -1, 1, rng);
  };
  for (const auto& c : cases) {
    const std::string what = tqtest::thrown([&] { runGs(*session, {c.x, values(c.x)}, {c.g, values(c.g)}); });
    EXPECT_NE(what.find(c.message.empty() ? "(nothing thrown)" : c.message), std::string::npos) << what;
  }
}

// The dump line of chain node i rewritten to GridSampleFast.
std::string rewrittenLine(std::size_t i) {
  const std::string k = std::to_string(i), in = i == 0 ? "X" : "t" + std::to_string(i - 1);
  return "node " + k + " GridSampleFast domain=com.vexamo name=gs" + k + " in=" + in + ",grid out=t" + k +
         " attrs= doc=grid sample " + k;
}

TEST(GridSampleRewrite, WhichNodesQualifyAsTheOnnxPackageReadsTheResult) {
  const std::pair<const char*, bool> cases[] = {
      {"{}", true}, {R"({"mode": "linear"})", true}, {R"({"align_corners": 0})", true},
      {R"({"align_corners": "bare"})", true}, {R"({"domain": "ai.onnx"})", true}, {R"({"extra": {"foo": 3}})", true},
      {R"({"padding_mode": "zeros"})", false}, {R"({"padding_mode": null})", false},
      {R"({"padding_mode": "Border"})", false}, {R"({"mode": "nearest"})", false},
      {R"({"mode": "Bilinear"})", false}, {R"({"mode": null})", false}, {R"({"align_corners": 1})", false},
      {R"({"domain": "com.other"})", false}, {R"({"domain": "com.vexamo"})", false},
      {R"({"op": "GridSampleFast"})", false}, {R"({"op": "Gridsample"})", false},
  };
  std::string nodes = "[";
  std::size_t qualifying = 0;
  for (const auto& [node, qualifies] : cases) {
    nodes += std::string(nodes.size() > 1 ? ", " : "") + node;
    qualifying += qualifies;
  }
  tqtest::TempDir dir;
  Bytes model = rtest::gsGraph(dir, "chain.onnx", {"--no-check", "--nodes", nodes + "]"});
  ASSERT_FALSE(model.empty());
  EXPECT_FALSE(tq::graphHasBakedGridSampleFast(model));
  ASSERT_EQ(tq::rewriteGridSampleToFast(model), qualifying);
  EXPECT_TRUE(tq::graphHasBakedGridSampleFast(model));
  rtest::writeFile(dir / "rewritten.onnx", model);
  const auto dumps = rtest::dumpModels(dir, {dir / "chain.onnx", dir / "rewritten.onnx"});
  ASSERT_EQ(dumps.size(), 2u);
  std::vector<std::string> want;
  for (const auto& line : dumps[0]) {
    std::size_t node = 0;
    const bool rewritten = std::sscanf(line.c_str(), "node %zu", &node) == 1 && node < std::size(cases) &&
                           cases[node].second;
    want.push_back(rewritten ? rewrittenLine(node) : line);
  }
  EXPECT_EQ(dumps[1], want);  // the com.vexamo GridSample case already imports the domain
}

// Every model field but the graph is copied byte for byte, the graph's other
// fields and nodes too (doc strings, metadata, the GridSample inside an If
// branch), and the domain is imported once.
TEST(GridSampleRewrite, EverythingElseIsKeptAndTheDomainImportedOnce) {
  tqtest::TempDir dir;
  for (const bool imported : {false, true}) {
    const std::string name = imported ? "imported.onnx" : "docs.onnx";
    std::vector<std::string> args = {"--docs", "--metadata", "--subgraph", "--nodes", R"([{}, {"mode": "nearest"}, {}])"};
    if (imported) args.push_back("--import-vexamo");
    const Bytes original = rtest::gsGraph(dir, name, args);
    ASSERT_FALSE(original.empty());
    Bytes model = original;
    ASSERT_EQ(tq::rewriteGridSampleToFast(model), 2u);
    const auto fieldsButGraph = [](const Bytes& m) {
      std::vector<Bytes> fields;
      tq::GsReader r(m.data(), m.size());
      for (tq::GsField f; r.next(f);)
        if (f.number != 7) fields.emplace_back(f.raw.data, f.raw.data + f.raw.size);
      return fields;
    };
    std::vector<Bytes> before = fieldsButGraph(original), after = fieldsButGraph(model);
    if (!imported) before.push_back(after.back());  // the appended import, read back below
    EXPECT_EQ(after, before) << name;
    const std::string out = dir / ("rewritten_" + name);
    rtest::writeFile(out, model);
    EXPECT_TRUE(tqtest::runFixtureTool({"check", out}));
    const auto dumps = rtest::dumpModels(dir, {dir / name, out});
    ASSERT_EQ(dumps.size(), 2u);
    std::vector<std::string> want;
    for (const auto& line : dumps[0]) {
      const bool rewritten = line.rfind("node 0 ", 0) == 0 || line.rfind("node 2 ", 0) == 0;
      want.push_back(rewritten ? rewrittenLine(line[5] - '0') : line);
      if (line == "opset  17" && !imported) want.push_back("opset com.vexamo 1");
    }
    EXPECT_EQ(dumps[1], want) << name;
  }
}

// Graphs with nothing to rewrite come back byte-identical; baked nodes are found
// only in their own domain.
TEST(GridSampleRewrite, GraphsWithNothingToRewriteComeBackByteIdentical) {
  tqtest::TempDir dir;
  const std::pair<std::vector<std::string>, bool> graphs[] = {
      {{"--nodes", R"([{"mode": null}, {"mode": null, "align_corners": 0}])"}, false},
      {{"--docs", "--metadata", "--nodes",
        R"([{"padding_mode": "zeros"}, {"align_corners": 1}, {"domain": "com.other"}, {"mode": "nearest"}])"}, false},
      {{"--subgraph", "--nodes", R"([{"mode": "bicubic"}])"}, false},
      {{"--nodes", rtest::kBakedNode}, true},
      {{"--no-check", "--nodes", R"([{"mode": "nearest"}, {"op": "GridSampleFast", "domain": "com.vexamo"}])"}, true},
      {{"--no-check", "--nodes", R"([{"op": "GridSampleFast", "domain": "com.other", "mode": null}])"}, false},
      {{"--no-check", "--nodes", R"([{"op": "GridSampleFast", "mode": null, "padding_mode": null}])"}, false},
  };
  for (const auto& [args, baked] : graphs) {
    const Bytes original = rtest::gsGraph(dir, "g.onnx", args);
    ASSERT_FALSE(original.empty());
    Bytes model = original;
    EXPECT_EQ(tq::graphHasBakedGridSampleFast(model), baked) << args.back();
    EXPECT_EQ(tq::rewriteGridSampleToFast(model), 0u) << args.back();
    EXPECT_EQ(model, original) << args.back();
  }
}

}  // namespace
