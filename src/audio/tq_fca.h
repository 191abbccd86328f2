// Offline audio-to-offset engine: one 63-float keypoint offset per video frame of
// a complete clip, from an 8-second speech encoder and a recurrent decoder cell.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "render/tq_ort.h"

namespace tq {

class Fca {
 public:
  static constexpr int64_t kHop = 640;          // samples per video frame
  static constexpr int64_t kWindow = 128000;    // encoder window: 8 s
  static constexpr int64_t kWindowFrames = 200;
  static constexpr int64_t kWindowStride = 100; // frames between encoder windows
  static constexpr int64_t kLaterFrom = 50;     // first frame a later window fills
  static constexpr int64_t kLayers = 12, kWidth = 768, kKp = 63, kHidden = 384;
  static constexpr int kContextBefore = 1, kContextAfter = 5;
  static constexpr int64_t kCond = (kContextBefore + 1 + kContextAfter) * kWidth;  // 5376

  // Time spent in the last deltas() call, in seconds.
  struct Split {
    double encoder = 0, decoder = 0, total = 0;
  };

  // threads < 1: the pool's count.
  Fca(const std::string& encoderPath, const std::string& decoderPath, int threads);

  // Frames of a clip of n samples: ceil(n / 640).
  static int64_t framesFor(int64_t n) { return n > 0 ? (n + kHop - 1) / kHop : 0; }

  // Writes framesFor(n) rows of 63 floats to out. Every call starts from zero
  // decoder state. Throws on a model failure (out may then be partly written).
  void deltas(const float* audio, int64_t n, float* out);

  const Split& lastSplit() const { return split_; }

 private:
  void encodeWindows(const float* audio, int64_t n, int64_t frames);
  void removeCausalMean(int64_t frames);
  void decode(int64_t frames, float* out);

  std::string encoderPath_;
  Ort::SessionOptions options_;
  std::unique_ptr<Ort::Session> encoder_, decoder_;
  Split split_;
  // Per-call scratch, kept between calls.
  std::vector<float> window_, feat_, cond_;
  // Decoder state, two sets: a frame reads one and writes the other.
  std::vector<float> prev_[2], hidden_[2];
  std::vector<double> energy_, sorted_, sum_, layerSum_;
};

}  // namespace tq
