// Paste compositor: unsharp mask, Q10 inverse mapping and the three resampling
// paths. Results are reproducible bit for bit: every sum runs in a fixed order
// and nothing here may be fused into multiply-adds.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include "paste/tq_paste.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/tq_log.h"
#include "compute/tq_env.h"
#include "compute/tq_pool.h"
#include "compute/tq_simd.h"

namespace tq {
namespace {

constexpr std::size_t kGrain = 64;
// The vertical pass keeps one row of sums on the stack.
constexpr int kMaxSide = 1024;
// Bound on every Q10 term (row start and column term), so that their sum and
// the phase arithmetic stay far inside int32: 2^29 units is 524288 crop pixels.
constexpr double kQ10Limit = 536870912.0;

std::once_flag gExecutorLogOnce;

std::string num(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%g", v);
  return b;
}

inline uint8_t blendChannel(uint8_t f, float value, float alpha) {
  const float o = static_cast<float>(f) * (1.0f - alpha) + value * alpha;
  return o > 0.0f ? (o < 255.0f ? static_cast<uint8_t>(static_cast<int>(o)) : uint8_t{255}) : uint8_t{0};
}

inline int q10(double v) { return static_cast<int>(std::nearbyint(v)); }

constexpr double kPi = 3.14159265358979323846;

double sinc(double x) {
  const double px = kPi * x;
  return std::sin(px) / px;
}

// Mask weight of the pixel at integer crop position (ui, vi) with phases (pu, pv);
// ui and vi lie in [-1, side - 1].
inline float maskAlpha(const Paste& P, int ui, int vi, int pu, int pv) {
  const float* wx = P.bilinear.data() + 2 * pu;
  const float* wy = P.bilinear.data() + 2 * pv;
  const int side = P.side;
  float rows[2];
  for (int j = 0; j < 2; ++j) {
    const int v = vi + j;
    float m0 = 0.0f, m1 = 0.0f;
    if (v >= 0 && v < side) {
      const uint8_t* m = P.mask.data() + static_cast<std::size_t>(v) * side;
      if (ui >= 0) m0 = m[ui];
      if (ui + 1 < side) m1 = m[ui + 1];
    }
    rows[j] = wx[0] * m0 + wx[1] * m1;
  }
  const float value = wy[0] * rows[0] + wy[1] * rows[1];
  return std::rint(value) / 255.0f;
}

// One frame row of the bicubic (mode 1) or bilinear (mode 2) path.
void fastRow(const Paste& P, int U0, int V0, int x0, int x1, uint8_t* row) {
  const int side = P.side;
  for (int x = x0; x <= x1; ++x) {
    const int U = U0 + P.colU[x - x0];
    const int V = V0 + P.colV[x - x0];
    const int ui = U >> 10, vi = V >> 10;
    if (U < -1024 || ui >= side || vi < -1 || vi > side - 1) continue;
    const int pu = (U >> 5) & 31, pv = (V >> 5) & 31;
    const float alpha = maskAlpha(P, ui, vi, pu, pv);
    if (!(alpha > 0.0f)) continue;
    uint8_t* px = row + 3 * static_cast<std::size_t>(x);
    for (int c = 0; c < 3; ++c) {
      const float* plane = P.planes[c].data();
      float acc = 0.0f;
      if (P.mode == 1) {
        const float* wx = P.bicubic.data() + 4 * pu;
        const float* wy = P.bicubic.data() + 4 * pv;
        for (int j = 0; j < 4; ++j) {
          const int v = vi - 1 + j;
          if (v < 0 || v >= side) continue;
          float r = 0.0f;
          for (int k = 0; k < 4; ++k) {
            const int u = ui - 1 + k;
            if (u < 0 || u >= side) continue;
            r = r + wx[k] * plane[static_cast<std::size_t>(v) * side + u];
          }
          acc = acc + wy[j] * r;
        }
      } else {
        const float* wx = P.bilinear.data() + 2 * pu;
        const float* wy = P.bilinear.data() + 2 * pv;
        float rows[2];
        for (int j = 0; j < 2; ++j) {
          const int v = vi + j;
          float p0 = 0.0f, p1 = 0.0f;
          if (v >= 0 && v < side) {
            const float* s = plane + static_cast<std::size_t>(v) * side;
            if (ui >= 0) p0 = s[ui];
            if (ui + 1 < side) p1 = s[ui + 1];
          }
          rows[j] = wx[0] * p0 + wx[1] * p1;
        }
        acc = wy[0] * rows[0] + wy[1] * rows[1];
      }
      px[c] = blendChannel(px[c], acc, alpha);
    }
  }
}

}  // namespace

Paste::Paste(std::vector<uint8_t> m, int s, const Unsharp& u)
    : side(s), ksize(u.ksize), padded(0), amount(u.amount), mode(0), mask(std::move(m)) {
  if (side < 1) throw std::runtime_error("paste: side " + std::to_string(side) + " must be at least 1");
  if (mask.size() != static_cast<std::size_t>(side) * static_cast<std::size_t>(side))
    throw std::runtime_error("paste: mask size");
  if (ksize % 2 == 0) throw std::runtime_error("paste: ksize must be odd");
  if (ksize < 1) throw std::runtime_error("paste: ksize " + std::to_string(ksize) + " must be at least 1");
  // Reflect-101 padding mirrors at most ksize / 2 pixels about each edge; a
  // wider kernel would index outside the crop.
  if (ksize / 2 > side - 1)
    throw std::runtime_error("paste: ksize " + std::to_string(ksize) + " too wide for side " +
                             std::to_string(side) + " (at most 2 * side - 1 taps)");
  if (!(u.sigma > 0.0f) || !std::isfinite(u.sigma))
    throw std::runtime_error("paste: sigma " + num(u.sigma) + " must be positive and finite");
  if (!std::isfinite(u.amount)) throw std::runtime_error("paste: amount " + num(u.amount) + " must be finite");

  if (const char* f = env::raw("TQ_PASTE_FAST")) {
    const long v = std::strtol(f, nullptr, 10);
    if (v == 1 || v == 2) mode = static_cast<uint8_t>(v);
  }
  if (const char* k = env::raw("TQ_PASTE_KSIZE")) {
    const long v = std::strtol(k, nullptr, 10);
    if (v >= 3 && v % 2 == 1 && v <= ksize) ksize = static_cast<int>(v);
  }
  padded = side + ksize - 1;

  // Gaussian weights, normalised.
  {
    std::vector<double> g(ksize);
    const double c = (ksize - 1) * 0.5;
    const double den = 2.0 * static_cast<double>(u.sigma) * static_cast<double>(u.sigma);
    double sum = 0.0;
    for (int i = 0; i < ksize; ++i) {
      const double di = i - c;
      g[i] = std::exp(-(di * di) / den);
      sum += g[i];
    }
    gauss.resize(ksize);
    for (int i = 0; i < ksize; ++i) gauss[i] = static_cast<float>(g[i] / sum);
  }

  // 32-phase tables.
  lanczos.assign(32 * 8, 0.0f);
  bilinear.assign(32 * 2, 0.0f);
  bicubic.assign(32 * 4, 0.0f);
  for (int p = 0; p < 32; ++p) {
    const double t = p / 32.0;
    bilinear[2 * p] = static_cast<float>(1.0 - t);
    bilinear[2 * p + 1] = static_cast<float>(t);
    if (t < 1e-7) {
      lanczos[8 * p + 3] = 1.0f;
    } else {
      double w[8], sum = 0.0;
      for (int k = 0; k < 8; ++k) {
        const double x = t + 3 - k;
        w[k] = sinc(x) * sinc(x / 4);
        sum += w[k];
      }
      for (int k = 0; k < 8; ++k) lanczos[8 * p + k] = static_cast<float>(w[k] / sum);
    }
    // Keys cubic, a = -0.75.
    const double t1 = t + 1, s = 1 - t;
    const double w0 = ((-0.75 * t1 + 3.75) * t1 - 6) * t1 + 3;
    const double w1 = (1.25 * t - 2.25) * (t * t) + 1;
    const double w2 = (1.25 * s - 2.25) * (s * s) + 1;
    bicubic[4 * p] = static_cast<float>(w0);
    bicubic[4 * p + 1] = static_cast<float>(w1);
    bicubic[4 * p + 2] = static_cast<float>(w2);
    bicubic[4 * p + 3] = static_cast<float>(1 - w0 - w1 - w2);
  }

  const std::size_t n = static_cast<std::size_t>(side) * side;
  for (auto& pl : planes) pl.assign(n, 0.0f);
  const std::size_t pn = static_cast<std::size_t>(padded) * padded;
  pad.assign(pn, 0.0f);
  blur.assign(pn, 0.0f);
  rgbx.assign(4 * n, 0.0f);
}

void Paste::fillPlanes(const float* crop, float scale) {
  const std::size_t n = static_cast<std::size_t>(side) * side;
  for (int c = 0; c < 3; ++c) {
    const float* src = crop + c * n;
    float* dst = planes[c].data();
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] * scale;
  }
}

