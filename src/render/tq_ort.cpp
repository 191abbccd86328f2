#include "render/tq_ort.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/tq_log.h"
#include "render/gs_wire.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

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

namespace {
Ort::MemoryInfo cpuArenaInfo() { return Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault); }

// ONNX Runtime's own warnings take the library's log route.
void ortLog(void*, OrtLoggingLevel severity, const char*, const char* logid, const char*, const char* message) {
  const int level = severity >= ORT_LOGGING_LEVEL_ERROR ? TQ_LOG_ERROR
                    : severity == ORT_LOGGING_LEVEL_WARNING ? TQ_LOG_WARNING
                                                            : TQ_LOG_INFO;
  logText(level, "[onnxruntime %s] %s\n", logid ? logid : "", message ? message : "");
}
}  // namespace

Ort::Env& ortEnv() {
  ortInit();
  static Ort::Env env = [] {
    Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "tq", ortLog, nullptr);
    e.DisableTelemetryEvents();
    // One CPU arena for every session. Each region is exactly the size asked
    // for (strategy 1), so a trim can hand back all of them, the first included.
    Ort::ArenaCfg cfg(0, /*arena_extend_strategy=*/1, -1, -1);
    e.CreateAndRegisterAllocator(cpuArenaInfo(), cfg);
    return e;
  }();
  return env;
}

