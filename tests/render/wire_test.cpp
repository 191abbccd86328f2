// ONNX model bytes: field decoding and its refusals through every entry point,
// the read helpers on models written by the onnx package, the fp16 engine's
// reader, truncated and corrupted models, and written models as ONNX Runtime and
// the onnx package read them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/gs_wire.h"
#include "render/onnx_pb.h"
#include "render_test_util.h"

namespace {

using rtest::Bytes;
using tqtest::thrown;

TEST(WireDecode, FieldsOfEveryWireTypeWithTheirExtents) {
  const Bytes b = {0x08, 0x96, 0x01,                                                     // 1: varint 150
                   0x11, 1, 2, 3, 4, 5, 6, 7, 8,                                         // 2: fixed64
                   0x1A, 0x03, 'a', 'b', 'c',                                            // 3: "abc"
                   0x25, 9, 9, 9, 9,                                                     // 4: fixed32
                   0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01,     // 5: 2^64 - 1
                   0xA0, 0x01, 0x02,                                                     // 20: varint 2
                   0x3A, 0x00};                                                          // 7: ""
  const struct {
    uint32_t number, wire;
    std::size_t start, size;
    uint64_t value;
  } want[] = {{1, 0, 0, 3, 150}, {2, 1, 3, 9, 0}, {3, 2, 12, 5, 0}, {4, 5, 17, 5, 0},
              {5, 0, 22, 11, UINT64_MAX}, {20, 0, 33, 3, 2}, {7, 2, 36, 2, 0}};
  tq::GsReader gs(b.data(), b.size());
  tq::PbReader pb(b.data(), b.size());
  tq::GsField f;
  tq::PbField p;
  for (const auto& w : want) {
    ASSERT_TRUE(gs.next(f) && pb.next(p));
    EXPECT_EQ(f.number, w.number);
    EXPECT_EQ(f.wire, w.wire);
    EXPECT_EQ(f.value, w.value);
    EXPECT_EQ(f.raw.data, b.data() + w.start);
    EXPECT_EQ(f.raw.size, w.size);
    EXPECT_EQ(p.number, w.number);
    EXPECT_EQ(p.value, w.value);
    if (w.wire != 0) EXPECT_EQ(p.data + p.size, b.data() + w.start + w.size) << w.number;
  }
  EXPECT_FALSE(gs.next(f) || pb.next(p));
}

TEST(WireDecode, MalformedBytesAreRefusedWithTheExactTextEverywhere) {
  const struct {
    Bytes bytes;
    const char* message;
  } cases[] = {
      {{0x80}, "onnx: bad varint"},                                                              // tag cut
      {{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, "onnx: bad varint"},  // 11 bytes
      {{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "onnx: bad varint"},  // 10, cut
      {{0x08, 0x96}, "onnx: bad varint"},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, "onnx: bad varint"},  // 11-byte tag
      {{0x3A, 0x80}, "onnx: bad varint"},                                                        // length cut
      {{0x3A, 0x03, 0x08, 0x01}, "onnx: truncated"},                                             // one past the end
      {{0x3A, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, "onnx: truncated"},   // 2^63
      {{0x3A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, "onnx: truncated"},   // 2^64 - 1
      {{0x09, 1, 2, 3, 4, 5, 6, 7}, "onnx: truncated"},
      {{0x0D, 1, 2, 3}, "onnx: truncated"},
      {{0x0B, 0x08, 0x01, 0x0C}, "onnx: bad wire type"},  // groups
      {{0x0C}, "onnx: bad wire type"},
      {{0x0E, 0x00}, "onnx: bad wire type"},
      {{0x3F}, "onnx: bad wire type"},
      {{0x08, 0x01, 0x3B}, "onnx: bad wire type"},  // a good field first
  };
  tqtest::TempDir dir;
  for (const auto& c : cases) {
    // Exactly sized heap copies (an over-read is an AddressSanitizer error), at
    // the top level and nested as the graph of a model.
    Bytes nested;
    tq::gsPutBytes(nested, 7, c.bytes.data(), c.bytes.size());
    for (const Bytes& b : {c.bytes, nested}) {
      SCOPED_TRACE(::testing::PrintToString(b));
      const bool top = b == c.bytes;
      if (top) {
        EXPECT_EQ(thrown([&] { tq::GsReader r(b.data(), b.size()); for (tq::GsField f; r.next(f);) {} }), c.message);
        EXPECT_EQ(thrown([&] { tq::PbReader r(b.data(), b.size()); for (tq::PbField f; r.next(f);) {} }), c.message);
      } else {
        std::vector<tq::GsNodeInfo> nodes;
        std::vector<std::string> inits, inputs;
        EXPECT_EQ(thrown([&] { tq::gsReadGraph(tq::gsGraphOf(b), nodes, inits, inputs); }), c.message);
      }
      Bytes model = b, out;
      EXPECT_EQ(thrown([&] { tq::rewriteGridSampleToFast(model); }), c.message);
      EXPECT_EQ(model, b);
      EXPECT_EQ(thrown([&] { tq::graphHasBakedGridSampleFast(b); }), c.message);
      EXPECT_EQ(thrown([&] { tq::gsRebuild(b, tq::GsGraphEdit{}, out); }), c.message);
      rtest::writeFile(dir / "bad.onnx", b);
      EXPECT_EQ(thrown([&] { tq::loadOnnx(dir / "bad.onnx"); }), c.message);
    }
  }
}

// ---------------------------------------------------------------- models written by the onnx package

class WireModel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    ASSERT_TRUE(tqtest::runFixtureTool({"wire-graph", "--out", *dir_ / "wire.onnx"}));
    ASSERT_TRUE(tqtest::runFixtureTool({"conv-weights", "--out", *dir_ / "weights.onnx"}));
    model_ = new Bytes(tqtest::readBytes(*dir_ / "wire.onnx"));
  }
  static void TearDownTestSuite() {
    delete model_;
    delete dir_;
  }
  static tq::GsSlice graph() { return tq::gsGraphOf(*model_); }
  static tqtest::TempDir* dir_;
  static Bytes* model_;
};
tqtest::TempDir* WireModel::dir_ = nullptr;
Bytes* WireModel::model_ = nullptr;

TEST_F(WireModel, GraphNodesTensorsAndInputs) {
  EXPECT_EQ(tq::gsFirstStr(graph(), 2), "wire");  // GraphProto.name
  EXPECT_EQ(tq::gsFirstStr(tq::GsSlice(*model_), 6), "model doc");
  EXPECT_EQ(tq::gsFirstStr(graph(), 999), "");
  std::vector<tq::GsNodeInfo> nodes;
  std::vector<std::string> inits = {"stale"}, inputs = {"stale"};
  tq::gsReadGraph(graph(), nodes, inits, inputs);
  EXPECT_EQ(inits, (std::vector<std::string>{"w_raw", "w_list", "idx", "scales"}));
  EXPECT_EQ(inputs, (std::vector<std::string>{"x", "P_rgb", "lonely"}));
  ASSERT_EQ(nodes.size(), 4u);
  const struct {
    const char *op, *name;
    std::vector<std::string> in, out;
  } want[] = {{"Constant", "const_k", {}, {"k"}},
              {"Add", "add_h", {"x", "w_raw"}, {"h"}},
              {"Resize", "resize_r", {"P_rgb", "", "scales"}, {"r"}},
              {"Mul", "mul_out", {"h", "w_list"}, {"out"}}};
  std::vector<std::string> all = {"before"};  // gsAllStr appends
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(nodes[i].opType, want[i].op);
    EXPECT_EQ(nodes[i].inputs, want[i].in) << want[i].op;
    EXPECT_EQ(nodes[i].outputs, want[i].out) << want[i].op;
    EXPECT_EQ(tq::gsFirstStr(nodes[i].bytes, 3), want[i].name);
    tq::gsAllStr(nodes[i].bytes, 2, all);
  }
  EXPECT_EQ(all, (std::vector<std::string>{"before", "k", "h", "r", "out"}));
  EXPECT_EQ(tq::gsFirstStr(tq::hcPayload(graph()), 3), "const_k");  // the graph's first field
  EXPECT_TRUE(tq::hcPayload(tq::GsSlice(Bytes{0x08, 0x01, 0x12, 0x01, 'a'})).empty());

  // Tensors: raw_data, float_data (packed by the onnx package), INT64, a Constant's value.
  std::vector<tq::GsSlice> tensors;
  tq::GsReader r(graph());
  for (tq::GsField f; r.next(f);)
    if (f.number == 5) tensors.push_back(f.payload);
  tensors.push_back(tq::hcConstValue(nodes[0].bytes));
  const struct {
    bool isFloat;
    std::vector<float> values;
    std::vector<int64_t> dims;
  } tw[] = {{true, {1, 2, 3, 4}, {2, 2}}, {true, {0.5f, -1.0f}, {2, 1}}, {false, {}, {2}},
            {true, {1, 1, 2, 2}, {4}},    {true, {0.5f, -2.0f, 3.25f}, {3}}};
  ASSERT_EQ(tensors.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    std::vector<float> v = {42.0f};
    std::vector<int64_t> d = {42};
    EXPECT_EQ(tq::hcTensorFloats(tensors[i], v), tw[i].isFloat) << i;
    if (tw[i].isFloat) EXPECT_EQ(v, tw[i].values) << i;
    tq::hcTensorDims(tensors[i], d);
    EXPECT_EQ(d, tw[i].dims) << i;
  }
  EXPECT_TRUE(tq::hcConstValue(nodes[1].bytes).empty());  // no attribute
  EXPECT_TRUE(tq::hcConstValue(nodes[2].bytes).empty());  // an attribute, not "value"

  const struct {
    const char* name;
    int64_t first, last, count;
  } dims[] = {{"P_rgb", 1, 8, 4}, {"lonely", 0, 5, 2}, {"x", 2, 2, 2}, {"absent", 0, 0, 0}, {"out", 0, 0, 0}};
  for (const auto& c : dims) {
    int64_t first = -7, last = -7, count = -7;
    tq::ldInputDims(graph(), c.name, first, last, count);
    EXPECT_EQ(std::vector<int64_t>({first, last, count}), std::vector<int64_t>({c.first, c.last, c.count})) << c.name;
  }
  Bytes noGraph = {0x08, 0x08, 0x38, 0x05};  // ir_version 8, field 7 as a varint
  EXPECT_TRUE(tq::gsGraphOf(noGraph).empty());
  EXPECT_EQ(tq::rewriteGridSampleToFast(noGraph), 0u);
  EXPECT_FALSE(tq::graphHasBakedGridSampleFast(noGraph));
}

// Encodings the onnx package does not write: unpacked float_data and packed dims,
// raw_data beside float_data, raw bytes that are no whole number of floats.
TEST(WireTensors, HandWrittenTensorEncodings) {
  auto f32 = [](float v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);  // the tests run little-endian
    return b;
  };
  auto tensor = [&](int type, const std::vector<float>& unpacked, const Bytes& raw) {
    Bytes t = {0x0A, 0x03, 0x02, 0xAC, 0x02};  // dims 2, 300, packed
    for (float v : unpacked) {
      t.push_back(0x25);  // field 4, wire type 5
      const Bytes b = f32(v);
      t.insert(t.end(), b.begin(), b.end());
    }
    t.push_back(0x10);  // data_type after the data
    tq::gsPutVarint(t, type);
    if (!raw.empty()) tq::gsPutBytes(t, 9, raw.data(), raw.size());
    return t;
  };
  Bytes seven = f32(-6.5f);
  seven.insert(seven.end(), {1, 2, 3});
  const struct {
    Bytes t;
    bool ok;
    std::vector<float> values;
  } cases[] = {{tensor(1, {}, seven), true, {-6.5f}},
               {tensor(1, {0.75f, -3.0f}, {}), true, {0.75f, -3.0f}},
               {tensor(1, {0.75f}, f32(9.0f)), true, {9.0f}},
               {tensor(7, {}, f32(9.0f)), false, {9.0f}},
               {tensor(1, {}, {}), false, {}}};
  for (const auto& c : cases) {
    std::vector<float> v = {123.0f};
    std::vector<int64_t> dims;
    EXPECT_EQ(tq::hcTensorFloats(tq::GsSlice(c.t), v), c.ok) << ::testing::PrintToString(c.t);
    EXPECT_EQ(v, c.values);
    tq::hcTensorDims(tq::GsSlice(c.t), dims);
    EXPECT_EQ(dims, (std::vector<int64_t>{2, 300}));
  }
}

