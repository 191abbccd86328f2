// Head weights reader: archives written like torch.save by the fixture tool
// (pickle protocol 2, stored ZIP through an unseekable stream) load bit for bit;
// each refusal comes from a real variant; damaged pickles throw and never crash.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tessera/tq_tessera_head.h"
#include "tq_test_util.h"

namespace {

using tq::tessera::HeadWeights;
using tq::tessera::ServeConfig;

const char* const kKeys[10] = {"cand.0.weight", "cand.0.bias", "cand.2.weight", "cand.2.bias",
                               "cand.4.weight", "cand.4.bias", "syn.0.weight",  "syn.0.bias",
                               "syn.2.weight",  "syn.2.bias"};

const std::vector<float>& field(const HeadWeights& w, int i) {
  const std::vector<float>* f[10] = {&w.cand0_w, &w.cand0_b, &w.cand2_w, &w.cand2_b, &w.cand4_w,
                                     &w.cand4_b, &w.syn0_w,  &w.syn0_b,  &w.syn2_w,  &w.syn2_b};
  return *f[i];
}

std::string loadError(const std::vector<uint8_t>& bytes) {
  return tqtest::thrown([&] { tq::tessera::loadHeadPt(bytes); });
}

void putU32(std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}
void putU16(std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v), b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// Offset of the central record naming `name`, searched from `from`.
std::size_t centralOf(const std::vector<uint8_t>& b, std::size_t from, const std::string& name) {
  for (std::size_t p = from; p + 46 + name.size() <= b.size(); ++p)
    if (std::memcmp(&b[p], "PK\x01\x02", 4) == 0 && b[p + 28] == name.size() &&
        std::memcmp(&b[p + 46], name.data(), name.size()) == 0)
      return p;
  ADD_FAILURE() << "no central record " << name;
  return 0;
}

// Bytes of a literal, NULs included.
template <std::size_t N>
std::string bin(const char (&a)[N]) {
  return std::string(a, N - 1);
}

class HeadArchives : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    ASSERT_TRUE(tqtest::runFixtureTool({"teeth-heads", dir_->path()}));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::vector<uint8_t> pt(const std::string& v) { return tqtest::readBytes(*dir_ / (v + ".pt")); }
  // data.pkl's data offset and size, and its central record's offset.
  static void layout(const std::string& v, std::size_t& data, std::size_t& size, std::size_t& central) {
    std::istringstream in(tqtest::readText(*dir_ / (v + "/layout")));
    in >> data >> size >> central;
  }
  static void expectArrays(const HeadWeights& w, const std::string& v, int count) {
    for (int i = 0; i < count; ++i) {
      const std::vector<uint8_t> want = tqtest::readBytes(*dir_ / (v + "/" + kKeys[i] + ".f32"));
      const std::vector<float>& got = field(w, i);
      ASSERT_EQ(got.size() * 4, want.size()) << kKeys[i];
      EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size()), 0) << kKeys[i];
    }
    for (int i = count; i < 10; ++i) EXPECT_TRUE(field(w, i).empty()) << kKeys[i];
  }
  static tqtest::TempDir* dir_;
};
tqtest::TempDir* HeadArchives::dir_ = nullptr;

TEST_F(HeadArchives, LoadsTheWrittenFloatsBitForBit) {
  // "cand.2.bias" views a storage shared with "cand.0.bias" at offset 100;
  // "cand.0.weight" starts with NaN, -0, a denormal and infinity.
  const HeadWeights full = tq::tessera::loadHeadPt(pt("full"));
  EXPECT_EQ(full.params(), 4082u);
  expectArrays(full, "full", 10);
  const HeadWeights cand = tq::tessera::loadHeadPt(pt("cand-only"));
  EXPECT_EQ(cand.params(), 3489u);
  expectArrays(cand, "cand-only", 6);
  // Over 256 memo entries: LONG_BINPUT and LONG_BINGET.
  expectArrays(tq::tessera::loadHeadPt(pt("memo")), "memo", 10);
}

TEST_F(HeadArchives, RefusesWhatItDoesNotModel) {
  const struct {
    const char* variant;
    const char* error;
  } cases[] = {
      {"deflate", "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a "
                  "compressed member"},
      {"half", "teeth: head .pt storage is torch HalfStorage, not torch FloatStorage — refusing to "
               "reinterpret it"},
      {"long1", "teeth: unsupported pickle opcode 0x8a in head .pt"},
      {"syn0-only", "teeth: head .pt lacks 'syn.0.bias'"},
      {"shape-1x1", "teeth: head 'cand.2.weight' has shape [16,16,1,1] — not the BlendHead(16) arch"},
      {"dup-nested", "teeth: head .pt names 'cand.0.bias' 2 times — ambiguous"},
      {"neg-offset", "teeth: head storage 1 offset -1 is negative"},
  };
  for (const auto& c : cases) EXPECT_EQ(loadError(pt(c.variant)), c.error) << c.variant;
}

