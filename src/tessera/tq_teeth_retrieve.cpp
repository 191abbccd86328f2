// TeethPass retrieval: the frame's shift, its teeth-coloured weight map, the
// coarse pooled search over every donor, full-resolution scores for the short
// list, and the aperture-gated selection.
#include <algorithm>
#include <cmath>
#include <vector>

#include "compute/tq_simd.h"
#include "tessera/tq_teeth_pass.h"

namespace tq {
namespace tessera {

namespace {

float h(float x) { return halfToFloat(f32ToF16(x)); }

const char* const kEmptyPi = "empty-pi";
const char* const kShiftOut = "shift-out-of-range";

}  // namespace

const float* TeethPass::dTable() {
  static const std::vector<float> table = [] {
    std::vector<float> t(256 * 256);
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) t[a * 256 + b] = std::fabs(h(h(b / 255.0f) - h(a / 255.0f)));
    return t;
  }();
  return table.data();
}

bool TeethPass::deriveShift(const uint8_t* mask, const int32_t* given, int32_t& dy, int32_t& dx,
                            std::string& reason) const {
  const double P = stamp_.pad;
  double fy, fx;
  if (given) {
    fy = given[0], fx = given[1];
  } else {
    uint64_t n = 0, sr = 0, sc = 0;
    const std::size_t cw = std::size_t(stamp_.canvas_w);
    for (std::size_t y = 0; y < std::size_t(stamp_.canvas_h); ++y) {
      const uint8_t* row = mask + y * cw;
      for (std::size_t x = 0; x < cw; ++x)
        if (row[x] >= 128) ++n, sr += y, sc += x;
    }
    if (!n) {
      reason = kEmptyPi;
      return false;
    }
    fy = std::nearbyint(double(sr) / double(n) - cCanon_[1]);
    fx = std::nearbyint(double(sc) / double(n) - cCanon_[0]);
  }
  if (!(std::fabs(fy) <= P && std::fabs(fx) <= P)) {
    reason = kShiftOut;
    return false;
  }
  dy = int32_t(fy), dx = int32_t(fx);
  // Retrieval reads the window at the shift: it must stay on the canvas.
  const int64_t y0 = int64_t(stamp_.window_y0) + dy, x0 = int64_t(stamp_.window_x0) + dx;
  if (y0 < 0 || x0 < 0 || y0 + wh_ > stamp_.canvas_h || x0 + ww_ > stamp_.canvas_w) {
    reason = kShiftOut;
    return false;
  }
  return true;
}

void TeethPass::retrievePrepare(const uint8_t* rgb, const uint8_t* mask, int32_t dy, int32_t dx) {
  const std::size_t cw = std::size_t(stamp_.canvas_w);
  const std::size_t y0 = std::size_t(stamp_.window_y0 + dy), x0 = std::size_t(stamp_.window_x0 + dx);
  const float lumaFloor = float(cfg_.teeth_luma_floor), chromaCeil = float(cfg_.teeth_chroma_ceiling);
  float total = 0.0f;
  for (int32_t y = 0; y < wh_; ++y) {
    const uint8_t* px = rgb + ((y0 + y) * cw + x0) * 3;
    const uint8_t* mk = mask + (y0 + y) * cw + x0;
    for (int32_t x = 0; x < ww_; ++x) {
      const std::size_t k = std::size_t(y) * ww_ + x;
      const float R = px[3 * x], G = px[3 * x + 1], B = px[3 * x + 2];
      const float m = mk[x] / 255.0f;
      const float luma = 0.299f * R + 0.587f * G + 0.114f * B;
      wMap_[k] = m > 0.5f && luma >= lumaFloor && std::fabs(G - R) < chromaCeil ? 1.0f : 0.0f;
      total += wMap_[k];
      qPlanes_[k] = R / 255.0f;
      qPlanes_[windowPx_ + k] = G / 255.0f;
      qPlanes_[2 * windowPx_ + k] = B / 255.0f;
    }
  }
  // Too few teeth-coloured pixels: the compose mask alone weighs.
  if (total < float(cfg_.min_teeth_pixels))
    for (int32_t y = 0; y < wh_; ++y)
      for (int32_t x = 0; x < ww_; ++x)
        wMap_[std::size_t(y) * ww_ + x] = mask[(y0 + y) * cw + x0 + x] / 255.0f > 0.5f ? 1.0f : 0.0f;
  const float decay = float(cfg_.weight_decay);
  if (havePrevW_)
    for (std::size_t k = 0; k < windowPx_; ++k) wMap_[k] = std::max(wMap_[k], decay * prevW_[k]);
  prevW_.swap(wMap_);
  havePrevW_ = true;

  float sum = 0.0f;
  rowLo_ = -1, rowHi_ = -1;
  for (int32_t y = 0; y < wh_; ++y) {
    bool any = false;
    for (int32_t x = 0; x < ww_; ++x) {
      const float w = prevW_[std::size_t(y) * ww_ + x];
      sum += w;
      any |= w != 0.0f;
    }
    if (any) {
      if (rowLo_ < 0) rowLo_ = y;
      rowHi_ = y + 1;
    }
  }
  if (rowLo_ < 0) rowLo_ = 0, rowHi_ = wh_;
  wSum_ = std::max(sum, 1.0f);

  pool4x4ToF16(qPlanes_.data(), qPooled_.data(), 3);
  pool4x4ToF16(prevW_.data(), wPooled_.data(), 1);
  float ps = 0.0f;
  for (uint16_t v : wPooled_) ps += halfToFloat(v);
  wpSum_ = std::max(ps, 0.0001f);
}

float TeethPass::exactTermFromBand(int32_t d, const uint8_t* frame, int32_t y0, int32_t x0, std::size_t stride,
                                   const float* weights, int32_t r0, int32_t r1) const {
  const float* D = dTable();
  thread_local std::vector<float> eRow, wRow;
  if (eRow.size() < std::size_t(ww_)) eRow.resize(ww_), wRow.resize(ww_);
  int64_t top, left;
  placement(d, 0, 0, top, left);
  const uint8_t* patch = patches_.data() + std::size_t(d) * storedH_ * storedW_ * 3;
  const int64_t c0 = std::max<int64_t>(left, 0), c1 = std::min<int64_t>(left + storedW_, ww_);
  float acc = 0.0f;
  for (int32_t r = r0; r < r1; ++r) {
    // Only the columns between the row's first and last weighted pixel can count.
    const float* w = weights + std::size_t(r) * ww_;
    int32_t a = 0, b = ww_;
    while (a < b && w[a] == 0.0f) ++a;
    while (b > a && w[b - 1] == 0.0f) --b;
    if (a == b) continue;
    const uint8_t* q = frame + std::size_t(y0 + r) * stride + std::size_t(x0) * 3;
    const int64_t pr = r - top;
    const bool rowIn = pr >= 0 && pr < storedH_;
    const uint8_t* prow = rowIn ? patch + std::size_t(pr) * storedW_ * 3 : nullptr;
    for (int32_t c = a; c < b; ++c) {
      int pR = 0, pG = 0, pB = 0;
      if (rowIn && c >= c0 && c < c1) {
        const uint8_t* p = prow + std::size_t(c - left) * 3;
        pR = p[0], pG = p[1], pB = p[2];
      }
      eRow[c] = (D[q[3 * c] * 256 + pR] + D[q[3 * c + 1] * 256 + pG] + D[q[3 * c + 2] * 256 + pB]) / 3.0f;
    }
    simd::roundF16Mul(eRow.data() + a, w + a, wRow.data() + a, std::size_t(b - a));
    for (int32_t c = a; c < b; ++c)
      if (w[c] != 0.0f) acc += wRow[c];
  }
  return acc;
}

void TeethPass::retrieve(const uint8_t* rgb, int32_t dy, int32_t dx, std::vector<int32_t>& selection) {
  const std::size_t n = std::size_t(nDonors_);
  detail::parallelFor(n, 1, [&](std::size_t b, std::size_t e) {
    for (std::size_t d = b; d < e; ++d)
      coarse_[d] = h(simd::retrieveTermPooled(index_.data() + d * 3 * pooledPx_, qPooled_.data(), wPooled_.data(),
                                              pooledPx_)) / wpSum_;
  });
  stableArgsort(coarse_.data(), n, order1_.data());
  const std::size_t ks = std::min<std::size_t>(std::size_t(cfg_.kshort), n);
  const int32_t y0 = stamp_.window_y0 + dy, x0 = stamp_.window_x0 + dx;
  const std::size_t stride = std::size_t(stamp_.canvas_w) * 3;
  detail::parallelFor(ks, 1, [&](std::size_t b, std::size_t e) {
    for (std::size_t k = b; k < e; ++k)
      exact_[k] = exactTermFromBand(order1_[k], rgb, y0, x0, stride, prevW_.data(), rowLo_, rowHi_) / wSum_;
  });
  retrieveSelect(order1_.data(), exact_.data(), selection);
}

void TeethPass::retrieveSelect(const int32_t* order1, const float* exact, std::vector<int32_t>& selection) {
  const std::size_t ks = std::min<std::size_t>(std::size_t(cfg_.kshort), std::size_t(nDonors_));
  stableArgsort(exact, ks, order2_.data());
  const int32_t best = order1[order2_[0]];
  const double a = aperture_[best];
  const double tol = cfg_.aperture_tol * std::max(a, 1e-6);
  selection.clear();
  const std::size_t ranks = std::min<std::size_t>(ks, std::size_t(cfg_.cut));
  for (std::size_t rank = 0; rank < ranks && selection.size() < std::size_t(K_); ++rank) {
    const int32_t d = order1[order2_[rank]];
    if (std::fabs(aperture_[d] - a) <= tol) selection.push_back(d);
  }
  if (selection.empty()) selection.push_back(best);
  while (selection.size() < std::size_t(K_)) selection.push_back(selection.back());
}

}  // namespace tessera
}  // namespace tq
