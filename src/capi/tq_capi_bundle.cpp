// C API: bundle path and member resolution.
#include <cstring>
#include <exception>
#include <string>

#include "bundle/tq_bundle.h"
#include "bundle/tq_imx.h"
#include "capi/tq_error.h"
#include "tq/tq.h"

namespace {

// Recording the error must not throw out of a catch handler either.
void recordErr(const char* fn, const char* what) noexcept {
  try {
    tq::setErr(fn, what);
  } catch (...) {
  }
}

void recordText(const char* text) noexcept {
  try {
    tq::setErrText(text);
  } catch (...) {
  }
}

// Copies s and its terminator into out when they fit.
bool copyOut(const std::string& s, char* out, size_t cap) {
  if (s.size() >= cap) return false;
  std::memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

}  // namespace

extern "C" int tq_bundle_resolve_handle(const char* bundle_path, char* out, size_t out_cap) {
  static const char* const fn = "tq_bundle_resolve_handle";
  try {
    tq::clearErr();
  } catch (...) {
  }
  if (!bundle_path || !out || out_cap == 0) return -1;
  try {
    const std::string dir = tq::resolveBundlePath(bundle_path);
    if (!copyOut(dir, out, out_cap)) {
      out[0] = '\0';
      recordText("tq_bundle_resolve_handle: buffer too small");
      return -1;
    }
    return 1;
  } catch (const std::exception& e) {
    out[0] = '\0';
    recordErr(fn, e.what());
  } catch (...) {
    out[0] = '\0';
    recordErr(fn, "unknown error");
  }
  return -1;
}

extern "C" int tq_bundle_resolve_member(const char* bundle_path, const char* member, char* out,
                                        size_t out_cap) {
  static const char* const fn = "tq_bundle_resolve_member";
  if (!bundle_path || !member || !out || out_cap == 0) return -1;
  try {
    const std::string dir = tq::resolveBundlePath(bundle_path);
    const std::string path = tq::resolveMember(dir, member);
    if (!copyOut(path, out, out_cap)) {
      out[0] = '\0';
      return -1;
    }
    return tq::isReadable(path) ? 1 : 0;
  } catch (const std::exception& e) {
    out[0] = '\0';
    recordErr(fn, e.what());
  } catch (...) {
    out[0] = '\0';
    recordErr(fn, "unknown error");
  }
  return -1;
}
