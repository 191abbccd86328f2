#include "audio/tq_motion_tables.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "bundle/tq_bundle.h"

namespace tq {
namespace motion {

namespace {

// Largest table row count accepted from meta.json; keeps every size product
// far inside size_t and int.
constexpr double kMaxRows = 1 << 20;

bool findNumber(const std::string& text, const char* key, double* out) {
  const std::string quoted = std::string("\"") + key + "\"";
  const std::size_t at = text.find(quoted);
  if (at == std::string::npos) return false;
  std::size_t p = at + quoted.size();
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r' || text[p] == '\n')) ++p;
  if (p >= text.size() || text[p] != ':') throw std::runtime_error(std::string("meta.json: bad ") + key);
  const char* begin = text.c_str() + p + 1;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(begin, &end);
  // A value that is not a number would otherwise read as 0.
  if (end == begin || errno == ERANGE || !std::isfinite(v))
    throw std::runtime_error(std::string("meta.json: bad ") + key);
  *out = v;
  return true;
}

double required(const std::string& text, const char* key) {
  double v = 0;
  if (!findNumber(text, key, &v)) throw std::runtime_error(std::string("meta.json: missing ") + key);
  return v;
}

// Row counts index tables and divide frame numbers: whole and positive.
int rowCount(double v, const char* key) {
  if (!(v >= 1 && v <= kMaxRows) || v != std::floor(v))
    throw std::runtime_error(std::string("meta.json: bad ") + key);
  return static_cast<int>(v);
}

}  // namespace

MotionMeta parseMotionMeta(const std::string& text) {
  MotionMeta m;
  m.nt = rowCount(required(text, "nt"), "nt");
  m.nSrc = rowCount(required(text, "n_src"), "n_src");
  m.nEmo = rowCount(required(text, "n_emo"), "n_emo");
  m.sBridge = static_cast<float>(required(text, "s_bridge"));
  double dp = 0;
  if (findNumber(text, "delta_pitch", &dp)) m.deltaPitch = static_cast<float>(dp);
  return m;
}

std::vector<float> readFloatTable(const std::string& path, std::size_t count) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) throw std::runtime_error("cannot open " + path);
  struct stat st {};
  if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) throw std::runtime_error("cannot open " + path);
  const auto bytes = static_cast<unsigned long long>(st.st_size);
  if (bytes % sizeof(float) != 0 || bytes / sizeof(float) != count)
    throw std::runtime_error(path + ": " + std::to_string(bytes / sizeof(float)) + " floats, expected " +
                             std::to_string(count));
  std::vector<float> v(count);
  if (count && std::fread(v.data(), sizeof(float), count, f.get()) != count)
    throw std::runtime_error("short read " + path);
  return v;
}

MotionTables loadMotionTables(const std::string& dir) {
  MotionTables t;
  t.meta = parseMotionMeta(readFile(dir + "/meta.json"));
  if (t.meta.nSrc != t.meta.nt) throw std::runtime_error("tq_motion: n_src != nt unsupported");
  const std::size_t nt = static_cast<std::size_t>(t.meta.nt);
  const std::size_t nEmo = static_cast<std::size_t>(t.meta.nEmo);
  auto member = [&](const char* name) { return dir + "/" + name; };
  t.window = readFloatTable(member("hubert_stft_window.bin"), 512);
  t.binmat = readFloatTable(member("hubert_stft_binmat.bin"), 257 * kMelBands);
  t.fmean = readFloatTable(member("hubert_fmean.bin"), kFeatDim);
  t.fstd = readFloatTable(member("hubert_fstd.bin"), kFeatDim);
  t.emo = readFloatTable(member("emo.bin"), nEmo * kEmoDim);
  t.chInfo = readFloatTable(member("ch_xs_info.bin"), kInfoDim);
  t.chSc = readFloatTable(member("ch_sc.bin"), kExprDim);
  t.eyeOpen = readFloatTable(member("ch_eye_open.bin"), 2);
  t.eyeBall = readFloatTable(member("ch_eye_ball.bin"), 6);
  t.vMinMax = readFloatTable(member("v_min_max.bin"), 2 * kMotionDim);
  t.srcInfo = readFloatTable(member("src_xs_info.bin"), nt * kInfoDim);
  t.xsTarget = readFloatTable(resolveMember(dir, "xs_target.bin"), nt * kExprDim);
  return t;
}

}  // namespace motion
}  // namespace tq
