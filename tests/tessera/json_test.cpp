// The teeth JSON reader: documents written by Python's json module read back as the
// same tree; damage never crashes; the reader's leniencies and refusals.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tessera/tq_tessera_json.h"
#include "tq_test_util.h"

namespace {

namespace tj = tq::tessera::json;

std::string hex(const std::string& s) {
  std::string out;
  char b[3];
  for (unsigned char c : s) std::snprintf(b, sizeof b, "%02x", c), out += b;
  return out;
}

// The pre-order dump the fixture tool writes from Python's reading.
void dump(const tj::JVal& v, std::string& out) {
  char b[32];
  uint64_t bits;
  switch (v.kind) {
    case tj::Kind::Null: out += "0\n"; break;
    case tj::Kind::Bool: out += v.b ? "1 1\n" : "1 0\n"; break;
    case tj::Kind::Number:
      std::memcpy(&bits, &v.num, 8);
      std::snprintf(b, sizeof b, "2 %016llx\n", static_cast<unsigned long long>(bits));
      out += b;
      break;
    case tj::Kind::String: out += "3 " + hex(v.str) + "\n"; break;
    case tj::Kind::Array:
      out += "4 " + std::to_string(v.arr.size()) + "\n";
      for (const auto& x : v.arr) dump(x, out);
      break;
    case tj::Kind::Object:
      out += "5 " + std::to_string(v.obj.size()) + "\n";
      for (const auto& kv : v.obj) out += "K " + hex(kv.first) + "\n", dump(kv.second, out);
      break;
  }
}

TEST(TesseraJson, ReadsWhatPythonWrites) {
  tqtest::TempDir t;
  ASSERT_TRUE(tqtest::runFixtureTool({"teeth-json", t.path()}));
  const int n = std::stoi(tqtest::readText(t / "count"));
  ASSERT_GE(n, 8);
  for (int i = 0; i < n; ++i) {
    const std::string doc = tqtest::readText(t / ("doc_" + std::to_string(i) + ".json"));
    std::string got;
    dump(tj::parse(doc), got);
    EXPECT_EQ(got, tqtest::readText(t / ("doc_" + std::to_string(i) + ".tree"))) << doc;
  }
}

TEST(TesseraJson, DamagedDocumentsParseOrThrow) {
  // Every prefix and seeded byte damage, each in an exact-size heap copy: a read past
  // the range is a sanitizer error, a crash fails the test.
  const std::string doc = R"({"a": [1, -2.5e-3, {"b": "x\"y\u0041"}], "c": [[[]], {}], "d": nan, "e": 0x1p3})";
  uint32_t seed = 12345;
  for (int i = 0; i < 4000; ++i) {
    std::string d = doc.substr(0, i < 200 ? std::min<std::size_t>(i, doc.size()) : doc.size());
    seed = seed * 1664525u + 1013904223u;
    if (i >= 200) d[seed % d.size()] = static_cast<char>(seed >> 24);
    const std::vector<char> exact(d.begin(), d.end());
    try {
      tj::parse(exact.data(), exact.size());
    } catch (const std::runtime_error&) {
    }
  }
  // Digits after the range are not read: the buffer is not terminated there.
  EXPECT_EQ(tj::parse("12345e7", 3).num, 123.0);
}

TEST(TesseraJson, LeniencesAndRefusals) {
  const tj::JVal v = tj::parse("{\"a\" 1, \"k\":[true], \"k\":2} trailing {");  // no colon, duplicate key
  EXPECT_EQ(v.req("a").num, 1.0);
  EXPECT_EQ(v.obj.size(), 3u);
  EXPECT_TRUE(v.req("k").arr.at(0).b);
  EXPECT_EQ(tj::parse("\"a\\u00e9b\\/\\q").str, "a?b/q");  // "\u" and four characters become "?"
  EXPECT_EQ(tj::parse("\"ab\\u12").str, "ab?");
  const struct {
    std::string text, error;
  } cases[] = {
      {"[1,2,]", "teeth: bad JSON number"},        {"tru", "teeth: bad JSON number"},
      {"  \n", "teeth: JSON truncated"},           {"[1,", "teeth: JSON truncated"},
      {"{\"a\":1 \"b\":2}", "teeth: malformed JSON object"}, {"{\"a\":1", "teeth: malformed JSON object"},
      {"[1 2]", "teeth: malformed JSON array"},    {"[1", "teeth: malformed JSON array"},
      {std::string(257, '[') + std::string(257, ']'), "teeth: JSON nested deeper than 256 levels"},
      {std::string(256, '[') + std::string(256, ']'), "(nothing thrown)"},
      {[] { std::string s; for (int i = 0; i < 300; ++i) s += "{\"a\":"; return s; }(),
       "teeth: JSON nested deeper than 256 levels"},
  };
  for (const auto& c : cases) EXPECT_EQ(tqtest::thrown([&] { tj::parse(c.text); }), c.error) << c.text;
  EXPECT_EQ(tqtest::thrown([&] { v.req("b"); }), "teeth: member JSON lacks key 'b'");
}

TEST(TesseraJson, Int32TruncatesTowardZeroAndRefusesTheRest) {
  EXPECT_EQ(tj::toInt32(-7.9, "v"), -7);
  EXPECT_EQ(tj::toInt32(2147483647.5, "v"), 2147483647);
  EXPECT_EQ(tj::toInt32(-2147483648.9, "v"), -2147483647 - 1);
  const struct {
    double v;
    const char* text;
  } bad[] = {{2147483648.0, "teeth: n = 2147483648 is not an int32"},
             {-2147483649.0, "teeth: n = -2147483649 is not an int32"},
             {tj::parse("nan").num, "teeth: n = nan is not an int32"},
             {tj::parse("1e999").num, "teeth: n = inf is not an int32"}};
  for (const auto& b : bad) EXPECT_EQ(tqtest::thrown([&] { tj::toInt32(b.v, "n"); }), b.text);
}

}  // namespace
