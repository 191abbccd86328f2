#include "audio/tq_motion_mel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/tq_motion_tables.h"

namespace tq {
namespace motion {

namespace {

constexpr int kHalf = kFftSize / 2;

struct MelScratch {
  float padded[kPadded];
  double re[kHalf];
  double im[kHalf];
  float mag[kFftBins];
  float frame[kFftSize];
};

MelScratch& scratch() {
  thread_local MelScratch s;
  return s;
}

// A real 512-point transform as a 256-point complex one over (even, odd)
// sample pairs, then split into the 257 bins. Twiddles and the bit-reversal
// permutation are built once.
struct FftTables {
  double cosT[kHalf / 2], sinT[kHalf / 2];  // e^{-2 pi i k / 256}
  double splitCos[kFftBins], splitSin[kFftBins];  // e^{-2 pi i k / 512}
  int rev[kHalf];
  FftTables() {
    const double pi = 3.14159265358979323846;
    for (int k = 0; k < kHalf / 2; ++k) {
      cosT[k] = std::cos(2 * pi * k / kHalf);
      sinT[k] = -std::sin(2 * pi * k / kHalf);
    }
    for (int k = 0; k < kFftBins; ++k) {
      splitCos[k] = std::cos(2 * pi * k / kFftSize);
      splitSin[k] = -std::sin(2 * pi * k / kFftSize);
    }
    int bits = 0;
    while ((1 << bits) < kHalf) ++bits;
    for (int i = 0; i < kHalf; ++i) {
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

// Magnitudes of bins 0..256 of the 512 real samples x.
void realFftMagnitudes(const float* x, MelScratch& s) {
  const FftTables& t = fftTables();
  double* re = s.re;
  double* im = s.im;
  for (int n = 0; n < kHalf; ++n) {
    re[t.rev[n]] = x[2 * n];
    im[t.rev[n]] = x[2 * n + 1];
  }
  // Iterative radix-2 decimation in time.
  for (int len = 2; len <= kHalf; len <<= 1) {
    const int half = len / 2, step = kHalf / len;
    for (int b = 0; b < kHalf; b += len) {
      for (int k = 0; k < half; ++k) {
        const double wr = t.cosT[k * step], wi = t.sinT[k * step];
        const int p = b + k, q = p + half;
        const double xr = re[q] * wr - im[q] * wi;
        const double xi = re[q] * wi + im[q] * wr;
        re[q] = re[p] - xr;
        im[q] = im[p] - xi;
        re[p] += xr;
        im[p] += xi;
      }
    }
  }
  // X[k] = E[k] + e^{-2 pi i k / 512} O[k], with E and O the transforms of the
  // even and odd samples recovered from Z[k] and conj(Z[256 - k]).
  for (int k = 0; k < kFftBins; ++k) {
    const int a = k % kHalf, c = (kHalf - k) % kHalf;
    const double er = 0.5 * (re[a] + re[c]), ei = 0.5 * (im[a] - im[c]);
    const double orr = 0.5 * (im[a] + im[c]), oi = -0.5 * (re[a] - re[c]);
    const double wr = t.splitCos[k], wi = t.splitSin[k];
    const double xr = er + wr * orr - wi * oi;
    const double xi = ei + wr * oi + wi * orr;
    s.mag[k] = static_cast<float>(std::sqrt(xr * xr + xi * xi));
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
    realFftMagnitudes(s.frame, s);
    for (int m = 0; m < kMelBands; ++m) {
      double acc = 0;
      for (int k = lo_[m]; k < hi_[m]; ++k) acc += static_cast<double>(s.mag[k]) * binmat_[k * kMelBands + m];
      out[m * kMelFrames + t] = static_cast<float>(std::log(acc + 1e-8));
    }
  }
}

}  // namespace motion
}  // namespace tq
