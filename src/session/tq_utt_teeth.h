// The session's teeth stage: where a teeth borrow, once attached, rewrites the
// mouth window of each rendered crop one frame behind; a pass-through until a
// borrow is attached.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "session/tq_utt_queue.h"

struct tq_utt;

namespace tq {
namespace utt {

struct PasteJob;

// What the session needs from a borrow. It works one frame behind: push() takes
// a crop and reports whether the frame held from the previous push was finished.
class TeethStage {
 public:
  virtual ~TeethStage() = default;
  // True when the previously pushed frame was finished (composed or refused).
  virtual bool push(const float* crop, const float* kp) = 0;
  // Finishes the last pushed frame; false when none was pending.
  virtual bool flush() = 0;
  // The finished frame was refused; message() says why.
  virtual bool refused() const = 0;
  virtual std::string message() const = 0;
  // Writes the finished frame's mouth window into crop (3 planes of canvas^2).
  virtual void writeWindow(float* crop, int canvas) = 0;
  // Synthesis-weight statistics (sum of per-frame means, maximum, frames);
  // callable from any thread. False when no frame was counted.
  virtual bool synth(double& sumMeans, double& max, uint64_t& frames) const {
    sumMeans = max = 0.0;
    frames = 0;
    return false;
  }
};

// Session-side state of the teeth stage, guarded by the session's lock except
// for the held frame and its owner, which only the stage's working thread
// touches (the render thread, or the teeth thread when pipelined).
struct TeethState {
  std::shared_ptr<TeethStage> stage;
  bool pipelined = false;
  bool failed = false;
  bool stop = false;
  std::string message;
  std::string ranking;  // corpus-geometry ranking text of the attach
  uint64_t composed = 0, refused = 0;
  // the frame held one behind, and the stage it was pushed to: a newly
  // attached stage takes over at the next frame, after the old one has
  // finished (or, when it had failed, dropped) the held frame
  std::shared_ptr<TeethStage> owner;
  bool ownerFailed = false;
  std::vector<float> held;
  bool hasHeld = false;
  int32_t heldKind = 0, heldIndex = 0, heldFrame = -1;
  float heldKp[63] = {};
  uint64_t heldEpoch = 0;
  uint64_t threadEpoch = 0;
  // Internal observation hook: when set (before the attach), sees every crop,
  // its keypoints and driver frame as the stage receives them.
  void (*tap)(void* user, const float* crop, const float* kp, int32_t driverIndex) = nullptr;
  void* tapUser = nullptr;
  // pipelined stage
  JobQueue<PasteJob, 2> queue;
  JobPool<PasteJob> pool;
};

// Arms a session with a teeth stage (internal; the teeth borrow's attach calls
// it), resetting the counters and texts. A pipelined stage gets its own thread.
void attachTeeth(tq_utt* u, std::shared_ptr<TeethStage> stage, bool pipelined,
                 std::string ranking = {});
// A synchronous stage forgets the frame it holds (after an interrupt).
void dropHeldTeeth(tq_utt* u);
// An attached stage failed: nothing is delivered any more.
bool teethFailed(tq_utt* u);

}  // namespace utt
}  // namespace tq
