#include "render/int8conv_vnni.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "compute/tq_pool.h"
#include "render/int8conv_simd.h"
#include "render/tq_ort.h"

namespace tq {

namespace {

const std::string kPrefix = "com.vexamo.int8::Int8ConvVNNI: ";
// |(q - zp) x w| <= 255 x 128, so up to 65793 products sum exactly in int32.
constexpr int64_t kMaxTaps = 65793;
constexpr std::size_t kScanGrain = 4096;
// Output pixels per call of the row kernel.
constexpr int kTilePixels = 64;
constexpr int64_t kIntMax = 2147483647;
constexpr int kBlock = simd::kInt8Block;

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(kPrefix + what); }

std::string listText(const std::vector<int64_t>& v) {
  std::string t = "[";
  for (std::size_t i = 0; i < v.size(); ++i) t += (i ? ", " : "") + std::to_string(v[i]);
  return t + "]";
}

std::size_t mulChecked(std::size_t a, std::size_t b) {
  std::size_t r;
  if (__builtin_mul_overflow(a, b, &r)) refuse("the tensors of this convolution are too large to index");
  return r;
}

// ---------------------------------------------------------------- attributes

bool ok(OrtStatus* status) {
  if (!status) return true;
  Ort::GetApi().ReleaseStatus(status);
  return false;
}

// The integers of attribute `name` (an INT reads as one value). `present` is
// false when the node has no such attribute; floats and strings are refused.
std::vector<int64_t> intsAttr(const OrtKernelInfo* info, const char* name, bool* present) {
  const OrtApi& api = Ort::GetApi();
  *present = true;
  std::size_t size = 0, fsize = 0, ssize = 0;
  int64_t one = 0;
  float f = 0;
  const bool ai = ok(api.KernelInfoGetAttributeArray_int64(info, name, nullptr, &size));
  const bool si = ok(api.KernelInfoGetAttribute_int64(info, name, &one));
  const bool sf = ok(api.KernelInfoGetAttribute_float(info, name, &f));
  const bool af = ok(api.KernelInfoGetAttributeArray_float(info, name, nullptr, &fsize));
  const bool ss = ok(api.KernelInfoGetAttribute_string(info, name, nullptr, &ssize));
  if (!(ai || si || sf || af || ss)) {
    *present = false;
    return {};
  }
  // The array getter answers for an attribute of any type, so the types are told apart by the other getters.
  if (si) return {one};
  if (sf || fsize > 0 || ss) refuse(std::string("attribute ") + name + " must hold integers");
  std::vector<int64_t> v(size);
  if (size > 0 && !ok(api.KernelInfoGetAttributeArray_int64(info, name, v.data(), &size)))
    refuse(std::string("attribute ") + name + " could not be read");
  return v;
}

bool inRange(const std::vector<int64_t>& v, std::size_t count, int64_t lo) {
  if (v.size() != count) return false;
  for (int64_t e : v)
    if (e < lo || e > kIntMax) return false;
  return true;
}

Int8ConvAttrs readAttrs(const OrtKernelInfo* info) {
  Int8ConvAttrs a;
  bool present = false;
  std::vector<int64_t> v = intsAttr(info, "strides", &present);
  if (present) {
    if (!inRange(v, 2, 1)) refuse("strides must be 2 integers in 1..2147483647, got " + listText(v));
    a.strideH = v[0], a.strideW = v[1];
  }
  v = intsAttr(info, "pads", &present);
  if (present) {
    if (!inRange(v, 4, 0))
      refuse("pads must be 4 integers (top, left, bottom, right) in 0..2147483647, got " + listText(v));
    a.top = v[0], a.left = v[1], a.bottom = v[2], a.right = v[3];
  }
  v = intsAttr(info, "dilations", &present);
  if (present) {
    if (!inRange(v, 2, 1)) refuse("dilations must be 2 integers in 1..2147483647, got " + listText(v));
    a.dilationH = v[0], a.dilationW = v[1];
  }
  v = intsAttr(info, "group", &present);
  if (present) {
    if (!inRange(v, 1, 1)) refuse("group must be one integer in 1..2147483647, got " + listText(v));
    a.group = v[0];
  }
  return a;
}

// ---------------------------------------------------------------- shapes

struct Geometry {
  int64_t N, C, H, W, M, Cg, kh, kw, Hp, Wp, Ho, Wo;
};

Geometry checkShapes(const Int8ConvAttrs& a, const std::vector<int64_t>& xs, const std::vector<int64_t>& ws,
                     const std::vector<int64_t>& ss, const std::vector<int64_t>& bs) {
  if (xs.size() != 4) refuse("X must be [N, C, H, W], got " + listText(xs));
  if (ws.size() != 4 || ws[2] < 1 || ws[3] < 1)
    refuse("weights must be [M, C / group, kh, kw] with kh and kw at least 1, got " + listText(ws));
  Geometry g{xs[0], xs[1], xs[2], xs[3], ws[0], ws[1], ws[2], ws[3], 0, 0, 0, 0};
  int64_t groupC = 0;
  if (__builtin_mul_overflow(a.group, g.Cg, &groupC) || groupC != g.C)
    refuse("X " + listText(xs) + " has C = " + std::to_string(g.C) + " but group " + std::to_string(a.group) +
           " x the second dimension of weights " + listText(ws) + " is not that");
  if (g.M % a.group != 0)
    refuse("the " + std::to_string(g.M) + " output channels of weights " + listText(ws) +
           " do not split into group " + std::to_string(a.group));
  if (ss != std::vector<int64_t>{g.M})
    refuse("scales must be [M] = [" + std::to_string(g.M) + "], got " + listText(ss));
  if (bs != std::vector<int64_t>{g.M}) refuse("bias must be [M] = [" + std::to_string(g.M) + "], got " + listText(bs));
  int64_t taps = 0;
  if (__builtin_mul_overflow(g.Cg, g.kh * g.kw, &taps) || g.kh > kMaxTaps || g.kw > kMaxTaps || taps > kMaxTaps)
    refuse("weights " + listText(ws) + " sum more than 65793 products per output, beyond which the exact int32 " +
           "sum can overflow");
  g.Hp = g.H + a.top + a.bottom;
  g.Wp = g.W + a.left + a.right;
  const int64_t eh = (g.kh - 1) * a.dilationH + 1, ew = (g.kw - 1) * a.dilationW + 1;
  if (eh > g.Hp || ew > g.Wp)
    refuse("the dilated kernel " + std::to_string(eh) + " x " + std::to_string(ew) +
           " is larger than the padded input " + std::to_string(g.Hp) + " x " + std::to_string(g.Wp));
  if (g.Hp > kIntMax || g.Wp > kIntMax)
    refuse("the padded input " + std::to_string(g.Hp) + " x " + std::to_string(g.Wp) + " is too large");
  g.Ho = (g.Hp - eh) / a.strideH + 1;
  g.Wo = (g.Wp - ew) / a.strideW + 1;
  return g;
}

}  // namespace

