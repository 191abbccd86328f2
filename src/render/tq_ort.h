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
// at once ("the domain is already exist"). Every session allocates its CPU
// tensors from the environment's one shared arena (see ortRun).
std::unique_ptr<Ort::Session> makeSession(const void* bytes, std::size_t n, const Ort::SessionOptions& options);
std::unique_ptr<Ort::Session> makeSession(const std::string& path, const Ort::SessionOptions& options);

// The CPU memory description every tensor over caller memory is made with.
const Ort::MemoryInfo& ortCpuMemory();

// The memory discipline of every per-frame run.
//
// Handing the intermediate tensors' memory back to the system after each run
// can cost more than the run itself: the next run gets fresh pages
// from the kernel, one zero-filled page fault per 4 KiB of working set. So runs
// keep the shared arena as it is, and the arena is trimmed instead once no
// session of the process has run for kArenaIdleMs: memory is returned when the
// process goes idle, not between the frames of a stream. With fixed shapes the
// arena stops growing after the first runs.
constexpr int kArenaIdleMs = 1000;

// Run options for per-frame runs (no arena shrinkage). Shared; read-only.
const Ort::RunOptions& ortRunOptions();
// Run with those options, and tell the idle trimmer that the arena is in use.
// A session run any other way is invisible to the trimmer, which may then hand
// the arena back between its runs; and a run that asks for shrinkage itself
// empties the shared arena under every other session.
void ortRun(Ort::Session& session, const Ort::IoBinding& binding);
void ortRun(Ort::Session& session, const char* const* inputNames, const Ort::Value* inputs, std::size_t inputCount,
            const char* const* outputNames, Ort::Value* outputs, std::size_t outputCount);
// Returns every region of the shared arena that holds no live tensor to the
// system now. Thread-safe; sessions running meanwhile keep their tensors.
void ortTrimArena();

}  // namespace tq
