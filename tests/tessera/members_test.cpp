// Teeth members on real bundles written by the fixture tool: every refusal with its
// whole text through the C entry point, the carriage scan, and the loaded values
// and donor reorder against what Python wrote.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tessera/tq_bundle_tessera.h"
#include "tq/tq.h"
#include "tq_test_util.h"

namespace {

const std::string kPredicate =
    ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; any missing = "
    "REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no rendering mode that proceeds "
    "without them (brevane-2 IS borrowed teeth). Re-stage the bundle with the bank builder.";
std::string stamp(const char* pad) {
  return std::string("{canvas_w=64, canvas_h=64, window_x0=12, window_y0=30, window_w=40, window_h=24, pad=") + pad +
         ", band_r0=4, band_r1=20, band_c0=4, band_c1=36, shift_margin=4}";
}

// Each bundle: its fixture-tool switches (all but "ok" with a placeholder track) and the
// refusal it earns ("" when it loads). $D stands for the bundle directory, $P for its sidecar.
const struct Bundle {
  const char* name;
  const char* args;
  std::string refusal;
} kBundles[] = {
    {"ok", "", ""},
    {"meta", R"("--meta-json")", ""},
    {"override", R"("--member-name", "head_weights=weights/alt.pt")", ""},
    {"n_1024", R"("--n-donors", "1024")", ""},
    {"manifest_pix_fmt", R"("--sidecar-set", "{\"codec\": null}", "--tessera-set", "{\"bank_pix_fmt\": \"rgb24\"}")", ""},
    {"three", R"("--drop", "head_config")", "missing teeth member(s): head_config ($D/tessera_head.v1.json) — carries 3 "
                                            "of 4 and declares a manifest.tessera block the members do not keep" + kPredicate},
    {"two_undeclared", R"("--no-tessera-block", "--drop", "bank_track", "--drop", "head_weights")",
     "missing teeth member(s): bank_track ($D/tessera_bank.v1.mp4), head_weights ($D/tessera_head.v1.pt) — carries "
     "2 of 4" + kPredicate},
    {"no_manifest", R"("--no-manifest")", "$D carries no manifest.json or meta.json — the compose descriptor "
     "(unified.pi) the pass places its window by lives there, and placing a borrow window without it is guessing."},
    {"manifest_bad", R"("--manifest-raw", "[1,")", "teeth: $D/manifest.json is not readable JSON: teeth: JSON truncated"},
    {"sidecar_bad", R"("--sidecar-raw", "{\"format\": tru}")", "teeth: $P is not readable JSON: teeth: bad JSON number"},
    {"format_v2", R"("--sidecar-set", "{\"format\": \"tessera_bank.v2\"}")", "$P declares format 'tessera_bank.v2', "
     "not 'tessera_bank.v1' — this reader does not know that generation and will not guess at its keys."},
    {"no_geometry", R"("--sidecar-set", "{\"geometry\": null}")", "$P carries no `geometry` stamp"},
    {"stamp_text", R"("--stamp-set", "{\"pad\": \"4\"}")", "teeth: $P.geometry lacks numeric 'pad'"},
    {"stamp_huge", R"("--stamp-set", "{\"band_c1\": 1e10}")", "teeth: $P.geometry.band_c1 = 10000000000 is not an int32"},
    {"pad_differs", R"("--manifest-stamp-set", "{\"pad\": 5}")", "teeth geometry DISAGREES between the manifest and "
     "the bank sidecar — manifest " + stamp("5") + " vs $P " + stamp("4") + "; refusing to place a window on a "
     "rectangle the two halves of the bundle do not agree on."},
    {"patch_negative", R"("--stamp-set", "{\"band_c0\": 20, \"band_c1\": 4, \"shift_margin\": 0}")",
     "teeth stamp yields a non-positive stored patch (-16x16)"},
    {"patch_wraps", R"("--stamp-set", "{\"band_c0\": -2147483648, \"band_c1\": 2147483647, \"shift_margin\": 0}")",
     "teeth stamp yields an oversized stored patch (4294967295x16)"},
    {"n_zero", R"("--sidecar-set", "{\"n_donors\": 0}")", "$P says n_donors=0"},
    {"n_text", R"("--sidecar-set", "{\"n_donors\": \"8\"}")", "teeth: $P lacks numeric 'n_donors'"},
    {"n_1025", R"("--n-donors", "1025")", "$P carries n_donors=1025, over the owner's cap of 1024 (ruling 2026-08-28). "
     "This reader REFUSES rather than capping: the selector is the bank's BUILD-time cap selector, and a second one "
     "here would change which donors reach the mouth while every count-based check stayed green. Rebuild the bank."},
    {"no_cent", R"("--sidecar-set", "{\"cent\": null}")", "$P lacks one of track_order/cent/aperture/c_canon as an array"},
    {"count", R"("--sidecar-set", "{\"aperture\": [0.5]}")", "$P says n_donors=8 but carries track_order=8, cent=8, "
     "aperture=1 — a count mismatch silently mis-orders the donors."},
    {"canon3", R"("--sidecar-set", "{\"c_canon\": [1, 2, 3]}")", "$P c_canon is not a pair"},
    {"order_dup", R"("--n-donors", "3", "--sidecar-set", "{\"track_order\": [1, 1, 0]}")", "$P track_order is not a "
     "permutation (reference 1 appears twice) — the inverse permutation would leave a reference slot never written "
     "and the pass would blend uninitialised memory into a real mouth."},
    {"order_out", R"("--n-donors", "2", "--sidecar-set", "{\"track_order\": [0, 3]}")", "$P track_order[1]=3 is outside [0,2)"},
    {"order_text", R"("--n-donors", "2", "--sidecar-set", "{\"track_order\": [0, \"1\"]}")",
     "$P track_order[1] is not a finite number"},
    {"cent_text", R"("--n-donors", "2", "--sidecar-set", "{\"cent\": [[1, 2], [3, \"4\"]]}")", "$P cent[1] is not an (x,y) pair"},
    {"aperture_null", R"("--n-donors", "2", "--sidecar-set", "{\"aperture\": [0.5, null]}")",
     "$P aperture[1] is not a finite number"},
    {"no_pix_fmt", R"("--sidecar-set", "{\"codec\": null}")", "$P: neither manifest.tessera.bank_pix_fmt nor "
     "$P.codec.pix_fmt states the reference track's pixel format. A decoder handed no format negotiates one, and the "
     "one it settles on is 4:2:0 — lossy chroma on reference pixels IS the borrow degrading. Refusing rather than "
     "letting it guess."},
};

class TesseraMembers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    std::string plan;
    for (const Bundle& b : kBundles) {
      const std::string args = *b.args ? std::string(b.args) + ", \"--fake-track\"" : "\"--oracle\", \"" + *dir_ / "oracle\"";
      plan += std::string(plan.empty() ? "{\"" : ", \"") + b.name + "\": [" + args + "]";
    }
    ASSERT_TRUE(tqtest::runFixtureTool({"teeth-bundles", dir_->path(), plan + "}"}));
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string D(const std::string& name) { return *dir_ / name; }
  static tqtest::TempDir* dir_;
};
tqtest::TempDir* TesseraMembers::dir_ = nullptr;

std::string subst(std::string s, const std::string& dir) {
  for (std::size_t p; (p = s.find("$P")) != std::string::npos;) s.replace(p, 2, dir + "/tessera_bank.v1.json");
  for (std::size_t p; (p = s.find("$D")) != std::string::npos;) s.replace(p, 2, dir);
  return s;
}

TEST_F(TesseraMembers, EveryBundleLoadsOrIsRefusedWithItsWholeText) {
  for (const Bundle& b : kBundles) {
    char err[4096] = "";
    tq_tessera_members* m = tq_tessera_members_open(D(b.name).c_str(), err, sizeof err);
    EXPECT_EQ(m == nullptr, !b.refusal.empty()) << b.name;
    EXPECT_EQ(std::string(err), subst(b.refusal, D(b.name))) << b.name;
    tq_tessera_members_close(m);
  }
  const tq::TesseraAttachInputs in = tq::loadTesseraMembers(D("manifest_pix_fmt"));
  EXPECT_EQ(in.bank_pix_fmt + "|" + in.bank_codec, "rgb24|");
}

TEST_F(TesseraMembers, CarriageReportsWhatIsThere) {
  const tq::TesseraCarriage three = tq::tesseraCarriage(D("three"));
  EXPECT_TRUE(!three.complete && three.declared);
  EXPECT_EQ(three.missing, std::vector<std::string>{"head_config"});
  EXPECT_EQ(three.planes, (std::vector<std::string>{"rt", "offline"}));  // 7 is not a string
  try {
    tq::requireTesseraMembers(three);
    ADD_FAILURE() << "no refusal";
  } catch (const tq::MissingTesseraMember& e) {
    EXPECT_EQ(e.missing(), three.missing);
  }
  EXPECT_FALSE(tq::tesseraCarriage(D("two_undeclared")).declared);
  EXPECT_FALSE(tq::tesseraCarriage(D("manifest_bad")).declared);  // unparseable declares nothing

  // A members override moves its slot's path; the others keep their default names.
  tq_tessera_carriage* c = tq_tessera_carriage_open(D("override").c_str());
  EXPECT_TRUE(tq_tessera_carriage_complete(c) && tq_tessera_carriage_declared(c) && !tq_tessera_carriage_missing_count(c));
  EXPECT_EQ(std::string(tq_tessera_carriage_path(c, "head_weights")), D("override") + "/weights/alt.pt");
  EXPECT_EQ(std::string(tq_tessera_carriage_path(c, "bank_sidecar")), D("override") + "/tessera_bank.v1.json");
  EXPECT_STREQ(tq_tessera_carriage_path(c, "nope"), "");
  tq_tessera_carriage_close(c);
  c = tq_tessera_carriage_open((D("none") + "/absent").c_str());  // every slot missing, in slot order
  EXPECT_FALSE(tq_tessera_carriage_complete(c));
  ASSERT_EQ(tq_tessera_carriage_missing_count(c), 4);
  for (int i = 0; i < 5; ++i) EXPECT_STREQ(tq_tessera_carriage_missing(c, i), tq_tessera_slot_key(i));  // null at 4
  tq_tessera_carriage_close(c);
  EXPECT_TRUE(!strcmp(tq_tessera_slot_key(2), "head_weights") && !tq_tessera_slot_key(-1));
}

TEST_F(TesseraMembers, LoadsWhatTheBankBuilderWrote) {
  char err[512] = "";
  tq_tessera_members* m = tq_tessera_members_open(D("ok").c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  std::istringstream vs(tqtest::readText(*dir_ / "oracle/sidecar.txt"));  // Python's repr round-trips exactly
  std::vector<double> v;
  for (double x; vs >> x;) v.push_back(x);
  const int n = tq_tessera_members_n_donors(m);
  ASSERT_EQ(v.size(), 4u * n + 3);
  std::vector<double> got = {double(n)};
  got.insert(got.end(), v.begin() + 1, v.begin() + 1 + n);  // the track order: checked by the reorder below
  got.insert(got.end(), tq_tessera_members_cent(m), tq_tessera_members_cent(m) + 2 * n);
  got.insert(got.end(), tq_tessera_members_aperture(m), tq_tessera_members_aperture(m) + n);
  got.insert(got.end(), tq_tessera_members_c_canon(m), tq_tessera_members_c_canon(m) + 2);
  EXPECT_EQ(got, v);
  // The stamp in key order; the stored patch is the band plus the margin on each side.
  EXPECT_EQ(std::vector<int32_t>(tq_tessera_members_stamp(m), tq_tessera_members_stamp(m) + 12),
            (std::vector<int32_t>{64, 64, 12, 30, 40, 24, 4, 4, 20, 4, 36, 4}));
  EXPECT_TRUE(tq_tessera_members_band_w(m) == 40 && tq_tessera_members_band_h(m) == 24);
  EXPECT_EQ(tq_tessera_members_band_bytes(m), 8u * 40 * 24 * 3);
  EXPECT_EQ(std::string(tq_tessera_members_bank_container(m)) + " " + tq_tessera_members_bank_packing(m) + " " +
                tq_tessera_members_bank_codec(m) + " " + tq_tessera_members_bank_pix_fmt(m),
            "mp4 rgb24_frames h264 gbrp");
  EXPECT_EQ(std::string(tq_tessera_members_bank_track_path(m)), D("ok") + "/tessera_bank.v1.mp4");
  EXPECT_EQ(std::string(tq_tessera_members_manifest_json(m)), tqtest::readText(D("ok") + "/manifest.json"));
  EXPECT_EQ(std::string(tq_tessera_members_head_json(m)), tqtest::readText(D("ok") + "/tessera_head.v1.json"));
  const std::vector<uint8_t> pt = tqtest::readBytes(D("ok") + "/tessera_head.v1.pt");
  EXPECT_EQ(std::vector<uint8_t>(tq_tessera_members_head_pt(m), tq_tessera_members_head_pt(m) +
                                                                     tq_tessera_members_head_pt_len(m)), pt);

  // Reordering the track into donor order gives numpy's donor array.
  const std::vector<uint8_t> track = tqtest::readBytes(*dir_ / "oracle/track.rgb");
  std::vector<uint8_t> out(track.size(), 0);
  ASSERT_EQ(track.size(), tq_tessera_members_band_bytes(m));
  EXPECT_EQ(tq_tessera_members_reorder(m, track.data(), out.data(), err, sizeof err), 0);
  EXPECT_TRUE(out == tqtest::readBytes(*dir_ / "oracle/donor.rgb"));
  EXPECT_EQ(tq_tessera_members_reorder(m, nullptr, out.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "tq_tessera_members_reorder: null argument");
  // The library's own decode of the track lands in donor order too.
  std::fill(out.begin(), out.end(), 0);
  EXPECT_EQ(tq_tessera_members_read_bank(m, out.data(), err, sizeof err), 0) << err;
  EXPECT_TRUE(out == tqtest::readBytes(*dir_ / "oracle/donor.rgb") && !*tq_last_error());
  tq_tessera_members_close(m);
  ASSERT_NE(m = tq_tessera_members_open(D("meta").c_str(), err, sizeof err), nullptr) << err;
  EXPECT_EQ(tq_tessera_members_read_bank(m, out.data(), err, sizeof err), 1);
  const std::string placeholder = "tq_tessera_members_read_bank: reference bank track is not a readable container — "
                                  "refusing to serve";
  EXPECT_EQ(std::make_pair(std::string(err), std::string(tq_last_error())), std::make_pair(placeholder, placeholder));
  EXPECT_EQ(tq_tessera_members_read_bank(m, nullptr, err, sizeof err), 1);
  EXPECT_STREQ(err, "tq_tessera_members_read_bank: null argument");
  tq_tessera_members_close(m);
  tq::TesseraAttachInputs in = tq::loadTesseraMembers(D("ok"));
  in.track_order.pop_back();
  EXPECT_EQ(tqtest::thrown([&] { tq::reorderTrackToDonor(in, track.data(), out.data()); }),
            "teeth: track_order does not match n_donors");
}

TEST(TesseraMembersNull, NullArgumentsAreRefusedOrYieldEmptyResults) {
  char err[64];
  EXPECT_EQ(tq_tessera_members_open(nullptr, err, sizeof err), nullptr);
  EXPECT_STREQ(err, "tq_tessera_members_open: null bundle_dir");
  EXPECT_EQ(tq_tessera_members_reorder(nullptr, nullptr, nullptr, err, sizeof err), 1);
  EXPECT_TRUE(!tq_tessera_carriage_open(nullptr) && !tq_tessera_carriage_missing(nullptr, 0) &&
              !tq_tessera_members_cent(nullptr) && !tq_tessera_members_head_pt(nullptr) &&
              tq_tessera_members_n_donors(nullptr) == 0 && !*tq_tessera_carriage_path(nullptr, "bank_track"));
  tq_tessera_members_close(nullptr);
}

}  // namespace
