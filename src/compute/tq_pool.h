// Data-parallel loops on per-thread worker pools.
//
// Each calling thread lazily owns its own workers, so independent pipeline
// threads never queue behind one another on a shared pool.
#pragma once

#include <cstddef>
#include <functional>

namespace tq {
namespace pool {

// Thread count, fixed on first use: TQ_CORE_THREADS, else TQ_PASTE_THREADS, else 4;
// at least 1, at most the hardware concurrency.
int threads();
bool available();
// How many pieces a range of n items is split into.
int parts(std::size_t n, std::size_t grain);
// Calls fn on contiguous disjoint pieces covering [0, n) and returns when all are done.
// The caller runs piece 0; a call from inside a body runs inline. fn must not throw.
void parallelRange(std::size_t n, std::size_t grain,
                   const std::function<void(std::size_t begin, std::size_t end)>& fn);

}  // namespace pool
}  // namespace tq
