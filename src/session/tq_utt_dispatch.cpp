// The warm-up thread (engine, chunk renderer, first renders) and the
// dispatcher thread, the only thread that drives the engine after creation.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "base/tq_log.h"
#include "session/tq_utt_session.h"

namespace {
constexpr int kWarmRenders = 3;
}

void tq_utt::warmUp() {
  std::unique_ptr<tq::utt::Engine> eng;
  try {
    eng = makeEngine(opt);
    const int engineNt = eng->nt();
    if (engineNt != NT) {
      throw std::runtime_error("the motion engine's rest keypoints (xs_target.bin) have " + std::to_string(engineNt) +
                               " rows but the bundle has NT " + std::to_string(NT) +
                               " driver frames \xe2\x80\x94 refusing to drive frames the bundle does not have");
    }
    eng->setEager(opt.eager);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lk(mu);
    engineFailed = true;
    engineError = e.what();
    cv.notify_all();
    return;
  } catch (...) {
    std::lock_guard<std::mutex> lk(mu);
    engineFailed = true;
    engineError = "unknown failure";
    cv.notify_all();
    return;
  }

  std::unique_ptr<tq::Renderer> ch;
  tq::Renderer* director = ctx->renderer.get();
  if (opt.steadyModel != "-" && !stopping.load()) {
    try {
      ch = std::make_unique<tq::Renderer>(ctx->manifest, *ctx->identity, opt.steadyModel, ctx->threads, ctx->ep);
    } catch (...) {
      ch.reset();
    }
    if (ch) {
      const std::string dep = director->ep(), cep = ch->ep();
      if (dep.rfind("coreml-native", 0) == 0 && cep.rfind("coreml-native", 0) != 0) {
        tq::logText(TQ_LOG_WARNING,
                     "[tq_utt] steady chunk renderer '%s' DROPPED (rendering b1-only): this frame graph runs on "
                     "ep=%s while the chunk graph fell back to ep=%s. A chunk that gives up the bundle's own CoreML "
                     "director costs MORE per frame than the per-frame path it was meant to amortize, and letting "
                     "timing choose between two runtimes makes the delivered pixels depend on scheduling.\n",
                     opt.steadyModel.c_str(), dep.c_str(), cep.c_str());
        ch.reset();
      }
    }
  }

  // ONNX Runtime settles its arena and its kernels' scratch over the first few
  // runs of a graph (the demo director: 35, 22, then 5 ms); the first speech
  // frame should not pay for that.
  const tq::Drive& d = ctx->drive;
  if (d.frames >= 1 && !stopping.load()) {
    const int si = d.si[0];
    const float* kp = d.xs.data();
    try {
      for (int k = 0; k < kWarmRenders && !stopping.load(); ++k) director->render(&si, kp, kp, 1);
      if (ch) ch->render(&si, kp, kp, 1);
    } catch (const std::exception& e) {
      noteRenderFail("warm-up", e.what(), false);
    } catch (...) {
      noteRenderFail("warm-up", "unknown failure", false);
    }
  }

  {
    std::lock_guard<std::mutex> lk(mu);
    chunk = std::move(ch);
    engine = std::move(eng);
    engineReady = true;
  }
  cv.notify_all();
}

void tq_utt::dispatchLoop() {
  tq::utt::Mailbox& b = box;
  std::vector<float> samples;
  std::string error;
  int idx[tq::utt::kPullCap];
  float src[tq::utt::kPullCap * tq::utt::kKp], drv[tq::utt::kPullCap * tq::utt::kKp];
  for (;;) {
    tq::utt::Engine* e = nullptr;
    bool reset = false, finish = false;
    int start = 0, dir = 1, eager = 0, max = 0;
    uint64_t tag = 0;
    {
      std::unique_lock<std::mutex> lk(b.mu);
      b.cv.wait(lk, [&] { return b.pending || b.stop; });
      if (b.stop) return;
      b.pending = false;
      e = b.engine;
      reset = b.reset;
      start = b.start;
      dir = b.dir;
      finish = b.finish;
      eager = b.eager;
      max = b.max;
      tag = b.tag;
      b.reset = b.finish = false;
      b.eager = 0;
      samples.clear();
      samples.swap(b.samples);
    }
    int pulled = 0, avail = 0, total = -1;
    bool failed = false;
    tq::EngineTimes before, after;
    if (e) {
      // Each call's failure shows only in the engine's error text; the first
      // one ends the request. Text left from before this request is not ours.
      e->takeError(error);
      error.clear();
      auto ok = [&] {
        if (!failed) failed = e->takeError(error);
        return !failed;
      };
      before = e->times();
      if (reset) e->reset(start, dir, 1);
      if (eager != 0) e->setEager(eager);
      if (ok() && !samples.empty()) e->push(samples.data(), static_cast<int>(samples.size()));
      if (ok() && finish) e->finish();
      if (ok()) avail = std::max(0, e->avail());
      if (ok() && max > 0 && avail > 0) pulled = std::max(0, e->pull(idx, src, drv, std::min(max, avail)));
      if (ok()) total = e->total();
      after = e->times();
    }
    {
      std::lock_guard<std::mutex> lk(b.mu);
      b.done = true;
      b.doneTag = tag;
      b.failed = failed;
      if (failed) b.error.swap(error);
      b.pulled = pulled;
      std::memcpy(b.idx, idx, sizeof(int) * static_cast<std::size_t>(pulled));
      std::memcpy(b.src, src, sizeof(float) * tq::utt::kKp * static_cast<std::size_t>(pulled));
      std::memcpy(b.drv, drv, sizeof(float) * tq::utt::kKp * static_cast<std::size_t>(pulled));
      b.remaining = avail - pulled;
      b.total = total;
      b.spent.frontendMs = after.frontendMs - before.frontendMs;
      b.spent.encoderMs = after.encoderMs - before.encoderMs;
      b.spent.decoderMs = after.decoderMs - before.decoderMs;
    }
    b.cv.notify_all();
    cv.notify_all();
  }
}
