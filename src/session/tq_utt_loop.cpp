// The render loop: turns pushed audio into engine requests, renders speech,
// ramp and idle frames, and hands them to the teeth and paste stages.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>

#include "session/tq_utt_session.h"

namespace {

using tq::utt::kKp;
using tq::utt::kPullCap;
using tq::utt::nowMs;
constexpr auto kStep = std::chrono::milliseconds(2);

class Loop {
 public:
  explicit Loop(tq_utt* u) : u_(u), director_(u->ctx->renderer.get()), lastEagerSent_(u->opt.eager) {
    pending_.reserve(16000);
    taken_.reserve(16000);
  }

  // One pass; false when the session stops.
  bool pass() {
    bool interrupted = false;
    uint64_t counter = 0;
    endTaken_ = false;
    taken_.clear();
    {
      std::lock_guard<std::mutex> lk(u_->mu);
      if (u_->stop) return false;
      counter = u_->interrupts;
      interrupted = counter != epoch_;
      // Input that arrived after an interrupt, or after the current utterance's
      // end, belongs to the next utterance: it stays in the inbox until the
      // interrupt has been adopted or the utterance and its ramp are over.
      if (!interrupted && accepting()) endTaken_ = u_->inbox.take(taken_, &segmentFirstPush_);
      ringCount_ = u_->ring.count();
      lastPush_ = u_->lastPushMs;
      engine_ = u_->engineReady ? u_->engine.get() : nullptr;
      chunk_ = u_->engineReady ? u_->chunk.get() : nullptr;
      pasteBusy_ = u_->pasteBusy;
      u_->loopState = state_;
    }
    if (interrupted) {
      adoptInterrupt(counter);
      return true;
    }

    bool progress = collect();
    const double now = nowMs();

    if (!taken_.empty()) {
      if (engine_ && !abandoned_) {
        if (!speaking_) startUtterance(now);
        pending_.insert(pending_.end(), taken_.begin(), taken_.end());
      } else {
        std::lock_guard<std::mutex> lk(u_->mu);
        u_->counts.samples_dropped += taken_.size();
      }
    }
    const bool silent = u_->opt.silenceMs >= 0 && now - lastPush_ >= u_->opt.silenceMs;
    if (abandoned_ && (endTaken_ || silent)) abandoned_ = false;
    if (speaking_ && !endSeen_ && (endTaken_ || silent)) endSeen_ = true;

    const int eagerNow = eagerValue();
    int batch = (speechRendered_ && chunk_) ? chunk_->batch() : 0;

    if (engine_ && speaking_ && !inFlight_) {
      const int un = unconsumed();
      const bool fill = fillable(batch);
      if (!pending_.empty() || (endSeen_ && !finishSent_) || fill || (un < 8 && !allObtained())) {
        post(eagerNow);
        if (!u_->opt.hybrid) {
          waitResponse();
          progress = collect() || progress;
        }
      }
    }

    bool produced = false;
    batch = (speechRendered_ && chunk_) ? chunk_->batch() : 0;
    const int un = unconsumed();
    if (state_ == 3) {
      if (rampRemaining_ > 0 && ringCount_ < tq::utt::kRingSlots) produced = rampFrame();
    } else if (speaking_ && un >= 1 && ringCount_ <= tq::utt::kRingSlots - 1) {
      state_ = 2;
      int n = 1;
      if (batch > 1 && un >= batch)
        n = batch;
      else if (fillable(batch) && inFlight_)
        n = 0;
      if (n > 0) produced = renderSpeech(n);
    } else if (speaking_ && un == 0 && allObtained()) {
      endUtterance();
      produced = true;
    } else if (state_ == 0 && ringCount_ == 0 && pasteBusy_ == 0) {
      if (u_->enqueue(nullptr, 0, idleIndex_, -1, nullptr, epoch_)) {
        idleIndex_ = u_->NT < 1 ? 0 : (idleIndex_ + 1) % u_->NT;
        produced = true;
      }
    }

    if (progress || produced) return true;
    std::unique_lock<std::mutex> lk(u_->mu);
    u_->loopState = state_;
    const bool waiting = !accepting() || u_->inbox.empty();
    if (!u_->stop && u_->interrupts == epoch_ && waiting) u_->cv.wait_for(lk, kStep);
    return true;
  }

