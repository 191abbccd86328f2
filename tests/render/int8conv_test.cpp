// Int8ConvVNNI against numpy's quantisation and ONNX Runtime's ConvInteger on
// numpy's quantised input, its refusals through ONNX Runtime, and the renderer's
// registration of it.
#include "render/int8conv_vnni.h"
#include "render/tq_renderer.h"
#include "render_test_util.h"

// The reference output is one multiply and one add, as numpy computes it.
#pragma GCC optimize("fp-contract=off")

namespace {

template <class T>
Ort::Value tensor(std::vector<T>& v, const std::vector<int64_t>& shape) {
  return Ort::Value::CreateTensor<T>(tq::ortCpuMemory(), v.data(), v.size(), shape.data(), shape.size());
}

template <class T>
std::vector<T> outputOf(Ort::Session& s, std::vector<const char*> names, std::vector<Ort::Value>& in, const char* out) {
  auto r = s.Run(Ort::RunOptions{nullptr}, names.data(), in.data(), in.size(), &out, 1);
  const T* p = r[0].GetTensorData<T>();
  return std::vector<T>(p, p + r[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

// One case written by the fixture tool: the graphs, the input and numpy's quantisation of it.
struct Int8Case {
  std::string dir;
  std::vector<int64_t> shape;
  std::vector<float> x, scale, bias;
  std::vector<uint8_t> q;
  std::vector<int8_t> w;
  float s = 0;
  int32_t zp = -1;
  explicit Int8Case(const std::string& d) : dir(d) {
    shape = tqtest::readAs<int64_t>(dir + "/shape.bin");
    x = tqtest::readAs<float>(dir + "/x.bin"), scale = tqtest::readAs<float>(dir + "/scale.bin");
    bias = tqtest::readAs<float>(dir + "/bias.bin"), q = tqtest::readBytes(dir + "/q.bin");
    w = tqtest::readAs<int8_t>(dir + "/w.bin");
    s = tqtest::readAs<float>(dir + "/s.bin").at(0), zp = tqtest::readAs<int32_t>(dir + "/zp.bin").at(0);
  }
  std::unique_ptr<Ort::Session> session(const char* file) const {
    tq::ortInit();
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(1);
    tq::registerInt8ConvVNNI(so);
    const rtest::Bytes b = tqtest::readBytes(dir + "/" + file);
    return tq::makeSession(b.data(), b.size(), so);
  }
  std::vector<float> run(Ort::Session& s, std::vector<float> in, std::vector<int64_t> dims, std::vector<int8_t>* weights = nullptr) const {
    std::vector<Ort::Value> v;
    v.push_back(tensor(in, dims));
    if (weights) v.push_back(tensor(*weights, {int64_t(scale.size()), shape[1], 3, 3}));  // 3x3, one group
    return outputOf<float>(s, weights ? std::vector<const char*>{"X", "w"} : std::vector<const char*>{"X"}, v, "Y");
  }
  // ONNX Runtime's ConvInteger on numpy's q and zp, mapped through numpy's formula.
  std::vector<float> reference() const {
    std::vector<uint8_t> qq = q, z = {uint8_t(zp)};
    std::vector<Ort::Value> v;
    v.push_back(tensor(qq, shape));
    v.push_back(tensor(z, {}));
    const std::vector<int32_t> acc = outputOf<int32_t>(*session("twin.onnx"), {"Xq", "zp"}, v, "acc");
    std::vector<float> y(acc.size());
    const std::size_t M = scale.size(), plane = acc.size() / std::size_t(shape[0]) / M;
    for (std::size_t i = 0; i < acc.size(); ++i) {
      const float k = s * scale[i / plane % M], product = float(acc[i]) * k;
      y[i] = product + bias[i / plane % M];
    }
    return y;
  }
};

// Every case of a table in one run of the fixture tool (empty when it fails).
template <class Table>
std::vector<Int8Case> writeCases(const tqtest::TempDir& tmp, const Table& table) {
  std::string list;
  for (const auto& c : table) list += (list.empty() ? "[" : ", ") + std::string(c.json);
  std::vector<Int8Case> cases;
  if (tqtest::runFixtureTool({"int8-conv", "--out-dir", tmp.path(), "--case", list + "]"}))
    for (std::size_t i = 0; i < std::size(table); ++i) cases.emplace_back(tmp / std::to_string(i));
  return cases;
}

TEST(Int8ConvVNNI, EqualsConvIntegerOnNumpysQuantisation) {
  const struct {
    const char* json;
    int zp;  // numpy's zero point the case is built for; -1: any. -2: weights fed as an input; -3: Y is the bias
  } cases[] = {
      {R"({"pads": [1, 1, 1, 1]})", -1},
      {R"({"strides": [2, 2], "pads": [0, 1, 2, 0], "H": 10, "W": 13})", -1},
      {R"({"dilations": [2, 2], "pads": [2, 2, 2, 2], "N": 2})", -1},
      {R"({"group": 2, "C": 6, "M": 20, "pads": [1, 0, 1, 0]})", -1},
      {R"({"group": 4, "C": 4, "M": 4, "strides": [1, 2]})", -1},
      {R"({"kh": 1, "kw": 1, "C": 37, "M": 33, "W": 21})", -1},
      {R"({"kh": 5, "kw": 5, "C": 3, "M": 5, "pads": [2, 2, 2, 2], "H": 7})", -1},
      {R"({"C": 64, "H": 32, "W": 40, "M": 16, "pads": [1, 1, 1, 1]})", -1},
      {R"({"x": "zero"})", 0},
      {R"({"x": "positive", "pads": [1, 1, 1, 1]})", 0},
      {R"({"x": "negative", "pads": [1, 1, 1, 1]})", 255},
      {R"({"x": "saturate", "w": "max", "C": 64, "H": 16, "W": 16, "pads": [1, 1, 1, 1]})", 0},
      {R"({"x": "ties", "w": "unit", "kh": 1, "kw": 1, "M": 4})", 0},
      {R"({"x": "negative-ties", "w": "unit", "kh": 1, "kw": 1, "M": 4})", 255},
      {R"({"w": "unit", "kh": 1, "kw": 1, "C": 16, "M": 16, "N": 2})", -1},
      {R"({"weights_input": true, "pads": [1, 1, 1, 1]})", -2},
      {R"({"C": 0, "M": 4})", -3},  // no input channels: every output is its bias
  };
  tqtest::TempDir tmp;
  const std::vector<Int8Case> written = writeCases(tmp, cases);
  ASSERT_EQ(written.size(), std::size(cases));
  for (std::size_t i = 0; i < written.size(); ++i) {
    const auto& c = cases[i];
    const Int8Case& f = written[i];
    SCOPED_TRACE(c.json);
    if (c.zp >= 0) {
      EXPECT_EQ(f.zp, c.zp);
    }
    const auto session = f.session("int8.onnx");
    std::vector<int8_t> w = f.w, zero(w.size(), 0);
    if (c.zp == -3) {  // ORT's ConvInteger leaves an empty sum unwritten: no oracle there
      const std::vector<float> y = f.run(*session, f.x, f.shape);
      for (std::size_t i = 0; i < y.size(); ++i) ASSERT_EQ(y[i], f.bias[i / (y.size() / f.bias.size())]) << i;
      continue;
    }
    EXPECT_TRUE(f.run(*session, f.x, f.shape, c.zp == -2 ? &w : nullptr) == f.reference());
    if (c.zp != -2) continue;
    // Weights that are not an initializer are packed again on every run: all zero, Y is the bias.
    const std::vector<float> y = f.run(*session, f.x, f.shape, &zero);
    for (std::size_t i = 0; i < y.size(); ++i) ASSERT_EQ(y[i], f.bias[i / (y.size() / f.bias.size())]) << i;
  }
}

TEST(Int8ConvVNNI, RefusesBadAttributesAndShapesWithItsOwnText) {
  const std::string pre = "com.vexamo.int8::Int8ConvVNNI: ";
  const struct {
    const char* json;
    std::vector<int64_t> x;  // empty: the fixture's own X
    std::string message;
  } cases[] = {
      {R"({"attrs": {"strides": [0, 1]}})", {}, "strides must be 2 integers in 1..2147483647, got [0, 1]"},
      {R"({"attrs": {"strides": [1, 1, 1]}})", {}, "strides must be 2 integers in 1..2147483647, got [1, 1, 1]"},
      {R"({"attrs": {"pads": [1, 1, 1]}})", {}, "pads must be 4 integers (top, left, bottom, right) in 0..2147483647, got [1, 1, 1]"},
      {R"({"attrs": {"pads": [0, -1, 0, 0]}})", {}, "pads must be 4 integers (top, left, bottom, right) in 0..2147483647, got [0, -1, 0, 0]"},
      {R"({"attrs": {"dilations": [1, 0]}})", {}, "dilations must be 2 integers in 1..2147483647, got [1, 0]"},
      {R"({"attrs": {"group": 0}})", {}, "group must be one integer in 1..2147483647, got [0]"},
      {R"({"attrs": {"strides": [1.0, 1.0]}})", {}, "attribute strides must hold integers"},
      {R"({"attrs": {"pads": "abc"}})", {}, "attribute pads must hold integers"},
      {R"({"free": true})", {4, 9, 11}, "X must be [N, C, H, W], got [4, 9, 11]"},
      {R"({"free": true})", {1, 5, 9, 11}, "X [1, 5, 9, 11] has C = 5 but group 1 x the second dimension of weights [8, 4, 3, 3] is not that"},
      {R"({"free": true})", {1, 4, 2, 11}, "the dilated kernel 3 x 3 is larger than the padded input 2 x 11"},
      {R"({"group": 3, "C": 6, "M": 8})", {}, "the 8 output channels of weights [8, 2, 3, 3] do not split into group 3"},
      {R"({"w_shape": [8, 36, 1]})", {}, "weights must be [M, C / group, kh, kw] with kh and kw at least 1, got [8, 36, 1]"},
      {R"({"scale_len": 7})", {}, "scales must be [M] = [8], got [7]"},
      {R"({"bias_len": 7})", {}, "bias must be [M] = [8], got [7]"},
      {R"({"C": 8200, "M": 1, "H": 3, "W": 3})", {}, "weights [1, 8200, 3, 3] sum more than 65793 products per output, beyond which the exact int32 sum can overflow"},
  };
  tqtest::TempDir tmp;
  const std::vector<Int8Case> written = writeCases(tmp, cases);
  ASSERT_EQ(written.size(), std::size(cases));
  for (std::size_t i = 0; i < written.size(); ++i) {
    const auto& c = cases[i];
    const Int8Case& f = written[i];
    SCOPED_TRACE(c.json);
    const std::string what = tqtest::thrown([&] {
      std::size_t n = 1;
      for (int64_t d : c.x) n *= std::size_t(d);
      c.x.empty() ? f.run(*f.session("int8.onnx"), f.x, f.shape) : f.run(*f.session("int8.onnx"), std::vector<float>(n, 0.5f), c.x);
    });
    EXPECT_NE(what.find(pre + c.message), std::string::npos) << what;
  }
}

TEST(Int8ConvVNNI, TheRendererRegistersItWithAndWithoutTheGridSampleRewrite) {
  rtest::Bundle b(32, "raw", {{"i8", {"--int8"}}});
  const auto ks = rtest::keypoints(1, 10), kd = rtest::keypoints(1, 20);
  const int si = 1;
  const std::vector<float> want = rtest::DirectorSession(b.m, "i8", false, true).run(*b.id, si, ks.data(), kd.data());
  for (const char* fast : {"1", "0"}) {
    tqtest::ScopedEnv env("TQ_GS_FAST", fast);
    tq::Renderer r(b.m, *b.id, "i8", 1, "");
    // With TQ_GS_FAST=0 ORT's own GridSample runs, whose last-bit differences can move a value by one quantisation step.
    EXPECT_LE(rtest::worstDiff(r.render(&si, ks.data(), kd.data(), 1), want), *fast == '1' ? 0.0f : 0.05f) << fast;
  }
}

}  // namespace
