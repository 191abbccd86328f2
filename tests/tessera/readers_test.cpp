// The teeth readers. JSON: documents written by Python's json module read back as the same
// tree, damage never crashes, leniencies and refusals. Head weights: archives written like
// torch.save by the fixture tool load bit for bit; every refusal comes from a real variant,
// a damaged copy or a hand-made pickle; damage throws and never crashes. Head config.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tessera/tq_tessera_head.h"
#include "tessera/tq_tessera_json.h"
#include "tq_test_util.h"

namespace {

namespace tj = tq::tessera::json;
using tq::tessera::HeadWeights;
using Bytes = std::vector<uint8_t>;

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
    tqtest::thrown([&] { tj::parse(exact.data(), exact.size()); });
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
      {"[1,2,]", "teeth: bad JSON number"}, {"  \n", "teeth: JSON truncated"}, {"[1,", "teeth: JSON truncated"},
      {"{\"a\":1 \"b\":2}", "teeth: malformed JSON object"}, {"{\"a\":1", "teeth: malformed JSON object"},
      {"[1 2]", "teeth: malformed JSON array"}, {"[1", "teeth: malformed JSON array"},
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

std::string loadError(const Bytes& bytes) { return tqtest::thrown([&] { tq::tessera::loadHeadPt(bytes); }); }
void putU32(Bytes& b, std::size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}
void putU16(Bytes& b, std::size_t at, uint32_t v) { b[at] = uint8_t(v), b[at + 1] = uint8_t(v >> 8); }

class HeadArchives : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    ASSERT_TRUE(tqtest::runFixtureTool({"teeth-heads", dir_->path()}));
    std::istringstream in(tqtest::readText(*dir_ / "full/layout"));  // data.pkl's offset, size, central record
    in >> data_ >> size_ >> central_;
  }
  static void TearDownTestSuite() { delete dir_; }
  static Bytes pt(const std::string& v) { return tqtest::readBytes(*dir_ / (v + ".pt")); }
  static tqtest::TempDir* dir_;
  static std::size_t data_, size_, central_;
};
tqtest::TempDir* HeadArchives::dir_ = nullptr;
std::size_t HeadArchives::data_, HeadArchives::size_, HeadArchives::central_;

TEST_F(HeadArchives, LoadsTheWrittenFloatsBitForBit) {
  // In "full", "cand.2.bias" views a storage shared with "cand.0.bias" at offset 100 and
  // "cand.0.weight" starts with NaN, -0, a denormal and infinity; "memo" needs LONG_BINPUT/GET.
  const char* keys[10] = {"cand.0.weight", "cand.0.bias", "cand.2.weight", "cand.2.bias", "cand.4.weight",
                          "cand.4.bias",   "syn.0.weight", "syn.0.bias",   "syn.2.weight", "syn.2.bias"};
  const std::vector<float> HeadWeights::*fields[10] = {
      &HeadWeights::cand0_w, &HeadWeights::cand0_b, &HeadWeights::cand2_w, &HeadWeights::cand2_b,
      &HeadWeights::cand4_w, &HeadWeights::cand4_b, &HeadWeights::syn0_w,  &HeadWeights::syn0_b,
      &HeadWeights::syn2_w,  &HeadWeights::syn2_b};
  for (const auto& [variant, count] : {std::pair<std::string, int>{"full", 10}, {"cand-only", 6}, {"memo", 10}}) {
    const HeadWeights w = tq::tessera::loadHeadPt(pt(variant));
    for (int i = 0; i < 10; ++i) {
      const auto* got = reinterpret_cast<const uint8_t*>((w.*fields[i]).data());
      EXPECT_EQ(Bytes(got, got + 4 * (w.*fields[i]).size()),
                i < count ? tqtest::readBytes(*dir_ / (variant + "/" + keys[i] + ".f32")) : Bytes())
          << variant << " " << keys[i];
    }
  }
}

// A pickle in a fresh stored archive with no storages.
Bytes archiveWith(const std::string& pkl) {
  const std::string name = "a/data.pkl";
  Bytes z(30, 0);
  putU32(z, 0, 0x04034b50), putU16(z, 26, 10);
  z.insert(z.end(), name.begin(), name.end());
  z.insert(z.end(), pkl.begin(), pkl.end());
  const std::size_t cd = z.size();
  z.resize(cd + 46);
  putU32(z, cd, 0x02014b50), putU32(z, cd + 24, uint32_t(pkl.size())), putU16(z, cd + 28, 10);
  z.insert(z.end(), name.begin(), name.end());
  const std::size_t e = z.size();
  z.resize(e + 22);
  putU32(z, e, 0x06054b50), putU16(z, e + 10, 1), putU32(z, e + 16, uint32_t(cd));
  return z;
}

