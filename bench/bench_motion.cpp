// Motion engine: real-time factor on 60 s of speech with the time split into
// front end (log-mel + encoder), generator and stitching, against the same
// three graphs run bare through ONNX Runtime the same number of times on
// inputs prepared once; heap allocations per pulled frame in steady state;
// peak resident memory after 10 s and after 10 min of streamed speech.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/tq_motion.h"
#include "audio/tq_motion_mel.h"
#include "bench_util.h"
#include "render/tq_ort.h"

#include "bench_alloc_count.h"

using tqbench::gAllocs;
using tqbench::gArmed;

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Process CPU seconds: with one intra-op thread and no spinning the engine and
// the bare sessions each use one core, so CPU time is their cost on an idle
// machine even when other work shares the cores.
double cpu() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

long peakRssKiB() {
  struct rusage u {};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

std::vector<float> readF32(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<float> v(b.size() / 4);
  std::memcpy(v.data(), b.data(), v.size() * 4);
  return v;
}

struct Pulled {
  std::vector<int> idx = std::vector<int>(64);
  std::vector<float> src = std::vector<float>(64 * 63), drv = std::vector<float>(64 * 63);
  long n = 0;
  void from(tq::motion::MotionEngine& e) {
    for (int k; (k = e.pull(idx.data(), src.data(), drv.data(), 64)) > 0;) n += k;
  }
};

// Streams `samples` samples of x (looped) in 640-sample pushes, pulling as it goes.
void streamLooped(tq::motion::MotionEngine& e, const std::vector<float>& x, long samples, Pulled& p) {
  for (long at = 0; at < samples; at += 640) {
    const long off = at % static_cast<long>(x.size());
    const int n = static_cast<int>(std::min<long>({640, static_cast<long>(x.size()) - off, samples - at}));
    e.push(x.data() + off, n);
    p.from(e);
  }
}

// One bare session over caller buffers, as a host would run the graph directly.
struct Bare {
  std::unique_ptr<Ort::Session> s;
  std::vector<std::vector<float>> in;
  std::vector<float> out;
  std::vector<Ort::Value> inV;
  Ort::Value outV{nullptr};
  std::vector<std::string> names;
  std::vector<const char*> inN;
  const char* outN = nullptr;
  Ort::RunOptions ro;
  Bare(const std::string& path, const std::vector<std::vector<int64_t>>& inShapes, std::vector<int64_t> outShape) {
    Ort::SessionOptions o;
    o.SetIntraOpNumThreads(1);
    o.SetInterOpNumThreads(1);
    o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
    o.AddConfigEntry("session.intra_op.allow_spinning", "0");
    s = tq::makeSession(path, o);
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::AllocatorWithDefaultOptions a;
    for (size_t i = 0; i < inShapes.size(); ++i) {
      size_t n = 1;
      for (auto d : inShapes[i]) n *= static_cast<size_t>(d);
      in.emplace_back(n, 0.01f * static_cast<float>(i + 1));
      names.push_back(s->GetInputNameAllocated(i, a).get());
    }
    for (size_t i = 0; i < inShapes.size(); ++i)
      inV.push_back(Ort::Value::CreateTensor<float>(mem, in[i].data(), in[i].size(), inShapes[i].data(),
                                                    inShapes[i].size()));
    size_t n = 1;
    for (auto d : outShape) n *= static_cast<size_t>(d);
    out.assign(n, 0.0f);
    outV = Ort::Value::CreateTensor<float>(mem, out.data(), n, outShape.data(), outShape.size());
    names.push_back(s->GetOutputNameAllocated(0, a).get());
    for (size_t i = 0; i + 1 < names.size(); ++i) inN.push_back(names[i].c_str());
    outN = names.back().c_str();
  }
  // Seconds for `runs` runs.
  double time(long runs) {
    const double t0 = cpu();
    for (long r = 0; r < runs; ++r) s->Run(ro, inN.data(), inV.data(), inV.size(), &outN, &outV, 1);
    return cpu() - t0;
  }
};

}  // namespace

