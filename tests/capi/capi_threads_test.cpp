// The last-error text belongs to the calling thread.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "tq/tq.h"

namespace {

TEST(CApiThreads, LastErrorIsPerThread) {
  std::atomic<int> phase{0};
  std::string seenByB;
  std::thread b([&] {
    EXPECT_EQ(tq_target_frame(nullptr, 0), nullptr);  // B's own failure
    phase = 1;
    while (phase.load() != 2) std::this_thread::yield();
    seenByB = tq_last_error();
  });
  while (phase.load() != 1) std::this_thread::yield();
  // A fails differently, then succeeds-and-clears; neither reaches B.
  EXPECT_EQ(tq_create(nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_STREQ(tq_last_error(), "tq_create: NULL bundle_dir/model_key");
  char out[64];
  EXPECT_EQ(tq_bundle_resolve_handle("/", out, sizeof out), 1);
  EXPECT_STREQ(tq_last_error(), "");
  phase = 2;
  b.join();
  EXPECT_EQ(seenByB, "tq_target_frame: bad args");
}

TEST(CApiThreads, ManyThreadsKeepTheirOwnTexts) {
  std::vector<std::thread> ts;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    ts.emplace_back([t, &wrong] {
      for (int i = 0; i < 2000; ++i) {
        const bool useCreate = (t + i) % 2 == 0;
        if (useCreate)
          tq_create(nullptr, "k", 0, nullptr);
        else
          tq_prior_open(nullptr, 0, 0);
        const std::string want = useCreate ? "tq_create: NULL bundle_dir/model_key" : "tq_prior_open: NULL bundle_dir";
        if (want != tq_last_error()) ++wrong;
      }
    });
  }
  for (auto& th : ts) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
