// The library's log route: with a callback set, every line a context and a session with the real
// streaming engine print reaches it, also those written on the session's own threads, and nothing
// reaches standard error; with the callback cleared the lines are on standard error again.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capi_fixture.h"
#include "tq/tq.h"

namespace {

using namespace capitest;

struct Seen {
  std::mutex m;
  std::vector<std::string> lines;
  std::vector<int> levels;
  bool otherThread = false;
  std::thread::id main = std::this_thread::get_id();
};

void collect(int level, const char* line, void* user) {
  Seen& s = *static_cast<Seen*>(user);
  std::lock_guard<std::mutex> lk(s.m);
  s.lines.emplace_back(line);
  s.levels.push_back(level);
  s.otherThread = s.otherThread || std::this_thread::get_id() != s.main;
}

bool anyStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) return true;
  return false;
}

TEST(LogRoute, ACallbackTakesEveryLineOfASessionStartAndStderrStaysQuiet) {
  tqtest::TempDir tmp;
  const std::string bundle = writeBundle(tmp), a2x = tmp / "a2x", w2v = tmp / "w2v";
  ASSERT_TRUE(tqtest::runFixtureTool({"a2x", "--out", a2x, "--w2v-dir", w2v, "--nt", "3", "--short"}));
  Seen seen;
  tq_set_log(collect, &seen);
  testing::internal::CaptureStderr();
  tq_ctx* ctx = tq_create(bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << tq_last_error();
  tq_utt_opts o{};
  o.motion_dir = a2x.c_str(), o.steady_model = "-";
  tq_utt_opts_ext ext;
  tq_utt_opts_ext_init(&ext);
  const std::string encoder = w2v + "/w2v8.onnx";
  ext.w2v_path = encoder.c_str();
  tq_utt* u = tq_utt_create_ext(ctx, &o, &ext);
  ASSERT_NE(u, nullptr) << tq_last_error();
  EXPECT_EQ(tq_utt_wait_ready(u, 300000), 1) << tq_last_error();
  tq_utt_destroy(u);
  tq_destroy(ctx);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  tq_set_log(nullptr, nullptr);
  {
    std::lock_guard<std::mutex> lk(seen.m);
    EXPECT_TRUE(anyStartsWith(seen.lines, "[tq] director ep=cpu"));
    EXPECT_TRUE(anyStartsWith(seen.lines, "[tq_a2x] live cadence: block-320"));
    EXPECT_TRUE(anyStartsWith(seen.lines, "[tq_a2x] short-window w2v frontend loaded"));
    EXPECT_TRUE(seen.otherThread) << "the engine loads on the session's warm-up thread";
    for (const std::string& l : seen.lines) EXPECT_TRUE(!l.empty() && l.back() != '\n') << l;
    for (int level : seen.levels) EXPECT_TRUE(level >= TQ_LOG_ERROR && level <= TQ_LOG_INFO);
  }
  // Cleared: the same lines reach standard error.
  testing::internal::CaptureStderr();
  ctx = tq_create(bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr);
  ASSERT_NE(tq_render_drive_crop(ctx, 0), nullptr) << tq_last_error();
  tq_destroy(ctx);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[tq] director ep=cpu"), std::string::npos);
}

}  // namespace