int main(int argc, char** argv) {
  const bool q = tqbench::quick(argc, argv);
  const double seconds = q ? 8 : 60;
  const long longStream = 16000L * (q ? 30 : 600), shortStream = 16000L * 10;
  char tmpl[] = "/tmp/tq_bench_motion.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = std::string(tmpl) + "/m", audio = std::string(tmpl) + "/speech.f32";
  const char* src = std::getenv("TQ_SOURCE_DIR");
  const std::string tool =
      std::string("env -u LD_LIBRARY_PATH /usr/bin/python3 ") + (src ? src : ".") + "/tools/tq_fixtures.py ";
  if (std::system((tool + "motion " + dir).c_str()) != 0 ||
      std::system((tool + "motion-audio " + audio + " --kind mixed --seconds " + std::to_string(seconds)).c_str()) != 0) {
    std::printf("fixture tool failed\n");
    return 1;
  }
  setenv("TQ_ORT_SPIN", "0", 1);
  const std::vector<float> x = readF32(audio);

  // ---- real-time factor over one utterance, best of a few.
  double best = 1e30, bestWall = 0;
  tq::motion::MotionTimes t{};
  long frames = 0;
  for (int rep = 0; rep < (q ? 1 : 5); ++rep) {
    tq::motion::MotionEngine e(dir, 1, "");
    e.reset(0, 1, true);
    Pulled p;
    const double t0 = cpu(), w0 = now();
    streamLooped(e, x, static_cast<long>(x.size()), p);
    e.finish();
    p.from(e);
    const double used = cpu() - t0;
    if (used < best) {
      best = used;
      bestWall = now() - w0;
      t = e.times();
      frames = p.n;
    }
  }
  const double audioS = x.size() / 16000.0;
  std::printf("motion engine, %.1f s of speech, %ld frames, 1 thread: %.3f s CPU (%.3f s wall), real-time factor "
              "%.4f (%.0fx faster than real time)\n",
              audioS, frames, best, bestWall, best / audioS, audioS / best);
  const double split = t.melMs + t.encoderMs + t.generatorMs + t.stitchMs;
  std::printf("  split of the engine wall time: front end %.1f%% (log-mel %.1f%%, "
              "encoder %.1f%%, %ld blocks) | generator %.1f%% (%ld chunks) | stitch %.1f%% (%ld frames) | rest %.1f%%\n",
              100 * (t.melMs + t.encoderMs) / (bestWall * 1e3), 100 * t.melMs / (bestWall * 1e3),
              100 * t.encoderMs / (bestWall * 1e3), t.blocks, 100 * t.generatorMs / (bestWall * 1e3), t.chunks,
              100 * t.stitchMs / (bestWall * 1e3), t.frames, 100 - 100 * split / (bestWall * 1e3));
  // The log-mel front end alone, as many blocks as the engine ran, on CPU time.
  const tq::motion::MotionTables tables = tq::motion::loadMotionTables(dir);
  const tq::motion::MelFrontEnd front(tables.window.data(), tables.binmat.data());
  std::vector<float> melOut(80 * 21);
  double melCpu = 1e30;
  for (int rep = 0; rep < 3; ++rep) {
    const double c0 = cpu();
    for (long b = 0; b < t.blocks; ++b) front.run(x.data() + (b * 3200) % (x.size() - 6480), melOut.data());
    melCpu = std::min(melCpu, cpu() - c0);
  }

  // ---- the same graphs bare, as many runs as the engine made.
  Bare hub(dir + "/hubert_student.onnx", {{1, 80, 21}}, {1, 20, 1024});
  Bare gen(dir + "/lmdm.onnx", {{1, 265}, {1, 80, 1103}}, {1, 80, 265});
  Bare sti(dir + "/stitch.onnx", {{1, 63}, {1, 63}}, {1, 21, 3});
  hub.time(3);
  gen.time(3);
  sti.time(3);
  double bh = 1e30, bg = 1e30, bs = 1e30;
  for (int rep = 0; rep < (q ? 1 : 3); ++rep) {
    bh = std::min(bh, hub.time(t.blocks));
    bg = std::min(bg, gen.time(t.chunks));
    bs = std::min(bs, sti.time(t.frames));
  }
  const double bare = bh + bg + bs;
  tqbench::report("motion engine, whole utterance (CPU)", best, "bare graph runs", bare, "us");
  std::printf("  bare: encoder %.1f ms, generator %.1f ms, stitch %.1f ms; log-mel front end alone %.1f ms\n", bh * 1e3,
              bg * 1e3, bs * 1e3, melCpu * 1e3);
  std::printf("engine overhead ratio (whole engine / bare graph runs, CPU time) %.3f; without the log-mel front end "
              "(%.1f ms) %.3f\n",
              best / bare, melCpu * 1e3, (best - melCpu) / bare);

  // ---- allocations per pulled frame in steady state, and peak memory.
  tq::motion::MotionEngine e(dir, 1, "");
  e.reset(0, 1, true);
  Pulled p;
  streamLooped(e, x, shortStream, p);
  const long rss10s = peakRssKiB();
  const long before = p.n;
  gAllocs = 0;
  gArmed = true;
  streamLooped(e, x, 16000L * 20, p);
  gArmed = false;
  const long steadyAllocs = gAllocs.load();
  const long steadyFrames = p.n - before;
  const std::size_t ws10 = e.workingBytes();
  streamLooped(e, x, longStream - shortStream - 16000L * 20, p);
  const long rssLong = peakRssKiB();
  // Pulls alone (frames already generated): the stitching run per frame.
  tq::motion::MotionEngine e2(dir, 1, "");
  e2.reset(0, 1, true);
  e2.push(x.data(), static_cast<int>(std::min<size_t>(x.size(), 16000 * 6)));
  Pulled p2;
  const int ready = e2.avail();
  std::vector<int> idx(1);
  std::vector<float> s1(63), d1(63);
  e2.pull(idx.data(), s1.data(), d1.data(), 1);
  gAllocs = 0;
  gArmed = true;
  long pulls = 0;
  for (int i = 1; i < ready; ++i) pulls += e2.pull(idx.data(), s1.data(), d1.data(), 1);
  gArmed = false;
  const long pullAllocs = gAllocs.load();
  // What ONNX Runtime itself allocates per run of the same graphs, bare.
  auto allocsPerRun = [](Bare& b, long runs) {
    gAllocs = 0;
    gArmed = true;
    b.time(runs);
    gArmed = false;
    return static_cast<double>(gAllocs.load()) / runs;
  };
  const double aSti = allocsPerRun(sti, 100), aHub = allocsPerRun(hub, 20), aGen = allocsPerRun(gen, 5);
  const double perFrameBare = aSti + aHub / 5 + aGen / 70;
  std::printf("heap allocations in steady state: %.2f per pulled frame over %ld frames of streaming (pushes, "
              "blocks, chunks, pulls) | bare runs of the same graphs %.2f per frame (stitch %.1f, encoder %.1f per "
              "5 frames, generator %.1f per 70 frames) | ratio %.3f\n",
              steadyFrames ? static_cast<double>(steadyAllocs) / steadyFrames : 0.0, steadyFrames, perFrameBare, aSti,
              aHub, aGen, steadyFrames ? static_cast<double>(steadyAllocs) / steadyFrames / perFrameBare : 0.0);
  std::printf("  pulls of ready frames: %.2f allocations per frame over %ld pulls, bare stitch run %.2f\n",
              pulls ? static_cast<double>(pullAllocs) / pulls : 0.0, pulls, aSti);
  std::printf("peak RSS after 10 s of streamed speech %ld KiB, after %ld s %ld KiB (ratio %.3f); engine windows %zu "
              "bytes then %zu bytes\n",
              rss10s, longStream / 16000, rssLong, static_cast<double>(rssLong) / rss10s, ws10, e.workingBytes());
  const std::string rm = std::string("rm -rf ") + tmpl;
  return std::system(rm.c_str()) == 0 ? 0 : 1;
}
