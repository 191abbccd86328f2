// Teeth pass on a 512 canvas with a 96 x 128 window and a bank of 1024 donors:
//  - headForward on 64 candidates against ONNX Runtime running the same head
//    graph (built by the fixture tool with the onnx package), at 1 and 4
//    threads (goal: ratio <= 0.8);
//  - retrieve over the 1024 donors against a plain read of the bytes it
//    touches: the pooled index, the short list's patches and the frame window
//    (goal: ratio <= 3);
//  - allocations per pushed frame once warm (goal: 0).
// The thread count of the library's pool is fixed per process, so the parent
// runs itself once per thread count.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench_alloc_count.h"
#include "bench_util.h"
#include "compute/tq_pool.h"
#include "render/tq_ort.h"
#include "tessera/tq_teeth_pass.h"

namespace {

using tq::tessera::TeethPass;

std::vector<uint8_t> readFile(const std::string& path) {
  std::vector<uint8_t> b;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    for (int c; (c = std::fgetc(f)) != EOF;) b.push_back(uint8_t(c));
    std::fclose(f);
  }
  return b;
}

// Best times of a and b, measured in alternation so that a machine whose load
// changes during the run treats both alike.
template <class A, class B>
std::pair<double, double> bestPair(A&& a, B&& b, int reps, int inner) {
  double ta = 1e30, tb = 1e30;
  for (int r = 0; r < reps; ++r) {
    ta = std::min(ta, tqbench::bestSeconds(a, 1, inner));
    tb = std::min(tb, tqbench::bestSeconds(b, 1, inner));
  }
  return {ta, tb};
}

