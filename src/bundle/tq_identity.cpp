#include "bundle/tq_identity.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "driver/tq_driver.h"

namespace tq {

// ---------------------------------------------------------------- reading helpers

MappedFile::MappedFile(MappedFile&& o) noexcept : data(o.data), base(o.base), len(o.len) {
  o.data = nullptr;
  o.base = nullptr;
  o.len = 0;
}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
  if (this != &o) {
    this->~MappedFile();
    data = o.data;
    base = o.base;
    len = o.len;
    o.data = nullptr;
    o.base = nullptr;
    o.len = 0;
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (base) munmap(base, len);
  base = nullptr;
  data = nullptr;
}

std::size_t sizeProduct(const std::string& path, std::initializer_list<std::size_t> factors) {
  std::size_t total = 1;
  for (std::size_t f : factors)
    if (__builtin_mul_overflow(total, f, &total)) throw std::runtime_error("size mismatch " + path);
  return total;
}

MappedFile mapFile(const std::string& path, std::size_t expected) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != expected) {
    ::close(fd);
    throw std::runtime_error("size mismatch " + path);
  }
  MappedFile f;
  if (expected == 0) {  // nothing to map; an empty array is still a valid member
    ::close(fd);
    static const uint8_t kEmpty = 0;
    f.data = &kEmpty;
    return f;
  }
  void* p = mmap(nullptr, expected, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) throw std::runtime_error("mmap failed " + path);
  f.base = p;
  f.data = static_cast<const uint8_t*>(p);
  f.len = expected;
  return f;
}

template <class T>
std::vector<T> readRaw(const std::string& path, std::size_t n) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot open " + path);
  // The count comes from the manifest: compare it with the file before it sizes
  // anything. The read below still catches a file that changes underneath.
  struct stat st;
  const std::size_t bytes = sizeProduct(path, {n, sizeof(T)});
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != bytes) {
    std::fclose(f);
    throw std::runtime_error("size mismatch " + path);
  }
  std::vector<T> v(n);
  const std::size_t got = n ? std::fread(v.data(), sizeof(T), n, f) : 0;
  uint8_t extra;
  const bool atEnd = std::fread(&extra, 1, 1, f) == 0;
  std::fclose(f);
  if (got != n || !atEnd) throw std::runtime_error("size mismatch " + path);
  return v;
}

template std::vector<float> readRaw<float>(const std::string&, std::size_t);
template std::vector<int32_t> readRaw<int32_t>(const std::string&, std::size_t);

