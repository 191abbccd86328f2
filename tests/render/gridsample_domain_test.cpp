// The "com.vexamo" domain is built once, on first use, even when several threads
// reach for it at the same moment, and every session registered through either
// entry point runs GridSampleFast.
#include "render_test_util.h"

TEST(VexamoDomain, FirstUseFromManyThreadsAtOnce) {
  tqtest::TempDir dir;
  const rtest::Bytes model = rtest::gsGraph(dir, "baked.onnx", {"--dynamic", "--nodes", rtest::kBakedNode});
  ASSERT_FALSE(model.empty());
  const int C = 2, H = 9, W = 7;
  std::mt19937 rng(2);
  const rtest::Tensor x{{1, C, H, W}, rtest::randomValues(C * H * W, -1.1f, 1.1f, rng)};
  const rtest::Tensor grid{{1, H, W, 2}, rtest::randomValues(H * W * 2, -1.1f, 1.1f, rng)};
  std::vector<float> want(C * H * W);
  tq::gridsample_fast(x.data.data(), grid.data.data(), want.data(), C, H, W);
  for (auto& v : want) v = v + 0.25f;  // the fixture's bias
  const int threads = tqtest::underEmulation() ? 2 : 6;
  std::atomic<int> ready{0};
  std::vector<const Ort::CustomOpDomain*> domains(threads, nullptr);
  std::vector<std::string> errors(threads);
  std::vector<std::vector<float>> results(threads);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < threads) std::this_thread::yield();
      errors[t] = tqtest::thrown([&] {
        tq::ortInit();
        Ort::SessionOptions so;
        so.SetIntraOpNumThreads(1);
        (t % 2 ? tq::registerWarpDirector : tq::registerGridSampleFast)(so);
        domains[t] = &tq::vexamoDomain();
        auto session = tq::makeSession(model.data(), model.size(), so);
        results[t] = rtest::run(*session, {"X", "grid"}, {x, grid}, "Y");
      });
    });
  for (auto& th : pool) th.join();
  for (int t = 0; t < threads; ++t) {
    EXPECT_EQ(errors[t], "(nothing thrown)") << "thread " << t;
    EXPECT_EQ(domains[t], &tq::vexamoDomain()) << "thread " << t;
    EXPECT_EQ(results[t], want) << "thread " << t;
  }
}
