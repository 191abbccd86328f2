// Half-float conversion throughput against memcpy of the same bytes, and the
// fixed cost of a parallelRange call with an empty body.
#include <cstring>
#include <random>
#include <vector>

#include "bench_util.h"
#include "compute/tq_pool.h"
#include "compute/tq_simd.h"

int main(int argc, char** argv) {
  const bool q = tqbench::quick(argc, argv);
  const int reps = q ? 2 : 15;
  std::printf("vector target: %s, pool threads: %d\n", tq::simd::target(), tq::pool::threads());

  // One 512x512 crop of three planes, the size the renderer converts per frame.
  const size_t n = 3 * 512 * 512;
  std::vector<float> f(n), f2(n);
  std::vector<uint16_t> h(n), h2(n);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> u(-4.0f, 4.0f);
  for (auto& x : f) x = u(rng);
  tq::simd::f32ToF16(f.data(), h.data(), n);

  const double memF = tqbench::bestSeconds([&] { std::memcpy(f2.data(), f.data(), n * 4); }, reps, 20);
  const double memH = tqbench::bestSeconds([&] { std::memcpy(h2.data(), h.data(), n * 2); }, reps, 20);
  const double narrow = tqbench::bestSeconds([&] { tq::simd::f32ToF16(f.data(), h2.data(), n); }, reps, 20);
  const double widen = tqbench::bestSeconds([&] { tq::simd::f16ToF32(h.data(), f2.data(), n); }, reps, 20);
  const double narrowScalar = tqbench::bestSeconds(
      [&] {
        for (size_t i = 0; i < n; ++i) h2[i] = tq::f32ToF16(f[i]);
      },
      reps, 3);
  const double widenScalar = tqbench::bestSeconds([&] { tq::halfToFloat(h.data(), f2.data(), n); }, reps, 3);
  tqbench::keep(h2);
  tqbench::keep(f2);
  tqbench::report("f32ToF16 786432 values (vector)", narrow, "memcpy f32 bytes", memF);
  tqbench::report("f16ToF32 786432 values (vector)", widen, "memcpy f32 bytes", memF);
  tqbench::report("f16ToF32 786432 values (vector)", widen, "memcpy f16 bytes", memH);
  tqbench::report("f32ToF16 786432 values (vector)", narrow, "scalar f32ToF16", narrowScalar);
  tqbench::report("f16ToF32 786432 values (vector)", widen, "scalar halfToFloat", widenScalar);

  // parallelRange overhead: an empty body split into every thread, against a plain call.
  volatile size_t sink = 0;
  const auto body = [&](size_t b, size_t e) { sink = sink + (e - b); };
  const std::function<void(size_t, size_t)> fn = body;
  const double split = tqbench::bestSeconds([&] { tq::pool::parallelRange(1 << 16, 64, fn); }, reps, 2000);
  const double inl = tqbench::bestSeconds([&] { fn(0, 1 << 16); }, reps, 2000);
  tqbench::report("parallelRange empty body, all threads", split, "direct call", inl, "ns");
  return 0;
}
