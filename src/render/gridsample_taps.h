// GridSampleFast's per-pixel taps and weights for a run of up to kGsfChunk
// output pixels of one row: the scalar reference and its vector variants.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

namespace tq {

// Pixels whose taps are computed together before the channel loop runs over them.
constexpr int kGsfChunk = 128;

// Plane offsets of the four taps (row x W + column) and their bilinear weights.
template <typename Off>
struct GsfTapBlock {
  Off o00[kGsfChunk], o01[kGsfChunk], o10[kGsfChunk], o11[kGsfChunk];
  float w00[kGsfChunk], w01[kGsfChunk], w10[kGsfChunk], w11[kGsfChunk];
};
using GsfTapRun = GsfTapBlock<int32_t>;

// The reference: pixels [from, to) of the run whose grid pairs start at `grid`.
template <typename Off>
void gsfTapsScalar(const float* grid, int from, int to, int W, int H, GsfTapBlock<Off>& taps);

// The same for pixels [0, n), n <= kGsfChunk, on the best vector target; equal to
// the reference bit for bit. Only for images gsfVectorTaps accepts.
void gsfTaps(const float* grid, int n, int W, int H, GsfTapRun& taps);

// int32 offsets and exact float tap bounds: W x H fits int32 and W, H <= 2^24.
inline bool gsfVectorTaps(int W, int H) {
  return W <= (1 << 24) && H <= (1 << 24) && static_cast<int64_t>(W) * H <= INT32_MAX;
}

}  // namespace tq
