// The load-time rewrite of standard GridSample nodes to com.vexamo::GridSampleFast:
// which nodes qualify, what the rewritten bytes hold (as the onnx package and the
// onnx checker read them, and field by field), that ONNX Runtime computes the same
// from both graphs, and that graphs with nothing to rewrite come back unchanged.
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "render/gridsample_fast.h"
#include "render/gs_wire.h"
#include "graph_test_util.h"
#include "tq_test_util.h"


namespace {

using gstest::Bytes;
using gstest::Tensor;

using gstest::dumpModels;
using gstest::writeFile;

std::vector<tq::GsField> fieldsOf(tq::GsSlice s) {
  std::vector<tq::GsField> out;
  tq::GsReader r(s);
  tq::GsField f;
  while (r.next(f)) out.push_back(f);
  return out;
}

Bytes bytesOf(tq::GsSlice s) { return Bytes(s.data, s.data + s.size); }

std::string nodesJson(const std::vector<std::string>& nodes) {
  std::string j = "[";
  for (std::size_t i = 0; i < nodes.size(); ++i) j += (i ? ", " : "") + nodes[i];
  return j + "]";
}

// The dump line of chain node i rewritten to GridSampleFast.
std::string rewrittenLine(std::size_t i) {
  const std::string in = i == 0 ? "X" : "t" + std::to_string(i - 1);
  const std::string k = std::to_string(i);
  return "node " + k + " GridSampleFast domain=com.vexamo name=gs" + k + " in=" + in + ",grid out=t" + k +
         " attrs= doc=grid sample " + k;
}

TEST(GridSampleRewrite, WhichNodesQualify) {
  const struct {
    const char* node;
    bool qualifies;
  } cases[] = {
      {"{}", true},
      {R"({"mode": "linear"})", true},
      {R"({"align_corners": 0})", true},
      {R"({"align_corners": "bare"})", true},
      {R"({"domain": "ai.onnx"})", true},
      {R"({"extra": {"foo": 3}})", true},
      {R"({"padding_mode": "zeros"})", false},
      {R"({"padding_mode": "reflection"})", false},
      {R"({"padding_mode": null})", false},
      {R"({"padding_mode": "Border"})", false},
      {R"({"mode": "nearest"})", false},
      {R"({"mode": "bicubic"})", false},
      {R"({"mode": "Bilinear"})", false},
      {R"({"mode": null})", false},
      {R"({"mode": null, "padding_mode": null})", false},
      {R"({"align_corners": 1})", false},
      {R"({"domain": "com.other"})", false},
      {R"({"domain": "com.vexamo"})", false},
      {R"({"op": "GridSampleFast"})", false},
      {R"({"op": "Gridsample"})", false},
  };
  std::vector<std::string> nodes;
  std::size_t qualifying = 0;
  for (const auto& c : cases) {
    nodes.push_back(c.node);
    qualifying += c.qualifies;
  }
  tqtest::TempDir dir;
  Bytes model = gstest::fixture(dir, "chain.onnx", {"--no-check", "--nodes", nodesJson(nodes)});
  ASSERT_FALSE(model.empty());
  EXPECT_FALSE(tq::graphHasBakedGridSampleFast(model));
  ASSERT_EQ(tq::rewriteGridSampleToFast(model), qualifying);
  EXPECT_TRUE(tq::graphHasBakedGridSampleFast(model));
  writeFile(dir / "rewritten.onnx", model);
  const auto dumps = dumpModels(dir, {dir / "chain.onnx", dir / "rewritten.onnx"});
  ASSERT_EQ(dumps.size(), 2u);
  std::vector<std::string> want;
  bool imported = false;  // the com.vexamo GridSample case makes the fixture import the domain
  for (const auto& line : dumps[0]) {
    std::size_t node = 0;
    if (std::sscanf(line.c_str(), "node %zu", &node) == 1 && node < std::size(cases) && cases[node].qualifies)
      want.push_back(rewrittenLine(node));
    else
      want.push_back(line);
    imported = imported || line == "opset com.vexamo 1";
  }
  EXPECT_TRUE(imported);
  EXPECT_EQ(dumps[1], want);
}

TEST(GridSampleRewrite, EverythingButTheRewrittenFieldsIsCopiedByteForByte) {
  tqtest::TempDir dir;
  const Bytes original = gstest::fixture(
      dir, "docs.onnx", {"--docs", "--metadata", "--subgraph", "--nodes", R"([{}, {"mode": "nearest"}, {}])"});
  ASSERT_FALSE(original.empty());
  Bytes model = original;
  ASSERT_EQ(tq::rewriteGridSampleToFast(model), 2u);

  const auto before = fieldsOf(tq::GsSlice(original));
  const auto after = fieldsOf(tq::GsSlice(model));
  ASSERT_EQ(after.size(), before.size() + 1);
  bool sawGraph = false;
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (before[i].number != 7) {
      EXPECT_EQ(bytesOf(after[i].raw), bytesOf(before[i].raw)) << "model field " << before[i].number;
      continue;
    }
    sawGraph = true;
    ASSERT_EQ(after[i].number, 7u);
    const auto g0 = fieldsOf(before[i].payload), g1 = fieldsOf(after[i].payload);
    ASSERT_EQ(g1.size(), g0.size());
    std::size_t node = 0;
    for (std::size_t k = 0; k < g0.size(); ++k) {
      const bool rewritten = g0[k].number == 1 && (node == 0 || node == 2);
      if (g0[k].number == 1) ++node;
      if (!rewritten) {
        EXPECT_EQ(bytesOf(g1[k].raw), bytesOf(g0[k].raw)) << "graph field " << k;
        continue;
      }
      // The node's other fields in their order, then op_type and domain.
      std::vector<Bytes> kept;
      for (const auto& f : fieldsOf(g0[k].payload))
        if (f.number != 4 && f.number != 5 && f.number != 7) kept.push_back(bytesOf(f.raw));
      const auto n1 = fieldsOf(g1[k].payload);
      ASSERT_EQ(n1.size(), kept.size() + 2);
      for (std::size_t j = 0; j < kept.size(); ++j) EXPECT_EQ(bytesOf(n1[j].raw), kept[j]);
      EXPECT_EQ(n1[kept.size()].number, 4u);
      EXPECT_EQ(n1[kept.size()].payload.str(), "GridSampleFast");
      EXPECT_EQ(n1[kept.size() + 1].number, 7u);
      EXPECT_EQ(n1[kept.size() + 1].payload.str(), "com.vexamo");
    }
  }
  EXPECT_TRUE(sawGraph);
  // The appended opset_import: field 8 { domain "com.vexamo", version 1 }.
  const Bytes opset = {0x42, 0x0E, 0x0A, 0x0A, 'c', 'o', 'm', '.', 'v', 'e', 'x', 'a', 'm', 'o', 0x10, 0x01};
  EXPECT_EQ(bytesOf(after.back().raw), opset);

