// Compose alpha and lip contour on a 512 canvas with an open mouth:
//  - piU8Boxed against the full-canvas piU8 (goal: >= 10x faster, ratio <= 0.1);
//  - contourF32Canvas against a bare clear of the same canvas field (goal <= 1.5);
//  - deliveredU8AndShift against piU8 (goal <= 0.15);
//  - canonicalCentroid over 250 frames (what an attach does per corpus row) against the
//    same centroids from the full-canvas piU8 (goal: >= 10x faster, identical centroids).
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_util.h"
#include "tessera/tq_lip_contour.h"
#include "tessera/tq_tessera_pi.h"

namespace {

constexpr int kCanvas = 512;

std::vector<float> openMouth() {
  std::vector<float> kp(63, 0.0f);
  for (int j = 0; j < 9; ++j) {
    const double t = 2 * M_PI * j / 9;
    kp[3 * (12 + j)] = static_cast<float>(0.02 + 0.2 * std::cos(t));
    kp[3 * (12 + j) + 1] = static_cast<float>(0.35 + 0.06 * std::sin(t));
  }
  return kp;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = tqbench::quick(argc, argv);
  const int reps = quick ? 1 : 7, inner = quick ? 1 : 20;
  tq::tessera::UnifiedPi pi;
  pi.canvas = kCanvas;
  pi.mode = "prop";
  pi.lip_idx = {12, 13, 14, 15, 16, 17, 18, 19, 20};
  pi.lip_geom_params = {{0.1f, 0.08f, 0.074f}};
  pi.fillGrid();
  std::vector<double> u(80);
  for (int v = 0; v < 40; ++v) {
    const double t = 2 * M_PI * v / 40, r = 1.0 + 0.2 * std::sin(3 * t);
    u[2 * v] = 1.1 * r * std::cos(t);
    u[2 * v + 1] = 1.3 * r * std::sin(t);
  }
  tq::tessera::LipContour lc(kCanvas, 6.0f, u.data(), 40, nullptr, 0);
  const std::vector<float> kp = openMouth();
  const std::size_t px = static_cast<std::size_t>(kCanvas) * kCanvas;
  std::vector<uint8_t> a(px), b(px);
  std::vector<float> field(px);
  const double cCanon[2] = {260, 340};

  const double full = tqbench::bestSeconds([&] { pi.piU8(kp.data(), a.data()); tqbench::keep(a[0]); }, reps, inner);
  const double boxed =
      tqbench::bestSeconds([&] { pi.piU8Boxed(kp.data(), b.data()); tqbench::keep(b[0]); }, reps, inner);
  tqbench::report("piU8Boxed (512)", boxed, "piU8", full);

  const double clear = tqbench::bestSeconds(
      [&] { std::memset(field.data(), 0, px * sizeof(float)); tqbench::keep(field[0]); }, reps, inner * 5);
  const double contour =
      tqbench::bestSeconds([&] { lc.contourF32Canvas(kp.data(), field.data()); tqbench::keep(field[0]); }, reps, inner);
  tqbench::report("contourF32Canvas (512, 40 verts, feather 6)", contour, "canvas clear", clear);

  int32_t sy = 0, sx = 0;
  const double delivered = tqbench::bestSeconds(
      [&] { lc.deliveredU8AndShift(kp.data(), pi, cCanon, b.data(), sy, sx); tqbench::keep(b[0]); }, reps, inner);
  tqbench::report("deliveredU8AndShift (512)", delivered, "piU8", full);

  const int frames = quick ? 8 : 250;
  std::vector<float> many(static_cast<std::size_t>(frames) * 63);
  for (int f = 0; f < frames; ++f)
    for (int c = 0; c < 63; ++c) many[f * 63 + c] = kp[c] * (1.0f + 0.002f * static_cast<float>(f % 17));
  double cx = 0, cy = 0, rx = 0, ry = 0;
  const double fast = tqbench::bestSeconds([&] { pi.canonicalCentroid(many.data(), frames, cx, cy); }, reps, 1);
  const double ref = tqbench::bestSeconds(
      [&] {
        double sx = 0, sy = 0;
        int found = 0;
        for (int f = 0; f < frames; ++f) {
          double fx = 0, fy = 0;
          pi.piU8(many.data() + f * 63, a.data());
          if (pi.piU8Centroid(a.data(), fx, fy)) sx += fx, sy += fy, ++found;
        }
        rx = sx / found, ry = sy / found;
      },
      reps, 1);
  tqbench::report("canonicalCentroid (512, 250 frames)", fast, "full-canvas piU8 centroids", ref);
  if (cx != rx || cy != ry) {
    std::fprintf(stderr, "canonicalCentroid (%.17g, %.17g) differs from the full canvas's (%.17g, %.17g)\n", cx, cy,
                 rx, ry);
    return 1;
  }
  return 0;
}
