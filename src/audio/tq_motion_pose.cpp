#include "audio/tq_motion_pose.h"

#include <algorithm>
#include <cmath>

#include "audio/tq_motion_tables.h"

namespace tq {
namespace motion {

float bin66(const float* logits) {
  double mx = logits[0];
  for (int i = 1; i < kBins; ++i) mx = std::max<double>(mx, logits[i]);
  double sum = 0, expect = 0;
  for (int i = 0; i < kBins; ++i) {
    const double e = std::exp(logits[i] - mx);
    sum += e;
    expect += e * i;
  }
  return static_cast<float>(3.0 * (expect / sum) - 97.5);
}

void poseToR(float pitch, float yaw, float roll, float* R) {
  const double toRad = 3.1415927 / 180.0;
  const double p = pitch * toRad, y = yaw * toRad, r = roll * toRad;
  const double cp = std::cos(p), sp = std::sin(p);
  const double cy = std::cos(y), sy = std::sin(y);
  const double cr = std::cos(r), sr = std::sin(r);
  const double m[9] = {cy * cr,
                       cy * sr,
                       -sy,
                       sp * sy * cr - cp * sr,
                       cp * cr + sp * sy * sr,
                       sp * cy,
                       cp * sy * cr + sp * sr,
                       cp * sy * sr - sp * cr,
                       cp * cy};
  for (int i = 0; i < 9; ++i) R[i] = static_cast<float>(m[i]);
}

void posePoints(const float* info, const float* R, const float* expr, float* out) {
  const float* canon = info + kInfoCanon;
  const float scale = info[kInfoScale];
  const float tx = info[kInfoTrans], ty = info[kInfoTrans + 1];
  for (int j = 0; j < 21; ++j) {
    const float* c = canon + 3 * j;
    for (int k = 0; k < 3; ++k) {
      const float rot = c[0] * R[k] + c[1] * R[3 + k] + c[2] * R[6 + k];
      out[3 * j + k] = (rot + expr[3 * j + k]) * scale + (k == 0 ? tx : k == 1 ? ty : 0.0f);
    }
  }
}

}  // namespace motion
}  // namespace tq