TEST_F(HeadArchives, RefusesDamagedArchives) {
  const std::vector<uint8_t> good = pt("full");
  std::size_t data, size, central;
  layout("full", data, size, central);
  const std::size_t eocd = good.size() - 22;
  ASSERT_EQ(good[eocd], 'P');
  auto edited = [&](auto&& edit) {
    std::vector<uint8_t> b = good;
    edit(b);
    return loadError(b);
  };
  EXPECT_EQ(loadError(std::vector<uint8_t>(good.end() - 21, good.end())), "teeth: head .pt is not a zip");
  EXPECT_EQ(edited([&](auto& b) { b[eocd] = 'Q'; }), "teeth: head .pt has no zip EOCD");
  EXPECT_EQ(edited([&](auto& b) { putU16(b, eocd + 10, 0); }), "teeth: head .pt has no data.pkl");
  EXPECT_EQ(edited([&](auto& b) { putU32(b, eocd + 16, static_cast<uint32_t>(good.size() - 40)); }),
            "teeth: head .pt central directory is malformed");
  // A name running past the end of the file.
  EXPECT_EQ(edited([&](auto& b) {
              putU16(b, eocd + 10, 1);
              putU32(b, eocd + 16, static_cast<uint32_t>(central));
              putU16(b, central + 28, 0xffff);
            }),
            "teeth: head .pt central directory is malformed");
  EXPECT_EQ(edited([&](auto& b) { putU32(b, central + 42, static_cast<uint32_t>(good.size() - 29)); }),
            "teeth: head .pt local header out of range");
  EXPECT_EQ(edited([&](auto& b) { putU32(b, central + 24, 0xffffffffu); }), "teeth: head .pt entry out of range");
  EXPECT_EQ(edited([&](auto& b) { b[central + 46 + 11] = 'x'; }), "teeth: head .pt has no data.pkl");  // ".../data.pxl"
  // Storage "0" renamed away; storage "4" ("cand.4.bias", 4 bytes) cut to 2.
  EXPECT_EQ(edited([&](auto& b) { b[centralOf(b, central, "full/data/0") + 46 + 10] = 'z'; }),
            "teeth: head storage 0 missing");
  EXPECT_EQ(edited([&](auto& b) { putU32(b, centralOf(b, central, "full/data/4") + 24, 2); }),
            "teeth: head storage 4 too small");
}

// A pickle placed into a fresh stored archive with no storages.
std::vector<uint8_t> archiveWith(const std::string& pkl) {
  std::vector<uint8_t> z(30, 0);
  putU32(z, 0, 0x04034b50);
  putU16(z, 26, 10);
  const std::string name = "a/data.pkl";
  z.insert(z.end(), name.begin(), name.end());
  z.insert(z.end(), pkl.begin(), pkl.end());
  const std::size_t cd = z.size();
  z.resize(cd + 46);
  putU32(z, cd, 0x02014b50);
  putU32(z, cd + 24, static_cast<uint32_t>(pkl.size()));
  putU16(z, cd + 28, 10);
  z.insert(z.end(), name.begin(), name.end());
  const std::size_t e = z.size();
  z.resize(e + 22);
  putU32(z, e, 0x06054b50);
  putU16(z, e + 10, 1);
  putU32(z, e + 16, static_cast<uint32_t>(cd));
  return z;
}

TEST(HeadPickle, MachineRefusals) {
  const std::string dict = std::string("\x80\x02}", 3);
  const struct {
    std::string pkl;
    const char* error;
  } cases[] = {
      {dict + "s", "teeth: pickle stack underflow"},
      {dict + bin("(X\x01\x00\x00\x00k") + "s.", "teeth: pickle stack underflow"},  // SETITEM across a mark
      {dict + "t.", "teeth: pickle mark stack underflow"},
      {dict + "u.", "teeth: pickle mark stack underflow"},
      {dict + "(N" + "u.", "teeth: pickle SETITEMS with an odd item count"},
      {dict + "h\x05.", "teeth: pickle BINGET out of range"},
      {dict + "r\xff\xff\xff\xff" + "j\xfe\xff\xff\xff.", "teeth: pickle LONG_BINGET out of range"},
      {dict + "X\xff\xff\xff\xff", "teeth: pickle truncated"},
      {dict + "cos\nsystem", "teeth: pickle truncated"},
      {dict + "cos\nsystem\n)R.", "teeth: head .pt calls os system — this reader refuses code it does not model"},
      {dict + "NN\x86Q.", "teeth: unexpected persistent id in head .pt"},
      {dict + "ctorch._utils\n_rebuild_tensor_v2\n)R.", "teeth: malformed _rebuild_tensor_v2"},
      {dict + ".", "teeth: head .pt state_dict is empty"},
      {std::string("\x80\x02", 2) + std::string(100, '\x85'), "teeth: pickle stack underflow"},
      {dict + "Z", "teeth: unsupported pickle opcode 0x5a in head .pt"},
  };
  for (const auto& c : cases) EXPECT_EQ(loadError(archiveWith(c.pkl)), c.error) << c.pkl;

  // The largest memo index costs one entry, not a table of four billion.
  EXPECT_EQ(loadError(archiveWith(dict + "r\xff\xff\xff\xff" + "j\xff\xff\xff\xff" + "0.")),
            "teeth: unsupported pickle opcode 0x30 in head .pt");
  // Tuples nested without bound are refused before they exhaust the stack.
  std::string deep = dict + "N";
  for (int i = 0; i < 100000; ++i) deep += "\x85";
  EXPECT_EQ(loadError(archiveWith(deep + ".")), "teeth: pickle nests tuples too deeply");
}