 private:
  int unconsumed() const { return fill_ - consumed_; }
  // The loop takes new input unless it is ramping or the current utterance has
  // already been ended.
  bool accepting() const { return state_ != 3 && !(speaking_ && endSeen_); }
  bool allObtained() const { return finishSent_ && !inFlight_ && total_ >= 0 && total_ <= obtained_; }
  bool fillable(int batch) const {
    return batch > 0 && unconsumed() < batch && unconsumed() + remaining_ >= batch;
  }
  int nextIndex(int i) const { return u_->NT < 1 ? 0 : (i + 1) % u_->NT; }
  const float* xs(int i) const { return u_->xsTarget.data() + static_cast<std::size_t>(i) * kKp; }

  void clearUtterance() {
    speaking_ = endSeen_ = resetPending_ = finishSent_ = speechRendered_ = false;
    speechFrame_ = 0;
    consumed_ = fill_ = 0;
    pending_.clear();
    obtained_ = 0;
    remaining_ = 0;
    total_ = -1;
  }

  void startRamp(int fromIndex, const float* fromKp, int frames) {
    idleIndex_ = nextIndex(fromIndex);
    for (int i = 0; i < kKp; ++i) rampOffset_[i] = fromKp[i] - xs(fromIndex)[i];
    rampRemaining_ = rampTotal_ = frames;
    state_ = 3;
  }

  void adoptInterrupt(uint64_t counter) {
    epoch_ = counter;
    ++gen_;
    int kind = -1, index = 0;
    float kp[kKp];
    {
      std::lock_guard<std::mutex> lk(u_->mu);
      kind = u_->lastPulledKind;
      index = u_->lastPulledIndex;
      std::memcpy(kp, u_->lastPulledKp, sizeof kp);
      if (speaking_) ++u_->counts.utterances_interrupted;
    }
    tq::utt::dropHeldTeeth(u_);
    clearUtterance();
    abandoned_ = false;
    if (kind < 0) {
      toIdle();
    } else if (kind == 0) {
      idleIndex_ = nextIndex(index);
      toIdle();
    } else if (!u_->xsTarget.empty()) {
      startRamp(index, kp, u_->opt.interruptRamp);
    } else {
      // No ramp possible: the idle stream still continues after the face the
      // host last saw, not after frames it never received.
      idleIndex_ = nextIndex(index);
      toIdle();
    }
  }

  void toIdle() {
    if (state_ != 0) idleSinceMs_ = nowMs();
    state_ = 0;
  }

  // Audio queued behind an earlier utterance counts its first-frame latency
  // from the moment that utterance was over, not from when it was pushed.
  void startUtterance(double now) {
    clearUtterance();
    speaking_ = true;
    resetPending_ = true;
    if (state_ == 0) state_ = 1;
    const double first = segmentFirstPush_ > 0 ? std::max(segmentFirstPush_, idleSinceMs_) : now;
    std::lock_guard<std::mutex> lk(u_->mu);
    u_->firstPushMs = first;
    ++u_->counts.utterances_started;
  }

  // Every frame rendered: the utterance is over, and a session that had failed
  // before has recovered.
  void endUtterance() {
    const bool rendered = speechRendered_;
    clearUtterance();
    {
      std::lock_guard<std::mutex> lk(u_->mu);
      ++u_->counts.utterances_finished;
      if (rendered) u_->fatal = false;
    }
    if (rendered && !u_->xsTarget.empty())
      startRamp(lastSpeechIndex_, lastSpeechKp_, u_->opt.endRamp);
    else
      toIdle();
  }

  // A fatal failure ends the utterance: back to idle frames (through the end
  // ramp when `ramp` and a face was rendered), the rest of its audio dropped
  // until it ends. The next utterance starts a fresh engine run.
  void abandonUtterance(bool ramp) {
    abandoned_ = !endSeen_;
    const bool rendered = speechRendered_;
    ++gen_;
    clearUtterance();
    {
      std::lock_guard<std::mutex> lk(u_->mu);
      ++u_->counts.utterances_failed;
    }
    if (ramp && rendered && !u_->xsTarget.empty())
      startRamp(lastSpeechIndex_, lastSpeechKp_, u_->opt.endRamp);
    else
      toIdle();
  }

  int eagerValue() {
    if (!u_->opt.hybrid) return u_->opt.eager;
    const long backlog = unconsumed() + remaining_ + static_cast<long>(ringCount_);
    if (!highEager_ && backlog >= 24)
      highEager_ = true;
    else if (highEager_ && backlog < 12)
      highEager_ = false;
    return highEager_ ? 24 : 3;
  }

