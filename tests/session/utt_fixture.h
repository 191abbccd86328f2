// Shared pieces of the utterance-session tests: a motion directory with its rest keypoints, a
// scripted engine that yields exactly the frames its audio makes, and a context on the small bundle.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "session/tq_utt_api.h"
#include "session/tq_utt_engine.h"
#include "session/tq_utt_options.h"
#include "capi_fixture.h"

namespace utttest {

using namespace capitest;

// Row c of the rest keypoints of driver frame d, and of the audio-driven offset of speech frame i.
inline float rest(int d, int c) { return 0.25f * std::sin(0.37f * c + 1.3f * d); }
inline float offset(int i, int c) { return 0.03f * static_cast<float>((i % 5) + 1) * (c % 3 == 1 ? -1.0f : 1.0f); }

// A motion directory holding only the rest keypoints of kNT driver frames.
inline std::string writeMotion(const std::string& dir) {
  tqtest::runCommand("mkdir -p " + dir);
  std::vector<float> v(kNT * 63);
  for (int i = 0; i < kNT * 63; ++i) v[i] = rest(i / 63, i % 63);
  tqtest::writeText(dir + "/xs_target.bin", std::string(reinterpret_cast<const char*>(v.data()), v.size() * 4));
  return dir;
}

// What a test scripts about the engine; shared by the engine instances it makes.
struct Script {
  int nt = kNT;
  int createMs = 0;  // simulated load time
  int availMs = 0;   // simulated model time of every avail (the session's render loop waits for it)
  const char* failText = nullptr;
  int fixedIndex = -1;  // >= 0: every frame is drawn over this driver frame
  // Push after finish: false appends (as tq_a2x does), true refuses with an error text (as tq_motion).
  bool refuseAfterFinish = false;
  // failUtterance >= 0: that utterance (counted from 0 by reset) fails once failAfter frames were
  // pulled, with failText in the engine's error text on every avail until the next reset.
  int failUtterance = -1, failAfter = 0;
  std::atomic<int> live{0};
  std::mutex m;
  std::vector<int> eagerSet;                 // every set_eager value, in order
  std::vector<std::vector<float>> received;  // the samples of each utterance, by reset
  int misuse = 0;                            // pushes after finish
};

// Frames ready: one per 640 samples while open, the partial one too after finish.
class ScriptedEngine : public tq::utt::Engine {
 public:
  explicit ScriptedEngine(Script& s) : s_(s) { ++s_.live; }
  ~ScriptedEngine() override { --s_.live; }
  void setEager(int e) override { std::lock_guard<std::mutex>{s_.m}, s_.eagerSet.push_back(e); }
  void reset(int start, int dir, int) override {
    start_ = start, dir_ = dir < 0 ? -1 : 1, samples_ = pulled_ = 0, finished_ = false;
    std::lock_guard<std::mutex> lk(s_.m);
    utterance_ = static_cast<int>(s_.received.size());
    s_.received.emplace_back();
  }
  void push(const float* x, int n) override {
    std::lock_guard<std::mutex> lk(s_.m);
    if (finished_) {
      ++s_.misuse;
      if (s_.refuseAfterFinish) return void(error_ = "scripted: push after finish");
    }
    samples_ += n;
    if (utterance_ >= 0) s_.received[utterance_].insert(s_.received[utterance_].end(), x, x + n);
  }
  void finish() override { finished_ = true; }
  int avail() override {
    if (s_.availMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s_.availMs));
    const int ready = (finished_ ? frames() : static_cast<int>(samples_ / 640)) - pulled_;
    if (utterance_ != s_.failUtterance) return ready;
    if (pulled_ >= s_.failAfter) return error_ = s_.failText, 0;
    return std::min(ready, s_.failAfter - pulled_);
  }
  bool takeError(std::string& text) override {
    if (error_.empty()) return false;
    text.swap(error_), error_.clear();
    return true;
  }
  int pull(int* idx, float* src, float* drv, int max) override {
    const int n = std::min(max, avail());
    for (int k = 0; k < n; ++k, ++pulled_) {
      const int d = idx[k] = s_.fixedIndex >= 0 ? s_.fixedIndex : ((start_ + pulled_ * dir_) % kNT + kNT) % kNT;
      for (int c = 0; c < 63; ++c) src[k * 63 + c] = rest(d, c), drv[k * 63 + c] = rest(d, c) + offset(pulled_, c);
    }
    return n;
  }
  int total() override { return finished_ ? frames() : -1; }
  int nt() override { return s_.nt; }

 private:
  int frames() const { return static_cast<int>((samples_ + 639) / 640); }
  Script& s_;
  long samples_ = 0;
  int pulled_ = 0, start_ = 0, dir_ = 1;
  bool finished_ = false;
  int utterance_ = -1;
  std::string error_;
};

inline tq::utt::EngineFactory scripted(Script& s) {
  return [&s](const tq::utt::Options&) -> std::unique_ptr<tq::utt::Engine> {
    if (s.createMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s.createMs));
    if (s.failText && s.failUtterance < 0) throw std::runtime_error(s.failText);
    return std::make_unique<ScriptedEngine>(s);
  };
}

inline void pushSamples(tq_utt* u, int n) {
  std::vector<int16_t> pcm(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) pcm[i] = static_cast<int16_t>(3000 * std::sin(0.05 * i));
  ASSERT_EQ(tq_utt_push_audio(u, pcm.data(), n), 1);
}

// Pulls until `n` frames of the given kind were seen (n >= 0), returning every frame pulled.
inline std::vector<Frame> pullUntil(tq_utt* u, unsigned kind, int n) {
  std::vector<Frame> seen;
  for (int got = 0; got < n;) {
    seen.emplace_back();
    if (!pullNext(u, seen.back())) return ADD_FAILURE() << "no frame", seen;
    got += seen.back().info.kind == kind;
  }
  return seen;
}

inline tq_utt_stats statsOf(tq_utt* u) {
  tq_utt_stats st{};
  tq_utt_get_stats(u, &st);
  return st;
}

inline void waitAvailable(tq_utt* u, int n) {
  while (tq_utt_frames_available(u) < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class UttBase : public CtxBase {
 protected:
  static void SetUpTestSuite() {
    CtxBase::SetUpTestSuite();
    motion = writeMotion(*tmp / "motion");
  }
  void TearDown() override { tq_utt_destroy(u), CtxBase::TearDown(); }
  tq_utt_opts opts(double silence = -1.0, int endRamp = 0) const {
    tq_utt_opts o{};
    o.motion_dir = motion.c_str(), o.steady_model = "-", o.silence_end_s = silence, o.end_ramp = endRamp;
    return o;
  }
  void start(const tq_utt_opts& o) {
    u = tq::utt::createSession(ctx, o, scripted(script));
    ASSERT_EQ(waitReady(u), 1) << tq_utt_last_error();
  }
  void stop() { tq_utt_destroy(u), u = nullptr; }

  static inline std::string motion;
  tq_utt* u = nullptr;
  Script script;
};

}  // namespace utttest
