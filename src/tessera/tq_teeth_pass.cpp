// TeethPass: construction, the donor index, window placement, and the
// one-frame-late push/flush/emit cycle with its composite.
#include "tessera/tq_teeth_pass.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "compute/tq_simd.h"

namespace tq {
namespace tessera {

namespace {

constexpr int32_t kMaxCandidates = 1024;
constexpr uint64_t kMaxCanvasPixels = uint64_t(1) << 28;

void requireAtLeast(const char* name, int32_t v, int32_t lo) {
  if (v < lo)
    throw std::runtime_error(std::string("teeth: head config ") + name + "=" + std::to_string(v) +
                             " must be at least " + std::to_string(lo));
}

void requireSize(const std::vector<float>& v, std::size_t n, const char* key) {
  if (v.size() != n)
    throw std::runtime_error(std::string("teeth: head '") + key + "' holds " + std::to_string(v.size()) +
                             " values, not " + std::to_string(n));
}

}  // namespace

TeethPass::TeethPass(BankData bank, HeadWeights weights, ServeConfig config)
    : stamp_(bank.stamp),
      cfg_(config),
      w_(std::move(weights)),
      nDonors_(bank.n_donors),
      patches_(std::move(bank.patches)),
      cent_(std::move(bank.cent)),
      aperture_(std::move(bank.aperture)),
      cCanon_(bank.c_canon) {
  const GeometryStamp& s = stamp_;
  s.validate();
  // The head blends at half size: a window under 2x2 leaves it nothing to work on.
  if (s.window_w < 2 || s.window_h < 2)
    throw std::runtime_error("teeth: window " + std::to_string(s.window_w) + "x" + std::to_string(s.window_h) +
                             " is under 2x2 — the head's half-size plane would be empty");
  const uint64_t canvasPx = uint64_t(uint32_t(s.canvas_w)) * uint32_t(s.canvas_h);
  if (canvasPx > kMaxCanvasPixels)
    throw std::runtime_error("teeth: canvas " + std::to_string(s.canvas_w) + "x" + std::to_string(s.canvas_h) +
                             " is too large");
  // The stamp, the patch buffer, the sidecar arrays, then the head config: a
  // bank with several faults names the first of them in that order.
  if (nDonors_ < 1 || nDonors_ > kMaxTesseraDonors)
    throw std::runtime_error("teeth: n_donors=" + std::to_string(nDonors_) + " is outside 1.." +
                             std::to_string(kMaxTesseraDonors));

  const uint64_t required = uint64_t(nDonors_) * storedPatchBytes(s);
  storedH_ = s.band_r1 - s.band_r0 + 2 * s.shift_margin;
  storedW_ = s.band_c1 - s.band_c0 + 2 * s.shift_margin;
  if (patches_.size() != required)
    throw std::runtime_error("teeth: reference track is " + std::to_string(patches_.size()) +
                             " bytes, the stamp requires " + std::to_string(required) +
                             " (n * stored_h * stored_w * 3) — a decoder that delivered a different pixel "
                             "format would land here");
  if (aperture_.size() != std::size_t(nDonors_) || cent_.size() != 2 * std::size_t(nDonors_))
    throw std::runtime_error("teeth: bank sidecar arrays disagree with n_donors");
  requireAtLeast("kshort", cfg_.kshort, 1);
  requireAtLeast("cut", cfg_.cut, 1);
  requireAtLeast("K", cfg_.K, 1);
  requireAtLeast("hysteresis", cfg_.hysteresis, 0);
  requireAtLeast("lookahead", cfg_.lookahead, 0);
  if (cfg_.K > kMaxCandidates)
    throw std::runtime_error("teeth: head config K=" + std::to_string(cfg_.K) + " is over " +
                             std::to_string(kMaxCandidates) + " candidates");
  requireSize(w_.cand0_w, 16 * 7 * 9, "cand.0.weight");
  requireSize(w_.cand0_b, 16, "cand.0.bias");
  requireSize(w_.cand2_w, 16 * 16 * 9, "cand.2.weight");
  requireSize(w_.cand2_b, 16, "cand.2.bias");
  requireSize(w_.cand4_w, 16 * 9, "cand.4.weight");
  requireSize(w_.cand4_b, 1, "cand.4.bias");

  donorDx_.resize(nDonors_);
  donorDy_.resize(nDonors_);
  // Any offset beyond 2 pad places a donor like 2 pad does for every shift
  // within +-pad; clamping keeps the conversion defined (NaN lands on 0).
  const double lim = 2.0 * s.pad;
  const auto offset = [lim](double v) {
    const double r = std::nearbyint(v);
    return int64_t(r > lim ? lim : r < -lim ? -lim : r == r ? r : 0.0);
  };
  for (int32_t d = 0; d < nDonors_; ++d) {
    donorDx_[d] = offset(cent_[2 * d] - cCanon_[0]);
    donorDy_[d] = offset(cent_[2 * d + 1] - cCanon_[1]);
  }

  wh_ = s.window_h, ww_ = s.window_w;
  qh_ = wh_ / 4, qw_ = ww_ / 4, h2_ = wh_ / 2, w2_ = ww_ / 2;
  canvasPx_ = std::size_t(canvasPx);
  windowPx_ = std::size_t(wh_) * ww_;
  pooledPx_ = std::size_t(qh_) * qw_;
  halfPx_ = std::size_t(h2_) * w2_;
  band_.assign(windowPx_, 0);
  for (int32_t r = s.band_r0; r < s.band_r1; ++r)
    std::fill(band_.begin() + std::size_t(r) * ww_ + s.band_c0, band_.begin() + std::size_t(r) * ww_ + s.band_c1, 1);

  K_ = cfg_.K;
  const std::size_t K = std::size_t(K_), n = std::size_t(nDonors_);
  for (Pending& p : slots_) {
    p.rgb.resize(canvasPx_ * 3);
    p.mask.resize(canvasPx_);
    p.selection.reserve(K);
    p.reason.reserve(32);
  }
  prevW_.assign(windowPx_, 0.0f);
  qPlanes_.resize(3 * windowPx_);
  wMap_.resize(windowPx_);
  qPooled_.resize(3 * pooledPx_);
  wPooled_.resize(pooledPx_);
  coarse_.resize(n);
  exact_.resize(n);
  order1_.resize(n);
  order2_.resize(n);
  carried_.reserve(K);
  for (auto* v : {&list_, &la_, &cur_, &carryOrder_}) v->reserve(2 * K + n);
  negSum_.resize(K);
  gathered_.resize(K * windowPx_ * 3);
  cands_.resize(K * 3 * windowPx_);
  query_.resize(3 * windowPx_);
  weights_.resize((K + 1) * windowPx_);
  blended_.resize(3 * windowPx_);
  hPoolQ_.resize(3 * halfPx_);
  hIn_.resize(K * 4 * halfPx_);
  hQ16_.resize(16 * halfPx_);
  w0Cand_.resize(16 * 4 * 9);
  w0Query_.resize(16 * 3 * 9);
  for (int o = 0; o < 16; ++o)
    for (int c = 0; c < 7; ++c) {
      const float* src = w_.cand0_w.data() + (o * 7 + c) * 9;
      float* dst = c >= 3 && c < 6 ? &w0Query_[(o * 3 + c - 3) * 9] : &w0Cand_[(o * 4 + (c < 3 ? c : 3)) * 9];
      std::copy(src, src + 9, dst);
    }
  hA_.resize(K * 16 * halfPx_);
  hB_.resize(K * 16 * halfPx_);
  hLogit_.resize(K * halfPx_);
  upX0_.resize(ww_), upX1_.resize(ww_), upFx_.resize(ww_);
  for (int32_t x = 0; x < ww_; ++x) upsampleTap(x, w2_, upX0_[x], upX1_[x], upFx_[x]);
  buildIndex();
}

TeethPass::~TeethPass() = default;

uint64_t TeethPass::storedPatchBytes(const GeometryStamp& s) {
  // The stamp bounds the band by the window but the margin only by the pad.
  constexpr int64_t kMaxPatchBytes = int64_t(1) << 30;
  const int64_t h = int64_t(s.band_r1) - s.band_r0 + 2 * int64_t(s.shift_margin);
  const int64_t w = int64_t(s.band_c1) - s.band_c0 + 2 * int64_t(s.shift_margin);
  if (h < 1 || w < 1 || h > kMaxPatchBytes || w > kMaxPatchBytes || h * w * 3 > kMaxPatchBytes)
    throw std::runtime_error("teeth: stored patch " + std::to_string(w) + "x" + std::to_string(h) +
                             " is empty or too large");
  return uint64_t(h * w * 3);
}

void TeethPass::placement(int32_t d, int32_t dy, int32_t dx, int64_t& top, int64_t& left) const {
  const int32_t P = stamp_.pad, M = stamp_.shift_margin;
  const int32_t sy = int32_t(std::min<int64_t>(std::max<int64_t>(donorDy_[d] - dy, -P), P));
  const int32_t sx = int32_t(std::min<int64_t>(std::max<int64_t>(donorDx_[d] - dx, -P), P));
  top = int64_t(stamp_.band_r0) - M - sy;
  left = int64_t(stamp_.band_c0) - M - sx;
}

void TeethPass::canonicalWindowF16(int32_t d, uint16_t* out) const { canonicalWindowF16Rows(d, out, 0, wh_); }

void TeethPass::canonicalWindowF16Rows(int32_t d, uint16_t* out, int32_t r0, int32_t r1) const {
  int64_t top, left;
  placement(d, 0, 0, top, left);
  const int64_t c0 = std::max<int64_t>(left, 0), c1 = std::min<int64_t>(left + storedW_, ww_);
  const uint8_t* patch = patches_.data() + std::size_t(d) * storedH_ * storedW_ * 3;
  for (int32_t r = std::max(r0, 0); r < std::min(r1, wh_); ++r) {
    for (int c = 0; c < 3; ++c) std::fill_n(out + c * windowPx_ + std::size_t(r) * ww_, ww_, uint16_t(0));
    const int64_t pr = r - top;
    if (pr < 0 || pr >= storedH_ || c0 >= c1) continue;
    simd::rgb8ToPlanarF16(patch + (std::size_t(pr) * storedW_ + (c0 - left)) * 3,
                          out + std::size_t(r) * ww_ + c0, windowPx_, std::size_t(c1 - c0));
  }
}

void TeethPass::gatherWindowsU8(const int32_t* list, int32_t n, int32_t dy, int32_t dx, uint8_t* out) const {
  const std::size_t rowBytes = std::size_t(ww_) * 3;
  for (int32_t i = 0; i < n; ++i) {
    uint8_t* win = out + std::size_t(i) * windowPx_ * 3;
    std::memset(win, 0, windowPx_ * 3);
    const int32_t d = list[i];
    int64_t top, left;
    placement(d, dy, dx, top, left);
    const int64_t c0 = std::max<int64_t>(left, 0), c1 = std::min<int64_t>(left + storedW_, ww_);
    const int64_t rA = std::max<int64_t>(top, 0), rB = std::min<int64_t>(top + storedH_, wh_);
    if (c0 >= c1) continue;
    const uint8_t* patch = patches_.data() + std::size_t(d) * storedH_ * storedW_ * 3;
    for (int64_t r = rA; r < rB; ++r)
      std::memcpy(win + r * rowBytes + std::size_t(c0) * 3,
                  patch + (std::size_t(r - top) * storedW_ + (c0 - left)) * 3, std::size_t(c1 - c0) * 3);
  }
}

void TeethPass::pool4x4ToF16(const float* in, uint16_t* out, int planes) const {
  for (int p = 0; p < planes; ++p)
    for (int32_t y = 0; y < qh_; ++y)
      for (int32_t x = 0; x < qw_; ++x) {
        const float* b = in + p * windowPx_ + std::size_t(4 * y) * ww_ + 4 * x;
        float s = 0.0f;
        for (int r = 0; r < 4; ++r)
          for (int c = 0; c < 4; ++c) s += b[std::size_t(r) * ww_ + c];
        out[p * pooledPx_ + std::size_t(y) * qw_ + x] = f32ToF16(s / 16.0f);
      }
}

void TeethPass::buildIndex() {
  index_.assign(std::size_t(nDonors_) * 3 * pooledPx_, 0);
  detail::parallelFor(std::size_t(nDonors_), 1, [this](std::size_t b, std::size_t e) {
    std::vector<uint16_t> win(3 * windowPx_);
    std::vector<float> f(3 * windowPx_);
    for (std::size_t d = b; d < e; ++d) {
      canonicalWindowF16(int32_t(d), win.data());
      simd::f16ToF32(win.data(), f.data(), f.size());
      pool4x4ToF16(f.data(), index_.data() + d * 3 * pooledPx_, 3);
    }
  });
}

void TeethPass::stableArgsort(const float* v, std::size_t n, int32_t* out) {
  // Ties broken by index give the stable order without stable_sort's buffer;
  // NaN sorts last (as numpy does), keeping the order total.
  std::iota(out, out + n, 0);
  std::sort(out, out + n, [v](int32_t a, int32_t b) {
    const float x = v[a], y = v[b];
    const bool nx = x != x, ny = y != y;
    if (nx != ny) return ny;
    if (!nx && x != y) return x < y;
    return a < b;
  });
}

std::vector<int32_t> TeethPass::stableArgsort(const std::vector<float>& v) {
  std::vector<int32_t> out(v.size());
  stableArgsort(v.data(), v.size(), out.data());
  return out;
}

bool TeethPass::push(int32_t frameIndex, const uint8_t* rgb, const uint8_t* mask, const int32_t* shiftOrNull,
                     FrameResult& result) {
  if (!rgb || !mask) throw std::runtime_error("teeth: push without a frame or a mask");
  const int slot = held_ == 0 ? 1 : 0;
  Pending& p = slots_[slot];
  p.frameIndex = frameIndex;
  std::memcpy(p.rgb.data(), rgb, p.rgb.size());
  std::memcpy(p.mask.data(), mask, p.mask.size());
  p.selection.clear();
  p.reason.clear();
  p.dy = p.dx = 0;
  p.ok = deriveShift(mask, shiftOrNull, p.dy, p.dx, p.reason);
  if (p.ok) {
    retrievePrepare(p.rgb.data(), p.mask.data(), p.dy, p.dx);
    retrieve(p.rgb.data(), p.dy, p.dx, p.selection);
  }
  bool emitted = false;
  if (held_ >= 0) {
    emit(slots_[held_], p.ok && cfg_.lookahead_enabled ? &p.selection : nullptr, result);
    emitted = true;
  }
  held_ = slot;
  return emitted;
}

bool TeethPass::flush(FrameResult& result) {
  if (held_ < 0) return false;
  emit(slots_[held_], nullptr, result);
  held_ = -1;
  return true;
}

SynthStats TeethPass::synthStats() const {
  std::lock_guard<std::mutex> lock(statsMu_);
  return stats_;
}

void TeethPass::emit(const Pending& p, const std::vector<int32_t>* lookahead, FrameResult& r) {
  r.window.clear();
  r.refused = false;
  r.reason.clear();
  r.candidates = 0;
  r.synthMean = r.synthMax = 0.0f;
  r.frameIndex = p.frameIndex;
  r.dy = p.dy, r.dx = p.dx;
  r.selection = p.selection;
  r.donors.clear();
  if (!p.ok) {
    r.refused = true;
    r.reason = p.reason;
    return;
  }

  const auto has = [](const std::vector<int32_t>& v, int32_t d) { return std::find(v.begin(), v.end(), d) != v.end(); };
  cur_.assign(p.selection.begin(), p.selection.begin() + std::min<std::size_t>(K_, p.selection.size()));
  la_.clear();
  if (lookahead)
    la_.assign(lookahead->begin(), lookahead->begin() + std::min<std::size_t>(cfg_.lookahead, lookahead->size()));
  list_.clear();
  if (haveCarried_ && int64_t(carriedFrame_) == int64_t(p.frameIndex) - 1) {
    list_ = carried_;
    for (int32_t d : la_)
      if (!has(carried_, d)) list_.push_back(d);
    for (int32_t d : cur_)
      if (!has(la_, d) && !has(carried_, d)) list_.push_back(d);
  } else {
    list_ = la_;
    for (int32_t d : cur_)
      if (!has(la_, d)) list_.push_back(d);
  }
  if (list_.size() > std::size_t(K_)) list_.resize(K_);
  const int32_t n = int32_t(list_.size());

  // Donors placed relative to the frame's shift, and the frame in the stamp's own window.
  detail::parallelFor(std::size_t(n), 1, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      uint8_t* win = gathered_.data() + i * windowPx_ * 3;
      gatherWindowsU8(&list_[i], 1, p.dy, p.dx, win);
      float* dst = cands_.data() + i * 3 * windowPx_;
      for (std::size_t k = 0; k < windowPx_; ++k)
        for (int c = 0; c < 3; ++c) dst[c * windowPx_ + k] = win[3 * k + c] / 255.0f;
    }
  });
  const std::size_t cw = std::size_t(stamp_.canvas_w);
  detail::parallelFor(std::size_t(wh_), 8, [&](std::size_t b, std::size_t e) {
    for (std::size_t y = b; y < e; ++y) {
      const uint8_t* src = p.rgb.data() + ((stamp_.window_y0 + y) * cw + stamp_.window_x0) * 3;
      for (int32_t x = 0; x < ww_; ++x)
        for (int c = 0; c < 3; ++c) query_[c * windowPx_ + y * ww_ + x] = src[3 * x + c] / 255.0f;
    }
  });

