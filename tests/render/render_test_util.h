// Helpers shared by the render tests: model files written and read back by the
// onnx package, GridSample graphs run in ONNX Runtime, and director bundles with
// a plain session over their graph as the renderer's reference.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "compute/tq_simd.h"
#include "render/gridsample_fast.h"
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
  std::vector<std::vector<std::string>> models(1);
  if (!tqtest::runFixtureTool(args)) return {};
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
// The fixture's one com.vexamo::GridSampleFast node.
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

// A session over a model with inputs "X" and "grid" (with the library's custom
// operators when asked).
struct Model {
  Ort::Session session{nullptr};
  Model(const Bytes& model, int threads, bool customOps) {
    tq::ortInit();  // binds the API before the first wrapper is made
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(threads);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    if (customOps) tq::registerGridSampleFast(so);
    session = Ort::Session(tq::ortEnv(), model.data(), model.size(), so);
  }
  std::vector<float> run(const Tensor& x, const Tensor& grid, const char* output = "Y") {
    std::vector<float> xd = x.data, gd = grid.data;
    Ort::Value in[2] = {Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), xd.data(), xd.size(), x.shape.data(),
                                                        x.shape.size()),
                        Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), gd.data(), gd.size(),
                                                        grid.shape.data(), grid.shape.size())};
    const char* inNames[] = {"X", "grid"};
    auto out = session.Run(Ort::RunOptions{nullptr}, inNames, in, 2, &output, 1);
    const float* p = out[0].GetTensorData<float>();
    return std::vector<float>(p, p + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
  }
};

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

inline std::vector<float> keypoints(int frames, unsigned seed) {
  std::mt19937 rng(seed);
  return randomValues(std::size_t(frames) * 63, -0.7f, 0.7f, rng);
}

// One frame of a bundle's director graph in a plain session: the renderer's
// reference. `rewrite` applies the renderer's GridSample rewrite (results then
// agree bit for bit); `shrink` asks every run for arena shrinkage.
struct DirectorSession {
  std::unique_ptr<Ort::Session> s;
  Ort::RunOptions options{nullptr};
  int side;
  bool fs;
  DirectorSession(const tq::Manifest& m, const std::string& key, bool featSynth, bool rewrite, bool shrink)
      : side(featSynth ? 64 : m.crop), fs(featSynth) {
    Bytes bytes = tqtest::readBytes(m.modelPath(key));
    tq::ortInit();
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(1);
    if (rewrite) {
      tq::rewriteGridSampleToFast(bytes);
      tq::registerGridSampleFast(so);
    }
    s = std::make_unique<Ort::Session>(tq::ortEnv(), bytes.data(), bytes.size(), so);
    if (shrink) {
      options = Ort::RunOptions();
      options.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
    }
  }
  std::vector<float> run(const tq::Identity& id, int si, const float* ks, const float* kd) {
    const std::size_t priorN = std::size_t(fs ? 64 : 3) * side * side;
    std::vector<float> pooled(65536), prior(priorN), kps(ks, ks + 63), kpd(kd, kd + 63);
    tq::halfToFloat(id.pooled64(si), pooled.data(), pooled.size());
    tq::halfToFloat(fs ? id.fsRed(si) : id.P(si), prior.data(), priorN);
    const int64_t pShape[] = {1, 64, 32, 32}, kShape[] = {1, 21, 3}, rShape[] = {1, fs ? 64 : 3, side, side};
    const auto& mem = tq::ortCpuMemory();
    Ort::Value in[] = {Ort::Value::CreateTensor<float>(mem, prior.data(), priorN, rShape, 4),
                       Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), pShape, 4),
                       Ort::Value::CreateTensor<float>(mem, kpd.data(), 63, kShape, 3),
                       Ort::Value::CreateTensor<float>(mem, kps.data(), 63, kShape, 3)};
    const char* m4b[] = {"P_rgb", "pooled64", "kp_driving", "kp_source"};
    const char* featSynth[] = {"fs_red", "pooled", "kd", "ks"};
    const char* outName = "rgb";
    auto out = s->Run(options, fs ? featSynth : m4b, in, 4, &outName, 1);
    const float* o = out[0].GetTensorData<float>();
    return std::vector<float>(o, o + 3 * std::size_t(side) * side);
  }
};

}  // namespace rtest
