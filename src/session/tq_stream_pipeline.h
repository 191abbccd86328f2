// Rendering overlapped with pasting: a render thread fills a ring of crops while
// the calling thread pastes them and hands the frames on, in order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace tq {

class RenderPastePipeline {
 public:
  static constexpr int kRing = 4;
  // Renders frame j; returns its crop (cropFloats floats, valid until the next
  // render) or null on failure. Runs on the render thread.
  using Render = std::function<const float*(int64_t j)>;
  // Pastes frame j's crop; false on failure. Runs on the calling thread.
  using Paste = std::function<bool(int64_t j, const float* crop)>;
  // Hands frame j on after its crop slot was released. Calling thread.
  using Deliver = std::function<void(int64_t j)>;

  explicit RenderPastePipeline(std::size_t cropFloats);

  // Runs frames 0..count-1. Returns the frames delivered; failed() tells whether
  // a stage failed. Then exactly the frames before the failed one were delivered.
  int64_t run(int64_t count, const Render& render, const Paste& paste, const Deliver& deliver);
  bool failed() const { return failed_; }

 private:
  void renderLoop(int64_t count, const Render& render);

  std::size_t cropFloats_;
  std::vector<float> ring_;
  std::mutex mu_;
  std::condition_variable roomCv_, cropCv_;
  int64_t rendered_ = 0, pasted_ = 0;
  bool done_ = false, failed_ = false;
};

}  // namespace tq
