// The WarpDirector kernel: a stencil pass into a 12-float record per pixel, then a
// bilinear gather of those records recombined per colour channel. Built without
// floating-point contraction (see CMakeLists.txt): the arithmetic order is part of
// the result.
#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

#include "render/tq_warp.h"

namespace tq {

namespace {

constexpr int kBandRows = 16;

// The pixel and its three second differences at (y, x) of one channel plane.
inline void stencil(const float* plane, int W, int H, int y, int x, float k[4]) {
  const float* up = plane + static_cast<std::size_t>(y > 0 ? y - 1 : 0) * W;
  const float* row = plane + static_cast<std::size_t>(y) * W;
  const float* dn = plane + static_cast<std::size_t>(y < H - 1 ? y + 1 : H - 1) * W;
  const int xl = x > 0 ? x - 1 : 0, xr = x < W - 1 ? x + 1 : W - 1;
  const float p0 = up[xl], p1 = up[x], p2 = up[xr];
  const float p3 = row[xl], p4 = row[x], p5 = row[xr];
  const float p6 = dn[xl], p7 = dn[x], p8 = dn[xr];
  k[0] = p4;
  k[1] = (p3 - (p4 + p4)) + p5;
  k[2] = (p1 - (p4 + p4)) + p7;
  k[3] = (((p0 - (p3 + p3)) + p6) - (k[2] + k[2])) + ((p2 - (p5 + p5)) + p8);
}

// Taps and weights of one output pixel.
struct Taps {
  int x0, x1, y0, y1;
  float w00, w01, w10, w11;
  float ax, by;
};

// floor() without a library call where the CPU has no rounding instruction;
// exact, with floor's sign of zero. Beyond 2^23 every float is an integer.
inline float floorExact(float v) {
  if (!(std::fabs(v) < 8388608.0f)) return std::floor(v);
  float t = static_cast<float>(static_cast<int32_t>(v));
  if (t > v) t -= 1.0f;
  return t == 0.0f ? std::copysign(0.0f, v) : t;
}

// One axis: the curvature weight from the unclamped position, the clamped taps
// and fraction. A NaN position reads tap 0 (its weights stay NaN).
inline void axis(float g, int n, float& curve, int& t0, int& t1, float& frac) {
  const float i = (((g + 1.0f) * static_cast<float>(n)) - 1.0f) * 0.5f;
  const float a = i - floorExact(i);
  curve = ((1.0f - a) * a) * 0.5f;
  const float c = i >= 0.0f ? std::min(i, static_cast<float>(n - 1)) : 0.0f;
  t0 = static_cast<int>(c);  // c >= 0: truncation is floor
  frac = c - static_cast<float>(t0);
  t1 = t0 < n - 1 ? t0 + 1 : n - 1;
}

inline Taps taps(const float* g, int W, int H) {
  Taps t;
  float fx, fy;
  axis(g[0], W, t.ax, t.x0, t.x1, fx);
  axis(g[1], H, t.by, t.y0, t.y1, fy);
  t.w00 = (1.0f - fx) * (1.0f - fy);
  t.w01 = fx * (1.0f - fy);
  t.w10 = (1.0f - fx) * fy;
  t.w11 = fx * fy;
  return t;
}

inline void recombine(const float S[12], const Taps& t, float* out, std::size_t plane, std::size_t i) {
  for (int c = 0; c < 3; ++c) {
    const float* s = S + 4 * c;
    out[c * plane + i] = (t.ax * t.by) * s[3] + ((s[0] - t.ax * s[1]) - t.by * s[2]);
  }
}

}  // namespace

void warpDirectorPlanesSpan(const float* src, float* planes, int W, int H, int y, int x0, int x1) {
  const std::size_t plane = static_cast<std::size_t>(W) * H;
  for (int x = x0; x < x1; ++x) {
    float* rec = planes + 12 * (static_cast<std::size_t>(y) * W + x);
    for (int c = 0; c < 3; ++c) stencil(src + c * plane, W, H, y, x, rec + 4 * c);
  }
}

void warpDirectorPlanesBandScalar(const float* src, float* planes, int W, int H, int y0, int y1) {
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  // Pixel by pixel, so each 48-byte record is written once, in order: the buffer
  // is larger than the caches at crop 512.
  for (int y = y0; y < y1; ++y) warpDirectorPlanesSpan(src, planes, W, H, y, 0, W);
}

void warpDirectorGatherSpan(const float* planes, const float* grid, float* out, int W, int H, int y, int x0, int x1) {
  const std::size_t plane = static_cast<std::size_t>(W) * H;
  for (int x = x0; x < x1; ++x) {
    const std::size_t i = static_cast<std::size_t>(y) * W + x;
    const Taps t = taps(grid + 2 * i, W, H);
    const float* r00 = planes + 12 * (static_cast<std::size_t>(t.y0) * W + t.x0);
    const float* r01 = planes + 12 * (static_cast<std::size_t>(t.y0) * W + t.x1);
    const float* r10 = planes + 12 * (static_cast<std::size_t>(t.y1) * W + t.x0);
    const float* r11 = planes + 12 * (static_cast<std::size_t>(t.y1) * W + t.x1);
    float S[12];
    for (int j = 0; j < 12; ++j) S[j] = 0.0f;
    for (int j = 0; j < 12; ++j) S[j] += t.w00 * r00[j];
    for (int j = 0; j < 12; ++j) S[j] += t.w01 * r01[j];
    for (int j = 0; j < 12; ++j) S[j] += t.w10 * r10[j];
    for (int j = 0; j < 12; ++j) S[j] += t.w11 * r11[j];
    recombine(S, t, out, plane, i);
  }
}

void warpDirectorGatherBandScalar(const float* planes, const float* grid, float* out, int W, int H, int y0, int y1) {
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  for (int y = y0; y < y1; ++y) warpDirectorGatherSpan(planes, grid, out, W, H, y, 0, W);
}

void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int y0, int y1) {
  const std::size_t plane = static_cast<std::size_t>(W) * H;
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  for (int y = y0; y < y1; ++y)
    for (int x = 0; x < W; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * W + x;
      const Taps t = taps(grid + 2 * i, W, H);
      const int ty[4] = {t.y0, t.y0, t.y1, t.y1}, tx[4] = {t.x0, t.x1, t.x0, t.x1};
      const float w[4] = {t.w00, t.w01, t.w10, t.w11};
      float S[12];
      for (int j = 0; j < 12; ++j) S[j] = 0.0f;
      for (int q = 0; q < 4; ++q)
        for (int c = 0; c < 3; ++c) {
          float k[4];
          stencil(src + c * plane, W, H, ty[q], tx[q], k);
          for (int j = 0; j < 4; ++j) S[4 * c + j] += w[q] * k[j];
        }
      recombine(S, t, out, plane, i);
    }
}

