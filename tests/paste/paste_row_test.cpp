// The Lanczos paste row kernel: every compiled vector variant against the scalar
// reference, bit for bit, on random rows whose footprints lie inside the crop,
// cross its border, or miss it. The crop and mask live in exactly sized heap
// buffers so that a read outside them shows under AddressSanitizer, and the frame
// row carries guard bytes on both sides of [x0, x1].
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "compute/tq_simd.h"
#include "paste/tq_paste.h"
#include "simd_targets.h"
#include "tq_test_util.h"

namespace {

struct Row {
  int U0, V0, x0, x1;
  std::vector<int> colU, colV;
};

// Where each pixel of a row samples: counts of interior, border and skipped pixels.
struct Coverage {
  int interior = 0, border = 0, skipped = 0;
};

void classify(const Row& r, int side, Coverage& cov) {
  for (int x = r.x0; x <= r.x1; ++x) {
    const long long U = static_cast<long long>(r.U0) + r.colU[x - r.x0];
    const long long V = static_cast<long long>(r.V0) + r.colV[x - r.x0];
    const long long ui = U >> 10, vi = V >> 10;
    if (ui < -1 || ui > side - 1 || vi < -1 || vi > side - 1)
      ++cov.skipped;
    else if (ui >= 3 && ui + 4 < side && vi >= 3 && vi + 4 < side)
      ++cov.interior;
    else
      ++cov.border;
  }
}

// A row along a random straight line through (and around) the crop, as the
// compositor produces, or with independent random positions per pixel.
Row randomRow(int side, bool straight, std::mt19937& rng) {
  Row r;
  std::uniform_int_distribution<int> start(0, 40), len(1, 160);
  r.x0 = start(rng);
  r.x1 = r.x0 + len(rng) - 1;
  const int n = r.x1 - r.x0 + 1;
  r.colU.resize(n);
  r.colV.resize(n);
  const int span = (side + 8) * 1024;
  std::uniform_int_distribution<int> pos(-6 * 1024, span);
  if (straight) {
    const double ang = std::uniform_real_distribution<double>(-3.2, 3.2)(rng);
    const double step = std::uniform_real_distribution<double>(0.3, 1.8)(rng) * 1024.0;
    const double du = std::cos(ang) * step, dv = std::sin(ang) * step;
    r.U0 = pos(rng) - static_cast<int>(std::lrint(r.x0 * du)) + 16;
    r.V0 = pos(rng) - static_cast<int>(std::lrint(r.x0 * dv)) + 16;
    for (int i = 0; i < n; ++i) {
      r.colU[i] = static_cast<int>(std::lrint((r.x0 + i) * du));
      r.colV[i] = static_cast<int>(std::lrint((r.x0 + i) * dv));
    }
  } else {
    r.U0 = std::uniform_int_distribution<int>(-3000, 3000)(rng);
    r.V0 = std::uniform_int_distribution<int>(-3000, 3000)(rng);
    for (int i = 0; i < n; ++i) {
      r.colU[i] = pos(rng) - r.U0;
      r.colV[i] = pos(rng) - r.V0;
    }
  }
  return r;
}

TEST(PasteRowKernel, EveryTargetEqualsTheScalarReference) {
  // Tables from a compositor: the Lanczos and bilinear weights the kernel is fed.
  const tq::Paste tables(std::vector<uint8_t>(16 * 16, 255), 16, {1.3f, 2.0f, 5});
  const int rowsPerSide = tqtest::underEmulation() ? 25 : 120;
  const int sides[] = {1, 2, 7, 8, 9, 12, 33};
  Coverage total;
  int pass = 0;
  tqtest::forEachSimdTarget([&](const std::string& target) {
    ++pass;
    std::mt19937 rng(42);
    for (int side : sides) {
      SCOPED_TRACE(target + " side " + std::to_string(side));
      std::uniform_real_distribution<float> val(0.0f, 255.0f);
      std::uniform_int_distribution<int> byte(0, 255);
      std::vector<float> rgbx(4 * static_cast<size_t>(side) * side);
      for (size_t i = 0; i < rgbx.size(); ++i) rgbx[i] = (i % 4 == 3) ? 0.0f : val(rng);
      std::vector<uint8_t> mask(static_cast<size_t>(side) * side);
      for (auto& m : mask) {
        const int b = byte(rng);
        m = static_cast<uint8_t>(b < 40 ? 0 : (b > 200 ? 255 : b));
      }
      for (int n = 0; n < rowsPerSide; ++n) {
        const Row r = randomRow(side, n % 3 != 2, rng);
        if (pass == 1) classify(r, side, total);  // every target sees the same rows
        const size_t guard = 16;
        std::vector<uint8_t> frame(3 * static_cast<size_t>(r.x1 + 1) + 2 * guard);
        for (auto& b : frame) b = static_cast<uint8_t>(byte(rng));
        std::vector<uint8_t> want = frame, got = frame;
        tq::simd::pasteLanczos8RowScalar(rgbx.data(), side, mask.data(), tables.lanczos.data(),
                                         tables.bilinear.data(), r.colU.data(), r.colV.data(), r.U0, r.V0,
                                         r.x0, r.x1, want.data() + guard);
        tq::simd::pasteLanczos8Row(rgbx.data(), side, mask.data(), tables.lanczos.data(),
                                   tables.bilinear.data(), r.colU.data(), r.colV.data(), r.U0, r.V0, r.x0,
                                   r.x1, got.data() + guard);
        ASSERT_EQ(got, want) << "row " << n << " x0 " << r.x0 << " x1 " << r.x1;
        // Nothing outside [x0, x1] is touched.
        for (size_t i = 0; i < guard + 3 * static_cast<size_t>(r.x0); ++i) ASSERT_EQ(got[i], frame[i]);
        for (size_t i = guard + 3 * static_cast<size_t>(r.x1 + 1); i < frame.size(); ++i) ASSERT_EQ(got[i], frame[i]);
      }
    }
  });
  // The random rows really exercised all three cases.
  const int least = tqtest::underEmulation() ? 150 : 700;
  EXPECT_GT(total.interior, least);
  EXPECT_GT(total.border, least);
  EXPECT_GT(total.skipped, least);
}

TEST(PasteRowKernel, ExtremeTermsAreSkippedWithoutOverflow) {
  // Terms whose sum leaves int32 must neither wrap into the crop nor trap.
  const tq::Paste tables(std::vector<uint8_t>(8 * 8, 255), 8, {1.3f, 2.0f, 3});
  std::vector<float> rgbx(4 * 64, 100.0f);
  std::vector<uint8_t> mask(64, 255);
  const int big = 2147483000;
  const std::vector<int> colU = {big, -big, big, 0}, colV = {big, 0, -big, 0};
  tqtest::forEachSimdTarget([&](const std::string&) {
    std::vector<uint8_t> frame(12, 7);
    tq::simd::pasteLanczos8Row(rgbx.data(), 8, mask.data(), tables.lanczos.data(), tables.bilinear.data(),
                               colU.data(), colV.data(), big, big, 0, 3, frame.data());
    EXPECT_EQ(frame, std::vector<uint8_t>(12, 7));
  });
}

// Fused multiply-adds would make variants disagree with each other and across
// processors. With tap weights (-0.5, w) over pixels of 201, where w * 201 rounds
// to exactly 200.5 but is really 200.4999924, the separate operations give
// -100.5 + 200.5 = 100 while a fused w * 201 + (-100.5) rounds to 99.9999924 and
// truncates to 99. Checked at an interior pixel (vector path) and at a border
// pixel, for the scalar reference and every variant.
TEST(PasteRowKernel, NoFusedMultiplyAdd) {
  const int side = 12;
  uint32_t bits = 0x3f7f5cf9u;  // 0.99751240015...
  float w;
  std::memcpy(&w, &bits, sizeof w);
  ASSERT_EQ(w * 201.0f, 200.5f);
  std::vector<float> lanczos(256, 0.0f), bilinear(64, 0.0f);
  for (int p = 0; p < 32; ++p) {
    bilinear[2 * p] = 1.0f;   // the mask weight is the mask pixel itself
    lanczos[8 * p + 3] = 1.0f;  // identity, except phase 5
  }
  lanczos[8 * 5 + 3] = -0.5f;
  lanczos[8 * 5 + 4] = w;
  std::vector<float> rgbx(4 * side * side);
  for (size_t i = 0; i < rgbx.size(); ++i) rgbx[i] = i % 4 == 3 ? 0.0f : 201.0f;
  const std::vector<uint8_t> mask(side * side, 255);
  const std::vector<int> colU = {(4 << 10) + (5 << 5), (1 << 10) + (5 << 5)}, colV = {4 << 10, 0};
  const std::vector<uint8_t> want(6, 100);
  std::vector<uint8_t> frame(6, 7);
  tq::simd::pasteLanczos8RowScalar(rgbx.data(), side, mask.data(), lanczos.data(), bilinear.data(), colU.data(),
                                   colV.data(), 0, 0, 0, 1, frame.data());
  EXPECT_EQ(frame, want) << "scalar reference";
  tqtest::forEachSimdTarget([&](const std::string&) {
    std::vector<uint8_t> f(6, 7);
    tq::simd::pasteLanczos8Row(rgbx.data(), side, mask.data(), lanczos.data(), bilinear.data(), colU.data(),
                               colV.data(), 0, 0, 0, 1, f.data());
    EXPECT_EQ(f, want);
  });
}

// The unsharp-mask loops: every variant against the scalar references, on runs
// of every length around the vector widths, along rows and down columns, with
// out-of-range and non-finite inputs for the clamp.
TEST(PasteUnsharpKernels, EveryTargetEqualsTheScalarReference) {
  tqtest::forEachSimdTarget([&](const std::string& target) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> val(-20.0f, 280.0f), wt(-0.2f, 0.6f);
    for (int taps : {1, 3, 13, 31}) {
      std::vector<float> w(taps);
      for (auto& x : w) x = wt(rng);
      for (std::ptrdiff_t stride : {std::ptrdiff_t(1), std::ptrdiff_t(37)}) {
        for (size_t n = 0; n <= 70; ++n) {
          SCOPED_TRACE(target + " taps " + std::to_string(taps) + " stride " + std::to_string(stride) + " n " +
                       std::to_string(n));
          // Exactly the inputs the run needs, so an over-read shows under AddressSanitizer.
          std::vector<float> src(n == 0 ? 0 : n + (taps - 1) * stride);
          for (auto& x : src) x = val(rng);
          std::vector<float> want(n + 1, -1.0f), got(n + 1, -1.0f);
          tq::simd::pasteTapSumScalar(src.data(), stride, w.data(), taps, want.data(), n);
          tq::simd::pasteTapSum(src.data(), stride, w.data(), taps, got.data(), n);
          ASSERT_EQ(0, std::memcmp(want.data(), got.data(), sizeof(float) * (n + 1)));
          ASSERT_EQ(got[n], -1.0f) << "wrote past the run";
        }
      }
    }
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    for (float amount : {0.0f, 1.3f, -0.4f}) {
      for (size_t n = 0; n <= 70; ++n) {
        std::vector<float> plane(n), blurred(n);
        for (size_t i = 0; i < n; ++i) {
          plane[i] = val(rng);
          blurred[i] = val(rng);
        }
        if (n > 5) {
          plane[1] = nan;
          blurred[2] = inf;
          plane[3] = -inf;
          plane[4] = 255.0f;
        }
        std::vector<float> want = plane, got = plane;
        tq::simd::pasteSharpenScalar(want.data(), blurred.data(), amount, n);
        tq::simd::pasteSharpen(got.data(), blurred.data(), amount, n);
        if (n > 0) {
          ASSERT_EQ(0, std::memcmp(want.data(), got.data(), sizeof(float) * n)) << target << " n " << n;
        }
        for (float v : got) ASSERT_TRUE(v >= 0.0f && v <= 255.0f);
      }
    }
  });
}

}  // namespace
