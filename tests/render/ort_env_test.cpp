// The ONNX Runtime build we ship writes telemetry files unless told not to. The
// library must tell it, yet respect a value the host set itself.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "tq_test_util.h"

namespace {

struct Telemetry {
  bool matDebug, homeCache, ses;
};
// Runs the probe in a fresh process with HOME pointing at a scratch directory and
// reports which telemetry files it wrote. CI is removed from its environment: the
// runtime stays silent on its own when CI is set, which would hide whether the
// library turned telemetry off. /tmp/.ses is shared by every process; only a
// write after the probe started counts.
Telemetry probe(const std::string& hostSetting) {
  tqtest::TempDir dir;
  const std::string model = dir / "add.onnx", home = dir / "home";
  EXPECT_TRUE(tqtest::runFixtureTool({"onnx-add", "--out", model}));
  mkdir(home.c_str(), 0755);
  sleep(1);
  const time_t start = time(nullptr);
  const char* emu = std::getenv("TQ_TEST_EMULATOR");
  std::string out;
  const std::string cmd = "env -u ORT_DISABLE_TELEMETRY -u CI HOME='" + home + "' " + hostSetting + " " +
                          (emu ? std::string(emu) + " " : "") + TQ_ORT_PROBE + " '" + model + "'";
  EXPECT_EQ(tqtest::runCommand(cmd, &out), 0);
  const auto at = out.find("pid=");
  EXPECT_NE(at, std::string::npos) << out;
  const std::string matDebug = "/tmp/mat-debug-" + std::to_string(std::atoi(out.c_str() + (at == std::string::npos ? 0 : at + 4))) + ".log";
  struct stat st;
  const Telemetry t{tqtest::fileExists(matDebug), tqtest::fileExists(home + "/.cache/Microsoft"),
                    stat("/tmp/.ses", &st) == 0 && st.st_mtime >= start};
  std::remove(matDebug.c_str());
  return t;
}

TEST(OrtEnv, SessionsLeaveNoTelemetryFiles) {
  const Telemetry t = probe("");
  EXPECT_FALSE(t.matDebug) << "/tmp/mat-debug-<pid>.log written";
  EXPECT_FALSE(t.homeCache) << "~/.cache/Microsoft written";
  EXPECT_FALSE(t.ses) << "/tmp/.ses written";
  if (tqtest::underEmulation()) return;  // the runtime hangs there with telemetry on
  // With the host's own ORT_DISABLE_TELEMETRY=0 the library leaves it alone, and the
  // runtime then does write its files: this also shows the check above can see them.
  const Telemetry on = probe("ORT_DISABLE_TELEMETRY=0");
  EXPECT_TRUE(on.homeCache || on.matDebug);
}

}  // namespace
