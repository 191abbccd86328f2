#include "tessera/tq_tessera_json.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tq {
namespace tessera {
namespace json {

const JVal* JVal::find(const std::string& key) const {
  if (kind != Kind::Object) return nullptr;
  for (const auto& kv : obj)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

const JVal& JVal::req(const std::string& key) const {
  const JVal* v = find(key);
  if (!v) throw std::runtime_error("teeth: member JSON lacks key '" + key + "'");
  return *v;
}

const JVal* JVal::findKind(const std::string& key, Kind k) const {
  const JVal* v = find(key);
  return v && v->kind == k ? v : nullptr;
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Characters strtod may consume after its own leading white space: signs,
// digits, letters (exponents, hex digits, "inf", "nan"), the point, and the
// parentheses and underscore of "nan(...)".
bool isNumberChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '+' || c == '-' || c == '.' || c == '(' || c == ')' || c == '_';
}
bool isCSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

class Parser {
 public:
  Parser(const char* p, const char* end) : p_(p), end_(end) {}

  JVal value(int depth) {
    skipBlanks();
    if (p_ == end_) throw std::runtime_error("teeth: JSON truncated");
    const char c = *p_;
    if (c == '{') return object(depth + 1);
    if (c == '[') return array(depth + 1);
    JVal v;
    if (c == '"') {
      v.kind = Kind::String;
      v.str = string();
      return v;
    }
    if (hasPrefix("true")) {
      v.kind = Kind::Bool;
      v.b = true;
      p_ += 4;
      return v;
    }
    if (hasPrefix("false")) {
      v.kind = Kind::Bool;
      p_ += 5;
      return v;
    }
    if (hasPrefix("null")) {
      p_ += 4;
      return v;
    }
    v.kind = Kind::Number;
    v.num = number();
    return v;
  }

 private:
  void skipBlanks() {
    while (p_ != end_ && isBlank(*p_)) ++p_;
  }

  bool hasPrefix(const char* word) const {
    const std::size_t n = std::strlen(word);
    return static_cast<std::size_t>(end_ - p_) >= n && std::memcmp(p_, word, n) == 0;
  }

  void enter(int depth) const {
    if (depth > kMaxDepth)
      throw std::runtime_error("teeth: JSON nested deeper than " + std::to_string(kMaxDepth) +
                               " levels");
  }

  // strtod wants a terminated string; the input is a byte range that need not
  // be. Copy the run strtod could consume into a terminated buffer so that the
  // conversion stops where the range does.
  double number() {
    const char* q = p_;
    while (q != end_ && isCSpace(*q)) ++q;
    while (q != end_ && isNumberChar(*q)) ++q;
    scratch_.assign(p_, q);
    const char* s = scratch_.c_str();
    char* stop = nullptr;
    const double d = std::strtod(s, &stop);
    if (stop == s) throw std::runtime_error("teeth: bad JSON number");
    p_ += stop - s;
    return d;
  }

  // The opening character is taken as the quote whatever it is.
  std::string string() {
    std::string out;
    ++p_;
    while (p_ != end_) {
      const char c = *p_++;
      if (c == '"') return out;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (p_ == end_) break;
      const char e = *p_++;
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'u': {
          // The code point is not decoded; a short tail is consumed to the end.
          const std::ptrdiff_t left = end_ - p_;
          p_ += left < 4 ? left : 4;
          out.push_back('?');
          break;
        }
        default: out.push_back(e); break;
      }
    }
    return out;  // unterminated: ends with the input
  }

  JVal object(int depth) {
    enter(depth);
    JVal v;
    v.kind = Kind::Object;
    ++p_;
    skipBlanks();
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return v;
    }
    for (;;) {
      skipBlanks();
      std::string key = p_ == end_ ? std::string() : string();
      skipBlanks();
      if (p_ != end_ && *p_ == ':') ++p_;
      JVal item = value(depth);
      v.obj.emplace_back(std::move(key), std::move(item));
      skipBlanks();
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      if (p_ != end_ && *p_ == '}') {
        ++p_;
        return v;
      }
      throw std::runtime_error("teeth: malformed JSON object");
    }
  }

  JVal array(int depth) {
    enter(depth);
    JVal v;
    v.kind = Kind::Array;
    ++p_;
    skipBlanks();
    if (p_ != end_ && *p_ == ']') {
      ++p_;
      return v;
    }
    for (;;) {
      v.arr.push_back(value(depth));
      skipBlanks();
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      if (p_ != end_ && *p_ == ']') {
        ++p_;
        return v;
      }
      throw std::runtime_error("teeth: malformed JSON array");
    }
  }

  const char* p_;
  const char* end_;
  std::string scratch_;
};

}  // namespace

JVal parse(const char* data, std::size_t n) {
  if (!data) n = 0;
  Parser parser(data, data + n);
  return parser.value(0);
}

JVal parse(const std::string& text) { return parse(text.data(), text.size()); }

std::string numText(double v) {
  char buf[40];
  for (int prec = 1; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, v);
    if (std::isnan(v) || std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

int32_t toInt32(double v, const std::string& what) {
  // Truncation is defined only for values whose integer part fits.
  if (!(v > -2147483649.0 && v < 2147483648.0))
    throw std::runtime_error("teeth: " + what + " = " + numText(v) + " is not an int32");
  return static_cast<int32_t>(v);
}

}  // namespace json
}  // namespace tessera
}  // namespace tq
