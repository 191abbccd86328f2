// Session opening for the audio-to-expression graphs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "render/tq_ort.h"

namespace tq {
namespace a2x {

// Opens the graph at path. A level-2 Gelu fusion can produce a float16
// com.microsoft.Gelu that the CPU provider has no kernel for; when opening fails
// that way the options drop to basic optimisation (for every later session made
// with them) and the graph is opened once more. Other failures propagate.
std::unique_ptr<Ort::Session> openGraph(const std::string& path, Ort::SessionOptions& options);

// Offers the CUDA provider to the options of the graphs tagged tag. Only the
// speech encoders ("w2v") take it, and only with TQ_A2X_CUDA=1; a failed append
// is logged and the session stays on the CPU.
void offerCuda(Ort::SessionOptions& options, const char* tag);

// Runs session through the library's per-frame run discipline, letting the
// runtime allocate the k outputs.
std::vector<Ort::Value> runGraph(Ort::Session& session, const char* const* inNames, const Ort::Value* in,
                                 std::size_t n, const char* const* outNames, std::size_t k);

// Options as every audio graph uses them: intra-op threads, one inter-op thread,
// no spinning, every graph optimisation.
Ort::SessionOptions graphOptions(int threads);

}  // namespace a2x
}  // namespace tq
