// The two real engines behind the session's engine interface.
#include "session/tq_utt_engine.h"

#include <stdexcept>

#include "audio/tq_a2x_error.h"
#include "base/tq_error.h"
#include "session/tq_utt_options.h"
#include "tq/tq_a2x.h"

namespace tq {
namespace utt {
namespace {

std::string engineText(const char* text, const char* fallback) {
  return (text && *text) ? std::string(text) : std::string(fallback);
}

bool takeText(std::string& from, std::string& to) {
  if (from.empty()) return false;
  to.swap(from);
  from.clear();
  return true;
}

class A2xEngine : public Engine {
 public:
  explicit A2xEngine(const Options& o)
      : h_(tq_a2x_create_w2v(o.motionDir.c_str(), o.threads, o.w2vPath.empty() ? nullptr : o.w2vPath.c_str())) {
    if (!h_) throw std::runtime_error(engineText(tq_a2x_last_error(), "tq_a2x_create failed"));
  }
  ~A2xEngine() override { tq_a2x_destroy(h_); }
  void setEager(int e) override { tq_a2x_set_eager(h_, e); }
  void reset(int start, int dir, int wrap) override { tq_a2x_reset(h_, start, dir, wrap); }
  void push(const float* s, int n) override { tq_a2x_push(h_, s, n); }
  void finish() override { tq_a2x_finish(h_); }
  int avail() override { return tq_a2x_avail(h_); }
  int pull(int* idx, float* src, float* drv, int max) override { return tq_a2x_pull(h_, idx, src, drv, max); }
  int total() override { return tq_a2x_total(h_); }
  int nt() override { return tq_a2x_nt(h_); }
  bool takeError(std::string& text) override { return takeText(tq::a2x::lastError(), text); }
  EngineTimes times() override { return engineTimes(h_); }

 private:
  tq_a2x* h_;
};

class MotionEngine : public Engine {
 public:
  explicit MotionEngine(const Options& o)
      : h_(tq_motion_create(o.motionDir.c_str(), o.threads, o.motionEp.empty() ? nullptr : o.motionEp.c_str())) {
    if (!h_) throw std::runtime_error(engineText(tq_motion_last_error(), "tq_motion_create failed"));
  }
  ~MotionEngine() override { tq_motion_destroy(h_); }
  void setEager(int e) override { tq_motion_set_eager(h_, e); }
  void reset(int start, int dir, int wrap) override { tq_motion_reset(h_, start, dir, wrap); }
  void push(const float* s, int n) override { tq_motion_push(h_, s, n); }
  void finish() override { tq_motion_finish(h_); }
  int avail() override { return tq_motion_avail(h_); }
  int pull(int* idx, float* src, float* drv, int max) override { return tq_motion_pull(h_, idx, src, drv, max); }
  int total() override { return tq_motion_total(h_); }
  int nt() override { return tq_motion_nt(h_); }
  bool takeError(std::string& text) override { return takeText(tq::lastError(), text); }
  EngineTimes times() override { return engineTimes(h_); }

 private:
  tq_motion* h_;
};

}  // namespace

EngineFactory realEngine() {
  return [](const Options& o) -> std::unique_ptr<Engine> {
    if (o.a2x) return std::make_unique<A2xEngine>(o);
    return std::make_unique<MotionEngine>(o);
  };
}

}  // namespace utt
}  // namespace tq
