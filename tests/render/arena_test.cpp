// The run discipline of tq_ort: per-frame runs keep the shared arena, the arena
// is trimmed when the process idles. Renders must not change, resident memory
// must not grow across frames, and a trim must hand memory back without touching
// tensors of runs in flight.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "compute/tq_simd.h"
#include "render/gridsample_fast.h"
#include "render/tq_ort.h"
#include "render/tq_renderer.h"
#include "tq_test_util.h"

namespace {

long residentKb() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Fixture {
  tqtest::TempDir tmp;
  tq::Manifest m;
  std::unique_ptr<tq::Identity> id;
  explicit Fixture(int crop) {
    const std::string dir = tmp / "b";
    EXPECT_TRUE(tqtest::runFixtureTool(
        {"identity-bundle", dir, "--nt", "3", "--crop", std::to_string(crop), "--director", "b1"}));
    m = tq::loadManifest(dir);
    id = std::make_unique<tq::Identity>(m);
  }
};

// The same rewritten graph in a session of its own (its own arena), run the way
// the renderer used to run: arena shrinkage requested on every run.
struct ShrinkingSession {
  std::unique_ptr<Ort::Session> s;
  Ort::RunOptions shrink;
  int crop;
  ShrinkingSession(const tq::Manifest& m) : crop(m.crop) {
    std::ifstream f(m.modelPath("b1"), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    tq::rewriteGridSampleToFast(bytes);
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(1);
    tq::registerGridSampleFast(so);
    s = std::make_unique<Ort::Session>(tq::ortEnv(), bytes.data(), bytes.size(), so);
    shrink.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  }
  std::vector<float> run(const tq::Identity& id, int si, std::vector<float> ks, std::vector<float> kd) {
    const std::size_t side = static_cast<std::size_t>(crop);
    std::vector<float> pooled(65536), prior(3 * side * side);
    tq::halfToFloat(id.pooled64(si), pooled.data(), pooled.size());
    tq::halfToFloat(id.P(si), prior.data(), prior.size());
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const int64_t c = crop;
    std::vector<int64_t> ps = {1, 64, 32, 32}, rs = {1, 3, c, c}, kshape = {1, 21, 3};
    std::vector<Ort::Value> in;
    in.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), ps.data(), 4));
    in.push_back(Ort::Value::CreateTensor<float>(mem, prior.data(), prior.size(), rs.data(), 4));
    in.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), 63, kshape.data(), 3));
    in.push_back(Ort::Value::CreateTensor<float>(mem, ks.data(), 63, kshape.data(), 3));
    const char* names[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
    const char* outName[] = {"rgb"};
    auto out = s->Run(shrink, names, in.data(), 4, outName, 1);
    const float* o = out[0].GetTensorData<float>();
    return std::vector<float>(o, o + 3 * side * side);
  }
};

std::vector<float> keypoints(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.6f, 0.6f);
  std::vector<float> v(63);
  for (auto& x : v) x = u(rng);
  return v;
}

bool sameBits(const float* a, const std::vector<float>& b) {
  return std::memcmp(a, b.data(), b.size() * sizeof(float)) == 0;
}

TEST(Arena, RendersAreBitIdenticalToShrinkEachRun) {
  Fixture fx(48);
  tq::Renderer r(fx.m, *fx.id, "b1", 1, "");
  ShrinkingSession ref(fx.m);
  for (int k = 0; k < 40; ++k) {
    const int si = k % 3;
    const auto ks = keypoints(100 + k), kd = keypoints(500 + k);
    const float* got = r.render(&si, ks.data(), kd.data(), 1);
    EXPECT_TRUE(sameBits(got, ref.run(*fx.id, si, ks, kd))) << "frame " << k;
    // Trims between frames, as an idle process would see them, change nothing either.
    if (k % 10 == 9) tq::ortTrimArena();
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their allocators hold freed blocks back
#else
constexpr bool kSanitized = false;
#endif

TEST(Arena, ResidentMemoryIsFlatAcrossFramesAndReturnedByATrim) {
  if (kSanitized) GTEST_SKIP() << "resident memory is the sanitizer allocator's under a sanitizer";
  Fixture fx(160);
  tq::Renderer r(fx.m, *fx.id, "b1", 1, "");
  auto frame = [&](int k) {
    const int si = k % 3;
    const auto ks = keypoints(7), kd = keypoints(900 + k % 17);
    r.render(&si, ks.data(), kd.data(), 1);
  };
  for (int k = 0; k < 5; ++k) frame(k);
  const long warm = residentKb();
  for (int k = 5; k < 105; ++k) frame(k);
  const long end = residentKb();
  // The graph's working block at this crop is about 8 MiB: an arena that kept
  // a block per frame would grow by gigabytes.
  EXPECT_LT(end - warm, 4096) << "resident memory grew from " << warm << " kB to " << end << " kB over 100 frames";
  tq::ortTrimArena();
  const long trimmed = residentKb();
  EXPECT_LT(trimmed, end - 4096) << "a trim returned nothing: " << end << " kB -> " << trimmed << " kB";
  // The idle trimmer does the same on its own once nothing runs. After the
  // first trim glibc serves the block from its heap and hands it back with
  // madvise, which qemu-user does not carry out: not observable there.
  if (tqtest::underEmulation()) return;
  frame(0);
  const long active = residentKb();
  long idle = active;
  for (int waited = 0; waited < 20000 && idle > active - 4096; waited += 100) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    idle = residentKb();
  }
  EXPECT_LT(idle, active - 4096) << "no idle trim: " << active << " kB -> " << idle << " kB";
}

// Two renderers on two threads share the arena while a third thread trims it
// continuously: a trim that freed a region under a run in flight would corrupt
// that run's output (or crash under the address sanitizer).
TEST(Arena, TrimsDuringRunsOnOtherThreadsChangeNoRender) {
  Fixture fx(48);
  std::vector<std::vector<float>> want;
  {
    ShrinkingSession ref(fx.m);
    for (int k = 0; k < 12; ++k) want.push_back(ref.run(*fx.id, k % 3, keypoints(k), keypoints(50 + k)));
  }
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  auto worker = [&](int offset) {
    tq::Renderer r(fx.m, *fx.id, "b1", 1, "");
    for (int k = 0; k < 36; ++k) {
      const int f = (k + offset) % 12, si = f % 3;
      const auto ks = keypoints(f), kd = keypoints(50 + f);
      if (!sameBits(r.render(&si, ks.data(), kd.data(), 1), want[static_cast<std::size_t>(f)])) ++mismatches;
    }
  };
  std::thread trimmer([&] {
    while (!done.load()) tq::ortTrimArena();
  });
  std::thread a(worker, 0), b(worker, 5);
  a.join();
  b.join();
  done = true;
  trimmer.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
