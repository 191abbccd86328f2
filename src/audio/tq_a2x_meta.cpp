#include "audio/tq_a2x_meta.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace tq {
namespace a2x {
namespace {

bool valueAt(const std::string& text, const char* key, std::size_t* pos) {
  const std::string quoted = std::string("\"") + key + "\"";
  const std::size_t k = text.find(quoted);
  if (k == std::string::npos) return false;
  const std::size_t colon = text.find(':', k + quoted.size());
  if (colon == std::string::npos) return false;
  *pos = colon + 1;
  return true;
}

}  // namespace

long long metaInt(const std::string& text, const char* key, long long fallback) {
  std::size_t p = 0;
  if (!valueAt(text, key, &p)) return fallback;
  return std::strtoll(text.c_str() + p, nullptr, 10);
}

int metaWidth(const std::string& text) {
  std::size_t p = 0;
  if (!valueAt(text, "width", &p)) return 0;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
  if (text.compare(p, 4, "true") == 0) return 1;
  if (text.compare(p, 5, "false") == 0) return 0;
  return std::strtoll(text.c_str() + p, nullptr, 10) != 0 ? 1 : 0;
}

std::vector<float> readFloats(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) return {};
  const std::streamoff size = f.tellg();
  if (size <= 0) return {};
  if (static_cast<unsigned long long>(size) / sizeof(float) > std::numeric_limits<int32_t>::max())
    throw std::runtime_error(path + " holds " + std::to_string(size) + " bytes, more than a table can");
  std::vector<float> v(static_cast<std::size_t>(size) / sizeof(float));
  f.seekg(0);
  if (!f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(float))))
    throw std::runtime_error("short read " + path);
  return v;
}

}  // namespace a2x
}  // namespace tq
