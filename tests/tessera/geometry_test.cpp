// Compose alpha and lip contour against numpy transcriptions of their formulas; refusals
// of the manifest's `unified` block, of the corpus match and of "lip_template.v1.json";
// keypoints off the canvas or NaN, collapsed anchors, canvas 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "render/tq_renderer.h"
#include "tessera/tq_lip_contour.h"
#include "tessera/tq_tessera_pi.h"
#include "tq_test_util.h"

namespace {

using tq::tessera::Box;
using tq::tessera::LipContour;
using tq::tessera::UnifiedPi;
using tqtest::thrown;

struct Rng {
  uint64_t s;
  double in(double a, double b) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return a + (b - a) * static_cast<double>(s >> 11) / 9007199254740992.0;
  }
};

// n frames of 63 floats with lips on rows 12..20 around an ellipse. Every fourth frame
// has closed lips (vertical spread below the gate's 0.02), a few sit near the canvas edge.
std::vector<float> makeFrames(int n, uint64_t seed) {
  Rng r{seed};
  std::vector<float> kp(static_cast<std::size_t>(n) * 63);
  for (int f = 0; f < n; ++f) {
    float* k = kp.data() + 63 * f;
    for (int i = 0; i < 63; ++i) k[i] = static_cast<float>(r.in(-1, 1));
    const bool closed = f % 4 == 0;
    const double cx = f % 7 == 3 ? 0.85 : r.in(-0.15, 0.15), cy = f % 11 == 5 ? -0.9 : r.in(0.1, 0.5);
    const double w = r.in(0.08, 0.25), o = closed ? 0.004 : r.in(0.015, 0.12);
    for (int j = 0; j < 9; ++j) {
      const double t = 2 * M_PI * j / 9 + r.in(-0.1, 0.1);
      k[3 * (12 + j)] = static_cast<float>(cx + w * std::cos(t) + r.in(-0.004, 0.004));
      k[3 * (12 + j) + 1] = static_cast<float>(cy + o * std::sin(t) + (closed ? 0.0 : r.in(-0.003, 0.003)));
    }
  }
  return kp;
}

const double kPad[3] = {0.1, 0.08, 0.074}, kCorpus[9] = {0.05, 0.08, 0.015, 0.1, 0.08, 0.074, 0.14, 0.08, 0.074};
UnifiedPi makePi(int canvas, bool corner, double scale, const double* pad) {
  UnifiedPi p;
  p.canvas = canvas, p.mode = "prop", p.corner_recovery = corner, p.prop_gate_scale = float(scale);
  p.lip_idx = {12, 13, 14, 15, 16, 17, 18, 19, 20};
  p.lip_geom_params = {{float(pad[0]), float(pad[1]), float(pad[2])}};
  p.fillGrid();
  return p;
}

// A lip-like outline with concave notches, in units of the anchor spread.
std::vector<double> starShape(int nv) {
  std::vector<double> u;
  for (int v = 0; v < nv; ++v) {
    const double t = 2 * M_PI * v / nv, r = 1.0 + 0.35 * std::sin(3 * t);
    u.push_back(1.1 * r * std::cos(t)), u.push_back(1.4 * r * std::sin(t));
  }
  return u;
}

std::string num(double v, const char* format = "%.17g") {
  char b[32];
  std::snprintf(b, sizeof b, format, v);
  return b;
}
// n numbers as JSON, in rows of `cols` when cols is not 0.
std::string rows(const double* v, int n, int cols = 0) {
  std::string s = "[";
  for (int i = 0; i < n; ++i)
    s += (i ? "," : "") + std::string(cols && i % cols == 0 ? "[" : "") + num(v[i]) + (cols && (i + 1) % cols == 0 ? "]" : "");
  return s + "]";
}

