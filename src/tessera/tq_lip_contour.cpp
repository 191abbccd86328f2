// Polygon, raster, chamfer distance and feathered field of the lip contour.
// Everything is confined to the contour box; scratch is sized once, for the
// largest box a canvas allows.
#include "tessera/tq_lip_contour.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace tq {
namespace tessera {

namespace {

const char* const kTemplateName = "lip_template.v1.json";
const int32_t kDefaultAnchors[4] = {17, 18, 19, 20};

// Vertices this far off the canvas are clipped here, which keeps every 16.16
// product of the fill inside 64 bits and the outline loops bounded.
constexpr double kCoordLimit = 1048576.0;

[[noreturn]] void refuse(const std::string& detail) {
  throw std::runtime_error(std::string(kTemplateName) + ": " + detail);
}

inline float smooth(float t) {
  const float u = std::min(t, 1.0f);
  return (3.0f - 2.0f * u) * u * u;
}

inline int32_t clampToInt(double v, int32_t lo, int32_t hi) {
  if (v <= lo) return lo;
  if (v >= hi) return hi;
  return static_cast<int32_t>(v);
}

inline int64_t floorShift16(int64_t v) { return v >= 0 ? v / 65536 : -((-v + 65535) / 65536); }

// Minor-axis steps taken before step k of the integer line: the smallest m >= 0
// with 2*major*m + major >= 2*minor*k (closed form of the decision recurrence).
inline int64_t minorSteps(int64_t k, int64_t major, int64_t minor) {
  if (major == 0) return 0;
  const int64_t num = 2 * minor * k - major;
  if (num <= 0) return 0;
  const int64_t den = 2 * major;
  return (num + den - 1) / den;
}

// One edge of the outline, plotted only where it crosses the w x h buffer.
void drawLine(int64_t xa, int64_t ya, int64_t xb, int64_t yb, uint8_t* buf, int64_t w, int64_t h) {
  if (xb < xa) {
    std::swap(xa, xb);
    std::swap(ya, yb);
  }
  const int64_t adx = xb - xa, ady = yb >= ya ? yb - ya : ya - yb;
  const int64_t sy = yb >= ya ? 1 : -1;
  if (adx >= ady) {
    const int64_t k0 = std::max<int64_t>(0, -xa), k1 = std::min<int64_t>(adx, w - 1 - xa);
    for (int64_t k = k0; k <= k1; ++k) {
      const int64_t y = ya + sy * minorSteps(k, adx, ady);
      if (y >= 0 && y < h) buf[y * w + xa + k] = 255;
    }
  } else {
    int64_t k0, k1;
    if (sy > 0) {
      k0 = std::max<int64_t>(0, -ya);
      k1 = std::min<int64_t>(ady, h - 1 - ya);
    } else {
      k0 = std::max<int64_t>(0, ya - (h - 1));
      k1 = std::min<int64_t>(ady, ya);
    }
    for (int64_t k = k0; k <= k1; ++k) {
      const int64_t x = xa + minorSteps(k, ady, adx);
      if (x >= 0 && x < w) buf[(ya + sy * k) * w + x] = 255;
    }
  }
}

}  // namespace

LipContour::LipContour(int32_t canvas_, float feather, const double* uCanon, int32_t nv_, const int32_t* lipIdx,
                       int32_t nLip)
    : canvas(canvas_), feather_px(feather), nv(nv_) {
  if (canvas < 1) refuse("canvas " + std::to_string(canvas) + " is not a positive size");
  if (!(feather > 0.0f) || !std::isfinite(feather)) refuse("feather_px must be a positive finite width");
  if (nv < 1 || !uCanon) refuse("carries no non-empty `u_canon` array");
  u_canon.assign(uCanon, uCanon + 2 * static_cast<std::size_t>(nv));
  if (!lipIdx || nLip <= 0)
    lip_idx.assign(kDefaultAnchors, kDefaultAnchors + 4);
  else
    lip_idx.assign(lipIdx, lipIdx + nLip);
  for (int32_t r : lip_idx)
    if (r < 0 || r > 20) refuse("lip_idx names keypoint row " + std::to_string(r) + ", and a kd row is 0..20");
  const std::size_t px = static_cast<std::size_t>(canvas) * static_cast<std::size_t>(canvas);
  raster_.resize(px);
  dist_.resize(px);
  field_.resize(px);
  poly_.resize(2 * static_cast<std::size_t>(nv));
  pts_.resize(2 * static_cast<std::size_t>(nv));
  edges_.resize(static_cast<std::size_t>(nv));
  cross_.resize(static_cast<std::size_t>(nv));
}

void LipContour::attachMap(const double* W_, const double* b_, int32_t rows, int32_t cols, const int32_t* idx,
                           int32_t n) {
  if (!W_ || !b_ || !idx || n < 1 || n > 8 || rows != 2 * nv || cols != 2 * n)
    refuse("lip_map shape does not match the template");
  for (int32_t i = 0; i < n; ++i)
    if (idx[i] < 0 || idx[i] > 20) refuse("lip_map lip_idx names a row outside 0..20");
  W.assign(W_, W_ + static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
  b.assign(b_, b_ + rows);
  mapCols = cols;
  lip_idx.assign(idx, idx + n);
}

void LipContour::polygon(const float* kp, double* out) const {
  const double half = canvas / 2.0;
  const std::size_t n = lip_idx.size();
  double mx = 0.0, my = 0.0;
  for (int32_t r : lip_idx) {
    mx += (static_cast<double>(kp[3 * r]) + 1.0) * half;
    my += (static_cast<double>(kp[3 * r + 1]) + 1.0) * half;
  }
  mx /= static_cast<double>(n);
  my /= static_cast<double>(n);
  if (W.empty()) {
    double sx = 0.0, sy = 0.0;
    for (int32_t r : lip_idx) {
      sx = std::max(sx, std::fabs((static_cast<double>(kp[3 * r]) + 1.0) * half - mx));
      sy = std::max(sy, std::fabs((static_cast<double>(kp[3 * r + 1]) + 1.0) * half - my));
    }
    sx = std::max(sx, 1e-6);
    sy = std::max(sy, 1e-6);
    for (int32_t v = 0; v < nv; ++v) {
      out[2 * v] = sx * u_canon[2 * v] + mx;
      out[2 * v + 1] = sy * u_canon[2 * v + 1] + my;
    }
    return;
  }
  double f[16];
  for (std::size_t a = 0; a < n; ++a) {
    f[2 * a] = (static_cast<double>(kp[3 * lip_idx[a]]) + 1.0) * half - mx;
    f[2 * a + 1] = (static_cast<double>(kp[3 * lip_idx[a] + 1]) + 1.0) * half - my;
  }
  for (int32_t j = 0; j < 2 * nv; ++j) {
    const double* w = W.data() + static_cast<std::size_t>(j) * mapCols;
    double s = 0.0;
    for (int32_t c = 0; c < mapCols; ++c) s += w[c] * f[c];
    out[j] = b[j] + s + ((j & 1) ? my : mx);
  }
}

Box LipContour::box(const double* poly) const {
  double minx = poly[0], maxx = poly[0], miny = poly[1], maxy = poly[1];
  for (int32_t v = 0; v < nv; ++v) {
    const double x = poly[2 * v], y = poly[2 * v + 1];
    // A non-finite vertex means keypoints nobody can place: no contour at all.
    if (!std::isfinite(x) || !std::isfinite(y)) return Box{};
    minx = std::min(minx, x);
    maxx = std::max(maxx, x);
    miny = std::min(miny, y);
    maxy = std::max(maxy, y);
  }
  const double pad = static_cast<double>(feather_px) + 2.0;
  Box bx;
  bx.x0 = clampToInt(std::floor(minx - pad), 0, canvas);
  bx.y0 = clampToInt(std::floor(miny - pad), 0, canvas);
  bx.x1 = std::max(clampToInt(std::ceil(maxx + pad) + 1.0, 0, canvas), bx.x0);
  bx.y1 = std::max(clampToInt(std::ceil(maxy + pad) + 1.0, 0, canvas), bx.y0);
  return bx;
}

void LipContour::fillScanline(const double* poly, const Box& bx, uint8_t* out) {
  if (bx.empty()) return;
  const int64_t w = static_cast<int64_t>(bx.x1) - bx.x0, h = static_cast<int64_t>(bx.y1) - bx.y0;
  std::memset(out, 0, static_cast<std::size_t>(w * h));
  for (int32_t v = 0; v < nv; ++v) {
    for (int c = 0; c < 2; ++c) {
      // Clipped to the limit; a NaN coordinate goes to the far corner.
      const double q = poly[2 * v + c];
      const double p = q > -kCoordLimit ? (q < kCoordLimit ? q : kCoordLimit) : -kCoordLimit;
      pts_[2 * v + c] = static_cast<int64_t>(std::nearbyint(p)) - (c ? bx.y0 : bx.x0);
    }
  }
  for (int32_t v = 0; v < nv; ++v) {
    const int32_t u = (v + 1) % nv;
    drawLine(pts_[2 * v], pts_[2 * v + 1], pts_[2 * u], pts_[2 * u + 1], out, w, h);
  }
  std::size_t ne = 0;
  int64_t ylo = 0, yhi = 0;
  for (int32_t v = 0; v < nv; ++v) {
    const int32_t u = (v + 1) % nv;
    int64_t xa = pts_[2 * v], ya = pts_[2 * v + 1], xb = pts_[2 * u], yb = pts_[2 * u + 1];
    if (ya == yb) continue;
    if (yb < ya) {
      std::swap(xa, xb);
      std::swap(ya, yb);
    }
    Edge& e = edges_[ne];
    e.ymin = ya;
    e.ymax = yb;
    e.x = xa * 65536;
    e.slope = ((xb - xa) * 65536) / (yb - ya);
    ylo = ne ? std::min(ylo, ya) : ya;
    yhi = ne ? std::max(yhi, yb) : yb;
    ++ne;
  }
  if (ne == 0) return;
  const int64_t yEnd = std::min(yhi, h);
  for (int64_t y = std::max<int64_t>(ylo, 0); y < yEnd; ++y) {
    std::size_t nc = 0;
    for (std::size_t i = 0; i < ne; ++i) {
      const Edge& e = edges_[i];
      if (e.ymin <= y && y < e.ymax) {
        // Insertion keeps the crossings of this row sorted.
        const int64_t x = e.x + (y - e.ymin) * e.slope;
        std::size_t k = nc++;
        while (k > 0 && cross_[k - 1] > x) {
          cross_[k] = cross_[k - 1];
          --k;
        }
        cross_[k] = x;
      }
    }
    uint8_t* row = out + y * w;
    for (std::size_t i = 0; i + 1 < nc; i += 2) {
      const int64_t left = std::max<int64_t>(floorShift16(cross_[i] + 0xFFFF), 0);
      const int64_t right = std::min<int64_t>(floorShift16(cross_[i + 1]), w - 1);
      if (left <= right) std::memset(row + left, 255, static_cast<std::size_t>(right - left + 1));
    }
  }
}

void LipContour::contourF32(const double* poly, const Box& box_, float* out) {
  const Box bx = clampToCanvas(box_, canvas);
  if (bx.empty()) return;
  fillScanline(poly, bx, raster_.data());
  const int32_t w = bx.x1 - bx.x0, h = bx.y1 - bx.y0;
  const float kFar = 1e10f, kAx = 0.955f, kDiag = 1.3693f;
  const uint8_t* __restrict r = raster_.data();
  float* __restrict d = dist_.data();
  // Each pass runs row by row in two steps: the terms from the finished
  // neighbouring row, for the whole row at once (a vector loop), then the chain
  // along the row, which only ever lowers a value. Inside pixels stay 0 in
  // both steps because every candidate is positive; neighbours outside the box
  // only ever offer kFar, which no candidate exceeds.
  for (int32_t j = 0; j < h; ++j) {
    const uint8_t* __restrict rr = r + static_cast<std::size_t>(j) * w;
    float* __restrict row = d + static_cast<std::size_t>(j) * w;
    if (j == 0) {
      for (int32_t i = 0; i < w; ++i) row[i] = rr[i] ? 0.0f : kFar;
    } else {
      const float* __restrict up = d + static_cast<std::size_t>(j - 1) * w;
      row[0] = rr[0] ? 0.0f : std::min(up[0] + kAx, w > 1 ? up[1] + kDiag : kFar);
      for (int32_t i = 1; i + 1 < w; ++i) {
        const float v = std::min(std::min(up[i - 1] + kDiag, up[i] + kAx), up[i + 1] + kDiag);
        row[i] = rr[i] ? 0.0f : v;
      }
      if (w > 1) row[w - 1] = rr[w - 1] ? 0.0f : std::min(up[w - 2] + kDiag, up[w - 1] + kAx);
    }
    float prev = row[0];
    for (int32_t i = 1; i < w; ++i) {
      const float c = prev + kAx;
      prev = row[i];
      if (c < prev) row[i] = prev = c;
    }
  }
  // The last row has no row below; only its chain from the right remains.
  {
    float* row = d + static_cast<std::size_t>(h - 1) * w;
    float next = row[w - 1];
    for (int32_t i = w - 2; i >= 0; --i) {
      const float c = next + kAx;
      next = row[i];
      if (c < next) row[i] = next = c;
    }
  }
  for (int32_t j = h - 2; j >= 0; --j) {
    float* __restrict row = d + static_cast<std::size_t>(j) * w;
    const float* __restrict dn = d + static_cast<std::size_t>(j + 1) * w;
    row[0] = std::min(row[0], std::min(dn[0] + kAx, w > 1 ? dn[1] + kDiag : kFar));
    for (int32_t i = 1; i + 1 < w; ++i)
      row[i] = std::min(row[i], std::min(std::min(dn[i] + kAx, dn[i + 1] + kDiag), dn[i - 1] + kDiag));
    if (w > 1) row[w - 1] = std::min(row[w - 1], std::min(dn[w - 1] + kAx, dn[w - 2] + kDiag));
    float next = row[w - 1];
    for (int32_t i = w - 2; i >= 0; --i) {
      const float c = next + kAx;
      next = row[i];
      if (c < next) row[i] = next = c;
    }
  }
  const std::size_t n = static_cast<std::size_t>(canvas);
  const float feather = feather_px;
  for (int32_t j = 0; j < h; ++j) {
    float* __restrict o = out + static_cast<std::size_t>(bx.y0 + j) * n + bx.x0;
    const float* __restrict dr = d + static_cast<std::size_t>(j) * w;
    for (int32_t i = 0; i < w; ++i) {
      const float t = 1.0f - dr[i] / feather;
      const float s = smooth(t);
      o[i] = t <= 0.0f ? 0.0f : s;
    }
  }
}

void LipContour::contourOfFrame(const float* kp, Box& bx) {
  polygon(kp, poly_.data());
  bx = box(poly_.data());
}

void LipContour::contourF32Canvas(const float* kp, float* out) {
  Box bx;
  contourOfFrame(kp, bx);
  // The box is written whole by contourF32; only the rest of the canvas is cleared.
  const std::size_t n = static_cast<std::size_t>(canvas);
  if (bx.empty()) {
    std::memset(out, 0, n * n * sizeof(float));
    return;
  }
  std::memset(out, 0, static_cast<std::size_t>(bx.y0) * n * sizeof(float));
  for (int32_t y = bx.y0; y < bx.y1; ++y) {
    float* row = out + static_cast<std::size_t>(y) * n;
    std::memset(row, 0, static_cast<std::size_t>(bx.x0) * sizeof(float));
    std::memset(row + bx.x1, 0, static_cast<std::size_t>(canvas - bx.x1) * sizeof(float));
  }
  std::memset(out + static_cast<std::size_t>(bx.y1) * n, 0, static_cast<std::size_t>(canvas - bx.y1) * n * sizeof(float));
  contourF32(poly_.data(), bx, out);
}

void LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) {
  if (pi.canvas != canvas)
    throw std::runtime_error("teeth: the compose geometry is on a " + std::to_string(pi.canvas) +
                             " canvas and the lip contour on " + std::to_string(canvas));
  Box bx;
  contourOfFrame(kp, bx);
  if (bx.empty()) {
    std::memset(out, 0, static_cast<std::size_t>(canvas) * static_cast<std::size_t>(canvas));
    return;
  }
  // Only the box of the canvas scratch is read back, and all of it is written.
  contourF32(poly_.data(), bx, field_.data());
  pi.piU8ShrunkBy(kp, field_.data(), bx, out);
}

bool LipContour::shrinkU8InPlace(const float* kp, const Box& box_, uint8_t* io) {
  const Box outer = clampToCanvas(box_, canvas);
  Box cb;
  contourOfFrame(kp, cb);
  const Box in = intersect(cb, outer);
  const std::size_t n = static_cast<std::size_t>(canvas);
  if (in.empty()) {
    for (int32_t y = outer.y0; y < outer.y1; ++y)
      std::memset(io + static_cast<std::size_t>(y) * n + outer.x0, 0, static_cast<std::size_t>(outer.x1 - outer.x0));
    return false;
  }
  contourF32(poly_.data(), cb, field_.data());
  bool any = false;
  for (int32_t y = outer.y0; y < outer.y1; ++y) {
    uint8_t* row = io + static_cast<std::size_t>(y) * n;
    if (y < in.y0 || y >= in.y1) {
      std::memset(row + outer.x0, 0, static_cast<std::size_t>(outer.x1 - outer.x0));
      continue;
    }
    std::memset(row + outer.x0, 0, static_cast<std::size_t>(in.x0 - outer.x0));
    std::memset(row + in.x1, 0, static_cast<std::size_t>(outer.x1 - in.x1));
    const float* f = field_.data() + static_cast<std::size_t>(y) * n;
    for (int32_t x = in.x0; x < in.x1; ++x) {
      const uint8_t q = quantizeU8(f[x]);
      if (q < row[x]) row[x] = q;
      any = any || row[x] != 0;
    }
  }
  return any;
}

bool LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* cCanon, uint8_t* out,
                                     int32_t& shiftY, int32_t& shiftX) {
  if (pi.canvas != canvas)
    throw std::runtime_error("teeth: the compose geometry is on a " + std::to_string(pi.canvas) +
                             " canvas and the lip contour on " + std::to_string(canvas));
  const bool shifted = pi.piU8AndShift(kp, cCanon, out, shiftY, shiftX);
  const bool kept = shrinkU8InPlace(kp, pi.supportBox(kp), out);
  return shifted && kept;
}

}  // namespace tessera
}  // namespace tq
