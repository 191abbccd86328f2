// Loading "lip_template.v1.json": every rule is checked before anything is
// built, and a template that breaks one is refused whole.
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "tessera/tq_lip_contour.h"
#include "tessera/tq_tessera_json.h"

namespace tq {
namespace tessera {

namespace {

using json::JVal;

[[noreturn]] void refuse(const std::string& detail) {
  throw std::runtime_error(std::string("lip_template.v1.json") + ": " + detail);
}

bool fitsInt32(double v) {
  return v > static_cast<double>(std::numeric_limits<int32_t>::min()) - 1.0 &&
         v < static_cast<double>(std::numeric_limits<int32_t>::max()) + 1.0;
}

// The integer a number truncates to, or its own text when it has none.
std::string truncText(double v) {
  return fitsInt32(v) ? std::to_string(static_cast<int32_t>(v)) : json::numText(v);
}

bool finite(const JVal& v) { return v.isNumber() && std::isfinite(v.num); }

}  // namespace

LipContour LipContour::fromTemplateJson(const std::string& text, int32_t canvas) {
  JVal root;
  try {
    root = json::parse(text);
  } catch (const std::exception& e) {
    refuse(std::string("is not parseable JSON (") + e.what() + ")");
  }
  if (!root.isObject()) refuse("is not a JSON object");

  const JVal* format = root.findKind("format", json::Kind::String);
  if (!format) refuse("carries no string `format`");
  if (format->str != "lip-template-v1")
    refuse("declares format '" + format->str + "', not 'lip-template-v1' — this runtime cannot read it");

  const JVal* edge = root.findKind("edge", json::Kind::String);
  if (edge && edge->str == "outward")
    refuse("declares edge 'outward', and the contour feather is OUTWARD — refusing to serve a mask this runtime "
           "does not compute");

  const JVal* cv = root.findKind("canvas", json::Kind::Number);
  if (!cv) refuse("carries no numeric `canvas`");
  if (!fitsInt32(cv->num) || static_cast<int32_t>(cv->num) != canvas)
    refuse("was baked on a " + truncText(cv->num) + " canvas but this bundle composes on " + std::to_string(canvas) +
           " — refusing to deform a polygon onto a canvas it does not name");

  const JVal* fe = root.findKind("feather_px", json::Kind::Number);
  if (!fe) refuse("carries no numeric `feather_px`");
  char fbuf[512];
  std::snprintf(fbuf, sizeof fbuf, "%f", fe->num);
  if (!(fe->num > 0.0)) refuse(std::string("declares feather_px ") + fbuf + ", which is not positive");
  const float feather = static_cast<float>(fe->num);
  if (!std::isfinite(feather)) refuse(std::string("declares feather_px ") + fbuf + ", which is not a finite width");

  const JVal* uc = root.findKind("u_canon", json::Kind::Array);
  if (!uc || uc->arr.empty()) refuse("carries no non-empty `u_canon` array");
  if (uc->arr.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max() / 2))
    refuse("carries more `u_canon` rows than a polygon can hold");
  std::vector<double> u;
  u.reserve(uc->arr.size() * 2);
  for (std::size_t i = 0; i < uc->arr.size(); ++i) {
    const JVal& row = uc->arr[i];
    if (!row.isArray() || row.arr.size() != 2 || !row.arr[0].isNumber() || !row.arr[1].isNumber())
      refuse("u_canon row " + std::to_string(i) + " is not a 2-vector — this is not an nv x 2 template");
    if (!finite(row.arr[0]) || !finite(row.arr[1]))
      refuse("u_canon row " + std::to_string(i) + " carries a non-finite coordinate");
    u.push_back(row.arr[0].num);
    u.push_back(row.arr[1].num);
  }

