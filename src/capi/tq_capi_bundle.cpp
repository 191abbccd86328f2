// C API: bundle path and member resolution.
#include <cstring>
#include <exception>
#include <string>

#include "bundle/tq_bundle.h"
#include "bundle/tq_imx.h"
#include "base/tq_error.h"
#include "tq/tq.h"

namespace {

// Copies s and its terminator into out when they fit.
bool copyOut(const std::string& s, char* out, size_t cap) {
  if (s.size() >= cap) return false;
  std::memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

}  // namespace

extern "C" int tq_bundle_resolve_handle(const char* bundle_path, char* out, size_t out_cap) {
  static const char* const fn = "tq_bundle_resolve_handle";
  tq::clearErr();
  if (!bundle_path || !out || out_cap == 0) return -1;
  try {
    const std::string dir = tq::resolveBundlePath(bundle_path);
    if (!copyOut(dir, out, out_cap)) {
      out[0] = '\0';
      tq::setErrText("tq_bundle_resolve_handle: buffer too small");
      return -1;
    }
    return 1;
  } catch (const std::exception& e) {
    out[0] = '\0';
    tq::setErr(fn, e.what());
  } catch (...) {
    out[0] = '\0';
    tq::setErr(fn, "unknown error");
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
    tq::setErr(fn, e.what());
  } catch (...) {
    out[0] = '\0';
    tq::setErr(fn, "unknown error");
  }
  return -1;
}
