// The model directory of a tq_a2x: meta values and tables.
#pragma once

#include <string>
#include <vector>

namespace tq {
namespace a2x {

// Flat-JSON lookups: the quoted key, then the next ':' and a base-10 integer.
long long metaInt(const std::string& text, const char* key, long long fallback);
// "width": "true", "false" or an integer (non-zero = true) after blanks/tabs; absent 0.
int metaWidth(const std::string& text);

// A headerless little-endian float32 file, whole; a missing file reads as empty.
std::vector<float> readFloats(const std::string& path);

}  // namespace a2x
}  // namespace tq