void Paste::unsharpPlane(std::vector<float>& plane) {
  if (side > kMaxSide) throw std::runtime_error("paste: side > 1024");
  if (plane.size() != static_cast<std::size_t>(side) * side)
    throw std::runtime_error("paste: plane size " + std::to_string(plane.size()) + ", expected " +
                             std::to_string(static_cast<std::size_t>(side) * side));
  struct Job {
    Paste* self;
    float* plane;
  } job{this, plane.data()};

  // 1. Reflect-101 padding, one padded row per index.
  tq::pool::parallelRange(padded, kGrain, [&job](std::size_t b, std::size_t e) {
    const Paste& P = *job.self;
    const int side = P.side, h = P.ksize / 2, padded = P.padded;
    const auto reflect = [side](int s) {
      s = s < 0 ? -s : s;
      return s < side ? s : 2 * (side - 1) - s;
    };
    for (std::size_t r = b; r < e; ++r) {
      const float* src = job.plane + static_cast<std::size_t>(reflect(static_cast<int>(r) - h)) * side;
      float* dst = job.self->pad.data() + r * padded;
      for (int j = 0; j < h; ++j) dst[j] = src[reflect(h - j)];
      std::memcpy(dst + h, src, sizeof(float) * side);
      for (int k = 0; k < h; ++k) dst[h + side + k] = src[reflect(side + k)];
    }
  });

  // 2. Horizontal pass over the flattened padded plane. The last ksize - 1
  // entries have no full window and stay zero (they are never read).
  const std::size_t hn = static_cast<std::size_t>(padded) * padded - (ksize - 1);
  tq::pool::parallelRange(hn, kGrain, [&job](std::size_t b, std::size_t e) {
    const Paste& P = *job.self;
    tq::simd::pasteTapSum(P.pad.data() + b, 1, P.gauss.data(), P.ksize, job.self->blur.data() + b, e - b);
  });

  // 3. Vertical pass and sharpening.
  tq::pool::parallelRange(side, kGrain, [&job](std::size_t b, std::size_t e) {
    const Paste& P = *job.self;
    float acc[kMaxSide];
    for (std::size_t r = b; r < e; ++r) {
      tq::simd::pasteTapSum(P.blur.data() + r * P.padded, P.padded, P.gauss.data(), P.ksize, acc, P.side);
      tq::simd::pasteSharpen(job.plane + r * P.side, acc, P.amount, P.side);
    }
  });
}

