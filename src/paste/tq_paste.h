// Paste compositor: sharpens a rendered face crop and blends it into a full
// driver frame through the frame's affine transform and a feathered mask.
//
// The crop is side x side planar float RGB; the frame is interleaved 8-bit RGB
// (W * 3 bytes per row). The crop is sharpened once per call (separable Gaussian
// unsharp mask, reflect-101 borders), then every frame pixel of the paste
// rectangle is pulled back into the crop in Q10 fixed point (1024 units per crop
// pixel, 32 phases per pixel) and resampled with 32-phase tables: Lanczos-8 by
// default, bicubic or bilinear on request (TQ_PASTE_FAST=1 or 2). The mask is
// resampled bilinearly and weights the blend.
//
// One object per render context; not reentrant (callers serialise calls on one
// object). All scratch is allocated in the constructor, except the per-column
// tables, which grow when a wider paste rectangle than any before appears.
#pragma once

#include <cstdint>
#include <vector>

#include "bundle/tq_bundle.h"

namespace tq {

class Paste {
 public:
  // Takes ownership of the mask (side * side bytes, row-major, 0 transparent,
  // 255 opaque). Throws std::runtime_error "paste: mask size" when the mask does
  // not hold side * side bytes and "paste: ksize must be odd" for an even ksize;
  // also refuses a side below 1, a ksize below 1 or too wide for the crop's
  // reflect padding (ksize / 2 must stay below side), and a sigma that is not
  // positive and finite or an amount that is not finite. Reads TQ_PASTE_FAST and
  // TQ_PASTE_KSIZE once, here.
  Paste(std::vector<uint8_t> mask, int side, const Unsharp& u);

  // Sharpens crop (three planes of side * side floats, R, G, B, each multiplied
  // by scale) and blends it into frame (W x H interleaved RGB) in place. M is
  // (a, b, tx, c, d, ty): crop pixel (u, v) lands on frame pixel
  // (a u + b v + tx, c u + d v + ty). A singular or non-finite transform, one
  // whose inverse does not fit the fixed-point range over the paste rectangle,
  // and a rectangle wholly outside the frame leave the frame untouched. Throws
  // "paste: side > 1024" for crops wider than the vertical pass supports.
  void composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H);

  // The stages of composite, public for tests and tools.
  // planes[c][i] = crop[c * side * side + i] * scale.
  void fillPlanes(const float* crop, float scale);
  // Unsharp mask of one side x side plane in place, clamped to 0..255.
  void unsharpPlane(std::vector<float>& plane);
  // Resamples the sharpened planes into frame rows y0..y1, columns x0..x1
  // (inclusive). colU / colV must hold the per-column terms of the current
  // transform; (ia, ib, ic, id) are its per-row terms.
  void compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double ia, double ib,
                     double ic, double id);

  int side;
  int ksize;    // Gaussian taps in use
  int padded;   // side + ksize - 1
  float amount;
  uint8_t mode;  // 0 Lanczos-8, 1 bicubic, 2 bilinear
  std::vector<uint8_t> mask;
  std::vector<float> gauss;     // ksize normalised weights
  std::vector<float> lanczos;   // 32 phases x 8 taps
  std::vector<float> bilinear;  // 32 phases x 2 weights
  std::vector<float> bicubic;   // 32 phases x 4 weights
  std::vector<float> planes[3];
  std::vector<float> pad;   // padded x padded
  std::vector<float> blur;  // padded x padded
  std::vector<float> rgbx;  // side x side x (R, G, B, 0)
  std::vector<int> colU, colV;
};

}  // namespace tq
