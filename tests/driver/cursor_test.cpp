// DriverCursor over an in-memory source, from one thread and from several (run
// under ThreadSanitizer). Frame i carries i in its first 4 bytes, then a pattern of
// i alone, so a frame handed out for the wrong index, or a slot overwritten in use,
// never matches. A shared Probe counts decodes and seeks, holds next() or seek() at
// one frame until the test opens the gate, and sees whether the source died in next().
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "driver/tq_driver.h"
#include "tq_test_util.h"

using tqtest::thrown;

namespace {

uint8_t frameByte(int frame, std::size_t k) {
  if (k < 4) return static_cast<uint8_t>(static_cast<uint32_t>(frame) >> (8 * k));
  return static_cast<uint8_t>(frame * 37 + static_cast<int>(k % 241) * 11 + static_cast<int>(k / 241) + 5);
}
bool frameIs(const uint8_t* p, std::size_t n, int frame) {
  for (std::size_t k = 0; k < n; ++k)
    if (p[k] != frameByte(frame, k)) return false;
  return true;
}

struct Probe {
  struct Gate {
    int frame = -1;
    bool reached = false, open = false;
  };
  std::mutex m;
  std::condition_variable cv;
  int decodes = 0;  // frames delivered by next()
  std::atomic<int> seeks{0};
  bool inNext = false, destroyed = false, destroyedInsideNext = false;
  Gate next, seek;

  template <class P>
  void waitFor(P pred) {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, pred);
  }
  void waitReached(Gate& g) { waitFor([&] { return g.reached; }); }
  void set(Gate& g, int frame, bool open) {
    std::lock_guard<std::mutex> lk(m);
    g.frame = frame;
    g.open = open;
    cv.notify_all();
  }
  void openGate(Gate& g) { set(g, g.frame, true); }
  // Called by the source with m held, at frame i.
  void pass(Gate& g, int i, std::unique_lock<std::mutex>& lk) {
    if (i != g.frame) return;
    g.reached = true;
    cv.notify_all();
    cv.wait(lk, [&] { return g.open; });
  }
};

// Frame bytes 0 mean W x H x 3; endAfter -1 means NT; throwText is thrown by the
// next() of frame throwAtFrame, seekThrowText (when set) by every seek().
struct SourceConfig {
  int NT = 40, W = 6, H = 4;
  std::size_t frameBytes = 0, resident = 0;
  int endAfter = -1, sleepMicros = 0, throwAtFrame = -1;
  std::string throwText{}, seekThrowText{};
};

class PatternSource : public tq::driver::Source {
 public:
  PatternSource(SourceConfig config, std::shared_ptr<Probe> probe) : c_(std::move(config)), p_(std::move(probe)) {}
  ~PatternSource() override {
    std::lock_guard<std::mutex> lk(p_->m);
    p_->destroyed = true;
    p_->destroyedInsideNext = p_->inNext;
  }
  int NT() const override { return c_.NT; }
  int W() const override { return c_.W; }
  int H() const override { return c_.H; }
  std::size_t frameBytes() const override { return c_.frameBytes ? c_.frameBytes : Source::frameBytes(); }
  std::string name() const override { return "synthetic"; }
  std::size_t residentBytes() const override { return c_.resident; }
  void rewind() override { pos_ = 0; }

  bool next(uint8_t* out) override {
    {
      std::unique_lock<std::mutex> lk(p_->m);
      p_->inNext = true;
      p_->pass(p_->next, pos_, lk);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(c_.sleepMicros));
    const bool ok = pos_ < c_.NT && (c_.endAfter < 0 || pos_ < c_.endAfter), fail = ok && pos_ == c_.throwAtFrame;
    for (std::size_t k = 0; ok && !fail && k < frameBytes(); ++k) out[k] = frameByte(pos_, k);
    {
      std::lock_guard<std::mutex> lk(p_->m);
      p_->inNext = false;
      p_->decodes += ok && !fail;
      p_->cv.notify_all();
    }
    if (fail) throw std::runtime_error(c_.throwText);
    pos_ += ok;
    return ok;
  }
  void seek(int i) override {
    {
      std::unique_lock<std::mutex> lk(p_->m);
      ++p_->seeks;
      p_->pass(p_->seek, i, lk);
    }
    if (!c_.seekThrowText.empty()) throw std::runtime_error(c_.seekThrowText);
    if (i < 0 || i >= c_.NT) throw std::runtime_error("synthetic seek outside");
    pos_ = i;
  }

