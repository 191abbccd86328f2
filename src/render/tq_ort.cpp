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

}  // namespace tq
