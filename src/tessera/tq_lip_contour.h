// Lip outline polygon deformed per frame from the face keypoints, rasterised
// with a soft outer feather; limits the compose alpha to the real lips.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessera/tq_tessera_pi.h"

namespace tq {
namespace tessera {

class LipContour {
 public:
  int32_t canvas = 0;
  float feather_px = 0.0f;
  int32_t nv = 0;
  std::vector<double> u_canon;   // nv x 2
  std::vector<int32_t> lip_idx;  // anchor keypoint rows
  std::vector<double> W;         // 2*nv x mapCols, empty without a map
  std::vector<double> b;         // 2*nv
  int32_t mapCols = 0;

  static LipContour fromTemplateJson(const std::string& text, int32_t canvas);

  // lipIdx null or nLip 0: anchors on rows 17..20.
  LipContour(int32_t canvas, float feather, const double* uCanon, int32_t nv, const int32_t* lipIdx, int32_t nLip);

  void attachMap(const double* W, const double* b, int32_t rows, int32_t cols, const int32_t* idx, int32_t n);

  // nv (x, y) vertices in pixel units.
  void polygon(const float* kp, double* out) const;
  Box box(const double* poly) const;
  // 8-bit raster of the box: (x1-x0) x (y1-y0) bytes.
  void fillScanline(const double* poly, const Box& box, uint8_t* out);
  // Feathered field into a canvas-sized array, written inside the box only.
  void contourF32(const double* poly, const Box& box, float* out);
  // The whole canvas field: cleared, then the contour of this frame.
  void contourF32Canvas(const float* kp, float* out);
  void deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out);
  bool shrinkU8InPlace(const float* kp, const Box& box, uint8_t* io);
  bool deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* cCanon, uint8_t* out,
                           int32_t& shiftY, int32_t& shiftX);

 private:
  struct Edge {
    int64_t ymin, ymax, x, slope;  // x at ymin and slope in 16.16 fixed point
  };
  // Scratch, sized at construction for the largest box (the canvas).
  std::vector<uint8_t> raster_;
  std::vector<float> dist_;
  std::vector<float> field_;
  std::vector<double> poly_;
  std::vector<int64_t> pts_;
  std::vector<Edge> edges_;
  std::vector<int64_t> cross_;

  void contourOfFrame(const float* kp, Box& box);
};

}  // namespace tessera
}  // namespace tq
