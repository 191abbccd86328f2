// DriverCursor under concurrent use: consumers on several threads, seeks racing
// the decoder, failures reaching blocked consumers, and destruction while the
// decoder thread is inside the source. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cursor_test_source.h"
#include "driver/tq_driver.h"
#include "tq_test_util.h"

using cursortest::frameIs;
using cursortest::Probe;
using cursortest::SourceConfig;

namespace {

int scaled(int n) { return tqtest::underEmulation() ? std::max(1, n / 4) : n; }

std::unique_ptr<tq::DriverCursor> over(const SourceConfig& config, const std::shared_ptr<Probe>& probe, int ahead,
                                       int hist) {
  return tq::DriverCursor::over(cursortest::makeSource(config, probe), ahead, hist);
}

// Deterministic index sequence for the seek tests.
struct Lcg {
  uint32_t s;
  int next(int n) { return static_cast<int>(((s = s * 1664525u + 1013904223u) >> 8) % static_cast<uint32_t>(n)); }
};

// Runs body(k) on n threads, then `started`; returns what each body threw.
template <class F>
std::vector<std::string> failures(int n, F body, void (*started)(Probe*) = nullptr, Probe* probe = nullptr) {
  std::vector<std::string> got(n);
  std::vector<std::thread> threads;
  for (int k = 0; k < n; ++k) threads.emplace_back([&, k] { got[k] = tqtest::thrown([&] { body(k); }); });
  if (started) started(probe);
  for (auto& th : threads) th.join();
  return got;
}

}  // namespace

TEST(CursorThreads, TwoConsumersShareOneSequence) {
  const int perThread = scaled(80);
  SourceConfig config;
  config.NT = 2 * perThread + 7;  // no frame comes round twice
  auto cursor = over(config, std::make_shared<Probe>(), 2, 11);
  std::mutex m;
  std::vector<int> seen;
  std::atomic<int> bad{0};
  auto consumer = [&] {
    std::vector<uint8_t> buf(cursor->frameBytes);
    for (int k = 0; k < perThread; ++k) {
      const int idx = cursor->pull(buf.data());
      if (!frameIs(buf.data(), buf.size(), idx)) ++bad;
      std::lock_guard<std::mutex> lk(m);
      seen.push_back(idx);
    }
  };
  std::thread a(consumer), b(consumer);
  a.join();
  b.join();
  EXPECT_EQ(bad.load(), 0) << "a pull returned bytes of another frame than it reported";
  std::sort(seen.begin(), seen.end());
  std::vector<int> want(2 * perThread);
  for (int i = 0; i < 2 * perThread; ++i) want[i] = i;
  EXPECT_EQ(seen, want) << "every frame exactly once, none skipped or repeated";
  EXPECT_EQ(cursor->seeks(), 0);
}

TEST(CursorThreads, SeeksRaceTheDecoder) {
  // A slow source keeps the decoder inside next() while seeks and pulls arrive
  // from two threads; every frame handed out must be the one asked for.
  SourceConfig config;
  config.NT = 64;
  config.sleepMicros = 100;
  auto probe = std::make_shared<Probe>();
  auto cursor = over(config, probe, 2, 11);
  const int rounds = scaled(150);
  std::atomic<int> bad{0};
  std::thread jumper([&] {
    Lcg rng{7};
    std::vector<uint8_t> buf(cursor->frameBytes);
    for (int k = 0, last = 0; k < rounds; ++k) {
      // Mix near moves (ring hits) with far jumps (source seeks).
      const int i = rng.next(4) == 0 ? rng.next(64) : (last + rng.next(5) + 62) % 64;
      if (cursor->pullAt(i, buf.data()) != i || !frameIs(buf.data(), buf.size(), i)) ++bad;
      last = i;
    }
  });
  std::thread player([&] {
    Lcg rng{11};
    std::vector<uint8_t> buf(cursor->frameBytes);
    for (int k = 0; k < rounds; ++k) {
      if (rng.next(8) == 0) cursor->seek(rng.next(64));
      const int idx = cursor->pull(buf.data());
      if (idx < 0 || idx >= 64 || !frameIs(buf.data(), buf.size(), idx)) ++bad;
    }
  });
  std::thread watcher([&] {
    for (int k = 0, last = 0; k < rounds; ++k) {
      const int64_t s = cursor->seeks();
      const int pos = cursor->position();
      if (s < last || pos < 0 || pos >= 64 || cursor->residentBytes() != 14 * cursor->frameBytes) ++bad;
      last = static_cast<int>(s);
      std::this_thread::yield();
    }
  });
  jumper.join();
  player.join();
  watcher.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(cursor->seeks(), 0) << "far jumps must have reached the source";
  EXPECT_GE(cursor->seeks(), probe->seekCount()) << "a superseded seek never reaches the source";
}

