// The teeth pass fed with rendered face crops: it derives the compose mask and
// shift from the frame's keypoints itself (the lip contour when the bundle has a
// template, else the elliptical pi) and writes the borrowed window back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tessera/tq_lip_contour.h"
#include "tessera/tq_teeth_pass.h"
#include "tessera/tq_tessera_pi.h"

namespace tq {
namespace tessera {

class StreamBorrow : public TeethPass {
 public:
  // Refuses a non-square canvas and a pi on another canvas than the stamp's; an
  // empty lipTemplateText serves the elliptical pi (and says so on stderr).
  StreamBorrow(BankData bank, HeadWeights weights, ServeConfig config, UnifiedPi pi,
               const std::string& lipTemplateText);

  // cropPlanes: R, G, B planes of canvas x canvas floats in 0..1; kp: 21 x 3.
  // True when the previous frame was emitted into result.
  bool push(const float* cropPlanes, const float* kp, FrameResult& result);
  // rgba: canvas x canvas interleaved RGBA8; alpha is ignored.
  bool pushRgba(const uint8_t* rgba, const float* kp, FrameResult& result);
  // The frame already in the RGB8 buffer, with its mask derived from kp.
  bool pushSynth(const float* kp, FrameResult& result);
  using TeethPass::flush;

  // Writes an emitted window into the stamp's window of a canvas x canvas crop,
  // keeping the crop's quantisation residue. A refused result writes nothing.
  static void writeWindowDelta(float* cropPlanes, int32_t canvas, const FrameResult& result,
                               const GeometryStamp& stamp);
  static void writeWindowDeltaRgba(uint8_t* rgba, int32_t canvas, const FrameResult& result,
                                   const GeometryStamp& stamp);

  // No host/device split exists on the CPU: false, nothing written.
  bool hostSplit(double* out) const;
  const char* backend() const { return "cpu"; }

  int32_t canvas() const { return canvas_; }
  const GeometryStamp& stamp() const { return geometry(); }
  bool hasLipContour() const { return lip_ != nullptr; }

 private:
  UnifiedPi pi_;
  std::unique_ptr<LipContour> lip_;
  double cCanon_[2] = {0.0, 0.0};
  int32_t canvas_ = 0;
  int32_t frameCounter_ = 0;
  std::vector<uint8_t> rgb_;   // canvas x canvas x 3
  std::vector<uint8_t> mask_;  // canvas x canvas
};

}  // namespace tessera
}  // namespace tq
