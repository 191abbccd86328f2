#include "audio/tq_audio_window.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "compute/tq_simd.h"

namespace tq {

void copyAudioWindow(const float* src, int64_t srcBase, int64_t avail, int64_t begin, float* w,
                     std::size_t n) {
  const int64_t end = begin + static_cast<int64_t>(n);
  const int64_t lo = std::max<int64_t>({begin, int64_t{0}, srcBase});
  const int64_t hi = std::min(end, avail);
  if (hi <= lo) {
    std::memset(w, 0, n * sizeof(float));
    return;
  }
  // Zeros only around the copied span: a full window is written once.
  std::memset(w, 0, static_cast<std::size_t>(lo - begin) * sizeof(float));
  std::memcpy(w + (lo - begin), src + (lo - srcBase), static_cast<std::size_t>(hi - lo) * sizeof(float));
  std::memset(w + (hi - begin), 0, static_cast<std::size_t>(end - hi) * sizeof(float));
}

void normaliseAudioWindow(float* w, std::size_t n) {
  if (n == 0) return;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += w[i];
  const double mean = sum / static_cast<double>(n);
  double sq = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = w[i] - mean;
    sq += d * d;
  }
  const double var = sq / static_cast<double>(n);
  const float scale = 1.0f / std::sqrt(static_cast<float>(var) + 1e-7f);
  for (std::size_t i = 0; i < n; ++i) w[i] = static_cast<float>((w[i] - mean) * static_cast<double>(scale));
}

void roundThroughHalf(const float* in, float* out, std::size_t n) { simd::roundThroughF16(in, out, n); }

void roundThroughHalf(float* v, std::size_t n) { roundThroughHalf(v, v, n); }

}  // namespace tq
