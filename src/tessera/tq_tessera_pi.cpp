// Masks, boxes and centroids of the compose alpha. Every formula runs in single
// precision with no fused multiply-add (see CMakeLists.txt), so that the
// full-canvas and the boxed forms give identical bytes.
#include "tessera/tq_tessera_pi.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace tq {
namespace tessera {

namespace {

// Written as a select so that whole rows vectorise.
inline float smooth(float t) {
  const float u = std::min(t, 1.0f);
  const float s = (3.0f - 2.0f * u) * u * u;
  return t < 0.0f ? 0.0f : s;
}

// Ramp of one pixel against an ellipse: S(((1 - r) * r256) / 10).
inline float ellRamp(const EllParams& e, float x, float y) {
  const float u = (x - e.cx) / e.rx;
  const float v = (y - e.cy) / e.ry;
  const float r = std::sqrt(u * u + v * v);
  return smooth(((1.0f - r) * e.r256) / 10.0f);
}

// Finite doubles only; clamped into [lo, hi] before the conversion.
inline int32_t clampToInt(double v, int32_t lo, int32_t hi) {
  if (v <= lo) return lo;
  if (v >= hi) return hi;
  return static_cast<int32_t>(v);
}

}  // namespace

Box intersect(const Box& a, const Box& b) {
  Box r{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
  if (r.empty()) return Box{};
  return r;
}

Box clampToCanvas(const Box& b, int32_t canvas) { return intersect(b, Box{0, 0, canvas, canvas}); }

void UnifiedPi::fillGrid() {
  gx.assign(static_cast<std::size_t>(canvas), -1.0f);
  if (canvas > 1) {
    const float den = static_cast<float>(canvas - 1);
    for (int32_t i = 0; i < canvas; ++i) gx[i] = 2.0f * static_cast<float>(i) / den - 1.0f;
  }
  gy = gx;
}

UnifiedPi::LipStats UnifiedPi::lipStats(const float* kp) const {
  LipStats st{0.0f, 0.0f, 0.0f, 0.0f};
  float sx = 0.0f, sy = 0.0f;
  for (int32_t r : lip_idx) {
    sx += kp[3 * r];
    sy += kp[3 * r + 1];
  }
  const float n = static_cast<float>(lip_idx.size());
  st.mx = sx / n;
  st.my = sy / n;
  for (int32_t r : lip_idx) {
    st.ax = std::max(st.ax, std::fabs(kp[3 * r] - st.mx));
    st.ay = std::max(st.ay, std::fabs(kp[3 * r + 1] - st.my));
  }
  return st;
}

float UnifiedPi::gateStrength(const LipStats& st) const { return smooth((st.ay - 0.02f) / 0.01f); }

float UnifiedPi::cornerScale(const float* kp, const LipStats& st) const {
  if (!corner_recovery) return 1.0f;
  const float padX = lip_geom_params[0], padY = lip_geom_params[1], down = lip_geom_params[2];
  const float rx0 = std::max(0.1f, st.ax + padX);
  const float ry0 = std::max(0.1f, st.ay + padY);
  const float cy = st.my + down;
  float m = 0.0f;
  for (int32_t r : lip_idx) {
    const float u = (kp[3 * r] - st.mx) / rx0;
    const float v = (kp[3 * r + 1] - cy) / ry0;
    m = std::max(m, std::sqrt(u * u + v * v));
  }
  return std::max(1.0f, m + 5.0f / (256.0f * std::sqrt(rx0 * ry0)));
}

EllParams UnifiedPi::gateParams(const float* kp, float* gateOut) const {
  const LipStats st = lipStats(kp);
  EllParams e;
  e.cx = st.mx;
  e.cy = st.my;
  e.rx = std::max(st.ax, 0.004f);
  e.ry = std::max(st.ay, 0.004f);
  if (prop_gate_scale != 1.0f) {
    e.rx *= prop_gate_scale;
    e.ry *= prop_gate_scale;
  }
  e.r256 = 256.0f * std::sqrt(e.rx * e.ry);
  if (gateOut) *gateOut = gateStrength(st);
  return e;
}

EllParams UnifiedPi::lipParams(const float* kp) const {
  const LipStats st = lipStats(kp);
  const float padX = lip_geom_params[0], padY = lip_geom_params[1], down = lip_geom_params[2];
  EllParams e;
  e.cx = st.mx;
  e.cy = st.my + down;
  e.rx = std::max(0.1f, padX != 0.0f ? st.ax + padX : st.ax);
  e.ry = std::max(0.1f, padY != 0.0f ? st.ay + padY : st.ay);
  const float s = cornerScale(kp, st);
  if (s != 1.0f) {
    e.rx *= s;
    e.ry *= s;
  }
  e.r256 = 256.0f * std::sqrt(e.rx * e.ry);
  return e;
}

void UnifiedPi::ellMask(const float* kp, float padX, float padY, float minRx, float minRy, float scale, float dy,
                        float* out) const {
  const LipStats st = lipStats(kp);
  float rx = st.ax, ry = st.ay;
  if (padX != 0.0f) rx += padX;
  if (padY != 0.0f) ry += padY;
  rx = std::max(rx, minRx);
  ry = std::max(ry, minRy);
  if (scale != 1.0f) {
    rx *= scale;
    ry *= scale;
  }
  const float cy = st.my + dy;
  const float sq = std::sqrt(rx * ry);
  const std::size_t n = static_cast<std::size_t>(canvas);
  const float* __restrict xs = gx.data();
  const float mx = st.mx;
  for (std::size_t j = 0; j < n; ++j) {
    const float v = (gy[j] - cy) / ry;
    float* __restrict row = out + j * n;
    for (std::size_t i = 0; i < n; ++i) {
      const float u = (xs[i] - mx) / rx;
      const float r = std::sqrt(u * u + v * v);
      row[i] = smooth((1.0f - r) * sq * 256.0f / 10.0f);
    }
  }
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  const float s = cornerScale(kp, lipStats(kp));
  ellMask(kp, lip_geom_params[0], lip_geom_params[1], 0.1f, 0.1f, s, lip_geom_params[2], out);
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  ellMask(kp, 0.0f, 0.0f, 0.004f, 0.004f, prop_gate_scale, 0.0f, out);
  const float g = gateStrength(lipStats(kp));
  const std::size_t n = pixels();
  for (std::size_t i = 0; i < n; ++i) out[i] *= g;
}

Box UnifiedPi::ellBox(const EllParams& e) const {
  if (canvas <= 1) return Box{0, 0, canvas, canvas};
  // A non-finite ellipse covers nothing; every bound stays on the canvas.
  if (!std::isfinite(e.cx) || !std::isfinite(e.cy) || !std::isfinite(e.rx) || !std::isfinite(e.ry)) return Box{};
  const double h = (canvas - 1) / 2.0;
  const double cx = e.cx, cy = e.cy, rx = e.rx, ry = e.ry;
  Box b;
  b.x0 = clampToInt(std::floor((cx - rx + 1.0) * h) - 1.0, 0, canvas);
  b.y0 = clampToInt(std::floor((cy - ry + 1.0) * h) - 1.0, 0, canvas);
  b.x1 = std::max(clampToInt(std::ceil((cx + rx + 1.0) * h) + 2.0, 0, canvas), b.x0);
  b.y1 = std::max(clampToInt(std::ceil((cy + ry + 1.0) * h) + 2.0, 0, canvas), b.y0);
  return b;
}

Box UnifiedPi::supportBox(const float* kp) const {
  const Box a = ellBox(lipParams(kp));
  const Box b = ellBox(gateParams(kp, nullptr));
  return Box{std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

void UnifiedPi::piU8Full(const float* kp, uint8_t* out, float* lipBuf, float* gateBuf) const {
  lipMask(kp, lipBuf);
  propTeethGate(kp, gateBuf);
  const std::size_t n = pixels();
  for (std::size_t i = 0; i < n; ++i) out[i] = quantizeU8(std::max(lipBuf[i], gateBuf[i]));
}

void UnifiedPi::piU8(const float* kp, uint8_t* out) const {
  std::vector<float> lip(pixels()), gate(pixels());
  piU8Full(kp, out, lip.data(), gate.data());
}

void UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const {
  std::memset(out, 0, pixels());
  const Box b = supportBox(kp);
  if (b.empty()) return;
  float g = 0.0f;
  const EllParams gate = gateParams(kp, &g);
  const EllParams lip = lipParams(kp);
  const std::size_t n = static_cast<std::size_t>(canvas);
  const float* __restrict xs = gx.data();
  for (int32_t y = b.y0; y < b.y1; ++y) {
    uint8_t* __restrict row = out + static_cast<std::size_t>(y) * n;
    const float yv = gy[y];
    for (int32_t x = b.x0; x < b.x1; ++x)
      row[x] = quantizeU8(std::max(ellRamp(lip, xs[x], yv), g * ellRamp(gate, xs[x], yv)));
  }
}

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* contour, const Box& box, uint8_t* out) const {
  std::memset(out, 0, pixels());
  const Box b = intersect(supportBox(kp), clampToCanvas(box, canvas));
  if (b.empty()) return;
  float g = 0.0f;
  const EllParams gate = gateParams(kp, &g);
  const EllParams lip = lipParams(kp);
  const std::size_t n = static_cast<std::size_t>(canvas);
  for (int32_t y = b.y0; y < b.y1; ++y) {
    uint8_t* row = out + static_cast<std::size_t>(y) * n;
    const float* crow = contour + static_cast<std::size_t>(y) * n;
    for (int32_t x = b.x0; x < b.x1; ++x) {
      const float c = crow[x];
      if (!(c > 0.0f)) continue;
      const float p = std::max(ellRamp(lip, gx[x], gy[y]), g * ellRamp(gate, gx[x], gy[y]));
      row[x] = quantizeU8(std::min(p, c));
    }
  }
}

bool UnifiedPi::piU8Centroid(const uint8_t* pi, double& cx, double& cy) const {
  return piU8Centroid(pi, Box{0, 0, canvas, canvas}, cx, cy);
}

bool UnifiedPi::piU8Centroid(const uint8_t* pi, const Box& box, double& cx, double& cy) const {
  const Box b = clampToCanvas(box, canvas);
  double sx = 0.0, sy = 0.0;
  int64_t count = 0;
  const std::size_t n = static_cast<std::size_t>(canvas);
  for (int32_t y = b.y0; y < b.y1; ++y) {
    const uint8_t* row = pi + static_cast<std::size_t>(y) * n;
    int64_t rowCount = 0;
    double rowSum = 0.0;
    for (int32_t x = b.x0; x < b.x1; ++x)
      if (row[x] >= 128) {
        rowSum += x;
        ++rowCount;
      }
    sx += rowSum;
    sy += static_cast<double>(y) * static_cast<double>(rowCount);
    count += rowCount;
  }
  if (count == 0) return false;
  cx = sx / static_cast<double>(count);
  cy = sy / static_cast<double>(count);
  return true;
}

bool UnifiedPi::piU8AndShift(const float* kp, const double* cCanon, uint8_t* out, int32_t& shiftY,
                             int32_t& shiftX) const {
  if (!cCanon) throw std::runtime_error("teeth-pi: no canonical centroid was supplied");
  piU8Boxed(kp, out);
  double cx = 0.0, cy = 0.0;
  if (!piU8Centroid(out, supportBox(kp), cx, cy)) return false;
  const double dy = std::nearbyint(cy - cCanon[1]);
  const double dx = std::nearbyint(cx - cCanon[0]);
  // A shift that is no int32 (a NaN or far-off canonical centroid) is no shift.
  const double lim = static_cast<double>(std::numeric_limits<int32_t>::max());
  if (!(std::fabs(dy) <= lim) || !(std::fabs(dx) <= lim)) return false;
  shiftY = static_cast<int32_t>(dy);
  shiftX = static_cast<int32_t>(dx);
  return true;
}

void UnifiedPi::canonicalCentroid(const float* kp, int64_t nFrames, double& cx, double& cy) const {
  double sx = 0.0, sy = 0.0;
  int64_t found = 0;
  if (kp && nFrames > 0) {
    // The boxed pi holds the full-canvas pi's bytes wherever it is non-zero, so
    // its centroid over the support box is the full canvas's, at a fraction of
    // the work (an attach walks every bundle frame for each corpus row).
    std::vector<uint8_t> pi(pixels());
    for (int64_t f = 0; f < nFrames; ++f) {
      const float* k = kp + f * kPiKpStride;
      piU8Boxed(k, pi.data());
      double fx = 0.0, fy = 0.0;
      if (!piU8Centroid(pi.data(), supportBox(k), fx, fy)) continue;
      sx += fx;
      sy += fy;
      ++found;
    }
  }
  if (found == 0)
    throw std::runtime_error(
        "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame "
        "is identified by");
  cx = sx / static_cast<double>(found);
  cy = sy / static_cast<double>(found);
}

}  // namespace tessera
}  // namespace tq
