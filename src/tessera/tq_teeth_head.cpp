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

}  // namespace

// Half-pixel source position of output index i for a 2x upsample from `size`.
void TeethPass::upsampleTap(int32_t i, int32_t size, int32_t& i0, int32_t& i1, float& f) {
  const float s = std::max((i + 0.5f) * 0.5f - 0.5f, 0.0f);
  i0 = int32_t(std::floor(s));
  i1 = std::min(i0 + 1, size - 1);
  f = s - float(i0);
}

void TeethPass::headForward(const float* cands, int32_t n, const float* query, const uint8_t* bandMask,
                            float* weightsOut, float* blendedOut) {
  const std::size_t hp = halfPx_, px = windowPx_, N = std::size_t(std::max(n, 0));
  if (hIn_.size() < N * 4 * hp) {  // only a caller with more candidates than K grows these
    hIn_.resize(N * 4 * hp), hA_.resize(N * 16 * hp), hB_.resize(N * 16 * hp), hLogit_.resize(N * hp);
  }
  // The first convolution is split by input channel: the query's three planes are
  // the same for every candidate, so their part (with the bias) is computed once;
  // each candidate convolves only its own three planes and the difference plane.
  pool2x2(query, 3, wh_, ww_, hPoolQ_.data());
  simd::conv3x3Range(hPoolQ_.data(), 1, 3, h2_, w2_, w0Query_.data(), w_.cand0_b.data(), 16, hQ16_.data(), 0, 16);
  detail::parallelFor(N, 1, [&](std::size_t b, std::size_t e) {
    const float* pq = hPoolQ_.data();
    for (std::size_t i = b; i < e; ++i) {
      float* in = hIn_.data() + i * 4 * hp;
      pool2x2(cands + i * 3 * px, 3, wh_, ww_, in);
      for (std::size_t k = 0; k < hp; ++k)
        in[3 * hp + k] = (std::fabs(in[k] - pq[k]) + std::fabs(in[hp + k] - pq[hp + k]) +
                          std::fabs(in[2 * hp + k] - pq[2 * hp + k])) / 3.0f;
    }
  });

  // Each (candidate, out-channel) pair is one piece of work. The kernel runs an
  // image's pairs together; the shared part and ReLU follow while those planes
  // are still in cache.
  const auto conv = [&](const float* in, int cin, const float* w, const float* bias, int cout, float* out,
                        bool relu, const float* shared) {
    const std::size_t co = std::size_t(cout);
    detail::parallelFor(N * co, 1, [&](std::size_t b, std::size_t e) {
      for (std::size_t p = b; p < e;) {
        const std::size_t q = std::min(e, (p / co + 1) * co);
        simd::conv3x3Range(in, int(N), cin, h2_, w2_, w, bias, cout, out, p, q);
        if (relu)
          for (std::size_t r = p; r < q; ++r)
            simd::addRelu(out + r * hp, shared ? shared + (r % co) * hp : nullptr, hp);
        p = q;
      }
    });
  };
  if (N >= 8) {
    // Enough candidates to share out whole: each runs its three layers while its
    // planes are still in this core's cache. The outputs are the same bits.
    detail::parallelFor(N, 1, [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) {
        float* a = hA_.data() + i * 16 * hp;
        float* h = hB_.data() + i * 16 * hp;
        simd::conv3x3Range(hIn_.data() + i * 4 * hp, 1, 4, h2_, w2_, w0Cand_.data(), nullptr, 16, a, 0, 16);
        for (std::size_t r = 0; r < 16; ++r) simd::addRelu(a + r * hp, hQ16_.data() + r * hp, hp);
        simd::conv3x3Range(a, 1, 16, h2_, w2_, w_.cand2_w.data(), w_.cand2_b.data(), 16, h, 0, 16);
        simd::addRelu(h, nullptr, 16 * hp);
        simd::conv3x3Range(h, 1, 16, h2_, w2_, w_.cand4_w.data(), w_.cand4_b.data(), 1, hLogit_.data() + i * hp, 0, 1);
      }
    });
  } else {
    conv(hIn_.data(), 4, w0Cand_.data(), nullptr, 16, hA_.data(), true, hQ16_.data());
    conv(hA_.data(), 16, w_.cand2_w.data(), w_.cand2_b.data(), 16, hB_.data(), true, nullptr);
    conv(hB_.data(), 16, w_.cand4_w.data(), w_.cand4_b.data(), 1, hLogit_.data(), false, nullptr);
  }

  // Logits upsampled straight into the weight planes.
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
        float* row = dst + std::size_t(y) * ww_;
        for (int32_t x = 0; x < ww_; ++x) {
          const int32_t x0 = upX0_[x], x1 = upX1_[x];
          const float fx = upFx_[x];
          const float top = (1.0f - fx) * r0[x0] + fx * r0[x1];
          const float bot = (1.0f - fx) * r1[x0] + fx * r1[x1];
          row[x] = (1.0f - fy) * top + fy * bot;
        }
      }
    }
  });

  // Softmax over the candidates and the blend, a block of pixels at a time with
  // the candidates outermost; every pixel still sums in candidate order.
  constexpr std::size_t kBlock = 256;
  detail::parallelFor(px, 256, [&](std::size_t b, std::size_t e) {
    float m[kBlock], s[kBlock], acc[kBlock];
    for (std::size_t j0 = b; j0 < e; j0 += kBlock) {
      const std::size_t nb = std::min(kBlock, e - j0);
      std::fill_n(m, nb, -1e30f);
      std::fill_n(s, nb, 0.0f);
      for (std::size_t i = 0; i < N; ++i) {
        const float* w = weightsOut + i * px + j0;
        for (std::size_t j = 0; j < nb; ++j) m[j] = std::max(m[j], w[j]);
      }
      for (std::size_t i = 0; i < N; ++i) {
        float* w = weightsOut + i * px + j0;
        for (std::size_t j = 0; j < nb; ++j) {
          w[j] = std::exp(w[j] - m[j]);
          s[j] += w[j];
        }
      }
      for (std::size_t i = 0; i < N; ++i) {
        float* w = weightsOut + i * px + j0;
        for (std::size_t j = 0; j < nb; ++j) w[j] /= s[j];
      }
      std::fill_n(weightsOut + N * px + j0, nb, 0.0f);  // the synthesis branch is not evaluated here
      for (int c = 0; c < 3; ++c) {
        std::fill_n(acc, nb, 0.0f);
        for (std::size_t i = 0; i < N; ++i) {
          const float* w = weightsOut + i * px + j0;
          const float* v = cands + (i * 3 + c) * px + j0;
          for (std::size_t j = 0; j < nb; ++j) acc[j] += w[j] * v[j];
        }
        const float* q = query + c * px + j0;
        float* out = blendedOut + c * px + j0;
        for (std::size_t j = 0; j < nb; ++j) out[j] = bandMask[j0 + j] ? acc[j] : q[j];
      }
    }
  });
}

}  // namespace tessera
}  // namespace tq
