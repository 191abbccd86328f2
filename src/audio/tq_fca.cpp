#include "audio/tq_fca.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "audio/tq_audio_window.h"
#include "compute/tq_pool.h"

namespace tq {
namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The float data of a graph output, after checking it holds exactly `want` floats:
// another graph's output would otherwise be read past its end.
const float* checkedOutput(Ort::Value& v, const std::string& graph, const char* name, int64_t want,
                           const char* shape) {
  auto info = v.GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
    throw std::runtime_error(graph + ": output \"" + name + "\" is not float32, required float32 " + shape);
  const int64_t got = static_cast<int64_t>(info.GetElementCount());
  if (got != want)
    throw std::runtime_error(graph + ": output \"" + name + "\" holds " + std::to_string(got) +
                             " values, required " + std::to_string(want) + " " + shape);
  return v.GetTensorData<float>();
}

// The runtime is bound (and its telemetry off) before the first wrapper object.
Ort::SessionOptions sessionOptions(int threads) {
  ortInit();
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads >= 1 ? threads : pool::threads());
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  o.SetLogId("tq_fca");
  return o;
}

}  // namespace

Fca::Fca(const std::string& encoderPath, const std::string& decoderPath, int threads)
    : encoderPath_(encoderPath), options_(sessionOptions(threads)) {
  encoder_ = makeSession(encoderPath, options_);
  decoder_ = makeSession(decoderPath, options_);
  window_.resize(static_cast<std::size_t>(kWindow));
  cond_.resize(static_cast<std::size_t>(kCond));
  for (int k = 0; k < 2; ++k) {
    prev_[k].resize(static_cast<std::size_t>(kKp));
    hidden_[k].resize(static_cast<std::size_t>(kHidden));
  }
  sum_.resize(static_cast<std::size_t>(kWidth));
  layerSum_.resize(static_cast<std::size_t>(kWidth));
}

void Fca::deltas(const float* audio, int64_t n, float* out) {
  const auto t0 = Clock::now();
  split_ = Split{};
  const int64_t frames = framesFor(n);
  if (frames == 0) return;
  feat_.resize(static_cast<std::size_t>(frames * kWidth));  // every row is filled by a window
  encodeWindows(audio, n, frames);
  removeCausalMean(frames);
  decode(frames, out);
  split_.total = since(t0);
}

// Windows start every 100 frames; the first fills its frames from 0, later ones
// from 50 on, and each frame takes the first window that reaches it. A window
// that would fill nothing new is not run.
void Fca::encodeWindows(const float* audio, int64_t n, int64_t frames) {
  static const char* inName[] = {"input_values"};
  static const char* outName[] = {"audio_emb"};
  const int64_t inShape[] = {1, kWindow};
  const std::string graph = "encoder graph " + encoderPath_;
  const int64_t layerStride = kWindowFrames * kWidth;
  int64_t filled = 0;
  for (int64_t w = 0; w < frames; w += kWindowStride) {
    const int64_t from = std::max(w + (w == 0 ? 0 : kLaterFrom), filled);
    const int64_t to = std::min(w + kWindowFrames, frames);
    if (from >= to) continue;
    copyAudioWindow(audio, 0, n, w * kHop, window_.data(), window_.size());
    normaliseAudioWindow(window_.data(), window_.size());
    Ort::Value in = Ort::Value::CreateTensor<float>(ortCpuMemory(), window_.data(), window_.size(), inShape, 2);
    Ort::Value emb{nullptr};
    const auto t0 = Clock::now();
    ortRun(*encoder_, inName, &in, 1, outName, &emb, 1);
    split_.encoder += since(t0);
    const float* e = checkedOutput(emb, graph, "audio_emb", kLayers * layerStride, "(12 x 200 x 768)");
    double* acc = layerSum_.data();
    for (int64_t f = from; f < to; ++f) {
      std::fill(layerSum_.begin(), layerSum_.end(), 0.0);
      for (int64_t l = 4; l <= 9; ++l) {
        const float* row = e + l * layerStride + (f - w) * kWidth;
        for (int64_t c = 0; c < kWidth; ++c) acc[c] += row[c];
      }
      float* dst = &feat_[static_cast<std::size_t>(f * kWidth)];
      for (int64_t c = 0; c < kWidth; ++c) dst[c] = static_cast<float>(acc[c] / 6.0);
    }
    filled = to;
  }
}

