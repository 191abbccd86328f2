// The small JSON reader shared by the teeth code (bank sidecar, head
// configuration, manifest blocks, lip template).
//
// It is deliberately lenient where the writers it serves never go (numbers are
// whatever strtod accepts, a key's colon is optional, an unterminated string
// ends at the end of the input, text after the root value is ignored) and
// strict about structure. It never reads outside the byte range it is given and
// refuses documents nested deeper than kMaxDepth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tq {
namespace tessera {
namespace json {

enum class Kind : int { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

// Deepest nesting of arrays and objects accepted.
constexpr int kMaxDepth = 256;

// One JSON value. Object members keep document order and duplicate keys;
// lookup takes the first pair with the key.
struct JVal {
  Kind kind = Kind::Null;
  bool b = false;
  double num = 0.0;
  std::string str;
  std::vector<JVal> arr;
  std::vector<std::pair<std::string, JVal>> obj;

  bool isNull() const { return kind == Kind::Null; }
  bool isBool() const { return kind == Kind::Bool; }
  bool isNumber() const { return kind == Kind::Number; }
  bool isString() const { return kind == Kind::String; }
  bool isArray() const { return kind == Kind::Array; }
  bool isObject() const { return kind == Kind::Object; }

  // First member named `key`, or null when this is not an object or lacks it.
  const JVal* find(const std::string& key) const;
  // First member named `key`; throws "teeth: member JSON lacks key '<key>'".
  const JVal& req(const std::string& key) const;
  // Member `key` when it is present and of kind `k`, else null.
  const JVal* findKind(const std::string& key, Kind k) const;
};

// Parses one value from [data, data + n): leading blanks are skipped, text
// after the value is ignored. Throws std::runtime_error with a "teeth: " text.
JVal parse(const char* data, std::size_t n);
JVal parse(const std::string& text);

// Truncation toward zero of a number that must be stored as an int32. NaN,
// infinities and values outside the int32 range are refused with
// "teeth: <what> = <v> is not an int32" instead of being converted.
int32_t toInt32(double v, const std::string& what);

// Shortest text that reads back as the same double (for messages).
std::string numText(double v);

}  // namespace json
}  // namespace tessera
}  // namespace tq
