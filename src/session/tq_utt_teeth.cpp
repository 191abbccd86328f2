// The teeth stage of the session: crops pass through an attached borrow one
// frame behind, synchronously on the render thread or on the stage's own
// thread behind a queue of 2. A refusal or failure stops delivery.
#include "session/tq_utt_teeth.h"

#include <chrono>
#include <cstring>
#include <exception>

#include "session/tq_utt_session.h"

using tq::utt::nowMs;
using tq::utt::PasteJob;
using tq::utt::TeethStage;
static constexpr auto kStep = std::chrono::milliseconds(2);

namespace {

// Called by the working thread only: the failure belongs to the stage that
// holds its frames.
void failTeeth(tq_utt* u, const std::string& msg, bool refusal) {
  u->teeth.ownerFailed = true;
  std::lock_guard<std::mutex> lk(u->mu);
  if (refusal) ++u->teeth.refused;
  u->teeth.message = msg;
  u->teeth.failed = true;
}

// A stage attached since the last frame takes over here. The frame held by the
// previous stage is finished by it and delivered, unless that stage failed (its
// held frame was refused) or cannot finish it; then the frame is dropped.
void adoptStage(tq_utt* u, const std::shared_ptr<TeethStage>& st) {
  tq::utt::TeethState& t = u->teeth;
  if (t.owner == st) return;
  if (t.hasHeld && t.owner && !t.ownerFailed) {
    try {
      if (t.owner->flush() && !t.owner->refused()) {
        t.owner->writeWindow(t.held.data(), u->crop);
        u->enqueueRaw(t.held.data(), t.heldKind, t.heldIndex, t.heldFrame, t.heldKp, t.heldEpoch);
      }
    } catch (...) {
    }
  }
  t.hasHeld = false;
  t.owner = st;
  t.ownerFailed = false;
}

// The held frame was finished by the borrow: write its window and paste it.
bool finishHeld(tq_utt* u, TeethStage* st) {
  tq::utt::TeethState& t = u->teeth;
  if (st->refused()) {
    failTeeth(u, st->message(), true);
    return false;
  }
  try {
    st->writeWindow(t.held.data(), u->crop);
  } catch (const std::exception& e) {
    failTeeth(u, e.what(), false);
    return false;
  }
  {
    std::lock_guard<std::mutex> lk(u->mu);
    ++t.composed;
  }
  t.hasHeld = false;
  return u->enqueueRaw(t.held.data(), t.heldKind, t.heldIndex, t.heldFrame, t.heldKp, t.heldEpoch);
}

// One frame through the borrow; a null crop drains it first.
bool teethStep(tq_utt* u, const std::shared_ptr<TeethStage>& stage, const float* crop, int kind, int index, int frame, const float* kp,
               uint64_t epoch) {
  static const float zeros[tq::utt::kKp] = {};
  tq::utt::TeethState& t = u->teeth;
  adoptStage(u, stage);
  TeethStage* st = stage.get();
  try {
    if (crop) {
      if (t.tap) t.tap(t.tapUser, crop, kp ? kp : zeros, index);
      const bool done = st->push(crop, kp ? kp : zeros);
      if (t.hasHeld && done && !finishHeld(u, st)) return false;
      std::memcpy(t.held.data(), crop, u->cropFloats * sizeof(float));
      t.hasHeld = true;
      t.heldKind = kind;
      t.heldIndex = index;
      t.heldFrame = frame;
      std::memcpy(t.heldKp, kp ? kp : zeros, sizeof t.heldKp);
      t.heldEpoch = epoch;
      return true;
    }
    if (t.hasHeld) {
      if (!st->flush()) {
        failTeeth(u,
                  "flush: the pass held no pending frame while a crop was held \xe2\x80\x94 refusing to deliver it "
                  "uncomposed",
                  false);
        return false;
      }
      if (!finishHeld(u, st)) return false;
    }
  } catch (const std::exception& e) {
    failTeeth(u, e.what(), false);
    return false;
  } catch (...) {
    failTeeth(u, "unknown failure", false);
    return false;
  }
  return u->enqueueRaw(nullptr, kind, index, frame, kp, epoch);
}

}  // namespace