// Both numpy references over the same frames: full and boxed pi bytes, support boxes,
// centroids, corpus centroids; contour polygon, box, scanline raster, field, delivered mask.
TEST(Reference, PiAndContourMatchNumpy) {
  const struct {
    bool corner;
    double scale, pad[3];
  } cases[] = {{false, 1.0, {0.1, 0.08, 0.074}}, {true, 1.3, {0.05, 0.0, 0.015}}};  // the second one lip-mapped
  const int canvas = 128, frames = 30, nv = 24;
  const std::size_t px = canvas * canvas;
  const std::vector<double> u = starShape(nv);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.corner ? "corner, scaled, mapped" : "plain template");
    const UnifiedPi pi = makePi(canvas, c.corner, c.scale, c.pad);
    LipContour lc(canvas, 10.0f, u.data(), nv, nullptr, 0);
    const double lips[9] = {12, 13, 14, 15, 16, 17, 18, 19, 20};
    std::string params = "{\"canvas\": 128, \"feather\": 10, \"lip_idx\": " + rows(lips, 9) + ", \"pad\": " +
                         rows(c.pad, 3) + ", \"scale\": " + num(c.scale) + ", \"corner\": " + (c.corner ? "1" : "0") +
                         ", \"corpus\": " + rows(kCorpus, 6, 3) + ", \"u_canon\": " + rows(u.data(), 2 * nv, 2);
    if (c.corner) {
      Rng r{99};
      std::vector<double> W(16 * nv * 8), b(2 * nv);
      for (double& w : W) w = r.in(-0.8, 0.8);
      for (double& x : b) x = r.in(-4, 4);
      const int32_t idx[4] = {17, 18, 19, 20};
      lc.attachMap(W.data(), b.data(), 2 * nv, 8, idx, 4);
      params += ", \"b\": " + rows(b.data(), 2 * nv) + ", \"W\": " + rows(W.data(), 16 * nv, 8);
    }
    const std::vector<float> kp = makeFrames(frames, 0x5eed + c.corner);
    tqtest::TempDir dir;
    std::ofstream(dir / "kp.f32", std::ios::binary).write(reinterpret_cast<const char*>(kp.data()), kp.size() * 4);
    tqtest::writeText(dir / "params.json", params + "}");
    for (const char* cmd : {"pi-reference", "contour-reference"})
      ASSERT_TRUE(tqtest::runFixtureTool({cmd, "--kp", dir / "kp.f32", "--frames", std::to_string(frames), "--params",
                                          dir / "params.json", "--out", dir / "ref"}));
    const std::string r = dir / "ref/";
    const auto refPi = tqtest::readAs<uint8_t>(r + "pi.u8"), refRaster = tqtest::readAs<uint8_t>(r + "raster.u8"),
               refDelivered = tqtest::readAs<uint8_t>(r + "delivered.u8");
    const auto refCent = tqtest::readAs<double>(r + "cent.f64"), refPoly = tqtest::readAs<double>(r + "poly.f64"),
               refCorpus = tqtest::readAs<double>(r + "corpus.f64");
    const auto refBox = tqtest::readAs<int32_t>(r + "sbox.i32"), refCb = tqtest::readAs<int32_t>(r + "cbox.i32");
    const auto refField = tqtest::readAs<float>(r + "field.f32");
    ASSERT_EQ(refPi.size() + refField.size() + refDelivered.size(), 3 * px * frames);

    std::vector<uint8_t> full(px), boxed(px, 0x5a), raster(px), delivered(px);
    std::vector<float> field(px);
    std::vector<double> poly(2 * nv);
    std::size_t rasterAt = 0;
    int closed = 0, centroids = 0;
    const auto box = [](const Box& b) { return std::vector<int32_t>{b.x0, b.y0, b.x1, b.y1}; };
    for (int f = 0; f < frames; ++f) {
      SCOPED_TRACE("frame " + std::to_string(f));
      const float* k = kp.data() + 63 * f;
      float g = -1;
      pi.gateParams(k, &g);
      closed += g == 0.0f;
      pi.piU8(k, full.data());
      pi.piU8Boxed(k, boxed.data());
      ASSERT_EQ(0, std::memcmp(full.data(), &refPi[px * f], px)) << "piU8";
      ASSERT_EQ(0, std::memcmp(boxed.data(), &refPi[px * f], px)) << "piU8Boxed";
      const Box sb = pi.supportBox(k);
      EXPECT_EQ(box(sb), std::vector<int32_t>(&refBox[4 * f], &refBox[4 * f + 4]));
      double cx = -1, cy = -1, bx = -1, by = -1;
      ASSERT_EQ(pi.piU8Centroid(full.data(), cx, cy), refCent[3 * f] == 1.0);
      if (refCent[3 * f] == 1.0) {
        ++centroids;
        EXPECT_NEAR(cx, refCent[3 * f + 1], 1e-9);
        EXPECT_NEAR(cy, refCent[3 * f + 2], 1e-9);
        EXPECT_TRUE(pi.piU8Centroid(full.data(), sb, bx, by) && bx == cx && by == cy) << "centroid over the support box";
      }
      lc.polygon(k, poly.data());
      for (int i = 0; i < 2 * nv; ++i) ASSERT_NEAR(poly[i], refPoly[2 * nv * f + i], 1e-9);
      const Box cb = lc.box(poly.data());
      ASSERT_EQ(box(cb), std::vector<int32_t>(&refCb[4 * f], &refCb[4 * f + 4]));
      if (!cb.empty()) {
        lc.fillScanline(poly.data(), cb, raster.data());
        ASSERT_EQ(0, std::memcmp(raster.data(), &refRaster[rasterAt], std::size_t(cb.x1 - cb.x0) * (cb.y1 - cb.y0)));
        rasterAt += std::size_t(cb.x1 - cb.x0) * (cb.y1 - cb.y0);
      }
      lc.contourF32Canvas(k, field.data());
      ASSERT_EQ(0, std::memcmp(field.data(), &refField[px * f], px * sizeof(float))) << "field";
      lc.deliveredU8(k, pi, delivered.data());
      ASSERT_EQ(0, std::memcmp(delivered.data(), &refDelivered[px * f], px)) << "delivered";
    }
    EXPECT_TRUE(closed >= 7 && centroids >= 24) << "closed lips and centroids are covered";
    for (int row = 0; row < 2; ++row) {
      double cx = 0, cy = 0;
      makePi(canvas, c.corner, c.scale, kCorpus + 3 * row).canonicalCentroid(kp.data(), frames, cx, cy);
      EXPECT_NEAR(cx, refCorpus[2 * row], 1e-9);
      EXPECT_NEAR(cy, refCorpus[2 * row + 1], 1e-9);
    }
  }
}

