// The director renderer: keypoints in, face crops out, through one ONNX Runtime
// session over the bundle's director graph.
#pragma once

#include <memory>
#include <string>

#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"

namespace tq {

// Keypoint rows the host feeds per frame; each row is (x, y, z).
constexpr int kHostKpRows = 21;
// Frames one director run may bind; a graph declaring a larger batch is refused.
constexpr int kMaxDirectorBatch = 64;

class Renderer {
 public:
  // Loads "model_<modelKey>.onnx" of the bundle, rewrites it in memory, checks it
  // against the host keypoint contract and the bundle, and binds fixed buffers.
  // threads < 1 means the worker-pool size. Throws on every refusal.
  Renderer(const Manifest& m, const Identity& id, const std::string& modelKey, int threads,
           const std::string& ep);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n frames (1 <= n <= batch()): frame k from identity frame sourceIndex[k]
  // with keypoints sourceKp + 63k and drivingKp + 63k. Returns n planar crops of
  // 3 x crop x crop floats, valid until the next call. A source index outside
  // [0, NT) is refused.
  const float* render(const int* sourceIndex, const float* sourceKp, const float* drivingKp, int n);

  int batch() const;
  const char* ep() const;
  const char* backend() const;
  const char* directorNote() const;
  // Milliseconds spent in session runs, and their number.
  double runMs() const;
  long runs() const;
  // Whether the source cone runs apart from the per-frame graph, and how many of
  // its prep runs the render thread had to make itself (prefetch misses).
  bool coneHoisted() const;
  long coneSyncFills() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// CoreML model cache directory of a bundle: dir + "/.coreml_cache/ort" + runtime version.
std::string coremlCacheDir(const std::string& dir);

}  // namespace tq