void warpDirector(const float* src, const float* grid, float* out, int W, int H) {
  warpDirectorBand(src, grid, out, W, H, 0, H);
}

void warp_planes_fn(void* context, std::size_t task) {
  const auto* c = static_cast<const WarpBandContext*>(context);
  const int64_t y0 = static_cast<int64_t>(task) * c->rows;
  if (y0 >= c->H) return;
  warpDirectorPlanesBand(c->X, c->planes, c->W, c->H, static_cast<int>(y0),
                         static_cast<int>(std::min<int64_t>(y0 + c->rows, c->H)));
}

void warp_gather_fn(void* context, std::size_t task) {
  const auto* c = static_cast<const WarpBandContext*>(context);
  const int64_t y0 = static_cast<int64_t>(task) * c->rows;
  if (y0 >= c->H) return;
  warpDirectorGatherBand(c->planes, c->grid, c->Y, c->W, c->H, static_cast<int>(y0),
                         static_cast<int>(std::min<int64_t>(y0 + c->rows, c->H)));
}

// ---------------------------------------------------------------- operator

namespace {

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (std::size_t i = 0; i < s.size(); ++i) t += (i ? ", " : "") + std::to_string(s[i]);
  return t + "]";
}

OrtStatusPtr fail(const std::string& text) { return Ort::GetApi().CreateStatus(ORT_INVALID_ARGUMENT, text.c_str()); }

}  // namespace

OrtStatusPtr WarpOp::CreateKernelV2(const OrtApi&, const OrtKernelInfo*, void** kernel) const {
  *kernel = new WarpKernel();
  return nullptr;
}

OrtStatusPtr WarpKernel::ComputeV2(OrtKernelContext* context) {
  try {
    Ort::KernelContext ctx(context);
    Ort::ConstValue x = ctx.GetInput(0);
    Ort::ConstValue grid = ctx.GetInput(1);
    const std::vector<int64_t> xs = x.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> gs = grid.GetTensorTypeAndShapeInfo().GetShape();
    const std::string pre = "com.vexamo::WarpDirector: ";
    if (xs.size() != 4) return fail(pre + "X must be [N, 3, H, W], got " + shapeText(xs));
    for (int64_t d : xs)
      if (d < 0 || d > INT_MAX / 16) return fail(pre + "X has an unsupported shape " + shapeText(xs));
    if (xs[1] != 3)
      return fail(pre + "this node warps the director's 3-channel source and the graph handed it C=" +
                  std::to_string(xs[1]) + ". REFUSING rather than writing a frame nobody asked for.");
    // A grid of another shape would be read out of bounds.
    const std::vector<int64_t> want = {xs[0], xs[2], xs[3], 2};
    if (gs != want) return fail(pre + "grid " + shapeText(gs) + " does not fit X " + shapeText(xs) + ": needs grid " + shapeText(want));

    Ort::UnownedValue y = ctx.GetOutput(0, xs);
    const int64_t N = xs[0];
    H = static_cast<int32_t>(xs[2]);
    W = static_cast<int32_t>(xs[3]);
    const std::size_t plane = static_cast<std::size_t>(H) * W;
    if (N == 0 || plane == 0) return nullptr;
    if (planes.size() < plane * 12) planes.resize(plane * 12);
    const float* X = x.GetTensorData<float>();
    const float* G = grid.GetTensorData<float>();
    float* Y = y.GetTensorMutableData<float>();
    const std::size_t tasks = (static_cast<std::size_t>(H) + kBandRows - 1) / kBandRows;
    for (int64_t n = 0; n < N; ++n) {
      WarpBandContext band{X + n * 3 * plane, G + n * 2 * plane, planes.data(), Y + n * 3 * plane, W, H, kBandRows};
      ctx.ParallelFor(warp_planes_fn, tasks, 0, &band);
      ctx.ParallelFor(warp_gather_fn, tasks, 0, &band);
    }
    return nullptr;
  } catch (const Ort::Exception& e) {
    return Ort::GetApi().CreateStatus(e.GetOrtErrorCode(), e.what());
  } catch (const std::exception& e) {
    return Ort::GetApi().CreateStatus(ORT_FAIL, e.what());
  }
}

}  // namespace tq