// ---------------------------------------------------------------- quantisation

Int8Quant int8QuantOf(const float* x, std::size_t n) {
  float lo = 0.0f, hi = 0.0f;
  if (pool::parts(n, kScanGrain) >= 2) {
    std::mutex mu;
    pool::parallelRange(n, kScanGrain, [&](std::size_t b, std::size_t e) {
      float l = 0.0f, h = 0.0f;
      simd::int8Range(x + b, e - b, &l, &h);
      std::lock_guard<std::mutex> lock(mu);
      lo = std::min(lo, l);
      hi = std::max(hi, h);
    });
  } else {
    simd::int8Range(x, n, &lo, &hi);
  }
  Int8Quant q;
  const float s = (hi - lo) / 255.0f;
  if (s > 0.0f) {
    float z = std::nearbyint(-lo / s);
    if (!(z >= 0.0f)) z = 0.0f;
    q.s = s;
    q.zp = static_cast<int32_t>(std::min(z, 255.0f));
  }
  return q;
}

// ---------------------------------------------------------------- weights

const int8_t* Int8PackedWeights::block(int64_t g, int b) const {
  const std::size_t perBlock = static_cast<std::size_t>(kh * kw) * quads * 4 * kBlock;
  return packed.data() + (static_cast<std::size_t>(g) * blocks + b) * perBlock;
}

Int8PackedWeights int8PackWeights(const int8_t* w, const std::vector<int64_t>& shape, int64_t group) {
  Int8PackedWeights p;
  p.M = shape[0], p.Cg = shape[1], p.kh = shape[2], p.kw = shape[3], p.group = group;
  const int64_t Mg = p.M / group, taps = p.kh * p.kw;
  p.quads = static_cast<int>((p.Cg + 3) / 4);
  p.blocks = static_cast<int>((Mg + kBlock - 1) / kBlock);
  p.sum.assign(static_cast<std::size_t>(p.M), 0);
  p.packed.assign(mulChecked(mulChecked(static_cast<std::size_t>(group) * p.blocks, taps),
                             static_cast<std::size_t>(p.quads) * 4 * kBlock),
                  0);
  for (int64_t o = 0; o < p.M; ++o) {
    const int64_t g = o / Mg, m = o % Mg;
    int8_t* blk = const_cast<int8_t*>(p.block(g, static_cast<int>(m / kBlock)));
    const int8_t* src = w + o * p.Cg * taps;
    int32_t sum = 0;
    for (int64_t c = 0; c < p.Cg; ++c)
      for (int64_t t = 0; t < taps; ++t) {
        const int8_t v = src[c * taps + t];
        sum += v;
        blk[((t * p.quads + c / 4) * kBlock + m % kBlock) * 4 + c % 4] = v;
      }
    p.sum[static_cast<std::size_t>(o)] = sum;
  }
  return p;
}

