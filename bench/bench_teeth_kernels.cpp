// The teeth-pass kernels: conv3x3Range against ONNX Runtime's Conv on the same data
// (one thread each; the head's two big layers over 64 candidates), and every kernel
// against its scalar reference.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "compute/tq_simd.h"
#include "render/tq_ort.h"

namespace {

bool tool(const std::string& args) {
  const char* src = std::getenv("TQ_SOURCE_DIR");
  const std::string cmd = std::string("env -u LD_LIBRARY_PATH /usr/bin/python3 ") + (src ? src : ".") +
                          "/tools/tq_fixtures.py " + args + " >/dev/null";
  if (std::system(cmd.c_str()) == 0) return true;
  std::printf("fixture tool failed: %s\n", cmd.c_str());
  return false;
}

std::vector<float> randomFloats(std::mt19937& rng, std::size_t n) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = u(rng);
  return v;
}

void benchConv(const std::string& dir, int n, int cin, int h, int w, int cout, int reps, std::mt19937& rng) {
  const std::string model = dir + "/conv_" + std::to_string(cin) + "_" + std::to_string(cout) + ".onnx";
  const auto s = [](int v) { return std::to_string(v); };
  if (!tool("conv3x3-graph " + model + " --n " + s(n) + " --cin " + s(cin) + " --h " + s(h) + " --w " + s(w) +
            " --cout " + s(cout)))
    return;
  const std::size_t plane = static_cast<std::size_t>(h) * w, pairs = static_cast<std::size_t>(n) * cout;
  auto in = randomFloats(rng, n * cin * plane), wt = randomFloats(rng, cout * cin * 9), bias = randomFloats(rng, cout);
  std::vector<float> ours(pairs * plane), ref(pairs * plane);

  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  auto session = tq::makeSession(model, so);
  const int64_t xs[] = {n, cin, h, w}, ws[] = {cout, cin, 3, 3}, bs[] = {cout}, ys[] = {n, cout, h, w};
  const auto& mem = tq::ortCpuMemory();
  Ort::Value inputs[] = {Ort::Value::CreateTensor<float>(mem, in.data(), in.size(), xs, 4),
                         Ort::Value::CreateTensor<float>(mem, wt.data(), wt.size(), ws, 4),
                         Ort::Value::CreateTensor<float>(mem, bias.data(), bias.size(), bs, 1)};
  Ort::Value y = Ort::Value::CreateTensor<float>(mem, ref.data(), ref.size(), ys, 4);
  const char* inNames[] = {"X", "W", "B"};
  const char* outNames[] = {"Y"};
  // Alternate the two in every round so that both see the same machine load.
  double ort = 1e30, vec = 1e30;
  for (int r = 0; r < 2 * reps; ++r) {
    ort = std::min(ort, tqbench::bestSeconds([&] { tq::ortRun(*session, inNames, inputs, 3, outNames, &y, 1); }, 1, 1));
    vec = std::min(vec, tqbench::bestSeconds([&] {
      tq::simd::conv3x3Range(in.data(), n, cin, h, w, wt.data(), bias.data(), cout, ours.data(), 0, pairs);
    }, 1, 1));
  }
  double worst = 0;
  for (std::size_t i = 0; i < pairs * plane; ++i) worst = std::max(worst, double(std::fabs(ours[i] - ref[i])));
  // The scalar reference is slow: one image is enough to time it.
  const double scalar = tqbench::bestSeconds(
      [&] { tq::simd::conv3x3RangeScalar(in.data(), n, cin, h, w, wt.data(), bias.data(), cout, ref.data(), 0, cout); },
      reps < 3 ? 1 : 3, 1) * n;
  const std::string name = "conv3x3Range " + s(n) + "x" + s(cin) + "->" + s(cout) + " at " + s(h) + "x" + s(w);
  tqbench::report(name, vec, "ORT Conv 1 thread", ort);
  tqbench::report(name, vec, "scalar reference", scalar);
  std::printf("  (the scalar row is one image's time x %d; max |ours - ORT| %.2e)\n", n, worst);
}

}  // namespace

int main(int argc, char** argv) {
  const bool q = tqbench::quick(argc, argv);
  const int reps = q ? 2 : 20;
  tq::ortInit();
  std::printf("vector target: %s\n", tq::simd::target());
  std::mt19937 rng(3);

  char tmpl[] = "/tmp/tq_bench_teeth_XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  benchConv(dir, 64, 7, 48, 64, 16, reps, rng);
  benchConv(dir, 64, 16, 48, 64, 16, reps, rng);
  benchConv(dir, 64, 16, 48, 64, 1, reps, rng);
  std::system(("rm -rf " + dir).c_str());

  // A 96 x 128 mouth window: its pixels, its 4x4-pooled descriptor and its rows.
  const std::size_t px = 96 * 128, pooled = 24 * 32;
  std::vector<uint8_t> rgb(3 * px);
  for (auto& b : rgb) b = static_cast<uint8_t>(rng());
  std::vector<uint16_t> planes(3 * px), planes2(3 * px), wh(px);
  tq::simd::rgb8ToPlanarF16(rgb.data(), planes.data(), px, px);
  for (auto& b : rgb) b = static_cast<uint8_t>(rng());
  tq::simd::rgb8ToPlanarF16(rgb.data(), planes2.data(), px, px);
  tq::simd::rgb8ToPlanarF16(rgb.data() + 1, wh.data(), 0, px / 3);
  auto wf = randomFloats(rng, px), a = randomFloats(rng, px), b = randomFloats(rng, px), o(a);
  for (std::size_t i = 0; i < px; i += 3) wf[i] = 0.0f;
  volatile float sink = 0;
  const int inner = q ? 5 : 50;

  double v = tqbench::bestSeconds([&] { tq::simd::rgb8ToPlanarF16(rgb.data(), planes.data(), px, px); }, reps, inner);
  double r = tqbench::bestSeconds([&] { tq::simd::rgb8ToPlanarF16Scalar(rgb.data(), planes.data(), px, px); }, reps, inner);
  tqbench::report("rgb8ToPlanarF16 96x128", v, "scalar reference", r);
  // Pooled: the plane stride is the pooled count, so the descriptors are the first planes' prefixes.
  v = tqbench::bestSeconds([&] { sink = sink + tq::simd::retrieveTermPooled(planes.data(), planes2.data(), wh.data(), pooled); }, reps, inner * 20);
  r = tqbench::bestSeconds([&] { sink = sink + tq::simd::retrieveTermPooledScalar(planes.data(), planes2.data(), wh.data(), pooled); }, reps, inner * 20);
  tqbench::report("retrieveTermPooled 24x32", v, "scalar reference", r);
  v = tqbench::bestSeconds([&] { sink = sink + tq::simd::retrieveTermExact(planes.data(), planes2.data(), wf.data(), px); }, reps, inner);
  r = tqbench::bestSeconds([&] { sink = sink + tq::simd::retrieveTermExactScalar(planes.data(), planes2.data(), wf.data(), px); }, reps, inner);
  tqbench::report("retrieveTermExact 96x128", v, "scalar reference", r);
  v = tqbench::bestSeconds([&] { tq::simd::roundF16Mul(a.data(), b.data(), o.data(), px); }, reps, inner);
  r = tqbench::bestSeconds([&] { tq::simd::roundF16MulScalar(a.data(), b.data(), o.data(), px); }, reps, inner);
  tqbench::report("roundF16Mul 96x128", v, "scalar reference", r);
  tqbench::keep(planes);
  tqbench::keep(o);
  return 0;
}
