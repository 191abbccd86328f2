// A small timing harness: best-of-N wall time per call, and ratio lines against a
// reference measured in the same run.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace tqbench {

// Quick mode (a smoke run in the test suite): few repetitions.
inline bool quick(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--quick") == 0) return true;
  return false;
}

// Best time in seconds of one call of fn, over reps rounds of inner calls each.
template <class F>
double bestSeconds(F&& fn, int reps, int inner) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < inner; ++i) fn();
    const auto t1 = std::chrono::steady_clock::now();
    const double s = std::chrono::duration<double>(t1 - t0).count() / inner;
    if (s < best) best = s;
  }
  return best;
}

// Prints "name: ours X, reference Y, ratio ours/reference Z".
inline void report(const std::string& name, double ours, const std::string& refName, double ref,
                   const char* unit = "us") {
  const double scale = std::strcmp(unit, "ns") == 0 ? 1e9 : 1e6;
  std::printf("%-44s ours %10.3f %s | %-18s %10.3f %s | time ratio ours/ref %.3f\n", name.c_str(),
              ours * scale, unit, refName.c_str(), ref * scale, unit, ours / ref);
}

// Defeats dead-code elimination of a computed value.
template <class T>
inline void keep(const T& v) {
  asm volatile("" : : "g"(&v) : "memory");
}

}  // namespace tqbench
