// Reading ONNX model bytes: field decoding with its refusals, the read helpers on
// a model written by the onnx package, and the fp16 engine's second reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/gridsample_fast.h"
#include "render/gs_wire.h"
#include "render/onnx_pb.h"
#include "graph_test_util.h"
#include "tq_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

using gstest::writeFile;
using tqtest::thrown;

// Every field of a message through GsReader.
std::vector<tq::GsField> gsFields(const Bytes& b) {
  std::vector<tq::GsField> out;
  tq::GsReader r(b.data(), b.size());
  tq::GsField f;
  while (r.next(f)) out.push_back(f);
  return out;
}

std::vector<tq::PbField> pbFields(const Bytes& b) {
  std::vector<tq::PbField> out;
  tq::PbReader r(b.data(), b.size());
  tq::PbField f;
  while (r.next(f)) out.push_back(f);
  return out;
}

// ---------------------------------------------------------------- decoding

TEST(WireDecode, FieldsOfEveryWireTypeWithTheirExtents) {
  // field 1 varint 150, field 2 fixed64, field 3 "abc", field 4 fixed32, field 5 varint of 10 bytes
  const Bytes b = {0x08, 0x96, 0x01,                                     // 1: 150
                   0x11, 1, 2, 3, 4, 5, 6, 7, 8,                         // 2: fixed64
                   0x1A, 0x03, 'a', 'b', 'c',                            // 3: "abc"
                   0x25, 9, 9, 9, 9,                                     // 4: fixed32
                   0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};  // 5: 2^64-1
  const auto f = gsFields(b);
  ASSERT_EQ(f.size(), 5u);
  const struct {
    uint32_t number, wire;
    std::size_t start, size;
  } want[] = {{1, 0, 0, 3}, {2, 1, 3, 9}, {3, 2, 12, 5}, {4, 5, 17, 5}, {5, 0, 22, 11}};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(f[i].number, want[i].number) << i;
    EXPECT_EQ(f[i].wire, want[i].wire) << i;
    EXPECT_EQ(f[i].raw.data, b.data() + want[i].start) << i;
    EXPECT_EQ(f[i].raw.size, want[i].size) << i;
  }
  EXPECT_EQ(f[0].value, 150u);
  EXPECT_EQ(f[2].payload.str(), "abc");
  EXPECT_EQ(f[2].payload.data, b.data() + 14);
  EXPECT_EQ(f[4].value, UINT64_MAX);
  EXPECT_TRUE(f[1].payload.empty());

  const auto p = pbFields(b);
  ASSERT_EQ(p.size(), 5u);
  EXPECT_EQ(p[0].value, 150u);
  EXPECT_EQ(p[1].size, 8u);
  EXPECT_EQ(p[1].data, b.data() + 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p[2].data), p[2].size), "abc");
  EXPECT_EQ(p[3].size, 4u);
  EXPECT_EQ(p[4].value, UINT64_MAX);
}

TEST(WireDecode, LargeFieldNumbersAndEmptyPayloads) {
  // field 20 varint 2 (two-byte tag), field 7 with an empty payload
  const Bytes b = {0xA0, 0x01, 0x02, 0x3A, 0x00};
  const auto f = gsFields(b);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].number, 20u);
  EXPECT_EQ(f[0].value, 2u);
  EXPECT_EQ(f[1].number, 7u);
  EXPECT_TRUE(f[1].payload.empty());
  EXPECT_EQ(f[1].raw.size, 2u);
  EXPECT_TRUE(gsFields(Bytes{}).empty());
}

struct Malformed {
  const char* what;
  Bytes bytes;
  const char* message;
};

