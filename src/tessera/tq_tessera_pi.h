// Compose alpha ("pi") of the mouth, recomputed on the host from the frame's
// keypoints and the geometry the bundle was baked with.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tq {
namespace tessera {

// Pixel bounds; x1 and y1 are exclusive.
struct Box {
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
};

// An ellipse in normalised canvas units; r256 = 256 * sqrt(rx * ry).
struct EllParams {
  float cx = 0, cy = 0, rx = 0, ry = 0, r256 = 0;
};

// Intersection of two boxes (empty when they do not overlap).
Box intersect(const Box& a, const Box& b);
// The box limited to a canvas x canvas area.
Box clampToCanvas(const Box& b, int32_t canvas);

// Quantisation of a compose value to 8 bits: clamp to 0..1, times 255, rounded
// half to even; NaN and values <= 0 give 0.
inline uint8_t quantizeU8(float p) {
  const float c = p < 1.0f ? p : 1.0f;
  const float q = p > 0.0f ? c * 255.0f : 0.0f;
  // Adding and removing 2^23 rounds a value in 0..255 half to even.
  return static_cast<uint8_t>(static_cast<int>((q + 8388608.0f) - 8388608.0f));
}

// Keypoint rows per frame and floats per frame.
constexpr int kPiKpRows = 21;
constexpr int kPiKpStride = 63;

class UnifiedPi {
 public:
  int32_t canvas = 0;
  std::string mode;
  bool corner_recovery = false;
  float prop_gate_scale = 1.0f;
  std::vector<int32_t> lip_idx;
  std::array<float, 3> lip_geom_params{{0.0f, 0.0f, 0.0f}};  // pad_x, pad_y, down
  std::vector<float> gx, gy;

  static UnifiedPi fromManifestJson(const std::string& text, int32_t canvas);
  // Picks the corpus geometry whose canonical centroid over xsTarget matches
  // cCanon; why (optional) receives the ranking text.
  static UnifiedPi corpusFromManifestJson(const std::string& text, int32_t canvas, const float* xsTarget,
                                          int64_t nFrames, const double* cCanon, std::string* why);

  // Fills gx and gy for the current canvas.
  void fillGrid();

  EllParams gateParams(const float* kp, float* gateOut) const;
  EllParams lipParams(const float* kp) const;
  void ellMask(const float* kp, float padX, float padY, float minRx, float minRy, float scale, float dy,
               float* out) const;
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;
  Box ellBox(const EllParams& e) const;
  Box supportBox(const float* kp) const;

  void piU8(const float* kp, uint8_t* out) const;
  void piU8Boxed(const float* kp, uint8_t* out) const;
  void piU8ShrunkBy(const float* kp, const float* contour, const Box& box, uint8_t* out) const;
  bool piU8Centroid(const uint8_t* pi, double& cx, double& cy) const;
  bool piU8Centroid(const uint8_t* pi, const Box& box, double& cx, double& cy) const;
  bool piU8AndShift(const float* kp, const double* cCanon, uint8_t* out, int32_t& shiftY, int32_t& shiftX) const;
  void canonicalCentroid(const float* kp, int64_t nFrames, double& cx, double& cy) const;

 private:
  struct LipStats {
    float mx, my, ax, ay;
  };
  LipStats lipStats(const float* kp) const;
  float cornerScale(const float* kp, const LipStats& st) const;
  float gateStrength(const LipStats& st) const;
  void piU8Full(const float* kp, uint8_t* out, float* lipBuf, float* gateBuf) const;
  std::size_t pixels() const { return static_cast<std::size_t>(canvas) * static_cast<std::size_t>(canvas); }
};

}  // namespace tessera
}  // namespace tq
