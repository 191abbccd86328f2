// The streaming encoder (banded attention over a chunk plus its context) and the
// autoregressive decoder of the engine.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "audio/tq_a2x_engine.h"
#include "audio/tq_a2x_ort.h"
#include "base/tq_log.h"

namespace tq {

using namespace a2x;

namespace {

constexpr int64_t kStreamChunk = 64;
// Offline runs take longer chunks; the banded mask keeps every output the same,
// and the mask stays small however long the clip.
constexpr int64_t kOfflineChunk = 1024;

}  // namespace

void A2x::encode(Stream& s, int64_t upTo, int64_t audioFrames, bool offline) {
  const int64_t chunk = offline ? kOfflineChunk : kStreamChunk;
  while (s.encoded < upTo) {
    const int64_t first = s.encoded;
    int64_t e = std::min(first + chunk, upTo);
    const int64_t c0 = std::max<int64_t>(first - L_, 0);
    int64_t c1 = std::min(e + R_, audioFrames);
    if (!offline && first < P_) {
      e = std::min(e, P_);
      c1 = std::min(c1, P_);
    }
    if (s.ctx.end() < e) s.ctx.resizeTo(e);
    if (width_ && s.wn.end() < e) s.wn.resizeTo(e);
    encodeRange(s.feat.row(c0), c0, c1, first, e, s.ctx.row(first), width_ ? s.wn.row(first) : nullptr);
    s.encoded = e;
  }
}

void A2x::encodeRange(const float* feat, int64_t c0, int64_t c1, int64_t s, int64_t e, float* ctxOut,
                      float* wnOut) {
  const int64_t T = c1 - c0;
  const std::size_t h = static_cast<std::size_t>(h_);
  posBuf_.resize(static_cast<std::size_t>(T) * h);
  const int64_t half = P_ / 2, span = P_ - half;
  for (int64_t f = c0; f < c1; ++f) {
    const int64_t r = f < P_ ? f : (f - P_) % span + half;
    std::memcpy(&posBuf_[static_cast<std::size_t>(f - c0) * h], &pos_[static_cast<std::size_t>(r) * h],
                h * sizeof(float));
  }
  attnBuf_.resize(static_cast<std::size_t>(T) * static_cast<std::size_t>(T));
  const float ninf = -std::numeric_limits<float>::infinity();
  for (int64_t i = 0; i < T; ++i)
    for (int64_t j = 0; j < T; ++j)
      attnBuf_[static_cast<std::size_t>(i * T + j)] = (j >= i - left_ && j <= i + window_) ? 0.0f : ninf;

  const int64_t featShape[4] = {1, T, kEmbLayers, kEmbWidth};
  const int64_t posShape[3] = {1, T, static_cast<int64_t>(h)};
  const int64_t attnShape[4] = {1, 1, T, T};
  Ort::Value in[3] = {
      Ort::Value::CreateTensor<float>(ortCpuMemory(), const_cast<float*>(feat),
                                      static_cast<std::size_t>(T) * kFeat, featShape, 4),
      Ort::Value::CreateTensor<float>(ortCpuMemory(), posBuf_.data(), posBuf_.size(), posShape, 3),
      Ort::Value::CreateTensor<float>(ortCpuMemory(), attnBuf_.data(), attnBuf_.size(), attnShape, 4)};
  const char* inNames[3] = {"feat", "pos_window", "attn"};
  const char* outNames[2] = {encOut0_.c_str(), encOut1_.c_str()};
  auto out = runGraph(*enc_, inNames, in, 3, outNames, width_ ? 2 : 1);

  const std::size_t rows = static_cast<std::size_t>(e - s), skip = static_cast<std::size_t>(s - c0);
  auto info = out[0].GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT ||
      info.GetElementCount() != static_cast<std::size_t>(T) * h)
    throw std::runtime_error("encoder output " + encOut0_ + " holds " + std::to_string(info.GetElementCount()) +
                             " values, need " + std::to_string(T) + " x " + std::to_string(h) + " float");
  std::memcpy(ctxOut, out[0].GetTensorData<float>() + skip * h, rows * h * sizeof(float));
  if (wnOut) {
    auto wi = out[1].GetTensorTypeAndShapeInfo();
    const std::size_t count = wi.GetElementCount();
    if (wi.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || count == 0 ||
        count % static_cast<std::size_t>(T) != 0)
      throw std::runtime_error("encoder output " + encOut1_ + " holds " + std::to_string(count) +
                               " values, not a whole number per frame of " + std::to_string(T));
    const std::size_t per = count / static_cast<std::size_t>(T);
    const float* w = out[1].GetTensorData<float>();
    for (std::size_t r = 0; r < rows; ++r) wnOut[r] = w[(skip + r) * per];
  }
}