// Top-level bytes that every reader must refuse with exactly this text.
const std::vector<Malformed>& malformed() {
  static const std::vector<Malformed> cases = {
      {"tag cut inside its varint", {0x80}, "onnx: bad varint"},
      {"value varint of 11 bytes",
       {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
       "onnx: bad varint"},
      {"value varint cut after 10 continuation bytes",
       {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       "onnx: bad varint"},
      {"value varint cut short", {0x08, 0x96}, "onnx: bad varint"},
      {"tag varint of 11 bytes",
       {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00},
       "onnx: bad varint"},
      {"length varint cut short", {0x3A, 0x80}, "onnx: bad varint"},
      {"length one byte past the end", {0x3A, 0x03, 0x08, 0x01}, "onnx: truncated"},
      {"length of 2^63", {0x3A, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, "onnx: truncated"},
      {"length of 2^64 - 1",
       {0x3A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
       "onnx: truncated"},
      {"fixed64 with 7 bytes", {0x09, 1, 2, 3, 4, 5, 6, 7}, "onnx: truncated"},
      {"fixed32 with 3 bytes", {0x0D, 1, 2, 3}, "onnx: truncated"},
      {"start group (wire type 3)", {0x0B, 0x08, 0x01, 0x0C}, "onnx: bad wire type"},
      {"end group (wire type 4)", {0x0C}, "onnx: bad wire type"},
      {"wire type 6", {0x0E, 0x00}, "onnx: bad wire type"},
      {"wire type 7", {0x3F}, "onnx: bad wire type"},
      {"good field, then a group", {0x08, 0x01, 0x3B}, "onnx: bad wire type"},
  };
  return cases;
}

TEST(WireDecode, MalformedBytesAreRefusedWithTheExactText) {
  tqtest::TempDir dir;
  for (const auto& c : malformed()) {
    SCOPED_TRACE(c.what);
    // Exactly sized heap copies: an over-read is an AddressSanitizer error.
    const Bytes b(c.bytes);
    EXPECT_EQ(thrown([&] { gsFields(b); }), c.message);
    EXPECT_EQ(thrown([&] { pbFields(b); }), c.message);
    EXPECT_EQ(thrown([&] { tq::gsGraphOf(b); }), c.message);
    Bytes model(b);
    EXPECT_EQ(thrown([&] { tq::rewriteGridSampleToFast(model); }), c.message);
    EXPECT_EQ(model, b);
    EXPECT_EQ(thrown([&] { tq::graphHasBakedGridSampleFast(b); }), c.message);
    Bytes out;
    EXPECT_EQ(thrown([&] { tq::gsRebuild(b, tq::GsGraphEdit{}, out); }), c.message);
    const std::string path = dir / "bad.onnx";
    writeFile(path, b);
    EXPECT_EQ(thrown([&] { tq::loadOnnx(path); }), c.message);

    // The same bytes nested as the graph of a model.
    Bytes nested;
    tq::gsPutBytes(nested, 7, b.data(), b.size());
    std::vector<tq::GsNodeInfo> nodes;
    std::vector<std::string> inits, inputs;
    EXPECT_EQ(thrown([&] { tq::gsReadGraph(tq::gsGraphOf(nested), nodes, inits, inputs); }), c.message);
    Bytes nestedModel(nested);
    EXPECT_EQ(thrown([&] { tq::rewriteGridSampleToFast(nestedModel); }), c.message);
    EXPECT_EQ(nestedModel, nested);
    EXPECT_EQ(thrown([&] { tq::graphHasBakedGridSampleFast(nested); }), c.message);
    EXPECT_EQ(thrown([&] { tq::gsRebuild(nested, tq::GsGraphEdit{}, out); }), c.message);
    writeFile(path, nested);
    EXPECT_EQ(thrown([&] { tq::loadOnnx(path); }), c.message);
  }
}

// ---------------------------------------------------------------- a real model

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
  // The payload of the initializer named `name`.
  static tq::GsSlice initializer(const std::string& name) {
    tq::GsReader r(graph());
    tq::GsField f;
    while (r.next(f))
      if (f.number == 5 && tq::gsFirstStr(f.payload, 8) == name) return f.payload;
    return tq::GsSlice();
  }
  static tqtest::TempDir* dir_;
  static Bytes* model_;
};
tqtest::TempDir* WireModel::dir_ = nullptr;
Bytes* WireModel::model_ = nullptr;

TEST_F(WireModel, GraphNodesInitializersAndInputs) {
  ASSERT_FALSE(graph().empty());
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
    const char* op;
    const char* name;
    std::vector<std::string> in, out;
  } want[] = {{"Constant", "const_k", {}, {"k"}},
              {"Add", "add_h", {"x", "w_raw"}, {"h"}},
              {"Resize", "resize_r", {"P_rgb", "", "scales"}, {"r"}},
              {"Mul", "mul_out", {"h", "w_list"}, {"out"}}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(nodes[i].opType, want[i].op);
    EXPECT_EQ(nodes[i].inputs, want[i].in) << want[i].op;
    EXPECT_EQ(nodes[i].outputs, want[i].out) << want[i].op;
    EXPECT_EQ(tq::gsFirstStr(nodes[i].bytes, 3), want[i].name);
    // The node slice points into the caller's buffer.
    EXPECT_GE(nodes[i].bytes.data, model_->data());
    EXPECT_LE(nodes[i].bytes.data + nodes[i].bytes.size, model_->data() + model_->size());
  }
  EXPECT_EQ(tq::gsFirstStr(nodes[1].bytes, 6), "node doc");

  // gsAllStr appends without clearing.
  std::vector<std::string> list = {"before"};
  tq::gsAllStr(nodes[1].bytes, 1, list);
  tq::gsAllStr(nodes[2].bytes, 1, list);
  EXPECT_EQ(list, (std::vector<std::string>{"before", "x", "w_raw", "P_rgb", "", "scales"}));

  // hcPayload: the first field of the graph is the first node.
  const tq::GsSlice first = tq::hcPayload(graph());
  EXPECT_EQ(tq::gsFirstStr(first, 3), "const_k");
  const Bytes varintFirst = {0x08, 0x01, 0x12, 0x01, 'a'};
  EXPECT_TRUE(tq::hcPayload(tq::GsSlice(varintFirst)).empty());
  EXPECT_TRUE(tq::hcPayload(tq::GsSlice()).empty());
}

TEST_F(WireModel, TensorsAndConstants) {
  std::vector<float> v = {42.0f};
  std::vector<int64_t> dims = {42};
  EXPECT_TRUE(tq::hcTensorFloats(initializer("w_raw"), v));
  EXPECT_EQ(v, (std::vector<float>{1, 2, 3, 4}));
  tq::hcTensorDims(initializer("w_raw"), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{2, 2}));
  EXPECT_TRUE(tq::hcTensorFloats(initializer("w_list"), v));  // float_data, packed by the onnx package
  EXPECT_EQ(v, (std::vector<float>{0.5f, -1.0f}));
  tq::hcTensorDims(initializer("w_list"), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{2, 1}));
  EXPECT_FALSE(tq::hcTensorFloats(initializer("idx"), v));  // INT64
  tq::hcTensorDims(initializer("idx"), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{2}));

  std::vector<tq::GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  tq::gsReadGraph(graph(), nodes, inits, inputs);
  const tq::GsSlice value = tq::hcConstValue(nodes[0].bytes);
  ASSERT_FALSE(value.empty());
  EXPECT_TRUE(tq::hcTensorFloats(value, v));
  EXPECT_EQ(v, (std::vector<float>{0.5f, -2.0f, 3.25f}));
  tq::hcTensorDims(value, dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{3}));
  EXPECT_TRUE(tq::hcConstValue(nodes[1].bytes).empty());  // Add: no attribute "value"
  EXPECT_TRUE(tq::hcConstValue(nodes[2].bytes).empty());  // Resize: an attribute, not "value"
}

