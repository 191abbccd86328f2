// A growing run of fixed-width float rows of which only a recent window is kept.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tq {
namespace motion {

// Rows are addressed by their absolute number; rows before base() are gone.
// Growing first drops the rows the caller no longer needs, so the storage
// stays the size of the live window and is not reallocated in steady state.
class SlidingRows {
 public:
  SlidingRows(int width, std::size_t reserveRows) : width_(width), buf_(reserveRows * width) {}

  int64_t base() const { return base_; }
  int64_t end() const { return end_; }
  float* row(int64_t r) { return buf_.data() + static_cast<std::size_t>(r - base_) * width_; }
  const float* row(int64_t r) const { return buf_.data() + static_cast<std::size_t>(r - base_) * width_; }
  std::size_t bytes() const { return buf_.size() * sizeof(float); }

  void clear() { base_ = end_ = 0; }
  // Shortens the run to newEnd rows (newEnd >= base()).
  void truncate(int64_t newEnd) { end_ = std::max(base_, std::min(end_, newEnd)); }
  // Extends the run to newEnd rows; rows before keepFrom may be dropped first.
  void extend(int64_t newEnd, int64_t keepFrom) {
    const std::size_t need = static_cast<std::size_t>(newEnd - base_) * width_;
    if (need > buf_.size() && keepFrom > base_) {
      keepFrom = std::min(keepFrom, end_);
      const std::size_t drop = static_cast<std::size_t>(keepFrom - base_) * width_;
      const std::size_t live = static_cast<std::size_t>(end_ - keepFrom) * width_;
      if (live) std::memmove(buf_.data(), buf_.data() + drop, live * sizeof(float));
      base_ = keepFrom;
    }
    const std::size_t needNow = static_cast<std::size_t>(newEnd - base_) * width_;
    if (needNow > buf_.size()) buf_.resize(std::max(needNow, 2 * buf_.size()));
    end_ = newEnd;
  }

 private:
  int width_;
  std::vector<float> buf_;
  int64_t base_ = 0;
  int64_t end_ = 0;
};

}  // namespace motion
}  // namespace tq
