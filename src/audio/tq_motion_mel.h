// Log-mel front end of the motion pipeline: one audio block of 6480 samples
// becomes 80 mel bands x 21 frames.
#pragma once

namespace tq {
namespace motion {

constexpr int kBlockSamples = 6480;  // [640 w - 2000, 640 w + 4480)
constexpr int kBlockLead = 2000;     // samples of the window before the block's first frame
constexpr int kFftSize = 512;
constexpr int kFftBins = 257;
constexpr int kHop = 320;
constexpr int kReflect = 256;
constexpr int kPadded = kBlockSamples + 2 * kReflect;  // 6992

// The analysis window and mel matrix of one motion directory.
class MelFrontEnd {
 public:
  // window: 512 analysis weights; binmat: 257 x 80 (row = FFT bin). Both must
  // outlive the front end.
  MelFrontEnd(const float* window, const float* binmat);
  // samples: 6480 floats; out: 80 x 21, band-major. Scratch is per calling
  // thread, sized once.
  void run(const float* samples, float* out) const;

 private:
  const float* window_;
  const float* binmat_;
  // Per band, the bins [lo, hi) outside which its column is zero: the sum over
  // them is the sum over all bins, term for term.
  int lo_[80], hi_[80];
};

// The calling thread's padded-window buffer (6992 floats); logMel pads in place
// when samples points at its interior (offset 256) of the calling thread.
float* melInputScratch();

}  // namespace motion
}  // namespace tq
