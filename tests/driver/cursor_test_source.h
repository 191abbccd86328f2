// An in-memory frame source for the cursor tests. Frame i carries its index in
// its first 4 bytes, then a pattern derived from i alone, so a frame handed out
// for the wrong index (or a slot overwritten while in use) never matches.
//
// A Probe shared with the test observes the source after the cursor owns it:
// counts of decodes and seeks, gates that hold next() at one frame or seek() to
// one frame until the test opens them, and what the source saw when destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "driver/tq_driver_source.h"

namespace cursortest {

inline uint8_t frameByte(int frame, std::size_t k) {
  if (k < 4) return static_cast<uint8_t>(static_cast<uint32_t>(frame) >> (8 * k));
  return static_cast<uint8_t>(frame * 37 + static_cast<int>(k % 241) * 11 + static_cast<int>(k / 241) + 5);
}
inline bool frameIs(const uint8_t* p, std::size_t n, int frame) {
  for (std::size_t k = 0; k < n; ++k)
    if (p[k] != frameByte(frame, k)) return false;
  return true;
}

struct Probe {
  // Holds the source when it reaches `frame` until the test opens it.
  struct Gate {
    int frame = -1;
    bool reached = false, open = false;
  };
  std::mutex m;
  std::condition_variable cv;
  int decodes = 0;  // next() calls that delivered a frame
  int seeks = 0;    // seek() calls on the source
  bool inNext = false, destroyed = false, destroyedInsideNext = false;
  Gate next, seek;

  template <class P>
  void waitFor(P pred) {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, pred);
  }
  void waitDecodes(int n) { waitFor([&] { return decodes >= n; }); }
  void waitReached(Gate& g) { waitFor([&] { return g.reached; }); }
  void openGate(Gate& g) {
    std::lock_guard<std::mutex> lk(m);
    g.open = true;
    cv.notify_all();
  }
  // Called with m held by the source at frame i.
  void pass(Gate& g, int i, std::unique_lock<std::mutex>& lk) {
    if (i != g.frame) return;
    g.reached = true;
    cv.notify_all();
    cv.wait(lk, [&] { return g.open; });
  }
  int seekCount() {
    std::lock_guard<std::mutex> lk(m);
    return seeks;
  }
};

struct SourceConfig {
  int NT = 40, W = 6, H = 4;
  std::size_t frameBytes = 0;  // 0: W x H x 3
  std::size_t resident = 0;
  int endAfter = -1;      // next() returns false once this many frames were read
  int throwAtFrame = -1;  // next() throws throwText at this frame
  std::string throwText;
  std::string seekThrowText;  // seek() throws this when not empty
  int sleepMicros = 0;        // pause inside every next()
};

class PatternSource : public tq::driver::Source {
 public:
  PatternSource(SourceConfig config, std::shared_ptr<Probe> probe) : c_(std::move(config)), probe_(std::move(probe)) {}
  ~PatternSource() override {
    std::lock_guard<std::mutex> lk(probe_->m);
    probe_->destroyed = true;
    probe_->destroyedInsideNext = probe_->inNext;
    probe_->cv.notify_all();
  }
  int NT() const override { return c_.NT; }
  int W() const override { return c_.W; }
  int H() const override { return c_.H; }
  std::size_t frameBytes() const override { return c_.frameBytes ? c_.frameBytes : Source::frameBytes(); }
  std::string name() const override { return "synthetic"; }
  std::size_t residentBytes() const override { return c_.resident; }

  bool next(uint8_t* out) override {
    {
      std::unique_lock<std::mutex> lk(probe_->m);
      probe_->inNext = true;
      probe_->pass(probe_->next, pos_, lk);
    }
    if (c_.sleepMicros > 0) std::this_thread::sleep_for(std::chrono::microseconds(c_.sleepMicros));
    const bool ok = pos_ < c_.NT && (c_.endAfter < 0 || pos_ < c_.endAfter);
    const bool fail = ok && pos_ == c_.throwAtFrame;
    if (ok && !fail)
      for (std::size_t k = 0; k < frameBytes(); ++k) out[k] = frameByte(pos_, k);
    {
      std::lock_guard<std::mutex> lk(probe_->m);
      probe_->inNext = false;
      probe_->decodes += ok && !fail;
      probe_->cv.notify_all();
    }
    if (fail) throw std::runtime_error(c_.throwText);
    pos_ += ok;
    return ok;
  }
  void rewind() override { pos_ = 0; }
  void seek(int i) override {
    {
      std::unique_lock<std::mutex> lk(probe_->m);
      ++probe_->seeks;
      probe_->pass(probe_->seek, i, lk);
    }
    if (!c_.seekThrowText.empty()) throw std::runtime_error(c_.seekThrowText);
    if (i < 0 || i >= c_.NT) throw std::runtime_error("synthetic seek outside");
    pos_ = i;
  }

 private:
  SourceConfig c_;
  std::shared_ptr<Probe> probe_;
  int pos_ = 0;
};

inline tq::driver::SourcePtr makeSource(const SourceConfig& config, std::shared_ptr<Probe> probe) {
  return tq::driver::SourcePtr(new PatternSource(config, std::move(probe)));
}

}  // namespace cursortest
