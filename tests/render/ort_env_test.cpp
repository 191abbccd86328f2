// The ONNX Runtime build we ship writes telemetry files unless told not to. The
// library must tell it, yet respect a value the host set itself.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "tq_test_util.h"

namespace {

struct ProbeRun {
  int rc = -1;
  int pid = -1;
};

// Runs the probe in a fresh process with HOME pointing at a scratch directory. CI is
// removed from its environment: the runtime stays silent on its own when CI is set,
// which would hide whether the library turned telemetry off.
ProbeRun runProbe(const std::string& home, const std::string& model, const std::string& telemetryEnv) {
  std::string out;
  const char* emu = std::getenv("TQ_TEST_EMULATOR");
  const std::string cmd = "env -u ORT_DISABLE_TELEMETRY -u CI HOME='" + home + "' " + telemetryEnv + " " +
                          (emu ? std::string(emu) + " " : "") + TQ_ORT_PROBE + " '" + model + "'";
  ProbeRun r;
  r.rc = tqtest::runCommand(cmd, &out);
  const auto at = out.find("pid=");
  if (at != std::string::npos) r.pid = std::atoi(out.c_str() + at + 4);
  return r;
}

struct Telemetry {
  bool matDebug, homeCache, ses;
};

Telemetry telemetryOf(const std::string& home, int pid, time_t sesBefore) {
  struct stat st;
  Telemetry t;
  t.matDebug = tqtest::fileExists("/tmp/mat-debug-" + std::to_string(pid) + ".log");
  t.homeCache = tqtest::fileExists(home + "/.cache/Microsoft");
  t.ses = stat("/tmp/.ses", &st) == 0 && st.st_mtime >= sesBefore;
  return t;
}

time_t nowMinusOne() { return time(nullptr) - 1; }

TEST(OrtEnv, SessionsLeaveNoTelemetryFiles) {
  tqtest::TempDir dir;
  const std::string model = dir / "add.onnx";
  ASSERT_TRUE(tqtest::runFixtureTool({"onnx-add", "--out", model}));
  const std::string home = dir / "home";
  mkdir(home.c_str(), 0755);
  // /tmp/.ses is shared by every process; only a write after this point counts.
  sleep(1);
  const time_t before = nowMinusOne() + 1;
  ProbeRun r = runProbe(home, model, "");
  ASSERT_EQ(r.rc, 0);
  ASSERT_GT(r.pid, 0);
  const Telemetry t = telemetryOf(home, r.pid, before);
  EXPECT_FALSE(t.matDebug) << "/tmp/mat-debug-" << r.pid << ".log written";
  EXPECT_FALSE(t.homeCache) << "~/.cache/Microsoft written";
  EXPECT_FALSE(t.ses) << "/tmp/.ses written";
}

TEST(OrtEnv, AnExplicitHostValueIsKept) {
  if (tqtest::underEmulation()) GTEST_SKIP() << "the runtime hangs under emulation with telemetry on";
  // With the host's own ORT_DISABLE_TELEMETRY=0 the library leaves it alone, and the
  // runtime then does write its files: this also shows the check above can see them.
  tqtest::TempDir dir;
  const std::string model = dir / "add.onnx";
  ASSERT_TRUE(tqtest::runFixtureTool({"onnx-add", "--out", model}));
  const std::string home = dir / "home";
  mkdir(home.c_str(), 0755);
  ProbeRun r = runProbe(home, model, "ORT_DISABLE_TELEMETRY=0");
  ASSERT_EQ(r.rc, 0);
  const Telemetry t = telemetryOf(home, r.pid, 0);
  EXPECT_TRUE(t.homeCache || t.matDebug);
  std::remove(("/tmp/mat-debug-" + std::to_string(r.pid) + ".log").c_str());
}

}  // namespace
