// The source-cone hoist at run time: the load-time decision that splits the
// director into a prep graph and a per-frame graph, and the ring of two boundary
// slots that a dedicated thread fills one source frame ahead of the renderer.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bundle/tq_identity.h"

namespace tq {

// What a successful hoist decision hands the renderer.
struct ConeHoistPlan {
  std::unique_ptr<Ort::Session> prep;      // "P_rgb" in, boundary out
  std::unique_ptr<Ort::Session> director;  // the per-frame graph
  std::string boundary;
  std::vector<int64_t> dims;  // [1, C, crop, crop]
  std::size_t count = 0;      // boundary elements
};

// Decides whether to hoist the source cone out of the director graph `model`
// (already rewritten) and, when it does, builds both sessions into `plan`; the
// director session uses `directorOptions`. Logs every outcome but the silent
// ones (no warp prior, no bytes). Wire errors of malformed bytes propagate.
bool decideSourceConeHoist(const std::vector<uint8_t>& model, bool hasPrior, int crop, const std::string& modelKey,
                           const std::string& ep, bool warpApplied, const Ort::SessionOptions& directorOptions,
                           ConeHoistPlan& plan);

// Predicts the next source frame from the ones seen: steps of one frame forwards
// or backwards, bouncing at the ends (ping-pong) until a jump from the last frame
// to frame 0 shows that playback wraps.
struct SourcePredictor {
  int32_t lastSrc = -1;
  int32_t step = 1;
  bool wrap = false;
  // Records `src` and returns the frame expected after it, of `count` frames.
  int next(int src, int count);
};

// One ring entry: the boundary of source frame `src` (-1 when empty or being filled).
struct ConeSlot {
  int32_t src = -1;
  std::vector<float> data;
  Ort::Value value{nullptr};
};

class ConeRing {
 public:
  // Takes the prep session; `priorBuf` holds one frame of 3 x crop x crop floats
  // and is used by this ring alone. Starts the prep thread.
  ConeRing(std::unique_ptr<Ort::Session> prep, const Identity& id, float* priorBuf, int crop,
           const std::string& boundary, const std::vector<int64_t>& dims);
  // Stops and joins the prep thread (after its current run).
  ~ConeRing();
  ConeRing(const ConeRing&) = delete;
  ConeRing& operator=(const ConeRing&) = delete;

  // The slot holding the boundary of source frame `src`, filled on the calling
  // thread when no prefetch has it. The slot stays untouched until the next call.
  // Throws "Renderer: source-cone ring exhausted" or, once any prep run has
  // failed, "Renderer: the hoisted source cone failed in ORT — " + its text.
  int acquire(int src);
  // Predicts the source frame after `src` and posts its prep run to the thread
  // unless a slot already holds it or a request is pending.
  void prefetchAfter(int src);

  Ort::Value& value(int slot) { return ring_[slot].value; }
  const std::string& boundary() const { return boundary_; }
  // Prep runs made on the render thread inside acquire (prefetch misses).
  long syncFills() const;
  // Prep runs made on the prep thread.
  long prefetchRuns() const;

 private:
  void runPrepL(int src, int slot, std::unique_lock<std::mutex>& lock);
  void loadPrior(int src);
  void threadMain();
  int pickSlotL(int avoid) const;

  std::unique_ptr<Ort::Session> prep_;
  std::unique_ptr<Ort::IoBinding> binding_;
  Ort::Value input_{nullptr};
  std::string boundary_;
  const Identity& id_;
  float* priorBuf_;
  std::size_t priorElems_;
  std::vector<uint16_t> priorHalf_;  // a movie prior's frame, copied under its cursor's lock
  ConeSlot ring_[2];

  mutable std::mutex mu_;
  std::condition_variable cv_;
  int32_t pendingSrc_ = -1, pendingSlot_ = -1;
  int32_t inUse_ = -1;
  bool stop_ = false;
  std::string firstError_;
  long syncFills_ = 0, prefetchRuns_ = 0;
  SourcePredictor predictor_;
  std::thread thread_;
};

}  // namespace tq
