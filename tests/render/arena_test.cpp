// The run discipline of tq_ort: per-frame runs keep the shared arena, the arena
// is trimmed when the process idles. Renders must not change, resident memory
// must not grow across frames, and a trim must hand memory back without touching
// tensors of runs in flight.
#include "render/tq_renderer.h"
#include "render_test_util.h"

namespace {

long residentKb() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their allocators hold freed blocks back
#else
constexpr bool kSanitized = false;
#endif

TEST(Arena, ResidentMemoryIsFlatAcrossFramesAndReturnedByATrim) {
  if (kSanitized) GTEST_SKIP() << "resident memory is the sanitizer allocator's under a sanitizer";
  rtest::Bundle b(160, "raw", {{"b1", {}}});
  tq::Renderer r(b.m, *b.id, "b1", 1, "");
  const auto ks = rtest::keypoints(1, 7);
  auto frame = [&](int k) {
    const int si = k % 3;
    r.render(&si, ks.data(), rtest::keypoints(1, 900 + k % 17).data(), 1);
  };
  for (int k = 0; k < 5; ++k) frame(k);
  const long warm = residentKb();
  for (int k = 5; k < 105; ++k) frame(k);
  const long end = residentKb();
  // The graph's working block at this crop is about 8 MiB: an arena that kept
  // a block per frame would grow by gigabytes.
  EXPECT_LT(end - warm, 4096) << "resident memory grew from " << warm << " kB to " << end << " kB over 100 frames";
  tq::ortTrimArena();
  EXPECT_LT(residentKb(), end - 4096) << "a trim returned nothing";
  // The idle trimmer does the same on its own once nothing runs. After the
  // first trim glibc serves the block from its heap and hands it back with
  // madvise, which qemu-user does not carry out: not observable there.
  if (tqtest::underEmulation()) return;
  frame(0);
  const long active = residentKb();
  long idle = active;
  for (int waited = 0; waited < 20000 && idle > active - 4096; waited += 100)
    std::this_thread::sleep_for(std::chrono::milliseconds(100)), idle = residentKb();
  EXPECT_LT(idle, active - 4096) << "no idle trim: " << active << " kB -> " << idle << " kB";
}

// Two renderers on two threads share the arena while a third thread trims it
// continuously: a trim that freed a region under a run in flight would corrupt
// that run's output (or crash under the address sanitizer). The reference is the
// same rewritten graph in a session with an arena of its own.
TEST(Arena, TrimsDuringRunsOnOtherThreadsChangeNoRender) {
  rtest::Bundle b(48, "raw", {{"b1", {}}});
  std::vector<std::vector<float>> want;
  {
    rtest::DirectorSession ref(b.m, "b1", false, true);
    for (int k = 0; k < 12; ++k)
      want.push_back(ref.run(*b.id, k % 3, rtest::keypoints(1, k).data(), rtest::keypoints(1, 50 + k).data()));
  }
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  auto worker = [&](int offset) {
    tq::Renderer r(b.m, *b.id, "b1", 1, "");
    for (int k = 0; k < 36; ++k) {
      const int f = (k + offset) % 12, si = f % 3;
      const auto ks = rtest::keypoints(1, f), kd = rtest::keypoints(1, 50 + f);
      const float* got = r.render(&si, ks.data(), kd.data(), 1);
      if (std::vector<float>(got, got + want[f].size()) != want[f]) ++mismatches;
    }
  };
  std::thread trimmer([&] {
    while (!done.load()) tq::ortTrimArena();
  });
  std::thread t1(worker, 0), t2(worker, 5);
  t1.join();
  t2.join();
  done = true;
  trimmer.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
