// The GridSampleFast kernel and operator: against ONNX Runtime's own GridSample,
// against the sampling rule written out step by step, at the edges of the grid,
// band by band, inside sessions, and refusing grids that do not fit the input.
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "render/gridsample_fast.h"
#include "render/tq_ort.h"
#include "graph_test_util.h"
#include "tq_test_util.h"

// The step-by-step reference below must round exactly like the rule it restates:
// no fused multiply-add (placed after the includes so that it affects this file's
// functions only).
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace gstest {

// A session over a model with inputs "X" and "grid".
Model::Model(const Bytes& model, int threads, bool customOps) {
  Ort::Env& env = tq::ortEnv();
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (customOps) tq::registerGridSampleFast(so);
  session = Ort::Session(env, model.data(), model.size(), so);
}

std::vector<float> Model::run(const Tensor& x, const Tensor& grid, const char* output) {
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<float> xd = x.data, gd = grid.data;
  Ort::Value in[2] = {
      Ort::Value::CreateTensor<float>(mem, xd.data(), xd.size(), x.shape.data(), x.shape.size()),
      Ort::Value::CreateTensor<float>(mem, gd.data(), gd.size(), grid.shape.data(), grid.shape.size())};
  const char* inNames[] = {"X", "grid"};
  const char* outNames[] = {output};
  auto out = session.Run(Ort::RunOptions{nullptr}, inNames, in, 2, outNames, 1);
  const auto n = out[0].GetTensorTypeAndShapeInfo().GetElementCount();
  const float* p = out[0].GetTensorData<float>();
  return std::vector<float>(p, p + n);
}

std::vector<float> runModel(const Bytes& model, const Tensor& x, const Tensor& grid, int threads, bool customOps) {
  return Model(model, threads, customOps).run(x, grid);
}

// A model written by the fixture tool.
Bytes fixture(const tqtest::TempDir& dir, const std::string& name, std::vector<std::string> args) {
  const std::string path = dir / name;
  args.insert(args.begin(), {"gs-graph", "--out", path});
  if (!tqtest::runFixtureTool(args)) return Bytes();
  return tqtest::readBytes(path);
}

std::vector<float> randomValues(std::size_t n, float lo, float hi, std::mt19937& rng) {
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& e : v) e = d(rng);
  return v;
}

// Random positions, with every fifth coordinate one of the edge values. The far
// outside values stay below 2^24 pixels once scaled: beyond that ONNX Runtime's
// GridSample loses the pixel grid (its border sample comes out doubled, seen with
// 1e6 on 35 rows), so it is no oracle there; GridEdgesSampleTheBorder covers
// larger magnitudes against the input itself.
std::vector<float> randomGrid(std::size_t n, std::mt19937& rng) {
  static const float edge[] = {-1.0f, 1.0f, 5.0f, -5.0f, 1e5f, -1e5f, 0.0f, 1.0f, -1.0f, 2.5f};
  std::vector<float> g = randomValues(n, -1.3f, 1.3f, rng);
  for (std::size_t i = 0; i < n; i += 5) g[i] = edge[(i / 5) % 10];
  return g;
}

}  // namespace gstest

namespace {

using gstest::Bytes;
using gstest::Tensor;

// The sampling rule, one step per line, in float32.
void referenceSample(const float* X, const float* grid, float* Y, int C, int H, int W) {
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const float gx = grid[(y * W + x) * 2];
      const float gy = grid[(y * W + x) * 2 + 1];
      float ix = gx + 1.0f;
      ix = ix * 0.5f;
      ix = ix * static_cast<float>(W);
      ix = ix - 0.5f;
      float iy = gy + 1.0f;
      iy = iy * 0.5f;
      iy = iy * static_cast<float>(H);
      iy = iy - 0.5f;
      const int x0 = static_cast<int>(std::floor(ix));
      const int y0 = static_cast<int>(std::floor(iy));
      const float wx = ix - static_cast<float>(x0);
      const float wy = iy - static_cast<float>(y0);
      auto clampTo = [](int v, int n) { return v < 0 ? 0 : (v > n - 1 ? n - 1 : v); };
      const int xa = clampTo(x0, W), xb = clampTo(x0 + 1, W);
      const int ya = clampTo(y0, H), yb = clampTo(y0 + 1, H);
      const float w00 = (1.0f - wx) * (1.0f - wy);
      const float w01 = wx * (1.0f - wy);
      const float w10 = (1.0f - wx) * wy;
      const float w11 = wx * wy;
      for (int c = 0; c < C; ++c) {
        const float* p = X + static_cast<std::size_t>(c) * H * W;
        float s = w00 * p[ya * W + xa];
        s = s + w01 * p[ya * W + xb];
        s = s + w10 * p[yb * W + xa];
        s = s + w11 * p[yb * W + xb];
        Y[(static_cast<std::size_t>(c) * H + y) * W + x] = s;
      }
    }
  }
}

