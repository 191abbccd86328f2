// Head weights: archives written like torch.save by the fixture tool (pickle protocol 2,
// stored ZIP through an unseekable stream) load bit for bit; every refusal comes from a
// real variant, a damaged copy or a hand-made pickle; damage throws and never crashes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tessera/tq_tessera_head.h"
#include "tq_test_util.h"

namespace {

using tq::tessera::HeadWeights;
using Bytes = std::vector<uint8_t>;

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

// Each refusal from a variant the fixture tool wrote, or from "full" with an edit.
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
  const struct {
    const char* variant;
    std::function<void(Bytes&)> edit;
    const char* error;
  } cases[] = {
      {"deflate", {}, "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member"},
      {"half", {}, "teeth: head .pt storage is torch HalfStorage, not torch FloatStorage — refusing to reinterpret it"},
      {"long1", {}, "teeth: unsupported pickle opcode 0x8a in head .pt"},
      {"syn0-only", {}, "teeth: head .pt lacks 'syn.0.bias'"},
      {"shape-1x1", {}, "teeth: head 'cand.2.weight' has shape [16,16,1,1] — not the BlendHead(16) arch"},
      {"dup-nested", {}, "teeth: head .pt names 'cand.0.bias' 2 times — ambiguous"},
      {"neg-offset", {}, "teeth: head storage 1 offset -1 is negative"},
      {"full", [](Bytes& b) { b.erase(b.begin(), b.end() - 21); }, "teeth: head .pt is not a zip"},
      {"full", [](Bytes& b) { b[b.size() - 22] = 'Q'; }, "teeth: head .pt has no zip EOCD"},
      {"full", [](Bytes& b) { putU16(b, b.size() - 12, 0); }, "teeth: head .pt has no data.pkl"},
      {"full", [](Bytes& b) { putU32(b, b.size() - 6, uint32_t(b.size() - 40)); }, "teeth: head .pt central directory is malformed"},
      {"full", [&](Bytes& b) { putU16(b, b.size() - 12, 1), putU32(b, b.size() - 6, uint32_t(cd)), putU16(b, cd + 28, 0xffff); },
       "teeth: head .pt central directory is malformed"},  // a name past the end
      {"full", [&](Bytes& b) { putU32(b, cd + 42, uint32_t(b.size() - 29)); }, "teeth: head .pt local header out of range"},
      {"full", [&](Bytes& b) { putU32(b, cd + 24, 0xffffffffu); }, "teeth: head .pt entry out of range"},
      {"full", [&](Bytes& b) { b[cd + 46 + 11] = 'x'; }, "teeth: head .pt has no data.pkl"},  // ".../data.pxl"
      {"full", [&](Bytes& b) { b.at(storage(b, '0') + 56) = 'z'; }, "teeth: head storage 0 missing"},
      {"full", [&](Bytes& b) { putU32(b, storage(b, '4') + 24, 2); }, "teeth: head storage 4 too small"},  // 4 bytes cut to 2
  };
  for (const auto& c : cases) {
    Bytes b = pt(c.variant);
    if (c.edit) c.edit(b);
    EXPECT_EQ(loadError(b), c.error) << c.variant;
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

TEST(HeadPickle, MachineRefusals) {
  const std::string dict("\x80\x02}", 3), deep = dict + "N" + std::string(100000, '\x85');
  const struct {
    std::string pkl;
    const char* error;
  } cases[] = {
      {dict + "s", "teeth: pickle stack underflow"},
      {dict + std::string("(X\x01\x00\x00\x00ks.", 9), "teeth: pickle stack underflow"},  // SETITEM across a mark
      {dict + "t.", "teeth: pickle mark stack underflow"},
      {dict + "(N" + "u.", "teeth: pickle SETITEMS with an odd item count"},
      {dict + "h\x05.", "teeth: pickle BINGET out of range"},
      {dict + "r\xff\xff\xff\xff" + "j\xfe\xff\xff\xff.", "teeth: pickle LONG_BINGET out of range"},
      {dict + "X\xff\xff\xff\xff", "teeth: pickle truncated"},
      {dict + "cos\nsystem", "teeth: pickle truncated"},
      {dict + "cos\nsystem\n)R.", "teeth: head .pt calls os system — this reader refuses code it does not model"},
      {dict + "NN\x86Q.", "teeth: unexpected persistent id in head .pt"},
      {dict + "ctorch._utils\n_rebuild_tensor_v2\n)R.", "teeth: malformed _rebuild_tensor_v2"},
      {dict + ".", "teeth: head .pt state_dict is empty"},
      {dict + "Z", "teeth: unsupported pickle opcode 0x5a in head .pt"},
      // The largest memo index costs one entry, not a table of four billion.
      {dict + "r\xff\xff\xff\xff" + "j\xff\xff\xff\xff" + "0.", "teeth: unsupported pickle opcode 0x30 in head .pt"},
      {deep + ".", "teeth: pickle nests tuples too deeply"},  // before they exhaust the stack
  };
  for (const auto& c : cases) EXPECT_EQ(loadError(archiveWith(c.pkl)), c.error) << c.pkl.substr(0, 40);
}

// Every truncation of data.pkl (its stated size cut) throws; seeded byte flips load or throw.
TEST_F(HeadArchives, DamagedPicklesThrowAndNeverCrash) {
  const Bytes good = pt("full");
  for (std::size_t k = 0; k < size_; ++k) {
    Bytes b = good;
    putU32(b, central_ + 24, uint32_t(k)), putU32(b, central_ + 20, uint32_t(k));
    EXPECT_THROW(tq::tessera::loadHeadPt(b), std::runtime_error) << k;
  }
  std::mt19937 rng(20261206);
  for (int i = 0; i < 2000; ++i) {
    Bytes b = good;
    b[data_ + rng() % size_] ^= static_cast<uint8_t>(1 + rng() % 255);
    try {
      tq::tessera::loadHeadPt(b);
    } catch (const std::runtime_error&) {
    }
  }
}

TEST(HeadConfig, ReadsTheV1SchemaAndRefusesTheRest) {
  const std::string ok = R"({"retrieval": {"kshort": 300.9, "aperture_tol": 0.25, "cut": 40, "K": 12},
                            "temporal": {"hysteresis": 3, "lookahead": -2.7})",
                    r = R"({"temporal": {}, "retrieval": {"aperture_tol": 1, )", envelope = R"(, "decode": {"envelope_clamp_255": )";
  const auto c = tq::tessera::ServeConfig::fromHeadMemberJson(ok + envelope + "12.0000001}}");
  EXPECT_EQ(std::vector<double>({double(c.kshort), c.aperture_tol, double(c.cut), double(c.K), double(c.hysteresis),
                                 double(c.lookahead)}),
            std::vector<double>({300, 0.25, 40, 12, 3, -2}));
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
