// The process-wide ONNX Runtime environment.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <memory>
#include <string>

namespace tq {

// The API version the library asks the runtime for.
constexpr int kOrtApiVersion = 26;

// Binds the C++ wrappers to the runtime's API table. Before the first call,
// ORT_DISABLE_TELEMETRY is set to "1" unless the host set it: the runtime
// writes telemetry files otherwise (and hangs under emulation). Idempotent.
void ortInit();

// The one environment of the process, created on first use after ortInit().
Ort::Env& ortEnv();

// Sessions of the process's environment. Creation is serialised: ONNX Runtime
// adds a session's custom operator domains to a process-wide schema registry
// with a check-then-insert that fails when two threads register the same domain
// at once ("the domain is already exist").
std::unique_ptr<Ort::Session> makeSession(const void* bytes, std::size_t n, const Ort::SessionOptions& options);
std::unique_ptr<Ort::Session> makeSession(const std::string& path, const Ort::SessionOptions& options);

}  // namespace tq
