// One pulled frame: the motion frame's lip expression transferred onto the
// driver frame's own description, corrected by the stitching network and
// applied to the driver frame's rest keypoints.
#include <algorithm>
#include <cstring>

#include "audio/tq_motion.h"
#include "audio/tq_motion_pose.h"
#include "audio/tq_motion_seq.h"

namespace tq {
namespace motion {

void MotionEngine::prepareSources() {
  // Every source row's posed keypoints and driving rotation depend on the row alone.
  const std::size_t nt = static_cast<std::size_t>(tables_.meta.nt);
  sourceXs_.assign(nt * kExprDim, 0.0f);
  sourceRd_.assign(nt * 9, 0.0f);
  for (std::size_t d = 0; d < nt; ++d) {
    const float* S = tables_.srcInfo.data() + d * kInfoDim;
    const float pitch = bin66(S + kInfoPitch), yaw = bin66(S + kInfoYaw), roll = bin66(S + kInfoRoll);
    float Rs[9];
    poseToR(pitch, yaw, roll, Rs);
    poseToR(pitch + tables_.meta.deltaPitch, yaw, roll, sourceRd_.data() + 9 * d);
    posePoints(S, Rs, S + kInfoExpr, sourceXs_.data() + kExprDim * d);
  }
}

void MotionEngine::emit(int* idx, float* srcKp, float* drvKp) {
  const int64_t f = pulled_;
  if (finalBuilt_) {
    std::memcpy(motion_, seq_.row(f), sizeof motion_);
  } else {
    const int64_t len = seq_.end();
    smoothFrame(f > 0 ? seq_.row(f - 1) : nullptr, seq_.row(f), f + 1 < len ? seq_.row(f + 1) : nullptr, motion_);
    clampFrame(motion_, tables_.vMinMax.data(), tables_.vMinMax.data() + kMotionDim);
  }

  const int d = d_;
  *idx = d;
  d_ = nextDriverIndex(d_, &step_, nt(), wrap_);

  const float* expr = motion_ + kMotExpr;
  if (!refSet_) {
    std::memcpy(ref_, expr, sizeof ref_);
    refSet_ = true;
  }
  const float* S = tables_.srcInfo.data() + static_cast<std::size_t>(d) * kInfoDim;
  const float* sExpr = S + kInfoExpr;
  for (int k = 0; k < kExprDim; ++k) ed_[k] = lipMask_[k] ? sExpr[k] + (expr[k] - ref_[k]) * exprGain_ : sExpr[k];

  std::memcpy(xs_.data(), sourceXs_.data() + static_cast<std::size_t>(d) * kExprDim, sizeof(float) * kExprDim);
  posePoints(S, sourceRd_.data() + static_cast<std::size_t>(d) * 9, ed_, xd_.data());
  stitcher_->run();

  const float* rest = tables_.xsTarget.data() + static_cast<std::size_t>(d) * kExprDim;
  const float gain = tables_.meta.sBridge;
  std::memcpy(srcKp, rest, sizeof(float) * kExprDim);
  for (int k = 0; k < kExprDim; ++k) drvKp[k] = rest[k] + gain * (stitched_[k] - xs_[k]);
  dump_->append(MotionDump::kXs, srcKp, kExprDim);
  dump_->append(MotionDump::kXd, drvKp, kExprDim);
  dump_->append(MotionDump::kXsla, xs_.data(), kExprDim);
  dump_->append(MotionDump::kXdla, stitched_.data(), kExprDim);
  ++pulled_;
  ++frames_;
}

}  // namespace motion
}  // namespace tq