 private:
  SourceConfig c_;
  std::shared_ptr<Probe> p_;
  int pos_ = 0;
};

std::unique_ptr<tq::DriverCursor> over(const SourceConfig& c, const std::shared_ptr<Probe>& p, int ahead, int hist) {
  return tq::DriverCursor::over(tq::driver::SourcePtr(new PatternSource(c, p)), ahead, hist);
}

int scaled(int n) { return tqtest::underEmulation() ? std::max(1, n / 4) : n; }

struct Fixture {
  std::shared_ptr<Probe> probe = std::make_shared<Probe>();
  std::unique_ptr<tq::DriverCursor> cursor;
  std::vector<uint8_t> buf;
  Fixture(const SourceConfig& config, int ahead, int hist) : cursor(over(config, probe, ahead, hist)), buf(cursor->frameBytes) {}

  // Plays a script of space-separated steps; every frame handed out must be
  // the one reported and expected:
  //   N or N..M  copying pulls yielding N (to M)    @N  pullAt(N), copying
  //   iN / i@N   in-place pull / pullAt             mN / m@N  mutable ones (the frame is then scribbled over)
  //   >N  seek(N)     =N  position() is N     sN  seeks() is N
  void run(const std::string& script) {
    std::istringstream in(script);
    for (std::string tok; in >> tok;) {
      SCOPED_TRACE(tok);
      const std::size_t d = tok.find_first_of("0123456789"), dots = tok.find("..");
      const std::string op = tok.substr(0, d);
      const int n = std::stoi(tok.substr(d)), last = dots == std::string::npos ? n : std::stoi(tok.substr(dots + 2));
      int idx = -1;
      const uint8_t* p = buf.data();
      if (op == "=" || op == "s") {
        EXPECT_EQ(op == "=" ? cursor->position() : cursor->seeks(), n) << op;
        continue;
      } else if (op == ">") {
        cursor->seek(n);
        continue;
      } else if (op.empty()) {
        for (int i = n; i < last; ++i) ASSERT_TRUE(cursor->pull(buf.data()) == i && frameIs(p, buf.size(), i)) << i;
        idx = cursor->pull(buf.data());
      } else if (op == "@") {
        idx = cursor->pullAt(n, buf.data());
      } else if (op == "i" || op == "i@") {
        p = op == "i" ? cursor->pull(&idx) : cursor->pullAt(n, &idx);
      } else {
        uint8_t* q = op == "m" ? cursor->pullMut(&idx) : cursor->pullMutAt(n, &idx);
        ASSERT_TRUE(idx == n && frameIs(q, buf.size(), n));
        std::memset(q, 0xAB, buf.size());
        continue;
      }
      ASSERT_EQ(idx, last);
      ASSERT_TRUE(frameIs(p, buf.size(), last));
    }
  }
};

TEST(CursorPlay, AllPullFormsShareOnePositionAndWrap) {
  // pullAt moves the position; the frame after the last is frame 0.
  Fixture(SourceConfig{10}, 2, 4).run("0 i1 m2 @7 =8 8 i@9 =0 0 m@4 >6 =6 6");
  Fixture f(SourceConfig{9, 5, 3, 5 * 3 * 6, 777}, 2, 11);  // a frame layout other than RGB24
  EXPECT_EQ(std::make_tuple(f.cursor->NT, f.cursor->W, f.cursor->H, f.cursor->frameBytes, f.cursor->backend),
            std::make_tuple(9, 5, 3, 90u, "synthetic"));
  f.run("0..8 0..8 =0 0 1 =2 s0");  // wrapping rewinds the source; it is not a seek
  EXPECT_EQ(f.probe->seeks.load(), 0);
  EXPECT_EQ(f.cursor->residentBytes(), 14u * 90u + 777u) << "the ring never grows";
}

