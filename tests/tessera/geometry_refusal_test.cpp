// Refusals of the manifest's `unified` block and of "lip_template.v1.json",
// each with its full text, and the renderer refusing a bundle whose template
// breaks a rule.
#include <memory>

#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "geometry_test_util.h"
#include "render/tq_renderer.h"
#include "tessera/tq_tessera_json.h"

namespace {

using tq::tessera::LipContour;
using tq::tessera::UnifiedPi;

template <class F>
std::string refusalOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

std::string manifest(const std::string& pi, const std::string& rest = ", \"crop\": {\"canvas\": 256}") {
  return "  \n{\"format\": \"tq-bundle-v0\", \"unified\": {\"pi\": {" + pi + "}" + rest + "}}";
}
const std::string kPi =
    "\"mode\": \"prop\", \"prop_gate_scale\": 1.0, \"lip_idx\": [12, 13, 14, 15], "
    "\"lip_geom_params\": [0.1, 0.08, 0.074]";

TEST(UnifiedPiManifest, RefusesEveryGeometryItCannotName) {
  const std::string modeTail = "' is a compose-mask geometry this port cannot name — fail loud, never adapt (the "
                               "stamped-geometry rule)";
  const struct {
    std::string text, message;
  } cases[] = {
      {"{\"format\": 1}",
       "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state the pi "
       "geometry it was baked with; refusing to guess one"},
      {"{\"unified\": {}}", "teeth: member JSON lacks key 'pi'"},
      {manifest("\"prop_gate_scale\": 1"), "teeth: member JSON lacks key 'mode'"},
      {manifest("\"mode\": 3"), "teeth-pi: unified.pi.mode is not a string"},
      {manifest("\"mode\": \"ellipse\""), "teeth-pi: unified.pi.mode 'ellipse" + modeTail},
      {manifest(kPi + ", \"corner_recovery\": \"yes\""),
       "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must never be "
       "guessed"},
      {manifest("\"mode\": \"prop\", \"lip_idx\": [1]"), "teeth: member JSON lacks key 'prop_gate_scale'"},
      {manifest("\"mode\": \"prop\", \"prop_gate_scale\": \"1\""),
       "teeth-pi: unified.pi.prop_gate_scale is not a finite number"},
      {manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_geom_params\": [0, 0, 0]"),
       "teeth: member JSON lacks key 'lip_idx'"},
      {manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": []"),
       "teeth-pi: unified.pi.lip_idx is not a non-empty array"},
      {manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [12, \"13\"]"),
       "teeth-pi: unified.pi.lip_idx[1] is not a number"},
      {manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [12, 21]"),
       "teeth-pi: unified.pi.lip_idx names keypoint row 21, and a keypoint row is 0..20"},
      {manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [-1]"),
       "teeth-pi: unified.pi.lip_idx names keypoint row -1, and a keypoint row is 0..20"},
      {manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [1]"),
       "teeth: member JSON lacks key 'lip_geom_params'"},
      {manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [1], \"lip_geom_params\": [0.1, 0.2]"),
       "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]"},
      {manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [1], \"lip_geom_params\": [0.1, \"a\", 0]"),
       "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]"},
      {manifest(kPi, ", \"crop\": {\"canvas\": 512}"),
       "teeth-pi: engine renders at canvas 256 but unified.crop.canvas is 512"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(refusalOf([&] { UnifiedPi::fromManifestJson(c.text, 256); }), c.message) << c.text;
}

TEST(UnifiedPiManifest, ReadsTheGeometry) {
  const UnifiedPi a = UnifiedPi::fromManifestJson(manifest(kPi, ""), 256);  // no crop block
  EXPECT_EQ(a.canvas, 256);
  EXPECT_EQ(a.mode, "prop");
  EXPECT_FALSE(a.corner_recovery);
  EXPECT_EQ(a.lip_idx, (std::vector<int32_t>{12, 13, 14, 15}));
  EXPECT_EQ(a.lip_geom_params[2], 0.074f);
  ASSERT_EQ(a.gx.size(), 256u);
  EXPECT_EQ(a.gx[0], -1.0f);
  EXPECT_EQ(a.gy[255], 1.0f);
  const UnifiedPi off = UnifiedPi::fromManifestJson(manifest(kPi + ", \"corner_recovery\": false"), 256);
  const std::vector<float> kp = geotest::makeFrames(1, 3);
  std::vector<float> m1(256 * 256), m2(256 * 256);
  a.lipMask(kp.data(), m1.data());
  off.lipMask(kp.data(), m2.data());
  EXPECT_EQ(m1, m2);
  EXPECT_TRUE(UnifiedPi::fromManifestJson(manifest(kPi + ", \"corner_recovery\": \"lip_landmark_half\""), 256)
                  .corner_recovery);
  EXPECT_TRUE(UnifiedPi::fromManifestJson(manifest(kPi + ", \"corner_recovery\": true"), 256).corner_recovery);
}

