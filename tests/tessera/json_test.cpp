// The teeth JSON reader: documents written by Python's json module read back as the
// same tree; damage never crashes; the reader's leniencies and refusals.
#include <gtest/gtest.h>

#include <cmath>
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

// The pre-order dump the fixture tool writes from Python's reading: the kind, then the
// value (number bits, string bytes in hex, element or member count), then children.
std::string dump(const tj::JVal& v) {
  uint64_t bits;
  std::memcpy(&bits, &v.num, 8);
  char num[24];
  std::snprintf(num, sizeof num, " %016llx", static_cast<unsigned long long>(bits));
  const std::string value[6] = {"", v.b ? " 1" : " 0", num, " " + hex(v.str), " " + std::to_string(v.arr.size()),
                                " " + std::to_string(v.obj.size())};
  std::string out = std::to_string(static_cast<int>(v.kind)) + value[static_cast<int>(v.kind)] + "\n";
  for (const auto& x : v.arr) out += dump(x);
  for (const auto& kv : v.obj) out += "K " + hex(kv.first) + "\n" + dump(kv.second);
  return out;
}

TEST(TesseraJson, ReadsWhatPythonWrites) {
  tqtest::TempDir t;
  ASSERT_TRUE(tqtest::runFixtureTool({"teeth-json", t.path()}));
  const int n = std::stoi(tqtest::readText(t / "count"));
  ASSERT_GE(n, 8);
  for (int i = 0; i < n; ++i) {
    const std::string doc = tqtest::readText(t / ("doc_" + std::to_string(i) + ".json"));
    EXPECT_EQ(dump(tj::parse(doc)), tqtest::readText(t / ("doc_" + std::to_string(i) + ".tree"))) << doc;
  }
}

TEST(TesseraJson, DamagedDocumentsParseOrThrow) {
  // Every prefix and seeded byte damage, each in an exact-size heap copy: a read past
  // the range is a sanitizer error, a crash fails the test.
  const std::string doc = R"({"a": [1, -2.5e-3, {"b": "x\"y\u0041"}], "c": [[[]], {}], "d": nan, "e": 0x1p3})";
  for (uint32_t i = 0, seed = 12345; i < 4000; ++i) {
    std::string d = doc.substr(0, i < 200 ? i : doc.size());
    if (i >= 200) seed = seed * 1664525u + 1013904223u, d[seed % d.size()] = static_cast<char>(seed >> 24);
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
  EXPECT_EQ(v.req("a").num + v.obj.size(), 4.0);
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
  EXPECT_EQ(std::vector<int32_t>({tj::toInt32(-7.9, "v"), tj::toInt32(2147483647.5, "v"), tj::toInt32(-2147483648.9, "v")}),
            std::vector<int32_t>({-7, 2147483647, -2147483647 - 1}));
  for (const auto& [v, text] : std::vector<std::pair<double, std::string>>{
           {2147483648.0, "2147483648"}, {-2147483649.0, "-2147483649"}, {tj::parse("nan").num, "nan"}, {HUGE_VAL, "inf"}})
    EXPECT_EQ(tqtest::thrown([&] { tj::toInt32(v, "n"); }), "teeth: n = " + text + " is not an int32");
}

}  // namespace