void Paste::compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double ia, double ib,
                          double ic, double id) {
  struct Job {
    Paste* self;
    uint8_t* frame;
    std::size_t stride;
    int x0, x1, y0;
    double ia, ib, ic, id;
  } job{this, frame, static_cast<std::size_t>(W) * 3, x0, x1, y0, ia, ib, ic, id};
  const std::size_t rows = static_cast<std::size_t>(y1 - y0 + 1);

  if (mode == 0) {
    tq::pool::parallelRange(side, kGrain, [&job](std::size_t b, std::size_t e) {
      Paste& P = *job.self;
      const std::size_t side = P.side;
      for (std::size_t i = b * side; i < e * side; ++i) {
        float* q = P.rgbx.data() + 4 * i;
        q[0] = P.planes[0][i];
        q[1] = P.planes[1][i];
        q[2] = P.planes[2][i];
        q[3] = 0.0f;
      }
    });
  }
  tq::pool::parallelRange(rows, kGrain, [&job](std::size_t b, std::size_t e) {
    const Paste& P = *job.self;
    for (std::size_t r = b; r < e; ++r) {
      const double y = static_cast<double>(job.y0 + static_cast<int>(r));
      const int U0 = q10((y * job.ia + job.ic) * 1024.0) + 16;
      const int V0 = q10((y * job.ib + job.id) * 1024.0) + 16;
      uint8_t* row = job.frame + (job.y0 + r) * job.stride;
      if (P.mode == 0)
        tq::simd::pasteLanczos8Row(P.rgbx.data(), P.side, P.mask.data(), P.lanczos.data(),
                                   P.bilinear.data(), P.colU.data(), P.colV.data(), U0, V0, job.x0,
                                   job.x1, row);
      else
        fastRow(P, U0, V0, job.x0, job.x1, row);
    }
  });
}

