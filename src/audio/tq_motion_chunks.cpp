// Audio blocks to conditioning rows, generator chunks to the motion sequence,
// and the eager speculation that runs both ahead of the audio and is taken back.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "audio/tq_motion.h"
#include "audio/tq_motion_mel.h"
#include "audio/tq_motion_seq.h"

namespace tq {
namespace motion {

void MotionEngine::processBlock(int64_t w, bool speculative) {
  const auto t0 = std::chrono::steady_clock::now();
  float* in = melInputScratch();
  // Samples outside the buffered audio read as silence.
  const int64_t first = w * kSamplesPerFrame - kBlockLead;
  const int64_t lo = std::max<int64_t>(first, 0), hi = std::min<int64_t>(first + kBlockSamples, samples_.end());
  std::fill(in, in + kBlockSamples, 0.0f);
  if (hi > lo) std::memcpy(in + (lo - first), samples_.row(lo), sizeof(float) * static_cast<std::size_t>(hi - lo));
  melFront_->run(in, mel_.data());
  melMs_ += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  encoder_->run();
  // Conditioning reads feature rows 6..15; the first block's dump shows all 20.
  const bool dumpFeatures = w == 0 && !speculative && dump_->on();
  const float* __restrict sd = tables_.fstd.data();
  const float* __restrict mean = tables_.fmean.data();
  for (int r = dumpFeatures ? 0 : 6; r < (dumpFeatures ? kFeatRows : 16); ++r) {
    float* __restrict f = feat_.data() + r * kFeatDim;
    for (int k = 0; k < kFeatDim; ++k) f[k] = f[k] * sd[k] + mean[k];
  }
  ++blocks_;
  if (dumpFeatures) {
    dump_->write("mel0.bin", mel_.data(), mel_.size());
    dump_->write("feat0.bin", feat_.data(), feat_.size());
  }
  const int64_t at = cond_.end();
  cond_.extend(at + kBlockFrames, kStride * chunks_);
  for (int j = 0; j < kBlockFrames; ++j) {
    float* row = cond_.row(at + j);
    const float* fa = feat_.data() + (6 + 2 * j) * kFeatDim;
    const float* fb = fa + kFeatDim;
    for (int k = 0; k < kFeatDim; ++k) row[k] = 0.5f * (fa[k] + fb[k]);
    const int64_t emo = (w + j) % tables_.meta.nEmo;
    std::memcpy(row + kFeatDim, tables_.emo.data() + emo * kEmoDim, sizeof(float) * kEmoDim);
    std::memcpy(row + kFeatDim + 8, tables_.eyeOpen.data(), sizeof(float) * 2);
    std::memcpy(row + kFeatDim + 10, tables_.eyeBall.data(), sizeof(float) * 6);
    std::memcpy(row + kFeatDim + 16, tables_.chSc.data(), sizeof(float) * kExprDim);
    if (!speculative) dump_->append(MotionDump::kCond, row, kCondDim);
  }
  if (speculative) specRows_ += kBlockFrames;
}

int64_t MotionEngine::seqKeepFrom() const {
  // Debug dumps hold the whole sequence.
  if (dump_->on()) return 0;
  // Emission reads frame pulled - 1; the next chunk reads from length - 11; a
  // speculation restores from its snapshot length - 11.
  int64_t keep = std::min(pulled_ - 1, seq_.end() - (kOverlap + 1));
  if (snapValid_) keep = std::min(keep, snapLen_ - (kOverlap + 1));
  return std::max<int64_t>(keep, 0);
}

void MotionEngine::smoothRange(int64_t first, int64_t last) {
  // Each frame averages the unmodified neighbours: keep the previous original aside.
  const int64_t len = seq_.end();
  bool hasPrev = first > 0;
  if (hasPrev) std::memcpy(prev_, seq_.row(first - 1), sizeof prev_);
  for (int64_t f = first; f <= last; ++f) {
    float* row = seq_.row(f);
    std::memcpy(cur_, row, sizeof cur_);
    smoothFrame(hasPrev ? prev_ : nullptr, cur_, f + 1 < len ? seq_.row(f + 1) : nullptr, row);
    std::memcpy(prev_, cur_, sizeof prev_);
    hasPrev = true;
  }
}

void MotionEngine::runChunk(int64_t c, float* state, bool speculative) {
  const int64_t start = kStride * c;
  const int64_t lastRow = cond_.end() - 1;
  for (int i = 0; i < kChunk; ++i)
    std::memcpy(lmdmCond_.data() + static_cast<std::size_t>(i) * kCondDim, cond_.row(std::min(start + i, lastRow)),
                sizeof(float) * kCondDim);
  std::memcpy(lmdmState_.data(), state, sizeof(float) * kMotionDim);
  generator_->run();
  ++chunksRun_;
  if (c == 0 && !speculative) {
    dump_->write("lmdm0_kp.bin", lmdmState_.data(), lmdmState_.size());
    dump_->write("lmdm0_aud.bin", lmdmCond_.data(), lmdmCond_.size());
    dump_->write("lmdm0_pred.bin", lmdmOut_.data(), lmdmOut_.size());
  }
  const float* pred = lmdmOut_.data();
  const int64_t len = seq_.end();
  if (len == 0) {
    seq_.extend(kChunk, 0);
    std::memcpy(seq_.row(0), pred, sizeof(float) * kChunk * kMotionDim);
    smoothRange(0, kChunk - 1);
  } else {
    for (int i = 0; i < kOverlap; ++i) crossFadeFrame(seq_.row(len - kOverlap + i), pred + i * kMotionDim, i);
    seq_.extend(len + kStride, seqKeepFrom());
    std::memcpy(seq_.row(len), pred + kOverlap * kMotionDim, sizeof(float) * kStride * kMotionDim);
    smoothRange(len - kOverlap, len);
  }
  std::memcpy(state, initState_, sizeof(float) * kMotionDim);
  std::memcpy(state, seq_.row(seq_.end() - (kOverlap + 1)), sizeof(float) * kPoseDim);
}

void MotionEngine::buildFinal() {
  seq_.truncate(total_);
  const int64_t len = seq_.end();
  // Frames before the kept window were pulled already; the first kept one only
  // serves as its successor's neighbour.
  const int64_t first = seq_.base() == 0 ? 0 : seq_.base() + 1;
  if (first < len) smoothRange(first, len - 1);
  if (dump_->on()) dump_->write("res_post.bin", seq_.row(seq_.base()), static_cast<std::size_t>(len - seq_.base()) * kMotionDim);
  const float* lo = tables_.vMinMax.data();
  for (int64_t f = first; f < len; ++f) clampFrame(seq_.row(f), lo, lo + kMotionDim);
  if (dump_->on()) dump_->write("final.bin", seq_.row(seq_.base()), static_cast<std::size_t>(len - seq_.base()) * kMotionDim);
  finalBuilt_ = true;
}

void MotionEngine::takeBack() {
  if (specRows_) {
    cond_.truncate(cond_.end() - specRows_);
    specRows_ = 0;
  }
  if (snapValid_) {
    seq_.truncate(snapLen_);
    const int64_t from = std::max<int64_t>(snapLen_ - kOverlap, 0);
    for (int64_t f = from; f < snapLen_; ++f)
      std::memcpy(seq_.row(f), snap_.data() + (f - from) * kMotionDim, sizeof(float) * kMotionDim);
    snapValid_ = false;
  }
}

void MotionEngine::eagerAdvance() {
  const auto t0 = std::chrono::steady_clock::now();
  takeBack();
  const int64_t frames = audioFrames();
  for (int64_t w = nextBlock_; w < frames; w += kBlockFrames) processBlock(w, true);
  if (frames > kStride * chunks_) {
    snapLen_ = seq_.end();
    const int64_t from = std::max<int64_t>(snapLen_ - kOverlap, 0);
    for (int64_t f = from; f < snapLen_; ++f)
      std::memcpy(snap_.data() + (f - from) * kMotionDim, seq_.row(f), sizeof(float) * kMotionDim);
    snapValid_ = true;
    std::memcpy(specState_, state_, sizeof specState_);
    for (int64_t c = chunks_; kStride * c < frames; ++c) runChunk(c, specState_, true);
  }
  horizon_ = std::max(frames - 1, horizon_);
  lastSpecFrames_ = frames;
  chunkJustRun_ = false;
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  specMs_ = specMs_ == 0 ? ms : 0.7 * specMs_ + 0.3 * ms;
}

}  // namespace motion
}  // namespace tq
