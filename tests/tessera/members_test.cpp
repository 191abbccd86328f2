// Teeth members: the carriage scan, the member loader's refusals on real
// bundles (whole texts), overrides, the C functions and the donor reorder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tessera/tq_bundle_tessera.h"
#include "tq/tq.h"
#include "tq_test_util.h"

namespace {

const char* const kPredicate =
    ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; "
    "any missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no "
    "rendering mode that proceeds without them (brevane-2 IS borrowed teeth). Re-stage the bundle "
    "with the bank builder.";

// Every bundle the tests use, written by one run of the fixture tool.
const std::map<std::string, std::string>& bundleSwitches() {
  static const std::map<std::string, std::string> switches = {
      {"ok", R"(["--oracle", "ORACLE"])"},
      {"meta", R"(["--meta-json", "--fake-track"])"},
      {"three", R"(["--drop", "head_config", "--fake-track"])"},
      {"two_undeclared", R"(["--no-tessera-block", "--drop", "bank_track", "--drop", "head_weights"])"},
      {"override", R"(["--member-name", "head_weights=weights/alt.pt", "--fake-track"])"},
      {"no_manifest", R"(["--no-manifest", "--fake-track"])"},
      {"manifest_bad", R"(["--manifest-raw", "[1,", "--fake-track"])"},
      {"sidecar_bad", R"(["--sidecar-raw", "{\"format\": tru}", "--fake-track"])"},
      {"format_v2", R"(["--sidecar-set", "{\"format\": \"tessera_bank.v2\"}", "--fake-track"])"},
      {"format_none", R"(["--sidecar-set", "{\"format\": null}", "--fake-track"])"},
      {"no_geometry", R"(["--sidecar-set", "{\"geometry\": null}", "--fake-track"])"},
      {"stamp_text", R"(["--stamp-set", "{\"pad\": \"4\"}", "--fake-track"])"},
      {"stamp_huge", R"(["--stamp-set", "{\"band_c1\": 1e10}", "--fake-track"])"},
      {"pad_differs", R"(["--manifest-stamp-set", "{\"pad\": 5}", "--fake-track"])"},
      {"patch_negative",
       R"(["--stamp-set", "{\"band_c0\": 20, \"band_c1\": 4, \"shift_margin\": 0}", "--fake-track"])"},
      {"patch_wraps",
       R"(["--stamp-set", "{\"band_c0\": -2147483648, \"band_c1\": 2147483647, \"shift_margin\": 0}", "--fake-track"])"},
      {"n_zero", R"(["--sidecar-set", "{\"n_donors\": 0}", "--fake-track"])"},
      {"n_text", R"(["--sidecar-set", "{\"n_donors\": \"8\"}", "--fake-track"])"},
      {"n_1024", R"(["--n-donors", "1024", "--fake-track"])"},
      {"n_1025", R"(["--n-donors", "1025", "--fake-track"])"},
      {"no_cent", R"(["--sidecar-set", "{\"cent\": null}", "--fake-track"])"},
      {"count", R"(["--sidecar-set", "{\"aperture\": [0.5]}", "--fake-track"])"},
      {"canon3", R"(["--sidecar-set", "{\"c_canon\": [1, 2, 3]}", "--fake-track"])"},
      {"order_dup", R"(["--n-donors", "3", "--sidecar-set", "{\"track_order\": [1, 1, 0]}", "--fake-track"])"},
      {"order_out", R"(["--n-donors", "2", "--sidecar-set", "{\"track_order\": [0, 3]}", "--fake-track"])"},
      {"order_text", R"(["--n-donors", "2", "--sidecar-set", "{\"track_order\": [0, \"1\"]}", "--fake-track"])"},
      {"cent_short", R"(["--n-donors", "2", "--sidecar-set", "{\"cent\": [[1, 2], [3]]}", "--fake-track"])"},
      {"cent_text", R"(["--n-donors", "2", "--sidecar-set", "{\"cent\": [[1, 2], [3, \"4\"]]}", "--fake-track"])"},
      {"aperture_null", R"(["--n-donors", "2", "--sidecar-set", "{\"aperture\": [0.5, null]}", "--fake-track"])"},
      {"no_pix_fmt", R"(["--sidecar-set", "{\"codec\": null}", "--fake-track"])"},
      {"manifest_pix_fmt",
       R"(["--sidecar-set", "{\"codec\": null}", "--tessera-set", "{\"bank_pix_fmt\": \"rgb24\"}", "--fake-track"])"},
  };
  return switches;
}

class TesseraMembers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    std::string plan = "{";
    for (const auto& kv : bundleSwitches()) {
      std::string args = kv.second;
      const std::size_t o = args.find("ORACLE");
      if (o != std::string::npos) args.replace(o, 6, *dir_ / "oracle");
      plan += (plan.size() > 1 ? ", \"" : "\"") + kv.first + "\": " + args;
    }
    ASSERT_TRUE(tqtest::runFixtureTool({"teeth-bundles", dir_->path(), plan + "}"}));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string D(const std::string& name) { return *dir_ / name; }
  static std::string loadError(const std::string& name) {
    return tqtest::thrown([&] { tq::loadTesseraMembers(D(name)); });
  }
  static tqtest::TempDir* dir_;
};
tqtest::TempDir* TesseraMembers::dir_ = nullptr;

std::string subst(std::string s, const std::string& dir) {
  for (const auto& [k, v] : std::map<std::string, std::string>{
           {"$P", dir + "/tessera_bank.v1.json"}, {"$D", dir}}) {
    for (std::size_t p; (p = s.find(k)) != std::string::npos;) s.replace(p, k.size(), v);
  }
  return s;
}

TEST_F(TesseraMembers, RefusalsNameWhatIsWrong) {
  const std::string stamp =
      "{canvas_w=64, canvas_h=64, window_x0=12, window_y0=30, window_w=40, window_h=24, pad=P, "
      "band_r0=4, band_r1=20, band_c0=4, band_c1=36, shift_margin=4}";
  auto stampWith = [&](const char* pad) {
    std::string s = stamp;
    s.replace(s.find("pad=P") + 4, 1, pad);
    return s;
  };
  const struct {
    const char* bundle;
    std::string expected;
  } cases[] = {
      {"three", std::string("missing teeth member(s): head_config ($D/tessera_head.v1.json) — carries 3 of 4 "
                            "and declares a manifest.tessera block the members do not keep") + kPredicate},
      {"two_undeclared", std::string("missing teeth member(s): bank_track ($D/tessera_bank.v1.mp4), "
                                     "head_weights ($D/tessera_head.v1.pt) — carries 2 of 4") + kPredicate},
      {"no_manifest", "$D carries no manifest.json or meta.json — the compose descriptor (unified.pi) the pass "
                      "places its window by lives there, and placing a borrow window without it is guessing."},
      {"manifest_bad", "teeth: $D/manifest.json is not readable JSON: teeth: JSON truncated"},
      {"sidecar_bad", "teeth: $P is not readable JSON: teeth: bad JSON number"},
      {"format_v2", "$P declares format 'tessera_bank.v2', not 'tessera_bank.v1' — this reader does not know "
                    "that generation and will not guess at its keys."},
      {"format_none", "$P declares format '', not 'tessera_bank.v1' — this reader does not know that "
                      "generation and will not guess at its keys."},
      {"no_geometry", "$P carries no `geometry` stamp"},
      {"stamp_text", "teeth: $P.geometry lacks numeric 'pad'"},
      {"stamp_huge", "teeth: $P.geometry.band_c1 = 10000000000 is not an int32"},
      {"pad_differs", "teeth geometry DISAGREES between the manifest and the bank sidecar — manifest " +
                          stampWith("5") + " vs $P " + stampWith("4") +
                          "; refusing to place a window on a rectangle the two halves of the bundle do "
                          "not agree on."},
      {"patch_negative", "teeth stamp yields a non-positive stored patch (-16x16)"},
      {"patch_wraps", "teeth stamp yields an oversized stored patch (4294967295x16)"},
      {"n_zero", "$P says n_donors=0"},
      {"n_text", "teeth: $P lacks numeric 'n_donors'"},
      {"n_1025", "$P carries n_donors=1025, over the owner's cap of 1024 (ruling 2026-08-28). This reader "
                 "REFUSES rather than capping: the selector is the bank's BUILD-time cap selector, and a "
                 "second one here would change which donors reach the mouth while every count-based check "
                 "stayed green. Rebuild the bank."},
      {"no_cent", "$P lacks one of track_order/cent/aperture/c_canon as an array"},
      {"count", "$P says n_donors=8 but carries track_order=8, cent=8, aperture=1 — a count mismatch "
                "silently mis-orders the donors."},
      {"canon3", "$P c_canon is not a pair"},
      {"order_dup", "$P track_order is not a permutation (reference 1 appears twice) — the inverse "
                    "permutation would leave a reference slot never written and the pass would blend "
                    "uninitialised memory into a real mouth."},
      {"order_out", "$P track_order[1]=3 is outside [0,2)"},
      {"order_text", "$P track_order[1] is not a finite number"},
      {"cent_short", "$P cent[1] is not an (x,y) pair"},
      {"cent_text", "$P cent[1] is not an (x,y) pair"},
      {"aperture_null", "$P aperture[1] is not a finite number"},
      {"no_pix_fmt", "$P: neither manifest.tessera.bank_pix_fmt nor $P.codec.pix_fmt states the reference "
                     "track's pixel format. A decoder handed no format negotiates one, and the one it "
                     "settles on is 4:2:0 — lossy chroma on reference pixels IS the borrow degrading. "
                     "Refusing rather than letting it guess."},
  };
  for (const auto& c : cases) EXPECT_EQ(loadError(c.bundle), subst(c.expected, D(c.bundle))) << c.bundle;

  // The C entry point reports the same text, cut to the caller's buffer.
  char err[4096];
  EXPECT_EQ(tq_tessera_members_open(D("order_out").c_str(), err, sizeof err), nullptr);
  EXPECT_EQ(std::string(err), subst("$P track_order[1]=3 is outside [0,2)", D("order_out")));
  char one[2] = {'x', 'y'};
  EXPECT_EQ(tq_tessera_members_open(D("order_out").c_str(), one, 1), nullptr);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(one[1], 'y');
  EXPECT_EQ(tq_tessera_members_open(nullptr, err, sizeof err), nullptr);
  EXPECT_STREQ(err, "tq_tessera_members_open: null bundle_dir");
}

TEST_F(TesseraMembers, CarriageReportsWhatIsThere) {
  const tq::TesseraCarriage three = tq::tesseraCarriage(D("three"));
  EXPECT_FALSE(three.complete);
  EXPECT_TRUE(three.declared);
  EXPECT_EQ(three.missing, std::vector<std::string>{"head_config"});
  EXPECT_EQ(three.planes, (std::vector<std::string>{"rt", "offline"}));  // 7 is not a string
  try {
    tq::requireTesseraMembers(three);
    ADD_FAILURE();
  } catch (const tq::MissingTesseraMember& e) {
    EXPECT_EQ(e.missing(), std::vector<std::string>{"head_config"});
  }
  EXPECT_FALSE(tq::tesseraCarriage(D("two_undeclared")).declared);
  // An unparseable manifest declares nothing.
  EXPECT_FALSE(tq::tesseraCarriage(D("manifest_bad")).declared);

  // A members override moves the slot's path; the rest keep their defaults.
  const tq::TesseraCarriage over = tq::tesseraCarriage(D("override"));
  EXPECT_EQ(over.names.head_weights, "weights/alt.pt");
  EXPECT_EQ(over.names.head_config, "tessera_head.v1.json");
  tq_tessera_carriage* c = tq_tessera_carriage_open(D("override").c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(tq_tessera_carriage_complete(c), 1);
  EXPECT_EQ(tq_tessera_carriage_declared(c), 1);
  EXPECT_EQ(std::string(tq_tessera_carriage_path(c, "head_weights")), D("override") + "/weights/alt.pt");
  EXPECT_EQ(std::string(tq_tessera_carriage_path(c, "bank_sidecar")), D("override") + "/tessera_bank.v1.json");
  EXPECT_STREQ(tq_tessera_carriage_path(c, "nope"), "");
  EXPECT_STREQ(tq_tessera_carriage_path(c, nullptr), "");
  EXPECT_EQ(tq_tessera_carriage_missing_count(c), 0);
  EXPECT_EQ(tq_tessera_carriage_missing(c, 0), nullptr);
  tq_tessera_carriage_close(c);
  tq_tessera_members* m = tq_tessera_members_open(D("override").c_str(), nullptr, 0);
  EXPECT_NE(m, nullptr);
  tq_tessera_members_close(m);

  c = tq_tessera_carriage_open((D("none") + "/absent").c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(tq_tessera_carriage_complete(c), 0);
  ASSERT_EQ(tq_tessera_carriage_missing_count(c), 4);
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(tq_tessera_carriage_missing(c, i), tq_tessera_slot_key(i));
  tq_tessera_carriage_close(c);

  EXPECT_THROW(three.path("bank"), std::runtime_error);
  EXPECT_EQ(tq_tessera_slot_count(), 4);
  EXPECT_STREQ(tq_tessera_slot_key(2), "head_weights");
  EXPECT_EQ(tq_tessera_slot_key(4), nullptr);
  EXPECT_EQ(tq_tessera_slot_key(-1), nullptr);
}

TEST_F(TesseraMembers, LoadsWhatTheBankBuilderWrote) {
  char err[512] = "";
  tq_tessera_members* m = tq_tessera_members_open(D("ok").c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  // Values as Python wrote them (repr round-trips exactly).
  std::istringstream vs(tqtest::readText(*dir_ / "oracle/sidecar.txt"));
  std::vector<double> v;
  for (double x; vs >> x;) v.push_back(x);
  const int n = tq_tessera_members_n_donors(m);
  ASSERT_EQ(n, 8);
  ASSERT_EQ(v.size(), 1u + n + 2 * n + n + 2);
  EXPECT_EQ(v[0], n);
  for (int i = 0; i < 2 * n; ++i) EXPECT_EQ(tq_tessera_members_cent(m)[i], v[1 + n + i]);
  for (int i = 0; i < n; ++i) EXPECT_EQ(tq_tessera_members_aperture(m)[i], v[1 + 3 * n + i]);
  EXPECT_EQ(tq_tessera_members_c_canon(m)[0], v[1 + 4 * n]);
  EXPECT_EQ(tq_tessera_members_c_canon(m)[1], v[2 + 4 * n]);
  const int32_t stamp[12] = {64, 64, 12, 30, 40, 24, 4, 4, 20, 4, 36, 4};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(tq_tessera_members_stamp(m)[i], stamp[i]) << i;
  EXPECT_EQ(tq_tessera_members_band_w(m), 40);
  EXPECT_EQ(tq_tessera_members_band_h(m), 24);
  EXPECT_EQ(tq_tessera_members_band_bytes(m), 23040u);
  EXPECT_STREQ(tq_tessera_members_bank_container(m), "mp4");
  EXPECT_STREQ(tq_tessera_members_bank_packing(m), "rgb24_frames");
  EXPECT_STREQ(tq_tessera_members_bank_codec(m), "h264");
  EXPECT_STREQ(tq_tessera_members_bank_pix_fmt(m), "gbrp");
  EXPECT_EQ(std::string(tq_tessera_members_bank_track_path(m)), D("ok") + "/tessera_bank.v1.mp4");
  EXPECT_EQ(std::string(tq_tessera_members_manifest_json(m)), tqtest::readText(D("ok") + "/manifest.json"));
  EXPECT_EQ(std::string(tq_tessera_members_head_json(m)), tqtest::readText(D("ok") + "/tessera_head.v1.json"));
  const std::vector<uint8_t> pt = tqtest::readBytes(D("ok") + "/tessera_head.v1.pt");
  ASSERT_EQ(tq_tessera_members_head_pt_len(m), pt.size());
  EXPECT_EQ(std::vector<uint8_t>(tq_tessera_members_head_pt(m), tq_tessera_members_head_pt(m) + pt.size()), pt);

  // Reordering the track into donor order gives numpy's donor array.
  const std::vector<uint8_t> track = tqtest::readBytes(*dir_ / "oracle/track.rgb");
  const std::vector<uint8_t> donors = tqtest::readBytes(*dir_ / "oracle/donor.rgb");
  ASSERT_EQ(track.size(), 23040u);
  std::vector<uint8_t> out(track.size(), 0);
  EXPECT_EQ(tq_tessera_members_reorder(m, track.data(), out.data(), err, sizeof err), 0);
  EXPECT_TRUE(out == donors);
  EXPECT_EQ(tq_tessera_members_reorder(m, nullptr, out.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "tq_tessera_members_reorder: null argument");
  tq_tessera_members_close(m);

  tq::TesseraAttachInputs in = tq::loadTesseraMembers(D("ok"));
  in.track_order.pop_back();
  EXPECT_EQ(tqtest::thrown([&] { tq::reorderTrackToDonor(in, track.data(), out.data()); }),
            "teeth: track_order does not match n_donors");
  in = tq::loadTesseraMembers(D("ok"));
  in.band_w = 0;
  EXPECT_THROW(tq::reorderTrackToDonor(in, track.data(), out.data()), std::runtime_error);
}

TEST_F(TesseraMembers, EdgesThatLoad) {
  EXPECT_EQ(tq::loadTesseraMembers(D("n_1024")).n_donors, 1024);
  EXPECT_EQ(tq::loadTesseraMembers(D("meta")).n_donors, 8);
  const tq::TesseraAttachInputs in = tq::loadTesseraMembers(D("manifest_pix_fmt"));
  EXPECT_EQ(in.bank_pix_fmt, "rgb24");
  EXPECT_EQ(in.bank_codec, "");
}

TEST(TesseraMembersNull, NullHandlesYieldEmptyResults) {
  EXPECT_EQ(tq_tessera_carriage_open(nullptr), nullptr);
  tq_tessera_carriage_close(nullptr);
  tq_tessera_members_close(nullptr);
  EXPECT_EQ(tq_tessera_carriage_complete(nullptr), 0);
  EXPECT_EQ(tq_tessera_carriage_declared(nullptr), 0);
  EXPECT_STREQ(tq_tessera_carriage_path(nullptr, "bank_track"), "");
  EXPECT_EQ(tq_tessera_carriage_missing_count(nullptr), 0);
  EXPECT_EQ(tq_tessera_carriage_missing(nullptr, 0), nullptr);
  EXPECT_EQ(tq_tessera_members_n_donors(nullptr), 0);
  EXPECT_EQ(tq_tessera_members_cent(nullptr), nullptr);
  EXPECT_EQ(tq_tessera_members_c_canon(nullptr), nullptr);
  EXPECT_EQ(tq_tessera_members_aperture(nullptr), nullptr);
  EXPECT_EQ(tq_tessera_members_stamp(nullptr), nullptr);
  EXPECT_EQ(tq_tessera_members_head_pt(nullptr), nullptr);
  EXPECT_EQ(tq_tessera_members_head_pt_len(nullptr), 0u);
  EXPECT_STREQ(tq_tessera_members_head_json(nullptr), "");
  EXPECT_STREQ(tq_tessera_members_bank_pix_fmt(nullptr), "");
  EXPECT_EQ(tq_tessera_members_band_w(nullptr), 0);
  EXPECT_EQ(tq_tessera_members_band_bytes(nullptr), 0u);
  char err[64];
  uint8_t b[4];
  EXPECT_EQ(tq_tessera_members_reorder(nullptr, b, b, err, sizeof err), 1);
  EXPECT_STREQ(err, "tq_tessera_members_reorder: null argument");
}

}  // namespace
