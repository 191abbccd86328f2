#include "audio/tq_motion.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "compute/tq_env.h"
#include "compute/tq_pool.h"

namespace tq {
namespace motion {

namespace {
constexpr int kLipPoints[] = {6, 12, 14, 17, 19, 20};
}

MotionEngine::MotionEngine(const std::string& dir, int threads, const std::string& ep) : dir_(dir) {
  const std::string dumpDir = env::text("TQ_MOTION_DUMP");
  tables_ = loadMotionTables(dir_);
  const float* ch = tables_.chInfo.data();
  initState_[0] = ch[kInfoScale] - 1.0f;
  std::memcpy(initState_ + kMotPitch, ch + kInfoPitch, sizeof(float) * kBins);
  std::memcpy(initState_ + kMotYaw, ch + kInfoYaw, sizeof(float) * kBins);
  std::memcpy(initState_ + kMotRoll, ch + kInfoRoll, sizeof(float) * kBins);
  std::memcpy(initState_ + kMotTrans, ch + kInfoTrans, sizeof(float) * 3);
  std::memcpy(initState_ + kMotExpr, tables_.chSc.data(), sizeof(float) * kExprDim);
  exprGain_ = ch[kInfoScale] / tables_.srcInfo[kInfoScale];
  // A zero or broken scale would turn every driving keypoint into inf or NaN.
  if (!std::isfinite(exprGain_))
    throw std::runtime_error("tq_motion: expression gain " + std::to_string(ch[kInfoScale]) + " / " +
                             std::to_string(tables_.srcInfo[kInfoScale]) +
                             " (ch_xs_info.bin scale / src_xs_info.bin row 0 scale) is not finite");
  for (int p : kLipPoints)
    for (int k = 0; k < 3; ++k) lipMask_[3 * p + k] = true;
  prepareSources();

  if (threads < 1) threads = pool::threads();
  const Ort::SessionOptions options = motionSessionOptions(threads, ep, dir_);
  melFront_ = std::make_unique<MelFrontEnd>(tables_.window.data(), tables_.binmat.data());
  mel_.assign(kMelBands * kMelFrames, 0.0f);
  feat_.assign(kFeatRows * kFeatDim, 0.0f);
  lmdmState_.assign(kMotionDim, 0.0f);
  lmdmCond_.assign(kChunk * kCondDim, 0.0f);
  lmdmOut_.assign(kChunk * kMotionDim, 0.0f);
  xs_.assign(kExprDim, 0.0f);
  xd_.assign(kExprDim, 0.0f);
  stitched_.assign(kExprDim, 0.0f);
  using Buffer = MotionNet::Buffer;
  encoder_ = std::make_unique<MotionNet>(dir_ + "/hubert_student.onnx", options,
                                         std::vector<Buffer>{{mel_.data(), {1, kMelBands, kMelFrames}}},
                                         Buffer{feat_.data(), {1, kFeatRows, kFeatDim}});
  generator_ = std::make_unique<MotionNet>(
      dir_ + "/lmdm.onnx", options,
      std::vector<Buffer>{{lmdmState_.data(), {1, kMotionDim}}, {lmdmCond_.data(), {1, kChunk, kCondDim}}},
      Buffer{lmdmOut_.data(), {1, kChunk, kMotionDim}});
  stitcher_ = std::make_unique<MotionNet>(dir_ + "/stitch.onnx", options,
                                          std::vector<Buffer>{{xs_.data(), {1, kExprDim}}, {xd_.data(), {1, kExprDim}}},
                                          Buffer{stitched_.data(), {1, kExprDim / 3, 3}});
  snap_.assign(kOverlap * kMotionDim, 0.0f);
  dump_ = std::make_unique<MotionDump>(dumpDir);
  reset(0, 1, false);
}

void MotionEngine::reset(int start, int dir, bool wrap) {
  samples_.clear();
  cond_.clear();
  seq_.clear();
  finished_ = false;
  total_ = -1;
  nextBlock_ = 0;
  specRows_ = 0;
  chunks_ = 0;
  std::memcpy(state_, initState_, sizeof state_);
  finalBuilt_ = false;
  pulled_ = 0;
  refSet_ = false;
  d_ = std::min(std::max(start, 0), nt() - 1);
  step_ = dir < 0 ? -1 : 1;
  wrap_ = wrap;
  lastSpecFrames_ = 0;
  horizon_ = 0;
  snapLen_ = 0;
  snapValid_ = false;
  chunkJustRun_ = false;
  specMs_ = 0;
}

bool MotionEngine::push(const float* samples, int n) {
  if (finished_) return false;
  if (n <= 0) return true;
  const int64_t at = samples_.end();
  // The next block's window is the oldest audio still needed.
  samples_.extend(at + n, std::max<int64_t>(0, nextBlock_ * kSamplesPerFrame - kBlockLead));
  std::memcpy(samples_.row(at), samples, sizeof(float) * static_cast<std::size_t>(n));
  return true;
}

void MotionEngine::finish() {
  if (finished_) return;
  finished_ = true;
  total_ = static_cast<int>(audioFrames());
  if (dump_->on()) {
    takeBack();
    for (; nextBlock_ < total_; nextBlock_ += kBlockFrames) processBlock(nextBlock_, false);
  }
}

void MotionEngine::advance() {
  // Eager turned off mid-utterance: nothing speculative may be handed out.
  if (eager_ == 0) takeBack();
  if (finished_) {
    for (; nextBlock_ < total_; nextBlock_ += kBlockFrames) {
      takeBack();
      processBlock(nextBlock_, false);
    }
    while (kStride * chunks_ < std::min<int64_t>(total_, realRows())) {
      takeBack();
      runChunk(chunks_, state_, false);
      ++chunks_;
    }
    if (!finalBuilt_) {
      takeBack();
      buildFinal();
    }
    return;
  }
  for (; samples_.end() >= nextBlock_ * kSamplesPerFrame + (kBlockSamples - kBlockLead); nextBlock_ += kBlockFrames) {
    takeBack();
    processBlock(nextBlock_, false);
  }
  while (realRows() > kStride * chunks_ + kChunk - 1) {
    takeBack();
    runChunk(chunks_, state_, false);
    ++chunks_;
    chunkJustRun_ = true;
  }
  if (eager_ != 0 && (chunkJustRun_ || audioFrames() >= lastSpecFrames_ + eagerFrames())) eagerAdvance();
}

int MotionEngine::eagerFrames() const {
  if (eager_ > 0) return eager_;
  if (pulled_ == 0) return 1;
  return std::min(std::max(static_cast<int>(specMs_ / 40.0 + 0.999), 1), 8);
}

int MotionEngine::avail() {
  advance();
  const int64_t len = seq_.end();
  int64_t ready;
  if (finalBuilt_)
    ready = len - pulled_;
  else if (eager_ == 0)
    // The last ten frames wait for the next chunk's cross-fade.
    ready = std::min(realRows() - 1, len - (kOverlap + 1)) - pulled_;
  else
    ready = std::min(len - 1, horizon_) - pulled_;
  return static_cast<int>(std::max<int64_t>(ready, 0));
}

int MotionEngine::pull(int* idx, float* srcKp, float* drvKp, int max) {
  const int n = std::min(avail(), max);
  for (int i = 0; i < n; ++i) emit(idx + i, srcKp + kExprDim * i, drvKp + kExprDim * i);
  return std::max(n, 0);
}

MotionTimes MotionEngine::times() const {
  MotionTimes t;
  t.melMs = melMs_;
  t.encoderMs = encoder_->ms();
  t.generatorMs = generator_->ms();
  t.stitchMs = stitcher_->ms();
  t.blocks = blocks_;
  t.chunks = chunksRun_;
  t.frames = frames_;
  return t;
}

}  // namespace motion
}  // namespace tq