TEST(WireTensors, HandWrittenTensorEncodings) {
  auto tag = [](Bytes& b, uint32_t field, uint32_t wire) { tq::gsPutVarint(b, (field << 3) | wire); };
  auto f32 = [](Bytes& b, float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(u >> (8 * i)));
  };
  // FLOAT with 7 raw bytes: one whole value, the 3 trailing bytes ignored.
  Bytes seven;
  tag(seven, 2, 0);
  tq::gsPutVarint(seven, 1);
  Bytes raw;
  f32(raw, -6.5f);
  raw.insert(raw.end(), {1, 2, 3});
  tq::gsPutBytes(seven, 9, raw.data(), raw.size());
  // Unpacked float_data (wire type 5), dims packed.
  Bytes unpacked;
  tag(unpacked, 1, 2);
  tq::gsPutVarint(unpacked, 3);
  unpacked.insert(unpacked.end(), {0x02, 0xAC, 0x02});  // dims 2, 300
  tag(unpacked, 4, 5);
  f32(unpacked, 0.75f);
  tag(unpacked, 4, 5);
  f32(unpacked, -3.0f);
  tag(unpacked, 2, 0);
  tq::gsPutVarint(unpacked, 1);  // data_type after the data
  // raw_data wins over float_data.
  Bytes both = unpacked;
  Bytes raw2;
  f32(raw2, 9.0f);
  tq::gsPutBytes(both, 9, raw2.data(), raw2.size());
  // INT64 with raw data, and FLOAT without any data.
  Bytes int64;
  tag(int64, 2, 0);
  tq::gsPutVarint(int64, 7);
  tq::gsPutBytes(int64, 9, raw2.data(), raw2.size());
  Bytes empty;
  tag(empty, 2, 0);
  tq::gsPutVarint(empty, 1);

  const struct {
    const char* what;
    const Bytes& t;
    bool ok;
    std::vector<float> values;
  } cases[] = {{"7 raw bytes", seven, true, {-6.5f}},
               {"unpacked float_data", unpacked, true, {0.75f, -3.0f}},
               {"raw_data beside float_data", both, true, {9.0f}},
               {"INT64 with raw data", int64, false, {9.0f}},
               {"FLOAT without data", empty, false, {}}};
  for (const auto& c : cases) {
    std::vector<float> v = {123.0f};
    EXPECT_EQ(tq::hcTensorFloats(tq::GsSlice(c.t), v), c.ok) << c.what;
    EXPECT_EQ(v, c.values) << c.what;
  }
  std::vector<int64_t> dims;
  tq::hcTensorDims(tq::GsSlice(unpacked), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{2, 300}));
}