  std::vector<int32_t> anchors;
  if (const JVal* li = root.find("lip_idx")) {
    if (!li->isArray() || li->arr.empty()) refuse("carries a `lip_idx` that is not a non-empty array");
    for (std::size_t i = 0; i < li->arr.size(); ++i) {
      const JVal& e = li->arr[i];
      if (!e.isNumber()) refuse("lip_idx entry " + std::to_string(i) + " is not a number");
      // A keypoint row is a whole number 0..20; NaN fails every test.
      if (!(e.num >= 0.0 && e.num <= 20.0 && e.num == std::floor(e.num)))
        refuse("lip_idx names keypoint row " + (e.num == std::floor(e.num) ? truncText(e.num) : json::numText(e.num)) +
               ", and a kd row is 0..20");
      anchors.push_back(static_cast<int32_t>(e.num));
    }
  }

  const int32_t nv = static_cast<int32_t>(uc->arr.size());
  LipContour lc(canvas, feather, u.data(), nv, anchors.empty() ? nullptr : anchors.data(),
                static_cast<int32_t>(anchors.size()));

  const JVal* map = root.find("lip_map");
  if (!map) return lc;
  if (!map->isObject()) refuse("lip_map is not a JSON object");
  const JVal* schema = map->findKind("schema", json::Kind::String);
  if (!schema || schema->str != "lip-map-v1")
    refuse("lip_map declares schema '" + (schema ? schema->str : std::string("?")) +
           "', not 'lip-map-v1' — this runtime cannot evaluate it");
  const JVal* kind = map->findKind("kind", json::Kind::String);
  if (!kind || kind->str != "anchor-linear") refuse("lip_map kind is not 'anchor-linear'");

  std::vector<int32_t> mapIdx{17, 18, 19, 20};
  if (const JVal* mi = map->find("lip_idx")) {
    if (!mi->isArray() || mi->arr.empty() || mi->arr.size() > 8) refuse("lip_map lip_idx is not 1..8 kd rows");
    mapIdx.clear();
    for (const JVal& e : mi->arr) {
      if (!e.isNumber() || !(e.num >= 0.0 && e.num <= 20.0) || e.num != std::floor(e.num))
        refuse("lip_map lip_idx names a row outside 0..20");
      mapIdx.push_back(static_cast<int32_t>(e.num));
    }
  }
  const std::size_t rows = 2 * static_cast<std::size_t>(nv), cols = 2 * mapIdx.size();
  const JVal* W = map->findKind("W", json::Kind::Array);
  const JVal* b = map->findKind("b", json::Kind::Array);
  if (!W || !b) refuse("lip_map carries no W/b arrays");
  if (W->arr.size() != rows || b->arr.size() != rows)
    refuse("lip_map W/b have " + std::to_string(W->arr.size()) + "/" + std::to_string(b->arr.size()) +
           " rows, not 2*nv=" + std::to_string(rows));
  for (std::size_t i = 0; i < rows; ++i)
    if (!W->arr[i].isArray() || W->arr[i].arr.size() != cols)
      refuse("lip_map W row " + std::to_string(i) + " is not " + std::to_string(cols) + " wide");
  std::vector<double> w, bias;
  w.reserve(rows * cols);
  bias.reserve(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    for (const JVal& e : W->arr[i].arr) {
      if (!finite(e)) refuse("lip_map carries a non-finite coefficient");
      w.push_back(e.num);
    }
  }
  for (const JVal& e : b->arr) {
    if (!finite(e)) refuse("lip_map carries a non-finite coefficient");
    bias.push_back(e.num);
  }
  lc.attachMap(w.data(), bias.data(), static_cast<int32_t>(rows), static_cast<int32_t>(cols), mapIdx.data(),
               static_cast<int32_t>(mapIdx.size()));
  if (const JVal* mc = map->find("canvas")) {
    if (!mc->isNumber() || !fitsInt32(mc->num) || static_cast<int32_t>(mc->num) != canvas)
      refuse("lip_map was fitted on another canvas than this bundle composes on");
  }
  return lc;
}

}  // namespace tessera
}  // namespace tq