  // The onnx package reads the same model back, doc strings, metadata and the
  // GridSample inside the If branch included, and its checker accepts it.
  writeFile(dir / "rewritten.onnx", model);
  EXPECT_TRUE(tqtest::runFixtureTool({"check", dir / "rewritten.onnx"}));
  const auto dumps = dumpModels(dir, {dir / "docs.onnx", dir / "rewritten.onnx"});
  ASSERT_EQ(dumps.size(), 2u);
  std::vector<std::string> want;
  for (const auto& line : dumps[0]) {
    if (line.rfind("node 0 ", 0) == 0)
      want.push_back(rewrittenLine(0));
    else if (line.rfind("node 2 ", 0) == 0)
      want.push_back(rewrittenLine(2));
    else
      want.push_back(line);
    if (line == "opset  17") want.push_back("opset com.vexamo 1");
  }
  EXPECT_EQ(dumps[1], want);
  bool innerKept = false;
  for (const auto& line : dumps[1])
    innerKept = innerKept || line.rfind("subnode then_branch GridSample domain= name=inner_gs", 0) == 0;
  EXPECT_TRUE(innerKept);
}

TEST(GridSampleRewrite, RewrittenGraphsComputeWhatTheOriginalsDo) {
  tqtest::TempDir dir;
  const bool emu = tqtest::underEmulation();
  std::mt19937 rng(17);
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::size_t count;
    bool subgraph;
  } graphs[] = {
      {"mixed.onnx",
       {"--dynamic", "--docs", "--metadata", "--subgraph", "--nodes",
        R"([{}, {"mode": "nearest"}, {"align_corners": 1}, {"padding_mode": "zeros"}, {"mode": null},
            {"align_corners": "bare"}, {"padding_mode": "reflection"}, {}])"},
       3,
       true},
      // "linear" is the opset-20 spelling of bilinear.
      {"linear.onnx", {"--dynamic", "--opset", "20", "--no-check", "--nodes", R"([{"mode": "linear"}])"}, 1, false},
  };
  for (const auto& g : graphs) {
    SCOPED_TRACE(g.name);
    const Bytes original = gstest::fixture(dir, g.name, g.args);
    ASSERT_FALSE(original.empty());
    Bytes model = original;
    ASSERT_EQ(tq::rewriteGridSampleToFast(model), g.count);
    const int N = emu ? 1 : 2, C = emu ? 2 : 5, H = emu ? 6 : 19, W = emu ? 5 : 23;
    const Tensor x{{N, C, H, W}, gstest::randomValues(static_cast<std::size_t>(N) * C * H * W, -1, 1, rng)};
    const Tensor grid{{N, H, W, 2}, gstest::randomGrid(static_cast<std::size_t>(N) * H * W * 2, rng)};
    std::vector<const char*> outputs = {"Y"};
    if (g.subgraph) outputs.push_back("S");
    gstest::Model before(original, 2, false), after(model, 2, true);
    for (const char* out : outputs) {
      const std::vector<float> want = before.run(x, grid, out);
      const std::vector<float> got = after.run(x, grid, out);
      ASSERT_EQ(got.size(), want.size());
      int bad = 0;
      for (std::size_t i = 0; i < got.size() && bad < 10; ++i)
        if (!(std::fabs(got[i] - want[i]) <= 1e-5f)) {
          ADD_FAILURE() << out << "[" << i << "]: rewritten " << got[i] << ", original " << want[i];
          ++bad;
        }
    }
  }
}

