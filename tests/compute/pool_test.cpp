// Thread pool: every index once, pieces on distinct threads with piece 0 on the
// caller, nesting, concurrent callers, and the thread count read in a fresh process.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "compute/tq_pool.h"
#include "tq_test_util.h"

namespace {

TEST(Pool, EveryIndexIsVisitedOnceInContiguousPieces) {
  for (size_t n : {size_t(0), size_t(1), size_t(127), size_t(128), size_t(4097), size_t(100003)}) {
    std::vector<std::atomic<int>> hits(n);
    std::mutex mu;
    std::vector<std::pair<size_t, size_t>> pieces;
    tq::pool::parallelRange(n, 64, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) ++hits[i];
      std::lock_guard<std::mutex> lk(mu);
      pieces.emplace_back(b, e);
    });
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n " << n << " i " << i;
    std::sort(pieces.begin(), pieces.end());
    size_t at = 0;
    for (const auto& p : pieces) {
      if (p.first == p.second) continue;
      EXPECT_EQ(p.first, at) << "n " << n;
      at = p.second;
    }
  }
}

TEST(Pool, NestedCallsRunInlineAndComplete) {
  std::atomic<long> sum{0};
  const auto caller = std::this_thread::get_id();
  tq::pool::parallelRange(1024, 64, [&](size_t b, size_t e) {
    const auto outer = std::this_thread::get_id();
    tq::pool::parallelRange(e - b, 1, [&](size_t ib, size_t ie) {
      if (outer == caller) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
      }
      for (size_t i = ib; i < ie; ++i) sum += static_cast<long>(b + i);
    });
  });
  EXPECT_EQ(sum.load(), 1023L * 1024 / 2);
}

TEST(Pool, IndependentCallersEachGetEveryIndexOnce) {
  // A lost wake-up hangs, a torn job double-counts.
  std::vector<std::thread> ts;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    ts.emplace_back([&, t] {
      std::vector<int> hits(4096 + t);
      for (int r = 0; r < 300; ++r)
        tq::pool::parallelRange(hits.size(), 64, [&](size_t b, size_t e) {
          for (size_t i = b; i < e; ++i) hits[i] += 1;
        });
      for (int h : hits) failures += h != 300;
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

// Child mode: reports the thread count and, for a range that splits into that many
// pieces, their sizes, how many distinct threads ran them and whether the caller ran piece 0.
TEST(PoolChild, Report) {
  if (!std::getenv("TQ_POOL_REPORT")) GTEST_SKIP() << "child mode only";
  const int t = tq::pool::threads();
  std::mutex mu;
  std::map<size_t, std::pair<size_t, std::thread::id>> byPiece;
  tq::pool::parallelRange(1029, 64, [&](size_t b, size_t e) {
    std::lock_guard<std::mutex> lk(mu);
    byPiece[b] = {e - b, std::this_thread::get_id()};
  });
  std::set<std::thread::id> ids;
  std::string sizes;
  for (const auto& p : byPiece) {
    ids.insert(p.second.second);
    sizes += (sizes.empty() ? "" : ",") + std::to_string(p.second.first);
  }
  const bool callerFirst = !byPiece.empty() && byPiece.begin()->second.second == std::this_thread::get_id();
  std::printf("threads=%d sizes=%s distinct=%zu caller0=%d\n", t, sizes.c_str(), ids.size(), callerFirst);
}

std::string child(const std::string& env) {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  const char* emu = std::getenv("TQ_TEST_EMULATOR");
  std::string out;
  tqtest::runCommand("env -u TQ_CORE_THREADS -u TQ_PASTE_THREADS TQ_POOL_REPORT=1 " + env + " " +
                         (emu ? std::string(emu) + " " : "") + std::string(buf, n > 0 ? size_t(n) : 0) +
                         " --gtest_filter=PoolChild.Report",
                     &out);
  const auto at = out.find("threads=");
  return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
}

int hw() {
  const int h = static_cast<int>(std::thread::hardware_concurrency());
  return h > 0 ? h : 1 << 30;
}

// Equal pieces of ceil(1029 / t), the last one shorter, one per thread.
std::string report(int t) {
  const size_t c = (1029 + t - 1) / t;
  std::string sizes;
  for (int i = 0; i < t; ++i) sizes += (i ? "," : "") + std::to_string(std::min(c, 1029 - i * c));
  return "threads=" + std::to_string(t) + " sizes=" + sizes + " distinct=" + std::to_string(t) + " caller0=1";
}

TEST(Pool, PiecesRunOnDistinctThreadsAndTheCallerRunsPieceZero) {
  EXPECT_EQ(child("TQ_CORE_THREADS=3"), report(std::min(3, hw())));
  EXPECT_EQ(child("TQ_CORE_THREADS=1"), report(1));
}

TEST(Pool, ThreadCountComesFromTheEnvironment) {
  const struct {
    const char* env;
    int threads;
  } cases[] = {{"", std::min(4, hw())},
               {"TQ_CORE_THREADS=0", 1},
               {"TQ_CORE_THREADS=-3", 1},
               {"TQ_CORE_THREADS=64", std::min(64, hw())},
               {"TQ_CORE_THREADS=99999999999", hw() == 1 << 30 ? -1 : hw()},
               {"TQ_CORE_THREADS=1 TQ_PASTE_THREADS=64", 1},
               {"TQ_CORE_THREADS= TQ_PASTE_THREADS=1", 1},  // empty falls through
               {"TQ_PASTE_THREADS=0", 1}};
  for (const auto& c : cases) {
    if (c.threads < 0) continue;
    const std::string r = child(c.env);
    EXPECT_EQ(r.substr(0, r.find(' ')), "threads=" + std::to_string(c.threads)) << c.env;
  }
}

}  // namespace
