// The teeth pass: borrows real teeth from a bank of donor patches into the
// mouth window of each rendered face crop.
//
// Per frame: find the mouth's shift against the bank's canonical centroid,
// rank the donors on a teeth-coloured weight map (a coarse search on pooled
// half-precision descriptors, then full resolution for the short list), blend
// up to K of them per pixel with the small convolutional head, and composite
// the blend under the frame's compose mask. Frames leave one frame late so
// that the next frame's selection can serve as lookahead.
//
// Every stage imitates a half-precision reference: values are rounded to
// binary16 (nearest even) and widened back at fixed points.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "compute/tq_pool.h"
#include "tessera/tq_bundle_tessera.h"
#include "tessera/tq_tessera_head.h"

namespace tq {
namespace tessera {

namespace detail {
// tq::pool::parallelRange over a body held by reference: the std::function then
// stores one pointer in place, so a per-frame loop allocates nothing.
template <class F>
void parallelFor(std::size_t n, std::size_t grain, const F& body) {
  pool::parallelRange(n, grain, [&body](std::size_t b, std::size_t e) { body(b, e); });
}
}  // namespace detail

// The donor bank as the pass takes it.
struct BankData {
  int32_t n_donors = 0;
  std::vector<uint8_t> patches;   // RGB8 stored patches in donor order
  std::vector<double> cent;       // (x, y) per donor
  std::vector<double> aperture;   // one per donor
  std::array<double, 2> c_canon{};  // (x, y)
  GeometryStamp stamp;
};

// What emit hands back for one frame.
struct FrameResult {
  std::vector<uint8_t> window;      // window_h x window_w RGB8, empty when refused
  bool refused = false;
  std::string reason;               // "empty-pi" or "shift-out-of-range" when refused
  int32_t candidates = 0;           // donors blended
  float synthMean = 0.0f, synthMax = 0.0f;  // synthesis-weight plane over the band
  // Diagnostics: the emitted frame, its shift, its selection and the blended donors.
  int32_t frameIndex = -1;
  int32_t dy = 0, dx = 0;
  std::vector<int32_t> selection;
  std::vector<int32_t> donors;
};

// Synthesis-weight statistics over the frames counted so far.
struct SynthStats {
  uint64_t frames = 0;
  uint64_t pixels = 0;
  double sumMeans = 0.0;
  double max = 0.0;
};

class TeethPass {
 public:
  // Validates the stamp, the bank arrays and the configuration; builds the index.
  TeethPass(BankData bank, HeadWeights weights, ServeConfig config);
  virtual ~TeethPass();
  TeethPass(const TeethPass&) = delete;
  TeethPass& operator=(const TeethPass&) = delete;

  // rgb: canvas RGB8; mask: canvas 8-bit compose mask; shiftOrNull: optional
  // (dy, dx). True when the previous frame was emitted into result.
  bool push(int32_t frameIndex, const uint8_t* rgb, const uint8_t* mask, const int32_t* shiftOrNull,
            FrameResult& result);
  // Emits the held frame, if any, without lookahead.
  bool flush(FrameResult& result);

  // A consistent copy of the statistics; safe to call from another thread.
  SynthStats synthStats() const;

  int32_t windowW() const { return ww_; }
  int32_t windowH() const { return wh_; }
  std::size_t windowBytes() const { return static_cast<std::size_t>(ww_) * wh_ * 3; }
  int32_t nDonors() const { return nDonors_; }

  // Bytes of one stored patch of a valid stamp; throws when it is over 1 GiB.
  static uint64_t storedPatchBytes(const GeometryStamp& stamp);

  // ---- stages, public for tests and benchmarks
  // Indices 0..n-1 by ascending v; equal values keep index order.
  static void stableArgsort(const float* v, std::size_t n, int32_t* out);
  static std::vector<int32_t> stableArgsort(const std::vector<float>& v);
  // D[a * 256 + b] = |h(h(b/255) - h(a/255))|, built once per process.
  static const float* dTable();

