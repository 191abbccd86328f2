// ONNX model bytes: field decoding and its refusals through every entry point,
// the read helpers and the fp16 engine's reader on models written by the onnx
// package, and written models as ONNX Runtime and the onnx package read them.
#include "render/gs_wire.h"
#include "render/onnx_pb.h"
#include "render_test_util.h"

#include <tuple>

namespace {

using rtest::Bytes, tqtest::thrown;
using Strings = std::vector<std::string>;

TEST(WireDecode, MalformedBytesAreRefusedWithTheExactTextEverywhere) {
  const std::pair<Bytes, const char*> cases[] = {
      {{0x80}, "onnx: bad varint"},                                                                    // tag cut
      {{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, "onnx: bad varint"},  // 11 bytes
      {{0x3A, 0x80}, "onnx: bad varint"},                                                              // length cut
      {{0x3A, 0x03, 0x08, 0x01}, "onnx: truncated"},                                     // one byte past the end
      {{0x3A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, "onnx: truncated"},  // 2^64 - 1
      {{0x09, 1, 2, 3, 4, 5, 6, 7}, "onnx: truncated"},
      {{0x0D, 1, 2, 3}, "onnx: truncated"},
      {{0x0B, 0x08, 0x01, 0x0C}, "onnx: bad wire type"},  // a group
      {{0x08, 0x01, 0x3F}, "onnx: bad wire type"},  // wire type 7 after a good field
      // Good fields of every size before a group: each must be skipped exactly.
      {{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x0B}, "onnx: bad wire type"},  // 10 bytes
      {{0x09, 1, 2, 3, 4, 5, 6, 7, 8, 0x0B}, "onnx: bad wire type"},
      {{0x0D, 1, 2, 3, 4, 0x0B}, "onnx: bad wire type"},
      {{0x12, 0x02, 0x0B, 0x0B, 0x0B}, "onnx: bad wire type"},
  };
  tqtest::TempDir dir;
  for (const auto& c : cases) {
    const Bytes& b0 = c.first;
    const std::string message = c.second;
    // Exactly sized heap copies (an over-read is an AddressSanitizer error), at
    // the top level and nested as the graph of a model.
    EXPECT_EQ(thrown([&] { tq::GsReader r(b0.data(), b0.size()); for (tq::GsField f; r.next(f);) {} }), message);
    EXPECT_EQ(thrown([&] { tq::PbReader r(b0.data(), b0.size()); for (tq::PbField f; r.next(f);) {} }), message);
    Bytes nested, out;
    tq::gsPutBytes(nested, 7, b0.data(), b0.size());
    for (const Bytes& b : {b0, nested}) {
      SCOPED_TRACE(::testing::PrintToString(b));
      std::vector<tq::GsNodeInfo> nodes;
      Strings inits, inputs;
      EXPECT_EQ(thrown([&] { tq::gsReadGraph(tq::gsGraphOf(b), nodes, inits, inputs); }), message);
      Bytes model = b;
      EXPECT_EQ(thrown([&] { tq::rewriteGridSampleToFast(model); }), message);
      EXPECT_EQ(model, b);
      EXPECT_EQ(thrown([&] { tq::graphHasBakedGridSampleFast(b); }), message);
      EXPECT_EQ(thrown([&] { tq::gsRebuild(b, tq::GsGraphEdit{}, out); }), message);
      rtest::writeFile(dir / "bad.onnx", b);
      EXPECT_EQ(thrown([&] { tq::loadOnnx(dir / "bad.onnx"); }), message);
    }
  }
}

// A model exercising the read helpers, and one of float initializers for the fp16 engine's reader.
struct WireFiles {
  tqtest::TempDir dir;
  Bytes model;
  WireFiles() {
    EXPECT_TRUE(tqtest::runFixtureTool({"wire-graph", "--out", dir / "wire.onnx"}));
    EXPECT_TRUE(tqtest::runFixtureTool({"conv-weights", "--out", dir / "weights.onnx"}));
    model = tqtest::readBytes(dir / "wire.onnx");
  }
};
const WireFiles& files() {
  static const WireFiles f;
  return f;
}

TEST(WireModel, GraphNodesTensorsAndInputs) {
  const WireFiles& w = files();
  const tq::GsSlice graph = tq::gsGraphOf(w.model);
  EXPECT_EQ((Strings{tq::gsFirstStr(graph, 2), tq::gsFirstStr(tq::GsSlice(w.model), 6), tq::gsFirstStr(graph, 999)}),
            (Strings{"wire", "model doc", ""}));  // graph name, model doc string, a field that is not there
  std::vector<tq::GsNodeInfo> nodes;
  Strings inits = {"stale"}, inputs = {"stale"}, outputs = {"before"};
  tq::gsReadGraph(graph, nodes, inits, inputs);
  EXPECT_EQ(inits, (Strings{"w_raw", "w_list", "idx", "scales"}));
  EXPECT_EQ(inputs, (Strings{"x", "P_rgb", "lonely"}));
  const Strings want[][3] = {{{"Constant", "const_k"}, {}, {"k"}},
                             {{"Add", "add_h"}, {"x", "w_raw"}, {"h"}},
                             {{"Resize", "resize_r"}, {"P_rgb", "", "scales"}, {"r"}},
                             {{"Mul", "mul_out"}, {"h", "w_list"}, {"out"}}};
  ASSERT_EQ(nodes.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ((Strings{nodes[i].opType, tq::gsFirstStr(nodes[i].bytes, 3)}), want[i][0]);
    EXPECT_EQ(nodes[i].inputs, want[i][1]);
    EXPECT_EQ(nodes[i].outputs, want[i][2]);
    tq::gsAllStr(nodes[i].bytes, 2, outputs);
  }
  EXPECT_EQ(outputs, (Strings{"before", "k", "h", "r", "out"}));  // gsAllStr appends
  EXPECT_EQ(tq::gsFirstStr(tq::hcPayload(graph), 3), "const_k");  // the graph's first field
  EXPECT_TRUE(tq::hcPayload(tq::GsSlice(Bytes{0x08, 0x01, 0x12, 0x01, 'a'})).empty());
  // Tensors: raw_data, float_data (packed by the onnx package), INT64, a Constant's value.
  std::vector<tq::GsSlice> tensors;
  tq::GsReader r(graph);
  for (tq::GsField f; r.next(f);)
    if (f.number == 5) tensors.push_back(f.payload);
  tensors.push_back(tq::hcConstValue(nodes[0].bytes));
  const struct {
    bool isFloat;
    std::vector<float> values;
    std::vector<int64_t> dims;
  } tw[] = {{true, {1, 2, 3, 4}, {2, 2}}, {true, {0.5f, -1.0f}, {2, 1}},       {false, {}, {2}},
            {true, {1, 1, 2, 2}, {4}},    {true, {0.5f, -2.0f, 3.25f}, {3}}};
  ASSERT_EQ(tensors.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    std::vector<float> v = {42.0f};
    std::vector<int64_t> d = {42};
    EXPECT_EQ(tq::hcTensorFloats(tensors[i], v), tw[i].isFloat) << i;
    tq::hcTensorDims(tensors[i], d);
    EXPECT_EQ(std::make_pair(v, d), std::make_pair(tw[i].values, tw[i].dims)) << i;
  }
  // Encodings the onnx package does not write: unpacked float_data (0.75, -3) beside raw_data
  // (9.0 and three stray bytes), which wins over it; and that float_data alone.
  const Bytes mixed = {0x10, 1, 0x25, 0, 0, 0x40, 0x3F, 0x25, 0, 0, 0x40, 0xC0, 0x4A, 7, 0, 0, 0x10, 0x41, 1, 2, 3};
  std::vector<float> v;
  EXPECT_TRUE(tq::hcTensorFloats(tq::GsSlice(mixed), v) && v == std::vector<float>{9.0f});
  EXPECT_TRUE(tq::hcTensorFloats(tq::GsSlice(mixed.data(), 12), v) && v == (std::vector<float>{0.75f, -3.0f}));
  // Add has no attribute, Resize one that is not "value".
  EXPECT_TRUE(tq::hcConstValue(nodes[1].bytes).empty() && tq::hcConstValue(nodes[2].bytes).empty());
  const std::pair<const char*, std::vector<int64_t>> dims[] = {
      {"P_rgb", {1, 8, 4}}, {"lonely", {0, 5, 2}}, {"x", {2, 2, 2}}, {"absent", {0, 0, 0}}, {"out", {0, 0, 0}}};
  for (const auto& [name, firstLastCount] : dims) {
    int64_t first = -7, last = -7, count = -7;
    tq::ldInputDims(graph, name, first, last, count);
    EXPECT_EQ(std::vector<int64_t>({first, last, count}), firstLastCount) << name;
  }
  Bytes noGraph = {0x08, 0x08, 0x38, 0x05};  // ir_version 8, field 7 as a varint
  EXPECT_TRUE(tq::gsGraphOf(noGraph).empty() && !tq::graphHasBakedGridSampleFast(noGraph));
  EXPECT_EQ(tq::rewriteGridSampleToFast(noGraph), 0u);
}

// Every prefix of a real model, and seeded byte corruptions of it, either read or
// are refused with one of the three texts: never an out-of-bounds read.
TEST(WireModel, TruncatedAndCorruptedModelsStayInBounds) {
  const WireFiles& w = files();
  const Strings ok = {"read", "onnx: bad varint", "onnx: truncated", "onnx: bad wire type"};
  auto exercise = [&](const Bytes& b) {
    const std::string msg = thrown([&] {
      std::vector<tq::GsNodeInfo> nodes;
      Strings inits, inputs;
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
    EXPECT_NE(std::find(ok.begin(), ok.end(), msg), ok.end()) << msg;
  };
  const Bytes& full = w.model;
  for (std::size_t n = 0; n < full.size(); ++n) exercise(Bytes(full.begin(), full.begin() + n));
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    Bytes b = full;
    for (int k = 0; k < 3; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    exercise(b);
  }
  // The fp16 engine's file reader on every 5th prefix of a model of float initializers.
  const Bytes weights = tqtest::readBytes(w.dir / "weights.onnx");
  for (std::size_t n = 0; n < weights.size(); n += 5) {
    rtest::writeFile(w.dir / "cut.onnx", Bytes(weights.begin(), weights.begin() + n));
    const std::string msg = thrown([&] { tq::loadOnnx(w.dir / "cut.onnx"), throw std::runtime_error("read"); });
    EXPECT_TRUE(std::find(ok.begin(), ok.end(), msg) != ok.end() || msg.rfind("onnx: ", 0) == 0) << msg;
  }
}

TEST(WireModel, LoadOnnxReadsFloatInitializersAndInputsOrRefuses) {
  const WireFiles& w = files();
  const tq::OnnxModel m = tq::loadOnnx(w.dir / "weights.onnx");
  using Init = std::tuple<std::string, std::vector<int64_t>, std::vector<float>>;
  const Init inits[] = {{"w", {2, 3}, {1.5f, -2, 3, 0.25f, 8, -0.125f}}, {"b", {3}, {0.5f, 1, -4}}, {"s", {}, {7}}};
  ASSERT_EQ(m.initializers.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Init(m.initializers[i].name, m.initializers[i].dims, m.initializers[i].values), inits[i]);
    EXPECT_EQ(&m.get(std::get<0>(inits[i])), &m.initializers[i]);
  }
  ASSERT_EQ(m.inputs.size(), 2u);
  EXPECT_EQ((Strings{m.inputs[0].name, m.inputs[1].name}), (Strings{"img", "kp"}));
  EXPECT_EQ(m.inputs[0].shape, (std::vector<int64_t>{1, 3, 0, 8}));
  EXPECT_EQ(m.inputs[1].shape, (std::vector<int64_t>{1, 21, 3}));
  EXPECT_EQ(thrown([&] { m.get("W"); }), "onnx: missing initializer W");
  const std::string missing = w.dir / "no_such.onnx";
  EXPECT_EQ(thrown([&] { tq::loadOnnx(missing); }), "tq_conv: cannot open " + missing);
  EXPECT_EQ(thrown([&] { tq::loadOnnx(w.dir.path()); }), "tq_conv: cannot open " + w.dir.path());
  EXPECT_EQ(thrown([&] { tq::loadOnnx(w.dir / "wire.onnx"); }), "onnx: non-fp32 initializer idx");
  const std::pair<const char*, const char*> cases[] = {{"int64", "onnx: non-fp32 initializer bad"},
                                                       {"rawsize", "onnx: raw size mismatch bad"},
                                                       {"overflow", "onnx: raw size mismatch bad"},
                                                       {"nodata", "onnx: no data for bad"}};
  for (const auto& [bad, message] : cases) {
    const std::string file = w.dir / (std::string("bad_") + bad + ".onnx");
    ASSERT_TRUE(tqtest::runFixtureTool({"conv-weights", "--out", file, "--bad", bad}));
    EXPECT_EQ(thrown([&] { tq::loadOnnx(file); }), message) << bad;
  }
}

// Transpose (perm via hcAttrIs) -> Gather (axis via hcAttrI, indices via hcInit)
// -> Pad (mode via hcAttrS, pads via hcInit), with graph input and output written
// by gsPutTensorValueInfo: ONNX Runtime runs it and the onnx checker accepts it.
TEST(WireWrite, AModelWrittenFromScratchRunsInOnnxRuntime) {
  Bytes graph, opset, model = {0x08, 0x08};  // ir_version 8
  const int64_t perm[] = {1, 0}, idx[] = {1, 0}, pads[] = {0, 1, 0, 0}, xdims[] = {2, 3};
  const auto attr = [](auto put) {
    Bytes attrs;
    put(attrs);
    return attrs;
  };
  tq::hcNode(graph, "Transpose", {"x"}, "t", "transpose", attr([&](Bytes& a) { tq::hcAttrIs(a, "perm", perm, 2); }));
  tq::hcNode(graph, "Gather", {"t", "idx"}, "g", "gather", attr([](Bytes& a) { tq::hcAttrI(a, "axis", 1); }));
  tq::hcNode(graph, "Pad", {"g", "pads"}, "y", "pad", attr([](Bytes& a) { tq::hcAttrS(a, "mode", "edge"); }));
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

TEST(WireModel, RebuildEditsAsTheOnnxPackageReadsThem) {
  const WireFiles& w = files();
  Bytes out = {1, 2, 3}, same = w.model;
  tq::gsRebuild(same, tq::GsGraphEdit{}, same);  // in place; an empty edit changes nothing
  EXPECT_EQ(same, w.model);
  const int64_t hoist[] = {1, -1, 64, 64};
  std::vector<tq::GsGraphEdit> edits(6);
  edits[1].dropNode = {false, true, false, true};
  edits[2].onlyPrgbInput = edits[2].dropOutputs = true;
  edits[3].dropPrgbInput = true;
  edits[4].newValueName = "h", edits[4].newValueDims = hoist, edits[4].newValueRank = 4, edits[4].newValueField = 11;
  edits[5].newValueName = "k", edits[5].newValueRank = 2, edits[5].newValueField = 12;
  const std::pair<Strings, Strings> changes[] = {  // dump lines that go; lines that come, after their kind
      {{}, {}},
      {{"node 1 Add domain= name=add_h in=x,w_raw out=h attrs= doc=node doc",
        "node 2 Resize domain= name=resize_r in=P_rgb,,scales out=r attrs=mode doc=",
        "node 3 Mul domain= name=mul_out in=h,w_list out=out attrs= doc="},
       {"node 1 Resize domain= name=resize_r in=P_rgb,,scales out=r attrs=mode doc="}},
      {{"input x [2,2]", "input lonely [$B,5]", "output out [2,2]", "output r [1,3,$S2,16]"}, {}},
      {{"input P_rgb [1,3,$S,8]"}, {}},
      {{"value_info h [2,2]"}, {"input h [1,$tq_hoist_d1,64,64]"}},
      {{"value_info k [3]"}, {"output k [$tq_hoist_d0,$tq_hoist_d1]"}},
  };
  const auto tail = [](const Bytes& m) {  // the model fields after the graph
    const tq::GsSlice g = tq::gsGraphOf(m);
    return Bytes(m.begin() + (g.data + g.size - m.data()), m.end());
  };
  Strings paths = {w.dir / "wire.onnx"};
  for (const auto& e : edits) {
    tq::gsRebuild(w.model, e, out);
    paths.push_back(w.dir / ("edit" + std::to_string(paths.size()) + ".onnx"));
    rtest::writeFile(paths.back(), out);
    EXPECT_EQ(tail(out), tail(w.model));  // opset_import, metadata_props byte for byte
  }
  const auto dumps = rtest::dumpModels(w.dir, paths);
  ASSERT_EQ(dumps.size(), paths.size());
  for (std::size_t i = 0; i < edits.size(); ++i) {
    const auto& [removed, added] = changes[i];
    Strings want;
    for (const auto& line : dumps[0])
      if (std::find(removed.begin(), removed.end(), line) == removed.end()) want.push_back(line);
    for (const auto& add : added) {
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