TEST(CursorThreads, FrameDecodedAcrossASeekIsDroppedWithItsSlot) {
  // The decoder is writing frame 21 into the slot that held frame 7 when a seek
  // to frame 35 arrives. The frame is dropped; the slot no longer holds frame 7
  // either, so asking for frame 7 afterwards must not be served from it.
  auto probe = std::make_shared<Probe>();
  probe->next.frame = 21;
  probe->seek.frame = 35;
  auto cursor = over(SourceConfig{}, probe, 2, 11);  // 14 slots
  std::vector<uint8_t> buf(cursor->frameBytes);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(cursor->pull(buf.data()), i);
  probe->waitReached(probe->next);  // inside next() for frame 21, ring sequence 21 = slot 7
  cursor->seek(35);
  probe->openGate(probe->next);
  probe->waitReached(probe->seek);  // frame 21 is dropped; the source seek is under way
  // Step back into the history while the source seeks, then further back to 7.
  ASSERT_EQ(cursor->pullAt(10, buf.data()), 10);
  EXPECT_TRUE(frameIs(buf.data(), buf.size(), 10));
  EXPECT_EQ(cursor->seeks(), 1);
  probe->openGate(probe->seek);
  ASSERT_EQ(cursor->pullAt(7, buf.data()), 7);
  EXPECT_TRUE(frameIs(buf.data(), buf.size(), 7)) << "frame 7 served from an overwritten slot";
  EXPECT_EQ(cursor->seeks(), 2);
  EXPECT_EQ(cursor->pull(buf.data()), 8);
  EXPECT_TRUE(frameIs(buf.data(), buf.size(), 8));
}

TEST(CursorThreads, FailureReachesBlockedAndBusyConsumers) {
  SourceConfig config;
  config.throwAtFrame = 3;
  config.throwText = "frame 3 is damaged";
  auto probe = std::make_shared<Probe>();
  probe->next.frame = 3;  // the decoder stops inside next() before failing
  auto cursor = over(config, probe, 1, 4);
  std::vector<uint8_t> buf(cursor->frameBytes);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(cursor->pull(buf.data()), i);
  probe->waitReached(probe->next);
  // Both consumers block: one waiting for frame 3, the other for the cursor.
  const auto open = [](Probe* p) { p->openGate(p->next); };
  for (const std::string& e :
       failures(2, [&](int) { cursor->pull(std::vector<uint8_t>(cursor->frameBytes).data()); }, open, probe.get()))
    EXPECT_EQ(e, "tq_driver: frame 3 is damaged");

  // Threads busy pulling when the source runs out all see the same failure.
  config = SourceConfig{};
  config.NT = 10;
  config.endAfter = 6;
  cursor = over(config, std::make_shared<Probe>(), 2, 11);
  for (const std::string& e : failures(4, [&](int t) {
         std::vector<uint8_t> mine(cursor->frameBytes);
         for (long k = 0; k < 10000000; ++k)  // frame 5 lets the decoder run into the end
           t % 2 ? cursor->pull(mine.data()) : cursor->pullAt(static_cast<int>(k % 6), mine.data());
       }))
    EXPECT_EQ(e, "tq_driver: synthetic ended after 6 frames, the manifest says NT=10 — a short driver is a session "
                 "that stops part way through the loop, refusing");
}

TEST(CursorThreads, DestroyWhileTheDecoderIsInsideTheSource) {
  // Inside next() in play, and inside next() for a frame whose seek was requested.
  for (bool afterSeek : {false, true}) {
    SCOPED_TRACE(afterSeek ? "after a seek" : "in play");
    auto probe = std::make_shared<Probe>();
    probe->next.frame = afterSeek ? 30 : 1;  // frame 1 is within the first look-ahead
    auto cursor = over(SourceConfig{}, probe, 2, 11);
    std::vector<uint8_t> buf(cursor->frameBytes);
    if (afterSeek) {
      ASSERT_EQ(cursor->pull(buf.data()), 0);
      cursor->seek(30);
    }
    probe->waitReached(probe->next);
    // Whether the destructor or the gate comes first, the destructor has to
    // wait for next() to return before it frees the source.
    std::thread destroyer([&] { cursor.reset(); });
    std::this_thread::yield();
    probe->openGate(probe->next);
    destroyer.join();
    std::lock_guard<std::mutex> lk(probe->m);
    EXPECT_TRUE(probe->destroyed);
    EXPECT_FALSE(probe->destroyedInsideNext) << "the source was freed while it was decoding";
  }
  // A slow source destroyed at arbitrary points: in next(), in seek() or waiting for work.
  SourceConfig config;
  config.sleepMicros = 50;
  for (int k = 0; k < scaled(40); ++k) {
    auto probe = std::make_shared<Probe>();
    {
      auto cursor = over(config, probe, 1 + k % 3, k % 5);
      std::vector<uint8_t> buf(cursor->frameBytes);
      for (int j = 0; j < k % 4; ++j) ASSERT_EQ(cursor->pull(buf.data()), j);
      if (k % 2) cursor->seek((k * 7) % 40);
    }
    std::lock_guard<std::mutex> lk(probe->m);
    EXPECT_TRUE(probe->destroyed);
    EXPECT_FALSE(probe->destroyedInsideNext);
  }
}
