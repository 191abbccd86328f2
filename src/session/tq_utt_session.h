// The utterance session behind the tq_utt handle: shared state, the output
// ring, the paste and teeth queues, the dispatcher mailbox and the threads.
//
// Locks: `mu` (with `cv`, `pasteCv`, `teethCv`) guards everything shared
// between the host and the session's threads; `box.mu` guards the dispatcher's
// mailbox alone. No path holds both. Producers wait in 2 ms steps so that an
// interrupt or stop is noticed quickly.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capi/tq_ctx.h"
#include "session/tq_utt_engine.h"
#include "session/tq_utt_options.h"
#include "session/tq_utt_queue.h"
#include "session/tq_utt_ring.h"
#include "session/tq_utt_teeth.h"
#include "tq/tq.h"

namespace tq {
namespace utt {

constexpr int kKp = 63;
constexpr int kPullCap = 32;
constexpr int kPasteQueue = 8;
constexpr int kTeethQueue = 2;

double nowMs();

// One unit of work between stages; pooled, never allocated per frame.
struct PasteJob {
  std::vector<float> crop;  // 3 x crop x crop
  bool hasCrop = false;
  int32_t kind = 0;
  int32_t driverIndex = 0;
  int32_t frame = -1;
  float kp[kKp] = {};
  uint64_t epoch = 0;
  double enqueued = 0.0;

  // Takes a frame's crop (null: none), description and keypoints (null: zeros).
  void fill(const float* crop, std::size_t cropFloats, int32_t kind, int32_t driverIndex, int32_t frame,
            const float* kp, uint64_t epoch);
};

// The dispatcher's mailbox: one request, one response.
struct Mailbox {
  std::mutex mu;
  std::condition_variable cv;
  // request
  Engine* engine = nullptr;
  std::vector<float> samples;
  bool reset = false;
  int start = 0, dir = 1;
  bool finish = false;
  int eager = 0;
  int max = 0;
  uint64_t tag = 0;
  bool pending = false;
  bool stop = false;
  // response
  bool done = false;
  uint64_t doneTag = 0;
  int pulled = 0;
  bool failed = false;  // the engine reported a failure; its text in `error`
  std::string error;
  int remaining = 0;
  int total = -1;
  int idx[kPullCap] = {};
  float src[kPullCap * kKp] = {};
  float drv[kPullCap * kKp] = {};
  EngineTimes spent;  // the engine's time per stage during this request
};

// Pushed audio not yet taken by the render loop, with the end marks that split
// it into utterances. Preallocated; a mark list that outgrows its reserve
// grows (a host that queues hundreds of sentences at once).
struct Inbox {
  struct End {
    std::size_t at;      // samples before this end
    double firstPushMs;  // first push of the segment it closes (0: none)
  };
  std::vector<float> samples;
  std::vector<End> ends;
  bool openPushed = false;  // the segment after the last end has had a push
  double openFirstPushMs = 0;

  bool empty() const { return samples.empty() && ends.empty(); }
  void clear() {
    samples.clear();
    ends.clear();
    openPushed = false;
  }
  void push(const int16_t* pcm, int n, double now);
  // An end after the segment pushed so far; a second end with nothing pushed in
  // between adds nothing.
  void end();
  // Moves the next segment into out (replacing its contents): up to the first
  // end mark (returns true: the segment is ended), or all of it when no end is
  // marked. firstPushMs receives the segment's first push (0: none).
  bool take(std::vector<float>& out, double* firstPushMs);
};

struct StageSums {
  double renderMs = 0, waitMs = 0, teethMs = 0, pasteMs = 0, deliverMs = 0;
  long long renderFrames = 0, teethJobs = 0, pasteJobs = 0, delivered = 0;
};

}  // namespace utt
}  // namespace tq

struct tq_utt {
  tq_ctx* ctx = nullptr;
  tq::utt::Options opt;
  tq::utt::EngineFactory makeEngine;
  int NT = 0, W = 0, H = 0, crop = 0;
  std::size_t frameBytes = 0, cropFloats = 0;
  std::vector<float> xsTarget;  // NT x 63, or empty (no ramps)

  std::mutex mu;
  std::condition_variable cv, pasteCv, teethCv;

  // engine and warm-up
  std::unique_ptr<tq::utt::Engine> engine;
  bool engineReady = false;
  bool engineFailed = false;
  std::string engineError;
  std::unique_ptr<tq::Renderer> chunk;

  // host input: the inbox holds the audio of the current utterance followed by
  // any later ones; `ends` marks where each tq_utt_end_utterance fell in it
  tq::utt::Inbox inbox;
  uint64_t interrupts = 0;
  bool stop = false;
  std::atomic<bool> stopping{false};
  double lastPushMs = 0;
  double firstPushMs = 0;  // of the utterance whose first frame is awaited
  tq_utt_counts counts{};

  // output
  tq::utt::Ring ring;
  uint64_t nextSeq = 0;
  int lastPulledKind = -1;
  int lastPulledIndex = 0;
  float lastPulledKp[tq::utt::kKp] = {};
  tq_utt_stats stats{};
  int loopState = 0;
  // The first frame's latency split: the render loop fills everything up to the
  // render, the paste stage the rest when it delivers speech frame 0.
  tq_utt_latency latencyNext{};
  tq_utt_latency latency{};

  // render failures
  uint64_t failures = 0;
  std::string failText;
  bool fatal = false;

  // paste stage (pipelined): queue, pool, and jobs taken but not yet finished
  tq::utt::JobQueue<tq::utt::PasteJob, tq::utt::kPasteQueue> pasteQ;
  tq::utt::JobPool<tq::utt::PasteJob> pastePool;
  int pasteBusy = 0;
  bool pasteStop = false;

  // teeth stage
  tq::utt::TeethState teeth;

  tq::utt::StageSums sums;
  tq::utt::Mailbox box;

  int waiters = 0;  // host threads inside tq_utt_wait_*; destroy waits for them to leave

  std::thread renderThread, warmThread, dispatchThread, pasteThread, teethThread;

  // Called by the render thread; definitions in the stage files.
  bool enqueue(const float* crop, int kind, int driverIndex, int frame, const float* kp, uint64_t epoch);
  bool enqueueRaw(const float* crop, int kind, int driverIndex, int frame, const float* kp, uint64_t epoch);
  bool pasteStep(const float* crop, int kind, int driverIndex, int frame, const float* kp, uint64_t epoch,
                 double enqueued, double* timer);
  void walkPrior(int driverIndex);
  void noteRenderFail(const char* stage, const std::string& message, bool fatalFailure);
  void pasteLoop();
  void teethLoop();
  void warmUp();
  void dispatchLoop();
  void renderLoop();
  void startThreads();
  void stopAndJoin();
};
