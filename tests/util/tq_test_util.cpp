#include "tq_test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tqtest {

static std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

TempDir::TempDir() {
  const char* t = std::getenv("TMPDIR");
  std::string tmpl = std::string(t && *t ? t : "/tmp") + "/tqtest.XXXXXX";
  if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  if (std::system(("rm -rf " + shellQuote(path_)).c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path_.c_str());
}

int runCommand(const std::string& cmd, std::string* out) {
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
    if (out) out->append(buf, n);
  const int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string sourceDir() {
  const char* s = std::getenv("TQ_SOURCE_DIR");
  return s && *s ? s : TQ_SOURCE_DIR;
}

bool runFixtureTool(const std::vector<std::string>& args) {
  // The fixture tool is host Python even when the tests run under emulation.
  std::string cmd = "env -u LD_LIBRARY_PATH -u QEMU_LD_PREFIX " + std::string(TQ_PYTHON) + " " +
                    shellQuote(sourceDir() + "/tools/tq_fixtures.py");
  for (const auto& a : args) cmd += " " + shellQuote(a);
  std::string out;
  const int rc = runCommand(cmd + " 2>&1", &out);
  EXPECT_EQ(rc, 0) << cmd << "\n" << out;
  return rc == 0;
}

std::string readText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::vector<uint8_t> readBytes(const std::string& path) {
  const std::string s = readText(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

bool fileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* o = std::getenv(name)) had_ = true, old_ = o;
  if (value) setenv(name, value, 1);
  else unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_) setenv(name_.c_str(), old_.c_str(), 1);
  else unsetenv(name_.c_str());
}

bool underEmulation() {
  // qemu-user sets no marker of its own; the test runner exports this one.
  const char* e = std::getenv("TQ_UNDER_EMULATION");
  return e && *e && *e != '0';
}

std::string selfCommand() {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  const char* emu = std::getenv("TQ_TEST_EMULATOR");
  return (emu ? std::string(emu) + " " : std::string()) + "'" + std::string(exe, n > 0 ? std::size_t(n) : 0) + "'";
}

}  // namespace tqtest
