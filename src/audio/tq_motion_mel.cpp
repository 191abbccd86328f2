#include "audio/tq_motion_mel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/tq_motion_tables.h"

namespace tq {
namespace motion {

namespace {

struct MelScratch {
  float padded[kPadded];
  double re[kFftSize];
  double im[kFftSize];
  float mag[kFftBins];
  float frame[kFftSize];
};

MelScratch& scratch() {
  thread_local MelScratch s;
  return s;
}

// Twiddles and the bit-reversal permutation of the 512-point transform, built once.
struct FftTables {
  double cosT[kFftSize / 2];
  double sinT[kFftSize / 2];
  int rev[kFftSize];
  FftTables() {
    const double pi = 3.14159265358979323846;
    for (int k = 0; k < kFftSize / 2; ++k) {
      cosT[k] = std::cos(2 * pi * k / kFftSize);
      sinT[k] = -std::sin(2 * pi * k / kFftSize);
    }
    int bits = 0;
    while ((1 << bits) < kFftSize) ++bits;
    for (int i = 0; i < kFftSize; ++i) {
      int r = 0;
      for (int b = 0; b < bits; ++b)
        if (i & (1 << b)) r |= 1 << (bits - 1 - b);
      rev[i] = r;
    }
  }
};

const FftTables& fftTables() {
  static const FftTables t;
  return t;
}

// In-place iterative radix-2 decimation-in-time transform.
void fft(double* re, double* im) {
  const FftTables& t = fftTables();
  for (int i = 0; i < kFftSize; ++i) {
    const int j = t.rev[i];
    if (j > i) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  for (int len = 2; len <= kFftSize; len <<= 1) {
    const int half = len / 2, step = kFftSize / len;
    for (int s = 0; s < kFftSize; s += len) {
      for (int k = 0; k < half; ++k) {
        const double wr = t.cosT[k * step], wi = t.sinT[k * step];
        const int a = s + k, b = a + half;
        const double xr = re[b] * wr - im[b] * wi;
        const double xi = re[b] * wi + im[b] * wr;
        re[b] = re[a] - xr;
        im[b] = im[a] - xi;
        re[a] += xr;
        im[a] += xi;
      }
    }
  }
}

}  // namespace

float* melInputScratch() { return scratch().padded + kReflect; }

MelFrontEnd::MelFrontEnd(const float* window, const float* binmat) : window_(window), binmat_(binmat) {
  for (int m = 0; m < kMelBands; ++m) {
    int lo = kFftBins, hi = 0;
    for (int k = 0; k < kFftBins; ++k)
      if (binmat[k * kMelBands + m] != 0.0f) {
        lo = std::min(lo, k);
        hi = k + 1;
      }
    lo_[m] = std::min(lo, hi);
    hi_[m] = hi;
  }
}

void MelFrontEnd::run(const float* samples, float* out) const {
  MelScratch& s = scratch();
  float* p = s.padded;
  if (samples != p + kReflect) std::memmove(p + kReflect, samples, sizeof(float) * kBlockSamples);
  // Mirror the samples next to each edge, the edge sample itself excluded.
  for (int i = 0; i < kReflect; ++i) {
    p[kReflect - 1 - i] = p[kReflect + 1 + i];
    p[kReflect + kBlockSamples + i] = p[kReflect + kBlockSamples - 2 - i];
  }
  for (int t = 0; t < kMelFrames; ++t) {
    const float* x = p + kHop * t;
    for (int i = 0; i < kFftSize; ++i) s.frame[i] = x[i] * window_[i];
    for (int i = 0; i < kFftSize; ++i) {
      s.re[i] = s.frame[i];
      s.im[i] = 0;
    }
    fft(s.re, s.im);
    for (int k = 0; k < kFftBins; ++k) s.mag[k] = static_cast<float>(std::sqrt(s.re[k] * s.re[k] + s.im[k] * s.im[k]));
    for (int m = 0; m < kMelBands; ++m) {
      double acc = 0;
      for (int k = lo_[m]; k < hi_[m]; ++k) acc += static_cast<double>(s.mag[k]) * binmat_[k * kMelBands + m];
      out[m * kMelFrames + t] = static_cast<float>(std::log(acc + 1e-8));
    }
  }
}

}  // namespace motion
}  // namespace tq
