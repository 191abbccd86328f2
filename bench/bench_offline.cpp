// Offline clips with the fixture graphs:
//   1. tq_fca_deltas on 60 s of speech (10 s with --quick), split into encoder,
//      own arithmetic and decoder; the encoder time against a bare ONNX Runtime
//      session running the same windows;
//   2. tq_stream_run (crop 512 into 1920 x 1080) against the sequential
//      render + paste loop on the same frames, with the overlap's ideal speed-up
//      (r + p) / max(r, p) from the loop's own stage times.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/tq_audio_window.h"
#include "audio/tq_fca.h"
#include "bench_util.h"
#include "render/tq_ort.h"
#include "tq/tq.h"

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

bool tool(const std::string& args) {
  const char* src = std::getenv("TQ_SOURCE_DIR");
  const std::string cmd = std::string("env -u LD_LIBRARY_PATH /usr/bin/python3 ") + (src ? src : ".") +
                          "/tools/tq_fixtures.py " + args + " >/dev/null";
  if (std::system(cmd.c_str()) == 0) return true;
  std::printf("fixture tool failed: %s\n", cmd.c_str());
  return false;
}

std::vector<float> readF32(const std::string& path) {
  std::vector<float> v;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    float buf[4096];
    for (std::size_t n; (n = std::fread(buf, 4, 4096, f)) > 0;) v.insert(v.end(), buf, buf + n);
    std::fclose(f);
  }
  return v;
}

// The encoder windows of a clip of `frames` frames run bare: same options, same inputs.
double bareEncoder(const std::string& w2v, const std::vector<float>& audio, int64_t frames) {
  tq::ortInit();
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(1);
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  auto session = tq::makeSession(w2v, o);
  std::vector<float> win(tq::Fca::kWindow);
  const int64_t shape[] = {1, tq::Fca::kWindow};
  const char* in[] = {"input_values"};
  const char* out[] = {"audio_emb"};
  double spent = 0;
  for (int64_t w = 0; w < frames; w += 100) {
    if (w == 0) {  // warm-up run, not timed
      Ort::Value x = Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), win.data(), win.size(), shape, 2);
      Ort::Value y{nullptr};
      tq::ortRun(*session, in, &x, 1, out, &y, 1);
    }
    if (w > 0 && w + 100 >= frames) break;  // the engine skips a window that fills nothing new
    tq::copyAudioWindow(audio.data(), 0, static_cast<int64_t>(audio.size()), w * 640, win.data(), win.size());
    tq::normaliseAudioWindow(win.data(), win.size());
    Ort::Value x = Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), win.data(), win.size(), shape, 2);
    Ort::Value y{nullptr};
    const auto t0 = Clock::now();
    tq::ortRun(*session, in, &x, 1, out, &y, 1);
    spent += since(t0);
  }
  return spent;
}

void benchFca(const std::string& dir, bool quick) {
  const std::string w2v = dir + "/w2v/w2v8.onnx", dec = dir + "/fca_stream.onnx";
  std::vector<float> clip = readF32(dir + "/clips/speech10s.f32"), audio;
  const std::size_t want = (quick ? 10 : 60) * 16000;
  while (audio.size() < want) audio.insert(audio.end(), clip.begin(), clip.end());
  audio.resize(want);
  const int64_t frames = tq::Fca::framesFor(static_cast<int64_t>(audio.size()));
  tq::Fca fca(w2v, dec, 1);
  std::vector<float> out(static_cast<std::size_t>(frames) * 63);
  tq::Fca::Split best;
  best.total = 1e30;
  fca.deltas(audio.data(), static_cast<int64_t>(audio.size()), out.data());  // warm-up
  for (int r = 0; r < (quick ? 1 : 5); ++r) {
    fca.deltas(audio.data(), static_cast<int64_t>(audio.size()), out.data());
    if (fca.lastSplit().total < best.total) best = fca.lastSplit();
  }
  double bare = 1e30;
  for (int r = 0; r < (quick ? 1 : 5); ++r) bare = std::min(bare, bareEncoder(w2v, audio, frames));
  const double own = best.total - best.encoder - best.decoder;
  std::printf("tq_fca_deltas, %zu s of speech (%lld frames), 1 intra-op thread: total %.3f s\n",
              audio.size() / 16000, static_cast<long long>(frames), best.total);
  std::printf("  encoder %.3f s | own arithmetic %.3f s | decoder %.3f s\n", best.encoder, own, best.decoder);
  std::printf("  own arithmetic share of total %.4f (goal <= 0.05)\n", own / best.total);
  tqbench::report("  encoder windows", best.encoder, "bare ORT session", bare, "us");
  std::printf("  encoder ratio ours/bare %.3f (goal <= 1.05)\n", best.encoder / bare);
}

