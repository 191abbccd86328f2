#include "bundle/tq_bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "base/tq_log.h"
#include "compute/tq_env.h"
#include "bundle/tq_imx.h"

namespace tq {

// ------------------------------------------------------------------ files

bool isReadable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::string readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st;
  // A directory opens but has no byte length worth reading.
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw std::runtime_error("cannot open " + path);
  }
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
    ::close(fd);
    throw std::runtime_error("short read " + path);
  }
  std::string data;
  try {
    data.resize(static_cast<std::size_t>(end));
  } catch (...) {
    ::close(fd);
    throw;
  }
  std::size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = ::read(fd, &data[got], data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (got != data.size()) throw std::runtime_error("short read " + path);
  return data;
}

// ------------------------------------------------------------------ member names

namespace {

bool startsWith(const std::string& s, const std::string& p) {
  return s.size() >= p.size() && s.compare(0, p.size(), p) == 0;
}
bool endsWith(const std::string& s, const std::string& p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

struct AltNames {
  const std::string modelPrefix{"model_b"};
  const std::string modelSuffix{".onnx"};
  const std::string drivePrefix{"drive/"};
  const std::pair<const char*, const char*> table[9] = {
      {"P.f16", "source_frames.f16"},
      {"P_hevc.mov", "source_frames.hevc"},
      {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
      {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"M.f32", "paste_transform.f32"},
      {"mask_512.u8", "paste_mask.u8"},
      {"pooled64.f16", "pooled_features.f16"},
      {"fs_red.f16", "feature_synth.f16"},
      {"xs_target.bin", "target_keypoints.bin"},
  };
};

// Built on first use; function-local statics initialise exactly once even when
// several threads get here together.
const AltNames& altNames() {
  static const AltNames names;
  return names;
}

}  // namespace

std::string canonicalMember(const std::string& name) {
  const AltNames& a = altNames();
  for (const auto& row : a.table)
    if (name == row.first) return row.second;

  if (name.size() > 12 && startsWith(name, a.modelPrefix) && endsWith(name, a.modelSuffix)) {
    const std::string mid =
        name.substr(a.modelPrefix.size(), name.size() - a.modelPrefix.size() - a.modelSuffix.size());
    const std::size_t us = mid.find('_');
    const std::string batch = us == std::string::npos ? mid : mid.substr(0, us);
    const std::string variant = us == std::string::npos ? std::string() : mid.substr(us + 1);
    std::string alt = "render_model.batch" + batch;
    if (!variant.empty()) alt += "." + variant;
    return alt + ".onnx";
  }

  if (startsWith(name, a.drivePrefix)) {
    const std::string rest = name.substr(a.drivePrefix.size());
    const std::size_t dot = rest.find('.');
    std::string stem = dot == std::string::npos ? rest : rest.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : rest.substr(dot);
    if (stem == "xs")
      stem = "source_keypoints";
    else if (stem == "xd")
      stem = "driven_keypoints";
    else if (stem == "si")
      stem = "source_index";
    return "idle_loop/" + stem + ext;
  }
  return std::string();
}

std::string resolveMember(const std::string& dir, const std::string& name) {
  const std::string first = dir + "/" + name;
  const std::string alt = canonicalMember(name);
  if (alt.empty() || isReadable(first)) return first;
  const std::string second = dir + "/" + alt;
  if (isReadable(second)) return second;
  return first;
}

std::string Manifest::modelPath(const std::string& key) const {
  return resolveMember(dir, "model_" + key + ".onnx");
}

// ------------------------------------------------------------------ key scan

namespace manifest_key {

namespace {

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Index of the quote closing the string whose opening quote is at `open`, or
// npos when the text ends first. A backslash hides the byte after it.
std::size_t closingQuote(const std::string& text, std::size_t open) {
  std::size_t j = open + 1;
  while (j < text.size()) {
    if (text[j] == '\\') {
      j += 2;
      continue;
    }
    if (text[j] == '"') return j;
    ++j;
  }
  return std::string::npos;
}

[[noreturn]] void throwAmbiguous(const char* key, const std::vector<uint64_t>& offsets) {
  std::string m = "manifest: key \"";
  m += key;
  m += "\" is AMBIGUOUS \xE2\x80\x94 ";
  m += std::to_string(offsets.size());
  m += " scalar occurrences (";
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    if (i) m += ", ";
    m += "byte " + std::to_string(offsets[i]);
  }
  m += "). A loader that picks one silently installs a number nobody checks. Rename the colliding "
       "key (a nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, "
       "crop/crop_size, amount, sigma, ksize, frames, M_src_w/paste_source_width, "
       "M_src_h/paste_source_height), or produce the bundle with the legacy manifest layout.";
  throw std::runtime_error(m);
}

// Strtod from `pos`, converted to int32 by truncation toward zero. Values out
// of the int32 range saturate; NaN reads as 0.
int32_t toInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

float toFloat(double v) {
  // Out-of-range doubles become +-inf rather than an undefined conversion.
  if (std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max())
    return v > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

// Bounds of the string value starting at `p` (the value's first byte): true
// and [b, e) its raw bytes when it is a closed string.
bool stringValue(const std::string& text, std::size_t p, std::size_t& b, std::size_t& e) {
  if (p >= text.size() || text[p] != '"') return false;
  const std::size_t close = closingQuote(text, p);
  if (close == std::string::npos) return false;
  b = p + 1;
  e = close;
  return true;
}

}  // namespace

std::vector<KeyHit> keyHits(const std::string& text, const char* key) {
  std::vector<KeyHit> hits;
  const std::size_t n = text.size();
  const std::size_t klen = std::strlen(key);
  int32_t depth = 0;
  std::size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (c == '{' || c == '[') {
      ++depth;
      ++i;
      continue;
    }
    if (c == '}' || c == ']') {
      --depth;
      ++i;
      continue;
    }
    if (c != '"') {
      ++i;
      continue;
    }
    const std::size_t close = closingQuote(text, i);
    if (close == std::string::npos || close + 1 >= n) break;
    std::size_t k = close + 1;
    while (k < n && isSpace(text[k])) ++k;
    if (k < n && text[k] == ':' && close - i - 1 == klen &&
        text.compare(i + 1, klen, key, klen) == 0) {
      std::size_t v = k + 1;
      while (v < n && isSpace(text[v])) ++v;
      const bool scalar = v < n && text[v] != '{' && text[v] != '[';
      hits.push_back(KeyHit{static_cast<uint64_t>(v), depth, scalar});
    }
    i = close + 1;
  }
  return hits;
}

std::size_t scalarValuePos(const std::string& text, const char* key) {
  std::vector<uint64_t> scalars, top;
  for (const KeyHit& h : keyHits(text, key)) {
    if (!h.scalar) continue;
    scalars.push_back(h.pos);
    if (h.depth == 1) top.push_back(h.pos);
  }
  if (top.size() == 1) return static_cast<std::size_t>(top[0]);
  if (top.size() > 1) throwAmbiguous(key, top);
  if (scalars.size() == 1) return static_cast<std::size_t>(scalars[0]);
  if (scalars.size() > 1) throwAmbiguous(key, scalars);
  return std::string::npos;
}

const char* findKey(const std::string& text, const char* key) {
  const std::size_t p = scalarValuePos(text, key);
  if (p == std::string::npos) throw std::runtime_error(std::string("manifest: missing key ") + key);
  return text.c_str() + p;
}

std::string strField(const std::string& text, const char* key) {
  const std::size_t p = static_cast<std::size_t>(findKey(text, key) - text.c_str());
  std::size_t b = 0, e = 0;
  // A value that is not a string is refused rather than read from whatever
  // quote happens to come next in the text.
  if (!stringValue(text, p, b, e))
    throw std::runtime_error(std::string("manifest: bad string ") + key);
  return text.substr(b, e - b);
}

bool optNum(const std::string& text, const char* key, double& out) {
  const std::size_t p = scalarValuePos(text, key);
  if (p == std::string::npos) return false;
  out = std::strtod(text.c_str() + p, nullptr);
  return true;
}

bool optNumEither(const std::string& text, const char* first, const char* second, double& out) {
  double v = 0;
  if (optNum(text, first, v) && v != -1e300) {
    out = v;
    return true;
  }
  if (optNum(text, second, v) && v != -1e300) {
    out = v;
    return true;
  }
  return false;
}

double numFieldEither(const std::string& text, const char* first, const char* second) {
  double v = 0;
  if (!optNumEither(text, first, second, v))
    throw std::runtime_error(std::string("manifest: missing key ") + first + "/" + second);
  return v;
}

bool optStr(const std::string& text, const char* key, std::string& out) {
  const std::size_t p = scalarValuePos(text, key);
  if (p == std::string::npos) return false;
  std::size_t b = 0, e = 0;
  if (!stringValue(text, p, b, e) || e == b) return false;
  out = text.substr(b, e - b);
  return true;
}

}  // namespace manifest_key

// ------------------------------------------------------------------ loading

Manifest loadManifest(const std::string& bundlePath) {
  using namespace manifest_key;
  Manifest m;
  m.dir = resolveBundlePath(bundlePath);
  const std::string text = readFile(m.dir + "/manifest.json");

  const std::string format = strField(text, "format");
  if (format != "tq-bundle-v0") throw std::runtime_error("not an tq-bundle-v0: " + format);

  auto num = [&](const char* key) { return std::strtod(findKey(text, key), nullptr); };
  m.agent = strField(text, "agent");
  m.NT = toInt32(numFieldEither(text, "NT", "frame_count"));
  m.H = toInt32(num("H"));
  m.W = toInt32(num("W"));
  m.crop = toInt32(numFieldEither(text, "crop", "crop_size"));
  m.amount = toFloat(num("amount"));
  m.sigma = toFloat(num("sigma"));
  m.ksize = toInt32(num("ksize"));
  m.frames = toInt32(num("frames"));
  if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1) throw std::runtime_error("manifest: bad dims");

