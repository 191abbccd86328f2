// Head pose of a source description: angles from 66-bin logits, rotation
// matrices, and keypoints posed from a canonical set.
#pragma once

namespace tq {
namespace motion {

// Softmax expectation of the bin index, as degrees: 3 E[i] - 97.5.
float bin66(const float* logits);

// Row-major 3 x 3 rotation of (pitch, yaw, roll) in degrees; a point p (row
// vector) rotates as p R.
void poseToR(float pitch, float yaw, float roll, float* R);

// Keypoints of one source row posed with rotation R and expression expr:
// out[j] = (canonical[j] R + expr[j]) scale + (tx, ty, 0).
void posePoints(const float* info, const float* R, const float* expr, float* out);

}  // namespace motion
}  // namespace tq
