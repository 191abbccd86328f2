// Manifest parsing, the key-scan discipline and member-name resolution.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bundle/tq_bundle.h"
#include "bundle_test_util.h"
#include "tq_test_util.h"

using tqtest::ScopedEnv;
using tqtest::TempDir;

namespace {

const char* const kAmbiguousTail =
    "). A loader that picks one silently installs a number nobody checks. Rename the colliding key "
    "(a nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, "
    "crop/crop_size, amount, sigma, ksize, frames, M_src_w/paste_source_width, "
    "M_src_h/paste_source_height), or produce the bundle with the legacy manifest layout.";

std::string ambiguous(const std::string& key, const std::vector<std::size_t>& offsets) {
  std::string m = "manifest: key \"" + key + "\" is AMBIGUOUS \u2014 " +
                  std::to_string(offsets.size()) + " scalar occurrences (";
  for (std::size_t i = 0; i < offsets.size(); ++i)
    m += (i ? ", byte " : "byte ") + std::to_string(offsets[i]);
  return m + kAmbiguousTail;
}

// Byte offset in `text` of the place marked '|' in `marked`: the marked text
// with the '|' removed must occur exactly once in `text`.
std::size_t markedOffset(const std::string& text, const std::string& marked) {
  const std::size_t bar = marked.find('|');
  const std::string needle = marked.substr(0, bar) + marked.substr(bar + 1);
  const std::size_t p = text.find(needle);
  EXPECT_NE(p, std::string::npos) << needle;
  EXPECT_EQ(text.find(needle, p + 1), std::string::npos) << "not unique: " << needle;
  return p + bar;
}

// Raw "key": value pairs of a complete manifest; tests edit the list and
// render it, so every text is written exactly as the test states it.
using Fields = std::vector<std::pair<std::string, std::string>>;

Fields validFields() {
  return {{"format", "\"tq-bundle-v0\""}, {"agent", "\"ana\""}, {"NT", "4"},
          {"H", "64"},     {"W", "96"},     {"M_src_w", "96"},     {"M_src_h", "64"},
          {"crop", "32"},  {"amount", "1.3"}, {"sigma", "2.0"},    {"ksize", "13"},
          {"frames", "8"}};
}

Fields without(Fields f, const std::string& key) {
  for (auto it = f.begin(); it != f.end(); ++it)
    if (it->first == key) {
      f.erase(it);
      break;
    }
  return f;
}

Fields with(Fields f, const std::string& key, const std::string& value) {
  for (auto& kv : f)
    if (kv.first == key) {
      kv.second = value;
      return f;
    }
  f.emplace_back(key, value);
  return f;
}

std::string render(const Fields& f) {
  std::string t = "{";
  for (std::size_t i = 0; i < f.size(); ++i)
    t += (i ? ", \"" : "\"") + f[i].first + "\": " + f[i].second;
  return t + "}";
}

// The rendered object without its closing brace, for appending raw text.
std::string renderOpen(const Fields& f) {
  const std::string t = render(f);
  return t.substr(0, t.size() - 1);
}

class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override { writeRaw(validText()); }

  static std::string validText() { return render(validFields()); }

  void writeRaw(const std::string& text) {
    ASSERT_TRUE(tqtest::runFixtureTool({"manifest", dir(), "--raw", text}));
  }
  void writeWith(const std::string& setJson) {
    ASSERT_TRUE(tqtest::runFixtureTool({"manifest", dir(), "--set", setJson}));
  }
  std::string dir() const { return tmp_.path(); }

  // The message loadManifest refuses the bundle with.
  std::string refusal() { return tqtest::thrown([&] { tq::loadManifest(dir()); }); }

  TempDir tmp_;
  ScopedEnv noMissingOk_{"BREVANE2_MSRC_MISSING_OK", nullptr};
  ScopedEnv noRoot_{"TQ_IMX_UNWRAP_ROOT", nullptr};
};

// ------------------------------------------------------------------ loading

