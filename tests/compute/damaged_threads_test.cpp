// Thread counts from the environment are clamped in the type they were parsed
// in: values beyond int must not wrap to a small count.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "compute/tq_pool.h"

TEST(PoolThreads, HugeAndNegativeCountsClampInsteadOfWrapping) {
  const int hw = static_cast<int>(std::thread::hardware_concurrency());
  struct Case {
    const char* value;
    int expected;
  } cases[] = {{"2147483648", hw}, {"4294967298", hw}, {"-5", 1}, {"0", 1}, {"1", 1}};
  for (const Case& c : cases) {
    // The count is fixed on first use, so each value gets a fresh process.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv("TQ_CORE_THREADS", c.value, 1);
      _exit(tq::pool::threads());
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.expected) << "TQ_CORE_THREADS=" << c.value;
  }
}
