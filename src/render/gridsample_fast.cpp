#include "render/gridsample_fast.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "render/gridsample_taps.h"
#include "render/gs_graph_rewrite.h"
#include "render/gs_wire.h"
#include "render/onnx_fields.h"
#include "render/tq_ort.h"
#include "render/tq_warp.h"

// The sampler's arithmetic has a fixed operation order (separate multiplies and
// adds, no fused multiply-add) so that its results are the same on every
// processor. Compilers contract a * b + c into an FMA wherever the target has one
// (aarch64 always does; GCC across statements by default, clang within an
// expression), which changes the rounding; contraction is switched off for every
// function defined below. The pragmas come after the includes so that only this
// file's own functions are affected. With them, the band loop compiles to
// separate fmul/fadd on aarch64 under both GCC 12 and clang 19.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace tq {

// ---------------------------------------------------------------- kernel

namespace {

// floor() of a float without a library call: exact for every float; NaN and
// infinities come back unchanged. |v| >= 2^23 is already an integer.
inline float floorOf(float v) {
  if (!(std::fabs(v) < 8388608.0f)) return v;
  const float t = static_cast<float>(static_cast<int32_t>(v));
  return t > v ? t - 1.0f : t;
}

// The integer tap origin floor(pos) clamped to [-1, n - 1]: both taps (origin and
// origin + 1, each clamped to [0, n - 1]) are the same as for the unclamped
// origin, and the conversion to int can never overflow (even when n - 1 rounds
// up to 2^31 as a float). NaN maps to -1.
inline int tapOrigin(float fl, int n) {
  if (!(fl >= -1.0f)) return -1;
  const float hi = static_cast<float>(n - 1);
  return fl >= hi ? n - 1 : static_cast<int>(fl);
}

// The weighted sum of every channel for the block's n pixels, written contiguously.
template <typename Off>
void applyTaps(const float* X, std::ptrdiff_t plane, float* yRow, int C, int n, const GsfTapBlock<Off>& t) {
  for (int c = 0; c < C; ++c) {
    const float* xc = X + c * plane;
    float* out = yRow + c * plane;
    for (int i = 0; i < n; ++i)
      out[i] = ((t.w00[i] * xc[t.o00[i]] + t.w01[i] * xc[t.o01[i]]) + t.w10[i] * xc[t.o10[i]]) +
               t.w11[i] * xc[t.o11[i]];
  }
}

// int32 offsets take the vector taps; wide offsets (huge images) the scalar ones.
template <typename Off>
void sampleRows(const float* X, const float* grid, float* Y, int C, int H, int W, int y0, int y1) {
  const std::ptrdiff_t plane = static_cast<std::ptrdiff_t>(H) * W;
  GsfTapBlock<Off> taps;
  for (int y = y0; y < y1; ++y) {
    const float* g = grid + static_cast<std::ptrdiff_t>(y) * W * 2;
    float* yRow = Y + static_cast<std::ptrdiff_t>(y) * W;
    for (int xs = 0; xs < W; xs += kGsfChunk) {
      const int n = std::min(kGsfChunk, W - xs);
      // Taps and weights once per pixel, applied to every channel.
      if constexpr (std::is_same<Off, int32_t>::value)
        gsfTaps(g + 2 * xs, n, W, H, taps);
      else
        gsfTapsScalar(g + 2 * xs, 0, n, W, H, taps);
      applyTaps(X, plane, yRow + xs, C, n, taps);
    }
  }
}

}  // namespace

template <typename Off>
void gsfTapsScalar(const float* g, int from, int to, int W, int H, GsfTapBlock<Off>& t) {
  const float fW = static_cast<float>(W);
  const float fH = static_cast<float>(H);
  for (int i = from; i < to; ++i) {
    const float gx = g[2 * i];
    const float gy = g[2 * i + 1];
    const float ix = ((gx + 1.0f) * 0.5f) * fW - 0.5f;
    const float iy = ((gy + 1.0f) * 0.5f) * fH - 0.5f;
    const float fx = floorOf(ix);
    const float fy = floorOf(iy);
    const float wx = ix - fx;
    const float wy = iy - fy;
    const int x0 = tapOrigin(fx, W);
    const int yt = tapOrigin(fy, H);
    const Off xa = std::max(x0, 0), xb = std::min(x0 + 1, W - 1);
    const Off ya = std::max(yt, 0), yb = std::min(yt + 1, H - 1);
    t.o00[i] = ya * W + xa;
    t.o01[i] = ya * W + xb;
    t.o10[i] = yb * W + xa;
    t.o11[i] = yb * W + xb;
    t.w00[i] = (1.0f - wx) * (1.0f - wy);
    t.w01[i] = wx * (1.0f - wy);
    t.w10[i] = (1.0f - wx) * wy;
    t.w11[i] = wx * wy;
  }
}
template void gsfTapsScalar<int32_t>(const float*, int, int, int, int, GsfTapBlock<int32_t>&);

