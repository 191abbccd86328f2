// The motion pipeline engine: 16 kHz audio in, per video frame a driver index
// and keypoints out, through a log-mel encoder, a chunked motion generator and
// a stitching network. One thread uses an engine at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/tq_motion_dump.h"
#include "audio/tq_motion_mel.h"
#include "audio/tq_motion_net.h"
#include "audio/tq_motion_rows.h"
#include "audio/tq_motion_tables.h"

namespace tq {
namespace motion {

// Where the time went, for benchmarks.
struct MotionTimes {
  double melMs = 0, encoderMs = 0, generatorMs = 0, stitchMs = 0;
  long blocks = 0, chunks = 0, frames = 0;
};

class MotionEngine {
 public:
  // threads < 1: the worker-pool size. ep: "" (CPU) or "coreml...".
  MotionEngine(const std::string& dir, int threads, const std::string& ep);

  // False after finish.
  bool push(const float* samples, int n);
  void finish();
  int avail();
  int pull(int* idx, float* srcKp, float* drvKp, int max);
  void reset(int start, int dir, bool wrap);
  int total() const { return total_; }
  int nt() const { return tables_.meta.nt; }
  void setEager(int eager) { eager_ = eager; }

  MotionTimes times() const;
  // Bytes held by the sample, conditioning and sequence windows.
  std::size_t workingBytes() const { return samples_.bytes() + cond_.bytes() + seq_.bytes(); }

 private:
  int64_t realRows() const { return cond_.end() - specRows_; }
  int64_t audioFrames() const { return (samples_.end() + kSamplesPerFrame - 1) / kSamplesPerFrame; }
  int64_t seqKeepFrom() const;
  void advance();
  void processBlock(int64_t w, bool speculative);
  void runChunk(int64_t c, float* state, bool speculative);
  void smoothRange(int64_t first, int64_t last);
  void buildFinal();
  void takeBack();
  void eagerAdvance();
  int eagerFrames() const;
  void prepareSources();
  void emit(int* idx, float* srcKp, float* drvKp);

  std::string dir_;
  MotionTables tables_;
  std::unique_ptr<MotionDump> dump_;
  float initState_[kMotionDim];
  float exprGain_ = 1;
  bool lipMask_[kExprDim] = {};
  std::vector<float> sourceXs_, sourceRd_;  // per source row: x_s (63), R_d (9)

  // Model tensors, bound to the nets once.
  std::vector<float> mel_, feat_, lmdmState_, lmdmCond_, lmdmOut_, xs_, xd_, stitched_;
  std::unique_ptr<MelFrontEnd> melFront_;
  std::unique_ptr<MotionNet> encoder_, generator_, stitcher_;
  double melMs_ = 0;
  long blocks_ = 0, chunksRun_ = 0, frames_ = 0;

  // Stream state.
  SlidingRows samples_{1, 4 * 16000};
  SlidingRows cond_{kCondDim, 256};
  SlidingRows seq_{kMotionDim, 256};
  bool finished_ = false;
  int total_ = -1;
  int64_t nextBlock_ = 0;
  int64_t specRows_ = 0;
  int64_t chunks_ = 0;
  float state_[kMotionDim];
  bool finalBuilt_ = false;
  int64_t pulled_ = 0;
  float ref_[kExprDim];
  bool refSet_ = false;
  int d_ = 0, step_ = 1;
  bool wrap_ = false;

  // Eager speculation.
  int eager_ = 0;
  int64_t lastSpecFrames_ = 0, horizon_ = 0;
  int64_t snapLen_ = 0;
  std::vector<float> snap_;
  bool snapValid_ = false, chunkJustRun_ = false;
  double specMs_ = 0;
  float specState_[kMotionDim];

  // Per-frame scratch.
  float motion_[kMotionDim], ed_[kExprDim], prev_[kMotionDim], cur_[kMotionDim];
};

}  // namespace motion
}  // namespace tq
