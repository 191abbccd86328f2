// The exported tq_utt functions and the session's construction and shutdown.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "base/tq_error.h"
#include "base/tq_log.h"
#include "session/tq_utt_api.h"
#include "session/tq_utt_session.h"
#include "compute/tq_env.h"

namespace {

// The rest keypoints of the motion directory, kept only when they hold exactly
// one row per bundle frame.
std::vector<float> readRestKeypoints(const std::string& motionDir, int NT) {
  const std::string path = tq::resolveMember(motionDir, "xs_target.bin");
  struct stat st;
  if (NT < 1 || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const std::size_t want = static_cast<std::size_t>(NT) * tq::utt::kKp * sizeof(float);
  if (static_cast<unsigned long long>(st.st_size) != want) return {};
  std::vector<float> v(want / sizeof(float));
  std::ifstream f(path, std::ios::binary);
  if (!f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(want))) return {};
  return v;
}

double mean(double sum, long long n) { return n > 0 ? sum / static_cast<double>(n) : 0.0; }

}  // namespace

void tq_utt::startThreads() {
  renderThread = std::thread([this] { renderLoop(); });
  warmThread = std::thread([this] { warmUp(); });
  dispatchThread = std::thread([this] { dispatchLoop(); });
  if (opt.pipelinedPaste) pasteThread = std::thread([this] { pasteLoop(); });
}

void tq_utt::stopAndJoin() {
  {
    std::lock_guard<std::mutex> lk(mu);
    stop = true;
    pasteStop = true;
    teeth.stop = true;
  }
  stopping.store(true);
  cv.notify_all();
  pasteCv.notify_all();
  teethCv.notify_all();
  box.cv.notify_all();
  for (std::thread* t : {&teethThread, &pasteThread, &renderThread, &warmThread})
    if (t->joinable()) t->join();
  {
    std::lock_guard<std::mutex> lk(box.mu);
    box.stop = true;
  }
  box.cv.notify_all();
  if (dispatchThread.joinable()) dispatchThread.join();
  engine.reset();
}

namespace tq {
namespace utt {

tq_utt* createSession(tq_ctx* ctx, const tq_utt_opts& o, EngineFactory factory, const tq_utt_opts_ext* ext) {
  claimForSession(ctx);
  struct Claim {
    tq_ctx* ctx;
    ~Claim() {
      if (ctx) releaseFromSession(ctx);
    }
  } claim{ctx};
  ensureDirector(ctx);
  auto u = std::make_unique<tq_utt>();
  u->ctx = ctx;
  u->opt = resolveOptions(o, ctx->threads, ext);
  u->makeEngine = factory ? std::move(factory) : realEngine();
  const Manifest& m = ctx->manifest;
  u->NT = m.NT;
  u->W = m.W;
  u->H = m.H;
  u->crop = m.crop;
  u->frameBytes = static_cast<std::size_t>(m.W) * static_cast<std::size_t>(m.H) * 3;
  u->cropFloats = static_cast<std::size_t>(m.crop) * static_cast<std::size_t>(m.crop) * 3;
  u->xsTarget = readRestKeypoints(u->opt.motionDir, m.NT);
  u->ring.size(u->frameBytes);
  if (u->opt.pipelinedPaste) u->pastePool.init(kPasteQueue + 4, u->cropFloats);
  u->inbox.samples.reserve(16000);
  u->inbox.ends.reserve(16);
  const char* note = ctx->renderer->directorNote();
  if (note && *note) u->noteRenderFail("director load", note, false);
  u->startThreads();
  claim.ctx = nullptr;
  return u.release();
}

}  // namespace utt
}  // namespace tq

namespace {

// Waits on the session's condition until done() holds, the timeout passes
// (timeoutMs < 0: none) or the session stops. 1 done, 0 timeout, -1 stopping.
template <class Done>
int waitOn(tq_utt* u, int timeoutMs, const char* fn, Done done) {
  std::unique_lock<std::mutex> lk(u->mu);
  ++u->waiters;
  const auto ended = [&] { return u->stop || done(); };
  if (timeoutMs < 0)
    u->cv.wait(lk, ended);
  else
    u->cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), ended);
  --u->waiters;
  int r = done() ? 1 : 0;
  if (u->stop) {
    tq::setErrText(std::string(fn) + ": the session is being destroyed");
    r = -1;
    u->cv.notify_all();  // under the lock: destroy waits for the count to reach 0
  }
  return r;
}

}  // namespace