// A template from key/value texts; a value of "" leaves the key out.
std::string templ(std::vector<std::pair<std::string, std::string>> over) {
  std::vector<std::pair<std::string, std::string>> kv = {{"format", "\"lip-template-v1\""},
                                                         {"canvas", "128"},
                                                         {"feather_px", "4.0"},
                                                         {"u_canon", "[[1, 0], [0, 1], [-1, 0], [0, -1]]"}};
  for (auto& o : over) {
    bool found = false;
    for (auto& k : kv)
      if (k.first == o.first) k.second = o.second, found = true;
    if (!found) kv.push_back(o);
  }
  std::string s = "{";
  for (auto& k : kv)
    if (!k.second.empty()) s += (s.size() > 1 ? ", \"" : "\"") + k.first + "\": " + k.second;
  return s + "}";
}

std::string lipMap(const std::string& extra, const std::string& W, const std::string& b) {
  return "{\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [17, 18, 19, 20]" + extra +
         ", \"W\": " + W + ", \"b\": " + b + "}";
}
std::string rows(int n, int width, const char* value = "0.5") {
  std::string s = "[";
  for (int i = 0; i < n; ++i) {
    s += i ? ", [" : "[";
    for (int c = 0; c < width; ++c) s += std::string(c ? ", " : "") + value;
    s += "]";
  }
  return s + "]";
}
std::string inner(const std::string& s) { return s.substr(1, s.size() - 2); }
std::string flat(int n) { return inner(rows(1, n)); }

