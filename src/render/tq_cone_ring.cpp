#include "render/tq_cone_ring.h"

#include <cstdio>
#include <stdexcept>

#include "base/tq_log.h"
#include "compute/tq_simd.h"
#include "driver/tq_driver.h"
#include "render/tq_ort.h"
#include "render/tq_source_cone.h"

namespace tq {

namespace {

std::string dimsText(const std::vector<int64_t>& d) {
  std::string s = "[";
  for (std::size_t k = 0; k < d.size(); ++k) s += (k ? "," : "") + std::to_string(d[k]);
  return s + "]";
}

// Builds both sessions; a refusal is returned as its reason (empty on success).
std::string splitAndLoad(const std::vector<uint8_t>& model, int crop, const Ort::SessionOptions& directorOptions,
                         ConeHoistPlan& plan) {
  std::string boundary;
  const int found = findSourceConeBoundary(model, boundary);
  if (found != 1) return "expected exactly one Concat consuming P_rgb, found " + std::to_string(found);
  std::vector<uint8_t> prepBytes;
  std::string reason;
  if (!buildSourceConePrep(model, boundary, prepBytes, reason)) return reason;
  try {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(1);
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    so.AddConfigEntry("mlas.disable_kleidiai", "1");
    plan.prep = makeSession(prepBytes.data(), prepBytes.size(), so);

    const std::vector<int64_t> in = plan.prep->GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    if (in.size() != 4 || in[0] != 1) {
      plan.prep.reset();
      return "batch-1 lever; this graph declares batch " + std::to_string(in.empty() ? 0 : in[0]);
    }
    const std::vector<int64_t> out = plan.prep->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    int64_t product = out.size() == 4 ? 1 : 0;
    for (int64_t d : out) product *= d < 0 ? 0 : d;
    if (product == 0) {
      plan.prep.reset();
      return "boundary shape is not static";
    }
    // The ring serves the boundary as [1, C, crop, crop]; any other form would
    // fail every render while the whole graph runs fine.
    if (out[0] != 1 || out[2] != crop || out[3] != crop) {
      plan.prep.reset();
      return "boundary " + dimsText(out) + " is not [1,C," + std::to_string(crop) + "," + std::to_string(crop) +
             "], the form the ring serves";
    }
    std::vector<uint8_t> perFrame;
    if (!buildSourceConePerFrame(model, boundary, out.data(), out.size(), perFrame, reason)) {
      plan.prep.reset();
      return reason;
    }
    plan.director = makeSession(perFrame.data(), perFrame.size(), directorOptions);
    plan.boundary = boundary;
    plan.dims = out;
    plan.count = static_cast<std::size_t>(product);
    return "";
  } catch (const std::exception& e) {
    plan.prep.reset();
    plan.director.reset();
    return e.what();
  }
}

}  // namespace

bool decideSourceConeHoist(const std::vector<uint8_t>& model, bool hasPrior, int crop, const std::string& modelKey,
                           const std::string& ep, bool warpApplied, const Ort::SessionOptions& directorOptions,
                           ConeHoistPlan& plan) {
  plan = ConeHoistPlan();
  if (warpApplied) {
    tq::logText(TQ_LOG_INFO,
                 "[tq] source-cone hoist SKIPPED (%s): the warp node subsumes the cone — there is nothing left "
                 "to hoist\n",
                 modelKey.c_str());
    return false;
  }
  if (ep.rfind("coreml", 0) == 0) {
    const std::string units = ep.size() < 8 ? "all" : ep.substr(7);
    if (units == "all" || units == "gpu") {
      tq::logText(TQ_LOG_INFO,
                   "[tq] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the director on the "
                   "GPU and the 12.58 MB boundary input would cross that partition every frame (measured 0.61x "
                   "on an M4) — the cone stays in the graph\n",
                   modelKey.c_str(), units.c_str());
      return false;
    }
  }
  if (!hasPrior || model.empty()) return false;
  const std::string reason = splitAndLoad(model, crop, directorOptions, plan);
  if (!reason.empty()) {
    plan = ConeHoistPlan();
    tq::logText(TQ_LOG_INFO, "[tq] source-cone hoist NOT applied (%s): %s\n", modelKey.c_str(), reason.c_str());
    return false;
  }
  const std::vector<int64_t>& d = plan.dims;
  tq::logText(TQ_LOG_INFO,
               "[tq] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and is prefetched "
               "per SOURCE FRAME on one spare core (%s)\n",
               plan.boundary.c_str(), static_cast<long long>(d[0]), static_cast<long long>(d[1]),
               static_cast<long long>(d[2]), static_cast<long long>(d[3]), modelKey.c_str());
  return true;
}

// ---------------------------------------------------------------- predictor

int SourcePredictor::next(int src, int count) {
  const int prev = lastSrc;
  lastSrc = src;
  if (count < 2) return src;
  const int delta = src - prev;
  if (prev == count - 1 && src == 0) {
    wrap = true;
    if (prev == 1 || prev == -1) step = -1;
  } else if (prev >= 0 && (delta == 1 || delta == -1)) {
    step = delta;
  }
  int n = src + step;
  if (!wrap) {
    if (n >= count) n = count - 2;
    if (n < 0) n = 1;
  } else {
    n %= count;
    if (n < 0) n += count;
  }
  return n;
}

// ---------------------------------------------------------------- ring

ConeRing::ConeRing(std::unique_ptr<Ort::Session> prep, const Identity& id, float* priorBuf, int crop,
                   const std::string& boundary, const std::vector<int64_t>& dims)
    : prep_(std::move(prep)), boundary_(boundary), id_(id), priorBuf_(priorBuf),
      priorElems_(static_cast<std::size_t>(crop) * crop * 3) {
  const Ort::MemoryInfo& mem = ortCpuMemory();
  std::size_t count = 1;
  for (int64_t d : dims) count *= static_cast<std::size_t>(d);
  for (ConeSlot& s : ring_) {
    s.data.assign(count, 0.0f);
    s.value = Ort::Value::CreateTensor<float>(mem, s.data.data(), count, dims.data(), dims.size());
  }
  if (id_.rawPrior.empty()) priorHalf_.resize(priorElems_);
  const int64_t inShape[4] = {1, 3, crop, crop};
  input_ = Ort::Value::CreateTensor<float>(mem, priorBuf_, priorElems_, inShape, 4);
  binding_ = std::make_unique<Ort::IoBinding>(*prep_);
  binding_->BindInput("P_rgb", input_);
  thread_ = std::thread([this] { threadMain(); });
}

ConeRing::~ConeRing() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ConeRing::threadMain() {
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    if (stop_) return;
    while (pendingSrc_ >= 0) {
      runPrepL(pendingSrc_, pendingSlot_, lk);
      ++prefetchRuns_;
      pendingSrc_ = pendingSlot_ = -1;
      cv_.notify_all();
      if (stop_) return;
    }
    cv_.wait(lk);
  }
}

