#include "audio/tq_a2x_ort.h"

#include <cstdio>
#include <cstring>
#include <exception>

#include "base/tq_log.h"
#include "compute/tq_env.h"

namespace tq {
namespace a2x {

std::unique_ptr<Ort::Session> openGraph(const std::string& path, Ort::SessionOptions& options) {
  try {
    return makeSession(path, options);
  } catch (const std::exception& e) {
    const char* msg = e.what();
    if (!std::strstr(msg, "Gelu") || !std::strstr(msg, "float16")) throw;
  }
  tq::logText(TQ_LOG_WARNING,
               "[tq_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this "
               "runtime has no CPU kernel for; reopening at ORT_ENABLE_BASIC\n",
               path.c_str());
  options.SetGraphOptimizationLevel(ORT_ENABLE_BASIC);
  return makeSession(path, options);
}

void offerCuda(Ort::SessionOptions& options, const char* tag) {
  if (std::strcmp(tag, "w2v") != 0) return;  // encoder and decoder stay on the CPU
  if (!env::equals("TQ_A2X_CUDA", "1")) return;
  long long mib = 0;
  if (!env::integer("TQ_A2X_CUDA_MEM_MIB", &mib) || mib <= 0) mib = 3072;
  const std::size_t mibs = static_cast<std::size_t>(mib);
  try {
    Ort::CUDAProviderOptions cuda;
    const std::string limit = std::to_string(static_cast<unsigned long long>(mibs) << 20);
    const char* keys[] = {"device_id", "arena_extend_strategy", "gpu_mem_limit",
                          "cudnn_conv_use_max_workspace", "use_tf32"};
    const char* values[] = {"0", "kSameAsRequested", limit.c_str(), "0", "0"};
    Ort::ThrowOnError(Ort::GetApi().UpdateCUDAProviderOptions(cuda, keys, values, 5));
    options.AppendExecutionProvider_CUDA_V2(*cuda);
    tq::logText(TQ_LOG_INFO, "[tq_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)\n", tag, mibs);
  } catch (const std::exception& e) {
    tq::logText(TQ_LOG_WARNING, "[tq_a2x] CUDA EP append failed (%s): %s -- falling back to CPU\n", tag, e.what());
  }
}

Ort::SessionOptions graphOptions(int threads) {
  ortInit();
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetInterOpNumThreads(1);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  return o;
}

std::vector<Ort::Value> runGraph(Ort::Session& session, const char* const* inNames, const Ort::Value* in,
                                 std::size_t n, const char* const* outNames, std::size_t k) {
  std::vector<Ort::Value> out;
  out.reserve(k);
  for (std::size_t i = 0; i < k; ++i) out.emplace_back(nullptr);
  ortRun(session, inNames, in, n, outNames, out.data(), k);
  return out;
}

}  // namespace a2x
}  // namespace tq
