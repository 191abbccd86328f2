// The "com.vexamo" domain is built once, on first use, even when several threads
// reach for it at the same moment, and every session registered through either
// entry point runs GridSampleFast.
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "render/gridsample_fast.h"
#include "render/tq_ort.h"
#include "tq_test_util.h"

namespace {

TEST(VexamoDomain, FirstUseFromManyThreadsAtOnce) {
  tqtest::TempDir dir;
  const std::string path = dir / "baked.onnx";
  ASSERT_TRUE(tqtest::runFixtureTool(
      {"gs-graph", "--out", path, "--dynamic", "--nodes",
       R"([{"op": "GridSampleFast", "domain": "com.vexamo", "mode": null, "padding_mode": null}])"}));
  const std::vector<uint8_t> model = tqtest::readBytes(path);
  ASSERT_FALSE(model.empty());

  const int C = 2, H = 9, W = 7;
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> u(-1.1f, 1.1f);
  std::vector<float> X(C * H * W), grid(H * W * 2), want(C * H * W);
  for (auto& v : X) v = u(rng);
  for (auto& v : grid) v = u(rng);
  tq::gridsample_fast(X.data(), grid.data(), want.data(), C, H, W);
  for (auto& v : want) v = v + 0.25f;  // the fixture's bias

  const int threads = tqtest::underEmulation() ? 2 : 6;
  std::atomic<int> ready{0};
  std::vector<const Ort::CustomOpDomain*> domains(threads, nullptr);
  std::vector<std::string> errors(threads);
  std::vector<std::vector<float>> results(threads);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < threads) std::this_thread::yield();
      try {
        tq::ortInit();
        Ort::SessionOptions so;
        so.SetIntraOpNumThreads(1);
        so.SetInterOpNumThreads(1);
        if (t % 2) {
          tq::registerWarpDirector(so);
        } else {
          tq::registerGridSampleFast(so);
        }
        domains[t] = &tq::vexamoDomain();
        auto sessionPtr = tq::makeSession(model.data(), model.size(), so);
        Ort::Session& session = *sessionPtr;
        auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
        std::vector<float> x = X, g = grid;
        const int64_t xs[4] = {1, C, H, W}, gs[4] = {1, H, W, 2};
        Ort::Value in[2] = {Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xs, 4),
                            Ort::Value::CreateTensor<float>(mem, g.data(), g.size(), gs, 4)};
        const char* inNames[] = {"X", "grid"};
        const char* outNames[] = {"Y"};
        auto out = session.Run(Ort::RunOptions{nullptr}, inNames, in, 2, outNames, 1);
        const float* p = out[0].GetTensorData<float>();
        results[t].assign(p, p + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
      } catch (const std::exception& e) {
        errors[t] = e.what();
      }
    });
  }
  for (auto& th : pool) th.join();
  for (int t = 0; t < threads; ++t) {
    EXPECT_EQ(errors[t], "") << "thread " << t;
    EXPECT_EQ(domains[t], &tq::vexamoDomain()) << "thread " << t;
    ASSERT_EQ(results[t].size(), want.size()) << "thread " << t;
    EXPECT_EQ(std::memcmp(results[t].data(), want.data(), want.size() * sizeof(float)), 0) << "thread " << t;
  }
}

}  // namespace