bool tq_utt::enqueue(const float* crop, int kind, int driverIndex, int frame, const float* kp, uint64_t epoch) {
  std::shared_ptr<TeethStage> st;
  bool pipe = false;
  {
    std::lock_guard<std::mutex> lk(mu);
    st = teeth.stage;
    pipe = teeth.pipelined;
    if (st && teeth.failed) return false;
  }
  if (!st) return enqueueRaw(crop, kind, driverIndex, frame, kp, epoch);
  if (!pipe) return teethStep(this, st, crop, kind, driverIndex, frame, kp, epoch);
  PasteJob* j = nullptr;
  const double t0 = nowMs();
  {
    std::unique_lock<std::mutex> lk(mu);
    while (!(j = teeth.pool.take())) {
      if (stop || interrupts != epoch || teeth.failed) return false;
      cv.wait_for(lk, kStep);
    }
  }
  j->fill(crop, cropFloats, kind, driverIndex, frame, kp, epoch);
  {
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
      if (stop || interrupts != epoch || teeth.failed) {
        teeth.pool.give(j);
        return false;
      }
      if (!teeth.queue.full()) break;
      cv.wait_for(lk, kStep);
    }
    if (kind == 1) sums.waitMs += nowMs() - t0;
    j->enqueued = nowMs();
    teeth.queue.push(j);
  }
  teethCv.notify_one();
  return true;
}

void tq_utt::teethLoop() {
  for (;;) {
    PasteJob* j = nullptr;
    std::shared_ptr<TeethStage> st;
    {
      std::unique_lock<std::mutex> lk(mu);
      teethCv.wait(lk, [&] { return teeth.stop || stop || teeth.queue.size() > 0; });
      if (teeth.stop || stop) return;
      j = teeth.queue.pop();
      st = teeth.stage;
    }
    cv.notify_all();
    teethCv.notify_all();
    if (j->epoch != teeth.threadEpoch) {
      try {
        if (teeth.owner) teeth.owner->flush();
      } catch (...) {
      }
      teeth.hasHeld = false;
      teeth.threadEpoch = j->epoch;
    }
    bool failed = false;
    {
      std::lock_guard<std::mutex> lk(mu);
      failed = teeth.failed;
    }
    if (st && !failed) {
      const double t0 = nowMs();
      teethStep(this, st, j->hasCrop ? j->crop.data() : nullptr, j->kind, j->driverIndex, j->frame, j->kp,
                j->epoch);
      if (j->hasCrop) {
        std::lock_guard<std::mutex> lk(mu);
        sums.teethMs += nowMs() - t0;
        ++sums.teethJobs;
      }
    }
    {
      std::lock_guard<std::mutex> lk(mu);
      teeth.pool.give(j);
    }
    cv.notify_all();
  }
}

namespace tq {
namespace utt {

void attachTeeth(tq_utt* u, std::shared_ptr<TeethStage> stage, bool pipelined, std::string ranking) {
  std::lock_guard<std::mutex> lk(u->mu);
  TeethState& t = u->teeth;
  // The held frame stays with the working thread, which hands it over at its next frame.
  const bool first = !t.stage && !t.owner;
  t.stage = std::move(stage);
  t.failed = false;
  t.message.clear();
  t.ranking = std::move(ranking);
  t.composed = t.refused = 0;
  if (first) {
    // Fixed at the first attach: the working thread must not change under a held frame.
    t.pipelined = pipelined;
    t.held.assign(u->cropFloats, 0.0f);
    t.pool.init(kTeethQueue + 2, u->cropFloats);
  }
  if (t.pipelined && !u->teethThread.joinable()) u->teethThread = std::thread([u] { u->teethLoop(); });
}

void dropHeldTeeth(tq_utt* u) {
  {
    std::lock_guard<std::mutex> lk(u->mu);
    if (u->teeth.pipelined) return;
  }
  TeethState& t = u->teeth;
  if (!t.owner) return;
  try {
    t.owner->flush();
  } catch (...) {
  }
  t.hasHeld = false;
}

bool teethFailed(tq_utt* u) {
  std::lock_guard<std::mutex> lk(u->mu);
  return u->teeth.stage && u->teeth.failed;
}

}  // namespace utt
}  // namespace tq