// Each refusal from a variant the fixture tool wrote, from "full" with an edit, or from a
// hand-made pickle.
TEST_F(HeadArchives, RefusesVariantsAndDamagedArchives) {
  const std::size_t cd = central_;
  // The central record of storage member "full/data/<k>", searched after data.pkl's.
  const auto storage = [&](const Bytes& b, char k) {
    std::size_t p = cd + 46;
    while (p + 57 <= b.size() && (std::memcmp(&b[p], "PK\x01\x02", 4) || std::memcmp(&b[p + 46], "full/data/", 10) ||
                                  b[p + 28] != 11 || b[p + 56] != k))
      ++p;
    return p;
  };
  const std::string dict("\x80\x02}", 3), deep = dict + "N" + std::string(100000, '\x85');
  // A FloatStorage tensor of the given dimensions (each a pickle integer) set under key "k", memoised
  // as key 1 and tensor 2.
  const auto text = [](const std::string& t) {
    return "X" + std::string(1, char(t.size())) + std::string(3, '\0') + t;
  };
  const auto tensor = [&](const std::string& dims) {
    return dict + text("k") + "q\x01" "ctorch._utils\n_rebuild_tensor_v2\n((" + text("storage") +
           "ctorch\nFloatStorage\n" + text("0") + text("cpu") + "K\x01tQK" + std::string(1, '\0') + "(" + dims + "t)tRq\x02s";
  };
  std::string dims40k, sets;
  for (int i = 0; i < 40000; ++i) dims40k += "K\x01";
  for (int i = 0; i < 1100; ++i) sets += "h\x01h\x02s";
  const struct {
    const char* variant;  // "": the pickle alone in a fresh archive
    std::string pkl;
    std::function<void(Bytes&)> edit;
    std::string error;
  } cases[] = {
      {"deflate", "", {}, "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member"},
      {"half", "", {}, "teeth: head .pt storage is torch HalfStorage, not torch FloatStorage — refusing to reinterpret it"},
      {"long1", "", {}, "teeth: unsupported pickle opcode 0x8a in head .pt"},
      {"syn0-only", "", {}, "teeth: head .pt lacks 'syn.0.bias'"},
      {"shape-1x1", "", {}, "teeth: head 'cand.2.weight' has shape [16,16,1,1] — not the BlendHead(16) arch"},
      {"dup-nested", "", {}, "teeth: head .pt names 'cand.0.bias' 2 times — ambiguous"},
      {"neg-offset", "", {}, "teeth: head storage 1 offset -1 is negative"},
      {"full", "", [](Bytes& b) { b.erase(b.begin(), b.end() - 21); }, "teeth: head .pt is not a zip"},
      {"full", "", [](Bytes& b) { b[b.size() - 22] = 'Q'; }, "teeth: head .pt has no zip EOCD"},
      {"full", "", [](Bytes& b) { putU16(b, b.size() - 12, 0); }, "teeth: head .pt has no data.pkl"},
      {"full", "", [](Bytes& b) { putU32(b, b.size() - 6, uint32_t(b.size() - 40)); }, "teeth: head .pt central directory is malformed"},
      {"full", "", [&](Bytes& b) { putU16(b, b.size() - 12, 1), putU32(b, b.size() - 6, uint32_t(cd)), putU16(b, cd + 28, 0xffff); },
       "teeth: head .pt central directory is malformed"},  // a name past the end
      {"full", "", [&](Bytes& b) { putU32(b, cd + 42, uint32_t(b.size() - 29)); }, "teeth: head .pt local header out of range"},
      {"full", "", [&](Bytes& b) { putU32(b, cd + 24, 0xffffffffu); }, "teeth: head .pt entry out of range"},
      {"full", "", [&](Bytes& b) { b[cd + 46 + 11] = 'x'; }, "teeth: head .pt has no data.pkl"},  // ".../data.pxl"
      {"full", "", [&](Bytes& b) { b.at(storage(b, '0') + 56) = 'z'; }, "teeth: head storage 0 missing"},
      {"full", "", [&](Bytes& b) { putU32(b, storage(b, '4') + 24, 2); }, "teeth: head storage 4 too small"},  // 4 bytes cut to 2
      {"", dict + "s", {}, "teeth: pickle stack underflow"},
      {"", dict + std::string("(X\x01\x00\x00\x00ks.", 9), {}, "teeth: pickle stack underflow"},  // SETITEM across a mark
      {"", dict + "t.", {}, "teeth: pickle mark stack underflow"},
      {"", dict + "(N" + "u.", {}, "teeth: pickle SETITEMS with an odd item count"},
      {"", dict + "h\x05.", {}, "teeth: pickle BINGET out of range"},
      {"", dict + "r\xff\xff\xff\xff" + "j\xfe\xff\xff\xff.", {}, "teeth: pickle LONG_BINGET out of range"},
      {"", dict + "X\xff\xff\xff\xff", {}, "teeth: pickle truncated"},
      {"", dict + "cos\nsystem", {}, "teeth: pickle truncated"},
      {"", dict + "cos\nsystem\n)R.", {}, "teeth: head .pt calls os system — this reader refuses code it does not model"},
      {"", dict + "NN\x86Q.", {}, "teeth: unexpected persistent id in head .pt"},
      {"", dict + "ctorch._utils\n_rebuild_tensor_v2\n)R.", {}, "teeth: malformed _rebuild_tensor_v2"},
      {"", dict + ".", {}, "teeth: head .pt state_dict is empty"},
      {"", dict + "Z", {}, "teeth: unsupported pickle opcode 0x5a in head .pt"},
      // The largest memo index costs one entry, not a table of four billion.
      {"", dict + "r\xff\xff\xff\xff" + "j\xff\xff\xff\xff" + "0.", {}, "teeth: unsupported pickle opcode 0x30 in head .pt"},
      {"", deep + ".", {}, "teeth: pickle nests tuples too deeply"},  // before they exhaust the stack
      // What a pickle describes is capped before anything is copied: a 40,000-dimension shape set
      // thousands of times asked for gigabytes, from 100 KB.
      {"", tensor(dims40k) + sets + ".", {}, "teeth: head .pt tensor has 40000 dimensions; a head tensor has at most 8"},
      {"", tensor("K\x01K\x01K\x01K\x01K\x01K\x01K\x01K\x01K\x01") + ".", {},
       "teeth: head .pt tensor has 9 dimensions; a head tensor has at most 8"},
      {"", tensor("K\x10K\x07") + sets + ".", {},
       "teeth: head .pt sets more than 1024 tensors \xe2\x80\x94 a blend head has 10; refusing the rest of this state_dict"},
      {"", tensor("J\xff\xff\xff\x7fJ\xff\xff\xff\x7fJ\xff\xff\xff\x7f") + ".", {},
       "teeth: head .pt describes a tensor larger than its whole archive (" + std::to_string(archiveWith(
           tensor("J\xff\xff\xff\x7fJ\xff\xff\xff\x7fJ\xff\xff\xff\x7f") + ".").size() / 4 * 4) + " bytes)"},
      {"", tensor("K\x01J\xff\xff\xff\xff") + ".", {}, "teeth: head .pt tensor dimension -1 is negative"},
  };
  for (const auto& c : cases) {
    Bytes b = *c.variant ? pt(c.variant) : archiveWith(c.pkl);
    if (c.edit) c.edit(b);
    EXPECT_EQ(loadError(b), c.error) << c.variant << c.pkl.substr(0, 40);
  }
}