namespace {

bool statExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

// ---------------------------------------------------------------- warp-prior check

void ensureIdentityMembers(const Manifest& m) {
  const std::string text = readFile(m.dir + "/manifest.json");
  std::string rawName = "P.f16";
  {
    std::string named;
    if (manifest_key::optStr(text, "P_rgb", named) && !named.empty()) rawName = named;
  }
  const bool haveP = statExists(resolveMember(m.dir, "P.f16"));
  const bool haveFs = statExists(resolveMember(m.dir, "fs_red.f16"));
  if (rawName != "P.f16" && statExists(resolveMember(m.dir, rawName)) && !haveP && !haveFs)
    throw std::runtime_error(
        "this bundle's manifest names its raw warp prior '" + rawName +
        "' (P_rgb) but tq::Identity maps the welded name P.f16 and would find nothing — it maps "
        "NOTHING silently and Identity::P(si) is then an offset from a null pointer. REFUSING rather "
        "than rendering off a prior nothing will read.");
  if (haveP || haveFs) return;
  std::string hevc;
  if (!manifest_key::optStr(text, "P_hevc", hevc) || hevc.empty())
    throw std::runtime_error(
        "this bundle carries neither " + rawName +
        " nor fs_red.f16, and its manifest names no P_hevc member to play one from — the renderer "
        "has no warp prior and tq::Identity would hand it a null pointer. REFUSING to create a "
        "session.");
  const std::string path = resolveMember(m.dir, hevc);
  if (!statExists(path))
    throw std::runtime_error("this bundle's manifest names P_hevc '" + hevc +
                             "' and the file is not there (" + path +
                             ") — the renderer has no warp prior. REFUSING to create a session.");
}

// ---------------------------------------------------------------- Identity

Identity::Identity(const Manifest& m) : NT(m.NT), crop(m.crop), manifest(m) {
  ensureIdentityMembers(m);
  const std::size_t nt = static_cast<std::size_t>(NT);
  const std::size_t side = static_cast<std::size_t>(crop);
  const std::string pooledPath = resolveMember(m.dir, "pooled64.f16");
  pooled = mapFile(pooledPath, sizeProduct(pooledPath, {nt, 131072}));
  const std::string pPath = resolveMember(m.dir, "P.f16");
  const std::string fsPath = resolveMember(m.dir, "fs_red.f16");
  const bool haveFs = isReadable(fsPath);
  if (isReadable(pPath)) {
    rawPrior = mapFile(pPath, sizeProduct(pPath, {nt, side, side, 6}));
  } else if (!haveFs) {
    std::string hevc;
    if (manifest_key::optStr(readFile(m.dir + "/manifest.json"), "P_hevc", hevc)) {
      const std::string moviePath = resolveMember(m.dir, hevc);
      if (isReadable(moviePath)) priorMoviePath = moviePath;
    }
  }
  if (haveFs) featSynth = mapFile(fsPath, sizeProduct(fsPath, {nt, 524288}));
  const std::string mPath = resolveMember(m.dir, "M.f32");
  Mv = readRaw<float>(mPath, sizeProduct(mPath, {nt, 6}));
  rescaleM(m);
}

Identity::~Identity() = default;

void Identity::rescaleM(const Manifest& m) {
  if (m.M_src_w <= 0 || m.M_src_h <= 0)
    throw std::runtime_error(
        "tq::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste "
        "M without knowing the space it was authored in");
  if (m.M_src_w == m.W && m.M_src_h == m.H) return;
  const double sx = static_cast<double>(m.W) / m.M_src_w;
  const double sy = static_cast<double>(m.H) / m.M_src_h;
  for (std::size_t k = 0; k + 6 <= Mv.size(); k += 6) {
    for (int j = 0; j < 3; ++j) Mv[k + j] = static_cast<float>(Mv[k + j] * sx);
    for (int j = 3; j < 6; ++j) Mv[k + j] = static_cast<float>(Mv[k + j] * sy);
  }
}

DriverCursor* Identity::prior() const {
  // A mutex rather than std::call_once: an opener that throws must leave the
  // next caller free to try again, and call_once's exceptional path hangs that
  // caller under some runtimes (ThreadSanitizer's among them).
  std::lock_guard<std::mutex> lock(priorOpenLock);
  if (!priorCursor) priorCursor = DriverCursor::openPrior(manifest, 2, 11);
  return priorCursor.get();
}

const uint16_t* Identity::P(int i) const {
  if (!rawPrior.empty())
    return reinterpret_cast<const uint16_t*>(rawPrior.data) +
           static_cast<std::size_t>(i) * 3 * static_cast<std::size_t>(crop) * crop;
  int idx = 0;
  return reinterpret_cast<const uint16_t*>(prior()->pullAt(i, &idx));
}

void Identity::walkP(int i) const {
  if (!priorFromMovie()) return;
  int idx = 0;
  (void)prior()->pullAt(i, &idx);
}

const uint16_t* Identity::pooled64(int i) const {
  return reinterpret_cast<const uint16_t*>(pooled.data) + static_cast<std::size_t>(i) * 65536;
}

const uint16_t* Identity::fsRed(int i) const {
  return reinterpret_cast<const uint16_t*>(featSynth.data) + static_cast<std::size_t>(i) * 262144;
}

std::string Identity::priorBackend() const {
  if (!rawPrior.empty()) return "mmap P.f16";
  if (priorFromMovie()) return prior()->backend;
  return "none";
}

std::size_t Identity::priorResidentBytes() const {
  return priorFromMovie() ? prior()->residentBytes() : 0;
}

int64_t Identity::priorSeeks() const { return priorFromMovie() ? prior()->seeks() : 0; }

// ---------------------------------------------------------------- drive tables

Drive loadDrive(const Manifest& m) {
  Drive d;
  d.frames = m.frames;
  // A negative count would size the tables from a wrapped-around number.
  if (m.frames < 0) throw std::runtime_error("drive: frames " + std::to_string(m.frames) + " < 0");
  const std::size_t n = static_cast<std::size_t>(m.frames);
  const std::string xsPath = resolveMember(m.dir, "drive/xs.f32");
  const std::string xdPath = resolveMember(m.dir, "drive/xd.f32");
  d.xs = readRaw<float>(xsPath, sizeProduct(xsPath, {n, 63}));
  d.xd = readRaw<float>(xdPath, sizeProduct(xdPath, {n, 63}));
  d.si = readRaw<int32_t>(resolveMember(m.dir, "drive/si.i32"), n);
  for (int32_t s : d.si)
    if (s < 0 || s >= m.NT) throw std::runtime_error("drive: si out of range");
  return d;
}

}  // namespace tq
