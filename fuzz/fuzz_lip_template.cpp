// The lip template JSON, read for a small canvas, then drawn once from
// keypoints spread over the canvas (a template whose lip rows or map reach
// past the 21 keypoint rows must be refused before this point).
#include <cmath>
#include <exception>
#include <string>
#include <vector>

#include "tessera/tq_lip_contour.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  constexpr int32_t kCanvas = 64;
  try {
    tq::tessera::LipContour c = tq::tessera::LipContour::fromTemplateJson(text, kCanvas);
    std::vector<float> kp(63);
    for (int i = 0; i < 63; ++i) kp[i] = 0.4f * std::sin(0.7f * static_cast<float>(i));
    std::vector<float> field(static_cast<std::size_t>(kCanvas) * kCanvas);
    c.contourF32Canvas(kp.data(), field.data());
  } catch (const std::exception&) {
  }
  return 0;
}