// Subtracts from every frame the running mean of the voiced frames so far. A
// frame is voiced when its energy exceeds the 20th percentile (linear
// interpolation) of the energies up to it; the first 7 frames always are.
// The sorted energies grow by one insertion per frame.
void Fca::removeCausalMean(int64_t frames) {
  energy_.resize(static_cast<std::size_t>(frames));
  sorted_.clear();
  sorted_.reserve(static_cast<std::size_t>(frames));
  std::fill(sum_.begin(), sum_.end(), 0.0);
  int64_t count = 0;
  for (int64_t t = 0; t < frames; ++t) {
    float* f = &feat_[static_cast<std::size_t>(t * kWidth)];
    double sq = 0.0;
    for (int64_t c = 0; c < kWidth; ++c) sq += static_cast<double>(f[c]) * f[c];
    const double e = std::sqrt(sq);
    sorted_.insert(std::upper_bound(sorted_.begin(), sorted_.end(), e), e);
    double threshold = 0.0;
    if (t > 6) {
      const double p = 0.2 * static_cast<double>(t);
      const double lo = std::floor(p), hi = std::ceil(p);
      const double a = sorted_[static_cast<std::size_t>(lo)], b = sorted_[static_cast<std::size_t>(hi)];
      threshold = a + (b - a) * (p - lo);
    }
    if (e > threshold) {
      for (int64_t c = 0; c < kWidth; ++c) sum_[static_cast<std::size_t>(c)] += f[c];
      ++count;
    }
    const double inv = 1.0 / static_cast<double>(std::max<int64_t>(count, 1));
    for (int64_t c = 0; c < kWidth; ++c) f[c] = static_cast<float>(f[c] - sum_[static_cast<std::size_t>(c)] * inv);
  }
}

// The recurrent decoder, one frame at a time from zero state, each frame seeing
// its neighbours at -1..+5 (clamped to the clip). The first frame lets the
// runtime allocate its outputs, so that a graph with other output sizes is
// refused by name before anything is read; later frames write straight into
// the state set the next frame reads, bound with the shapes the graph gave
// (a decoder may declare "m" as [63] rather than [1, 63]).
void Fca::decode(int64_t frames, float* out) {
  static const char* inNames[] = {"cond", "prev", "h"};
  static const char* outNames[] = {"m", "hn"};
  const int64_t condShape[] = {1, kCond}, prevShape[] = {1, kKp}, hShape[] = {1, 1, kHidden};
  const std::string graph = "decoder graph fca_stream.onnx";
  const auto& mem = ortCpuMemory();
  const auto tensor = [&](std::vector<float>& v, const int64_t* shape, std::size_t rank) {
    return Ort::Value::CreateTensor<float>(mem, v.data(), v.size(), shape, rank);
  };
  std::fill(prev_[0].begin(), prev_[0].end(), 0.0f);
  std::fill(hidden_[0].begin(), hidden_[0].end(), 0.0f);
  Ort::Value in[2][3] = {{tensor(cond_, condShape, 2), tensor(prev_[0], prevShape, 2), tensor(hidden_[0], hShape, 3)},
                         {tensor(cond_, condShape, 2), tensor(prev_[1], prevShape, 2), tensor(hidden_[1], hShape, 3)}};
  Ort::Value res[2][2] = {{tensor(prev_[0], prevShape, 2), tensor(hidden_[0], hShape, 3)},
                          {tensor(prev_[1], prevShape, 2), tensor(hidden_[1], hShape, 3)}};
  double spent = 0.0;
  for (int64_t t = 0; t < frames; ++t) {
    for (int k = -kContextBefore; k <= kContextAfter; ++k) {
      const int64_t src = std::min(std::max<int64_t>(t + k, 0), frames - 1);
      std::memcpy(&cond_[static_cast<std::size_t>((k + kContextBefore) * kWidth)],
                  &feat_[static_cast<std::size_t>(src * kWidth)], static_cast<std::size_t>(kWidth) * sizeof(float));
    }
    const int cur = static_cast<int>(t & 1), next = cur ^ 1;
    if (t == 0) {
      Ort::Value first[2] = {Ort::Value{nullptr}, Ort::Value{nullptr}};
      const auto t0 = Clock::now();
      ortRun(*decoder_, inNames, in[cur], 3, outNames, first, 2);
      spent += since(t0);
      const float* m = checkedOutput(first[0], graph, "m", kKp, "(63)");
      const float* hn = checkedOutput(first[1], graph, "hn", kHidden, "(384)");
      const std::vector<int64_t> mShape = first[0].GetTensorTypeAndShapeInfo().GetShape();
      const std::vector<int64_t> hnShape = first[1].GetTensorTypeAndShapeInfo().GetShape();
      for (int k = 0; k < 2; ++k) {
        res[k][0] = tensor(prev_[k], mShape.data(), mShape.size());
        res[k][1] = tensor(hidden_[k], hnShape.data(), hnShape.size());
      }
      std::memcpy(prev_[next].data(), m, static_cast<std::size_t>(kKp) * sizeof(float));
      std::memcpy(hidden_[next].data(), hn, static_cast<std::size_t>(kHidden) * sizeof(float));
    } else {
      const auto t0 = Clock::now();
      ortRun(*decoder_, inNames, in[cur], 3, outNames, res[next], 2);
      spent += since(t0);
    }
    std::memcpy(out + t * kKp, prev_[next].data(), static_cast<std::size_t>(kKp) * sizeof(float));
  }
  split_.decoder = spent;
}

}  // namespace tq