int child(const std::string& dir, bool quick) {
  const int reps = quick ? 1 : 9, inner = quick ? 1 : 3;
  const int threads = tq::pool::threads();
  tq::tessera::BankData bank;
  bank.stamp = tq::GeometryStamp::fromValues({512, 512, 192, 300, 128, 96, 8, 16, 80, 16, 112, 4});
  bank.n_donors = 1024;
  const int sh = 64 + 8, sw = 96 + 8;
  std::mt19937 rng(7);
  bank.patches.resize(std::size_t(bank.n_donors) * sh * sw * 3);
  for (auto& v : bank.patches) v = uint8_t(120 + rng() % 120);
  std::normal_distribution<double> jitter(0.0, 3.0);
  bank.c_canon = {256.0, 348.0};
  for (int d = 0; d < bank.n_donors; ++d) {
    bank.cent.push_back(256.0 + jitter(rng));
    bank.cent.push_back(348.0 + jitter(rng));
    bank.aperture.push_back(0.3 + (rng() % 1000) / 2500.0);
  }
  const std::vector<uint8_t> pt = readFile(dir + "/head.pt");
  tq::tessera::ServeConfig cfg;  // the head config's defaults: kshort 512, cut 96, K 64
  TeethPass pass(bank, tq::tessera::loadHeadPt(pt), cfg);

  // A frame: a bright mouth under an elliptical mask around c_canon.
  std::vector<uint8_t> rgb(512 * 512 * 3), mask(512 * 512);
  for (int y = 0; y < 512; ++y)
    for (int x = 0; x < 512; ++x) {
      const double r = std::hypot((y - 349.0) / 30, (x - 255.0) / 50);
      mask[y * 512 + x] = r < 1 ? 255 : 0;
      for (int c = 0; c < 3; ++c) rgb[(y * 512 + x) * 3 + c] = uint8_t(r < 1 ? 150 + rng() % 90 : 90 + rng() % 60);
    }

  // headForward on 64 candidates against ORT on the same graph.
  const int n = 64, H = pass.windowH(), W = pass.windowW();
  const std::size_t plane = std::size_t(H) * W;
  std::vector<float> cands(n * 3 * plane), query(n * 3 * plane), weights((n + 1) * plane), blended(3 * plane);
  for (auto& v : cands) v = (rng() % 256) / 255.0f;
  for (std::size_t k = 0; k < 3 * plane; ++k) query[k] = (rng() % 256) / 255.0f;
  for (int i = 1; i < n; ++i) std::copy(query.begin(), query.begin() + 3 * plane, query.begin() + i * 3 * plane);
  tq::ortInit();
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  auto session = tq::makeSession(dir + "/head.onnx", so);
  const int64_t shape[] = {n, 3, H, W}, bandShape[] = {1, H, W};
  std::unique_ptr<bool[]> band(new bool[plane]);
  for (std::size_t k = 0; k < plane; ++k) band[k] = pass.bandMask()[k] != 0;
  Ort::Value in[] = {Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), cands.data(), cands.size(), shape, 4),
                     Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), query.data(), query.size(), shape, 4),
                     Ort::Value::CreateTensor<bool>(tq::ortCpuMemory(), band.get(), plane, bandShape, 3)};
  const char* inNames[] = {"cands", "query", "band"};
  const char* outNames[] = {"weights", "blended"};
  const auto head = bestPair(
      [&] {
        pass.headForward(cands.data(), n, query.data(), pass.bandMask().data(), weights.data(), blended.data());
        tqbench::keep(blended[0]);
      },
      [&] {
        auto out = session->Run(Ort::RunOptions{nullptr}, inNames, in, 3, outNames, 2);
        tqbench::keep(out);
      },
      reps, inner);
  const double ours = head.first, ort = head.second;
  tqbench::report("headForward 64 x 96x128, " + std::to_string(threads) + " thr", ours, "ORT head graph", ort, "us");

  // retrieve over 1024 donors against one plain read of what it reads.
  int32_t dy = 0, dx = 0;
  std::string reason;
  if (!pass.deriveShift(mask.data(), nullptr, dy, dx, reason)) {
    std::fprintf(stderr, "bench frame refused: %s\n", reason.c_str());
    return 1;
  }
  pass.retrievePrepare(rgb.data(), mask.data(), dy, dx);
  std::vector<int32_t> sel;
  // The index (3 x 24 x 32 halves per donor), 512 stored patches and the frame window.
  const std::size_t indexBytes = std::size_t(bank.n_donors) * 3 * (H / 4) * (W / 4) * 2;
  const std::size_t patchBytes = std::size_t(512) * sh * sw * 3;
  std::vector<uint8_t> indexCopy(indexBytes, 1);
  const auto rt = bestPair([&] { pass.retrieve(rgb.data(), dy, dx, sel); tqbench::keep(sel[0]); },
                           [&] {
                             uint64_t s = 0;
                             for (uint8_t v : indexCopy) s += v;
                             for (std::size_t k = 0; k < patchBytes; ++k) s += bank.patches[k];
                             for (int y = 0; y < H; ++y)
                               for (int x = 0; x < W * 3; ++x) s += rgb[(300 + y) * 512 * 3 + 192 * 3 + x];
                             tqbench::keep(s);
                           },
                           reps, inner);
  const double retr = rt.first, plain = rt.second;
  tqbench::report("retrieve 1024 donors, kshort 512, " + std::to_string(threads) + " thr", retr,
                  "plain read", plain, "us");

  // Whole frames once warm: the pass should not allocate.
  tq::tessera::FrameResult fr;
  for (int i = 0; i < 3; ++i) pass.push(i, rgb.data(), mask.data(), nullptr, fr);
  tqbench::gAllocs = 0;
  tqbench::gArmed = true;
  for (int i = 3; i < 6; ++i) pass.push(i, rgb.data(), mask.data(), nullptr, fr);
  tqbench::gArmed = false;
  std::printf("push, warm: %.1f allocations per frame\n", double(tqbench::gAllocs.load()) / 3);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = tqbench::quick(argc, argv);
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--child") return child(argv[i + 1], quick);
  const char* src = std::getenv("TQ_SOURCE_DIR");
  const std::string dir = "/tmp/tq_bench_teeth_" + std::to_string(getpid());
  const std::string tool = std::string(src ? src : ".") + "/tools/tq_fixtures.py";
  if (std::system(("/usr/bin/python3 " + tool + " teeth-pass " + dir + " >/dev/null").c_str()) != 0) {
    std::fprintf(stderr, "fixture tool failed (set TQ_SOURCE_DIR)\n");
    return 1;
  }
  int rc = 0;
  if (quick) {  // the smoke run stays in this process (a re-run would need the emulator under qemu-user)
    rc = child(dir, true);
    std::system(("rm -rf " + dir).c_str());
    return rc ? 1 : 0;
  }
  for (const char* t : {"1", "4"}) {
    const std::string cmd = std::string("TQ_CORE_THREADS=") + t + " /proc/" + std::to_string(getpid()) +
                            "/exe --child " + dir;
    rc |= std::system(cmd.c_str());
  }
  std::system(("rm -rf " + dir).c_str());
  return rc ? 1 : 0;
}
