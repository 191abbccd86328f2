// Helpers shared by the render tests: model files written and read back by the
// onnx package, GridSample graphs run in ONNX Runtime, and director bundles with
// a plain session over their graph as the renderer's reference.
#pragma once

#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "compute/tq_simd.h"
#include "render/gridsample_fast.h"
#include "render/int8conv_vnni.h"
#include "render/tq_ort.h"
#include "tq_test_util.h"

namespace rtest {

using Bytes = std::vector<uint8_t>;

inline void writeFile(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// The onnx package's reading of each file: one list of lines per model.
inline std::vector<std::vector<std::string>> dumpModels(const tqtest::TempDir& dir,
                                                        const std::vector<std::string>& paths) {
  std::vector<std::string> args = {"dump", "--out", dir / "dump.txt"};
  args.insert(args.end(), paths.begin(), paths.end());
  if (!tqtest::runFixtureTool(args)) return {};
  std::vector<std::vector<std::string>> models(1);
  std::istringstream in(tqtest::readText(dir / "dump.txt"));
  for (std::string line; std::getline(in, line);)
    if (line == "---")
      models.emplace_back();
    else
      models.back().push_back(line);
  models.pop_back();
  return models;
}

// A GridSample graph written by the fixture tool ("gs-graph"): its bytes.
inline Bytes gsGraph(const tqtest::TempDir& dir, const std::string& name, std::vector<std::string> args) {
  args.insert(args.begin(), {"gs-graph", "--out", dir / name});
  return tqtest::runFixtureTool(args) ? tqtest::readBytes(dir / name) : Bytes();
}
// The fixture's description of one com.vexamo::GridSampleFast node.
constexpr const char* kBakedNode =
    R"([{"op": "GridSampleFast", "domain": "com.vexamo", "mode": null, "padding_mode": null}])";

inline std::vector<float> randomValues(std::size_t n, float lo, float hi, std::mt19937& rng) {
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& e : v) e = d(rng);
  return v;
}

struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> data;
};

// Runs a session on the given inputs (names and tensors in order); returns one output.
inline std::vector<float> run(Ort::Session& s, std::vector<const char*> names, std::vector<Tensor> inputs,
                              const char* output) {
  std::vector<Ort::Value> in;
  for (auto& t : inputs)
    in.push_back(Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), t.data.data(), t.data.size(), t.shape.data(),
                                                 t.shape.size()));
  auto out = s.Run(Ort::RunOptions{nullptr}, names.data(), in.data(), in.size(), &output, 1);
  const float* p = out[0].GetTensorData<float>();
  return std::vector<float>(p, p + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

// A session over model bytes (with the library's custom operators when asked).
inline std::unique_ptr<Ort::Session> session(const Bytes& model, int threads, bool customOps) {
  tq::ortInit();  // binds the API before the first wrapper is made
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (customOps) tq::registerGridSampleFast(so);
  if (customOps) tq::registerInt8ConvVNNI(so);
  return std::make_unique<Ort::Session>(tq::ortEnv(), model.data(), model.size(), so);
}

// A bundle of 3 identity frames plus director graphs written under the given model keys.
struct Bundle {
  tqtest::TempDir tmp;
  std::string dir = tmp / "bundle";
  tq::Manifest m;
  std::unique_ptr<tq::Identity> id;
  Bundle(int crop, const std::string& prior,
         const std::vector<std::pair<std::string, std::vector<std::string>>>& models) {
    EXPECT_TRUE(tqtest::runFixtureTool(
        {"identity-bundle", dir, "--nt", "3", "--crop", std::to_string(crop), "--prior", prior}));
    for (const auto& [key, args] : models) {
      std::vector<std::string> all = {"director", "--out", dir + "/model_" + key + ".onnx", "--crop",
                                      std::to_string(crop)};
      all.insert(all.end(), args.begin(), args.end());
      EXPECT_TRUE(tqtest::runFixtureTool(all));
    }
    m = tq::loadManifest(dir);
    id = std::make_unique<tq::Identity>(m);
  }
};

inline float worstDiff(const float* got, const std::vector<float>& want) {
  float worst = 0;
  for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
  return worst;
}

inline std::vector<float> keypoints(int frames, unsigned seed) {
  std::mt19937 rng(seed);
  return randomValues(std::size_t(frames) * 63, -0.7f, 0.7f, rng);
}

// One frame of a bundle's director graph in a plain session with an arena of its
// own: the renderer's reference. `rewrite` applies the renderer's GridSample
// rewrite (results then agree bit for bit).
struct DirectorSession {
  std::unique_ptr<Ort::Session> s;
  int64_t side;
  bool fs;
  DirectorSession(const tq::Manifest& m, const std::string& key, bool featSynth, bool rewrite)
      : side(featSynth ? 64 : m.crop), fs(featSynth) {
    Bytes bytes = tqtest::readBytes(m.modelPath(key));
    if (rewrite) tq::rewriteGridSampleToFast(bytes);
    s = session(bytes, 1, rewrite);
  }
  std::vector<float> run(const tq::Identity& id, int si, const float* ks, const float* kd) {
    Tensor prior{{1, fs ? 64 : 3, side, side}, std::vector<float>((fs ? 64 : 3) * side * side)};
    Tensor pooled{{1, 64, 32, 32}, std::vector<float>(65536)};
    tq::halfToFloat(id.pooled64(si), pooled.data.data(), pooled.data.size());
    tq::halfToFloat(fs ? id.fsRed(si) : id.P(si), prior.data.data(), prior.data.size());
    const Tensor kps{{1, 21, 3}, std::vector<float>(ks, ks + 63)}, kpd{{1, 21, 3}, std::vector<float>(kd, kd + 63)};
    if (fs) return rtest::run(*s, {"fs_red", "pooled", "kd", "ks"}, {prior, pooled, kpd, kps}, "rgb");
    return rtest::run(*s, {"P_rgb", "pooled64", "kp_driving", "kp_source"}, {prior, pooled, kpd, kps}, "rgb");
  }
};

}  // namespace rtest