TEST_F(WireModel, InputDimensions) {
  const struct {
    const char* name;
    int64_t first, last, count;
  } cases[] = {{"P_rgb", 1, 8, 4}, {"lonely", 0, 5, 2}, {"x", 2, 2, 2}, {"absent", 0, 0, 0}, {"out", 0, 0, 0}};
  for (const auto& c : cases) {
    int64_t first = -7, last = -7, count = -7;
    tq::ldInputDims(graph(), c.name, first, last, count);
    EXPECT_EQ(first, c.first) << c.name;
    EXPECT_EQ(last, c.last) << c.name;
    EXPECT_EQ(count, c.count) << c.name;
  }
}

TEST_F(WireModel, ModelsWithoutAGraph) {
  const Bytes noGraph = {0x08, 0x08, 0x32, 0x01, 'd'};  // ir_version 8, doc_string "d"
  EXPECT_TRUE(tq::gsGraphOf(noGraph).empty());
  const Bytes varintSeven = {0x38, 0x05};  // field 7 as a varint is not a graph
  EXPECT_TRUE(tq::gsGraphOf(varintSeven).empty());
  EXPECT_TRUE(tq::gsGraphOf(Bytes{}).empty());
  Bytes m = noGraph;
  EXPECT_EQ(tq::rewriteGridSampleToFast(m), 0u);
  EXPECT_EQ(m, noGraph);
  EXPECT_FALSE(tq::graphHasBakedGridSampleFast(noGraph));
}

// Reads every payload of a message as a message in turn, with both readers, down
// to `depth` levels; refusals end the walk of that level only.
void walkAll(const uint8_t* p, std::size_t n, int depth) {
  if (depth == 0) return;
  try {
    tq::GsReader r(p, n);
    tq::GsField f;
    while (r.next(f))
      if (f.wire == 2) walkAll(f.payload.data, f.payload.size, depth - 1);
  } catch (const std::runtime_error&) {
  }
  try {
    tq::PbReader r(p, n);
    tq::PbField f;
    while (r.next(f))
      if (f.wire == 2) walkAll(f.data, f.size, depth - 1);
  } catch (const std::runtime_error&) {
  }
}