  headForward(cands_.data(), n, query_.data(), band_.data(), weights_.data(), blended_.data());

  // The candidates that carried the most weight are carried into the next frame.
  for (int32_t i = 0; i < n; ++i) {
    const float* w = weights_.data() + std::size_t(i) * windowPx_;
    float s = 0.0f;
    for (std::size_t k = 0; k < windowPx_; ++k) s += w[k];
    negSum_[i] = -s;
  }
  carryOrder_.resize(n);
  stableArgsort(negSum_.data(), std::size_t(n), carryOrder_.data());
  carried_.clear();
  for (int32_t i = 0; i < std::min(cfg_.hysteresis, n); ++i) carried_.push_back(list_[carryOrder_[i]]);
  carriedFrame_ = p.frameIndex;
  haveCarried_ = true;

  composite(p, r);
  r.candidates = n;
  r.donors = list_;

  const float* syn = weights_.data() + std::size_t(n) * windowPx_;
  double sum = 0.0;
  float mx = 0.0f;
  uint64_t count = 0;
  for (std::size_t k = 0; k < windowPx_; ++k)
    if (band_[k]) {
      sum += syn[k];
      mx = count ? std::max(mx, syn[k]) : syn[k];
      ++count;
    }
  if (count) {
    r.synthMean = float(sum / double(count));
    r.synthMax = mx;
    std::lock_guard<std::mutex> lock(statsMu_);
    stats_.max = stats_.frames ? std::max(stats_.max, double(mx)) : double(mx);
    stats_.frames += 1;
    stats_.pixels += count;
    stats_.sumMeans += r.synthMean;
  }
}

void TeethPass::composite(const Pending& p, FrameResult& r) {
  r.window.resize(windowPx_ * 3);
  const std::size_t cw = std::size_t(stamp_.canvas_w);
  detail::parallelFor(std::size_t(wh_), 4, [&](std::size_t b, std::size_t e) {
    for (std::size_t y = b; y < e; ++y) {
      const std::size_t row = (stamp_.window_y0 + y) * cw + stamp_.window_x0;
      for (int32_t x = 0; x < ww_; ++x) {
        const float m = p.mask[row + x] / 255.0f;
        for (int c = 0; c < 3; ++c) {
          const std::size_t k = c * windowPx_ + y * ww_ + x;
          // Mask 0 keeps the frame even under a non-finite blend.
          const float v = m == 0.0f ? query_[k] : (1.0f - m) * query_[k] + m * blended_[k];
          // NaN quantises to 0.
          r.window[(y * ww_ + x) * 3 + c] = !(v > 0.0f) ? 0 : v >= 1.0f ? 255 : uint8_t(std::nearbyint(v * 255.0f));
        }
      }
    }
  });
}

}  // namespace tessera
}  // namespace tq
