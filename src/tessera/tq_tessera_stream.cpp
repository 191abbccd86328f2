// StreamBorrow: crop quantisation, the per-frame mask and shift, and the
// write-back of emitted windows.
#include "tessera/tq_tessera_stream.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "base/tq_log.h"
#include "compute/tq_pool.h"

namespace tq {
namespace tessera {
namespace {

constexpr std::size_t kQuantGrain = 4096;
constexpr const char* kLipTemplateName = "lip_template.v1.json";

// The emitted window must be the stamp's, and the stamp's window must lie on
// the crop it is written into.
void checkWriteBack(int32_t canvas, const FrameResult& r, const GeometryStamp& s) {
  const std::size_t want = static_cast<std::size_t>(s.window_w > 0 ? s.window_w : 0) *
                           static_cast<std::size_t>(s.window_h > 0 ? s.window_h : 0) * 3;
  if (r.window.size() != want || want == 0)
    throw std::runtime_error("teeth stream: window " + std::to_string(r.window.size()) +
                             " bytes does not match the stamp window " + std::to_string(s.window_h) + "x" +
                             std::to_string(s.window_w) + " — refusing to write back");
  if (s.window_x0 < 0 || s.window_y0 < 0 || int64_t(s.window_x0) + s.window_w > canvas ||
      int64_t(s.window_y0) + s.window_h > canvas)
    throw std::runtime_error("teeth stream: the stamp window escapes the " + std::to_string(canvas) + "x" +
                             std::to_string(canvas) + " crop — refusing to write back");
}

inline float clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

// The borrowed byte replaces the crop's quantised value; what quantisation
// dropped from the crop is added back. NaN reads as 0.
inline float delta(uint8_t windowByte, float v) {
  if (std::isnan(v)) v = 0.0f;
  const float q = static_cast<float>(quantizeU8(v)) / 255.0f;
  return clamp01(static_cast<float>(windowByte) / 255.0f - q + v);
}

}  // namespace

StreamBorrow::StreamBorrow(BankData bank, HeadWeights weights, ServeConfig config, UnifiedPi pi,
                           const std::string& lipTemplateText)
    : TeethPass(std::move(bank), std::move(weights), std::move(config)), pi_(std::move(pi)) {
  const GeometryStamp& s = geometry();
  if (s.canvas_w != s.canvas_h)
    throw std::runtime_error("teeth stream: non-square compose canvas " + std::to_string(s.canvas_w) + "x" +
                             std::to_string(s.canvas_h) + " — tq_core renders a square crop");
  if (pi_.canvas != s.canvas_w)
    throw std::runtime_error("teeth stream: manifest pi canvas " + std::to_string(pi_.canvas) +
                             " != bank compose canvas " + std::to_string(s.canvas_w) +
                             " — refusing to compose a mouth on a canvas the stamp does not name");
  canvas_ = s.canvas_w;
  cCanon_[0] = canonCentroid()[0];
  cCanon_[1] = canonCentroid()[1];
  if (lipTemplateText.empty()) {
    tq::logText(TQ_LOG_WARNING,
                 "[borrow] !!! delivery mask: ELLIPSE — this bundle carries no %s, so it serves the over-covering "
                 "elliptical mask the contour replaces. BACKFILL IT: models/brevane-2/tools/bake_lip_templates.py\n",
                 kLipTemplateName);
  } else {
    lip_ = std::make_unique<LipContour>(LipContour::fromTemplateJson(lipTemplateText, canvas_));
    tq::logText(TQ_LOG_INFO,
                 "[borrow] delivery mask: LIP CONTOUR (%d verts, feather %.1f px) — the ellipse is not reachable "
                 "in this session\n",
                 lip_->nv, static_cast<double>(lip_->feather_px));
  }
  const std::size_t px = static_cast<std::size_t>(canvas_) * static_cast<std::size_t>(canvas_);
  rgb_.assign(px * 3, 0);
  mask_.assign(px, 0);
}

bool StreamBorrow::push(const float* cropPlanes, const float* kp, FrameResult& result) {
  // One pointer captured: the body fits std::function's inline storage, no allocation per frame.
  struct Job {
    const float* planes;
    uint8_t* rgb;
    std::size_t px;
  } job{cropPlanes, rgb_.data(), mask_.size()};
  pool::parallelRange(job.px, kQuantGrain, [&job](std::size_t b, std::size_t e) {
    for (int c = 0; c < 3; ++c) {
      const float* plane = job.planes + c * job.px;
      for (std::size_t i = b; i < e; ++i) job.rgb[i * 3 + c] = quantizeU8(plane[i]);
    }
  });
  return pushSynth(kp, result);
}

bool StreamBorrow::pushRgba(const uint8_t* rgba, const float* kp, FrameResult& result) {
  const std::size_t px = mask_.size();
  for (std::size_t i = 0; i < px; ++i) std::memcpy(&rgb_[i * 3], rgba + i * 4, 3);
  return pushSynth(kp, result);
}

bool StreamBorrow::pushSynth(const float* kp, FrameResult& result) {
  int32_t shift[2] = {0, 0};
  const bool masked = lip_ ? lip_->deliveredU8AndShift(kp, pi_, cCanon_, mask_.data(), shift[0], shift[1])
                           : pi_.piU8AndShift(kp, cCanon_, mask_.data(), shift[0], shift[1]);
  const int32_t index = frameCounter_;
  // The counter wraps instead of overflowing; the pass only compares neighbours.
  frameCounter_ = frameCounter_ == std::numeric_limits<int32_t>::max() ? 0 : frameCounter_ + 1;
  return TeethPass::push(index, rgb_.data(), mask_.data(), masked ? shift : nullptr, result);
}

void StreamBorrow::writeWindowDelta(float* cropPlanes, int32_t canvas, const FrameResult& result,
                                    const GeometryStamp& s) {
  if (result.refused) return;
  checkWriteBack(canvas, result, s);
  const std::size_t px = static_cast<std::size_t>(canvas) * static_cast<std::size_t>(canvas);
  const uint8_t* win = result.window.data();
  for (int c = 0; c < 3; ++c)
    for (int32_t r = 0; r < s.window_h; ++r) {
      float* row = cropPlanes + c * px + static_cast<std::size_t>(s.window_y0 + r) * canvas + s.window_x0;
      const uint8_t* wrow = win + static_cast<std::size_t>(r) * s.window_w * 3 + c;
      for (int32_t x = 0; x < s.window_w; ++x) row[x] = delta(wrow[x * 3], row[x]);
    }
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* rgba, int32_t canvas, const FrameResult& result,
                                        const GeometryStamp& s) {
  if (result.refused) return;
  checkWriteBack(canvas, result, s);
  const uint8_t* win = result.window.data();
  for (int32_t r = 0; r < s.window_h; ++r) {
    uint8_t* row = rgba + (static_cast<std::size_t>(s.window_y0 + r) * canvas + s.window_x0) * 4;
    const uint8_t* wrow = win + static_cast<std::size_t>(r) * s.window_w * 3;
    for (int32_t x = 0; x < s.window_w; ++x)
      for (int c = 0; c < 3; ++c) {
        const float v = delta(wrow[x * 3 + c], static_cast<float>(row[x * 4 + c]) / 255.0f);
        row[x * 4 + c] = v >= 1.0f ? 255 : static_cast<uint8_t>(std::nearbyint(v * 255.0f));
      }
  }
}

bool StreamBorrow::hostSplit(double*) const { return false; }

}  // namespace tessera
}  // namespace tq