// Every prefix of a real model, and seeded byte corruptions of it, either read or
// are refused with one of the three texts: never an out-of-bounds read.
TEST_F(WireModel, TruncatedAndCorruptedModelsStayInBounds) {
  const std::string texts[] = {"onnx: bad varint", "onnx: truncated", "onnx: bad wire type"};
  auto acceptable = [&](const std::string& m) {
    for (const auto& t : texts)
      if (m == t) return true;
    return false;
  };
  auto exercise = [&](const Bytes& b) {
    const std::string msg = thrown([&] {
      std::vector<tq::GsNodeInfo> nodes;
      std::vector<std::string> inits, inputs;
      tq::gsReadGraph(tq::gsGraphOf(b), nodes, inits, inputs);
      for (const auto& n : nodes) {
        std::vector<float> v;
        std::vector<int64_t> d;
        const tq::GsSlice t = tq::hcConstValue(n.bytes);
        tq::hcTensorFloats(t, v);
        tq::hcTensorDims(t, d);
      }
      int64_t a, z, c;
      tq::ldInputDims(tq::gsGraphOf(b), "P_rgb", a, z, c);
      Bytes m = b;
      tq::rewriteGridSampleToFast(m);
      Bytes out;
      tq::gsRebuild(b, tq::GsGraphEdit{}, out);
      throw std::runtime_error("read");
    });
    EXPECT_TRUE(msg == "read" || acceptable(msg)) << msg;
    walkAll(b.data(), b.size(), 6);
  };
  const Bytes& full = *model_;
  for (std::size_t n = 0; n < full.size(); ++n) exercise(Bytes(full.begin(), full.begin() + n));
  // The fp16 engine's file reader on every 5th prefix of a model of float initializers.
  const Bytes weights = tqtest::readBytes(*dir_ / "weights.onnx");
  const std::string cut = *dir_ / "cut.onnx";
  for (std::size_t n = 0; n < weights.size(); n += 5) {
    writeFile(cut, Bytes(weights.begin(), weights.begin() + n));
    const std::string msg = thrown([&] {
      tq::loadOnnx(cut);
      throw std::runtime_error("read");
    });
    EXPECT_TRUE(msg == "read" || acceptable(msg) || msg.rfind("onnx: ", 0) == 0) << msg;
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    Bytes b = full;
    for (int k = 0; k < 3; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    exercise(b);
  }
}

// ---------------------------------------------------------------- the fp16 engine's reader

TEST_F(WireModel, LoadOnnxReadsFloatInitializersAndInputs) {
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

  const struct {
    const char* name;
    const char* message;
  } missing[] = {{"nope", "onnx: missing initializer nope"},
                 {"w ", "onnx: missing initializer w "},
                 {"W", "onnx: missing initializer W"},
                 {"", "onnx: missing initializer "}};
  for (const auto& c : missing) EXPECT_EQ(thrown([&] { m.get(c.name); }), c.message);
}

TEST_F(WireModel, LoadOnnxRefusals) {
  const std::string path = *dir_ / "no_such.onnx";
  EXPECT_EQ(thrown([&] { tq::loadOnnx(path); }), "tq_conv: cannot open " + path);
  EXPECT_EQ(thrown([&] { tq::loadOnnx(dir_->path()); }), "tq_conv: cannot open " + dir_->path());
  const struct {
    const char* bad;
    const char* message;
  } cases[] = {{"int64", "onnx: non-fp32 initializer bad"},
               {"rawsize", "onnx: raw size mismatch bad"},
               {"overflow", "onnx: raw size mismatch bad"},
               {"nodata", "onnx: no data for bad"}};
  for (const auto& c : cases) {
    const std::string file = *dir_ / (std::string("bad_") + c.bad + ".onnx");
    ASSERT_TRUE(tqtest::runFixtureTool({"conv-weights", "--out", file, "--bad", c.bad}));
    EXPECT_EQ(thrown([&] { tq::loadOnnx(file); }), c.message) << c.bad;
  }
  // The toolkit's fixture holds an INT64 initializer, which this reader refuses.
  EXPECT_EQ(thrown([&] { tq::loadOnnx(*dir_ / "wire.onnx"); }), "onnx: non-fp32 initializer idx");
}

}  // namespace
