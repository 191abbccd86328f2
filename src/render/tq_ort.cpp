#include "render/tq_ort.h"

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>

namespace tq {

void ortInit() {
  static std::once_flag once;
  static std::string failure;
  std::call_once(once, [] {
    setenv("ORT_DISABLE_TELEMETRY", "1", /*overwrite=*/0);
    const OrtApiBase* base = OrtGetApiBase();
    const OrtApi* api = base ? base->GetApi(kOrtApiVersion) : nullptr;
    if (!api) {
      failure = std::string("ONNX Runtime ") + (base ? base->GetVersionString() : "?") +
                " does not offer API version " + std::to_string(kOrtApiVersion);
      return;
    }
    Ort::InitApi(api);
  });
  if (!failure.empty()) throw std::runtime_error(failure);
}

Ort::Env& ortEnv() {
  ortInit();
  static Ort::Env env = [] {
    Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "tq");
    e.DisableTelemetryEvents();
    return e;
  }();
  return env;
}

namespace {
std::mutex& sessionCreation() {
  static std::mutex m;
  return m;
}
}  // namespace

std::unique_ptr<Ort::Session> makeSession(const void* bytes, std::size_t n, const Ort::SessionOptions& options) {
  Ort::Env& env = ortEnv();
  std::lock_guard<std::mutex> lock(sessionCreation());
  return std::make_unique<Ort::Session>(env, bytes, n, options);
}

std::unique_ptr<Ort::Session> makeSession(const std::string& path, const Ort::SessionOptions& options) {
  Ort::Env& env = ortEnv();
  std::lock_guard<std::mutex> lock(sessionCreation());
  return std::make_unique<Ort::Session>(env, path.c_str(), options);
}

}  // namespace tq
