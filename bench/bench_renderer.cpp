// Renderer overhead: Renderer::render of a director graph against a bare ONNX
// Runtime session running the same rewritten graph on inputs prepared once, so
// the ratio is what the renderer adds per frame (half-float widening, copies).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_util.h"
#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "compute/tq_simd.h"
#include "render/gridsample_fast.h"
#include "render/tq_ort.h"
#include "render/tq_renderer.h"

int main(int argc, char** argv) {
  const bool q = tqbench::quick(argc, argv);
  const int crop = q ? 64 : 256, reps = q ? 2 : 7, inner = q ? 2 : 10;
  char tmpl[] = "/tmp/tq_bench_renderer.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = std::string(tmpl) + "/b";
  const char* src = std::getenv("TQ_SOURCE_DIR");
  const std::string tool = std::string("env -u LD_LIBRARY_PATH /usr/bin/python3 ") + (src ? src : ".") +
                           "/tools/tq_fixtures.py identity-bundle " + dir + " --nt 2 --crop " +
                           std::to_string(crop) + " --director b1";
  if (std::system(tool.c_str()) != 0) {
    std::printf("fixture tool failed: %s\n", tool.c_str());
    return 1;
  }
  setenv("TQ_ORT_SPIN", "0", 1);
  const tq::Manifest m = tq::loadManifest(dir);
  tq::Identity id(m);
  tq::Renderer r(m, id, "b1", 1, "");
  std::vector<float> kp(63, 0.1f), kd(63, 0.12f);
  const int si = 1;
  const double tRender = tqbench::bestSeconds([&] { r.render(&si, kp.data(), kd.data(), 1); }, reps, inner);

  // The bare session: same bytes after the same GridSample rewrite, inputs widened once.
  std::ifstream f(m.modelPath("b1"), std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  tq::rewriteGridSampleToFast(bytes);
  Ort::Env& env = tq::ortEnv();
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  tq::registerGridSampleFast(so);
  Ort::Session s(env, bytes.data(), bytes.size(), so);
  const size_t side = static_cast<size_t>(crop);
  std::vector<float> pooled(65536), prior(3 * side * side), out(3 * side * side);
  tq::halfToFloat(id.pooled64(si), pooled.data(), pooled.size());
  tq::halfToFloat(id.P(si), prior.data(), prior.size());
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t c = crop;
  std::vector<int64_t> ps = {1, 64, 32, 32}, rs = {1, 3, c, c}, ks = {1, 21, 3};
  Ort::IoBinding bind(s);
  std::vector<Ort::Value> vals;
  vals.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), ps.data(), 4));
  vals.push_back(Ort::Value::CreateTensor<float>(mem, prior.data(), prior.size(), rs.data(), 4));
  vals.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), 63, ks.data(), 3));
  vals.push_back(Ort::Value::CreateTensor<float>(mem, kp.data(), 63, ks.data(), 3));
  vals.push_back(Ort::Value::CreateTensor<float>(mem, out.data(), out.size(), rs.data(), 4));
  bind.BindInput("pooled64", vals[0]);
  bind.BindInput("P_rgb", vals[1]);
  bind.BindInput("kp_driving", vals[2]);
  bind.BindInput("kp_source", vals[3]);
  bind.BindOutput("rgb", vals[4]);
  Ort::RunOptions ro;
  const double tBare = tqbench::bestSeconds([&] { s.Run(ro, bind); }, reps, inner);
  Ort::RunOptions shrink;
  shrink.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  const double tShrink = tqbench::bestSeconds([&] { s.Run(shrink, bind); }, reps, inner);
  // The renderer asks for arena shrinkage on every run (memory over speed); the
  // overhead proper is measured against a bare run with the same run options.
  tqbench::report("Renderer::render crop " + std::to_string(crop) + " (1 thread)", tRender,
                  "bare run, same options", tShrink);
  tqbench::report("bare run, arena shrinkage each run", tShrink, "bare run, arena kept", tBare);
  std::printf("renderer overhead ratio %.3f (goal <= 1.05); arena shrinkage costs %.2fx\n", tRender / tShrink,
              tShrink / tBare);
  const std::string rm = std::string("rm -rf ") + tmpl;
  return std::system(rm.c_str()) == 0 ? 0 : 1;
}
