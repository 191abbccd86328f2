// The last-error text belongs to the calling thread: a success clears only the caller's, and
// threads failing differently in a tight loop each read back their own text.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "tq/tq.h"

TEST(CApiThreads, LastErrorIsPerThread) {
  std::vector<std::thread> ts;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    ts.emplace_back([t, &wrong] {
      char out[64];
      for (int i = 0; i < 2000; ++i) {
        const int what = (t + i) % 3;
        if (what == 0) tq_create(nullptr, "k", 0, nullptr);
        else if (what == 1) tq_prior_open(nullptr, 0, 0);
        else if (tq_bundle_resolve_handle("/", out, sizeof out) != 1) ++wrong;
        if (tq_last_error() != std::string(what == 0   ? "tq_create: NULL bundle_dir/model_key"
                                           : what == 1 ? "tq_prior_open: NULL bundle_dir"
                                                       : ""))
          ++wrong;
      }
    });
  }
  for (auto& th : ts) th.join();
  EXPECT_EQ(wrong.load(), 0);
}