  double sw = 0, sh = 0;
  const bool haveW = optNumEither(text, "M_src_w", "paste_source_width", sw);
  const bool haveH = optNumEither(text, "M_src_h", "paste_source_height", sh);
  if (haveW && haveH) {
    m.M_src_w = toInt32(sw);
    m.M_src_h = toInt32(sh);
  } else {
    const char* ok = env::raw("BREVANE2_MSRC_MISSING_OK");
    if (ok && std::strcmp(ok, "1") == 0) {
      tq::logText(TQ_LOG_WARNING,
                   "[tq] WARNING BREVANE2_MSRC_MISSING_OK=1: %s/manifest.json carries no "
                   "paste-space stamp; ASSUMING M was authored on this %dx%d canvas. If it was "
                   "not, the face pastes off-target (bm#144) and nothing will say so.\n",
                   m.dir.c_str(), m.W, m.H);
      m.M_src_w = m.W;
      m.M_src_h = m.H;
    } else {
      throw std::runtime_error(
          m.dir +
          "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka "
          "paste_source_width/height) \xE2\x80\x94 the canvas is " +
          std::to_string(m.W) + "x" + std::to_string(m.H) +
          ", so M cannot be placed: absence is not evidence that M was authored at that size. "
          "Re-stamp the bundle (models/brevane-2/inference/backfill_msrc.py), or set "
          "BREVANE2_MSRC_MISSING_OK=1 to restore the legacy assumption.");
    }
  }
  if (m.M_src_w <= 0 || m.M_src_h <= 0)
    throw std::runtime_error("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");

  const std::string lip = resolveMember(m.dir, "lip_template.v1.json");
  if (isReadable(lip)) m.lipTemplate = readFile(lip);
  return m;
}

}  // namespace tq