// ---------------------------------------------------------------- kernel

namespace {

// The buffers of one run, kept by the calling thread from run to run: they only
// grow, so a warm kernel allocates nothing (the quantised input alone is about
// 4 MB at 64 channels of 256 x 256).
struct RunScratch {
  std::vector<uint8_t> q;
  std::vector<std::ptrdiff_t> tapOffset;
  std::vector<int32_t> correction;
  std::vector<float> k;
};

RunScratch& runScratch() {
  thread_local RunScratch s;
  return s;
}

struct Run {
  const Int8ConvAttrs& a;
  const Geometry& g;
  const Int8PackedWeights& w;
  const float* X;
  const float* scale;
  const float* bias;
  float* Y;
  Int8Quant quant;
  std::ptrdiff_t quadPlane = 0;            // bytes per quad of channels: Hp x Wp x 4
  // [N][group][quads][Hp][Wp][4]. The padding holds zp, so a tap outside the image adds
  // (zp - zp) x w = 0 and every output position, border or not, subtracts zp x the full weight sum.
  std::vector<uint8_t>& q;
  std::vector<std::ptrdiff_t>& tapOffset;  // per tap (ky, kx), from the output pixel's window origin
  std::vector<int32_t>& correction;        // zp x weight sum, per output channel
  std::vector<float>& k;                   // s x scale, per output channel

  uint8_t* image(int64_t n, int64_t grp) {
    return q.data() + static_cast<std::size_t>(n * a.group + grp) * w.quads * quadPlane;
  }

  // Quantises input row y of image n's group grp into the padded buffer.
  void quantiseRow(int64_t n, int64_t grp, int64_t y) {
    uint8_t* img = image(n, grp);
    for (int c4 = 0; c4 < w.quads; ++c4) {
      const float* rows[4];
      for (int j = 0; j < 4; ++j) {
        // Channels past the group's last are padding with weight 0: any values will do.
        const int64_t c = std::min<int64_t>(4 * c4 + j, g.Cg - 1);
        rows[j] = X + ((n * g.C + grp * g.Cg + c) * g.H + y) * g.W;
      }
      simd::int8QuantiseQuad(rows, static_cast<std::size_t>(g.W), quant.s, static_cast<float>(quant.zp),
                             img + c4 * quadPlane + ((y + a.top) * g.Wp + a.left) * 4);
    }
  }

  // Output row oy of image n's group grp, every output channel of the group.
  void outputRow(int64_t n, int64_t grp, int64_t oy) {
    const int64_t Mg = g.M / a.group;
    const uint8_t* row = image(n, grp) + oy * a.strideH * g.Wp * 4;
    simd::Int8RowArgs r;
    r.quadPlane = quadPlane;
    r.strideW = static_cast<int>(a.strideW);
    r.tapOffset = tapOffset.data();
    r.taps = static_cast<int>(g.kh * g.kw);
    r.quads = w.quads;
    r.yStride = static_cast<std::ptrdiff_t>(g.Ho * g.Wo);
    for (int64_t ox0 = 0; ox0 < g.Wo; ox0 += kTilePixels) {
      r.q = row + ox0 * a.strideW * 4;
      r.pixels = static_cast<int>(std::min<int64_t>(kTilePixels, g.Wo - ox0));
      for (int b = 0; b < w.blocks; ++b) {
        const int64_t o = grp * Mg + b * kBlock;
        r.w = w.block(grp, b);
        r.ocs = static_cast<int>(std::min<int64_t>(kBlock, Mg - b * kBlock));
        r.correction = correction.data() + o;
        r.k = k.data() + o;
        r.bias = bias + o;
        r.y = Y + ((n * g.M + o) * g.Ho + oy) * g.Wo + ox0;
        simd::int8ConvRow(r);
      }
    }
  }

