// Thread pool: coverage of ranges, piece layout, nesting, concurrent callers,
// and the thread-count environment read in a fresh process.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "compute/tq_pool.h"
#include "tq_test_util.h"

namespace {

using Pieces = std::vector<std::pair<size_t, size_t>>;

Pieces collect(size_t n, size_t grain) {
  std::mutex mu;
  Pieces pieces;
  tq::pool::parallelRange(n, grain, [&](size_t b, size_t e) {
    std::lock_guard<std::mutex> lk(mu);
    pieces.emplace_back(b, e);
  });
  std::sort(pieces.begin(), pieces.end());
  return pieces;
}

TEST(Pool, PiecesAreContiguousEqualAndCoverTheRange) {
  const int t = tq::pool::threads();
  ASSERT_GE(t, 1);
  for (size_t n : {size_t(0), size_t(1), size_t(63), size_t(127), size_t(128), size_t(1000),
                   size_t(4097), size_t(100003)}) {
    const Pieces pieces = collect(n, 64);
    const int p = tq::pool::parts(n, 64);
    const size_t k = n / 64;
    EXPECT_EQ(p, t < 2 || k <= 1 ? 1 : static_cast<int>(std::min<size_t>(k, t))) << n;
    const size_t c = (n + p - 1) / p;
    size_t at = 0;
    for (const auto& pc : pieces) {
      if (pc.first == pc.second && n > 0) {
        continue;
      }
      EXPECT_EQ(pc.first, at) << "n " << n;
      EXPECT_EQ(pc.second, std::min(at + c, n)) << "n " << n;
      at = pc.second;
    }
    EXPECT_EQ(at, n);
    EXPECT_LE(pieces.size(), static_cast<size_t>(p));
  }
}

TEST(Pool, SmallRangesRunInlineOnTheCaller) {
  const auto self = std::this_thread::get_id();
  std::thread::id ran;
  int calls = 0;
  tq::pool::parallelRange(127, 64, [&](size_t b, size_t e) {
    ran = std::this_thread::get_id();
    ++calls;
    EXPECT_EQ(b, 0u);
    EXPECT_EQ(e, 127u);
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ran, self);
}

TEST(Pool, NestedCallsRunInlineAndComplete) {
  std::atomic<long> sum{0};
  tq::pool::parallelRange(1024, 64, [&](size_t b, size_t e) {
    const auto outer = std::this_thread::get_id();
    tq::pool::parallelRange(e - b, 1, [&](size_t ib, size_t ie) {
      // On the calling thread a nested call is inline; on a worker it is that worker's own
      // first-level call. Either way every index is visited once.
      if (b == 0) {
        EXPECT_EQ(std::this_thread::get_id(), outer);
      }
      for (size_t i = ib; i < ie; ++i) sum += static_cast<long>(b + i);
    });
  });
  EXPECT_EQ(sum.load(), 1023L * 1024 / 2);
}

TEST(Pool, IndependentCallersEachGetEveryIndexOnce) {
  // Several threads hammer their own pools at once; every generation must complete with
  // each index written exactly once (a lost wake-up hangs, a torn job double-counts).
  const int kThreads = 4, kRounds = 300;
  std::vector<std::thread> ts;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    ts.emplace_back([&, t] {
      std::vector<int> hits(4096 + t);
      for (int r = 0; r < kRounds; ++r) {
        tq::pool::parallelRange(hits.size(), 64, [&](size_t b, size_t e) {
          for (size_t i = b; i < e; ++i) hits[i] += 1;
        });
      }
      for (int h : hits)
        if (h != kRounds) ++failures;
    });
  }
  for (auto& th : ts) th.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(Pool, ShortLivedThreadsShutTheirWorkersDown) {
  for (int i = 0; i < 20; ++i) {
    std::thread th([] {
      std::atomic<int> n{0};
      tq::pool::parallelRange(1 << 12, 64, [&](size_t b, size_t e) { n += static_cast<int>(e - b); });
      EXPECT_EQ(n.load(), 1 << 12);
    });
    th.join();  // hangs if the pool's workers are not stopped at thread exit
  }
}

// Reports the thread count when run as a child with the environment under test.
TEST(PoolChild, ReportThreads) {
  if (!std::getenv("TQ_POOL_REPORT")) GTEST_SKIP() << "child mode only";
  std::printf("threads=%d\n", tq::pool::threads());
}

// This binary's own path; under an emulator /proc/<pid>/exe would name the emulator.
std::string selfPath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

int childThreads(const std::string& env) {
  std::string out;
  const char* emu = std::getenv("TQ_TEST_EMULATOR");
  const std::string cmd = "env -u TQ_CORE_THREADS -u TQ_PASTE_THREADS TQ_POOL_REPORT=1 " + env + " " +
                          (emu ? std::string(emu) + " " : "") +
                          selfPath() + " --gtest_filter=PoolChild.ReportThreads";
  tqtest::runCommand(cmd, &out);
  const auto at = out.find("threads=");
  return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 8);
}

TEST(Pool, ThreadCountComesFromTheEnvironment) {
  const int hw = static_cast<int>(std::thread::hardware_concurrency());
  const int cap = hw > 0 ? hw : 1 << 30;
  EXPECT_EQ(childThreads(""), std::min(4, cap));
  EXPECT_EQ(childThreads("TQ_CORE_THREADS=0"), 1);
  EXPECT_EQ(childThreads("TQ_CORE_THREADS=-3"), 1);
  EXPECT_EQ(childThreads("TQ_CORE_THREADS=64"), std::min(64, cap));
  EXPECT_EQ(childThreads("TQ_CORE_THREADS=1 TQ_PASTE_THREADS=64"), 1);
  // An empty TQ_CORE_THREADS falls through to TQ_PASTE_THREADS.
  EXPECT_EQ(childThreads("TQ_CORE_THREADS= TQ_PASTE_THREADS=1"), 1);
  EXPECT_EQ(childThreads("TQ_PASTE_THREADS=0"), 1);
}

}  // namespace