struct Shape {
  int N, C, H, W;
};

std::vector<Shape> shapes() {
  if (tqtest::underEmulation()) return {{1, 3, 8, 8}, {2, 2, 17, 5}};
  return {{1, 3, 8, 8}, {1, 5, 7, 13}, {2, 4, 35, 33}, {1, 1, 1, 1}, {1, 2, 1, 9}, {1, 2, 9, 1}, {1, 64, 20, 24}};
}

// Our kernel, batch item by batch item.
std::vector<float> ours(const Tensor& x, const Tensor& g, const Shape& s) {
  std::vector<float> y(x.data.size());
  const std::size_t ix = static_cast<std::size_t>(s.C) * s.H * s.W, ig = static_cast<std::size_t>(s.H) * s.W * 2;
  for (int n = 0; n < s.N; ++n) tq::gridsample_fast(x.data.data() + n * ix, g.data.data() + n * ig, y.data() + n * ix, s.C, s.H, s.W);
  return y;
}

Tensor inputOf(const Shape& s, std::mt19937& rng) {
  return {{s.N, s.C, s.H, s.W}, gstest::randomValues(static_cast<std::size_t>(s.N) * s.C * s.H * s.W, -1, 1, rng)};
}

Tensor gridOf(const Shape& s, std::mt19937& rng) {
  return {{s.N, s.H, s.W, 2}, gstest::randomGrid(static_cast<std::size_t>(s.N) * s.H * s.W * 2, rng)};
}

TEST(GridSampleKernel, MatchesOnnxRuntimeGridSample) {
  tqtest::TempDir dir;
  // One standard bilinear, border, align_corners=0 GridSample over symbolic shapes; Y = sample + 0.25.
  const Bytes model = gstest::fixture(dir, "std.onnx", {"--dynamic", "--nodes", "[{}]"});
  ASSERT_FALSE(model.empty());
  gstest::Model session(model, 1, false);
  std::mt19937 rng(11);
  for (const Shape& s : shapes()) {
    SCOPED_TRACE(::testing::Message() << "shape " << s.N << "x" << s.C << "x" << s.H << "x" << s.W);
    const Tensor x = inputOf(s, rng), g = gridOf(s, rng);
    const std::vector<float> ref = session.run(x, g);
    const std::vector<float> y = ours(x, g, s);
    ASSERT_EQ(ref.size(), y.size());
    int bad = 0;
    for (std::size_t i = 0; i < y.size() && bad < 10; ++i)
      if (!(std::fabs((y[i] + 0.25f) - ref[i]) <= 1e-5f)) {
        ADD_FAILURE() << "element " << i << ": ours " << y[i] + 0.25f << ", ONNX Runtime " << ref[i];
        ++bad;
      }
  }
}

TEST(GridSampleKernel, FollowsTheFixedOperationOrderBitForBit) {
  std::mt19937 rng(5);
  for (const Shape& s : shapes()) {
    const Shape one{1, s.C, s.H, s.W};
    const Tensor x = inputOf(one, rng), g = gridOf(one, rng);
    std::vector<float> want(x.data.size());
    referenceSample(x.data.data(), g.data.data(), want.data(), s.C, s.H, s.W);
    const std::vector<float> y = ours(x, g, one);
    EXPECT_EQ(std::memcmp(y.data(), want.data(), y.size() * sizeof(float)), 0)
        << s.C << "x" << s.H << "x" << s.W;
  }
}

TEST(GridSampleKernel, GridEdgesSampleTheBorder) {
  const int C = 2, H = 5, W = 7;
  std::mt19937 rng(3);
  const std::vector<float> X = gstest::randomValues(C * H * W, -1, 1, rng);
  auto at = [&](int c, int y, int x) { return X[(c * H + y) * W + x]; };
  // gx/gy value -> the column/row it must land on
  const struct {
    float g;
    int col, row;
  } edges[] = {{-1.0f, 0, 0}, {1.0f, W - 1, H - 1}, {5.0f, W - 1, H - 1}, {-5.0f, 0, 0},
               {1e6f, W - 1, H - 1}, {-1e6f, 0, 0}, {1e30f, W - 1, H - 1}, {-1e37f, 0, 0}};
  for (const auto& ex : edges) {
    for (const auto& ey : edges) {
      std::vector<float> grid(H * W * 2), Y(C * H * W);
      for (int i = 0; i < H * W; ++i) {
        grid[2 * i] = ex.g;
        grid[2 * i + 1] = ey.g;
      }
      tq::gridsample_fast(X.data(), grid.data(), Y.data(), C, H, W);
      for (int c = 0; c < C; ++c)
        for (int i = 0; i < H * W; ++i)
          ASSERT_NEAR(Y[c * H * W + i], at(c, ey.row, ex.col), 1e-6f) << "gx " << ex.g << " gy " << ey.g;
    }
  }
  // gx = -1 or 1 with gy at every row's centre: column 0 or W - 1 of that row.
  for (const float gx : {-1.0f, 1.0f, 7.0f}) {
    std::vector<float> grid(H * W * 2), Y(C * H * W);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        grid[2 * (y * W + x)] = gx;
        grid[2 * (y * W + x) + 1] = static_cast<float>((2.0 * y + 1.0) / H - 1.0);
      }
    tq::gridsample_fast(X.data(), grid.data(), Y.data(), C, H, W);
    const int col = gx < 0 ? 0 : W - 1;
    for (int c = 0; c < C; ++c)
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) EXPECT_NEAR(Y[(c * H + y) * W + x], at(c, y, col), 1e-5f) << gx;
  }
}

