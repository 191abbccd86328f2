#include "bundle/tq_imx.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "base/tq_log.h"
#include "compute/tq_env.h"

namespace tq {

namespace {

constexpr std::size_t kCopyPiece = 8388608;          // one copy buffer, 8 MiB
constexpr uint64_t kSyntheticManifestMax = 4194304;  // 4 MiB
constexpr const char kMarkerSuffix[] = ".imx_unwrapped";
constexpr const char kSyntheticToken[] = "_imx_synthetic_manifest";

// Serialises every unwrap in the process, marker check included.
std::mutex g_unwrapMutex;

// ---------------------------------------------------------------- path text

std::string stripTrailingSlashes(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string dirPart(const std::string& path) {
  const std::string s = stripTrailingSlashes(path);
  const std::size_t slash = s.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return s.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
  const std::string s = stripTrailingSlashes(path);
  const std::size_t slash = s.rfind('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

bool endsWith(const std::string& s, const std::string& p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

std::string bundleName(const std::string& container) {
  std::string name = lastComponent(container);
  if (endsWith(name, ".imx")) name.resize(name.size() - 4);
  if (!endsWith(name, ".tqbundle")) name += ".tqbundle";
  return name;
}

// ---------------------------------------------------------------- file helpers

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports whether close succeeded.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Reads up to n bytes, retrying on interruption and partial reads.
std::size_t readFull(int fd, void* dst, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, static_cast<char*>(dst) + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

std::size_t preadFull(int fd, void* dst, std::size_t n, uint64_t off) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, static_cast<char*>(dst) + got, n - got,
                              static_cast<off_t>(off + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

bool writeFull(int fd, const void* src, std::size_t n) {
  std::size_t put = 0;
  while (put < n) {
    const ssize_t w = ::write(fd, static_cast<const char*>(src) + put, n - put);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    put += static_cast<std::size_t>(w);
  }
  return true;
}

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint64_t le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Removes `name` inside the open directory `parent`: files and symbolic links
// are unlinked (a link is never followed), directories emptied and removed.
// Errors are ignored.
void removeTreeAt(int parent, const char* name) {
  if (::unlinkat(parent, name, 0) == 0) return;
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return;
  }
  std::vector<std::string> entries;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    entries.emplace_back(e->d_name);
  }
  for (const std::string& e : entries) removeTreeAt(::dirfd(d), e.c_str());
  ::closedir(d);
  ::unlinkat(parent, name, AT_REMOVEDIR);
}

void removeTree(const std::string& path) {
  Fd parent(::open(dirPart(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.ok()) return;
  removeTreeAt(parent.get(), lastComponent(path).c_str());
}

// mkdir -p with mode 0755; true when `path` ends up a directory.
bool makeDirs(const std::string& path) {
  for (std::size_t i = 1; i < path.size(); ++i)
    if (path[i] == '/' && path[i - 1] != '/') ::mkdir(path.substr(0, i).c_str(), 0755);
  ::mkdir(path.c_str(), 0755);
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Canonical form of `path` without following its last component.
bool canonicalNoFollow(const std::string& path, std::string& out) {
  char* parent = ::realpath(dirPart(path).c_str(), nullptr);
  if (!parent) return false;
  out = parent;
  std::free(parent);
  if (out != "/") out += "/";
  out += lastComponent(path);
  return true;
}

// True when the file `container` names lies at or below directory path `dir`,
// which the unwrap is about to delete.
bool containerInside(const std::string& container, const std::string& dir) {
  char* real = ::realpath(container.c_str(), nullptr);
  if (!real) return false;
  const std::string k = real;
  std::free(real);
  std::string d;
  if (!canonicalNoFollow(dir, d)) return false;
  return k == d || (k.size() > d.size() && k.compare(0, d.size(), d) == 0 && k[d.size()] == '/');
}

std::string decimal128(__int128 v) {
  if (v == 0) return "0";
  const bool neg = v < 0;
  unsigned __int128 u = neg ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  std::string s;
  while (u) {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
    u /= 10;
  }
  return neg ? "-" + s : s;
}

std::string trimmed(const std::string& s) {
  const char* ws = " \t\r\n";
  const std::size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// The marker's text, or false when it cannot be read as a small regular file.
bool readMarker(const std::string& path, std::string& out) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok()) return false;
  char buf[4097];
  const std::size_t n = readFull(fd.get(), buf, sizeof buf);
  if (n == sizeof buf) return false;  // far longer than any stamp
  out.assign(buf, n);
  return true;
}

bool unsafeName(const std::string& name) {
  if (name.empty() || name[0] == '/') return true;
  if (name.find('\\') != std::string::npos) return true;
  if (name.find("..") != std::string::npos) return true;
  if (name.find('\0') != std::string::npos) return true;
  // The last component must name a file.
  const std::string leaf = name.substr(name.rfind('/') + 1);
  return leaf.empty() || leaf == ".";
}

struct TocEntry {
  std::string name;
  uint64_t offset;
  uint64_t size;
};

// Opens (creating as needed) the directory components of `rel` below the
// directory `root`, never following a symbolic link. Returns the fd of the
// innermost directory, or -1.
int openMemberDir(int root, const std::string& rel) {
  Fd cur(::dup(root));
  if (!cur.ok()) return -1;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = rel.find('/', start);
    if (slash == std::string::npos) break;
    const std::string comp = rel.substr(start, slash - start);
    start = slash + 1;
    if (comp.empty() || comp == ".") continue;
    ::mkdirat(cur.get(), comp.c_str(), 0755);
    const int next =
        ::openat(cur.get(), comp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return -1;
    cur.reset(next);
  }
  return cur.release();
}

}  // namespace

// ------------------------------------------------------------------ public

bool isImxV2File(const std::string& path) {
  if (path.empty()) return false;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return false;
  unsigned char h[8];
  if (readFull(fd.get(), h, 8) != 8) return false;
  return std::memcmp(h, "IMX\0", 4) == 0 && le16(h + 4) == 2;
}

std::string imxUnwrapDir(const std::string& container) {
  std::string root;
  const char* env = env::raw("TQ_IMX_UNWRAP_ROOT");
  if (env && *env)
    root = env;
  else
    root = dirPart(container);
  root = stripTrailingSlashes(root);
  return root + "/" + bundleName(container);
}

std::string imxStamp(const std::string& container) {
  struct stat st;
  if (::lstat(container.c_str(), &st) != 0)
    throw std::runtime_error("cannot stat container " + container);
  const __int128 ns = static_cast<__int128>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return "imx-unwrapped.v2 " + lastComponent(container) + " " +
         std::to_string(static_cast<long long>(st.st_size)) + " " + decimal128(ns) + " " +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::string unwrapOnce(const std::string& K) {
  const std::string U = imxUnwrapDir(K);
  const std::string marker = U + kMarkerSuffix;

  std::lock_guard<std::mutex> lock(g_unwrapMutex);
  const std::string stamp = imxStamp(K);

  // Warm path: U is a real directory and the marker carries the current stamp.
  struct stat ust;
  if (::lstat(U.c_str(), &ust) == 0 && S_ISDIR(ust.st_mode)) {
    std::string text;
    if (readMarker(marker, text) && trimmed(text) == stamp) return U;
  }

  // Removing U must never take the container with it.
  if (containerInside(K, U))
    throw std::runtime_error(K + ": container lies inside its own unwrap directory " + U);

  ::unlink(marker.c_str());
  removeTree(U);
  if (!makeDirs(U)) throw std::runtime_error("cannot create unwrap dir " + U);
  // U is written through this descriptor only, so a link swapped in at U's
  // path afterwards redirects nothing.
  Fd udir(::open(U.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!udir.ok()) throw std::runtime_error("cannot create unwrap dir " + U);

  Fd in(::open(K.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.ok()) throw std::runtime_error("cannot open container " + K);
  unsigned char header[8];
  if (readFull(in.get(), header, 8) != 8 || std::memcmp(header, "IMX\0", 4) != 0)
    throw std::runtime_error(K + ": not an IMX\\0 container");
  const unsigned version = le16(header + 4);
  if (version != 2)
    throw std::runtime_error(K + ": unsupported IMX container version " + std::to_string(version));
  const unsigned count = le16(header + 6);

  // The whole table of contents is read before any member is written.
  std::vector<TocEntry> toc;
  toc.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    unsigned char b[16];
    if (readFull(in.get(), b, 2) != 2)
      throw std::runtime_error(K + ": truncated TOC at member " + std::to_string(i));
    TocEntry e;
    e.name.resize(le16(b));
    if (readFull(in.get(), &e.name[0], e.name.size()) != e.name.size())
      throw std::runtime_error(K + ": truncated member name at " + std::to_string(i));
    if (readFull(in.get(), b, 16) != 16)
      throw std::runtime_error(K + ": truncated TOC offsets at member " + e.name);
    e.offset = le64(b);
    e.size = le64(b + 8);
    toc.push_back(std::move(e));
  }

  struct stat kst;
  const bool regular = ::fstat(in.get(), &kst) == 0 && S_ISREG(kst.st_mode);
  const uint64_t fileSize = regular ? static_cast<uint64_t>(kst.st_size) : 0;
  const std::unique_ptr<char[]> buf(new char[kCopyPiece]);

  for (const TocEntry& e : toc) {
    if (unsafeName(e.name))
      throw std::runtime_error(K + ": refusing unsafe member name '" + e.name + "'");

    const auto truncated = [&] {
      return std::runtime_error(K + ": truncated payload for member " + e.name);
    };
    // Offsets past the end, or offset + size beyond it (however large), can
    // never be satisfied.
    const bool inBounds = e.offset <= static_cast<uint64_t>(LLONG_MAX) &&
                          (!regular || (e.offset <= fileSize && e.size <= fileSize - e.offset));

    if (e.name == "manifest.json" && e.size >= 1 && e.size <= kSyntheticManifestMax && inBounds) {
      const std::size_t n = static_cast<std::size_t>(e.size);
      if (preadFull(in.get(), buf.get(), n, e.offset) == n &&
          ::memmem(buf.get(), n, kSyntheticToken, sizeof kSyntheticToken - 1) != nullptr)
        continue;  // a synthetic manifest is never materialised
    }

    const std::string D = U + "/" + e.name;
    Fd dir(openMemberDir(udir.get(), e.name));
    if (!dir.ok()) throw std::runtime_error("cannot create " + dirPart(D));

    if (!inBounds) throw truncated();
    if (::lseek(in.get(), static_cast<off_t>(e.offset), SEEK_SET) < 0)
      throw std::runtime_error(K + ": cannot seek to member " + e.name);

    const std::string leaf = e.name.substr(e.name.rfind('/') + 1);
    const std::string part = leaf + ".part";
    // Whatever sits at the .part name goes first; the exclusive create then
    // refuses anything (a link included) that appears there meanwhile.
    ::unlinkat(dir.get(), part.c_str(), 0);
    Fd out(::openat(dir.get(), part.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.ok()) throw std::runtime_error("cannot write " + D + ".part");

    uint64_t left = e.size;
    while (left > 0) {
      const std::size_t want = left < kCopyPiece ? static_cast<std::size_t>(left) : kCopyPiece;
      const std::size_t got = readFull(in.get(), buf.get(), want);
      if (got == 0) {
        out.reset();
        ::unlinkat(dir.get(), part.c_str(), 0);
        throw truncated();
      }
      if (!writeFull(out.get(), buf.get(), got)) {
        out.reset();
        ::unlinkat(dir.get(), part.c_str(), 0);
        throw std::runtime_error("short write materialising " + D);
      }
      left -= got;
    }
    if (!out.close()) {
      ::unlinkat(dir.get(), part.c_str(), 0);
      throw std::runtime_error("flush failed materialising " + D);
    }
    if (::renameat(dir.get(), part.c_str(), dir.get(), leaf.c_str()) != 0) {
      ::unlinkat(dir.get(), part.c_str(), 0);
      throw std::runtime_error("cannot place member " + D);
    }
  }
  in.reset();

  {
    Fd m(::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!m.ok()) throw std::runtime_error("cannot write unwrap marker " + marker);
    const bool wrote = writeFull(m.get(), stamp.data(), stamp.size());
    if (!m.close() || !wrote) {
      ::unlink(marker.c_str());
      throw std::runtime_error("short write on unwrap marker " + marker);
    }
  }

  tq::logText(TQ_LOG_INFO, "[tq] unwrapped %s -> %s\n", K.c_str(), U.c_str());
  return U;
}

std::string resolveBundlePath(const std::string& P) {
  if (P.empty()) return P;
  const std::string bare = stripTrailingSlashes(P);
  struct stat st;
  if (::stat(P.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    struct stat mst;
    // An ordinary bundle directory; one with a marker beside it was made by
    // an unwrap and its container is checked again below.
    if (::lstat((bare + kMarkerSuffix).c_str(), &mst) != 0) return P;
  }
  if (P.size() > 3 && endsWith(P, ".imx") && isImxV2File(P)) return unwrapOnce(P);
  if (isImxV2File(bare + ".imx")) return unwrapOnce(bare + ".imx");
  if (isImxV2File(P)) return unwrapOnce(P);
  return P;
}

}  // namespace tq
