#include "tessera/tq_bundle_tessera.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "bundle/tq_bundle.h"
#include "bundle/tq_imx.h"
#include "tessera/tq_tessera_json.h"

namespace tq {

namespace json = tessera::json;

const std::vector<std::string>& tesseraSlotKeys() {
  static const std::vector<std::string> keys = {"bank_track", "bank_sidecar", "head_weights",
                                                "head_config"};
  return keys;
}

int tesseraSlotCount() { return 4; }

std::string& TesseraSlots::operator[](std::size_t i) {
  return const_cast<std::string&>(static_cast<const TesseraSlots&>(*this)[i]);
}

const std::string& TesseraSlots::operator[](std::size_t i) const {
  switch (i) {
    case 0: return bank_track;
    case 1: return bank_sidecar;
    case 2: return head_weights;
    case 3: return head_config;
  }
  throw std::out_of_range("teeth: member slot index out of range");
}

const std::string& TesseraCarriage::path(const std::string& slotKey) const {
  const auto& keys = tesseraSlotKeys();
  for (std::size_t i = 0; i < keys.size(); ++i)
    if (keys[i] == slotKey) return paths[i];
  throw std::runtime_error("teeth: no such member slot '" + slotKey + "'");
}

// ---------------------------------------------------------------- stamp

const std::array<const char*, GeometryStamp::kCount>& GeometryStamp::keys() {
  static const std::array<const char*, kCount> k = {
      "canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h",
      "pad",      "band_r0",  "band_r1",   "band_c0",   "band_c1",  "shift_margin"};
  return k;
}

std::array<int32_t, GeometryStamp::kCount> GeometryStamp::values() const {
  return {canvas_w, canvas_h, window_x0, window_y0, window_w, window_h,
          pad,      band_r0,  band_r1,   band_c0,   band_c1,  shift_margin};
}

GeometryStamp GeometryStamp::fromValues(const std::array<int32_t, kCount>& v) {
  GeometryStamp s;
  s.canvas_w = v[0], s.canvas_h = v[1], s.window_x0 = v[2], s.window_y0 = v[3];
  s.window_w = v[4], s.window_h = v[5], s.pad = v[6], s.band_r0 = v[7];
  s.band_r1 = v[8], s.band_c0 = v[9], s.band_c1 = v[10], s.shift_margin = v[11];
  return s;
}

std::string GeometryStamp::text() const {
  const auto v = values();
  std::string out = "{";
  for (int i = 0; i < kCount; ++i)
    out += std::string(i ? ", " : "") + keys()[i] + "=" + std::to_string(v[i]);
  return out + "}";
}

void GeometryStamp::validate() const {
  using I = int64_t;
  const I P = pad, M = shift_margin;
  const struct {
    bool failed;
    const char* text;
  } rules[] = {
      {window_w < 1 || window_h < 1, "window dims must be positive"},
      {window_x0 < 0 || I(window_x0) + window_w > canvas_w, "window x-range escapes canvas"},
      {window_y0 < 0 || I(window_y0) + window_h > canvas_h, "window y-range escapes canvas"},
      {band_r0 < 0 || band_r1 <= band_r0 || band_r1 > window_h, "band rows escape window"},
      {band_c0 < 0 || band_c1 <= band_c0 || band_c1 > window_w, "band cols escape window"},
      {M < 0 || P < 1, "pad/shift_margin must be positive"},
      {P + band_r0 < M || P + band_r1 + M > I(window_h) + 2 * P, "stored band rows escape patch"},
      {P + band_c0 < M || P + band_c1 + M > I(window_w) + 2 * P, "stored band cols escape patch"},
  };
  std::string msg;
  for (const auto& r : rules)
    if (r.failed) msg += std::string(" ") + r.text + ";";
  if (!msg.empty()) throw std::runtime_error("teeth: GeometryStamp incoherent:" + msg);
}

uint64_t TesseraAttachInputs::patchBytes() const {
  return static_cast<uint64_t>(band_w) * static_cast<uint64_t>(band_h) * 3;
}

uint64_t TesseraAttachInputs::bandBytes() const { return patchBytes() * static_cast<uint64_t>(n_donors); }

// ---------------------------------------------------------------- carriage

namespace {

const char* const kManifestNames[] = {"manifest.json", "meta.json"};

// First manifest candidate that opens for reading, or "".
std::string findManifest(const std::string& dir) {
  for (const char* name : kManifestNames) {
    const std::string p = dir + "/" + name;
    if (isReadable(p)) return p;
  }
  return "";
}

// The whole file; the texts are those of the member loader.
std::string readWhole(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  struct stat st;
  if (!f || fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode))
    throw std::runtime_error("teeth: cannot open " + path);
  std::string out(static_cast<std::size_t>(st.st_size), '\0');
  if (std::fread(&out[0], 1, out.size(), f.get()) != out.size())
    throw std::runtime_error("teeth: short read " + path);
  return out;
}

}  // namespace