TEST(GridSampleKernel, NonFiniteGridValuesNeverLeaveTheInput) {
  const int C = 3, H = 6, W = 5;
  std::mt19937 rng(9);
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float odd[] = {nan, inf, -inf, 3e38f, -3e38f, 2147483648.0f, -2147483904.0f};
  // Exactly sized heap buffers: a read outside them is an AddressSanitizer error.
  const std::vector<float> X = gstest::randomValues(C * H * W, -1, 1, rng);
  std::vector<float> grid = gstest::randomValues(H * W * 2, -1, 1, rng);
  std::vector<bool> touched(H * W, false);
  for (int i = 0; i < H * W * 2; i += 3) {
    grid[i] = odd[(i / 3) % 7];
    touched[i / 2] = true;
  }
  std::vector<float> Y(C * H * W), want(C * H * W);
  tq::gridsample_fast(X.data(), grid.data(), Y.data(), C, H, W);
  // Pixels are independent: the reference runs on a tame copy and is compared where the grid was tame.
  std::vector<float> tame = grid;
  for (int i = 0; i < H * W * 2; i += 3) tame[i] = 0.0f;
  referenceSample(X.data(), tame.data(), want.data(), C, H, W);
  for (int c = 0; c < C; ++c)
    for (int i = 0; i < H * W; ++i)
      if (!touched[i]) {
        EXPECT_EQ(Y[c * H * W + i], want[c * H * W + i]) << i;
      }
}

TEST(GridSampleKernel, BandsWriteExactlyTheirRows) {
  const int C = 2, H = 37, W = 6;
  std::mt19937 rng(1);
  const std::vector<float> X = gstest::randomValues(C * H * W, -1, 1, rng);
  const std::vector<float> grid = gstest::randomGrid(H * W * 2, rng);
  std::vector<float> full(C * H * W);
  tq::gridsample_fast(X.data(), grid.data(), full.data(), C, H, W);
  const float sentinel = 777.0f;
  const struct {
    int y0, y1, first, last;  // rows [first, last) must be written
  } bands[] = {{-5, 3, 0, 3}, {5, 100, 5, H}, {4, 4, 0, 0}, {9, 2, 0, 0}, {0, H, 0, H}, {36, 37, 36, 37}};
  for (const auto& b : bands) {
    std::vector<float> Y(C * H * W, sentinel);
    tq::gridsample_fast_band(X.data(), grid.data(), Y.data(), C, H, W, b.y0, b.y1);
    for (int c = 0; c < C; ++c)
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          const std::size_t i = (static_cast<std::size_t>(c) * H + y) * W + x;
          if (y >= b.first && y < b.last)
            ASSERT_EQ(Y[i], full[i]) << b.y0 << ".." << b.y1 << " row " << y;
          else
            ASSERT_EQ(Y[i], sentinel) << b.y0 << ".." << b.y1 << " row " << y;
        }
  }
  // The parallel-for body: tasks of 16 rows cover the image; a task past the end writes nothing.
  std::vector<float> Y(C * H * W, sentinel);
  tq::GsfBandContext ctx{X.data(), grid.data(), Y.data(), C, H, W, 16};
  tq::band_fn(&ctx, 3);
  EXPECT_EQ(Y, std::vector<float>(C * H * W, sentinel));
  tq::band_fn(&ctx, 2);
  EXPECT_EQ(Y[(static_cast<std::size_t>(C - 1) * H + 31) * W], sentinel);
  EXPECT_EQ(Y[(static_cast<std::size_t>(C - 1) * H + 32) * W], full[(static_cast<std::size_t>(C - 1) * H + 32) * W]);
  tq::band_fn(&ctx, 0);
  tq::band_fn(&ctx, 1);
  EXPECT_EQ(Y, full);
}

// ---------------------------------------------------------------- the operator

