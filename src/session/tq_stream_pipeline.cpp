#include "session/tq_stream_pipeline.h"

#include <cstring>
#include <thread>

namespace tq {

RenderPastePipeline::RenderPastePipeline(std::size_t cropFloats)
    : cropFloats_(cropFloats), ring_(cropFloats * kRing) {}

void RenderPastePipeline::renderLoop(int64_t count, const Render& render) {
  for (int64_t j = 0; j < count; ++j) {
    const float* crop = nullptr;
    try {
      crop = render(j);
    } catch (...) {
      crop = nullptr;
    }
    std::unique_lock<std::mutex> lock(mu_);
    if (!crop) failed_ = true;
    // A failing paster wakes this wait too, so a full ring never outlives the run.
    roomCv_.wait(lock, [&] { return failed_ || rendered_ - pasted_ < kRing; });
    if (failed_) break;
    std::memcpy(&ring_[static_cast<std::size_t>(j % kRing) * cropFloats_], crop, cropFloats_ * sizeof(float));
    ++rendered_;
    cropCv_.notify_one();
  }
  std::lock_guard<std::mutex> lock(mu_);
  done_ = true;
  cropCv_.notify_one();
}

int64_t RenderPastePipeline::run(int64_t count, const Render& render, const Paste& paste,
                                 const Deliver& deliver) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    rendered_ = pasted_ = 0;
    done_ = failed_ = false;
  }
  if (count <= 0) return 0;
  std::thread renderer([&] { renderLoop(count, render); });
  int64_t delivered = 0;
  for (int64_t j = 0; j < count; ++j) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      // After a render failure the crops rendered before it are still handed on,
      // so a run always delivers every frame before the one that failed.
      cropCv_.wait(lock, [&] { return done_ || rendered_ > j; });
      if (rendered_ <= j) break;
    }
    bool ok = false;
    try {
      ok = paste(j, &ring_[static_cast<std::size_t>(j % kRing) * cropFloats_]);
    } catch (...) {
      ok = false;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!ok) failed_ = true;
      else ++pasted_;
      roomCv_.notify_one();
    }
    if (!ok) break;
    try {
      deliver(j);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mu_);
      failed_ = true;
      roomCv_.notify_one();
      break;
    }
    ++delivered;
  }
  renderer.join();
  if (delivered < count) {
    std::lock_guard<std::mutex> lock(mu_);
    failed_ = true;
  }
  return delivered;
}

}  // namespace tq