TEST(LipTemplate, RefusesEveryBrokenRuleWithItsText) {
  const std::string P = "lip_template.v1.json: ";
  std::string parserMsg;
  try {
    tq::tessera::json::parse("{\"format\": ");
  } catch (const std::exception& e) {
    parserMsg = e.what();
  }
  ASSERT_FALSE(parserMsg.empty());
  const std::string W8 = rows(8, 8), b8 = flat(8);
  const struct {
    std::string text, message;
  } cases[] = {
      {"{\"format\": ", P + "is not parseable JSON (" + parserMsg + ")"},
      {"[1, 2]", P + "is not a JSON object"},
      {templ({{"format", ""}}), P + "carries no string `format`"},
      {templ({{"format", "7"}}), P + "carries no string `format`"},
      {templ({{"format", "\"lip-template-v2\""}}),
       P + "declares format 'lip-template-v2', not 'lip-template-v1' — this runtime cannot read it"},
      {templ({{"edge", "\"outward\""}}),
       P + "declares edge 'outward', and the contour feather is OUTWARD — refusing to serve a mask this runtime does "
           "not compute"},
      {templ({{"canvas", ""}}), P + "carries no numeric `canvas`"},
      {templ({{"canvas", "256"}}),
       P + "was baked on a 256 canvas but this bundle composes on 128 — refusing to deform a polygon onto a canvas it "
           "does not name"},
      {templ({{"feather_px", "\"4\""}}), P + "carries no numeric `feather_px`"},
      {templ({{"feather_px", "0"}}), P + "declares feather_px 0.000000, which is not positive"},
      {templ({{"feather_px", "-1.5"}}), P + "declares feather_px -1.500000, which is not positive"},
      {templ({{"u_canon", "[]"}}), P + "carries no non-empty `u_canon` array"},
      {templ({{"u_canon", "{}"}}), P + "carries no non-empty `u_canon` array"},
      {templ({{"u_canon", "[[1, 0], [1]]"}}), P + "u_canon row 1 is not a 2-vector — this is not an nv x 2 template"},
      {templ({{"u_canon", "[[1, \"0\"]]"}}), P + "u_canon row 0 is not a 2-vector — this is not an nv x 2 template"},
      {templ({{"lip_idx", "[]"}}), P + "carries a `lip_idx` that is not a non-empty array"},
      {templ({{"lip_idx", "[17, 21]"}}), P + "lip_idx names keypoint row 21, and a kd row is 0..20"},
      {templ({{"lip_idx", "[-2]"}}), P + "lip_idx names keypoint row -2, and a kd row is 0..20"},
      {templ({{"lip_idx", "[\"17\"]"}}), P + "lip_idx entry 0 is not a number"},
      {templ({{"lip_map", "5"}}), P + "lip_map is not a JSON object"},
      {templ({{"lip_map", "{\"kind\": \"anchor-linear\"}"}}),
       P + "lip_map declares schema '?', not 'lip-map-v1' — this runtime cannot evaluate it"},
      {templ({{"lip_map", "{\"schema\": \"lip-map-v2\"}"}}),
       P + "lip_map declares schema 'lip-map-v2', not 'lip-map-v1' — this runtime cannot evaluate it"},
      {templ({{"lip_map", "{\"schema\": \"lip-map-v1\", \"kind\": \"affine\"}"}}),
       P + "lip_map kind is not 'anchor-linear'"},
      {templ({{"lip_map", "{\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [1,2,3,4,5,6,7,8,9]}"}}),
       P + "lip_map lip_idx is not 1..8 kd rows"},
      {templ({{"lip_map", "{\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [17, 20.5]}"}}),
       P + "lip_map lip_idx names a row outside 0..20"},
      {templ({{"lip_map", "{\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"W\": []}"}}),
       P + "lip_map carries no W/b arrays"},
      {templ({{"lip_map", lipMap("", W8, flat(7))}}), P + "lip_map W/b have 8/7 rows, not 2*nv=8"},
      {templ({{"lip_map", lipMap("", "[" + inner(rows(3, 8)) + ", [1, 2, 3, 4, 5, 6, 7], " + inner(rows(4, 8)) + "]", b8)}}),
       P + "lip_map W row 3 is not 8 wide"},
      {templ({{"lip_map", lipMap("", rows(8, 8, "\"a\""), b8)}}), P + "lip_map carries a non-finite coefficient"},
      {templ({{"lip_map", lipMap("", W8, "[" + inner(flat(7)) + ", inf]")}}), P + "lip_map carries a non-finite coefficient"},
      {templ({{"lip_map", lipMap(", \"canvas\": 64", W8, b8)}}),
       P + "lip_map was fitted on another canvas than this bundle composes on"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(refusalOf([&] { LipContour::fromTemplateJson(c.text, 128); }), c.message) << c.text;
}

TEST(LipTemplate, LoadsAnchorsEdgesAndMaps) {
  const LipContour plain = LipContour::fromTemplateJson(templ({{"edge", "\"inward\""}}), 128);
  EXPECT_EQ(plain.lip_idx, (std::vector<int32_t>{17, 18, 19, 20}));
  EXPECT_EQ(plain.nv, 4);
  EXPECT_EQ(plain.feather_px, 4.0f);
  EXPECT_TRUE(plain.W.empty());
  const LipContour anchored = LipContour::fromTemplateJson(templ({{"lip_idx", "[3, 5.7]"}}), 128);
  EXPECT_EQ(anchored.lip_idx, (std::vector<int32_t>{3, 5}));
  const LipContour mapped = LipContour::fromTemplateJson(
      templ({{"lip_map", "{\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [2, 4], \"W\": " +
                             rows(8, 4) + ", \"b\": " + flat(8) + ", \"canvas\": 128}"}}),
      128);
  EXPECT_EQ(mapped.lip_idx, (std::vector<int32_t>{2, 4}));
  EXPECT_EQ(mapped.mapCols, 4);
  EXPECT_EQ(mapped.W.size(), 32u);
}

TEST(LipTemplate, RendererRefusesABundleWhoseTemplateBreaksARule) {
  tqtest::TempDir tmp;
  const std::string dir = tmp / "bundle";
  ASSERT_TRUE(tqtest::runFixtureTool({"identity-bundle", dir, "--nt", "3", "--crop", "32", "--prior", "raw"}));
  ASSERT_TRUE(tqtest::runFixtureTool({"director", "--out", dir + "/model_b1.onnx", "--crop", "32"}));
  const auto load = [&](const std::string& text) {
    tqtest::writeText(dir + "/lip_template.v1.json", text);
    const tq::Manifest m = tq::loadManifest(dir);
    const tq::Identity id(m);
    return refusalOf([&] { tq::Renderer r(m, id, "b1", 1, ""); });
  };
  EXPECT_EQ(load(templ({{"canvas", "32"}, {"feather_px", "0"}})),
            "lip_template.v1.json: declares feather_px 0.000000, which is not positive");
  EXPECT_EQ(load(templ({{"canvas", "32"}})), "");
}

}  // namespace