TEST_F(HeadArchives, DamagedPicklesThrowAndNeverCrash) {
  const std::vector<uint8_t> good = pt("full");
  std::size_t data, size, central;
  layout("full", data, size, central);
  // Every truncation of data.pkl (its stated size cut).
  for (std::size_t k = 0; k < size; ++k) {
    std::vector<uint8_t> b = good;
    putU32(b, central + 24, static_cast<uint32_t>(k));
    putU32(b, central + 20, static_cast<uint32_t>(k));
    EXPECT_THROW(tq::tessera::loadHeadPt(b), std::runtime_error) << k;
  }
  // Seeded byte flips: load or throw.
  std::mt19937 rng(20261206);
  int loaded = 0;
  for (int i = 0; i < 2000; ++i) {
    std::vector<uint8_t> b = good;
    b[data + rng() % size] ^= static_cast<uint8_t>(1 + rng() % 255);
    try {
      loaded += tq::tessera::loadHeadPt(b).params() == 4082;
    } catch (const std::runtime_error&) {
    }
  }
  EXPECT_LT(loaded, 2000);
}

TEST(HeadConfig, ReadsTheV1Schema) {
  const std::string ok =
      R"({"retrieval": {"kshort": 300.9, "aperture_tol": 0.25, "cut": 40, "K": 12},
          "temporal": {"hysteresis": 3, "lookahead": -2.7}})";
  const ServeConfig c = ServeConfig::fromHeadMemberJson(ok);
  EXPECT_EQ(c.kshort, 300);
  EXPECT_EQ(c.aperture_tol, 0.25);
  EXPECT_EQ(c.cut, 40);
  EXPECT_EQ(c.K, 12);
  EXPECT_EQ(c.hysteresis, 3);
  EXPECT_EQ(c.lookahead, -2);
  EXPECT_EQ(c.teeth_luma_floor, 100.0);
  EXPECT_EQ(c.teeth_chroma_ceiling, 25.0);
  EXPECT_EQ(c.min_teeth_pixels, 32);
  EXPECT_EQ(c.weight_decay, 0.6);
  EXPECT_EQ(c.lookahead_enabled, 1);
  EXPECT_NO_THROW(ServeConfig::fromHeadMemberJson(
      ok.substr(0, ok.size() - 1) + R"(, "decode": {"envelope_clamp_255": 12.0000001}})"));

  const std::string envelope =
      "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated "
      "quantity";
  const struct {
    std::string text, error;
  } cases[] = {
      {R"({"retrieval": {}})", "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of "
                               "the v1 schema — refusing to serve defaults (W3-01)"},
      {R"({"retrieval": {"kshort": 1, "aperture_tol": 1, "K": 1}, "temporal": {}})",
       "teeth: member JSON lacks key 'cut'"},
      {R"({"retrieval": {"kshort": 1, "aperture_tol": 1, "cut": 1, "K": "8"}, "temporal": {}})",
       "teeth: member JSON key 'K' is not a number"},
      {R"({"retrieval": {"kshort": 1e12, "aperture_tol": 1, "cut": 1, "K": 8}, "temporal": {}})",
       "teeth: head config kshort = 1000000000000 is not an int32"},
      {ok.substr(0, ok.size() - 1) + R"(, "decode": {"envelope_clamp_255": 13}})", envelope},
      {ok.substr(0, ok.size() - 1) + R"(, "decode": {"envelope_clamp_255": nan}})", envelope},
      {ok.substr(0, ok.size() - 1) + R"(, "decode": {"envelope_clamp_255": "12"}})", envelope},
  };
  for (const auto& k : cases) EXPECT_EQ(tqtest::thrown([&] { ServeConfig::fromHeadMemberJson(k.text); }), k.error);
}

}  // namespace