TesseraCarriage tesseraCarriage(const std::string& dirIn) {
  const std::string dir = resolveBundlePath(dirIn);
  TesseraCarriage c;
  json::JVal root;
  bool parsed = false;
  try {
    const std::string mpath = findManifest(dir);
    if (!mpath.empty()) {
      root = json::parse(readWhole(mpath));
      parsed = true;
    }
  } catch (const std::exception&) {
    parsed = false;  // no manifest, or not JSON: nothing declared
  }
  if (parsed) {
    if (const json::JVal* t = root.findKind("tessera", json::Kind::Object)) {
      c.declared = true;
      if (const json::JVal* members = t->findKind("members", json::Kind::Object))
        for (int i = 0; i < tesseraSlotCount(); ++i) {
          const json::JVal* v = members->find(tesseraSlotKeys()[i]);
          if (v && v->isString() && !v->str.empty()) c.names[i] = v->str;
        }
      if (const json::JVal* planes = t->findKind("planes", json::Kind::Array))
        for (const json::JVal& p : planes->arr)
          if (p.isString()) c.planes.push_back(p.str);
    }
  }
  for (int i = 0; i < tesseraSlotCount(); ++i) {
    c.paths[i] = resolveMember(dir, c.names[i]);
    if (!isReadable(c.paths[i])) c.missing.push_back(tesseraSlotKeys()[i]);
  }
  c.complete = c.missing.empty();
  return c;
}

TesseraCarriage tesseraCarriage(const Manifest& manifest) { return tesseraCarriage(manifest.dir); }

void requireTesseraMembers(const TesseraCarriage& c) {
  if (c.complete) return;
  std::string msg = "missing teeth member(s): ";
  for (std::size_t i = 0; i < c.missing.size(); ++i)
    msg += (i ? ", " : "") + c.missing[i] + " (" + c.path(c.missing[i]) + ")";
  msg += " — carries " + std::to_string(tesseraSlotCount() - static_cast<int>(c.missing.size())) +
         " of 4";
  if (c.declared) msg += " and declares a manifest.tessera block the members do not keep";
  msg +=
      ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; "
      "any missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no "
      "rendering mode that proceeds without them (brevane-2 IS borrowed teeth). Re-stage the "
      "bundle with the bank builder.";
  throw MissingTesseraMember(msg, c.missing);
}

// ---------------------------------------------------------------- member load

namespace {

[[noreturn]] void refuse(const std::string& msg) { throw std::runtime_error(msg); }

std::string optStr(const json::JVal* obj, const char* key, const std::string& dflt) {
  const json::JVal* v = obj ? obj->find(key) : nullptr;
  return v && v->isString() ? v->str : dflt;
}

double reqNum(const json::JVal& obj, const char* key, const std::string& label) {
  const json::JVal* v = obj.find(key);
  if (!v || !v->isNumber()) refuse("teeth: " + label + " lacks numeric '" + key + "'");
  return v->num;
}

GeometryStamp readStamp(const json::JVal& g, const std::string& label) {
  std::array<int32_t, GeometryStamp::kCount> v;
  for (int i = 0; i < GeometryStamp::kCount; ++i) {
    const char* key = GeometryStamp::keys()[i];
    v[i] = json::toInt32(reqNum(g, key, label), label + "." + key);
  }
  return GeometryStamp::fromValues(v);
}

json::JVal parseMember(const std::string& text, const std::string& path) {
  try {
    return json::parse(text);
  } catch (const std::exception& e) {
    refuse("teeth: " + path + " is not readable JSON: " + e.what());
  }
}

// An array element that must be a finite number.
double finiteAt(const json::JVal& arr, std::size_t i, const std::string& P, const char* name) {
  const json::JVal& v = arr.arr[i];
  if (!v.isNumber() || !std::isfinite(v.num))
    refuse(P + " " + name + "[" + std::to_string(i) + "] is not a finite number");
  return v.num;
}

}  // namespace

