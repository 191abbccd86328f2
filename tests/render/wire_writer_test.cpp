// Writing ONNX model bytes: the field writers against the protobuf encoding, a
// model written from scratch that ONNX Runtime runs and the onnx checker accepts,
// and gsRebuild's edits as the onnx package reads them back.
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "render/gs_wire.h"
#include "render/tq_ort.h"
#include "graph_test_util.h"
#include "tq_test_util.h"

namespace {

using gstest::Bytes;
using gstest::dumpModels;
using gstest::writeFile;

// The bytes of `model` that follow its graph field.
Bytes afterGraph(const Bytes& model) {
  tq::GsReader r(model.data(), model.size());
  tq::GsField f;
  while (r.next(f))
    if (f.number == 7) return Bytes(f.raw.data + f.raw.size, model.data() + model.size());
  return Bytes();
}

TEST(WireWrite, VarintsAndLengthDelimitedFields) {
  const struct {
    uint64_t value;
    Bytes bytes;
  } cases[] = {{0, {0x00}},
               {1, {0x01}},
               {127, {0x7F}},
               {128, {0x80, 0x01}},
               {300, {0xAC, 0x02}},
               {16384, {0x80, 0x80, 0x01}},
               {0xFFFFFFFFull, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
               {static_cast<uint64_t>(int64_t{-1}), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}}};
  for (const auto& c : cases) {
    Bytes out = {0xEE};
    tq::gsPutVarint(out, c.value);
    Bytes want = {0xEE};
    want.insert(want.end(), c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(out, want) << c.value;
    // and back through the reader as the value of field 1
    Bytes field = {0x08};
    field.insert(field.end(), c.bytes.begin(), c.bytes.end());
    tq::GsReader r(field.data(), field.size());
    tq::GsField f;
    ASSERT_TRUE(r.next(f));
    EXPECT_EQ(f.value, c.value);
  }
  Bytes out;
  tq::gsPutBytes(out, 3, std::string("ab"));
  tq::gsPutBytes(out, 7, std::string());
  tq::gsPutBytes(out, 20, "xyz", 3);
  EXPECT_EQ(out, (Bytes{0x1A, 0x02, 'a', 'b', 0x3A, 0x00, 0xA2, 0x01, 0x03, 'x', 'y', 'z'}));
  Bytes copy = {0x01};
  tq::gsPutRaw(copy, tq::GsSlice(out.data() + 6, 6));
  tq::gsPutRaw(copy, tq::GsSlice());
  EXPECT_EQ(copy, (Bytes{0x01, 0xA2, 0x01, 0x03, 'x', 'y', 'z'}));
}

// Transpose (perm via hcAttrIs) -> Gather (axis via hcAttrI, indices via hcInit)
// -> Pad (mode via hcAttrS, pads via hcInit), with graph input and output written
// by gsPutTensorValueInfo: ONNX Runtime runs it and the onnx checker accepts it.
TEST(WireWrite, AModelWrittenFromScratchRunsInOnnxRuntime) {
  Bytes graph;
  Bytes attrs;
  const int64_t perm[] = {1, 0};
  tq::hcAttrIs(attrs, "perm", perm, 2);
  tq::hcNode(graph, "Transpose", {"x"}, "t", "transpose", attrs);
  attrs.clear();
  tq::hcAttrI(attrs, "axis", 1);
  tq::hcNode(graph, "Gather", {"t", "idx"}, "g", "gather", attrs);
  attrs.clear();
  tq::hcAttrS(attrs, "mode", "edge");
  tq::hcNode(graph, "Pad", {"g", "pads"}, "y", "pad", attrs);
  tq::gsPutBytes(graph, 2, std::string("scratch"));  // GraphProto.name
  const int64_t idx[] = {1, 0};
  tq::hcInit(graph, "idx", 7, {2}, idx, sizeof idx);
  const int64_t pads[] = {0, 1, 0, 0};
  tq::hcInit(graph, "pads", 7, {4}, pads, sizeof pads);
  const int64_t xdims[] = {2, 3};
  tq::gsPutTensorValueInfo(graph, 11, "x", xdims, 2);
  tq::gsPutTensorValueInfo(graph, 12, "y", nullptr, 2);

  Bytes model;
  model.push_back(0x08);  // ir_version 8
  tq::gsPutVarint(model, 8);
  Bytes opset;
  tq::gsPutBytes(opset, 1, std::string());
  opset.push_back(0x10);  // version 17
  tq::gsPutVarint(opset, 17);
  tq::gsPutBytes(model, 8, opset.data(), opset.size());
  tq::gsPutBytes(model, 7, graph.data(), graph.size());

  tqtest::TempDir dir;
  const std::string path = dir / "scratch.onnx";
  writeFile(path, model);
  EXPECT_TRUE(tqtest::runFixtureTool({"check", path}));
  const auto dump = dumpModels(dir, {path});
  ASSERT_EQ(dump.size(), 1u);
  const std::vector<std::string> want = {
      "ir 8",
      "opset  17",
      "doc model ",
      "doc graph ",
      "input x [2,3]",
      "output y [$tq_hoist_d0,$tq_hoist_d1]",
      "init idx",
      "init pads",
      "node 0 Transpose domain= name=transpose in=x out=t attrs=perm doc=",
      "node 1 Gather domain= name=gather in=t,idx out=g attrs=axis doc=",
      "node 2 Pad domain= name=pad in=g,pads out=y attrs=mode doc=",
  };
  EXPECT_EQ(dump[0], want);

  Ort::Env& env = tq::ortEnv();
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  Ort::Session session(env, model.data(), model.size(), so);
  float x[6] = {1, 2, 3, 4, 5, 6};
  const int64_t shape[2] = {2, 3};
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, x, 6, shape, 2);
  const char* inNames[] = {"x"};
  const char* outNames[] = {"y"};
  auto out = session.Run(Ort::RunOptions{nullptr}, inNames, &in, 1, outNames, 1);
  EXPECT_EQ(out[0].GetTensorTypeAndShapeInfo().GetShape(), (std::vector<int64_t>{3, 3}));
  const float* y = out[0].GetTensorData<float>();
  // transpose [[1,4],[2,5],[3,6]], gather columns (1, 0), pad one column at the left with edge values
  const float want_y[9] = {4, 4, 1, 5, 5, 2, 6, 6, 3};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(y[i], want_y[i]) << i;
}

class WireRebuild : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tqtest::runFixtureTool({"wire-graph", "--out", dir_ / "wire.onnx"}));
    model_ = tqtest::readBytes(dir_ / "wire.onnx");
    ASSERT_FALSE(model_.empty());
  }
  tqtest::TempDir dir_;
  Bytes model_;
};

