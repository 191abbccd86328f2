// Counts every malloc-family call of the process while armed, by replacing the C
// allocator's entry points. It defines those functions, so exactly one source file
// of a benchmark binary includes it.
#pragma once

#include <atomic>
#include <cstddef>

namespace tqbench {
std::atomic<long long> gAllocs{0};
std::atomic<bool> gArmed{false};
inline void countAlloc() {
  if (gArmed.load(std::memory_order_relaxed)) gAllocs.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace tqbench

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* malloc(size_t n) {
  tqbench::countAlloc();
  return __libc_malloc(n);
}
void* calloc(size_t a, size_t b) {
  tqbench::countAlloc();
  return __libc_calloc(a, b);
}
void* realloc(void* p, size_t n) {
  tqbench::countAlloc();
  return __libc_realloc(p, n);
}
int posix_memalign(void** out, size_t align, size_t n) {
  tqbench::countAlloc();
  void* p = __libc_memalign(align, n);
  if (!p) return 12;  // ENOMEM
  *out = p;
  return 0;
}
void* aligned_alloc(size_t align, size_t n) {
  tqbench::countAlloc();
  return __libc_memalign(align, n);
}
void* memalign(size_t align, size_t n) {
  tqbench::countAlloc();
  return __libc_memalign(align, n);
}
}
