// The session's paste stage: fetch the driver frame, composite the crop, and
// publish the result into the output ring; optionally on its own thread behind
// a queue of 8 jobs.
#include <chrono>
#include <cstring>
#include <exception>

#include "session/tq_utt_session.h"

namespace tq {
namespace utt {

double nowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void PasteJob::fill(const float* src, std::size_t cropFloats, int32_t kindIn, int32_t driverIndexIn,
                    int32_t frameIn, const float* kpIn, uint64_t epochIn) {
  hasCrop = src != nullptr;
  if (src) std::memcpy(crop.data(), src, cropFloats * sizeof(float));
  kind = kindIn;
  driverIndex = driverIndexIn;
  frame = frameIn;
  if (kpIn)
    std::memcpy(kp, kpIn, sizeof kp);
  else
    std::memset(kp, 0, sizeof kp);
  epoch = epochIn;
}

}  // namespace utt
}  // namespace tq

using tq::utt::nowMs;
using tq::utt::PasteJob;
static constexpr auto kStep = std::chrono::milliseconds(2);

void tq_utt::noteRenderFail(const char* stage, const std::string& message, bool fatalFailure) {
  const std::string ep = ctx->renderer ? ctx->renderer->ep() : "unknown";
  std::lock_guard<std::mutex> lk(mu);
  ++failures;
  failText = "ep=" + ep + " " + stage + ": " + message;
  if (fatalFailure) fatal = true;
}

// Frames that are not pasted still walk the prior's read-ahead; it is only a
// hint, so a prior that cannot be read does not hold back an idle frame.
void tq_utt::walkPrior(int driverIndex) {
  try {
    ctx->identity->walkP(driverIndex);
  } catch (...) {
  }
}

bool tq_utt::pasteStep(const float* crop, int kind, int driverIndex, int frame, const float* kp, uint64_t epoch,
                       double enqueued, double* timer) {
  uint64_t slotNo = 0;
  {
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
      if (stop || interrupts != epoch) return false;
      if (!ring.full()) break;
      cv.wait_for(lk, kStep);
    }
    slotNo = ring.write;
  }
  // The slot is not visible to the host until the write counter moves.
  tq::utt::Slot& s = ring.at(slotNo);
  const double t0 = nowMs();
  try {
    ctx->driver->pullAt(driverIndex, s.pixels.data());
    if (crop)
      ctx->paste->composite(crop, 255.0f, ctx->identity->M(driverIndex), s.pixels.data(), W, H);
    else
      walkPrior(driverIndex);
  } catch (const std::exception& e) {
    noteRenderFail("paste", e.what(), true);
    return false;
  } catch (...) {
    noteRenderFail("paste", "unknown failure", true);
    return false;
  }
  const double pasteMs = nowMs() - t0;
  if (timer) *timer += pasteMs;
  s.kind = kind;
  s.driverIndex = driverIndex;
  s.frame = frame;
  if (kp)
    std::memcpy(s.kp, kp, sizeof s.kp);
  else
    std::memset(s.kp, 0, sizeof s.kp);
  {
    std::lock_guard<std::mutex> lk(mu);
    if (stop || interrupts != epoch) return false;
    s.seq = nextSeq++;
    ++ring.write;
    const double now = nowMs();
    if (kind == 1) {
      sums.deliverMs += now - enqueued;
      ++sums.delivered;
      if (frame == 0) {
        ++stats.first_frames;
        stats.first_frame_ms = now - firstPushMs;
        latency = latencyNext;
        latency.total_ms = stats.first_frame_ms;
        latency.paste_ms = pasteMs;
        latency.handoff_ms = latency.total_ms - latency.audio_ms - latency.frontend_ms - latency.encoder_ms -
                             latency.decoder_ms - latency.render_ms - latency.paste_ms;
        latency.utterance = stats.first_frames;
      }
    }
  }
  cv.notify_all();
  return true;
}

bool tq_utt::enqueueRaw(const float* crop, int kind, int driverIndex, int frame, const float* kp, uint64_t epoch) {
  if (!opt.pipelinedPaste) return pasteStep(crop, kind, driverIndex, frame, kp, epoch, nowMs(), nullptr);
  PasteJob* j = nullptr;
  const double t0 = nowMs();
  {
    std::unique_lock<std::mutex> lk(mu);
    while (!(j = pastePool.take())) {
      if (stop || interrupts != epoch) return false;
      cv.wait_for(lk, kStep);
    }
  }
  j->fill(crop, cropFloats, kind, driverIndex, frame, kp, epoch);
  {
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
      if (stop || interrupts != epoch) {
        pastePool.give(j);
        return false;
      }
      if (!pasteQ.full()) break;
      cv.wait_for(lk, kStep);
    }
    const double now = nowMs();
    if (kind == 1) sums.waitMs += now - t0;
    j->enqueued = now;
    pasteQ.push(j);
    ++pasteBusy;
  }
  pasteCv.notify_one();
  return true;
}

void tq_utt::pasteLoop() {
  for (;;) {
    PasteJob* j = nullptr;
    bool stale = false;
    {
      std::unique_lock<std::mutex> lk(mu);
      pasteCv.wait(lk, [&] { return pasteStop || stop || pasteQ.size() > 0; });
      if (pasteStop || stop) return;
      j = pasteQ.pop();
      stale = j->epoch != interrupts;
    }
    cv.notify_all();
    double ms = 0;
    if (!stale)
      pasteStep(j->hasCrop ? j->crop.data() : nullptr, j->kind, j->driverIndex, j->frame, j->kp, j->epoch, j->enqueued,
                &ms);
    {
      std::lock_guard<std::mutex> lk(mu);
      if (!stale) {
        sums.pasteMs += ms;
        ++sums.pasteJobs;
      }
      pastePool.give(j);
      --pasteBusy;
    }
    cv.notify_all();
  }
}