void gridsample_fast_band(const float* X, const float* grid, float* Y, int C, int H, int W, int y0, int y1) {
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  if (y0 >= y1 || W <= 0 || C <= 0) return;
  if (gsfVectorTaps(W, H))
    sampleRows<int32_t>(X, grid, Y, C, H, W, y0, y1);
  else
    sampleRows<std::ptrdiff_t>(X, grid, Y, C, H, W, y0, y1);
}

void gridsample_fast(const float* X, const float* grid, float* Y, int C, int H, int W) {
  gridsample_fast_band(X, grid, Y, C, H, W, 0, H);
}

void band_fn(void* context, std::size_t task) {
  const auto* c = static_cast<const GsfBandContext*>(context);
  const int64_t y0 = static_cast<int64_t>(task) * c->rows;
  if (y0 >= c->H) return;
  const int64_t y1 = std::min<int64_t>(y0 + c->rows, c->H);
  gridsample_fast_band(c->X, c->grid, c->Y, c->C, c->H, c->W, static_cast<int>(y0), static_cast<int>(y1));
}

// ---------------------------------------------------------------- operator

namespace {

constexpr int kBandRows = 16;

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (std::size_t i = 0; i < s.size(); ++i) t += (i ? ", " : "") + std::to_string(s[i]);
  return t + "]";
}

// Empty when X [N, C, H, W] and grid [N, H, W, 2] fit together; the refusal otherwise.
std::string shapeRefusal(const std::vector<int64_t>& xs, const std::vector<int64_t>& gs) {
  const std::string pre = "com.vexamo::GridSampleFast: ";
  if (xs.size() != 4) return pre + "X must be [N, C, H, W], got " + shapeText(xs);
  for (int64_t d : xs)
    if (d < 0 || d > INT_MAX) return pre + "X has an unsupported shape " + shapeText(xs);
  const std::vector<int64_t> want = {xs[0], xs[2], xs[3], 2};
  if (gs != want)
    return pre + "grid " + shapeText(gs) + " does not fit X " + shapeText(xs) + ": this operator samples a grid of " +
           "the input's own spatial size and needs grid " + shapeText(want);
  return std::string();
}

}  // namespace

OrtStatusPtr GSFOp::CreateKernelV2(const OrtApi&, const OrtKernelInfo*, void** kernel) const {
  *kernel = new GSFKernel();
  return nullptr;
}

OrtStatusPtr GSFKernel::ComputeV2(OrtKernelContext* context) {
  try {
    Ort::KernelContext ctx(context);
    Ort::ConstValue x = ctx.GetInput(0);
    Ort::ConstValue grid = ctx.GetInput(1);
    const std::vector<int64_t> xs = x.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> gs = grid.GetTensorTypeAndShapeInfo().GetShape();
    const std::string refusal = shapeRefusal(xs, gs);
    if (!refusal.empty()) return Ort::GetApi().CreateStatus(ORT_INVALID_ARGUMENT, refusal.c_str());

    Ort::UnownedValue y = ctx.GetOutput(0, xs);
    const int64_t N = xs[0];
    const int C = static_cast<int>(xs[1]), H = static_cast<int>(xs[2]), W = static_cast<int>(xs[3]);
    const std::size_t itemX = static_cast<std::size_t>(C) * H * W;
    const std::size_t itemG = static_cast<std::size_t>(H) * W * 2;
    if (N == 0 || itemX == 0) return nullptr;
    const float* X = x.GetTensorData<float>();
    const float* G = grid.GetTensorData<float>();
    float* Y = y.GetTensorMutableData<float>();
    const std::size_t tasks = (static_cast<std::size_t>(H) + kBandRows - 1) / kBandRows;
    for (int64_t n = 0; n < N; ++n) {
      GsfBandContext band{X + n * itemX, G + n * itemG, Y + n * itemX, C, H, W, kBandRows};
      ctx.ParallelFor(band_fn, tasks, 0, &band);
    }
    return nullptr;
  } catch (const Ort::Exception& e) {
    return Ort::GetApi().CreateStatus(e.GetOrtErrorCode(), e.what());
  } catch (const std::exception& e) {
    return Ort::GetApi().CreateStatus(ORT_FAIL, e.what());
  }
}

