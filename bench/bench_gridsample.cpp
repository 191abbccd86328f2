// GridSampleFast against ONNX Runtime's own GridSample: the same one-node graph
// (bilinear, border, align_corners 0) run by ONNX Runtime as written and after the
// load-time rewrite to com.vexamo::GridSampleFast, same inputs, 1 and 2 intra-op
// threads, outputs bound to fixed buffers. The grid is an identity warp with a
// small random displacement, as in the director.
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "render/gridsample_fast.h"
#include "render/gs_wire.h"
#include "render/tq_ort.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A model holding one standard GridSample node: X [1, C, H, W], grid [1, H, W, 2] -> Y.
Bytes gridSampleModel(int C, int H, int W) {
  Bytes graph, attrs;
  tq::hcAttrS(attrs, "mode", "bilinear");
  tq::hcAttrS(attrs, "padding_mode", "border");
  tq::hcAttrI(attrs, "align_corners", 0);
  tq::hcNode(graph, "GridSample", {"X", "grid"}, "Y", "gs", attrs);
  const int64_t xd[] = {1, C, H, W}, gd[] = {1, H, W, 2};
  tq::gsPutTensorValueInfo(graph, 11, "X", xd, 4);
  tq::gsPutTensorValueInfo(graph, 11, "grid", gd, 4);
  tq::gsPutTensorValueInfo(graph, 12, "Y", xd, 4);
  Bytes model = {0x08, 0x08};  // ir_version 8
  Bytes opset;
  tq::gsPutBytes(opset, 1, std::string());
  opset.push_back(0x10);  // version
  tq::gsPutVarint(opset, 17);
  tq::gsPutBytes(model, 8, opset.data(), opset.size());
  tq::gsPutBytes(model, 7, graph.data(), graph.size());
  return model;
}

struct Runner {
  Ort::Session session{nullptr};
  Ort::IoBinding binding{nullptr};
  std::vector<Ort::Value> values;

  Runner(const Bytes& model, int threads, bool custom, std::vector<float>& x, std::vector<float>& g,
         std::vector<float>& y, const std::vector<int64_t>& xs, const std::vector<int64_t>& gs) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(threads);
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    if (custom) tq::registerGridSampleFast(so);
    session = Ort::Session(tq::ortEnv(), model.data(), model.size(), so);
    binding = Ort::IoBinding(session);
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    values.push_back(Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xs.data(), xs.size()));
    values.push_back(Ort::Value::CreateTensor<float>(mem, g.data(), g.size(), gs.data(), gs.size()));
    values.push_back(Ort::Value::CreateTensor<float>(mem, y.data(), y.size(), xs.data(), xs.size()));
    binding.BindInput("X", values[0]);
    binding.BindInput("grid", values[1]);
    binding.BindOutput("Y", values[2]);
  }
  void run() { session.Run(Ort::RunOptions{nullptr}, binding); }
};

}  // namespace

int main(int argc, char** argv) {
  const bool q = tqbench::quick(argc, argv);
  const int reps = q ? 1 : 7;
  tq::ortInit();
  struct Shape {
    int C, H, W;
  } shapes[] = {{64, 64, 64}, {3, 512, 512}};
  for (const auto& s : shapes) {
    const std::size_t nx = static_cast<std::size_t>(s.C) * s.H * s.W, ng = static_cast<std::size_t>(s.H) * s.W * 2;
    std::vector<float> x(nx), g(ng), yRef(nx), yOurs(nx), yKernel(nx);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f), jitter(-0.05f, 0.05f);
    for (auto& v : x) v = u(rng);
    for (int yy = 0; yy < s.H; ++yy)
      for (int xx = 0; xx < s.W; ++xx) {
        g[2 * (yy * s.W + xx)] = (2.0f * xx + 1.0f) / s.W - 1.0f + jitter(rng);
        g[2 * (yy * s.W + xx) + 1] = (2.0f * yy + 1.0f) / s.H - 1.0f + jitter(rng);
      }
    const std::vector<int64_t> xs = {1, s.C, s.H, s.W}, gs = {1, s.H, s.W, 2};
    const Bytes standard = gridSampleModel(s.C, s.H, s.W);
    Bytes fast = standard;
    if (tq::rewriteGridSampleToFast(fast) != 1) {
      std::fprintf(stderr, "the GridSample node was not rewritten\n");
      return 1;
    }
    const int inner = q ? 1 : (s.C == 64 ? 40 : 10);
    const std::string shape = "[1," + std::to_string(s.C) + "," + std::to_string(s.H) + "," + std::to_string(s.W) + "]";
    double ref1 = 0;
    for (int threads : {1, 2}) {
      Runner ref(standard, threads, false, x, g, yRef, xs, gs);
      Runner ours(fast, threads, true, x, g, yOurs, xs, gs);
      ref.run();
      ours.run();
      double maxDiff = 0;
      for (std::size_t i = 0; i < nx; ++i) maxDiff = std::max(maxDiff, static_cast<double>(std::fabs(yRef[i] - yOurs[i])));
      const double tRef = tqbench::bestSeconds([&] { ref.run(); }, reps, inner);
      const double tOurs = tqbench::bestSeconds([&] { ours.run(); }, reps, inner);
      if (threads == 1) ref1 = tRef;
      tqbench::report("GridSampleFast node " + shape + " " + std::to_string(threads) + "t", tOurs,
                      "ORT GridSample", tRef);
      std::printf("  max |ours - ORT| = %.3g\n", maxDiff);
    }
    // The bare kernel on the calling thread, without a session around it.
    const double tKernel = tqbench::bestSeconds(
        [&] { tq::gridsample_fast(x.data(), g.data(), yKernel.data(), s.C, s.H, s.W); }, reps, inner);
    tqbench::keep(yKernel);
    tqbench::report("gridsample_fast() call " + shape + " 1t", tKernel, "ORT GridSample 1t", ref1);
  }
  return 0;
}
