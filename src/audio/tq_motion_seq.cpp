#include "audio/tq_motion_seq.h"

#include <algorithm>
#include <cstring>

#include "audio/tq_motion_tables.h"

namespace tq {
namespace motion {

void smoothFrame(const float* prev, const float* cur, const float* next, float* out) {
  const float n = 1.0f + (prev ? 1.0f : 0.0f) + (next ? 1.0f : 0.0f);
  for (int k = 0; k < kPoseDim; ++k) {
    float s = prev ? prev[k] : 0.0f;
    s += cur[k];
    if (next) s += next[k];
    out[k] = s / n;
  }
  if (out != cur) std::memcpy(out + kPoseDim, cur + kPoseDim, sizeof(float) * (kMotionDim - kPoseDim));
}

void crossFadeFrame(float* old, const float* predicted, int i) {
  const float b = static_cast<float>(i) / kOverlap;
  const float a = 1.0f - b;
  for (int k = 0; k < kMotionDim; ++k) old[k] = a * old[k] + b * predicted[k];
}

void clampFrame(float* frame, const float* lo, const float* hi) {
  for (int k = 0; k < kMotionDim; ++k) frame[k] = std::min(std::max(frame[k], lo[k]), hi[k]);
}

int nextDriverIndex(int d, int* dir, int nt, bool wrap) {
  if (wrap) {
    // C's % keeps the sign of the dividend: step back from 0 lands on nt - 1.
    const int r = (d + *dir) % nt;
    return r < 0 ? r + nt : r;
  }
  int next = d + *dir;
  if (next < 0) {
    next = 1;
    *dir = 1;
  } else if (next >= nt) {
    next = nt - 2;
    *dir = -1;
  }
  return std::min(std::max(next, 0), nt - 1);
}

}  // namespace motion
}  // namespace tq
