#include "base/tq_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace tq {
namespace {

// The route is read and called under one lock: once tq_set_log returns, the
// previous callback is never called again, and lines from several threads
// never interleave.
std::mutex& routeMutex() {
  static std::mutex* m = new std::mutex;  // outlives static destructors that may log
  return *m;
}
tq_log_fn gFn = nullptr;
void* gUser = nullptr;

}  // namespace

void logText(int level, const char* fmt, ...) {
  char small[1024];
  std::string big;
  const char* line = small;
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(n) >= sizeof small) {
    try {
      big.resize(static_cast<std::size_t>(n) + 1);
      std::vsnprintf(&big[0], big.size(), fmt, again);
      big.resize(static_cast<std::size_t>(n));
      line = big.c_str();
    } catch (...) {
      n = static_cast<int>(sizeof small) - 1;  // the line cut short rather than lost
    }
  }
  va_end(again);
  std::lock_guard<std::mutex> lk(routeMutex());
  if (!gFn) {
    std::fputs(line, stderr);
    return;
  }
  std::string text;
  try {
    text.assign(line, static_cast<std::size_t>(n));
  } catch (...) {
    return;
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  gFn(level, text.c_str(), gUser);
}

}  // namespace tq

extern "C" void tq_set_log(tq_log_fn fn, void* user) {
  std::lock_guard<std::mutex> lk(tq::routeMutex());
  tq::gFn = fn;
  tq::gUser = fn ? user : nullptr;
}