TEST_F(WireRebuild, AnEmptyEditReproducesTheModelExactly) {
  Bytes out = {1, 2, 3};
  tq::gsRebuild(model_, tq::GsGraphEdit{}, out);
  EXPECT_EQ(out, model_);
  // dropNode entries that are all clear, or beyond the node count, change nothing.
  tq::GsGraphEdit keep;
  keep.dropNode = {false, false, false, false, false, false, false};
  tq::gsRebuild(model_, keep, out);
  EXPECT_EQ(out, model_);
  // Rebuilding in place works as well.
  Bytes same = model_;
  tq::gsRebuild(same, tq::GsGraphEdit{}, same);
  EXPECT_EQ(same, model_);
}

TEST_F(WireRebuild, EditsAsTheOnnxPackageReadsThem) {
  const int64_t hoist[] = {1, -1, 64, 64};
  struct Case {
    const char* what;
    tq::GsGraphEdit edit;
    std::vector<std::string> removed;  // lines of the original dump that go
    std::vector<std::string> added;    // lines that come, in dump order after the kept ones of their kind
  };
  auto edit = [](auto fn) {
    tq::GsGraphEdit e;
    fn(e);
    return e;
  };
  const std::vector<Case> cases = {
      {"drop node 1 and 3",
       edit([](tq::GsGraphEdit& e) { e.dropNode = {false, true, false, true}; }),
       {"node 1 Add domain= name=add_h in=x,w_raw out=h attrs= doc=node doc",
        "node 2 Resize domain= name=resize_r in=P_rgb,,scales out=r attrs=mode doc=",
        "node 3 Mul domain= name=mul_out in=h,w_list out=out attrs= doc="},
       {"node 1 Resize domain= name=resize_r in=P_rgb,,scales out=r attrs=mode doc="}},
      {"only P_rgb", edit([](tq::GsGraphEdit& e) { e.onlyPrgbInput = true; }),
       {"input x [2,2]", "input lonely [$B,5]"}, {}},
      {"only P_rgb, and drop it",
       edit([](tq::GsGraphEdit& e) { e.onlyPrgbInput = e.dropPrgbInput = true; }),
       {"input x [2,2]", "input P_rgb [1,3,$S,8]", "input lonely [$B,5]"}, {}},
      {"drop P_rgb", edit([](tq::GsGraphEdit& e) { e.dropPrgbInput = true; }), {"input P_rgb [1,3,$S,8]"}, {}},
      {"drop outputs", edit([](tq::GsGraphEdit& e) { e.dropOutputs = true; }),
       {"output out [2,2]", "output r [1,3,$S2,16]"}, {}},
      {"h becomes a graph input",
       edit([&](tq::GsGraphEdit& e) {
         e.newValueName = "h";
         e.newValueDims = hoist;
         e.newValueRank = 4;
         e.newValueField = 11;
       }),
       {"value_info h [2,2]"},
       {"input h [1,$tq_hoist_d1,64,64]"}},
      {"k becomes a graph output with symbolic dims",
       edit([](tq::GsGraphEdit& e) {
         e.newValueName = "k";
         e.newValueRank = 2;
         e.newValueField = 12;
       }),
       {"value_info k [3]"},
       {"output k [$tq_hoist_d0,$tq_hoist_d1]"}},
      {"a new value name without a field only drops its value_info",
       edit([](tq::GsGraphEdit& e) {
         e.newValueName = "h";
         e.newValueField = 0;
       }),
       {"value_info h [2,2]"},
       {}},
  };
  std::vector<std::string> paths = {dir_ / "wire.onnx"};
  std::vector<Bytes> rebuilt;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Bytes out;
    tq::gsRebuild(model_, cases[i].edit, out);
    paths.push_back(dir_ / ("edit" + std::to_string(i) + ".onnx"));
    writeFile(paths.back(), out);
    // Non-graph fields after the graph (opset_import, metadata_props) come through byte for byte.
    EXPECT_EQ(afterGraph(out), afterGraph(model_)) << cases[i].what;
    EXPECT_FALSE(afterGraph(model_).empty());
  }
  const auto dumps = dumpModels(dir_, paths);
  ASSERT_EQ(dumps.size(), paths.size());
  const std::vector<std::string>& base = dumps[0];
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    std::vector<std::string> want;
    for (const auto& line : base) {
      bool gone = false;
      for (const auto& r : cases[i].removed) gone = gone || line == r;
      if (!gone) want.push_back(line);
    }
    // Each added line goes after the last kept line of its kind ("input", "output", "node").
    for (const auto& add : cases[i].added) {
      const std::string kind = add.substr(0, add.find(' '));
      std::size_t at = want.size();
      for (std::size_t k = 0; k < want.size(); ++k)
        if (want[k].compare(0, kind.size() + 1, kind + " ") == 0) at = k + 1;
      want.insert(want.begin() + static_cast<std::ptrdiff_t>(at), add);
    }
    EXPECT_EQ(dumps[i + 1], want);
  }
}

}  // namespace
