// An in-memory frame source for the cursor tests. Frame i is filled with a
// pattern derived from i alone, so a frame handed out for the wrong index (or a
// slot overwritten while in use) never matches the expected bytes.
//
// A Probe shared with the test observes the source after the cursor owns it:
// counts of decodes, seeks and rewinds, gates that hold next() at one frame or
// seek() to one frame until the test opens them, and what the source saw when it
// was destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "driver/tq_driver_source.h"

namespace cursortest {

inline uint8_t patternByte(int frame, std::size_t k) {
  return static_cast<uint8_t>(frame * 37 + static_cast<int>(k % 241) * 11 + static_cast<int>(k / 241) + 5);
}

// Frame i: its index as 4 little-endian bytes, then the pattern.
inline void fillFrame(int frame, uint8_t* out, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = patternByte(frame, k);
  const uint32_t u = static_cast<uint32_t>(frame);
  for (std::size_t k = 0; k < 4 && k < n; ++k) out[k] = static_cast<uint8_t>(u >> (8 * k));
}

inline std::vector<uint8_t> expectedFrame(int frame, std::size_t n) {
  std::vector<uint8_t> v(n);
  fillFrame(frame, v.data(), n);
  return v;
}

inline bool frameIs(const uint8_t* p, std::size_t n, int frame) {
  std::vector<uint8_t> want = expectedFrame(frame, n);
  for (std::size_t k = 0; k < n; ++k)
    if (p[k] != want[k]) return false;
  return true;
}

struct Probe {
  std::mutex m;
  std::condition_variable cv;
  int decodes = 0;  // next() calls that delivered a frame
  int seeks = 0;    // seek() calls on the source
  int rewinds = 0;
  bool inNext = false;
  bool destroyed = false;
  bool destroyedInsideNext = false;
  // Gate: next() for frame gateFrame waits until the gate is opened.
  int gateFrame = -1;
  bool gateReached = false;
  bool gateOpen = false;
  // Seek gate: seek() to seekGateFrame waits until the seek gate is opened.
  int seekGateFrame = -1;
  bool seekGateReached = false;
  bool seekGateOpen = false;

  void waitDecodes(int n) {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return decodes >= n; });
  }
  void waitGateReached() {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return gateReached; });
  }
  void waitSeekGateReached() {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return seekGateReached; });
  }
  void openSeekGate() {
    std::lock_guard<std::mutex> lk(m);
    seekGateOpen = true;
    cv.notify_all();
  }
  void openGate() {
    std::lock_guard<std::mutex> lk(m);
    gateOpen = true;
    cv.notify_all();
  }
  int seekCount() {
    std::lock_guard<std::mutex> lk(m);
    return seeks;
  }
};

struct SourceConfig {
  int NT = 40;
  int W = 6;
  int H = 4;
  std::size_t frameBytes = 0;  // 0: W x H x 3
  std::size_t resident = 0;
  int endAfter = -1;           // next() returns false once this many frames were read
  int throwAtFrame = -1;       // next() throws throwText at this frame
  std::string throwText;
  std::string seekThrowText;   // seek() throws this when not empty
  int sleepMicros = 0;         // pause inside every next()
};

class PatternSource : public tq::driver::Source {
 public:
  PatternSource(SourceConfig config, std::shared_ptr<Probe> probe)
      : config_(std::move(config)), probe_(std::move(probe)) {}

  ~PatternSource() override {
    std::lock_guard<std::mutex> lk(probe_->m);
    probe_->destroyed = true;
    probe_->destroyedInsideNext = probe_->inNext;
    probe_->cv.notify_all();
  }

  int NT() const override { return config_.NT; }
  int W() const override { return config_.W; }
  int H() const override { return config_.H; }
  std::size_t frameBytes() const override {
    return config_.frameBytes ? config_.frameBytes : Source::frameBytes();
  }

  bool next(uint8_t* out) override {
    {
      std::unique_lock<std::mutex> lk(probe_->m);
      probe_->inNext = true;
      if (pos_ == probe_->gateFrame) {
        probe_->gateReached = true;
        probe_->cv.notify_all();
        probe_->cv.wait(lk, [&] { return probe_->gateOpen; });
      }
    }
    if (config_.sleepMicros > 0)
      std::this_thread::sleep_for(std::chrono::microseconds(config_.sleepMicros));
    bool ok = true;
    if (pos_ >= config_.NT || (config_.endAfter >= 0 && pos_ >= config_.endAfter)) {
      ok = false;
    } else if (pos_ == config_.throwAtFrame) {
      leaveNext(false);
      throw std::runtime_error(config_.throwText);
    } else {
      fillFrame(pos_, out, frameBytes());
      ++pos_;
    }
    leaveNext(ok);
    return ok;
  }

  void rewind() override {
    pos_ = 0;
    std::lock_guard<std::mutex> lk(probe_->m);
    ++probe_->rewinds;
  }

  void seek(int i) override {
    {
      std::unique_lock<std::mutex> lk(probe_->m);
      ++probe_->seeks;
      if (i == probe_->seekGateFrame) {
        probe_->seekGateReached = true;
        probe_->cv.notify_all();
        probe_->cv.wait(lk, [&] { return probe_->seekGateOpen; });
      }
    }
    if (!config_.seekThrowText.empty()) throw std::runtime_error(config_.seekThrowText);
    if (i < 0 || i >= config_.NT) throw std::runtime_error("synthetic seek outside");
    pos_ = i;
  }

  std::string name() const override { return "synthetic"; }
  std::size_t residentBytes() const override { return config_.resident; }

 private:
  void leaveNext(bool delivered) {
    std::lock_guard<std::mutex> lk(probe_->m);
    probe_->inNext = false;
    if (delivered) ++probe_->decodes;
    probe_->cv.notify_all();
  }

  SourceConfig config_;
  std::shared_ptr<Probe> probe_;
  int pos_ = 0;
};

inline tq::driver::SourcePtr makeSource(const SourceConfig& config, std::shared_ptr<Probe> probe) {
  return tq::driver::SourcePtr(new PatternSource(config, std::move(probe)));
}

}  // namespace cursortest
