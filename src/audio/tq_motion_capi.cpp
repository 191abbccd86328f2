// The exported tq_motion_* functions over tq::motion::MotionEngine.
#include <exception>
#include <memory>

#include "audio/tq_engine_times.h"
#include "audio/tq_motion.h"
#include "base/tq_error.h"
#include "tq/tq_a2x.h"

struct tq_motion {
  std::unique_ptr<tq::motion::MotionEngine> engine;
};

namespace tq {

EngineTimes engineTimes(const tq_motion* h) {
  EngineTimes t;
  if (!h || !h->engine) return t;
  const motion::MotionTimes m = h->engine->times();
  t.frontendMs = m.melMs + m.encoderMs;
  t.encoderMs = m.generatorMs;
  t.decoderMs = m.stitchMs;
  return t;
}

}  // namespace tq

extern "C" {

tq_motion* tq_motion_create(const char* motion_dir, int threads, const char* ep) {
  tq::clearErr();
  if (!motion_dir) {
    tq::setErrText("tq_motion_create: NULL motion_dir");
    return nullptr;
  }
  try {
    auto h = std::make_unique<tq_motion>();
    h->engine = std::make_unique<tq::motion::MotionEngine>(motion_dir, threads, ep ? ep : "");
    return h.release();
  } catch (const std::exception& e) {
    tq::setErr("tq_motion_create", e);
  } catch (...) {
    tq::setErr("tq_motion_create", "unknown failure");
  }
  return nullptr;
}

void tq_motion_destroy(tq_motion* h) { delete h; }

int tq_motion_push(tq_motion* h, const float* samples, int n) {
  tq::clearErr();
  try {
    if (h && samples && n >= 0 && h->engine->push(samples, n)) return 1;
    tq::setErrText("tq_motion_push: bad args / already finished");
  } catch (const std::exception& e) {
    tq::setErr("tq_motion_push", e);
  } catch (...) {
    tq::setErr("tq_motion_push", "unknown failure");
  }
  return 0;
}

void tq_motion_finish(tq_motion* h) {
  tq::clearErr();
  if (!h) return;
  try {
    h->engine->finish();
  } catch (const std::exception& e) {
    tq::setErr("tq_motion_finish", e);
  } catch (...) {
    tq::setErr("tq_motion_finish", "unknown failure");
  }
}

int tq_motion_avail(tq_motion* h) {
  tq::clearErr();
  if (!h) return 0;
  try {
    return h->engine->avail();
  } catch (const std::exception& e) {
    tq::setErr("tq_motion_avail", e);
  } catch (...) {
    tq::setErr("tq_motion_avail", "unknown failure");
  }
  return 0;
}

int tq_motion_pull(tq_motion* h, int* idx, float* src_kp, float* drv_kp, int max) {
  tq::clearErr();
  if (!h || !idx || !src_kp || !drv_kp) {
    tq::setErrText("tq_motion_pull: bad args");
    return 0;
  }
  try {
    return max > 0 ? h->engine->pull(idx, src_kp, drv_kp, max) : 0;
  } catch (const std::exception& e) {
    tq::setErr("tq_motion_pull", e);
  } catch (...) {
    tq::setErr("tq_motion_pull", "unknown failure");
  }
  return 0;
}

void tq_motion_reset(tq_motion* h, int start, int dir, int wrap) {
  tq::clearErr();
  if (h) h->engine->reset(start, dir, wrap != 0);
}

int tq_motion_total(tq_motion* h) { return h ? h->engine->total() : -1; }

int tq_motion_nt(tq_motion* h) { return h ? h->engine->nt() : 0; }

void tq_motion_set_eager(tq_motion* h, int eager) {
  if (h) h->engine->setEager(eager);
}

const char* tq_motion_last_error(void) { return tq::lastError().c_str(); }

}  // extern "C"