TEST(GridSampleRewrite, GraphsWithNothingToRewriteComeBackByteIdentical) {
  tqtest::TempDir dir;
  const struct {
    const char* name;
    std::vector<std::string> args;
  } graphs[] = {
      {"no_mode.onnx", {"--nodes", R"([{"mode": null}, {"mode": null, "align_corners": 0}])"}},
      {"others.onnx",
       {"--docs", "--metadata", "--nodes",
        R"([{"padding_mode": "zeros"}, {"align_corners": 1}, {"domain": "com.other"}, {"mode": "nearest"}])"}},
      {"inner_only.onnx", {"--subgraph", "--nodes", R"([{"mode": "bicubic"}])"}},
      {"baked.onnx",
       {"--nodes", R"([{"op": "GridSampleFast", "domain": "com.vexamo", "mode": null, "padding_mode": null}])"}},
  };
  for (const auto& g : graphs) {
    const Bytes original = gstest::fixture(dir, g.name, g.args);
    ASSERT_FALSE(original.empty()) << g.name;
    Bytes model = original;
    EXPECT_EQ(tq::rewriteGridSampleToFast(model), 0u) << g.name;
    EXPECT_EQ(model, original) << g.name;
  }
  // A rewritten graph has nothing left to rewrite.
  Bytes model = gstest::fixture(dir, "twice.onnx", {"--nodes", "[{}, {}]"});
  ASSERT_EQ(tq::rewriteGridSampleToFast(model), 2u);
  const Bytes once = model;
  EXPECT_EQ(tq::rewriteGridSampleToFast(model), 0u);
  EXPECT_EQ(model, once);
}

TEST(GridSampleRewrite, AnExistingImportOfTheDomainIsNotRepeated) {
  tqtest::TempDir dir;
  const Bytes original = gstest::fixture(dir, "imported.onnx", {"--import-vexamo", "--metadata", "--nodes", "[{}]"});
  ASSERT_FALSE(original.empty());
  Bytes model = original;
  ASSERT_EQ(tq::rewriteGridSampleToFast(model), 1u);
  const auto before = fieldsOf(tq::GsSlice(original));
  const auto after = fieldsOf(tq::GsSlice(model));
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < before.size(); ++i)
    if (before[i].number != 7) {
      EXPECT_EQ(bytesOf(after[i].raw), bytesOf(before[i].raw));
    }
  writeFile(dir / "rewritten.onnx", model);
  EXPECT_TRUE(tqtest::runFixtureTool({"check", dir / "rewritten.onnx"}));
  const auto dumps = dumpModels(dir, {dir / "rewritten.onnx"});
  ASSERT_EQ(dumps.size(), 1u);
  int imports = 0;
  for (const auto& line : dumps[0]) imports += line == "opset com.vexamo 1";
  EXPECT_EQ(imports, 1);
}

TEST(GridSampleRewrite, BakedNodesAreFoundOnlyInTheirDomain) {
  tqtest::TempDir dir;
  const struct {
    const char* name;
    const char* nodes;
    bool baked;
  } cases[] = {
      {"vexamo.onnx", R"([{"mode": "nearest"}, {"op": "GridSampleFast", "domain": "com.vexamo", "mode": null}])", true},
      {"other.onnx", R"([{"op": "GridSampleFast", "domain": "com.other", "mode": null, "padding_mode": null}])", false},
      {"default.onnx", R"([{"op": "GridSampleFast", "mode": null, "padding_mode": null}])", false},
      {"standard.onnx", R"([{}])", false},
  };
  for (const auto& c : cases) {
    const Bytes model = gstest::fixture(dir, c.name, {"--no-check", "--nodes", c.nodes});
    ASSERT_FALSE(model.empty()) << c.name;
    EXPECT_EQ(tq::graphHasBakedGridSampleFast(model), c.baked) << c.name;
  }
  EXPECT_FALSE(tq::graphHasBakedGridSampleFast(Bytes{}));
}

}  // namespace
