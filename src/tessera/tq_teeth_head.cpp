// The blend head of the teeth pass: per candidate, three 3x3 convolutions at
// half resolution give a logit plane; the planes are upsampled to window size
// and a softmax over the candidates weighs their pixels inside the band.
#include <algorithm>
#include <cmath>

#include "compute/tq_simd.h"
#include "tessera/tq_teeth_pass.h"

namespace tq {
namespace tessera {

namespace {

// 2x2 average pooling of `planes` planes of h x w into (h/2) x (w/2).
void pool2x2(const float* in, int planes, int32_t h, int32_t w, float* out) {
  const int32_t h2 = h / 2, w2 = w / 2;
  for (int p = 0; p < planes; ++p) {
    const float* src = in + std::size_t(p) * h * w;
    float* dst = out + std::size_t(p) * h2 * w2;
    for (int32_t y = 0; y < h2; ++y) {
      const float* a = src + std::size_t(2 * y) * w;
      const float* b = a + w;
      for (int32_t x = 0; x < w2; ++x)
        dst[std::size_t(y) * w2 + x] = (a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1]) * 0.25f;
    }
  }
}

// Half-pixel source position of output index i for a 2x upsample from `size`.
void upsampleTap(int32_t i, int32_t size, int32_t& i0, int32_t& i1, float& f) {
  const float s = std::max((i + 0.5f) * 0.5f - 0.5f, 0.0f);
  i0 = int32_t(std::floor(s));
  i1 = std::min(i0 + 1, size - 1);
  f = s - float(i0);
}

void reluPlanes(float* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) p[i] = std::max(p[i], 0.0f);
}

}  // namespace

void TeethPass::headForward(const float* cands, int32_t n, const float* query, const uint8_t* bandMask,
                            float* weightsOut, float* blendedOut) {
  const std::size_t hp = halfPx_, px = windowPx_, N = std::size_t(std::max(n, 0));
  if (hIn_.size() < N * 7 * hp) {  // only a caller with more candidates than K grows these
    hIn_.resize(N * 7 * hp), hA_.resize(N * 16 * hp), hB_.resize(N * 16 * hp), hLogit_.resize(N * hp);
  }
  pool2x2(query, 3, wh_, ww_, hPoolQ_.data());
  detail::parallelFor(N, 1, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      float* in = hIn_.data() + i * 7 * hp;
      pool2x2(cands + i * 3 * px, 3, wh_, ww_, in);
      std::copy(hPoolQ_.begin(), hPoolQ_.end(), in + 3 * hp);
      for (std::size_t k = 0; k < hp; ++k)
        in[6 * hp + k] = (std::fabs(in[k] - in[3 * hp + k]) + std::fabs(in[hp + k] - in[4 * hp + k]) +
                          std::fabs(in[2 * hp + k] - in[5 * hp + k])) / 3.0f;
    }
  });

  // Each (candidate, out-channel) pair is one piece of work; ReLU follows on the same pieces.
  const auto conv = [&](const float* in, int cin, const std::vector<float>& w, const std::vector<float>& bias,
                        int cout, float* out, bool relu) {
    detail::parallelFor(N * cout, 1, [&](std::size_t b, std::size_t e) {
      simd::conv3x3Range(in, int(N), cin, h2_, w2_, w.data(), bias.data(), cout, out, b, e);
      if (relu) reluPlanes(out + b * hp, (e - b) * hp);
    });
  };
  conv(hIn_.data(), 7, w_.cand0_w, w_.cand0_b, 16, hA_.data(), true);
  conv(hA_.data(), 16, w_.cand2_w, w_.cand2_b, 16, hB_.data(), true);
  conv(hB_.data(), 16, w_.cand4_w, w_.cand4_b, 1, hLogit_.data(), false);

  // Logits upsampled straight into the weight planes, then a softmax per pixel.
  detail::parallelFor(N, 1, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      const float* src = hLogit_.data() + i * hp;
      float* dst = weightsOut + i * px;
      for (int32_t y = 0; y < wh_; ++y) {
        int32_t y0, y1;
        float fy;
        upsampleTap(y, h2_, y0, y1, fy);
        const float* r0 = src + std::size_t(y0) * w2_;
        const float* r1 = src + std::size_t(y1) * w2_;
        for (int32_t x = 0; x < ww_; ++x) {
          int32_t x0, x1;
          float fx;
          upsampleTap(x, w2_, x0, x1, fx);
          const float top = (1.0f - fx) * r0[x0] + fx * r0[x1];
          const float bot = (1.0f - fx) * r1[x0] + fx * r1[x1];
          dst[std::size_t(y) * ww_ + x] = (1.0f - fy) * top + fy * bot;
        }
      }
    }
  });
  detail::parallelFor(px, 256, [&](std::size_t b, std::size_t e) {
    for (std::size_t k = b; k < e; ++k) {
      float m = -1e30f;
      for (std::size_t i = 0; i < N; ++i) m = std::max(m, weightsOut[i * px + k]);
      float s = 0.0f;
      for (std::size_t i = 0; i < N; ++i) {
        const float v = std::exp(weightsOut[i * px + k] - m);
        weightsOut[i * px + k] = v;
        s += v;
      }
      for (std::size_t i = 0; i < N; ++i) weightsOut[i * px + k] /= s;
      weightsOut[N * px + k] = 0.0f;  // the synthesis branch is not evaluated here
    }
  });
  detail::parallelFor(px, 256, [&](std::size_t b, std::size_t e) {
    for (std::size_t k = b; k < e; ++k)
      for (int c = 0; c < 3; ++c) {
        float v = query[c * px + k];
        if (bandMask[k]) {
          v = 0.0f;
          for (std::size_t i = 0; i < N; ++i) v += weightsOut[i * px + k] * cands[(i * 3 + c) * px + k];
        }
        blendedOut[c * px + k] = v;
      }
  });
}

}  // namespace tessera
}  // namespace tq