// Every prefix of a real model, and seeded byte corruptions of it, either read or
// are refused with one of the three texts: never an out-of-bounds read.
TEST_F(WireModel, TruncatedAndCorruptedModelsStayInBounds) {
  auto acceptable = [](const std::string& m) {
    return m == "read" || m == "onnx: bad varint" || m == "onnx: truncated" || m == "onnx: bad wire type";
  };
  auto exercise = [&](const Bytes& b) {
    const std::string msg = thrown([&] {
      std::vector<tq::GsNodeInfo> nodes;
      std::vector<std::string> inits, inputs;
      tq::gsReadGraph(tq::gsGraphOf(b), nodes, inits, inputs);
      std::vector<float> v;
      std::vector<int64_t> d;
      for (const auto& n : nodes) tq::hcTensorFloats(tq::hcConstValue(n.bytes), v), tq::hcTensorDims(tq::hcConstValue(n.bytes), d);
      int64_t a, z, c;
      tq::ldInputDims(tq::gsGraphOf(b), "P_rgb", a, z, c);
      Bytes m = b, out;
      tq::rewriteGridSampleToFast(m);
      tq::gsRebuild(b, tq::GsGraphEdit{}, out);
      throw std::runtime_error("read");
    });
    EXPECT_TRUE(acceptable(msg)) << msg;
  };
  const Bytes& full = *model_;
  for (std::size_t n = 0; n < full.size(); ++n) exercise(Bytes(full.begin(), full.begin() + n));
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    Bytes b = full;
    for (int k = 0; k < 3; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    exercise(b);
  }
  // The fp16 engine's file reader on every 5th prefix of a model of float initializers.
  const Bytes weights = tqtest::readBytes(*dir_ / "weights.onnx");
  for (std::size_t n = 0; n < weights.size(); n += 5) {
    rtest::writeFile(*dir_ / "cut.onnx", Bytes(weights.begin(), weights.begin() + n));
    const std::string msg = thrown([&] { tq::loadOnnx(*dir_ / "cut.onnx"), throw std::runtime_error("read"); });
    EXPECT_TRUE(acceptable(msg) || msg.rfind("onnx: ", 0) == 0) << msg;
  }
}