  void post(int eagerNow) {
    tq::utt::Mailbox& b = u_->box;
    {
      std::lock_guard<std::mutex> lk(b.mu);
      b.engine = engine_;
      b.samples.clear();
      b.samples.swap(pending_);
      b.reset = resetPending_;
      b.start = idleIndex_;
      b.dir = idleDir_;
      b.finish = endSeen_ && !finishSent_;
      b.eager = eagerNow != lastEagerSent_ ? eagerNow : 0;
      b.max = kPullCap - unconsumed();
      b.tag = gen_;
      b.done = false;
      b.pending = true;
    }
    pending_.clear();
    postedPushMs_ = lastPush_;
    lastEagerSent_ = eagerNow;
    resetPending_ = false;
    if (endSeen_) finishSent_ = true;
    inFlight_ = true;
    b.cv.notify_all();
  }

  void waitResponse() {
    tq::utt::Mailbox& b = u_->box;
    std::unique_lock<std::mutex> lk(b.mu);
    while (!b.done && !u_->stopping.load()) b.cv.wait_for(lk, kStep);
  }

  // Takes the dispatcher's response when there is one; true when it brought
  // frames or the utterance's total.
  bool collect() {
    tq::utt::Mailbox& b = u_->box;
    int bad = -1;
    {
      std::lock_guard<std::mutex> lk(b.mu);
      if (!inFlight_ || !b.done) return false;
      inFlight_ = false;
      b.done = false;
      if (b.doneTag != gen_) return false;
      if (b.failed) engineError_.swap(b.error);
      int n = std::max(0, std::min(b.pulled, kPullCap));
      if (fill_ + n > kPullCap) {
        const int keep = unconsumed();
        std::memmove(idx_, idx_ + consumed_, sizeof(int) * static_cast<std::size_t>(keep));
        std::memmove(src_, src_ + consumed_ * kKp, sizeof(float) * kKp * static_cast<std::size_t>(keep));
        std::memmove(drv_, drv_ + consumed_ * kKp, sizeof(float) * kKp * static_cast<std::size_t>(keep));
        fill_ = keep;
        consumed_ = 0;
        n = std::min(n, kPullCap - fill_);
      }
      for (int k = 0; k < n; ++k)
        if (b.idx[k] < 0 || b.idx[k] >= u_->NT) bad = b.idx[k];
      std::memcpy(idx_ + fill_, b.idx, sizeof(int) * static_cast<std::size_t>(n));
      std::memcpy(src_ + fill_ * kKp, b.src, sizeof(float) * kKp * static_cast<std::size_t>(n));
      std::memcpy(drv_ + fill_ * kKp, b.drv, sizeof(float) * kKp * static_cast<std::size_t>(n));
      fill_ += n;
      if (obtained_ == 0 && n > 0) noteFirstFrames(b.spent);
      obtained_ += n;
      remaining_ = b.remaining;
      const bool news = n > 0 || b.total != total_;
      total_ = b.total;
      if (bad < 0 && engineError_.empty()) return news;
    }
    if (!engineError_.empty()) {
      u_->noteRenderFail("motion", engineError_, true);
      engineError_.clear();
    } else {
      u_->noteRenderFail("motion",
                         "the engine handed out driver index " + std::to_string(bad) + " outside 0.." +
                             std::to_string(u_->NT - 1),
                         true);
    }
    abandonUtterance(true);
    return true;
  }

  // The engine request that brought the utterance's first frames: the audio
  // it waited for and the engine's time on it.
  void noteFirstFrames(const tq::EngineTimes& spent) {
    std::lock_guard<std::mutex> lk(u_->mu);
    tq_utt_latency& l = u_->latencyNext;
    l = tq_utt_latency{};
    l.audio_ms = std::max(0.0, postedPushMs_ - u_->firstPushMs);
    l.frontend_ms = spent.frontendMs;
    l.encoder_ms = spent.encoderMs;
    l.decoder_ms = spent.decoderMs;
  }

