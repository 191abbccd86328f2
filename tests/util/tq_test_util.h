// Shared helpers for the test binaries: temporary directories, the fixture tool, files.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace tqtest {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs tools/tq_fixtures.py with the given arguments through the Python that has
// numpy and onnx; fails the current test (and returns false) when it exits non-zero.
bool runFixtureTool(const std::vector<std::string>& args);
// Runs a shell command; returns its exit status and, when out is given, its stdout.
int runCommand(const std::string& cmd, std::string* out = nullptr);

std::string readText(const std::string& path);
std::vector<uint8_t> readBytes(const std::string& path);
// A file's bytes as an array of T (a trailing partial element is dropped).
template <class T>
std::vector<T> readAs(const std::string& path) {
  const std::vector<uint8_t> b = readBytes(path);
  std::vector<T> v(b.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}
void writeText(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);
std::string sourceDir();

// Sets an environment variable for the scope's lifetime (value null: unset), restoring the old value.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// True when running under qemu user emulation (tests shrink their inputs there).
bool underEmulation();
// The shell words that start this test binary again: its path, through the
// emulator when there is one (under qemu-user /proc/<pid>/exe names qemu itself).
std::string selfCommand();

// The message of the std::runtime_error that fn throws, else a text no library message equals.
template <class F>
std::string thrown(F&& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("(not a runtime_error) ") + e.what();
  }
  return "(nothing thrown)";
}

}  // namespace tqtest