TEST_F(WireModel, LoadOnnxReadsFloatInitializersAndInputsOrRefuses) {
  const tq::OnnxModel m = tq::loadOnnx(*dir_ / "weights.onnx");
  ASSERT_EQ(m.initializers.size(), 3u);
  EXPECT_EQ(m.initializers[0].name, "w");
  EXPECT_EQ(m.initializers[0].dims, (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(m.initializers[0].values, (std::vector<float>{1.5f, -2, 3, 0.25f, 8, -0.125f}));
  EXPECT_EQ(m.get("b").values, (std::vector<float>{0.5f, 1.0f, -4.0f}));
  EXPECT_EQ(m.get("b").dims, (std::vector<int64_t>{3}));
  EXPECT_EQ(m.get("s").values, (std::vector<float>{7.0f}));
  EXPECT_TRUE(m.get("s").dims.empty());
  ASSERT_EQ(m.inputs.size(), 2u);
  EXPECT_EQ(m.inputs[0].name, "img");
  EXPECT_EQ(m.inputs[0].shape, (std::vector<int64_t>{1, 3, 0, 8}));
  EXPECT_EQ(m.inputs[1].name, "kp");
  EXPECT_EQ(m.inputs[1].shape, (std::vector<int64_t>{1, 21, 3}));
  EXPECT_EQ(thrown([&] { m.get("W"); }), "onnx: missing initializer W");

  const std::string missing = *dir_ / "no_such.onnx";
  EXPECT_EQ(thrown([&] { tq::loadOnnx(missing); }), "tq_conv: cannot open " + missing);
  EXPECT_EQ(thrown([&] { tq::loadOnnx(dir_->path()); }), "tq_conv: cannot open " + dir_->path());
  // The toolkit's fixture holds an INT64 initializer, which this reader refuses.
  EXPECT_EQ(thrown([&] { tq::loadOnnx(*dir_ / "wire.onnx"); }), "onnx: non-fp32 initializer idx");
  const struct {
    const char *bad, *message;
  } cases[] = {{"int64", "onnx: non-fp32 initializer bad"},
               {"rawsize", "onnx: raw size mismatch bad"},
               {"overflow", "onnx: raw size mismatch bad"},
               {"nodata", "onnx: no data for bad"}};
  for (const auto& c : cases) {
    const std::string file = *dir_ / (std::string("bad_") + c.bad + ".onnx");
    ASSERT_TRUE(tqtest::runFixtureTool({"conv-weights", "--out", file, "--bad", c.bad}));
    EXPECT_EQ(thrown([&] { tq::loadOnnx(file); }), c.message) << c.bad;
  }
}

// ---------------------------------------------------------------- writing

// Transpose (perm via hcAttrIs) -> Gather (axis via hcAttrI, indices via hcInit)
// -> Pad (mode via hcAttrS, pads via hcInit), with graph input and output written
// by gsPutTensorValueInfo: ONNX Runtime runs it and the onnx checker accepts it.
TEST(WireWrite, AModelWrittenFromScratchRunsInOnnxRuntime) {
  Bytes graph, attrs, opset, model = {0x08, 0x08};  // ir_version 8
  const int64_t perm[] = {1, 0}, idx[] = {1, 0}, pads[] = {0, 1, 0, 0}, xdims[] = {2, 3};
  tq::hcAttrIs(attrs, "perm", perm, 2);
  tq::hcNode(graph, "Transpose", {"x"}, "t", "transpose", attrs);
  attrs.clear();
  tq::hcAttrI(attrs, "axis", 1);
  tq::hcNode(graph, "Gather", {"t", "idx"}, "g", "gather", attrs);
  attrs.clear();
  tq::hcAttrS(attrs, "mode", "edge");
  tq::hcNode(graph, "Pad", {"g", "pads"}, "y", "pad", attrs);
  tq::gsPutBytes(graph, 2, std::string("scratch"));  // GraphProto.name
  tq::hcInit(graph, "idx", 7, {2}, idx, sizeof idx);
  tq::hcInit(graph, "pads", 7, {4}, pads, sizeof pads);
  tq::gsPutTensorValueInfo(graph, 11, "x", xdims, 2);
  tq::gsPutTensorValueInfo(graph, 12, "y", nullptr, 2);
  tq::gsPutBytes(opset, 1, std::string());
  opset.insert(opset.end(), {0x10, 17});  // version 17
  tq::gsPutBytes(model, 8, opset.data(), opset.size());
  tq::gsPutBytes(model, 7, graph.data(), graph.size());

  tqtest::TempDir dir;
  const std::string path = dir / "scratch.onnx";
  rtest::writeFile(path, model);
  EXPECT_TRUE(tqtest::runFixtureTool({"check", path}));
  const std::vector<std::vector<std::string>> want = {{
      "ir 8", "opset  17", "doc model ", "doc graph ", "input x [2,3]", "output y [$tq_hoist_d0,$tq_hoist_d1]",
      "init idx", "init pads", "node 0 Transpose domain= name=transpose in=x out=t attrs=perm doc=",
      "node 1 Gather domain= name=gather in=t,idx out=g attrs=axis doc=",
      "node 2 Pad domain= name=pad in=g,pads out=y attrs=mode doc="}};
  EXPECT_EQ(rtest::dumpModels(dir, {path}), want);

  Ort::Env& env = tq::ortEnv();  // binds the API before any other wrapper is made
  Ort::Session session(env, model.data(), model.size(), Ort::SessionOptions());
  float x[6] = {1, 2, 3, 4, 5, 6};
  Ort::Value in = Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), x, 6, xdims, 2);
  const char *inName = "x", *outName = "y";
  auto out = session.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  EXPECT_EQ(out[0].GetTensorTypeAndShapeInfo().GetShape(), (std::vector<int64_t>{3, 3}));
  // transpose [[1,4],[2,5],[3,6]], gather columns (1, 0), pad one column at the left with edge values
  const float* y = out[0].GetTensorData<float>();
  EXPECT_EQ(std::vector<float>(y, y + 9), (std::vector<float>{4, 4, 1, 5, 5, 2, 6, 6, 3}));
}