TEST_F(ManifestTest, ReadsEveryFieldAndConvertsNumbers) {
  writeWith(
      R"({"agent": "Zed-9", "NT": 7.9, "H": 33, "W": 45, "M_src_w": 1920, "M_src_h": 1080,
          "crop": 17.9, "amount": 0.75, "sigma": 1.5, "ksize": -2.7, "frames": 11})");
  const tq::Manifest m = tq::loadManifest(dir());
  EXPECT_EQ(m.dir, dir());
  EXPECT_EQ(m.agent, "Zed-9");
  // Whole numbers truncate toward zero (ksize is not range-checked).
  EXPECT_EQ(std::make_tuple(m.NT, m.crop, m.ksize, m.H, m.W, m.M_src_w, m.M_src_h, m.frames),
            std::make_tuple(7, 17, -2, 33, 45, 1920, 1080, 11));
  const tq::Unsharp u = m.unsharp();
  EXPECT_EQ(std::make_tuple(u.amount, u.sigma, u.ksize), std::make_tuple(0.75f, 1.5f, -2));
  EXPECT_EQ(m.lipTemplate, "");
  const std::string lip = "{\"contour\": [1, 2, 3]}\n";
  tqtest::writeText(tmp_ / "lip_template.v1.json", lip);
  EXPECT_EQ(tq::loadManifest(dir()).lipTemplate, lip);
}

TEST_F(ManifestTest, SecondNamesOfEitherPairs) {
  // Only the second names present, and the stamp split across both spellings.
  writeWith(R"({"NT": null, "frame_count": 5, "crop": null, "crop_size": 384,
                "M_src_w": null, "paste_source_width": 800, "M_src_h": 600})");
  tq::Manifest m = tq::loadManifest(dir());
  EXPECT_EQ(m.NT, 5);
  EXPECT_EQ(m.crop, 384);
  EXPECT_EQ(m.M_src_w, 800);
  EXPECT_EQ(m.M_src_h, 600);

  // The first name wins when both are present.
  writeWith(R"({"NT": 4, "frame_count": 9, "M_src_h": null, "paste_source_height": 70})");
  m = tq::loadManifest(dir());
  EXPECT_EQ(m.NT, 4);
  EXPECT_EQ(m.M_src_h, 70);

  // -1e300 under the first name counts as absent.
  writeWith(R"({"NT": -1e300, "frame_count": 6})");
  EXPECT_EQ(tq::loadManifest(dir()).NT, 6);
}

TEST_F(ManifestTest, WhiteSpaceAroundTheColon) {
  writeRaw(renderOpen(without(validFields(), "W")) + ", \"W\"\n\t :\r\n  96}");
  EXPECT_EQ(tq::loadManifest(dir()).W, 96);
}

// ------------------------------------------------------------------ key choice

TEST_F(ManifestTest, NestedKeyDoesNotShadowTopLevel) {
  writeWith(R"({"crop": 512, "tessera": {"crop": 256, "ksize": 3}})");
  tq::Manifest m = tq::loadManifest(dir());
  EXPECT_EQ(m.crop, 512);
  EXPECT_EQ(m.ksize, 13);

  // The nested block standing before the top-level key changes nothing.
  Fields f = without(validFields(), "crop");
  f.insert(f.begin() + 1, {"tessera", "{\"crop\": 256}"});
  f.emplace_back("crop", "512");
  writeRaw(render(f));
  EXPECT_EQ(tq::loadManifest(dir()).crop, 512);
}

TEST_F(ManifestTest, SingleNestedScalarIsUsed) {
  Fields f = without(validFields(), "ksize");
  f.emplace_back("unified", "{\"inner\": [{\"ksize\": 9}]}");
  writeRaw(render(f));
  EXPECT_EQ(tq::loadManifest(dir()).ksize, 9);
}

TEST_F(ManifestTest, ObjectAndArrayValuesNeverCount) {
  writeRaw(render(with(with(validFields(), "crop", "{\"w\": 1}"), "crop_size", "384")));
  EXPECT_EQ(tq::loadManifest(dir()).crop, 384);

  writeRaw(render(with(validFields(), "H", "[64, 65]")));
  EXPECT_EQ(refusal(), "manifest: missing key H");
}

TEST_F(ManifestTest, KeyNamesInsideStringsAreNotKeys) {
  // A plain string value holding the key text and a colon.
  writeRaw(render(with(without(validFields(), "NT"), "agent", "\"NT: 99\"")));
  EXPECT_EQ(refusal(), "manifest: missing key NT/frame_count");

  // Escaped quotes inside a string must not end it: "NT" here is inside the
  // agent value, so the frame count comes from frame_count.
  writeRaw(render(with(with(without(validFields(), "NT"), "agent", R"("say \"NT\": 99 now")"),
                       "frame_count", "6")));
  const tq::Manifest m = tq::loadManifest(dir());
  EXPECT_EQ(m.NT, 6);
  EXPECT_EQ(m.agent, R"(say \"NT\": 99 now)");  // raw bytes, escapes kept

  // Brackets inside strings do not change the depth: the second W stays nested.
  Fields f = validFields();
  f.insert(f.begin() + 1, {"note", "\"}}]] {\""});
  f.emplace_back("block", "{\"W\": 7}");
  writeRaw(render(f));
  EXPECT_EQ(tq::loadManifest(dir()).W, 96);
}

