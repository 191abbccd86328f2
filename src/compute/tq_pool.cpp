#include "compute/tq_pool.h"


#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "compute/tq_env.h"

namespace tq {
namespace pool {
namespace {

int computeThreads() {
  // Clamped in the wide type: a huge value must not wrap to a small count.
  long long n = 4;
  if (!env::integer("TQ_CORE_THREADS", &n)) env::integer("TQ_PASTE_THREADS", &n);
  if (n <= 0) n = 1;
  const unsigned hw = std::thread::hardware_concurrency();
  if (hw > 0 && n > static_cast<long long>(hw)) n = hw;
  return static_cast<int>(n);
}

// Spin rounds before a thread sleeps on the pool's condition: a worker that has
// just finished a piece, or a caller waiting for the last piece, usually sees the
// next call or the end within microseconds, far sooner than a futex wake-up.
constexpr int kSpinRounds = 300;

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// The workers of one calling thread. Destroyed (stopped and joined) when that thread exits.
class ThreadPool {
 public:
  bool inside = false;

  ~ThreadPool() {
    if (workers_.empty()) return;
    {
      std::lock_guard<std::mutex> lk(mu_);
      stop_ = true;
      generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
  }

  void run(std::size_t n, int p, const std::function<void(std::size_t, std::size_t)>& fn) {
    if (workers_.empty()) start();
    inside = true;
    {
      std::lock_guard<std::mutex> lk(mu_);
      job_ = &fn;
      n_ = n;
      p_ = p;
      pending_.store(static_cast<int>(workers_.size()), std::memory_order_relaxed);
      generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    const std::size_t c = (n + static_cast<std::size_t>(p) - 1) / static_cast<std::size_t>(p);
    if (n > 0) fn(0, std::min(c, n));
    for (int k = 0; k < kSpinRounds && pending_.load(std::memory_order_acquire) != 0; ++k) relax();
    if (pending_.load(std::memory_order_acquire) != 0) {
      std::unique_lock<std::mutex> lk(mu_);
      done_.wait(lk, [&] { return pending_.load(std::memory_order_acquire) == 0; });
    }
    inside = false;
  }

 private:
  void start() {
    const int count = threads() - 1;
    workers_.reserve(static_cast<std::size_t>(count));
    for (int i = 1; i <= count; ++i) workers_.emplace_back([this, i] { workerLoop(i); });
  }

  void workerLoop(int i) {
    uint64_t served = 0;
    for (;;) {
      for (int k = 0; k < kSpinRounds && generation_.load(std::memory_order_acquire) == served; ++k) relax();
      const std::function<void(std::size_t, std::size_t)>* fn;
      std::size_t n;
      int p;
      {
        std::unique_lock<std::mutex> lk(mu_);
        wake_.wait(lk, [&] { return generation_.load(std::memory_order_acquire) != served; });
        if (stop_) return;
        served = generation_.load(std::memory_order_relaxed);
        fn = job_;
        n = n_;
        p = p_;
      }
      if (i < p) {
        const std::size_t c = (n + static_cast<std::size_t>(p) - 1) / static_cast<std::size_t>(p);
        const std::size_t begin = static_cast<std::size_t>(i) * c;
        if (n > begin) (*fn)(begin, std::min(begin + c, n));
      }
      if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        // The caller may be asleep: wake it under the lock so the wake-up is not lost.
        std::lock_guard<std::mutex> lk(mu_);
        done_.notify_all();
      }
    }
  }

  std::vector<std::thread> workers_;
  std::mutex mu_;
  std::condition_variable wake_, done_;
  const std::function<void(std::size_t, std::size_t)>* job_ = nullptr;
  std::size_t n_ = 0;
  int p_ = 0;
  std::atomic<int> pending_{0};
  std::atomic<uint64_t> generation_{0};
  bool stop_ = false;
};

ThreadPool& localPool() {
  thread_local ThreadPool pool;
  return pool;
}

}  // namespace

int threads() {
  static const int n = computeThreads();
  return n;
}

bool available() { return true; }

int parts(std::size_t n, std::size_t grain) {
  const int t = threads();
  if (t < 2) return 1;
  const std::size_t k = n / std::max<std::size_t>(grain, 1);
  if (k <= 1) return 1;
  return static_cast<int>(std::min<std::size_t>(k, static_cast<std::size_t>(t)));
}

void parallelRange(std::size_t n, std::size_t grain,
                   const std::function<void(std::size_t, std::size_t)>& fn) {
  ThreadPool& pool = localPool();
  if (pool.inside) {
    fn(0, n);
    return;
  }
  const int p = parts(n, grain);
  if (p < 2) {
    fn(0, n);
    return;
  }
  pool.run(n, p, fn);
}

}  // namespace pool
}  // namespace tq