  void operator()() {
    const std::size_t count = mulChecked(mulChecked(g.N, g.C), mulChecked(g.H, g.W));
    quant = int8QuantOf(X, count);
    if (g.Cg == 0) {  // no input channels: every sum is 0
      for (int64_t n = 0; n < g.N; ++n)
        for (int64_t o = 0; o < g.M; ++o) {
          const float y = 0.0f * (quant.s * scale[o]);
          std::fill_n(Y + (n * g.M + o) * g.Ho * g.Wo, g.Ho * g.Wo, y + bias[o]);
        }
      return;
    }
    quadPlane = static_cast<std::ptrdiff_t>(mulChecked(mulChecked(g.Hp, g.Wp), 4));
    q.assign(mulChecked(mulChecked(mulChecked(g.N, a.group), w.quads), quadPlane), static_cast<uint8_t>(quant.zp));
    tapOffset.resize(static_cast<std::size_t>(g.kh * g.kw));
    for (int64_t ky = 0; ky < g.kh; ++ky)
      for (int64_t kx = 0; kx < g.kw; ++kx)
        tapOffset[ky * g.kw + kx] = (ky * a.dilationH * g.Wp + kx * a.dilationW) * 4;
    correction.resize(static_cast<std::size_t>(g.M));
    k.resize(static_cast<std::size_t>(g.M));
    for (std::size_t o = 0; o < correction.size(); ++o) {
      correction[o] = quant.zp * w.sum[o];  // |zp x sum| <= 255 x 128 x 65793 < 2^31
      k[o] = quant.s * scale[o];
    }
    const std::size_t rows = static_cast<std::size_t>(g.N * a.group * g.H);
    pool::parallelRange(rows, 1, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const int64_t r = static_cast<int64_t>(i);
        quantiseRow(r / (a.group * g.H), r / g.H % a.group, r % g.H);
      }
    });
    const std::size_t outRows = static_cast<std::size_t>(g.N * a.group * g.Ho);
    pool::parallelRange(outRows, 1, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const int64_t r = static_cast<int64_t>(i);
        outputRow(r / (a.group * g.Ho), r / g.Ho % a.group, r % g.Ho);
      }
    });
  }
};

OrtStatusPtr errorStatus(OrtErrorCode code, const char* what) { return Ort::GetApi().CreateStatus(code, what); }

}  // namespace

OrtStatusPtr Int8ConvOp::CreateKernelV2(const OrtApi&, const OrtKernelInfo* info, void** kernel) const {
  try {
    auto k = std::make_unique<Int8ConvKernel>();
    k->attrs = readAttrs(info);
    int constant = 0;
    Ort::ConstKernelInfo(info).GetTensorConstantInput(1, &constant);
    k->constantWeights = constant != 0;
    *kernel = k.release();
    return nullptr;
  } catch (const Ort::Exception& e) {
    return errorStatus(e.GetOrtErrorCode(), e.what());
  } catch (const std::exception& e) {
    return errorStatus(ORT_INVALID_ARGUMENT, e.what());
  }
}

OrtStatusPtr Int8ConvKernel::ComputeV2(OrtKernelContext* context) {
  try {
    Ort::KernelContext ctx(context);
    Ort::ConstValue x = ctx.GetInput(0), wt = ctx.GetInput(1), sc = ctx.GetInput(2), bi = ctx.GetInput(3);
    const std::vector<int64_t> ws = wt.GetTensorTypeAndShapeInfo().GetShape();
    const Geometry g = checkShapes(attrs, x.GetTensorTypeAndShapeInfo().GetShape(), ws,
                                   sc.GetTensorTypeAndShapeInfo().GetShape(), bi.GetTensorTypeAndShapeInfo().GetShape());
    // Weights that are not a constant initializer can change between runs: packed anew each time.
    Int8PackedWeights fresh;
    const Int8PackedWeights* packed = &weights;
    if (constantWeights)
      std::call_once(prepared, [&] { weights = int8PackWeights(wt.GetTensorData<int8_t>(), ws, attrs.group); });
    else
      packed = &(fresh = int8PackWeights(wt.GetTensorData<int8_t>(), ws, attrs.group));

    Ort::UnownedValue y = ctx.GetOutput(0, {g.N, g.M, g.Ho, g.Wo});
    if (g.N == 0 || g.M == 0) return nullptr;
    RunScratch& s = runScratch();
    Run run{attrs, g, *packed, x.GetTensorData<float>(), sc.GetTensorData<float>(), bi.GetTensorData<float>(),
            y.GetTensorMutableData<float>(), {}, 0, s.q, s.tapOffset, s.correction, s.k};
    run();
    return nullptr;
  } catch (const Ort::Exception& e) {
    return errorStatus(e.GetOrtErrorCode(), e.what());
  } catch (const std::exception& e) {
    return errorStatus(ORT_INVALID_ARGUMENT, e.what());
  }
}

// ---------------------------------------------------------------- domain

namespace {

Ort::CustomOpDomain& int8Domain() {
  static Ort::CustomOpDomain domain = [] {
    ortInit();
    Ort::CustomOpDomain d("com.vexamo.int8");
    static Int8ConvOp op;
    d.Add(&op);
    return d;
  }();
  return domain;
}

}  // namespace

void registerInt8ConvVNNI(Ort::SessionOptions& options) { options.Add(int8Domain()); }

}  // namespace tq
