#include "audio/tq_a2x_w2v.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "audio/tq_a2x_ort.h"
#include "audio/tq_audio_window.h"
#include "base/tq_log.h"
#include "bundle/tq_bundle.h"
#include "compute/tq_env.h"
#include "compute/tq_pool.h"

namespace tq {
namespace a2x {
namespace {

// Kept for the life of the process (never freed: the sessions must outlive every
// handle, and destroying them at exit would race the runtime's own teardown).
struct Shared {
  std::mutex mu;
  std::unique_ptr<Ort::Session> longSession;
  std::string longPath;
  std::unique_ptr<Ort::Session> trunk, head;
  std::string trunkOutput;
  std::atomic<int> lt{0};
  bool tried = false;
  std::mutex silenceMu;
  std::vector<float> silence;
};

Shared& shared() {
  static Shared* s = new Shared;
  return *s;
}

long long fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string dirOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

int sessionThreads(int threads) { return threads < 1 ? pool::threads() : threads; }

}  // namespace

Ort::Session& sharedLong(const std::string& path, int threads) {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.longSession) return *s.longSession;
  Ort::SessionOptions o = graphOptions(sessionThreads(threads));
  offerCuda(o, "w2v");
  s.longSession = openGraph(path, o);
  s.longPath = path;
  return *s.longSession;
}

bool loadShortPair(const std::string& w2vPath, int threads, ShortPair* out) {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mu);
  if (!(s.trunk && s.head)) {
    if (s.tried) return false;
    s.tried = true;
    std::string trunkPath, headPath;
    if (env::nonEmpty("TQ_A2X_W2V_WIN_ONNX") && env::nonEmpty("TQ_A2X_W2V_HEAD_ONNX")) {
      trunkPath = env::text("TQ_A2X_W2V_WIN_ONNX");
      headPath = env::text("TQ_A2X_W2V_HEAD_ONNX");
    } else {
      const std::string dir = dirOf(w2vPath);
      const char* pairs[2][2] = {
          {"audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"},
          {"w2v_trunk32.onnx", "w2v_head32.onnx"}};
      for (const auto& p : pairs) {
        const std::string t = dir + "/" + p[0], h = dir + "/" + p[1];
        if (isReadable(t) && isReadable(h)) {
          trunkPath = t;
          headPath = h;
          break;
        }
      }
      if (trunkPath.empty()) {
        tq::logText(TQ_LOG_WARNING,
                     "[tq_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                     "TQ_A2X_W2V_WIN_ONNX/TQ_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX "
                     "(%s) as audio_encoder_fp16_window_{trunk,head}.onnx (legacy "
                     "w2v_trunk32.onnx/w2v_head32.onnx). Serving the LEGACY 8s window — same reference "
                     "quality, 2.8-3.9x the audio hop cost. Ship the pair beside the encoder "
                     "(tools/export_w2v_window.py).\n",
                     w2vPath.c_str());
        return false;
      }
    }
    try {
      Ort::SessionOptions o = graphOptions(sessionThreads(threads));
      offerCuda(o, "w2v");
      s.trunk = openGraph(trunkPath, o);
      s.head = openGraph(headPath, o);
      Ort::AllocatorWithDefaultOptions alloc;
      s.trunkOutput = s.trunk->GetOutputNameAllocated(0, alloc).get();
      const auto shape = s.trunk->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
      const int lt = shape.size() == 3 && shape[2] > 0 && shape[2] < (1 << 24) ? static_cast<int>(shape[2]) : 0;
      s.lt.store(lt);
      const std::string ltText = lt > 0 ? std::to_string(lt) : std::string("from-first-run");
      tq::logText(TQ_LOG_INFO, "[tq_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)\n",
                   ltText.c_str(), trunkPath.c_str(), fileSize(trunkPath), headPath.c_str(),
                   fileSize(headPath));
    } catch (const std::exception& e) {
      tq::logText(TQ_LOG_WARNING, "[tq_a2x] short-window w2v load FAILED (%s) — legacy 8s path\n", e.what());
      s.trunk.reset();
      s.head.reset();
      return false;
    }
  }
  out->trunk = s.trunk.get();
  out->head = s.head.get();
  out->trunkOutput = s.trunkOutput.c_str();
  return true;
}

int trunkSteps() { return shared().lt.load(); }

void noteTrunkSteps(int lt) {
  int expected = 0;
  shared().lt.compare_exchange_strong(expected, lt);
}

Ort::Value runLong(Ort::Session& s, float* window) {
  const int64_t inShape[2] = {1, kLongSamples};
  Ort::Value in = Ort::Value::CreateTensor<float>(ortCpuMemory(), window, kLongSamples, inShape, 2);
  const char* inName = "input_values";
  const char* outName = "audio_emb";
  auto res = runGraph(s, &inName, &in, 1, &outName, 1);
  auto info = res[0].GetTensorTypeAndShapeInfo();
  const std::size_t need = static_cast<std::size_t>(kEmbLayers) * kLongFrames * kEmbWidth;
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || info.GetElementCount() < need)
    throw std::runtime_error("w2v: audio_emb holds " + std::to_string(info.GetElementCount()) +
                             " values, need 12 x 200 x 768 float");
  return std::move(res[0]);
}

const std::vector<float>& silenceFeatures(Ort::Session& session) {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.silenceMu);
  if (!s.silence.empty()) return s.silence;
  std::vector<float> window(kLongSamples, 0.0f);
  normaliseAudioWindow(window.data(), window.size());
  Ort::Value out = runLong(session, window.data());
  const float* emb = out.GetTensorData<float>();
  std::vector<float> feat(static_cast<std::size_t>(kFeat) * kLongFrames);
  for (int f = 0; f < kLongFrames; ++f)
    for (int l = 0; l < kEmbLayers; ++l)
      std::memcpy(&feat[(static_cast<std::size_t>(f) * kEmbLayers + l) * kEmbWidth],
                  &emb[(static_cast<std::size_t>(l) * kLongFrames + f) * kEmbWidth], kEmbWidth * sizeof(float));
  roundThroughHalf(feat.data(), feat.size());
  s.silence.swap(feat);
  return s.silence;
}

}  // namespace a2x
}  // namespace tq