TEST_F(ManifestTest, AmbiguousKeysAreRefusedWithEveryOffset) {
  struct Case {
    const char* what;
    std::string text;
    std::string key;
    std::vector<std::string> needles;  // '|' marks where each listed value starts
  };
  const std::string open = renderOpen(validFields());
  const std::vector<Case> cases = {
      {"two top-level W", open + ", \"W\":  97}", "W", {"\"W\": |96", "\"W\":  |97"}},
      {"two top-level W beside a nested one", open + ", \"b\": {\"W\": 5}, \"W\":   98}", "W",
       {"\"W\": |96", "\"W\":   |98"}},
      {"two nested ksize, none at top",
       renderOpen(without(validFields(), "ksize")) +
           ", \"tessera\": {\"ksize\": 9}, \"unified\": [{\"ksize\": 7}]}",
       "ksize",
       {"\"ksize\": |9", "\"ksize\": |7"}},
      {"three top-level amount", open + ", \"amount\": 2.5, \"amount\":\n3.5}", "amount",
       {"\"amount\": |1.3", "\"amount\": |2.5", "\"amount\":\n|3.5"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeRaw(c.text);
    std::vector<std::size_t> offsets;
    for (const std::string& n : c.needles) offsets.push_back(markedOffset(c.text, n));
    EXPECT_EQ(refusal(), ambiguous(c.key, offsets));
  }
}

// ------------------------------------------------------------------ refusals

TEST_F(ManifestTest, MissingKeysAndBadValues) {
  const struct {
    const char* key;
    const char* value;  // null: the key is left out
    std::string message;
  } cases[] = {
      {"format", nullptr, "manifest: missing key format"},
      {"agent", nullptr, "manifest: missing key agent"},
      {"NT", nullptr, "manifest: missing key NT/frame_count"},
      {"H", nullptr, "manifest: missing key H"},
      {"W", nullptr, "manifest: missing key W"},
      {"crop", nullptr, "manifest: missing key crop/crop_size"},
      {"amount", nullptr, "manifest: missing key amount"},
      {"sigma", nullptr, "manifest: missing key sigma"},
      {"ksize", nullptr, "manifest: missing key ksize"},
      {"frames", nullptr, "manifest: missing key frames"},
      {"NT", "0", "manifest: bad dims"},
      {"H", "0", "manifest: bad dims"},
      {"W", "-5", "manifest: bad dims"},
      {"crop", "0.5", "manifest: bad dims"},   // truncates to 0
      {"NT", "\"12\"", "manifest: bad dims"},  // not a number: reads as 0
      {"H", "true", "manifest: bad dims"},
      {"M_src_w", "0", "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)"},
      {"M_src_h", "-1", "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)"},
      {"format", "\"tq-bundle-v1\"", "not an tq-bundle-v0: tq-bundle-v1"},
      {"format", "\"\"", "not an tq-bundle-v0: "},
      {"format", "5", "manifest: bad string format"},
      {"agent", "null", "manifest: bad string agent"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + (c.value ? c.value : "(absent)"));
    writeRaw(render(c.value ? with(validFields(), c.key, c.value) : without(validFields(), c.key)));
    EXPECT_EQ(refusal(), c.message);
  }
  // A string cut off by the end of the text.
  writeRaw(renderOpen(without(validFields(), "agent")) + ", \"agent\": \"unterminated");
  EXPECT_EQ(refusal(), "manifest: bad string agent");
}

TEST_F(ManifestTest, MissingManifestFile) {
  TempDir t;
  const std::string k = t / "old.imx";  // a version-1 container is not unpacked
  ASSERT_TRUE(bundletest::writeImx(k, {bundletest::text("manifest.json", validText())}, "\"version\": 1"));
  for (const std::string& d : {t.path(), k}) {
    EXPECT_EQ(tqtest::thrown([&] { tq::loadManifest(d); }), "cannot open " + d + "/manifest.json");
  }
  EXPECT_FALSE(tqtest::fileExists(t / "old.tqbundle"));
}

TEST_F(ManifestTest, PasteSpaceStampRequired) {
  const std::string missing =
      dir() +
      "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) "
      "\u2014 the canvas is 96x64, so M cannot be placed: absence is not evidence that M was authored "
      "at that size. Re-stamp the bundle (models/brevane-2/inference/backfill_msrc.py), or set "
      "BREVANE2_MSRC_MISSING_OK=1 to restore the legacy assumption.";
  for (const char* drop : {"M_src_w", "M_src_h"}) {
    SCOPED_TRACE(drop);
    writeRaw(render(without(validFields(), drop)));
    EXPECT_EQ(refusal(), missing);
    ScopedEnv notOne("BREVANE2_MSRC_MISSING_OK", "true");
    EXPECT_EQ(refusal(), missing);
  }

  // The escape hatch assumes the driver canvas and says so.
  writeRaw(render(without(without(validFields(), "M_src_w"), "M_src_h")));
  ScopedEnv one("BREVANE2_MSRC_MISSING_OK", "1");
  testing::internal::CaptureStderr();
  const tq::Manifest m = tq::loadManifest(dir());
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(m.M_src_w, 96);
  EXPECT_EQ(m.M_src_h, 64);
  EXPECT_EQ(log, "[tq] WARNING BREVANE2_MSRC_MISSING_OK=1: " + dir() +
                     "/manifest.json carries no paste-space stamp; ASSUMING M was authored on this "
                     "96x64 canvas. If it was not, the face pastes off-target (bm#144) and nothing "
                     "will say so.\n");
}

TEST_F(ManifestTest, LoadsThroughAContainer) {
  TempDir t;
  const std::string k = t / "avatar.imx";
  ASSERT_TRUE(bundletest::writeImx(
      k, {bundletest::text("manifest.json", render(with(validFields(), "agent", "\"boxed\""))),
          bundletest::text("lip_template.v1.json", "lips")}));
  testing::internal::CaptureStderr();
  const tq::Manifest m = tq::loadManifest(k);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(m.dir, t / "avatar.tqbundle");
  EXPECT_EQ(m.agent, "boxed");
  EXPECT_EQ(m.lipTemplate, "lips");
}

// ------------------------------------------------------------------ member names

TEST(MemberNames, AlternativeNames) {
  const std::pair<std::string, std::string> cases[] = {
      {"P.f16", "source_frames.f16"}, {"P_hevc.mov", "source_frames.hevc"},
      {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"}, {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"M.f32", "paste_transform.f32"}, {"mask_512.u8", "paste_mask.u8"},
      {"pooled64.f16", "pooled_features.f16"}, {"fs_red.f16", "feature_synth.f16"},
      {"xs_target.bin", "target_keypoints.bin"}, {"model_b1_fp16.onnx", "render_model.batch1.fp16.onnx"},
      {"model_b4.onnx", "render_model.batch4.onnx"}, {"model_b16_int8_v2.onnx", "render_model.batch16.int8_v2.onnx"},
      {"model_b2_.onnx", "render_model.batch2.onnx"}, {"model_b.onnx", ""},  // 12 characters: no alternative
      {"model_x1.onnx", ""}, {"model_b1.onnx.bak", ""},
      {"drive/xs.f32", "idle_loop/source_keypoints.f32"}, {"drive/xd.f32", "idle_loop/driven_keypoints.f32"},
      {"drive/si.i32", "idle_loop/source_index.i32"}, {"drive/other.tar.gz", "idle_loop/other.tar.gz"},
      {"drive/xs", "idle_loop/source_keypoints"}, {"drivexs.f32", ""}, {"manifest.json", ""}, {"p.f16", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(tq::canonicalMember(c.first), c.second) << c.first;
}

TEST(MemberNames, SecondLayoutBundle) {
  TempDir t;
  ASSERT_TRUE(tqtest::runFixtureTool({"bundle", t.path(), "--layout", "second", "--member", "model_b1_fp16.onnx=10",
                                      "--member", "xs_target.bin=7"}));
  tq::Manifest m = tq::loadManifest(t.path());
  EXPECT_EQ(m.modelPath("b1_fp16"), t / "render_model.batch1.fp16.onnx");
  EXPECT_EQ(m.modelPath("b2"), t / "model_b2.onnx");  // neither exists: the first name
  EXPECT_EQ(tq::readFile(tq::resolveMember(m.dir, "xs_target.bin")).size(), 7u);
}

TEST(ReadFile, WholeFileOrRefusal) {
  TempDir t;
  const std::string bytes("a\0b\xff\n", 5);
  tqtest::writeText(t / "f", bytes);
  EXPECT_EQ(tq::readFile(t / "f"), bytes);
  tqtest::writeText(t / "empty", "");
  EXPECT_EQ(tq::readFile(t / "empty"), "");
  for (const std::string& p : {t / "nope", t.path()}) {
    EXPECT_EQ(tqtest::thrown([&] { tq::readFile(p); }), "cannot open " + p);
  }
}

}  // namespace