  // Donor d canonically placed in a window_h x window_w three-plane half image.
  void canonicalWindowF16(int32_t d, uint16_t* out) const;
  // The same, filling (and clearing) rows r0..r1-1 only.
  void canonicalWindowF16Rows(int32_t d, uint16_t* out, int32_t r0, int32_t r1) const;
  // Per listed donor, a window_h x window_w RGB8 window placed relative to a frame shift.
  void gatherWindowsU8(const int32_t* list, int32_t n, int32_t dy, int32_t dx, uint8_t* out) const;
  // Accepts a given shift or derives one from the mask centroid; false with a reason otherwise.
  bool deriveShift(const uint8_t* mask, const int32_t* given, int32_t& dy, int32_t& dx,
                   std::string& reason) const;
  // Weight map and pooled query over the frame's window at (window_y0 + dy, window_x0 + dx).
  void retrievePrepare(const uint8_t* rgb, const uint8_t* mask, int32_t dy, int32_t dx);
  // Ranks the donors for the prepared frame; selection receives K donors.
  void retrieve(const uint8_t* rgb, int32_t dy, int32_t dx, std::vector<int32_t>& selection);
  // Weighted full-resolution difference of donor d against the frame window at (y0, x0).
  float exactTermFromBand(int32_t d, const uint8_t* frame, int32_t y0, int32_t x0, std::size_t stride,
                          const float* weights, int32_t r0, int32_t r1) const;
  // order1 ranks the donors by coarse score; exact holds the scores of its first Ks.
  void retrieveSelect(const int32_t* order1, const float* exact, std::vector<int32_t>& selection);
  // cands: n x 3 planes of window size; query: 3 planes; weightsOut: n + 1 planes;
  // blendedOut: 3 planes.
  void headForward(const float* cands, int32_t n, const float* query, const uint8_t* bandMask,
                   float* weightsOut, float* blendedOut);

  // Coarse scores and their order from the last retrieve.
  const std::vector<float>& coarseScores() const { return coarse_; }
  const std::vector<uint8_t>& bandMask() const { return band_; }
  const std::vector<float>& weightMap() const { return prevW_; }

 protected:
  const GeometryStamp& geometry() const { return stamp_; }
  const std::array<double, 2>& canonCentroid() const { return cCanon_; }
  const ServeConfig& config() const { return cfg_; }

 private:
  struct Pending {
    int32_t frameIndex = -1;
    std::vector<uint8_t> rgb, mask;
    std::vector<int32_t> selection;
    int32_t dy = 0, dx = 0;
    bool ok = false;
    std::string reason;
  };

  void buildIndex();
  // Window row and column of a donor's stored patch origin (64 bits: pad and margin are free).
  void placement(int32_t d, int32_t dy, int32_t dx, int64_t& top, int64_t& left) const;
  void emit(const Pending& p, const std::vector<int32_t>* lookahead, FrameResult& result);
  void pool4x4ToF16(const float* in, uint16_t* out, int planes) const;
  void composite(const Pending& p, FrameResult& result);

  // Stamp, configuration, weights, bank.
  GeometryStamp stamp_;
  ServeConfig cfg_;
  HeadWeights w_;
  int32_t nDonors_ = 0;
  std::vector<uint8_t> patches_;
  std::vector<double> cent_, aperture_;
  std::vector<int64_t> donorDx_, donorDy_;  // clamped to +-2 pad, which placement cannot tell apart
  std::array<double, 2> cCanon_{};
  int32_t wh_ = 0, ww_ = 0, qh_ = 0, qw_ = 0, h2_ = 0, w2_ = 0;
  int32_t storedH_ = 0, storedW_ = 0;
  std::size_t canvasPx_ = 0, windowPx_ = 0, pooledPx_ = 0, halfPx_ = 0;
  int32_t K_ = 0;
  std::vector<uint16_t> index_;   // n_donors x 3 x qh x qw
  std::vector<uint8_t> band_;     // window_h x window_w

  // Temporal state.
  std::vector<float> prevW_;
  bool havePrevW_ = false;
  std::vector<int32_t> carried_;
  int32_t carriedFrame_ = -1;
  bool haveCarried_ = false;
  Pending slots_[2];
  int held_ = -1;  // slot holding the frame waiting for its lookahead, -1 when none

  mutable std::mutex statsMu_;
  SynthStats stats_;

  // Per-frame scratch, sized once.
  std::vector<float> qPlanes_, wMap_, total_;
  std::vector<uint16_t> qPooled_, wPooled_;
  float wSum_ = 1.0f, wpSum_ = 1.0f;
  int32_t rowLo_ = 0, rowHi_ = 0;
  std::vector<float> coarse_, exact_, negSum_;
  std::vector<int32_t> order1_, order2_, list_, la_, cur_, carryOrder_;
  std::vector<uint8_t> gathered_;
  std::vector<float> cands_, query_, weights_, blended_;
  std::vector<float> hIn_, hA_, hB_, hLogit_, hUp_, hPoolQ_;
};

}  // namespace tessera
}  // namespace tq
