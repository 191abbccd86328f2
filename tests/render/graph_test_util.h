// Helpers shared by the graph tests: model bytes, the onnx package's reading of
// model files, and a one-node GridSample model run in ONNX Runtime.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tq_test_util.h"

namespace gstest {

using Bytes = std::vector<uint8_t>;

inline void writeFile(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// The onnx package's reading of each file: one list of lines per model.
inline std::vector<std::vector<std::string>> dumpModels(const tqtest::TempDir& dir,
                                                        const std::vector<std::string>& paths) {
  std::vector<std::string> args = {"dump", "--out", dir / "dump.txt"};
  args.insert(args.end(), paths.begin(), paths.end());
  std::vector<std::vector<std::string>> models;
  if (!tqtest::runFixtureTool(args)) return models;
  std::istringstream in(tqtest::readText(dir / "dump.txt"));
  std::vector<std::string> cur;
  for (std::string line; std::getline(in, line);) {
    if (line == "---") {
      models.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(line);
    }
  }
  return models;
}

struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> data;
};

// A session over model bytes (with the library's custom operators when asked),
// run on X and grid; defined in gridsample_kernel_test.cpp with the helpers below.
struct Model {
  Ort::Session session{nullptr};
  Model(const Bytes& model, int threads, bool customOps);
  std::vector<float> run(const Tensor& x, const Tensor& grid, const char* output = "Y");
};

// Also defined in gridsample_kernel_test.cpp: a GridSample graph written by the
// fixture tool (its bytes), and random inputs.
Bytes fixture(const tqtest::TempDir& dir, const std::string& name, std::vector<std::string> args);
std::vector<float> randomValues(std::size_t n, float lo, float hi, std::mt19937& rng);
std::vector<float> randomGrid(std::size_t n, std::mt19937& rng);

}  // namespace gstest
