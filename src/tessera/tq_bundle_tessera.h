// The four teeth members beside a bundle: whether the bundle carries them
// (the carriage), the refusal when it does not, and their cross-checked load
// into the inputs of the teeth pass.
//
// All four present arms the borrow; any one missing refuses it. There is no
// mode that renders without them.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tq {

struct Manifest;

// Slot keys in slot order: "bank_track", "bank_sidecar", "head_weights", "head_config".
const std::vector<std::string>& tesseraSlotKeys();
int tesseraSlotCount();

// Member file name per slot, defaulting to the names the bank builder writes.
struct TesseraSlots {
  std::string bank_track = "tessera_bank.v1.mp4";
  std::string bank_sidecar = "tessera_bank.v1.json";
  std::string head_weights = "tessera_head.v1.pt";
  std::string head_config = "tessera_head.v1.json";

  // Slot i in slot order (0..3).
  std::string& operator[](std::size_t i);
  const std::string& operator[](std::size_t i) const;
};

struct TesseraCarriage {
  TesseraSlots names;                          // file name per slot
  std::array<std::string, 4> paths;            // resolved path per slot
  bool complete = false;                       // no slot missing
  std::vector<std::string> missing;            // keys of the slots that do not open, slot order
  bool declared = false;                       // the manifest carries a `tessera` object
  std::vector<std::string> planes;             // the block's `planes` strings, for the host

  // Resolved path of a slot; throws "teeth: no such member slot '<key>'".
  const std::string& path(const std::string& slotKey) const;
};

// Scans a bundle for its members. Records missing or unreadable members and
// never throws for them (resolving a container can still throw).
TesseraCarriage tesseraCarriage(const std::string& dir);
TesseraCarriage tesseraCarriage(const Manifest& manifest);

// Thrown when a bundle lacks teeth members; carries the missing slot keys.
class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& message, std::vector<std::string> missing)
      : std::runtime_error(message), missing_(std::move(missing)) {}
  const std::vector<std::string>& missing() const { return missing_; }

 private:
  std::vector<std::string> missing_;
};

// Returns when the carriage is complete, else throws MissingTesseraMember.
void requireTesseraMembers(const TesseraCarriage& carriage);

// Placement of the borrow window, in the order of the stamp keys in JSON.
struct GeometryStamp {
  int32_t canvas_w = 0, canvas_h = 0;  // compose canvas
  int32_t window_x0 = 0, window_y0 = 0, window_w = 0, window_h = 0;  // borrow window on it
  int32_t pad = 0;
  int32_t band_r0 = 0, band_r1 = 0, band_c0 = 0, band_c1 = 0;  // mouth band in the window, end-exclusive
  int32_t shift_margin = 0;  // border stored around the band on each side

  static constexpr int kCount = 12;
  static const std::array<const char*, kCount>& keys();
  std::array<int32_t, kCount> values() const;
  static GeometryStamp fromValues(const std::array<int32_t, kCount>& v);
  bool operator==(const GeometryStamp& o) const { return values() == o.values(); }
  bool operator!=(const GeometryStamp& o) const { return !(*this == o); }
  // "{canvas_w=.., canvas_h=.., ...}"
  std::string text() const;
  // Throws "teeth: GeometryStamp incoherent: <rule>; <rule>; ..." naming every
  // rule the stamp breaks. Sums are taken in 64 bits.
  void validate() const;
};

// Everything the teeth pass is attached with, loaded and cross-checked.
struct TesseraAttachInputs {
  int32_t n_donors = 0;              // donor patches in the bank, 1..1024
  std::vector<int32_t> track_order;  // donor held by each bank-track frame (a permutation)
  std::vector<double> cent;          // (x, y) per donor
  std::array<double, 2> c_canon{};   // canonical centroid of the bank's compose frame
  std::vector<double> aperture;      // mouth aperture per donor
  GeometryStamp stamp;
  std::vector<uint8_t> head_pt;      // the whole head weights file
  std::string head_json;             // the head configuration text
  std::string manifest_json;         // the bundle manifest text
  std::string bank_track_path;
  std::string bank_container = "mp4";
  std::string bank_codec;
  std::string bank_pix_fmt;          // never empty after a load
  std::string bank_packing = "rgb24_frames";
  int32_t band_w = 0, band_h = 0;    // stored patch size (band plus shift margins)

  // Bytes of one stored RGB patch and of the whole bank.
  uint64_t patchBytes() const;
  uint64_t bandBytes() const;
};

// Most donors a bank may carry.
constexpr int32_t kMaxTesseraDonors = 1024;

TesseraAttachInputs loadTesseraMembers(const std::string& dir);
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest);

// Copies the n_donors patches of `track` (bank-track order) into donor order:
// patch i lands in the slot numbered track_order[i].
void reorderTrackToDonor(const TesseraAttachInputs& inputs, const uint8_t* track, uint8_t* donor);

}  // namespace tq
