#include "compute/tq_env.h"

#include <cstdlib>
#include <cstring>

namespace tq {
namespace env {

const char* raw(const char* name) { return std::getenv(name); }

bool nonEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

std::string text(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

bool beginsWith(const char* name, char c) {
  const char* v = std::getenv(name);
  return v && v[0] == c;
}

bool equals(const char* name, const char* value) {
  const char* v = std::getenv(name);
  return v && *v && std::strcmp(v, value) == 0;
}

bool integer(const char* name, long long* out) {
  const char* v = std::getenv(name);
  if (!v || !*v) return false;
  *out = std::strtoll(v, nullptr, 10);
  return true;
}

}  // namespace env
}  // namespace tq
