// The director operators' vector kernels: the WarpDirector's passes and GridSampleFast's
// taps, every compiled target against the scalar reference.
#include "render/gridsample_taps.h"
#include "render/tq_warp.h"
#include "render_test_util.h"
#include "simd_targets.h"

namespace {

TEST(WarpDirectorSimd, EveryVectorTargetEqualsTheScalarReference) {
  std::mt19937 rng(11);
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  // -1, 1, far outside, NaN, infinities, just inside, zero of both signs, pixel centres of W 8.
  const float special[] = {-1, 1, 5, -7, nan, inf, -inf, 0, -0.0f, 1e30f, -1e30f, 0.999f, -0.999f, 3, -0.875f, 0.125f};
  struct Shape {
    int W, H, y0, y1;  // band rows [y0, y1), clamped by the kernels
  } shapes[] = {{1, 1, 0, 1}, {2, 3, 0, 3}, {3, 2, -4, 9}, {8, 4, 0, 4}, {17, 5, 1, 4}, {40, 24, 0, 24}, {67, 9, 3, 9}};
  for (const Shape& s : shapes)
    for (bool edges : {false, true}) {
      SCOPED_TRACE(std::to_string(s.W) + "x" + std::to_string(s.H) + (edges ? " edges" : ""));
      const std::size_t px = std::size_t(s.W) * s.H;
      const std::vector<float> src = rtest::randomValues(3 * px, -1, 2, rng);
      std::vector<float> grid = rtest::randomValues(2 * px, -1.3f, 1.3f, rng);
      if (edges)
        for (std::size_t i = 0; i < grid.size(); ++i) grid[i] = special[(i * 7 + i / 16) % 16];
      std::vector<float> wantPlanes(12 * px, -5), wantOut(3 * px, -5);
      tq::warpDirectorPlanesBandScalar(src.data(), wantPlanes.data(), s.W, s.H, s.y0, s.y1);
      tq::warpDirectorPlanesBandScalar(src.data(), wantPlanes.data(), s.W, s.H, 0, s.H);  // gather reads all rows
      tq::warpDirectorGatherBandScalar(wantPlanes.data(), grid.data(), wantOut.data(), s.W, s.H, s.y0, s.y1);
      tqtest::forEachSimdTarget([&](const std::string& target) {
        std::vector<float> planes(12 * px, -5), out(3 * px, -5);
        tq::warpDirectorPlanesBand(src.data(), planes.data(), s.W, s.H, s.y0, s.y1);
        tq::warpDirectorPlanesBand(src.data(), planes.data(), s.W, s.H, 0, s.H);
        tq::warpDirectorGatherBand(planes.data(), grid.data(), out.data(), s.W, s.H, s.y0, s.y1);
        // Bit-equal, NaN included; rows outside the band stay untouched.
        EXPECT_EQ(std::memcmp(planes.data(), wantPlanes.data(), planes.size() * 4), 0) << target;
        EXPECT_EQ(std::memcmp(out.data(), wantOut.data(), out.size() * 4), 0) << target;
      });
    }
}

TEST(GridSampleFastSimd, EveryVectorTargetComputesTheScalarTaps) {
  std::mt19937 rng(12);
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const float special[] = {-1, 1, 5, -7, nan, inf, -inf, 0, -0.0f, 1e30f, -1e30f, 0.999f, -1.001f, 3, -0.875f, 0.125f};
  // Image sizes (the taps clamp to them) and run lengths around every vector width.
  for (const int W : {1, 3, 64, 1000})
    for (const int H : {1, 7, 512})
      for (const int n : {1, 5, 16, 37, tq::kGsfChunk})
        for (bool edges : {false, true}) {
          SCOPED_TRACE(std::to_string(W) + "x" + std::to_string(H) + " n " + std::to_string(n) + (edges ? " edges" : ""));
          std::vector<float> grid = rtest::randomValues(2 * std::size_t(n), -1.2f, 1.2f, rng);
          if (edges)
            for (std::size_t i = 0; i < grid.size(); ++i) grid[i] = special[(i * 7 + i / 16) % 16];
          tq::GsfTapRun want;
          std::memset(&want, 0x5A, sizeof want);
          tq::gsfTapsScalar(grid.data(), 0, n, W, H, want);
          tqtest::forEachSimdTarget([&](const std::string& target) {
            tq::GsfTapRun got;
            std::memset(&got, 0x5A, sizeof got);  // untouched beyond n on both sides
            tq::gsfTaps(grid.data(), n, W, H, got);
            EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << target;
          });
        }
}

}  // namespace
