#include "audio/tq_motion_net.h"

#include <chrono>
#include <stdexcept>

#include "compute/tq_env.h"
#include "bundle/tq_bundle.h"
#include "render/tq_ort.h"
#include "render/tq_renderer.h"

namespace tq {
namespace motion {

namespace {

std::string baseName(const std::string& path) {
  const std::size_t s = path.find_last_of('/');
  return s == std::string::npos ? path : path.substr(s + 1);
}

std::string dimsText(const std::vector<int64_t>& shape) {
  std::string t;
  for (std::size_t i = 0; i < shape.size(); ++i) t += (i ? "," : "") + (shape[i] < 0 ? "?" : std::to_string(shape[i]));
  return "[" + t + "]";
}

// The shape a buffer is bound with: the graph's declared shape, its one
// symbolic dimension inferred from the element count; the engine's shape when
// the graph declares none, or when several symbolic dimensions sit among fixed
// ones that agree with it.
std::vector<int64_t> shapeFor(const Ort::TypeInfo& info, const std::vector<int64_t>& engine, const std::string& what) {
  auto tensor = info.GetTensorTypeAndShapeInfo();
  if (tensor.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
    throw std::runtime_error("tq_motion: " + what + " is not float32");
  std::vector<int64_t> shape = tensor.GetShape();
  if (shape.empty()) return engine;
  std::size_t count = 1, fixed = 1;
  for (int64_t d : engine) count *= static_cast<std::size_t>(d);
  int symbolic = 0;
  for (int64_t d : shape) {
    if (d < 0)
      ++symbolic;
    else
      fixed *= static_cast<std::size_t>(d);
  }
  if (symbolic == 0 && fixed == count) return shape;
  if (symbolic == 1 && fixed > 0 && count % fixed == 0) {
    for (int64_t& d : shape)
      if (d < 0) d = static_cast<int64_t>(count / fixed);
    return shape;
  }
  if (symbolic > 1 && shape.size() == engine.size()) {
    bool agree = true;
    for (std::size_t i = 0; i < shape.size(); ++i) agree = agree && (shape[i] < 0 || shape[i] == engine[i]);
    if (agree) return engine;
  }
  if (symbolic == 0)
    throw std::runtime_error("tq_motion: " + what + " holds " + std::to_string(fixed) + " floats, expected " +
                             std::to_string(count));
  throw std::runtime_error("tq_motion: " + what + " declares " + dimsText(shape) + ", which cannot hold the " +
                           std::to_string(count) + " floats of " + dimsText(engine));
}

}  // namespace

const char* coremlComputeUnits(const std::string& ep) {
  const std::string units = ep.size() < 8 ? std::string() : ep.substr(7);
  if (units == "cpu") return "CPUOnly";
  if (units == "gpu") return "CPUAndGPU";
  if (units == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

Ort::SessionOptions motionSessionOptions(int threads, const std::string& ep, const std::string& motionDir) {
  const bool coreml = ep.compare(0, 6, "coreml") == 0;
  if (!ep.empty() && !coreml) throw std::runtime_error("tq_motion: unknown ep '" + ep + "'");
  ortInit();
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  if (!env::beginsWith("TQ_ORT_SPIN", '1')) o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (coreml)
    o.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                         {"MLComputeUnits", coremlComputeUnits(ep)},
                                         {"ModelCacheDirectory", coremlCacheDir(motionDir)}});
  return o;
}

std::size_t elements(const std::vector<int64_t>& shape) {
  std::size_t n = 1;
  for (int64_t d : shape) n *= static_cast<std::size_t>(d);
  return n;
}

MotionNet::MotionNet(const std::string& path, const Ort::SessionOptions& options, const std::vector<Buffer>& inputs,
                     const Buffer& output)
    : name_(baseName(path)) {
  if (!isReadable(path)) throw std::runtime_error("cannot open " + path);
  session_ = makeSession(path, options);
  Ort::AllocatorWithDefaultOptions alloc;
  const std::size_t nIn = session_->GetInputCount();
  if (nIn != inputs.size())
    throw std::runtime_error("tq_motion: " + name_ + " declares " + std::to_string(nIn) + " inputs, expected " +
                             std::to_string(inputs.size()));
  if (session_->GetOutputCount() < 1) throw std::runtime_error("tq_motion: " + name_ + " declares no output");
  const Ort::MemoryInfo& mem = ortCpuMemory();
  for (std::size_t i = 0; i < nIn; ++i) {
    inNames_.push_back(session_->GetInputNameAllocated(i, alloc).get());
    const auto shape = shapeFor(session_->GetInputTypeInfo(i), inputs[i].shape,
                                name_ + " input " + std::to_string(i) + " '" + inNames_.back() + "'");
    inValues_.push_back(Ort::Value::CreateTensor<float>(mem, inputs[i].data, elements(inputs[i].shape), shape.data(),
                                                        shape.size()));
  }
  outName_ = session_->GetOutputNameAllocated(0, alloc).get();
  const auto outShape =
      shapeFor(session_->GetOutputTypeInfo(0), output.shape, name_ + " output '" + outName_ + "'");
  outValue_ =
      Ort::Value::CreateTensor<float>(mem, output.data, elements(output.shape), outShape.data(), outShape.size());
  for (const auto& n : inNames_) inPtrs_.push_back(n.c_str());
  outPtr_ = outName_.c_str();
}

void MotionNet::run() {
  const auto t0 = std::chrono::steady_clock::now();
  ortRun(*session_, inPtrs_.data(), inValues_.data(), inValues_.size(), &outPtr_, &outValue_, 1);
  ms_ += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ++runs_;
}

}  // namespace motion
}  // namespace tq