namespace {
std::mutex& sessionCreation() {
  static std::mutex m;
  return m;
}

Ort::SessionOptions sharedArenaOptions(const Ort::SessionOptions& options) {
  Ort::SessionOptions o = options.Clone();
  o.AddConfigEntry("session.use_env_allocators", "1");
  return o;
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A one-node graph (Identity over one float) whose runs ask for arena
// shrinkage: a run is the runtime's only way to shrink an arena, and this one
// costs microseconds where a director run costs a frame.
std::vector<uint8_t> trimGraphBytes() {
  const int64_t one = 1;
  std::vector<uint8_t> graph, opset, model;
  hcNode(graph, "Identity", {"x"}, "y", "trim", {});
  gsPutBytes(graph, 2, std::string("tq_arena_trim"));
  gsPutTensorValueInfo(graph, 11, "x", &one, 1);
  gsPutTensorValueInfo(graph, 12, "y", &one, 1);
  gsPutBytes(opset, 1, std::string());
  gsPutVarint(opset, 2 << 3);
  gsPutVarint(opset, 13);
  gsPutVarint(model, 1 << 3);
  gsPutVarint(model, 8);  // IR version
  gsPutBytes(model, 8, opset.data(), opset.size());
  gsPutBytes(model, 7, graph.data(), graph.size());
  return model;
}

// Trims the shared arena once the process has stopped running sessions for
// kArenaIdleMs. Runs in flight are counted so that a long run is never taken
// for idleness.
class ArenaTrimmer {
 public:
  ArenaTrimmer() {
    ortEnv();  // constructed first, so the environment outlives this object
    thread_ = std::thread([this] { loop(); });
  }
  ~ArenaTrimmer() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

  void begin() {
    inFlight_.fetch_add(1, std::memory_order_relaxed);
    touch();
  }
  void end() {
    touch();
    inFlight_.fetch_sub(1, std::memory_order_relaxed);
  }

  void trim() {
    std::lock_guard<std::mutex> lock(trimLock_);
    if (!session_) {
      const std::vector<uint8_t> bytes = trimGraphBytes();
      Ort::SessionOptions o;
      o.SetIntraOpNumThreads(1);
      o.SetInterOpNumThreads(1);
      session_ = makeSession(bytes.data(), bytes.size(), o);
      shrink_ = Ort::RunOptions();
      shrink_.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
      const int64_t shape = 1;
      auto mem = cpuArenaInfo();
      x_ = Ort::Value::CreateTensor<float>(mem, &xv_, 1, &shape, 1);
      y_ = Ort::Value::CreateTensor<float>(mem, &yv_, 1, &shape, 1);
    }
    const char* in = "x";
    const char* out = "y";
    session_->Run(shrink_, &in, &x_, 1, &out, &y_, 1);
#if defined(__GLIBC__)
    // glibc raises its mmap threshold once a large block has been unmapped, so a
    // region freed here after the first trim lands in the heap's free lists;
    // this hands those pages back as well.
    malloc_trim(0);
#endif
  }

 private:
  void touch() {
    lastUse_.store(nowMs(), std::memory_order_relaxed);
    if (!pending_.exchange(true)) {
      std::lock_guard<std::mutex> lock(m_);
      cv_.notify_one();
    }
  }

  void loop() {
    std::unique_lock<std::mutex> lock(m_);
    while (!stop_) {
      if (!pending_.load()) {
        cv_.wait(lock);
        continue;
      }
      const int64_t idle = nowMs() - lastUse_.load(std::memory_order_relaxed);
      if (idle < kArenaIdleMs || inFlight_.load(std::memory_order_relaxed) > 0) {
        cv_.wait_for(lock, std::chrono::milliseconds(idle < kArenaIdleMs ? kArenaIdleMs - idle : kArenaIdleMs));
        continue;
      }
      pending_.store(false);
      lock.unlock();
      try {
        trim();
      } catch (const std::exception& e) {
        static std::once_flag once;
        std::call_once(once, [&] { tq::logText(TQ_LOG_WARNING, "[tq] arena trim failed: %s\n", e.what()); });
      }
      lock.lock();
    }
  }

  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::atomic<bool> pending_{false};
  std::atomic<int64_t> lastUse_{0};
  std::atomic<int> inFlight_{0};
  std::thread thread_;

  std::mutex trimLock_;
  std::unique_ptr<Ort::Session> session_;
  Ort::RunOptions shrink_{nullptr};
  float xv_ = 0, yv_ = 0;
  Ort::Value x_{nullptr}, y_{nullptr};
};

ArenaTrimmer& trimmer() {
  static ArenaTrimmer t;
  return t;
}

struct RunScope {
  ArenaTrimmer& t = trimmer();
  RunScope() { t.begin(); }
  ~RunScope() { t.end(); }
};
}  // namespace

std::unique_ptr<Ort::Session> makeSession(const void* bytes, std::size_t n, const Ort::SessionOptions& options) {
  Ort::Env& env = ortEnv();
  const Ort::SessionOptions o = sharedArenaOptions(options);
  std::lock_guard<std::mutex> lock(sessionCreation());
  return std::make_unique<Ort::Session>(env, bytes, n, o);
}

std::unique_ptr<Ort::Session> makeSession(const std::string& path, const Ort::SessionOptions& options) {
  Ort::Env& env = ortEnv();
  const Ort::SessionOptions o = sharedArenaOptions(options);
  std::lock_guard<std::mutex> lock(sessionCreation());
  return std::make_unique<Ort::Session>(env, path.c_str(), o);
}

const Ort::RunOptions& ortRunOptions() {
  ortInit();
  static const Ort::RunOptions options;
  return options;
}

void ortRun(Ort::Session& session, const Ort::IoBinding& binding) {
  const Ort::RunOptions& options = ortRunOptions();
  RunScope scope;
  session.Run(options, binding);
}

void ortRun(Ort::Session& session, const char* const* inputNames, const Ort::Value* inputs, std::size_t inputCount,
            const char* const* outputNames, Ort::Value* outputs, std::size_t outputCount) {
  const Ort::RunOptions& options = ortRunOptions();
  RunScope scope;
  session.Run(options, inputNames, inputs, inputCount, outputNames, outputs, outputCount);
}

void ortTrimArena() { trimmer().trim(); }

const Ort::MemoryInfo& ortCpuMemory() {
  static const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  return mem;
}

}  // namespace tq
