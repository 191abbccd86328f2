// Head cubic resize: ONNX Runtime's cubic 2x Resize (half_pixel) against the
// load-time rewrite (edge Pad + depthwise 5x5 Conv + DepthToSpace) on
// [1, 64, 128, 128], same inputs, 1 and 2 intra-op threads, outputs bound to
// fixed buffers.
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "render/graph_normalise.h"
#include "render/gs_wire.h"
#include "render/tq_ort.h"

namespace {

using Bytes = std::vector<uint8_t>;

// X [1, C, H, W] -> cubic Resize x2 -> "up" -> 1x1 Conv -> Y. The Conv only makes
// the Resize qualify; both models are cut back to end at "up" before timing.
Bytes resizeModel(int C, int H, int W) {
  Bytes graph, rattrs, none;
  tq::hcAttrS(rattrs, "mode", "cubic");
  tq::hcAttrS(rattrs, "coordinate_transformation_mode", "half_pixel");
  tq::hcNode(graph, "Resize", {"X", "", "scales"}, "up", "/head/Resize", rattrs);
  tq::hcNode(graph, "Conv", {"up", "cw"}, "Y", "conv", none);
  const float scales[4] = {1, 1, 2, 2};
  tq::hcInit(graph, "scales", 1, {4}, scales, sizeof scales);
  std::vector<float> w(static_cast<std::size_t>(C) * C, 0.0f);
  tq::hcInit(graph, "cw", 1, {C, C, 1, 1}, w.data(), w.size() * sizeof(float));
  const int64_t xd[] = {1, C, H, W}, yd[] = {1, C, 2 * H, 2 * W};
  tq::gsPutTensorValueInfo(graph, 11, "X", xd, 4);
  tq::gsPutTensorValueInfo(graph, 12, "Y", yd, 4);
  Bytes model = {0x08, 0x08}, opset;  // ir_version 8
  tq::gsPutBytes(opset, 1, std::string());
  opset.push_back(0x10);
  tq::gsPutVarint(opset, 17);
  tq::gsPutBytes(model, 8, opset.data(), opset.size());
  tq::gsPutBytes(model, 7, graph.data(), graph.size());
  return model;
}

// The model without its last node, ending at "up".
Bytes endAtUp(const Bytes& model, std::size_t nodes, const int64_t* dims) {
  tq::GsGraphEdit edit;
  edit.dropNode.assign(nodes, false);
  edit.dropNode.back() = true;
  edit.dropOutputs = true;
  edit.newValueName = std::string("up");
  edit.newValueDims = dims;
  edit.newValueRank = 4;
  edit.newValueField = 12;
  Bytes out;
  tq::gsRebuild(model, edit, out);
  return out;
}

struct Runner {
  Ort::Session session{nullptr};
  Ort::IoBinding binding{nullptr};
  std::vector<Ort::Value> values;

  Runner(const Bytes& model, int threads, std::vector<float>& x, std::vector<float>& y,
         const std::vector<int64_t>& xs, const std::vector<int64_t>& ys) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(threads);
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    session = Ort::Session(tq::ortEnv(), model.data(), model.size(), so);
    binding = Ort::IoBinding(session);
    const Ort::MemoryInfo& mem = tq::ortCpuMemory();
    values.push_back(Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xs.data(), xs.size()));
    values.push_back(Ort::Value::CreateTensor<float>(mem, y.data(), y.size(), ys.data(), ys.size()));
    binding.BindInput("X", values[0]);
    binding.BindOutput("up", values[1]);
  }
  void run() { session.Run(Ort::RunOptions{nullptr}, binding); }
};

}  // namespace

int main(int argc, char** argv) {
  const bool q = tqbench::quick(argc, argv);
  const int reps = q ? 1 : 7, inner = q ? 1 : 10;
  tq::ortInit();
  const int C = 64, H = 128, W = 128;
  const std::vector<int64_t> xs = {1, C, H, W}, ys = {1, C, 2 * H, 2 * W};
  const Bytes original = resizeModel(C, H, W);
  Bytes rewritten = original;
  if (tq::rewriteHeadCubicResize(rewritten) != 1) {
    std::fprintf(stderr, "the cubic Resize was not rewritten\n");
    return 1;
  }
  const Bytes ref = endAtUp(original, 2, ys.data()), ours = endAtUp(rewritten, 4, ys.data());
  std::vector<float> x(static_cast<std::size_t>(C) * H * W), yRef(x.size() * 4), yOurs(x.size() * 4);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (auto& v : x) v = u(rng);
  for (int threads : {1, 2}) {
    Runner a(ref, threads, x, yRef, xs, ys), b(ours, threads, x, yOurs, xs, ys);
    a.run();
    b.run();
    double maxDiff = 0;
    for (std::size_t i = 0; i < yRef.size(); ++i) maxDiff = std::max(maxDiff, double(std::fabs(yRef[i] - yOurs[i])));
    const double tRef = tqbench::bestSeconds([&] { a.run(); }, reps, inner);
    const double tOurs = tqbench::bestSeconds([&] { b.run(); }, reps, inner);
    tqbench::report("cubic x2 rewrite [1,64,128,128] " + std::to_string(threads) + "t", tOurs, "ORT cubic Resize",
                    tRef);
    std::printf("  speed-up %.2fx, max |ours - ORT| = %.3g\n", tRef / tOurs, maxDiff);
  }
  return 0;
}