// ---------------------------------------------------------------- domain

void domainOps(Ort::CustomOpDomain& domain) {
  static GSFOp gridSampleFast;
  static WarpOp warpDirector;
  domain.Add(&gridSampleFast);
  domain.Add(&warpDirector);
}

Ort::CustomOpDomain& vexamoDomain() {
  static Ort::CustomOpDomain domain = [] {
    ortInit();
    Ort::CustomOpDomain d("com.vexamo");
    domainOps(d);
    return d;
  }();
  return domain;
}

void registerGridSampleFast(Ort::SessionOptions& options) { options.Add(vexamoDomain()); }

void registerWarpDirector(Ort::SessionOptions& options) { options.Add(vexamoDomain()); }

// ---------------------------------------------------------------- graph rewrite

namespace {

using namespace onnxf;
const char* const kDomain = "com.vexamo";

// Whether a NodeProto is a GridSample that GridSampleFast computes: default
// domain, explicit bilinear mode, explicit border padding, align_corners 0 (or
// absent). A repeated op_type, domain or attribute must agree in every copy.
bool qualifies(GsSlice node) {
  bool isGridSample = false, otherOp = false, badDomain = false;
  bool modeOk = false, modeBad = false, padOk = false, padBad = false, cornersBad = false;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (isBytes(f, kNodeOpType)) {
      (f.payload.str() == "GridSample" ? isGridSample : otherOp) = true;
    } else if (isBytes(f, kNodeDomain)) {
      const std::string d = f.payload.str();
      if (!(d.empty() || d == "ai.onnx")) badDomain = true;
    } else if (isBytes(f, kNodeAttribute)) {
      const std::string name = gsFirstStr(f.payload, kAttrName);
      if (name == "mode" || name == "padding_mode") {
        bool haveS = false;
        std::string s;
        GsReader ar(f.payload);
        GsField af;
        while (ar.next(af))
          if (isBytes(af, kAttrS) && !haveS) {
            s = af.payload.str();
            haveS = true;
          }
        const bool ok = haveS && (name == "mode" ? (s == "bilinear" || s == "linear") : s == "border");
        bool& good = name == "mode" ? modeOk : padOk;
        bool& bad = name == "mode" ? modeBad : padBad;
        (ok ? good : bad) = true;
      } else if (name == "align_corners") {
        GsReader ar(f.payload);
        GsField af;
        while (ar.next(af))
          if (af.number == kAttrI && af.wire == 0 && af.value != 0) cornersBad = true;
      }
    }
  }
  return isGridSample && !otherOp && !badDomain && modeOk && !modeBad && padOk && !padBad && !cornersBad;
}

}  // namespace

bool gridSampleNodeQualifies(GsSlice node) { return qualifies(node); }

std::size_t rewriteGridSampleToFast(std::vector<uint8_t>& model) {
  const GsSlice in(model);
  std::vector<bool> rewrite;
  const std::size_t count = gsMarkNodes(gsGraphOf(in), qualifies, rewrite);
  if (count == 0) return 0;

  std::vector<uint8_t> out;
  gsRewriteGraph(in, out, 64 * count + 256, [&](const GsField& f, std::ptrdiff_t node, std::vector<uint8_t>& graph) {
    if (node < 0 || !rewrite[node]) return gsPutRaw(graph, f.raw);
    gsPutRetypedNode(graph, f.payload, "GridSampleFast", kDomain, false);
  });
  gsEnsureOpsetImport(out, kDomain);
  model.swap(out);
  return count;
}

bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model) {
  GsReader r(gsGraphOf(model));
  GsField f;
  while (r.next(f)) {
    if (!isBytes(f, kGraphNode)) continue;
    if (gsFirstStr(f.payload, kNodeOpType) == "GridSampleFast" && gsFirstStr(f.payload, kNodeDomain) == kDomain)
      return true;
  }
  return false;
}

}  // namespace tq