void Paste::composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H) {
  if (!crop || !M || !frame) throw std::runtime_error("paste: null crop, transform or frame");
  for (int i = 0; i < 6; ++i)
    if (!std::isfinite(M[i])) return;  // no meaningful placement
  const double a = M[0], b = M[1], tx = M[2], c = M[3], d = M[4], ty = M[5];
  const double det = a * d - b * c;
  if (det == 0.0 || !std::isfinite(det)) return;

  // Paste rectangle: the crop grown by the kernel reach, mapped forward.
  const float lo = -4.0f, hi = static_cast<float>(side + 3);
  const float cu[4] = {lo, hi, lo, hi}, cv[4] = {lo, lo, hi, hi};
  float minx = 0, maxx = 0, miny = 0, maxy = 0;
  for (int i = 0; i < 4; ++i) {
    const float x = M[0] * cu[i] + M[1] * cv[i] + M[2];
    const float y = M[3] * cu[i] + M[4] * cv[i] + M[5];
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    if (i == 0 || x < minx) minx = x;
    if (i == 0 || x > maxx) maxx = x;
    if (i == 0 || y < miny) miny = y;
    if (i == 0 || y > maxy) maxy = y;
  }
  const double fx0 = std::max<double>(std::floor(minx), 0.0);
  const double fx1 = std::min<double>(std::ceil(maxx), static_cast<double>(W) - 1.0);
  const double fy0 = std::max<double>(std::floor(miny), 0.0);
  const double fy1 = std::min<double>(std::ceil(maxy), static_cast<double>(H) - 1.0);
  if (!(fx0 <= fx1) || !(fy0 <= fy1)) return;
  const int x0 = static_cast<int>(fx0), x1 = static_cast<int>(fx1);
  const int y0 = static_cast<int>(fy0), y1 = static_cast<int>(fy1);

  // Inverse transform: u = x * du + y * ia + ic, v = x * dv + y * ib + id.
  const double du = d / det, dv = -c / det;
  const double ia = -b / det, ib = a / det;
  const double ic = -(tx * du + ty * ia);
  const double id = -(tx * dv + ty * ib);
  // A nearly singular or vanishingly small placement pulls frame pixels from
  // crop positions beyond the Q10 range; like a singular one, it pastes nothing.
  for (const double x : {fx0, fx1})
    if (!(std::fabs(x * du * 1024.0) <= kQ10Limit) || !(std::fabs(x * dv * 1024.0) <= kQ10Limit)) return;
  for (const double y : {fy0, fy1})
    if (!(std::fabs((y * ia + ic) * 1024.0) <= kQ10Limit) || !(std::fabs((y * ib + id) * 1024.0) <= kQ10Limit))
      return;
  const std::size_t cols = static_cast<std::size_t>(x1 - x0 + 1);
  if (colU.size() < cols) {
    colU.resize(cols);
    colV.resize(cols);
  }
  for (int x = x0; x <= x1; ++x) {
    colU[x - x0] = q10(x * du * 1024.0);
    colV[x - x0] = q10(x * dv * 1024.0);
  }

  std::call_once(gExecutorLogOnce, [this] {
    tq::logText(TQ_LOG_INFO, "[tq-paste] executor=%s (side=%d, ksize=%d, threads=%d) \xE2\x80\x94 1080p frame\n",
                 "cpu", side, ksize, tq::pool::threads());
  });

  fillPlanes(crop, scale);
  for (auto& pl : planes) unsharpPlane(pl);
  compositeTail(frame, W, x0, x1, y0, y1, ia, ib, ic, id);
}

}  // namespace tq