// Every truncation of data.pkl (its stated size cut) throws.
TEST_F(HeadArchives, EveryTruncatedPickleThrows) {
  const Bytes good = pt("full");
  for (std::size_t k = 0; k < size_; ++k) {
    Bytes b = good;
    putU32(b, central_ + 24, uint32_t(k)), putU32(b, central_ + 20, uint32_t(k));
    EXPECT_THROW(tq::tessera::loadHeadPt(b), std::runtime_error) << k;
  }
}

TEST(HeadConfig, ReadsTheV1SchemaAndRefusesTheRest) {
  const std::string ok = R"({"retrieval": {"kshort": 300.9, "aperture_tol": 0.25, "cut": 40, "K": 12},
                            "temporal": {"hysteresis": 3, "lookahead": -2.7})",
                    r = R"({"temporal": {}, "retrieval": {"aperture_tol": 1, )", envelope = R"(, "decode": {"envelope_clamp_255": )";
  const auto c = tq::tessera::ServeConfig::fromHeadMemberJson(ok + envelope + "12.0000001}}");  // within 1e-6
  EXPECT_TRUE(c.kshort == 300 && c.aperture_tol == 0.25 && c.cut == 40 && c.K == 12 && c.hysteresis == 3 && c.lookahead == -2);
  const std::string badEnvelope =
      "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity";
  const struct {
    std::string text, error;
  } cases[] = {
      {R"({"retrieval": {}})", "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema "
                               "— refusing to serve defaults (W3-01)"},
      {r + R"("kshort": 1, "K": 1}})", "teeth: member JSON lacks key 'cut'"},
      {r + R"("kshort": 1, "cut": 1, "K": "8"}})", "teeth: member JSON key 'K' is not a number"},
      {r + R"("kshort": 1e12, "cut": 1, "K": 8}})", "teeth: head config kshort = 1000000000000 is not an int32"},
      {ok + envelope + "13}}", badEnvelope},
      {ok + envelope + "nan}}", badEnvelope},
  };
  for (const auto& k : cases)
    EXPECT_EQ(tqtest::thrown([&] { tq::tessera::ServeConfig::fromHeadMemberJson(k.text); }), k.error) << k.text;
}

}  // namespace
