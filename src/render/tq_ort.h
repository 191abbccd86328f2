// The process-wide ONNX Runtime environment.
#pragma once

#include <onnxruntime_cxx_api.h>

namespace tq {

// The API version the library asks the runtime for.
constexpr int kOrtApiVersion = 26;

// Binds the C++ wrappers to the runtime's API table. Before the first call,
// ORT_DISABLE_TELEMETRY is set to "1" unless the host set it: the runtime
// writes telemetry files otherwise (and hangs under emulation). Idempotent.
void ortInit();

// The one environment of the process, created on first use after ortInit().
Ort::Env& ortEnv();

}  // namespace tq