void benchStream(const std::string& dir, bool quick) {
  const std::string bundle = dir + "/big", w2v = dir + "/w2v/w2v8.onnx";
  std::vector<float> audio = readF32(dir + "/clips/speech10s.f32");
  const int n = (quick ? 12 : 60) * 640;
  audio.resize(static_cast<std::size_t>(n));
  tq_stream* s = tq_stream_create(bundle.c_str(), w2v.c_str(), 1, 0, 1.0f);
  tq_ctx* ctx = tq_create(bundle.c_str(), "render", 1, "");
  tq_fca* fca = tq_fca_create(w2v.c_str(), (bundle + "/fca_stream.onnx").c_str(), 1);
  if (!s || !ctx || !fca) {
    std::printf("offline stream: setup failed: %s\n", tq_last_error());
    std::exit(1);
  }
  const int F = n / 640, nt = tq_nt(ctx);
  std::vector<float> off(static_cast<std::size_t>(F) * 63), drv(63);
  const std::vector<float> xs = readF32(bundle + "/xs_target.bin");
  tq_fca_deltas(fca, audio.data(), n, off.data(), F);
  std::vector<uint8_t> frame(static_cast<std::size_t>(tq_width(ctx)) * tq_height(ctx) * 3);
  // Both sides warm: director loaded, driver frames decoded once.
  tq_stream_run(s, audio.data(), 640 * 4, nullptr, nullptr);
  double r = 0, p = 0;
  const auto loop = [&] {
    for (int i = 0; i < F; ++i) {
      const int d = i % nt;
      for (int k = 0; k < 63; ++k) drv[k] = xs[d * 63 + k] + off[i * 63 + k];
      const auto t0 = Clock::now();
      const float* crop = tq_render_kp_crop(ctx, d, &xs[d * 63], drv.data());
      const auto t1 = Clock::now();
      tq_paste_crop(ctx, d, crop, frame.data(), frame.size());
      r += std::chrono::duration<double>(t1 - t0).count();
      p += since(t1);
    }
  };
  loop();  // warm-up
  r = p = 0;
  const double seq = tqbench::bestSeconds(loop, 1, 1);
  // The stream's run includes the FCA pass; it is timed alone and taken out.
  const double fcaTime = tqbench::bestSeconds([&] { tq_fca_deltas(fca, audio.data(), n, off.data(), F); }, 2, 1);
  const double streamed =
      tqbench::bestSeconds([&] { tq_stream_run(s, audio.data(), n, nullptr, nullptr); }, quick ? 1 : 2, 1) - fcaTime;
  const double ideal = (r + p) / std::max(r, p);
  std::printf("tq_stream_run, crop 512 into 1920x1080, %d frames: render %.2f ms + paste %.2f ms per frame\n", F,
              1e3 * r / F, 1e3 * p / F);
  std::printf("  stream %.2f fps | sequential loop %.2f fps | speed-up %.3f | ideal %.3f | ratio to 0.9 x ideal %.3f "
              "(goal >= 1)\n",
              F / streamed, F / seq, seq / streamed, ideal, (seq / streamed) / (0.9 * ideal));
  tq_fca_destroy(fca);
  tq_destroy(ctx);
  tq_stream_destroy(s);
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = tqbench::quick(argc, argv);
  char tmpl[] = "/tmp/tq_bench_offline.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  const bool ok = tool("a2x --out " + dir + "/motion --w2v-dir " + dir + "/w2v") &&
                  tool("fca-decoder " + dir + "/fca_stream.onnx") && tool("fca-clips " + dir + "/clips") &&
                  tool("fca-bundle " + dir + "/big --nt 4 --crop 512 --W 1920 --H 1080");
  if (ok) {
    benchFca(dir, quick);
    benchStream(dir, quick);
  }
  std::system(("rm -rf " + dir).c_str());
  return ok ? 0 : 1;
}