  bool renderSpeech(int n) {
    n = std::min(n, unconsumed());
    if (tq::utt::teethFailed(u_)) return false;
    const float* chunkOut = nullptr;
    double chunkMs = 0;
    const std::size_t cropFloats = u_->cropFloats;
    if (n > 1 && chunk_ && n <= chunk_->batch()) {
      const double t0 = nowMs();
      try {
        chunkOut = chunk_->render(idx_ + consumed_, src_ + consumed_ * kKp, drv_ + consumed_ * kKp, n);
      } catch (const std::exception& e) {
        u_->noteRenderFail("b24 chunk", e.what(), false);
      } catch (...) {
        u_->noteRenderFail("b24 chunk", "unknown failure", false);
      }
      chunkMs = (nowMs() - t0) / n;
    }
    bool any = false;
    for (int k = 0; k < n; ++k) {
      const int row = consumed_;
      const float* drv = drv_ + row * kKp;
      const float* crop = nullptr;
      double ms = chunkMs;
      if (chunkOut) {
        crop = chunkOut + static_cast<std::size_t>(k) * cropFloats;
      } else {
        const double t0 = nowMs();
        std::string err;
        try {
          crop = director_->render(idx_ + row, src_ + row * kKp, drv, 1);
        } catch (const std::exception& e) {
          err = e.what();
        } catch (...) {
          err = "unknown failure";
        }
        if (!crop) {
          u_->noteRenderFail("render", err, true);
          abandonUtterance(false);
          return true;
        }
        ms = nowMs() - t0;
      }
      if (speechFrame_ == 0) {
        std::lock_guard<std::mutex> lk(u_->mu);
        u_->latencyNext.render_ms = ms;
      }
      if (!u_->enqueue(crop, 1, idx_[row], speechFrame_, drv, epoch_)) break;
      lastSpeechIndex_ = idx_[row];
      std::memcpy(lastSpeechKp_, drv, sizeof lastSpeechKp_);
      ++consumed_;
      ++speechFrame_;
      speechRendered_ = true;
      any = true;
      std::lock_guard<std::mutex> lk(u_->mu);
      u_->sums.renderMs += ms;
      u_->stats.render_ms = u_->sums.renderFrames == 0 ? ms : 0.9 * u_->stats.render_ms + 0.1 * ms;
      ++u_->sums.renderFrames;
    }
    if (any) idleIndex_ = nextIndex(lastSpeechIndex_);
    return any;
  }

  bool rampFrame() {
    // A failed borrow takes no frame: render nothing rather than the same frame every pass.
    if (tq::utt::teethFailed(u_)) return false;
    const int R = rampTotal_, r = rampRemaining_, k = R - r + 1;
    const float w = 1.0f - static_cast<float>(k) / static_cast<float>(R);
    const float* base = xs(idleIndex_);
    for (int i = 0; i < kKp; ++i) rampKp_[i] = base[i] + w * rampOffset_[i];
    const float* crop = nullptr;
    try {
      crop = director_->render(&idleIndex_, base, rampKp_, 1);
    } catch (const std::exception& e) {
      u_->noteRenderFail("ramp", e.what(), false);
    } catch (...) {
      u_->noteRenderFail("ramp", "unknown failure", false);
    }
    if (crop && !u_->enqueue(crop, 2, idleIndex_, -1, rampKp_, epoch_)) return false;
    idleIndex_ = nextIndex(idleIndex_);
    if (--rampRemaining_ <= 0) toIdle();
    return true;
  }

  tq_utt* u_;
  tq::Renderer* director_;
  // per-pass snapshot
  tq::utt::Engine* engine_ = nullptr;
  tq::Renderer* chunk_ = nullptr;
  uint64_t ringCount_ = 0;
  int pasteBusy_ = 0;
  double lastPush_ = 0;
  bool endTaken_ = false;
  double segmentFirstPush_ = 0, idleSinceMs_ = 0, postedPushMs_ = 0;
  std::string engineError_;
  // loop state
  int state_ = 0;
  int idleIndex_ = 0, idleDir_ = 1;
  bool speaking_ = false, endSeen_ = false, resetPending_ = false, finishSent_ = false, inFlight_ = false;
  bool speechRendered_ = false, abandoned_ = false, highEager_ = false;
  int speechFrame_ = 0;
  long obtained_ = 0;
  int remaining_ = 0, total_ = -1;
  int lastEagerSent_;
  int rampRemaining_ = 0, rampTotal_ = 0;
  float rampOffset_[kKp] = {}, rampKp_[kKp] = {}, lastSpeechKp_[kKp] = {};
  int lastSpeechIndex_ = 0;
  uint64_t epoch_ = 0, gen_ = 0;
  // pull buffer
  int idx_[kPullCap] = {};
  float src_[kPullCap * kKp] = {}, drv_[kPullCap * kKp] = {};
  int consumed_ = 0, fill_ = 0;
  std::vector<float> pending_, taken_;
};

}  // namespace

void tq_utt::renderLoop() {
  Loop loop(this);
  for (;;) {
    try {
      if (!loop.pass()) return;
    } catch (const std::exception& e) {
      noteRenderFail("render loop", e.what(), true);
      std::unique_lock<std::mutex> lk(mu);
      if (stop) return;
      cv.wait_for(lk, kStep);
    } catch (...) {
      noteRenderFail("render loop", "unknown failure", true);
      std::unique_lock<std::mutex> lk(mu);
      if (stop) return;
      cv.wait_for(lk, kStep);
    }
  }
}
