// One graph of the motion pipeline in its own ONNX Runtime session, run over
// caller buffers bound once.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tq {
namespace motion {

// Session options of a motion graph: intra-op threads, spinning off unless
// TQ_ORT_SPIN begins with "1", and the execution provider named by ep
// ("" = CPU, "coreml[-units]" = CoreML). Throws "tq_motion: unknown ep '<ep>'".
Ort::SessionOptions motionSessionOptions(int threads, const std::string& ep, const std::string& motionDir);

// CoreML compute units named after the first 7 characters of ep ("coreml" and
// a separator): "cpu", "gpu", "ane", else "ALL".
const char* coremlComputeUnits(const std::string& ep);

class MotionNet {
 public:
  // Opens the graph at path. inputs[i] and output are caller buffers of the
  // given float counts; the graph's declared inputs, in order, must hold
  // exactly those counts, and its first output the output count.
  MotionNet(const std::string& path, const Ort::SessionOptions& options,
            const std::vector<std::pair<float*, std::size_t>>& inputs, float* output, std::size_t outputCount);
  MotionNet(const MotionNet&) = delete;
  MotionNet& operator=(const MotionNet&) = delete;

  // Runs the graph on the current contents of the input buffers.
  void run();
  // Milliseconds spent in run() and how many runs.
  double ms() const { return ms_; }
  long runs() const { return runs_; }

 private:
  std::string name_;
  std::unique_ptr<Ort::Session> session_;
  std::vector<std::string> inNames_;
  std::string outName_;
  std::vector<const char*> inPtrs_;
  const char* outPtr_ = nullptr;
  std::vector<Ort::Value> inValues_;
  Ort::Value outValue_{nullptr};
  double ms_ = 0;
  long runs_ = 0;
};

}  // namespace motion
}  // namespace tq