extern "C" {

tq_utt* tq_utt_create(tq_ctx* ctx, const tq_utt_opts* opts) { return tq_utt_create_ext(ctx, opts, nullptr); }

tq_utt* tq_utt_create_ext(tq_ctx* ctx, const tq_utt_opts* opts, const tq_utt_opts_ext* ext) {
  tq::clearErr();
  if (!ctx || !opts) {
    tq::setErrText("tq_utt_create: NULL ctx/opts");
    return nullptr;
  }
  try {
    return tq::utt::createSession(ctx, *opts, nullptr, ext);
  } catch (const std::exception& e) {
    tq::setErr("tq_utt_create", e);
  } catch (...) {
    tq::setErr("tq_utt_create", "unknown failure");
  }
  return nullptr;
}

tq_utt* tq_utt_open(tq_ctx* ctx, const char* motion_dir) {
  tq_utt_opts o;
  std::memset(&o, 0, sizeof o);
  o.motion_dir = motion_dir;
  return tq_utt_create(ctx, &o);
}

void tq_utt_destroy(tq_utt* u) {
  if (!u) return;
  try {
    u->stopAndJoin();
    {
      // A host thread still inside a wait has been woken by the stop; it
      // leaves without touching the session again once the count drops.
      std::unique_lock<std::mutex> lk(u->mu);
      u->cv.wait(lk, [u] { return u->waiters == 0; });
    }
    if (tq::env::raw("TQ_UTT_STAGE_REPORT")) {
      const tq::utt::StageSums& s = u->sums;
      const int pipe = u->teeth.pipelined ? 1 : 0;
      if (s.pasteJobs > 0) {
        const double a = mean(s.renderMs, s.renderFrames), w = mean(s.waitMs, s.renderFrames);
        tq::logText(TQ_LOG_INFO,
                     "[tq_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f stageA_work_ms=%.3f "
                     "stageA_wait_ms=%.3f stageB_ms=%.3f stageC_ms=%.3f deliver_lat_ms=%.3f over %lld speech "
                     "frames\n",
                     pipe, s.teethJobs, s.pasteJobs, a, a - w, w, mean(s.teethMs, s.teethJobs),
                     mean(s.pasteMs, s.pasteJobs), mean(s.deliverMs, s.delivered), s.renderFrames);
      } else {
        tq::logText(TQ_LOG_WARNING,
                     "[tq_utt-stage] MEASURED NOTHING \xe2\x80\x94 the stage report was asked for and the paste-job "
                     "counter never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech frames delivered). "
                     "stageA/stageB/stageC and the deliver latency are NOT reported rather than reported as zero: on "
                     "this path the paste does not run through the counted queue.\n",
                     pipe, s.teethJobs, static_cast<long long>(u->stats.speech_frames_out));
      }
    }
  } catch (...) {
  }
  tq_ctx* ctx = u->ctx;
  delete u;
  tq::releaseFromSession(ctx);
}

int tq_utt_push_audio(tq_utt* u, const int16_t* pcm, int n) {
  tq::clearErr();
  if (!u || !pcm || n < 0) {
    tq::setErrText("tq_utt_push_audio: bad args");
    return 0;
  }
  try {
    {
      std::lock_guard<std::mutex> lk(u->mu);
      const double now = tq::utt::nowMs();
      // A pause of the silence timeout between two pushes ends the utterance there,
      // whenever the render loop next looks: a loop busy rendering through the
      // pause must not join the next sentence to this one.
      if (u->opt.silenceMs >= 0 && u->lastPushMs > 0 && now - u->lastPushMs >= u->opt.silenceMs) u->inbox.end();
      u->inbox.push(pcm, n, now);
      u->lastPushMs = now;
    }
    u->cv.notify_all();
    u->pasteCv.notify_all();
    return 1;
  } catch (const std::exception& e) {
    tq::setErr("tq_utt_push_audio", e);
  } catch (...) {
    tq::setErr("tq_utt_push_audio", "unknown failure");
  }
  return 0;
}

void tq_utt_end_utterance(tq_utt* u) {
  if (!u) return;
  {
    std::lock_guard<std::mutex> lk(u->mu);
    try {
      u->inbox.end();
    } catch (...) {  // no memory for one more mark: this end is lost, not the host process
    }
  }
  u->cv.notify_all();
}

void tq_utt_interrupt(tq_utt* u) {
  if (!u) return;
  {
    std::lock_guard<std::mutex> lk(u->mu);
    u->counts.samples_dropped += u->inbox.samples.size();
    u->inbox.clear();
    u->ring.read = u->ring.write;
    while (tq::utt::PasteJob* j = u->pasteQ.pop()) {
      u->pastePool.give(j);
      --u->pasteBusy;
    }
    ++u->interrupts;
  }
  u->cv.notify_all();
  u->pasteCv.notify_all();
  u->teethCv.notify_all();
}

int tq_utt_ready(tq_utt* u) {
  tq::clearErr();
  if (!u) return -1;
  std::lock_guard<std::mutex> lk(u->mu);
  if (u->engineFailed) {
    tq::setErrText(u->engineError);
    return -1;
  }
  return u->engineReady ? 1 : 0;
}

int tq_utt_wait_frame(tq_utt* u, int timeout_ms) {
  tq::clearErr();
  if (!u) {
    tq::setErrText("tq_utt_wait_frame: NULL session");
    return -1;
  }
  try {
    return waitOn(u, timeout_ms, "tq_utt_wait_frame", [u] { return u->ring.count() > 0; });
  } catch (const std::exception& e) {
    tq::setErr("tq_utt_wait_frame", e);
  }
  return -1;
}

int tq_utt_wait_ready(tq_utt* u, int timeout_ms) {
  tq::clearErr();
  if (!u) {
    tq::setErrText("tq_utt_wait_ready: NULL session");
    return -1;
  }
  try {
    const int r = waitOn(u, timeout_ms, "tq_utt_wait_ready", [u] { return u->engineReady || u->engineFailed; });
    if (r != 1) return r;
    std::lock_guard<std::mutex> lk(u->mu);
    if (!u->engineFailed) return 1;
    tq::setErrText(u->engineError);
  } catch (const std::exception& e) {
    tq::setErr("tq_utt_wait_ready", e);
  }
  return -1;
}

int tq_utt_frames_available(tq_utt* u) {
  if (!u) return 0;
  std::lock_guard<std::mutex> lk(u->mu);
  return static_cast<int>(u->ring.count());
}

int tq_utt_pull_frame(tq_utt* u, uint8_t* buf, size_t cap, tq_utt_frame_info* info) {
  tq::clearErr();
  if (!u || !buf) {
    tq::setErrText("tq_utt_pull_frame: bad args");
    return 0;
  }
  {
    std::lock_guard<std::mutex> lk(u->mu);
    if (u->ring.count() == 0) return 0;
    if (cap < u->frameBytes) {
      tq::setErrText("tq_utt_pull_frame: buffer too small");
      return 0;
    }
    const tq::utt::Slot& s = u->ring.at(u->ring.read);
    std::memcpy(buf, s.pixels.data(), u->frameBytes);
    if (info) {
      info->seq = s.seq;
      info->kind = static_cast<uint32_t>(s.kind);
      info->driver_index = static_cast<uint32_t>(s.driverIndex);
      info->frame = s.frame;
    }
    u->lastPulledKind = s.kind;
    u->lastPulledIndex = s.driverIndex;
    std::memcpy(u->lastPulledKp, s.kp, sizeof u->lastPulledKp);
    ++u->ring.read;
    ++u->stats.frames_out;
    if (s.kind == 1) ++u->stats.speech_frames_out;
  }
  u->cv.notify_all();
  return 1;
}

void tq_utt_get_stats(tq_utt* u, tq_utt_stats* out) {
  if (!u || !out) return;
  std::lock_guard<std::mutex> lk(u->mu);
  *out = u->stats;
  out->state = static_cast<uint32_t>(u->loopState);
}

void tq_utt_get_counts(tq_utt* u, tq_utt_counts* out) {
  if (!u || !out) return;
  std::lock_guard<std::mutex> lk(u->mu);
  *out = u->counts;
}

void tq_utt_get_latency(tq_utt* u, tq_utt_latency* out) {
  if (!u || !out) return;
  std::lock_guard<std::mutex> lk(u->mu);
  *out = u->latency;
}

int tq_utt_render_status(tq_utt* u, char* buf, int len, uint64_t* failures) {
  if (!u) return 0;
  std::lock_guard<std::mutex> lk(u->mu);
  if (failures) *failures = u->failures;
  if (buf && len > 0) tq::fill_err(buf, static_cast<std::size_t>(len), u->failText);
  return u->fatal ? -1 : 0;
}

const char* tq_utt_last_error(void) { return tq_last_error(); }

}  // extern "C"
