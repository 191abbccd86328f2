// Helpers shared by the bundle tests: containers written through the fixture
// tool, the C entry points wrapped for std::string, file-status queries.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tq/tq.h"
#include "tq_test_util.h"

namespace bundletest {

// One container entry: `content` as given, or patternSize bytes of the fixture
// pattern (byte i = (i + seed) % 251). `extra` is spliced into the entry's JSON
// description (for instance "\"offset\": 9" to override the TOC offset).
struct Member {
  std::string name, content;
  long long patternSize = -1;
  int seed = 0;
  std::string extra;
};
inline Member text(const std::string& name, const std::string& content, const std::string& extra = "") {
  return Member{name, content, -1, 0, extra};
}
inline Member pattern(const std::string& name, long long size, int seed = 0, const std::string& extra = "") {
  return Member{name, "", size, seed, extra};
}
inline unsigned char patternByte(uint64_t i, int seed) { return static_cast<unsigned char>((i + seed) % 251); }
inline std::size_t tocEntrySize(const std::string& name) { return 2 + name.size() + 16; }

// Writes an IMX container through the fixture tool. `top` holds extra
// top-level description fields, e.g. "\"truncate\": 20".
inline bool writeImx(const std::string& path, const std::vector<Member>& members, const std::string& top = "") {
  const auto hex = [](const std::string& bytes) {
    std::string h;
    for (unsigned char c : bytes) h += std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
    return h;
  };
  std::string desc = "{\"members\": [";
  for (const Member& m : members) {
    desc += (&m == members.data() ? "{\"name_hex\": \"" : ", {\"name_hex\": \"") + hex(m.name) + "\"";
    desc += m.patternSize >= 0 ? ", \"size\": " + std::to_string(m.patternSize) + ", \"seed\": " + std::to_string(m.seed)
                               : ", \"hex\": \"" + hex(m.content) + "\"";
    desc += (m.extra.empty() ? "" : ", " + m.extra) + "}";
  }
  desc += "]" + (top.empty() ? "" : ", " + top) + "}";
  return tqtest::runFixtureTool({"imx", path, "--desc", desc});
}

struct Resolved {
  int rc;
  std::string out, err;
};
// tq_bundle_resolve_member, or tq_bundle_resolve_handle when member is null. The
// buffer is filled with 'X' so an untouched one is visible; the extra byte keeps it terminated.
inline Resolved resolveMember(const std::string& path, const char* member, std::size_t cap = 4096) {
  std::vector<char> buf(cap + 1, 'X');
  buf[cap] = '\0';
  const int rc = member ? tq_bundle_resolve_member(path.c_str(), member, buf.data(), cap)
                        : tq_bundle_resolve_handle(path.c_str(), buf.data(), cap);
  return Resolved{rc, std::string(buf.data()), tq_last_error()};
}
inline Resolved resolveHandle(const std::string& path, std::size_t cap = 4096) { return resolveMember(path, nullptr, cap); }

// The type bits of a path's own link status (0 when absent); real directories and regular files.
inline mode_t typeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}
inline bool isRealDir(const std::string& path) { return typeOf(path) == S_IFDIR; }
inline bool isRegular(const std::string& path) { return typeOf(path) == S_IFREG; }

// The marker text a container must produce, from its own link status.
inline std::string expectedStamp(const std::string& container, const std::string& lastName) {
  struct stat st;
  if (lstat(container.c_str(), &st) != 0) return "<no container>";
  const long long ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return "imx-unwrapped.v2 " + lastName + " " + std::to_string(st.st_size) + " " + std::to_string(ns) + " " +
         std::to_string(st.st_ino);
}

inline bool setMtime(const std::string& path, long sec, long nsec) {
  const struct timespec ts[2] = {{sec, nsec}, {sec, nsec}};
  return utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace bundletest
