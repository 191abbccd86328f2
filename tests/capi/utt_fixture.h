// Shared pieces of the utterance-session tests: the small C API bundle, a
// motion directory with its rest keypoints, a scripted engine that yields
// exactly the frames its audio makes, and host-side pulling helpers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "capi/tq_utt_api.h"
#include "capi/tq_utt_engine.h"
#include "capi/tq_utt_options.h"
#include "capi_fixture.h"
#include "tq/tq.h"

namespace utttest {

using capitest::kCrop;
using capitest::kH;
using capitest::kNT;
using capitest::kW;
constexpr std::size_t kFrameBytes = static_cast<std::size_t>(kW) * kH * 3;

// Rest keypoints of driver frame d.
inline std::vector<float> restRows(int nt) {
  std::vector<float> v(static_cast<std::size_t>(nt) * 63);
  for (int d = 0; d < nt; ++d)
    for (int c = 0; c < 63; ++c) v[static_cast<std::size_t>(d) * 63 + c] = 0.25f * std::sin(0.37f * c + 1.3f * d);
  return v;
}

// The audio-driven offset of speech frame i, row c.
inline float offset(int i, int c) { return 0.03f * static_cast<float>((i % 5) + 1) * (c % 3 == 1 ? -1.0f : 1.0f); }

inline void writeRest(const std::string& path, int nt) {
  const std::vector<float> v = restRows(nt);
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(v.data(), sizeof(float), v.size(), f);
  std::fclose(f);
}

// What a test scripts about the engine. Shared by the engine instances it makes.
struct Script {
  int nt = kNT;
  int createMs = 0;           // simulated load time
  const char* failText = nullptr;
  int fixedIndex = -1;        // >= 0: every frame is drawn over this driver frame
  std::atomic<int> live{0};
  std::atomic<int> created{0};
  std::mutex m;
  std::vector<int> eagerSet;  // every set_eager value, in order
};

// Frames ready: one per 640 samples while open, the partial one too after finish.
class ScriptedEngine : public tq::utt::Engine {
 public:
  explicit ScriptedEngine(Script& s) : s_(s), xs_(restRows(kNT)) { ++s_.live; }
  ~ScriptedEngine() override { --s_.live; }
  void setEager(int e) override {
    std::lock_guard<std::mutex> lk(s_.m);
    s_.eagerSet.push_back(e);
  }
  void reset(int start, int dir, int) override {
    start_ = start;
    dir_ = dir < 0 ? -1 : 1;
    samples_ = 0;
    pulled_ = 0;
    finished_ = false;
  }
  void push(const float*, int n) override { samples_ += n; }
  void finish() override { finished_ = true; }
  int avail() override { return ready() - pulled_; }
  int pull(int* idx, float* src, float* drv, int max) override {
    const int n = std::min(max, avail());
    for (int k = 0; k < n; ++k, ++pulled_) {
      int d = s_.fixedIndex >= 0 ? s_.fixedIndex : ((start_ + pulled_ * dir_) % kNT + kNT) % kNT;
      idx[k] = d;
      for (int c = 0; c < 63; ++c) {
        src[k * 63 + c] = xs_[static_cast<std::size_t>(d) * 63 + c];
        drv[k * 63 + c] = xs_[static_cast<std::size_t>(d) * 63 + c] + offset(pulled_, c);
      }
    }
    return n;
  }
  int total() override { return finished_ ? frames() : -1; }
  int nt() override { return s_.nt; }

 private:
  int frames() const { return static_cast<int>((samples_ + 639) / 640); }
  int ready() const { return finished_ ? frames() : static_cast<int>(samples_ / 640); }
  Script& s_;
  std::vector<float> xs_;
  long samples_ = 0;
  int pulled_ = 0, start_ = 0, dir_ = 1;
  bool finished_ = false;
};

inline tq::utt::EngineFactory scripted(Script& s) {
  return [&s](const tq::utt::Options&) -> std::unique_ptr<tq::utt::Engine> {
    ++s.created;
    if (s.createMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s.createMs));
    if (s.failText) throw std::runtime_error(s.failText);
    return std::make_unique<ScriptedEngine>(s);
  };
}

struct Frame {
  tq_utt_frame_info info{};
  std::vector<uint8_t> px;
};

// Waits (bounded) for the next frame; the host paces the session by pulling.
inline bool pullNext(tq_utt* u, Frame& f, double seconds = 60.0) {
  f.px.resize(kFrameBytes);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (tq_utt_pull_frame(u, f.px.data(), f.px.size(), &f.info) == 1) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

inline int waitReady(tq_utt* u, double seconds = 120.0) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int r = 0;
  while ((r = tq_utt_ready(u)) == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return r;
}

inline void pushSamples(tq_utt* u, int n) {
  std::vector<int16_t> pcm(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) pcm[static_cast<std::size_t>(i)] = static_cast<int16_t>(3000 * std::sin(0.05 * i));
  ASSERT_EQ(tq_utt_push_audio(u, pcm.data(), n), 1);
}

// One context on the shared bundle and a motion directory beside it.
class UttBase : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tmp = new tqtest::TempDir();
    dir = capitest::writeBundle(*tmp);
    motion = *tmp / "motion";
    tqtest::runCommand("mkdir -p " + motion);
    writeRest(motion + "/xs_target.bin", kNT);
  }
  static void TearDownTestSuite() { delete tmp; }
  void SetUp() override {
    ctx = tq_create(dir.c_str(), "b1", 1, nullptr);
    ASSERT_NE(ctx, nullptr) << tq_last_error();
  }
  void TearDown() override {
    tq_utt_destroy(u);
    tq_destroy(ctx);
  }
  tq_utt_opts opts(double silence = -1.0) const {
    tq_utt_opts o{};
    o.motion_dir = motion.c_str();
    o.steady_model = "-";
    o.silence_end_s = silence;
    return o;
  }
  void start(const tq_utt_opts& o) {
    u = tq::utt::createSession(ctx, o, scripted(script));
    ASSERT_EQ(waitReady(u), 1) << tq_utt_last_error();
  }

  static tqtest::TempDir* tmp;
  static std::string dir, motion;
  tq_ctx* ctx = nullptr;
  tq_utt* u = nullptr;
  Script script;
};
inline tqtest::TempDir* UttBase::tmp = nullptr;
inline std::string UttBase::dir;
inline std::string UttBase::motion;

}  // namespace utttest
