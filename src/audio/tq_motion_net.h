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
  // A caller buffer and the shape the engine gives it.
  struct Buffer {
    float* data;
    std::vector<int64_t> shape;
  };
  // Opens the graph at path over caller buffers: the graph's declared inputs,
  // in order, and its first output. Each is bound with the graph's declared
  // shape, one symbolic dimension inferred from the buffer's element count,
  // or the engine's shape where the graph declares none; refused when the
  // declared fixed dimensions contradict the count.
  MotionNet(const std::string& path, const Ort::SessionOptions& options, const std::vector<Buffer>& inputs,
            const Buffer& output);
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
