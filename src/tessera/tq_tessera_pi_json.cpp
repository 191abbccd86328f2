// Reading the compose geometry from the manifest's `unified` block, and naming
// the corpus geometry a bank was built against.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "tessera/tq_tessera_json.h"
#include "tessera/tq_tessera_pi.h"

namespace tq {
namespace tessera {

namespace {

using json::JVal;

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error("teeth-pi: " + text); }

std::string fixed2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

// A finite number that also fits a float, or nothing.
bool finiteFloat(const JVal& v, float& out) {
  if (!v.isNumber() || !std::isfinite(v.num)) return false;
  out = static_cast<float>(v.num);
  return std::isfinite(out);
}

struct CorpusRow {
  const char* name;
  float padX, padY, down;
};
const CorpusRow kCorpus[3] = {{"v1", 0.05f, 0.08f, 0.015f}, {"v2", 0.1f, 0.08f, 0.074f}, {"v3", 0.14f, 0.08f, 0.074f}};

constexpr double kMatchTolerancePx = 8.0;
constexpr double kAmbiguityMarginPx = 3.0;
// Two rows whose canonical centroids lie closer than this share of the margin
// cannot be told apart by any bank (v2 and v3 differ only in pad_x, which
// widens the lip region evenly about its mean).
constexpr double kIndistinctFraction = 0.1;

}  // namespace

UnifiedPi UnifiedPi::fromManifestJson(const std::string& text, int32_t canvas) {
  if (canvas < 1) refuse("engine canvas " + std::to_string(canvas) + " is not a positive size");
  const JVal root = json::parse(text);
  const JVal* uni = root.find("unified");
  if (!uni)
    refuse(
        "manifest has no `unified` block — this bundle predates the unified compose and cannot state the pi "
        "geometry it was baked with; refusing to guess one");
  const JVal& pi = uni->req("pi");
  const JVal& mode = pi.req("mode");
  if (!mode.isString()) refuse("unified.pi.mode is not a string");
  if (mode.str != "prop")
    refuse("unified.pi.mode '" + mode.str +
           "' is a compose-mask geometry this port cannot name — fail loud, never adapt (the stamped-geometry rule)");

  UnifiedPi u;
  u.canvas = canvas;
  u.mode = mode.str;
  if (const JVal* cr = pi.find("corner_recovery")) {
    if (cr->isBool())
      u.corner_recovery = cr->b;
    else if (cr->isString() && cr->str == "lip_landmark_half")
      u.corner_recovery = true;
    else
      refuse(
          "unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must never be "
          "guessed");
  }

  if (!finiteFloat(pi.req("prop_gate_scale"), u.prop_gate_scale))
    refuse("unified.pi.prop_gate_scale is not a finite number");

  const JVal& idx = pi.req("lip_idx");
  if (!idx.isArray() || idx.arr.empty()) refuse("unified.pi.lip_idx is not a non-empty array");
  for (std::size_t i = 0; i < idx.arr.size(); ++i) {
    const JVal& e = idx.arr[i];
    if (!e.isNumber()) refuse("unified.pi.lip_idx[" + std::to_string(i) + "] is not a number");
    // Truncation toward zero must land on a keypoint row; NaN fails both tests.
    if (!(e.num > -1.0 && e.num < 21.0))
      refuse("unified.pi.lip_idx names keypoint row " + json::numText(e.num) + ", and a keypoint row is 0..20");
    u.lip_idx.push_back(static_cast<int32_t>(e.num));
  }

  const JVal& geom = pi.req("lip_geom_params");
  if (!geom.isArray() || geom.arr.size() != 3) refuse("unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  for (int i = 0; i < 3; ++i)
    if (!finiteFloat(geom.arr[i], u.lip_geom_params[i]))
      refuse("unified.pi.lip_geom_params must be [pad_x, pad_y, down]");

  if (const JVal* crop = uni->find("crop")) {
    if (const JVal* cv = crop->find("canvas")) {
      if (!cv->isNumber()) refuse("unified.crop.canvas is not a number");
      const int32_t declared = json::toInt32(cv->num, "unified.crop.canvas");
      if (declared != canvas)
        refuse("engine renders at canvas " + std::to_string(canvas) + " but unified.crop.canvas is " +
               std::to_string(declared));
    }
  }
  u.fillGrid();
  return u;
}

UnifiedPi UnifiedPi::corpusFromManifestJson(const std::string& text, int32_t canvas, const float* xsTarget,
                                            int64_t nFrames, const double* cCanon, std::string* why) {
  if (!xsTarget || nFrames < 1)
    refuse(
        "the corpus frame is identified from the bundle's own xs_target and none was supplied — refusing to fall "
        "back to the stamped geometry, which is the GRAPH's compose field");
  if (!cCanon) refuse("no bank c_canon was supplied to identify the corpus frame against");
  const UnifiedPi base = fromManifestJson(text, canvas);

  struct Ranked {
    int row;
    double d;
  };
  Ranked ranked[3];
  double centroid[3][2];
  for (int k = 0; k < 3; ++k) {
    UnifiedPi trial = base;
    trial.lip_geom_params = {{kCorpus[k].padX, kCorpus[k].padY, kCorpus[k].down}};
    double cx = 0.0, cy = 0.0;
    trial.canonicalCentroid(xsTarget, nFrames, cx, cy);
    centroid[k][0] = cx, centroid[k][1] = cy;
    const double dx = cx - cCanon[0], dy = cy - cCanon[1];
    ranked[k] = {k, std::sqrt(dx * dx + dy * dy)};
  }
  // A NaN distance (a NaN c_canon) ranks last and never matches.
  auto key = [](double d) { return std::isnan(d) ? std::numeric_limits<double>::infinity() : d; };
  std::stable_sort(ranked, ranked + 3, [&](const Ranked& a, const Ranked& b) { return key(a.d) < key(b.d); });

  std::string ranking;
  for (const Ranked& r : ranked) ranking += std::string(" ") + kCorpus[r.row].name + "=" + fixed2(r.d) + "px";

  if (!(ranked[0].d <= kMatchTolerancePx))
    refuse("no corpus pi geometry matches this bank's c_canon (" + fixed2(cCanon[0]) + "," + fixed2(cCanon[1]) +
           ") within " + fixed2(kMatchTolerancePx) + "px —" + ranking +
           " — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody can name");
  int chosen = ranked[0].row;
  if (key(ranked[1].d) - ranked[0].d < kAmbiguityMarginPx) {
    // Rows whose centroids (nearly) coincide cannot be told apart by any bank:
    // the manifest's own lip_geom_params decide between them when they name one.
    const int a = ranked[0].row, b = ranked[1].row;
    const double apart = std::hypot(centroid[a][0] - centroid[b][0], centroid[a][1] - centroid[b][1]);
    const auto named = [&](int row) {
      return base.lip_geom_params[0] == kCorpus[row].padX && base.lip_geom_params[1] == kCorpus[row].padY &&
             base.lip_geom_params[2] == kCorpus[row].down;
    };
    const std::string pair = std::string(kCorpus[a].name) + " and " + kCorpus[b].name + " put the centroid " +
                             fixed2(apart) + "px apart";
    if (!(apart < kIndistinctFraction * kAmbiguityMarginPx))
      refuse("corpus pi geometry is AMBIGUOUS (best two within " + fixed2(kAmbiguityMarginPx) + "px) —" + ranking +
             " — refusing to guess the bank frame");
    if (named(a) == named(b))
      refuse("corpus pi geometry is AMBIGUOUS (best two within " + fixed2(kAmbiguityMarginPx) + "px) —" + ranking +
             " — " + pair + ", so the centroid cannot tell those two rows apart, and the manifest's lip_geom_params "
             "name neither — refusing to guess the bank frame");
    chosen = named(a) ? a : b;
    ranking += " (" + pair + "; took " + kCorpus[chosen].name + ", the manifest's own lip_geom_params)";
  }

  UnifiedPi out = base;
  const CorpusRow& best = kCorpus[chosen];
  out.lip_geom_params = {{best.padX, best.padY, best.down}};
  if (why) *why = ranking;
  return out;
}

}  // namespace tessera
}  // namespace tq