// Frames within the look-ahead or history are served from the ring, anything
// else costs exactly one source seek.
TEST(CursorRing, RingHitsAndSeeks) {
  const struct {
    int ahead, hist;
    const char* script;
  } cases[] = {
      // Look-ahead and history; from frame 20, frame 9 is 11 back: still in the ring.
      {2, 11, "0..3 @4 @5 @4 @5 s0 6..20 @9 10 11 s0"},
      // With frame 4 taken, 5 and 6 may be buffered and 7 is next to decode: 8 is
      // beyond; 13 is 12 behind 25; then to the start, the last frame and the wrap.
      {2, 11, "0..4 @8 s1 9..25 s1 @13 s2 14 15 s2 @0 s3 @39 s4 0 s4"},
      {2, 11, "0..20 @8 s1 9 10 @14 15 s1"},  // 14, decoded before the seek to 8, is still in its slot
      {0, -1, "0..5 @5 s0 @4 s1 5"},  // clamped to look-ahead 1, history 0: the frame just handed out stays
      // A mutated frame and every frame before it are never served from history again.
      {2, 11, "0..9 m10 @10 s1 m@11 s1 @9 s2 10 11 @10 s2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Fixture f(SourceConfig{}, c.ahead, c.hist);
    f.run(c.script);
    EXPECT_EQ(f.probe->seeks.load(), f.cursor->seeks()) << "every counted seek reached the source once";
  }
  EXPECT_EQ(Fixture(SourceConfig{40, 6, 4, 0, 5}, 0, -1).cursor->residentBytes(), 2 * 72 + 5) << "look-ahead 1 + history 0 + 1 slots";

  // Out-of-range positions are refused and change nothing.
  Fixture f(SourceConfig{}, 2, 11);
  f.run("0..2 >30 =30 30 31 s1");
  int idx = 0;
  EXPECT_EQ(thrown([&] { f.cursor->seek(40); }), "tq_driver: seek(40) outside [0,40)");
  EXPECT_EQ(thrown([&] { f.cursor->seek(-1); }), "tq_driver: seek(-1) outside [0,40)");
  EXPECT_EQ(thrown([&] { f.cursor->pullAt(40, f.buf.data()); }), "tq_driver: seek(40) outside [0,40)");
  EXPECT_EQ(thrown([&] { f.cursor->pullAt(-5, &idx); }), "tq_driver: seek(-5) outside [0,40)");
  EXPECT_EQ(thrown([&] { f.cursor->pullMutAt(41, &idx); }), "tq_driver: seek(41) outside [0,40)");
  f.run("=32 32 @31");

  // The smallest ring for a look-ahead of 2 has three slots: a frame handed out
  // in place survives the decoder filling the look-ahead behind the consumer's back.
  Fixture small(SourceConfig{}, 2, 0);
  for (int k = 0; k < 30; ++k) {
    const uint8_t* p = small.cursor->pull(&idx);
    ASSERT_EQ(idx, k);
    small.probe->waitFor([&] { return small.probe->decodes >= k + 3; });
    ASSERT_TRUE(frameIs(p, small.buf.size(), k)) << "frame " << k << " was overwritten while in use";
  }
}

TEST(CursorFailure, SourceFailuresAreRecordedWithThePrefixAndStick) {
  // Look-ahead 1: frame k+1 is only decoded once frame k was handed out, so the
  // failure surfaces exactly at the step after the script.
  const struct {
    SourceConfig config;
    int ahead;
    const char* script;
    int at;  // the pullAt that meets the failure
    std::string want;
  } cases[] = {
      {{5, 6, 4, 0, 0, 3}, 1, "0..2", 3,
       "tq_driver: synthetic ended after 3 frames, the manifest says NT=5 — a short driver is a session that stops "
       "part way through the loop, refusing"},
      {{40, 6, 4, 0, 0, -1, 0, 2, "frame 2 is unreadable"}, 1, "0..1", 2, "tq_driver: frame 2 is unreadable"},
      {{40, 6, 4, 0, 0, -1, 0, 2, "tq_driver: frame 2 is unreadable"}, 1, "0..1", 2, "tq_driver: tq_driver: frame 2 is unreadable"},
      {{40, 6, 4, 0, 0, -1, 0, -1, "", "no random access"}, 2, "0..3 @2", 30, "tq_driver: seek failed: no random access"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    Fixture f(c.config, c.ahead, 4);
    f.run(c.script);
    int idx = 0;
    EXPECT_EQ(thrown([&] { f.cursor->pullAt(c.at, f.buf.data()); }), c.want);
    EXPECT_EQ(thrown([&] { f.cursor->pull(f.buf.data()); }), c.want);
    EXPECT_EQ(thrown([&] { f.cursor->pullAt(1, f.buf.data()); }), c.want) << "even a frame in the history";
    EXPECT_EQ(thrown([&] { f.cursor->pullMut(&idx); }), c.want);
    EXPECT_EQ(thrown([&] { f.cursor->seek(0); }), c.want);
    const std::string nt = std::to_string(c.config.NT);
    EXPECT_EQ(thrown([&] { f.cursor->seek(c.config.NT); }), "tq_driver: seek(" + nt + ") outside [0," + nt + ")")
        << "range checks come first";
  }
}

// Runs body(k) on n threads, then `started`; returns what each body threw.
template <class F, class G>
std::vector<std::string> onThreads(int n, F body, G started) {
  std::vector<std::string> got(n);
  std::vector<std::thread> threads;
  for (int k = 0; k < n; ++k) threads.emplace_back([&, k] { got[k] = thrown([&] { body(k); }); });
  started();
  for (auto& th : threads) th.join();
  return got;
}

TEST(CursorThreads, ConsumersShareOneSequenceAndSeeksRaceTheDecoder) {
  const int perThread = scaled(80);
  auto cursor = over(SourceConfig{2 * perThread + 7}, std::make_shared<Probe>(), 2, 11);  // no frame comes round twice
  std::mutex m;
  std::vector<int> seen;
  std::atomic<int> bad{0};
  onThreads(2, [&](int) {
    std::vector<uint8_t> buf(cursor->frameBytes);
    for (int k = 0; k < perThread; ++k) {
      const int idx = cursor->pull(buf.data());
      bad += !frameIs(buf.data(), buf.size(), idx);
      std::lock_guard<std::mutex> lk(m);
      seen.push_back(idx);
    }
  }, [] {});
  EXPECT_EQ(bad.load(), 0) << "a pull returned bytes of another frame than it reported";
  std::sort(seen.begin(), seen.end());
  for (int i = 0; i < 2 * perThread; ++i) ASSERT_EQ(seen.at(i), i) << "every frame exactly once, none skipped or repeated";
  EXPECT_EQ(cursor->seeks(), 0);

  // A slow source keeps the decoder inside next() while seeks and pulls arrive
  // from two threads and a third watches; every frame handed out must be the one asked for.
  auto probe = std::make_shared<Probe>();
  cursor = over(SourceConfig{64, 6, 4, 0, 0, -1, 100}, probe, 2, 11);
  const int rounds = scaled(150);
  onThreads(3, [&](int t) {
    std::minstd_rand draw(7 + t);  // a fixed index sequence per thread
    const auto next = [&](int n) { return static_cast<int>(draw() % n); };
    std::vector<uint8_t> buf(cursor->frameBytes);
    for (int k = 0, last = 0; k < rounds; ++k) {
      if (t == 0) {  // near moves (ring hits) mixed with far jumps (source seeks)
        const int i = next(4) == 0 ? next(64) : (last + next(5) + 62) % 64;
        bad += cursor->pullAt(i, buf.data()) != i || !frameIs(buf.data(), buf.size(), i);
        last = i;
      } else if (t == 1) {
        if (next(8) == 0) cursor->seek(next(64));
        const int idx = cursor->pull(buf.data());
        bad += idx < 0 || idx >= 64 || !frameIs(buf.data(), buf.size(), idx);
      } else {
        const int64_t s = cursor->seeks();
        const int pos = cursor->position();
        bad += s < last || pos < 0 || pos >= 64 || cursor->residentBytes() != 14 * cursor->frameBytes;
        last = static_cast<int>(s);
        std::this_thread::yield();
      }
    }
  }, [] {});
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(cursor->seeks(), 0) << "far jumps must have reached the source";
  EXPECT_GE(cursor->seeks(), probe->seeks.load()) << "a superseded seek never reaches the source";
}

TEST(CursorThreads, FrameDecodedAcrossASeekIsDroppedWithItsSlot) {
  // The decoder is writing frame 21 into the slot that held frame 7 when a seek
  // to frame 35 arrives. The frame is dropped; the slot no longer holds frame 7
  // either, so asking for frame 7 afterwards must not be served from it.
  Fixture f(SourceConfig{}, 2, 11);  // 14 slots
  f.probe->set(f.probe->next, 21, false);
  f.probe->set(f.probe->seek, 35, false);
  f.run("0..19");
  f.probe->waitReached(f.probe->next);  // inside next() for frame 21, ring sequence 21 = slot 7
  f.cursor->seek(35);
  f.probe->openGate(f.probe->next);
  f.probe->waitReached(f.probe->seek);  // frame 21 is dropped; the source seek is under way
  f.run("@10 s1");                      // back into the history while the source seeks
  f.probe->openGate(f.probe->seek);
  f.run("@7 s2 8");
}

TEST(CursorThreads, FailureReachesBlockedAndBusyConsumers) {
  Fixture f(SourceConfig{40, 6, 4, 0, 0, -1, 0, 3, "frame 3 is damaged"}, 1, 4);
  f.probe->set(f.probe->next, 3, false);  // the decoder stops inside next() before failing
  f.run("0..2");
  f.probe->waitReached(f.probe->next);
  // Both consumers block: one waiting for frame 3, the other for the cursor.
  for (const std::string& e : onThreads(2, [&](int) { f.cursor->pull(std::vector<uint8_t>(f.buf.size()).data()); },
                                        [&] { f.probe->openGate(f.probe->next); }))
    EXPECT_EQ(e, "tq_driver: frame 3 is damaged");

  // Threads busy pulling when the source runs out all see the same failure.
  auto cursor = over(SourceConfig{10, 6, 4, 0, 0, 6}, std::make_shared<Probe>(), 2, 11);
  for (const std::string& e : onThreads(4, [&](int t) {
         std::vector<uint8_t> mine(cursor->frameBytes);
         for (long k = 0; k < 10000000; ++k)  // frame 5 lets the decoder run into the end
           t % 2 ? cursor->pull(mine.data()) : cursor->pullAt(static_cast<int>(k % 6), mine.data());
       }, [] {}))
    EXPECT_EQ(e, "tq_driver: synthetic ended after 6 frames, the manifest says NT=10 — a short driver is a session "
                 "that stops part way through the loop, refusing");
}

TEST(CursorThreads, DestroyWhileTheDecoderIsInsideTheSource) {
  // Inside next() in play, inside next() for a frame whose seek was requested,
  // and a slow source destroyed at arbitrary points (in next(), in seek(), idle).
  const SourceConfig slow{40, 6, 4, 0, 0, -1, 50};
  for (int k = -2; k < scaled(40); ++k) {
    SCOPED_TRACE(k);
    auto probe = std::make_shared<Probe>();
    probe->next.frame = k == -2 ? 1 : k == -1 ? 30 : -1;  // frame 1 is within the first look-ahead
    auto cursor = over(k < 0 ? SourceConfig{} : slow, probe, k < 0 ? 2 : 1 + k % 3, k < 0 ? 11 : k % 5);
    std::vector<uint8_t> buf(cursor->frameBytes);
    for (int j = 0; j < (k == -1 ? 1 : std::max(0, k % 4)); ++j) ASSERT_EQ(cursor->pull(buf.data()), j);
    if (k == -1 || (k >= 0 && k % 2)) cursor->seek(k < 0 ? 30 : (k * 7) % 40);
    if (k < 0) {
      probe->waitReached(probe->next);
      // Whether the destructor or the gate comes first, the destructor has to
      // wait for next() to return before it frees the source.
      onThreads(1, [&](int) { cursor.reset(); }, [&] { probe->openGate(probe->next); });
    }
    cursor.reset();
    std::lock_guard<std::mutex> lk(probe->m);
    EXPECT_TRUE(probe->destroyed);
    EXPECT_FALSE(probe->destroyedInsideNext) << "the source was freed while it was decoding";
  }
}

}  // namespace
