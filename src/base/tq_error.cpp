#include "base/tq_error.h"

#include <cstring>

#include "tq/tq.h"

namespace tq {

std::string& lastError() {
  thread_local std::string text;
  return text;
}

void clearErr() noexcept {
  try {
    lastError().clear();
  } catch (...) {
  }
}

void setErrText(const std::string& text) noexcept {
  try {
    lastError() = text;
  } catch (...) {
  }
}

void setErr(const char* fn, const char* what) noexcept {
  try {
    std::string& e = lastError();
    e = fn;
    e += ": ";
    e += what;
  } catch (...) {
  }
}

void setErr(const char* fn, const std::exception& ex) noexcept { setErr(fn, ex.what()); }

void fill_err(char* dst, std::size_t cap, const std::string& msg) {
  if (!dst || cap == 0) return;
  const std::size_t n = msg.size() < cap - 1 ? msg.size() : cap - 1;
  std::memcpy(dst, msg.data(), n);
  dst[n] = '\0';
}

}  // namespace tq

extern "C" const char* tq_last_error(void) {
  try {
    return tq::lastError().c_str();
  } catch (...) {
    return "";
  }
}

extern "C" const char* tq_version(void) { return TQ_VERSION_TEXT; }
