// Feature frontends of the streaming engine: the legacy 8-second window and the
// short-window trunk/head pair.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "audio/tq_a2x_engine.h"
#include "audio/tq_a2x_ort.h"
#include "audio/tq_audio_window.h"
#include "compute/tq_simd.h"

namespace tq {

using namespace a2x;

// Windows of 200 frames every 100 frames; frames from 0 in the first window and
// from 50 in later ones, each frame from the first window that reaches it.
//
// While the stream is open every block is visited in turn, and the pass for block k
// sees exactly the samples that first made the block usable (the 5120 k - 639
// below its end) and fills frames up to 8 k - RC. A frame's features thus depend
// on the audio alone, never on how the pushes fell or when the engine was asked.
// Blocks are visited only as far as the frames asked for need them: a block
// usable while open is visited later (also after finish) with the same samples,
// so stopping early changes no value. After finish, once those blocks are done,
// the remaining frames come from windows over all the audio.
void A2x::fillLong(Stream& s, int64_t need, int64_t usable) {
  win_.resize(kLongSamples);
  auto pass = [&](int64_t horizon, int64_t limit) {
    const int64_t W = s.window;
    copyAudioWindow(s.samples.data.data(), s.samples.base, horizon, W * kHop, win_.data(), kLongSamples);
    normaliseAudioWindow(win_.data(), kLongSamples);
    Ort::Value out = runLong(longSession(), win_.data());
    const float* emb = out.GetTensorData<float>();
    const int64_t from = std::max(s.filled, W + (W == 0 ? 0 : kLongFrames / 4));
    if (s.feat.end() < limit) s.feat.resizeTo(limit);
    for (int64_t f = from; f < limit; ++f) {
      float* row = s.feat.row(f);
      for (int l = 0; l < kEmbLayers; ++l)
        roundThroughHalf(emb + (static_cast<std::size_t>(l) * kLongFrames + (f - W)) * kEmbWidth,
                         row + l * kEmbWidth, kEmbWidth);
    }
    s.filled = std::max(s.filled, limit);
  };
  if (!s.finished) s.openBlocks = (s.samples.end() + kHop - 1) / kBlockSamples;
  while (s.block < s.openBlocks && s.filled < need) {
    const int64_t k = s.block + 1;
    const int64_t limit = std::min(s.window + kLongFrames, k * kBlockFrames - RC_);
    if (limit > s.filled) pass(k * kBlockSamples - (kHop - 1), limit);
    if (limit >= s.window + kLongFrames)
      s.window += kLongFrames / 2;  // this window is done; the next one may take more of block k
    else
      s.block = k;
  }
  if (!s.finished || s.block < s.openBlocks) return;
  while (s.filled < need) {
    pass(usable, s.window + kLongFrames);
    s.window += kLongFrames / 2;
  }
}

// One trunk run per block of 8 frames over the 2 s before sample (W + 8 + RC) x 640;
// each frame samples the trunk where the 8-second window that the legacy path
// takes it from would, and the head turns the block into features.
namespace a2x {

double trunkPosition(int64_t W, int j, int rc) {
  const int64_t f = W + j;
  const int64_t begin = (W + kBlockFrames + rc) * kHop - kShortSamples;
  int64_t local = f, base = 0;
  if (f > kLongFrames - 1) {
    const int64_t k = f / 100 - 1;
    local = f - 100 * k;
    base = 100 * k * kHop;
  }
  return static_cast<double>(base - begin) / 80.0 + static_cast<double>(local) * 8.030150753768844;
}

int maxShortRightContext() {
  // Positions move back 8 steps per frame of right context; past two 8-second
  // windows the pattern repeats every 100 frames.
  double lowest = trunkPosition(0, 0, 0);
  for (int64_t W = 0; W < 2 * kLongFrames + 100; W += kBlockFrames)
    for (int j = 0; j < kBlockFrames; ++j) lowest = std::min(lowest, trunkPosition(W, j, 0));
  return lowest < 0 ? -1 : static_cast<int>(std::floor(lowest / 8.0));
}

}  // namespace a2x

void A2x::fillShort(Stream& s, int64_t need, int64_t usable) {
  win_.resize(kShortSamples);
  headIn_.resize(static_cast<std::size_t>(kBlockFrames) * kTrunkChannels);
  while (s.filled < need) {
    const int64_t W = s.filled;
    const int64_t E = (W + kBlockFrames + RC_) * kHop;
    if (!s.finished && E > usable) break;
    const int64_t begin = E - kShortSamples;
    copyAudioWindow(s.samples.data.data(), s.samples.base, usable, begin, win_.data(), kShortSamples);
    normaliseAudioWindow(win_.data(), kShortSamples);

    const int64_t inShape[2] = {1, kShortSamples};
    Ort::Value in = Ort::Value::CreateTensor<float>(ortCpuMemory(), win_.data(), kShortSamples, inShape, 2);
    const char* inName = "input_values";
    const char* outName = pair_.trunkOutput;
    auto tr = runGraph(*pair_.trunk, &inName, &in, 1, &outName, 1);
    auto info = tr[0].GetTensorTypeAndShapeInfo();
    const auto shape = info.GetShape();
    int lt = trunkSteps();
    if (lt <= 0) {
      if (shape.size() != 3 || shape[2] <= 0) throw std::runtime_error("w2v_win: trunk output is not [1, 640, LT]");
      lt = static_cast<int>(shape[2]);
      noteTrunkSteps(lt);
    }
    if (info.GetElementCount() != static_cast<std::size_t>(kTrunkChannels) * static_cast<std::size_t>(lt))
      throw std::runtime_error("w2v_win: trunk output holds " + std::to_string(info.GetElementCount()) +
                               " values, need 640 x " + std::to_string(lt));
    const bool half = info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16;
    if (!half && info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
      throw std::runtime_error("w2v_win: trunk output is neither float16 nor float");
    const uint16_t* xh = half ? reinterpret_cast<const uint16_t*>(tr[0].GetTensorRawData()) : nullptr;
    const float* xf = half ? nullptr : tr[0].GetTensorData<float>();

    // The two trunk columns a frame samples, gathered and widened in one go.
    uint16_t g0[kTrunkChannels], g1[kTrunkChannels];
    float a0[kTrunkChannels], a1[kTrunkChannels];
    for (int j = 0; j < kBlockFrames; ++j) {
      const double p = trunkPosition(W, j, RC_);
      const double fl = std::floor(p);
      if (fl < 0.0 || fl >= static_cast<double>(lt)) throw std::runtime_error("w2v_win: trunk pos out of range");
      const std::size_t i0 = static_cast<std::size_t>(fl);
      const std::size_t i1 = std::min<std::size_t>(i0 + 1, static_cast<std::size_t>(lt) - 1);
      const std::size_t stride = static_cast<std::size_t>(lt);
      if (half) {
        for (int c = 0; c < kTrunkChannels; ++c) {
          g0[c] = xh[c * stride + i0];
          g1[c] = xh[c * stride + i1];
        }
        simd::f16ToF32(g0, a0, kTrunkChannels);
        simd::f16ToF32(g1, a1, kTrunkChannels);
      } else {
        for (int c = 0; c < kTrunkChannels; ++c) {
          a0[c] = xf[c * stride + i0];
          a1[c] = xf[c * stride + i1];
        }
      }
      const double w = p - fl;
      float* dst = &headIn_[static_cast<std::size_t>(j) * kTrunkChannels];
      for (int c = 0; c < kTrunkChannels; ++c) dst[c] = static_cast<float>((1.0 - w) * a0[c] + w * a1[c]);
    }

    const int64_t headShape[2] = {kBlockFrames, kTrunkChannels};
    Ort::Value hin = Ort::Value::CreateTensor<float>(ortCpuMemory(), headIn_.data(), headIn_.size(), headShape, 2);
    const char* hinName = "x";
    const char* houtName = "emb";
    auto ho = runGraph(*pair_.head, &hinName, &hin, 1, &houtName, 1);
    auto hinfo = ho[0].GetTensorTypeAndShapeInfo();
    const std::size_t want = static_cast<std::size_t>(kBlockFrames) * kFeat;
    if (hinfo.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || hinfo.GetElementCount() != want)
      throw std::runtime_error("w2v_win: head output holds " + std::to_string(hinfo.GetElementCount()) +
                               " values, need float 8 x 9216");
    if (s.feat.end() < W) s.feat.resizeTo(W);  // rows below this block stay zero-filled
    if (s.feat.end() < W + kBlockFrames) s.feat.growTo(W + kBlockFrames);
    roundThroughHalf(ho[0].GetTensorData<float>(), s.feat.row(W), want);
    s.filled = W + kBlockFrames;
    s.window = s.filled;
  }
}

}  // namespace tq
