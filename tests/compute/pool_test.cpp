// Thread pool: every index once, nesting, concurrent callers and, in fresh processes, the
// thread count from the environment with equal contiguous pieces, each on its own thread
// and piece 0 on the caller.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "compute/tq_pool.h"
#include "tq_test_util.h"

namespace {

TEST(Pool, EveryIndexIsVisitedOnce) {
  for (size_t n : {size_t(0), size_t(1), size_t(127), size_t(128), size_t(4097), size_t(100003)}) {
    std::vector<std::atomic<int>> hits(n);
    tq::pool::parallelRange(n, 64, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) ++hits[i];
    });
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n " << n << " i " << i;
  }
}

TEST(Pool, NestedAndConcurrentCallersEachGetEveryIndexOnce) {
  // Nested on the caller: inline on the caller. A worker serves its nested call from its own pool.
  std::atomic<long> sum{0};
  const auto caller = std::this_thread::get_id();
  tq::pool::parallelRange(1024, 64, [&](size_t b, size_t e) {
    const bool onCaller = std::this_thread::get_id() == caller;
    tq::pool::parallelRange(e - b, 1, [&](size_t ib, size_t ie) {
      EXPECT_TRUE(!onCaller || std::this_thread::get_id() == caller);
      for (size_t i = ib; i < ie; ++i) sum += static_cast<long>(b + i);
    });
  });
  EXPECT_EQ(sum.load(), 1023L * 1024 / 2);
  // A lost wake-up hangs, a torn job double-counts, workers not stopped at thread exit hang the join.
  std::vector<std::thread> ts;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    ts.emplace_back([&, t] {
      std::vector<int> hits(4096 + t);
      for (int r = 0; r < 300; ++r)
        tq::pool::parallelRange(hits.size(), 64, [&](size_t b, size_t e) {
          for (size_t i = b; i < e; ++i) hits[i] += 1;
        });
      failures += static_cast<int>(std::count_if(hits.begin(), hits.end(), [](int h) { return h != 300; }));
    });
  }
  for (auto& th : ts) th.join();
  for (int i = 0; i < 20; ++i) std::thread([] { tq::pool::parallelRange(1 << 12, 64, [](size_t, size_t) {}); }).join();
  EXPECT_EQ(failures.load(), 0);
}

// Child mode: the thread count, the sizes of the pieces of a range that splits into that
// many, how many distinct threads ran them and whether the caller ran piece 0.
TEST(PoolChild, Report) {
  if (!std::getenv("TQ_POOL_REPORT")) GTEST_SKIP() << "child mode only";
  std::mutex mu;
  std::map<size_t, std::pair<size_t, std::thread::id>> byPiece;
  tq::pool::parallelRange(1029, 64, [&](size_t b, size_t e) {
    std::lock_guard<std::mutex> lk(mu);
    byPiece[b] = {e - b, std::this_thread::get_id()};
  });
  std::set<std::thread::id> ids;
  std::string sizes;
  for (const auto& p : byPiece) ids.insert(p.second.second), sizes += "," + std::to_string(p.second.first);
  std::printf("threads=%d sizes=%s distinct=%zu caller0=%d\n", tq::pool::threads(), sizes.c_str() + 1, ids.size(),
              byPiece.begin()->second.second == std::this_thread::get_id());
}

// The child's report under the given environment, through the emulator when there is one.
std::string child(const std::string& env) {
  std::string out;
  tqtest::runCommand("env -u TQ_CORE_THREADS -u TQ_PASTE_THREADS TQ_POOL_REPORT=1 " + env + " " +
                         tqtest::selfCommand() + " --gtest_filter=PoolChild.Report", &out);
  const auto at = out.find("threads=");
  return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
}

TEST(Pool, ThreadCountComesFromTheEnvironmentAndPiecesRunOnDistinctThreads) {
  const int hw = static_cast<int>(std::thread::hardware_concurrency());
  if (hw < 2) GTEST_SKIP() << "needs two hardware threads";
  // Counts beyond int clamp in the parsed type: 2^31 must not wrap negative, 2^32 + 2 not to 2.
  for (const auto& [env, threads] : std::vector<std::pair<std::string, int>>{
           {"", 4}, {"TQ_CORE_THREADS=3", 3}, {"TQ_CORE_THREADS=0", 1}, {"TQ_CORE_THREADS=-3", 1},
           {"TQ_CORE_THREADS=2147483648", hw}, {"TQ_CORE_THREADS=4294967298", hw},
           {"TQ_CORE_THREADS=1 TQ_PASTE_THREADS=64", 1}, {"TQ_CORE_THREADS= TQ_PASTE_THREADS=1", 1},
           {"TQ_PASTE_THREADS=0", 1}}) {
    // Equal pieces of ceil(1029 / t), the last one shorter, each on its own thread.
    const int t = std::min(threads, hw);
    const size_t len = (1029 + t - 1) / t;
    std::string want = "threads=" + std::to_string(t) + " sizes=";
    for (int i = 0; i < t; ++i) want += (i ? "," : "") + std::to_string(std::min(len, 1029 - i * len));
    EXPECT_EQ(child(env), want + " distinct=" + std::to_string(t) + " caller0=1") << env;
  }
}

}  // namespace