void ConeRing::loadPrior(int src) {
  if (!id_.rawPrior.empty()) {
    simd::f16ToF32(id_.P(src), priorBuf_, priorElems_);
    return;
  }
  // A movie frame lives only until the cursor's next pull, which another thread
  // may make at any time: copy it under the cursor's own lock.
  DriverCursor* cursor = id_.prior();
  if (cursor->frameBytes != priorElems_ * sizeof(uint16_t))
    throw std::runtime_error("warp prior movie frame holds " + std::to_string(cursor->frameBytes) + " bytes, not " +
                             std::to_string(priorElems_ * sizeof(uint16_t)));
  cursor->pullAt(src, reinterpret_cast<uint8_t*>(priorHalf_.data()));
  simd::f16ToF32(priorHalf_.data(), priorBuf_, priorElems_);
}

void ConeRing::runPrepL(int src, int slot, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::string error;
  try {
    loadPrior(src);
    binding_->BindOutput(boundary_.c_str(), ring_[slot].value);
    ortRun(*prep_, *binding_);
  } catch (const std::exception& e) {
    error = e.what();
    if (error.empty()) error = "unknown error";
  }
  lock.lock();
  if (!error.empty()) {
    if (firstError_.empty()) firstError_ = error;
  } else {
    ring_[slot].src = src;
  }
}

int ConeRing::pickSlotL(int avoid) const {
  for (int s = 0; s < 2; ++s)
    if (s != inUse_ && (ring_[s].src == -1 || ring_[s].src != avoid)) return s;
  return -1;
}

int ConeRing::acquire(int src) {
  std::unique_lock<std::mutex> lk(mu_);
  inUse_ = -1;
  while (firstError_.empty()) {
    for (int s = 0; s < 2; ++s)
      if (ring_[s].src == src) {
        inUse_ = s;
        return s;
      }
    if (pendingSrc_ < 0) {
      const int slot = pickSlotL(src);
      if (slot < 0) throw std::runtime_error("Renderer: source-cone ring exhausted");
      ring_[slot].src = -1;
      ++syncFills_;
      runPrepL(src, slot, lk);
    } else {
      cv_.wait(lk);
    }
  }
  throw std::runtime_error("Renderer: the hoisted source cone failed in ORT — " + firstError_);
}

void ConeRing::prefetchAfter(int src) {
  std::lock_guard<std::mutex> lk(mu_);
  const int next = predictor_.next(src, id_.NT);
  if (pendingSrc_ >= 0 || !firstError_.empty()) return;
  for (const ConeSlot& s : ring_)
    if (s.src == next) return;
  const int slot = pickSlotL(next);
  if (slot < 0) return;
  ring_[slot].src = -1;
  pendingSrc_ = next;
  pendingSlot_ = slot;
  cv_.notify_all();
}

long ConeRing::syncFills() const {
  std::lock_guard<std::mutex> lk(mu_);
  return syncFills_;
}

long ConeRing::prefetchRuns() const {
  std::lock_guard<std::mutex> lk(mu_);
  return prefetchRuns_;
}

}  // namespace tq
