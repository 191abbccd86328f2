// Audio windows for the speech encoders: zero-padded copies and per-window normalisation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tq {

// Fills w[0..n) with the samples at absolute positions [begin, begin + n): positions
// outside [0, avail) read as zero. src[k] holds absolute sample srcBase + k.
void copyAudioWindow(const float* src, int64_t srcBase, int64_t avail, int64_t begin, float* w,
                     std::size_t n);

// Normalises a window in place to zero mean and unit variance. Mean and variance are
// accumulated in double; the scale 1 / sqrt(var + 1e-7) is formed in single precision
// (a silent window scales by about 3162, so it stays all zeros).
void normaliseAudioWindow(float* w, std::size_t n);

// Rounds every value to the nearest binary16 value (ties to even) and stores it back
// as float. A result below the smallest normal half (2^-14) in magnitude becomes a
// zero of its sign; values beyond the half range become infinities.
void roundThroughHalf(float* v, std::size_t n);
// The same from in to out (which may be in).
void roundThroughHalf(const float* in, float* out, std::size_t n);

}  // namespace tq
