// Rows of a fixed width addressed by absolute index, with the rows below a base
// dropped: a long stream keeps only what is still to be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tq {
namespace a2x {

// Leaves new floats uninitialised on growth (growTo), for rows that are written
// whole right after; explicit fills (resizeTo) still zero them.
template <typename T>
struct NoInitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = NoInitAllocator<U>;
  };
  NoInitAllocator() = default;
  template <typename U>
  NoInitAllocator(const NoInitAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

struct Rows {
  std::size_t width = 1;
  int64_t base = 0;          // absolute index of the first stored row
  std::vector<float, NoInitAllocator<float>> data;  // rows base .. end()-1

  explicit Rows(std::size_t w = 1) : width(w) {}
  int64_t end() const { return base + static_cast<int64_t>(data.size() / width); }
  float* row(int64_t i) { return data.data() + static_cast<std::size_t>(i - base) * width; }
  const float* row(int64_t i) const { return data.data() + static_cast<std::size_t>(i - base) * width; }
  // Grows (zero-filled) or shrinks so that the last stored row is endRow - 1.
  void resizeTo(int64_t endRow) { data.resize(static_cast<std::size_t>(endRow - base) * width, 0.0f); }
  // Grows to endRow without filling: the caller writes every new row.
  void growTo(int64_t endRow) { data.resize(static_cast<std::size_t>(endRow - base) * width); }
  void append(const float* v, std::size_t rows) { data.insert(data.end(), v, v + rows * width); }
  // Forgets rows below keep once at least `slack` of them have piled up; the
  // storage is reused, so a steady stream stops allocating.
  void dropBelow(int64_t keep, int64_t slack) {
    if (keep > end()) keep = end();
    const int64_t k = keep - base;
    if (k < slack || k <= 0) return;
    const std::size_t drop = static_cast<std::size_t>(k) * width;  // floats
    std::memmove(data.data(), data.data() + drop, (data.size() - drop) * sizeof(float));
    data.resize(data.size() - drop);
    base = keep;
  }
  void clear() {
    base = 0;
    data.clear();
  }
  std::size_t bytes() const { return data.capacity() * sizeof(float); }
};

}  // namespace a2x
}  // namespace tq