TEST(GridSampleFastOp, RunsInSessionsOnOneAndTwoThreads) {
  tqtest::TempDir dir;
  const Bytes baked = gstest::fixture(
      dir, "baked.onnx",
      {"--dynamic", "--nodes", R"([{"op": "GridSampleFast", "domain": "com.vexamo", "mode": null, "padding_mode": null}])"});
  ASSERT_FALSE(baked.empty());
  const Shape s = tqtest::underEmulation() ? Shape{2, 3, 19, 7} : Shape{3, 4, 37, 21};
  std::mt19937 rng(21);
  const Tensor x = inputOf(s, rng), g = gridOf(s, rng);
  std::vector<float> want = ours(x, g, s);
  for (auto& v : want) v = v + 0.25f;  // the fixture's bias
  for (int threads : {1, 2}) {
    const std::vector<float> y = gstest::runModel(baked, x, g, threads, true);
    ASSERT_EQ(y.size(), want.size());
    EXPECT_EQ(std::memcmp(y.data(), want.data(), y.size() * sizeof(float)), 0) << threads << " threads";
  }
  // registerWarpDirector adds the same domain: GridSampleFast is available through it as well.
  {
    Ort::SessionOptions so;
    tq::registerWarpDirector(so);
    EXPECT_NO_THROW(Ort::Session(tq::ortEnv(), baked.data(), baked.size(), so));
  }
  // Without the domain the graph cannot be loaded at all.
  {
    Ort::SessionOptions so;
    EXPECT_THROW(Ort::Session(tq::ortEnv(), baked.data(), baked.size(), so), Ort::Exception);
  }
}

TEST(GridSampleFastOp, RefusesGridsThatDoNotFitTheInput) {
  tqtest::TempDir dir;
  const Bytes baked = gstest::fixture(
      dir, "baked_free.onnx",
      {"--free-shapes", "--no-check", "--nodes",
       R"([{"op": "GridSampleFast", "domain": "com.vexamo", "mode": null, "padding_mode": null}])"});
  ASSERT_FALSE(baked.empty());
  const auto misfit = [](const char* g, const char* x, const char* need) {
    return std::string("com.vexamo::GridSampleFast: grid ") + g + " does not fit X " + x +
           ": this operator samples a grid of the input's own spatial size and needs grid " + need;
  };
  const struct {
    std::vector<int64_t> x, g;
    std::string message;
  } cases[] = {
      {{1, 3, 8, 8}, {1, 4, 4, 2}, misfit("[1, 4, 4, 2]", "[1, 3, 8, 8]", "[1, 8, 8, 2]")},
      {{1, 3, 8, 8}, {1, 9, 8, 2}, misfit("[1, 9, 8, 2]", "[1, 3, 8, 8]", "[1, 8, 8, 2]")},
      {{1, 3, 8, 6}, {1, 8, 5, 2}, misfit("[1, 8, 5, 2]", "[1, 3, 8, 6]", "[1, 8, 6, 2]")},
      {{1, 3, 8, 8}, {1, 8, 8, 3}, misfit("[1, 8, 8, 3]", "[1, 3, 8, 8]", "[1, 8, 8, 2]")},
      {{1, 3, 8, 8}, {2, 8, 8, 2}, misfit("[2, 8, 8, 2]", "[1, 3, 8, 8]", "[1, 8, 8, 2]")},
      {{2, 3, 8, 8}, {1, 8, 8, 2}, misfit("[1, 8, 8, 2]", "[2, 3, 8, 8]", "[2, 8, 8, 2]")},
      {{1, 3, 8, 8}, {8, 8, 2}, misfit("[8, 8, 2]", "[1, 3, 8, 8]", "[1, 8, 8, 2]")},
      {{3, 8, 8}, {8, 8, 2}, "com.vexamo::GridSampleFast: X must be [N, C, H, W], got [3, 8, 8]"},
  };
  std::mt19937 rng(4);
  gstest::Model session(baked, 1, true);
  for (const auto& c : cases) {
    std::size_t nx = 1, ng = 1;
    for (auto d : c.x) nx *= static_cast<std::size_t>(d);
    for (auto d : c.g) ng *= static_cast<std::size_t>(d);
    const Tensor x{c.x, gstest::randomValues(nx, -1, 1, rng)};
    const Tensor g{c.g, gstest::randomValues(ng, -1, 1, rng)};
    std::string what = "no exception";
    try {
      session.run(x, g);
    } catch (const Ort::Exception& e) {
      what = e.what();
    }
    EXPECT_NE(what.find(c.message), std::string::npos) << what;
  }
  // Empty tensors are fine: nothing to sample.
  const Tensor x0{{0, 3, 8, 8}, {}}, g0{{0, 8, 8, 2}, {}};
  EXPECT_TRUE(session.run(x0, g0).empty());
}

}  // namespace