std::string manifest(const std::string& pi, const std::string& rest = ", \"crop\": {\"canvas\": 256}") {
  return "  \n{\"format\": \"tq-bundle-v0\", \"unified\": {\"pi\": {\"mode\": \"prop\", " + pi + "}" + rest + "}}";
}

// Closed, left-right symmetric lips on rows 17..20 of a 257 canvas: each corpus row's
// canonical centroid (held against numpy above) is on the middle column, rows apart.
TEST(UnifiedPiManifest, CorpusMatchSelectsWithinToleranceAndRefusesUnmatchedOrAmbiguous) {
  const std::string text = manifest("\"prop_gate_scale\": 1, \"lip_idx\": [17, 18, 19, 20], \"lip_geom_params\": [0, 0, 0]", "");
  std::vector<float> kp(2 * 63, 0.0f);
  const float xy[8] = {-0.2f, 0.3f, 0.2f, 0.3f, 0.0f, 0.29f, 0.0f, 0.31f};
  for (int i = 0; i < 16; ++i) kp[63 * (i / 8) + 51 + i % 8 / 2 * 3 + i % 2] = xy[i % 8];
  UnifiedPi trial = UnifiedPi::fromManifestJson(text, 257);
  double c[6], far[2] = {128, 0}, mid[2] = {128, 0}, at8[2] = {128, 0}, nan[2] = {NAN, 0};
  for (int k = 0; k < 3; ++k) {
    trial.lip_geom_params = {{float(kCorpus[3 * k]), float(kCorpus[3 * k + 1]), float(kCorpus[3 * k + 2])}};
    trial.canonicalCentroid(kp.data(), 2, c[2 * k], c[2 * k + 1]);
    ASSERT_EQ(c[2 * k], 128.0);
  }
  at8[1] = c[1] - 8.0, far[1] = c[1] - 8.5, mid[1] = 0.5 * (c[3] + c[5]);
  const auto ranking = [&](const double* cc) {  // every row's distance, nearest first
    std::vector<std::pair<double, int>> d;
    for (int k = 0; k < 3; ++k) d.push_back({std::fabs(c[2 * k + 1] - cc[1]), k});
    std::stable_sort(d.begin(), d.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::string s;
    for (auto& e : d) s += " v" + std::to_string(e.second + 1) + "=" + num(e.first, "%.2f") + "px";
    return s;
  };
  const auto pick = [&](const float* xs, const double* cc, std::string* why = nullptr) {
    return thrown([&] { trial = UnifiedPi::corpusFromManifestJson(text, 257, xs, xs ? 2 : 0, cc, why); });
  };
  std::string why;
  EXPECT_EQ(pick(kp.data(), at8, &why), "(nothing thrown)");  // 8.00 px still matches
  EXPECT_TRUE(why == ranking(at8) && why.rfind(" v1=8.00px", 0) == 0 && trial.lip_geom_params[2] == 0.015f) << why;
  EXPECT_EQ(pick(kp.data(), far), "teeth-pi: no corpus pi geometry matches this bank's c_canon (128.00," +
            num(far[1], "%.2f") + ") within 8.00px —" + ranking(far) +
            " — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody can name");
  // v2 and v3 put the centroid at the same place: a bank between them is ambiguous unless the manifest
  // names one of the two; a v1/v2 pair far enough apart stays refused as before.
  ASSERT_LT(std::fabs(c[3] - c[5]), 0.3);
  const std::string pair = " — v2 and v3 put the centroid " + num(std::fabs(c[3] - c[5]), "%.2f") + "px apart";
  EXPECT_EQ(pick(kp.data(), mid), "teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) —" +
            ranking(mid) + pair + ", so the centroid cannot tell those two rows apart, and the manifest's "
            "lip_geom_params name neither — refusing to guess the bank frame");
  for (int k : {1, 2}) {
    const std::string named = manifest("\"prop_gate_scale\": 1, \"lip_idx\": [17, 18, 19, 20], \"lip_geom_params\": [" +
                                           num(kCorpus[3 * k], "%g") + ", 0.08, 0.074]", "");
    why.clear();
    EXPECT_EQ(thrown([&] { trial = UnifiedPi::corpusFromManifestJson(named, 257, kp.data(), 2, mid, &why); }),
              "(nothing thrown)");
    EXPECT_EQ(trial.lip_geom_params[0], float(kCorpus[3 * k])) << "a v" << k + 1 << " bank arms";
    EXPECT_NE(why.find("v2 and v3 put the centroid"), std::string::npos) << why;
    EXPECT_NE(why.find("; took v" + std::to_string(k + 1) + ", the manifest's own lip_geom_params)"), std::string::npos)
        << why;
  }
  double v1v2[2] = {128, 0.5 * (c[1] + c[3])};  // v1 and v2 lie about 7.5 px apart
  ASSERT_GT(std::fabs(c[1] - c[3]), 3.0);
  EXPECT_EQ(pick(kp.data(), v1v2), "teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) —" +
            ranking(v1v2) + " — refusing to guess the bank frame");
  EXPECT_EQ(pick(kp.data(), nan).rfind("teeth-pi: no corpus pi geometry matches", 0), 0u);
  EXPECT_EQ(pick(nullptr, far), "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none "
            "was supplied — refusing to fall back to the stamped geometry, which is the GRAPH's compose field");
  const std::vector<float> off(126, 9.0f);  // pi empty on every frame
  EXPECT_EQ(pick(off.data(), far), "teeth-pi: pi is empty on every source frame — cannot derive the canonical "
            "centroid this bundle's frame is identified by");
}

TEST(UnifiedPiManifest, ReadsTheGeometryAndRefusesWhatItCannotName) {
  const std::string ok = "\"prop_gate_scale\": 1.5, \"lip_idx\": [12, 13.7], \"lip_geom_params\": [0.1, 0.08, 0.074]";
  const UnifiedPi a = UnifiedPi::fromManifestJson(manifest(ok, ""), 256);  // no crop block
  EXPECT_TRUE(a.mode == "prop" && a.prop_gate_scale == 1.5f && a.lip_geom_params[1] == 0.08f && a.gy[255] == 1.0f);
  EXPECT_EQ(a.lip_idx, (std::vector<int32_t>{12, 13}));
  const auto corner = [&](const char* v) {
    return UnifiedPi::fromManifestJson(manifest(ok + ", \"corner_recovery\": " + v), 256).corner_recovery;
  };
  EXPECT_TRUE(!a.corner_recovery && !corner("false") && corner("true") && corner("\"lip_landmark_half\""));
  const std::string G = "\"prop_gate_scale\": 1, ", P = "teeth-pi: unified.pi.", row = ", and a keypoint row is 0..20",
                    geom = P + "lip_geom_params must be [pad_x, pad_y, down]";
  const struct {
    std::string text, message;
  } cases[] = {
      {"{\"format\": 1}", "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and "
                          "cannot state the pi geometry it was baked with; refusing to guess one"},
      {"{\"unified\": {}}", "teeth: member JSON lacks key 'pi'"},
      {"{\"unified\": {\"pi\": {\"mode\": 3}}}", P + "mode is not a string"},
      {"{\"unified\": {\"pi\": {\"mode\": \"ellipse\"}}}", P + "mode 'ellipse' is a compose-mask geometry this port "
       "cannot name — fail loud, never adapt (the stamped-geometry rule)"},
      {manifest(ok + ", \"corner_recovery\": \"yes\""), "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask "
       "geometry a consumer cannot name must never be guessed"},
      {manifest("\"prop_gate_scale\": \"1\""), P + "prop_gate_scale is not a finite number"},
      {manifest(G + "\"lip_geom_params\": [0, 0, 0]"), "teeth: member JSON lacks key 'lip_idx'"},
      {manifest(G + "\"lip_idx\": []"), P + "lip_idx is not a non-empty array"},
      {manifest(G + "\"lip_idx\": [12, \"13\"]"), P + "lip_idx[1] is not a number"},
      {manifest(G + "\"lip_idx\": [12, 21]"), P + "lip_idx names keypoint row 21" + row},
      {manifest(G + "\"lip_idx\": [-1]"), P + "lip_idx names keypoint row -1" + row},
      {manifest(G + "\"lip_idx\": [1], \"lip_geom_params\": [0.1, 0.2]"), geom},
      {manifest(G + "\"lip_idx\": [1], \"lip_geom_params\": [0.1, \"a\", 0]"), geom},
      {manifest(ok, ", \"crop\": {\"canvas\": 512}"), "teeth-pi: engine renders at canvas 256 but unified.crop.canvas is 512"},
  };
  for (const auto& c : cases) EXPECT_EQ(thrown([&] { UnifiedPi::fromManifestJson(c.text, 256); }), c.message) << c.text;
}

// A template: the valid keys with up to two replaced or added; a value of "" drops the key.
std::string templ(const std::string& k1, const std::string& v1, const std::string& k2 = "", const std::string& v2 = "") {
  std::vector<std::pair<std::string, std::string>> kv = {
      {"format", "\"lip-template-v1\""}, {"canvas", "128"}, {"feather_px", "4.0"}, {"u_canon", "[[1, 0], [0, 1], [-1, 0], [0, -1]]"}};
  for (const auto& o : {std::make_pair(k1, v1), std::make_pair(k2, v2)}) {
    const auto at = std::find_if(kv.begin(), kv.end(), [&](const auto& k) { return k.first == o.first; });
    at == kv.end() ? kv.push_back(o) : void(at->second = o.second);
  }
  std::string s;
  for (const auto& k : kv)
    if (!k.second.empty()) s += (s.empty() ? "{\"" : ", \"") + k.first + "\": " + k.second;
  return s + "}";
}
// A lip map over the default anchors (8 columns): W of 8 rows `wide` numbers each, then b.
std::string lipMap(int wide, const std::string& b, const std::string& extra = "") {
  const std::vector<double> w(8 * wide, 0.5);
  return "{\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\"" + extra + ", \"W\": " + rows(w.data(), 8 * wide, wide) +
         ", \"b\": " + b + "}";
}

TEST(LipTemplate, LoadsAndRefusesEveryBrokenRuleWithItsText) {
  const LipContour plain = LipContour::fromTemplateJson(templ("edge", "\"inward\"", "lip_idx", "[3, 5]"), 128);
  EXPECT_TRUE(plain.lip_idx == std::vector<int32_t>({3, 5}) && plain.nv == 4 && plain.feather_px == 4.0f && plain.W.empty());
  const std::string b8 = "[1,2,3,4,5,6,7,8]", P = "lip_template.v1.json: ", A = "{\"schema\": \"lip-map-v1\", \"kind\": \"anchor-linear\", ";
  const LipContour mapped = LipContour::fromTemplateJson(templ("lip_map", lipMap(8, b8, ", \"canvas\": 128")), 128);
  EXPECT_TRUE(mapped.lip_idx == std::vector<int32_t>({17, 18, 19, 20}) && mapped.W.size() == 64 && mapped.b.size() == 8);
  const struct {
    std::string text, message;
  } cases[] = {
      {"{\"format\": ", P + "is not parseable JSON (teeth: JSON truncated)"},
      {"[1, 2]", P + "is not a JSON object"},
      {templ("format", "7"), P + "carries no string `format`"},
      {templ("format", "\"lip-template-v2\""), P + "declares format 'lip-template-v2', not 'lip-template-v1' — this runtime cannot read it"},
      {templ("edge", "\"outward\""), P + "declares edge 'outward', and the contour feather is OUTWARD — refusing to serve a "
                                         "mask this runtime does not compute"},
      {templ("canvas", ""), P + "carries no numeric `canvas`"},
      {templ("canvas", "256"), P + "was baked on a 256 canvas but this bundle composes on 128 — refusing to deform a "
                                   "polygon onto a canvas it does not name"},
      {templ("feather_px", "\"4\""), P + "carries no numeric `feather_px`"},
      {templ("feather_px", "0"), P + "declares feather_px 0.000000, which is not positive"},
      {templ("u_canon", "{}"), P + "carries no non-empty `u_canon` array"},
      {templ("u_canon", "[[1, 0], [1]]"), P + "u_canon row 1 is not a 2-vector — this is not an nv x 2 template"},
      {templ("lip_idx", "[]"), P + "carries a `lip_idx` that is not a non-empty array"},
      {templ("lip_idx", "[17, 21]"), P + "lip_idx names keypoint row 21, and a kd row is 0..20"},
      {templ("lip_idx", "[-2]"), P + "lip_idx names keypoint row -2, and a kd row is 0..20"},
      {templ("lip_idx", "[17, 20.5]"), P + "lip_idx names keypoint row 20.5, and a kd row is 0..20"},
      {templ("lip_idx", "[-0.5]"), P + "lip_idx names keypoint row -0.5, and a kd row is 0..20"},
      {templ("lip_idx", "[\"17\"]"), P + "lip_idx entry 0 is not a number"},
      {templ("lip_map", "5"), P + "lip_map is not a JSON object"},
      {templ("lip_map", "{\"schema\": \"lip-map-v2\"}"), P + "lip_map declares schema 'lip-map-v2', not 'lip-map-v1' — "
                                                          "this runtime cannot evaluate it"},
      {templ("lip_map", "{\"schema\": \"lip-map-v1\", \"kind\": \"affine\"}"), P + "lip_map kind is not 'anchor-linear'"},
      {templ("lip_map", A + "\"lip_idx\": [1,2,3,4,5,6,7,8,9]}"), P + "lip_map lip_idx is not 1..8 kd rows"},
      {templ("lip_map", A + "\"lip_idx\": [17, 20.5]}"), P + "lip_map lip_idx names a row outside 0..20"},
      {templ("lip_map", A + "\"W\": []}"), P + "lip_map carries no W/b arrays"},
      {templ("lip_map", lipMap(8, "[1,2,3,4,5,6,7]")), P + "lip_map W/b have 8/7 rows, not 2*nv=8"},
      {templ("lip_map", lipMap(7, b8)), P + "lip_map W row 0 is not 8 wide"},
      {templ("lip_map", lipMap(8, "[1,2,3,4,5,6,7,inf]")), P + "lip_map carries a non-finite coefficient"},
      {templ("lip_map", lipMap(8, b8, ", \"canvas\": 64")), P + "lip_map was fitted on another canvas than this bundle composes on"},
  };
  for (const auto& c : cases) EXPECT_EQ(thrown([&] { LipContour::fromTemplateJson(c.text, 128); }), c.message) << c.text;

  // The renderer refuses a real bundle whose template breaks a rule, and loads it otherwise.
  tqtest::TempDir tmp;
  const std::string dir = tmp / "bundle";
  ASSERT_TRUE(tqtest::runFixtureTool({"identity-bundle", dir, "--nt", "3", "--crop", "32", "--prior", "raw"}));
  ASSERT_TRUE(tqtest::runFixtureTool({"director", "--out", dir + "/model_b1.onnx", "--crop", "32"}));
  for (const std::string feather : {"0", "4"}) {
    tqtest::writeText(dir + "/lip_template.v1.json", templ("canvas", "32", "feather_px", feather));
    const tq::Manifest m = tq::loadManifest(dir);
    const tq::Identity id(m);
    EXPECT_EQ(thrown([&] { tq::Renderer r(m, id, "b1", 1, ""); }),
              feather == "0" ? P + "declares feather_px 0.000000, which is not positive" : "(nothing thrown)");
  }
}

// Keypoints off the canvas, huge, NaN or infinite: every output stays empty, the shifts
// are left alone and nothing is written past the caller's canvas (the 77s after it).
TEST(GeometryEdges, NothingIsWrittenOutsideTheCanvas) {
  const int canvas = 64;
  const std::size_t px = canvas * canvas;
  const UnifiedPi pi = makePi(canvas, true, 1.0, kPad);
  const std::vector<double> u = starShape(16);
  LipContour lc(canvas, 3.0f, u.data(), 16, nullptr, 0);
  const auto emptyAndGuarded = [&](const auto& v) {
    return std::count(v.begin(), v.begin() + px, 0) == long(px) && std::count(v.begin() + px, v.end(), 77) == 64;
  };
  const float inf = std::numeric_limits<float>::infinity();
  for (const auto& [dx, dy] : {std::pair<float, float>{5, 0}, {-3, -4}, {1e30f, 1e30f}, {NAN, 0}, {inf, -inf}, {-3e38f, 3e38f}}) {
    SCOPED_TRACE(std::to_string(dx) + "," + std::to_string(dy));
    std::vector<float> kp = makeFrames(1, 11);
    for (int r = 12; r <= 20; ++r) kp[3 * r] += dx, kp[3 * r + 1] += dy;
    const Box sb = pi.supportBox(kp.data());
    EXPECT_TRUE(sb.x0 >= 0 && sb.y0 >= 0 && sb.x0 <= sb.x1 && sb.y0 <= sb.y1 && sb.x1 <= canvas && sb.y1 <= canvas);
    std::vector<uint8_t> a(px + 64, 77), b(px + 64, 77), d(px + 64, 77), e(px + 64, 77);
    std::vector<float> f(px + 64, 77);
    std::fill(e.begin(), e.begin() + px, 200);
    int32_t sy = 12345, sx = 12345;
    const double cc[2] = {32, 32};
    pi.piU8Boxed(kp.data(), a.data());
    EXPECT_FALSE(pi.piU8AndShift(kp.data(), cc, b.data(), sy, sx));
    lc.contourF32Canvas(kp.data(), f.data());
    lc.deliveredU8(kp.data(), pi, d.data());
    EXPECT_FALSE(lc.shrinkU8InPlace(kp.data(), Box{-10, -10, canvas + 10, canvas + 10}, e.data()));
    EXPECT_FALSE(lc.deliveredU8AndShift(kp.data(), pi, cc, b.data(), sy, sx));
    EXPECT_EQ(sy + sx, 2 * 12345);
    EXPECT_TRUE(emptyAndGuarded(a) && emptyAndGuarded(b) && emptyAndGuarded(d) && emptyAndGuarded(e) && emptyAndGuarded(f));
  }
  // One vertex a billion pixels away: the outline is clipped, the loop ends, the field
  // stays on the canvas and within 0..1.
  std::vector<double> W(32 * 8, 0.0), b(32, 0.0), poly(32);
  for (int i = 0; i < 32; ++i) b[i] = i == 10 ? 1e9 : i == 11 ? -3e9 : 10 * u[i];
  const int32_t idx[4] = {17, 18, 19, 20};
  lc.attachMap(W.data(), b.data(), 32, 8, idx, 4);
  const std::vector<float> kp = makeFrames(1, 11);
  lc.polygon(kp.data(), poly.data());
  EXPECT_TRUE(lc.box(poly.data()).x1 == canvas && lc.box(poly.data()).y0 == 0);
  std::vector<float> f(px + 64, 77);
  lc.contourF32Canvas(kp.data(), f.data());
  EXPECT_EQ(std::count_if(f.begin(), f.begin() + px, [](float v) { return v >= 0.0f && v <= 1.0f; }), long(px));
  EXPECT_TRUE(std::count(f.begin(), f.begin() + px, 1.0f) > 50 && std::count(f.begin() + px, f.end(), 77.0f) == 64);
  // A caller's own box over a polygon with NaN and infinite vertices.
  poly.assign(32, 20.0);
  poly[3] = NAN, poly[6] = -std::numeric_limits<double>::infinity();
  std::vector<uint8_t> small(64 + 64, 77);
  lc.fillScanline(poly.data(), Box{16, 16, 24, 24}, small.data());
  EXPECT_EQ(std::count(small.begin() + 64, small.end(), 77), 64);
}

// Canvas 1 is one pixel at -1. Anchors on one point collapse the outline to the centre
// pixel, 1 there, its feather 0 from feather_px on: with 0.955 (one orthogonal chamfer
// step) that pixel alone, with 3 the 29 pixels within three steps.
TEST(GeometryEdges, CanvasOneAndCollapsedAnchors) {
  EXPECT_EQ(makePi(1, false, 1.0, kPad).gx, std::vector<float>{-1.0f});
  const std::vector<double> u = starShape(12);
  std::vector<float> kp(63, 0.0f), f(64 * 64);
  for (const float feather : {0.955f, 3.0f}) {
    LipContour(64, feather, u.data(), 12, nullptr, 0).contourF32Canvas(kp.data(), f.data());
    EXPECT_EQ(f[32 * 64 + 32], 1.0f);
    EXPECT_EQ(std::count_if(f.begin(), f.end(), [](float v) { return v > 0.0f; }), feather < 1 ? 1 : 29) << feather;
  }
}

}  // namespace
