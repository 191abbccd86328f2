// Int8ConvVNNI's once-only weight preparation when the first runs of one session race.
#include <atomic>
#include <thread>

#include "render/int8conv_vnni.h"
#include "render_test_util.h"

namespace {

TEST(Int8ConvVNNI, FirstRunsRacingOnOneSessionPrepareTheWeightsOnce) {
  tqtest::TempDir dir;
  ASSERT_TRUE(tqtest::runFixtureTool({"int8-conv", "--out-dir", dir.path(), "--case",
                                      R"({"C": 64, "M": 64, "H": 8, "W": 8, "pads": [1, 1, 1, 1]})"}));
  const rtest::Tensor x{tqtest::readAs<int64_t>(dir / "shape.bin"), tqtest::readAs<float>(dir / "x.bin")};
  const rtest::Bytes model = tqtest::readBytes(dir / "int8.onnx");
  tq::ortInit();
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);  // ONNX Runtime's own pool is not instrumented for ThreadSanitizer
  tq::registerInt8ConvVNNI(so);
  const auto solo = tq::makeSession(model.data(), model.size(), so);
  const std::vector<float> want = rtest::run(*solo, {"X"}, {x}, "Y");
  for (int round = 0; round < 5; ++round) {
    const auto shared = tq::makeSession(model.data(), model.size(), so);
    std::vector<std::vector<float>> got(3);
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    for (auto& g : got)
      threads.emplace_back([&] {
        for (++ready; ready < int(got.size());) std::this_thread::yield();
        g = rtest::run(*shared, {"X"}, {x}, "Y");
      });
    for (auto& t : threads) t.join();
    for (const auto& g : got) EXPECT_EQ(g, want) << round;
  }
}

}  // namespace
