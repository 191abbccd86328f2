// The exported tq_a2x functions: argument checks and the engine's own error text.
#include <exception>
#include <string>

#include "audio/tq_a2x_engine.h"
#include "audio/tq_a2x_error.h"
#include "audio/tq_a2x_w2v.h"
#include "audio/tq_engine_times.h"
#include "base/tq_error.h"
#include "compute/tq_env.h"
#include "tq/tq.h"
#include "tq/tq_a2x.h"

struct tq_a2x {
  tq::A2x engine;
  tq_a2x(const char* dir, int threads, const char* w2v) : engine(dir, threads, w2v ? w2v : "") {}
};

namespace tq {
namespace a2x {

std::string& lastError() { return tq::lastError(); }

}  // namespace a2x

EngineTimes engineTimes(const tq_a2x* h) {
  EngineTimes t;
  if (!h) return t;
  const A2x::Stats s = h->engine.stats();
  t.frontendMs = s.frontendSec * 1000.0;
  t.encoderMs = s.encoderSec * 1000.0;
  t.decoderMs = s.decoderSec * 1000.0;
  return t;
}

}  // namespace tq

namespace {

using tq::a2x::lastError;

void setError(const char* fn, const char* what) noexcept {
  try {
    lastError() = std::string(fn) + ": " + what;
  } catch (...) {
  }
}

void setText(const char* text) noexcept {
  try {
    lastError() = text;
  } catch (...) {
  }
}

// Runs fn; a model failure is recorded under `what` and the fallback returned.
template <class F, class R>
R guarded(const char* what, R fallback, F&& fn) noexcept {
  try {
    return fn();
  } catch (const std::exception& e) {
    setError(what, e.what());
  } catch (...) {
    setError(what, "unknown exception");
  }
  return fallback;
}

// A model failure inside avail or pull leaves the frames made so far; the call
// reports those and the failure text.
void reportFailure(tq_a2x* h) noexcept {
  try {
    std::string msg;
    if (h->engine.takeFailure(&msg)) setError("tq_a2x extend", msg.c_str());
  } catch (...) {
  }
}

}  // namespace

extern "C" {

tq_a2x* tq_a2x_create_w2v(const char* model_dir, int threads, const char* w2v_path) {
  tq::clearErr();
  if (!model_dir) {
    setText("tq_a2x_create: bad args");
    return nullptr;
  }
  return guarded("tq_a2x_create", static_cast<tq_a2x*>(nullptr),
                 [&] { return new tq_a2x(model_dir, threads, w2v_path); });
}

tq_a2x* tq_a2x_create(const char* model_dir, int threads) { return tq_a2x_create_w2v(model_dir, threads, nullptr); }

void tq_a2x_destroy(tq_a2x* h) { delete h; }

int tq_a2x_push(tq_a2x* h, const float* samples, int n) {
  tq::clearErr();
  if (!h || n < 1) return 1;
  if (!samples) {
    setText("tq_a2x_push: bad args");
    return 1;
  }
  guarded("tq_a2x_push", 0, [&] {
    h->engine.push(samples, n);
    return 0;
  });
  return 1;
}

void tq_a2x_finish(tq_a2x* h) {
  tq::clearErr();
  if (h) h->engine.finish();
}

int tq_a2x_avail(tq_a2x* h) {
  tq::clearErr();
  if (!h) return 0;
  const int n = guarded("tq_a2x_avail", 0, [&] { return h->engine.avail(); });
  reportFailure(h);
  return n;
}

int tq_a2x_pull_wn(tq_a2x* h, int* idx, float* src_kp, float* drv_kp, float* wn, int max) {
  tq::clearErr();
  if (!h || max <= 0) return 0;
  if (!idx || !src_kp || !drv_kp) {
    setText("tq_a2x_pull: bad args");
    return 0;
  }
  const int n = guarded("tq_a2x_pull", 0, [&] { return h->engine.pull(idx, src_kp, drv_kp, wn, max); });
  reportFailure(h);
  return n;
}

int tq_a2x_pull(tq_a2x* h, int* idx, float* src_kp, float* drv_kp, int max) {
  return tq_a2x_pull_wn(h, idx, src_kp, drv_kp, nullptr, max);
}

int tq_a2x_total(tq_a2x* h) { return h ? h->engine.total() : -1; }

void tq_a2x_reset(tq_a2x* h, int start, int dir, int wrap) {
  tq::clearErr();
  if (h) guarded("tq_a2x_reset", 0, [&] {
      h->engine.reset(start, dir, wrap);
      return 0;
    });
}

int tq_a2x_width(tq_a2x* h) { return h && h->engine.width() ? 1 : 0; }

int tq_a2x_nt(tq_a2x* h) { return h ? h->engine.nt() : 0; }

void tq_a2x_set_eager(tq_a2x* h, int eager) {
  if (h) h->engine.setEager(eager);
}

int tq_a2x_preload_w2v(const char* path) {
  tq::clearErr();
  std::string p = path ? path : "";
  if (p.empty()) {
    if (!tq::env::raw("W2V_ONNX")) {
      setText("tq_a2x_preload_w2v: no path and $W2V_ONNX unset");
      return 0;
    }
    p = tq::env::text("W2V_ONNX");
  }
  return guarded("tq_a2x_preload_w2v", 0, [&] {
    tq::a2x::sharedLong(p, 0);
    return 1;
  });
}

int tq_a2x_w2v8_lazy(void) { return 1; }

int tq_a2x_deltas(tq_a2x* h, const float* audio, int n, float* out, int max_frames) {
  tq::clearErr();
  if (!h || (n > 0 && (!audio || !out))) {
    setText("tq_a2x_deltas: bad args");
    return -1;
  }
  if (n < 1) return 0;
  return guarded("tq_a2x_deltas", -1, [&] { return h->engine.deltas(audio, n, out, nullptr, max_frames); });
}

int tq_a2x_deltas_wn(tq_a2x* h, const float* audio, int n, float* out, float* wn_out, int max_frames) {
  tq::clearErr();
  if (!h || (n > 0 && (!audio || !out || !wn_out))) {
    setText("tq_a2x_deltas_wn: bad args");
    return -1;
  }
  if (!h->engine.width()) {
    setText("tq_a2x_deltas_wn: encoder declares no wn output");
    return -3;
  }
  if (n < 1) return 0;
  return guarded("tq_a2x_deltas_wn", -1, [&] { return h->engine.deltas(audio, n, out, wn_out, max_frames); });
}

const char* tq_a2x_last_error(void) { return tq_last_error(); }

}  // extern "C"