// Decoder inputs and, when the graph declares fixed output shapes, outputs are
// tensors over the engine's own buffers: a decoder step allocates nothing itself.
void A2x::bindDecoder() {
  const std::size_t h = static_cast<std::size_t>(h_);
  decCtx_.assign(h, 0.0f);
  decPrev_.assign(kKp, 0.0f);
  decHidden_.assign(h, 0.0f);
  decM_.assign(kKp, 0.0f);
  decH_.assign(h, 0.0f);
  const int64_t ctxShape[2] = {1, static_cast<int64_t>(h)};
  const int64_t prevShape[2] = {1, kKp};
  const int64_t hShape[3] = {1, 1, static_cast<int64_t>(h)};
  decIn_.clear();
  decIn_.push_back(Ort::Value::CreateTensor<float>(ortCpuMemory(), decCtx_.data(), h, ctxShape, 2));
  decIn_.push_back(Ort::Value::CreateTensor<float>(ortCpuMemory(), decPrev_.data(), kKp, prevShape, 2));
  decIn_.push_back(Ort::Value::CreateTensor<float>(ortCpuMemory(), decHidden_.data(), h, hShape, 3));

  decBound_ = false;
  decOut_.clear();
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<int64_t> mShape, hOutShape;
  for (std::size_t i = 0; i < dec_->GetOutputCount(); ++i) {
    const std::string name = dec_->GetOutputNameAllocated(i, alloc).get();
    auto info = dec_->GetOutputTypeInfo(i).GetTensorTypeAndShapeInfo();
    if (name == "m") mShape = info.GetShape();
    if (name == "h_out") hOutShape = info.GetShape();
  }
  auto fixed = [](const std::vector<int64_t>& shape, std::size_t count) {
    if (shape.empty()) return false;
    std::size_t n = 1;
    for (int64_t d : shape) {
      if (d <= 0) return false;
      n *= static_cast<std::size_t>(d);
    }
    return n == count;
  };
  if (fixed(mShape, kKp) && fixed(hOutShape, h)) {
    decOut_.push_back(Ort::Value::CreateTensor<float>(ortCpuMemory(), decM_.data(), kKp, mShape.data(), mShape.size()));
    decOut_.push_back(
        Ort::Value::CreateTensor<float>(ortCpuMemory(), decH_.data(), h, hOutShape.data(), hOutShape.size()));
    decBound_ = true;
  }
}

void A2x::decodeStep(const float* ctx, std::vector<float>& prev, std::vector<float>& hidden, float* m) {
  const std::size_t h = static_cast<std::size_t>(h_);
  std::memcpy(decCtx_.data(), ctx, h * sizeof(float));
  std::memcpy(decPrev_.data(), prev.data(), kKp * sizeof(float));
  std::memcpy(decHidden_.data(), hidden.data(), h * sizeof(float));
  static const char* inNames[3] = {"ctx_t", "prev", "h"};
  static const char* outNames[2] = {"m", "h_out"};
  if (decBound_) {
    ortRun(*dec_, inNames, decIn_.data(), 3, outNames, decOut_.data(), 2);
  } else {
    auto out = runGraph(*dec_, inNames, decIn_.data(), 3, outNames, 2);
    const std::size_t nm = out[0].GetTensorTypeAndShapeInfo().GetElementCount();
    const std::size_t nh = out[1].GetTensorTypeAndShapeInfo().GetElementCount();
    if (nm != static_cast<std::size_t>(kKp) || nh != h)
      throw std::runtime_error("decoder outputs hold " + std::to_string(nm) + " and " + std::to_string(nh) +
                               " values, need 63 and " + std::to_string(h));
    std::memcpy(decM_.data(), out[0].GetTensorData<float>(), kKp * sizeof(float));
    std::memcpy(decH_.data(), out[1].GetTensorData<float>(), h * sizeof(float));
  }
  std::memcpy(m, decM_.data(), kKp * sizeof(float));
  std::memcpy(prev.data(), decM_.data(), kKp * sizeof(float));
  std::memcpy(hidden.data(), decH_.data(), h * sizeof(float));
}

void A2x::decode(Stream& s, int64_t upTo) {
  float m[kKp];
  while (s.produced < upTo) {
    const int64_t t = s.produced;
    decodeStep(s.ctx.row(t), s.prev, s.hidden, m);
    if (s.delta.end() < t + 1) s.delta.resizeTo(t + 1);
    float* d = s.delta.row(t);
    for (int k = 0; k < kKp; ++k) d[k] = m[k] * std_[k] + mean_[k];
    s.produced = t + 1;
  }
}

void A2x::primeWithSilence(int frames) {
  try {
    const std::vector<float>& silence = silenceFeatures(longSession());
    const std::size_t h = static_cast<std::size_t>(h_);
    std::vector<float> ctx(static_cast<std::size_t>(frames) * h), wn(static_cast<std::size_t>(frames));
    encodeRange(silence.data(), 0, frames, 0, frames, ctx.data(), width_ ? wn.data() : nullptr);
    std::vector<float> prev(kKp, 0.0f), hidden(h, 0.0f);
    float m[kKp];
    for (int t = 0; t < frames; ++t) decodeStep(&ctx[static_cast<std::size_t>(t) * h], prev, hidden, m);
    primedPrev_ = prev;
    primedHidden_ = hidden;
    tq::logText(TQ_LOG_INFO, "[tq_a2x] silence-primed AR state cached (%d frames)\n", frames);
  } catch (const std::exception& e) {
    tq::logText(TQ_LOG_WARNING, "[tq_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
    primedPrev_.clear();
    primedHidden_.clear();
  }
}

}  // namespace tq