TesseraAttachInputs loadTesseraMembers(const std::string& dirIn) {
  // 1. Carriage.
  const std::string dir = resolveBundlePath(dirIn);
  const TesseraCarriage carriage = tesseraCarriage(dir);
  requireTesseraMembers(carriage);

  // 2. Manifest.
  const std::string mpath = findManifest(dir);
  if (mpath.empty())
    refuse(dir + " carries no " + kManifestNames[0] + " or " + kManifestNames[1] +
           " — the compose descriptor (unified.pi) the pass places its window by lives there, and "
           "placing a borrow window without it is guessing.");

  // 3. Whole files.
  TesseraAttachInputs in;
  in.manifest_json = readWhole(mpath);
  in.head_json = readWhole(carriage.paths[3]);
  {
    const std::string pt = readWhole(carriage.paths[2]);
    // Hosts see the length as 32 bits.
    if (pt.size() > std::numeric_limits<uint32_t>::max())
      refuse("teeth: " + carriage.paths[2] + " is larger than 4 GiB");
    in.head_pt.assign(pt.begin(), pt.end());
  }
  in.bank_track_path = carriage.paths[0];
  const std::string P = carriage.paths[1];
  const std::string sidecarText = readWhole(P);

  // 4. Parse.
  const json::JVal side = parseMember(sidecarText, P);
  const json::JVal man = parseMember(in.manifest_json, mpath);

  // 5. Generation.
  const std::string format = optStr(&side, "format", "");
  if (format != "tessera_bank.v1")
    refuse(P + " declares format '" + format +
           "', not 'tessera_bank.v1' — this reader does not know that generation and will not "
           "guess at its keys.");

  // 6-7. Stamp, and agreement with the manifest's.
  const json::JVal* geom = side.findKind("geometry", json::Kind::Object);
  if (!geom) refuse(P + " carries no `geometry` stamp");
  in.stamp = readStamp(*geom, P + ".geometry");
  const json::JVal* T = man.findKind("tessera", json::Kind::Object);
  if (T)
    if (const json::JVal* mg = T->findKind("geometry", json::Kind::Object)) {
      const GeometryStamp ms = readStamp(*mg, "manifest.tessera.geometry");
      if (ms != in.stamp)
        refuse("teeth geometry DISAGREES between the manifest and the bank sidecar — manifest " +
               ms.text() + " vs " + P + " " + in.stamp.text() +
               "; refusing to place a window on a rectangle the two halves of the bundle do not "
               "agree on.");
    }

  // 8. Stored patch size, in 64 bits so that extreme stamps cannot wrap.
  const GeometryStamp& s = in.stamp;
  const int64_t bw = int64_t(s.band_c1) - s.band_c0 + 2 * int64_t(s.shift_margin);
  const int64_t bh = int64_t(s.band_r1) - s.band_r0 + 2 * int64_t(s.shift_margin);
  if (bw < 1 || bh < 1)
    refuse("teeth stamp yields a non-positive stored patch (" + std::to_string(bw) + "x" +
           std::to_string(bh) + ")");
  // A bank of 1024 such patches must stay addressable.
  constexpr int64_t kMaxSide = 1 << 20;
  if (bw > kMaxSide || bh > kMaxSide || bw * bh > kMaxSide * 16)
    refuse("teeth stamp yields an oversized stored patch (" + std::to_string(bw) + "x" +
           std::to_string(bh) + ")");
  in.band_w = static_cast<int32_t>(bw);
  in.band_h = static_cast<int32_t>(bh);

  // 9. Donor count.
  const int32_t n = json::toInt32(reqNum(side, "n_donors", P), P + ".n_donors");
  const std::string ns = std::to_string(n);
  if (n <= 0) refuse(P + " says n_donors=" + ns);
  if (n > kMaxTesseraDonors)
    refuse(P + " carries n_donors=" + ns + ", over the owner's cap of " +
           std::to_string(kMaxTesseraDonors) +
           " (ruling 2026-08-28). This reader REFUSES rather than capping: the selector is the "
           "bank's BUILD-time cap selector, and a second one here would change which donors reach "
           "the mouth while every count-based check stayed green. Rebuild the bank.");
  in.n_donors = n;

  // 10. Arrays and their lengths.
  const json::JVal* order = side.findKind("track_order", json::Kind::Array);
  const json::JVal* cent = side.findKind("cent", json::Kind::Array);
  const json::JVal* aperture = side.findKind("aperture", json::Kind::Array);
  const json::JVal* canon = side.findKind("c_canon", json::Kind::Array);
  if (!order || !cent || !aperture || !canon)
    refuse(P + " lacks one of track_order/cent/aperture/c_canon as an array");
  const std::size_t un = static_cast<std::size_t>(n);
  if (order->arr.size() != un || cent->arr.size() != un || aperture->arr.size() != un)
    refuse(P + " says n_donors=" + ns + " but carries track_order=" +
           std::to_string(order->arr.size()) + ", cent=" + std::to_string(cent->arr.size()) +
           ", aperture=" + std::to_string(aperture->arr.size()) +
           " — a count mismatch silently mis-orders the donors.");
  if (canon->arr.size() != 2) refuse(P + " c_canon is not a pair");

  // 11. track_order: a permutation of 0..n-1.
  std::vector<bool> seen(un, false);
  in.track_order.reserve(un);
  for (std::size_t i = 0; i < un; ++i) {
    const double t = std::trunc(finiteAt(*order, i, P, "track_order"));
    if (t < 0 || t >= n)
      refuse(P + " track_order[" + std::to_string(i) + "]=" + json::numText(t) +
             " is outside [0," + ns + ")");
    const int32_t v = static_cast<int32_t>(t);
    if (seen[v])
      refuse(P + " track_order is not a permutation (reference " + std::to_string(v) +
             " appears twice) — the inverse permutation would leave a reference slot never "
             "written and the pass would blend uninitialised memory into a real mouth.");
    seen[v] = true;
    in.track_order.push_back(v);
  }

  // 12. Centroids, apertures, canonical centroid.
  in.cent.reserve(2 * un);
  for (std::size_t i = 0; i < un; ++i) {
    const json::JVal& pair = cent->arr[i];
    if (!pair.isArray() || pair.arr.size() != 2 || !pair.arr[0].isNumber() ||
        !pair.arr[1].isNumber() || !std::isfinite(pair.arr[0].num) ||
        !std::isfinite(pair.arr[1].num))
      refuse(P + " cent[" + std::to_string(i) + "] is not an (x,y) pair");
    in.cent.push_back(pair.arr[0].num);
    in.cent.push_back(pair.arr[1].num);
  }
  in.aperture.reserve(un);
  for (std::size_t i = 0; i < un; ++i) in.aperture.push_back(finiteAt(*aperture, i, P, "aperture"));
  for (std::size_t i = 0; i < 2; ++i) in.c_canon[i] = finiteAt(*canon, i, P, "c_canon");

  // 13. Bank description.
  in.bank_container = optStr(T, "bank_container", "mp4");
  in.bank_packing = optStr(T, "bank_packing", "rgb24_frames");
  const json::JVal* codec = side.findKind("codec", json::Kind::Object);
  in.bank_codec = optStr(T, "bank_codec", optStr(codec, "codec", ""));
  in.bank_pix_fmt = optStr(T, "bank_pix_fmt", optStr(codec, "pix_fmt", ""));
  if (in.bank_pix_fmt.empty())
    refuse(P + ": neither manifest.tessera.bank_pix_fmt nor " + P +
           ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format "
           "negotiates one, and the one it settles on is 4:2:0 — lossy chroma on reference pixels "
           "IS the borrow degrading. Refusing rather than letting it guess.");
  return in;
}

TesseraAttachInputs loadTesseraMembers(const Manifest& manifest) {
  return loadTesseraMembers(manifest.dir);
}

void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* donor) {
  if (!track || !donor) refuse("teeth: null band buffer");
  if (in.n_donors < 0 || in.track_order.size() != static_cast<std::size_t>(in.n_donors))
    refuse("teeth: track_order does not match n_donors");
  const uint64_t stride = in.patchBytes();
  if (in.band_w <= 0 || in.band_h <= 0 || stride == 0) refuse("teeth: zero reference stride");
  for (int32_t d : in.track_order)
    if (d < 0 || d >= in.n_donors) refuse("teeth: track_order does not match n_donors");
  for (std::size_t i = 0; i < in.track_order.size(); ++i)
    std::memcpy(donor + static_cast<uint64_t>(in.track_order[i]) * stride, track + i * stride,
                stride);
}

}  // namespace tq