TEST_F(WireModel, RebuildEditsAsTheOnnxPackageReadsThem) {
  // Empty edits, and drop lists that keep everything, reproduce the model exactly, in place too.
  Bytes out = {1, 2, 3}, same = *model_;
  tq::gsRebuild(*model_, tq::GsGraphEdit{}, out);
  EXPECT_EQ(out, *model_);
  tq::GsGraphEdit keep;
  keep.dropNode = {false, false, false, false, false, false, false};
  tq::gsRebuild(*model_, keep, out);
  EXPECT_EQ(out, *model_);
  tq::gsRebuild(same, tq::GsGraphEdit{}, same);
  EXPECT_EQ(same, *model_);

  const int64_t hoist[] = {1, -1, 64, 64};
  auto edit = [](auto fn) {
    tq::GsGraphEdit e;
    fn(e);
    return e;
  };
  const struct {
    tq::GsGraphEdit edit;
    std::vector<std::string> removed;  // lines of the original dump that go
    std::vector<std::string> added;    // lines that come, after the last kept line of their kind
  } cases[] = {
      {edit([](tq::GsGraphEdit& e) { e.dropNode = {false, true, false, true}; }),
       {"node 1 Add domain= name=add_h in=x,w_raw out=h attrs= doc=node doc",
        "node 2 Resize domain= name=resize_r in=P_rgb,,scales out=r attrs=mode doc=",
        "node 3 Mul domain= name=mul_out in=h,w_list out=out attrs= doc="},
       {"node 1 Resize domain= name=resize_r in=P_rgb,,scales out=r attrs=mode doc="}},
      {edit([](tq::GsGraphEdit& e) { e.onlyPrgbInput = true; }), {"input x [2,2]", "input lonely [$B,5]"}, {}},
      {edit([](tq::GsGraphEdit& e) { e.onlyPrgbInput = e.dropPrgbInput = true; }),
       {"input x [2,2]", "input P_rgb [1,3,$S,8]", "input lonely [$B,5]"}, {}},
      {edit([](tq::GsGraphEdit& e) { e.dropPrgbInput = true; }), {"input P_rgb [1,3,$S,8]"}, {}},
      {edit([](tq::GsGraphEdit& e) { e.dropOutputs = true; }), {"output out [2,2]", "output r [1,3,$S2,16]"}, {}},
      {edit([&](tq::GsGraphEdit& e) { e.newValueName = "h", e.newValueDims = hoist, e.newValueRank = 4, e.newValueField = 11; }),
       {"value_info h [2,2]"}, {"input h [1,$tq_hoist_d1,64,64]"}},
      {edit([](tq::GsGraphEdit& e) { e.newValueName = "k", e.newValueRank = 2, e.newValueField = 12; }),
       {"value_info k [3]"}, {"output k [$tq_hoist_d0,$tq_hoist_d1]"}},
      // A new value name without a field only drops its value_info.
      {edit([](tq::GsGraphEdit& e) { e.newValueName = "h"; }), {"value_info h [2,2]"}, {}},
  };
  std::vector<std::string> paths = {*dir_ / "wire.onnx"};
  for (const auto& c : cases) {
    tq::gsRebuild(*model_, c.edit, out);
    paths.push_back(*dir_ / ("edit" + std::to_string(paths.size()) + ".onnx"));
    rtest::writeFile(paths.back(), out);
    // Model fields after the graph (opset_import, metadata_props) come through byte for byte.
    const auto tail = [](const Bytes& m) {
      const tq::GsSlice g = tq::gsGraphOf(m);
      return Bytes(m.begin() + (g.data + g.size - m.data()), m.end());
    };
    EXPECT_EQ(tail(out), tail(*model_));
  }
  const auto dumps = rtest::dumpModels(*dir_, paths);
  ASSERT_EQ(dumps.size(), paths.size());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::vector<std::string> want;
    for (const auto& line : dumps[0])
      if (std::find(cases[i].removed.begin(), cases[i].removed.end(), line) == cases[i].removed.end())
        want.push_back(line);
    for (const auto& add : cases[i].added) {
      const std::string kind = add.substr(0, add.find(' ') + 1);
      std::size_t at = want.size();
      for (std::size_t k = 0; k < want.size(); ++k)
        if (want[k].compare(0, kind.size(), kind) == 0) at = k + 1;
      want.insert(want.begin() + std::ptrdiff_t(at), add);
    }
    EXPECT_EQ(dumps[i + 1], want) << "edit " << i;
  }
}

}  // namespace
