// The streaming audio-to-expression engine on real speech with the fixture graphs:
//   1. real-time factor of 60 s of speech pushed in 5120-sample pieces, split into
//      front end / encoder / decoder, against the same graph runs made bare through
//      ONNX Runtime (engine overhead ratio);
//   2. heap allocations per pulled frame in steady state (malloc interposed here),
//      against the bare runs' own;
//   3. peak RSS and the engine's buffer bytes after 10 s and after 10 min of speech.
// Default: the short-window frontend; --legacy: the 8-second window frontend.
#include <dlfcn.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "audio/tq_a2x_engine.h"
#include "audio/tq_audio_window.h"
#include "bench_util.h"
#include "render/tq_ort.h"

#include "bench_alloc_count.h"

using tqbench::gAllocs;
using tqbench::gArmed;

namespace {

using clk = std::chrono::steady_clock;
double since(clk::time_point t) { return std::chrono::duration<double>(clk::now() - t).count(); }

long long vmHwmKiB() {
  std::ifstream f("/proc/self/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
  return -1;
}

std::string run(const std::string& cmd) {
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "bench_a2x: failed: %s\n", cmd.c_str());
    std::exit(1);
  }
  return cmd;
}

std::vector<float> readF32(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  std::vector<float> v(static_cast<std::size_t>(f.tellg()) / 4);
  f.seekg(0);
  f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * 4));
  return v;
}

// About `seconds` of espeak-ng speech: sentences with short pauses.
std::vector<float> speech(const std::string& dir, double seconds) {
  run("espeak-ng -w " + dir + "/s.wav 'Audio drives the face of the avatar while the person speaks; every "
      "word moves the lips and the jaw.' && ffmpeg -loglevel error -y -i " + dir +
      "/s.wav -ar 16000 -ac 1 -f f32le " + dir + "/s.f32");
  const std::vector<float> s = readF32(dir + "/s.f32");
  std::vector<float> out;
  while (out.size() < static_cast<std::size_t>(seconds * 16000)) {
    out.insert(out.end(), s.begin(), s.end());
    out.insert(out.end(), 4000, 0.0f);
  }
  out.resize(static_cast<std::size_t>(seconds * 16000));
  return out;
}

struct StreamRun {
  double wall = 0;
  long long frames = 0, allocs = 0, countedFrames = 0;
};

// Pushes [from, to) seconds of the looped speech in 5120-sample pieces, pulling
// what is ready after each push; allocations count after `countFrom` seconds.
StreamRun streamSpeech(tq::A2x& e, const std::vector<float>& a, double seconds, double countFrom) {
  StreamRun r;
  int idx[32];
  static float src[32 * 63], drv[32 * 63];
  const long long total = static_cast<long long>(seconds * 16000);
  const auto t0 = clk::now();
  for (long long pos = 0; pos < total; pos += 5120) {
    const bool counting = pos >= static_cast<long long>(countFrom * 16000);
    if (counting && !gArmed) gArmed = true;
    e.push(a.data() + pos % static_cast<long long>(a.size() - 5120), 5120);
    e.avail();
    for (int n; (n = e.pull(idx, src, drv, nullptr, 32)) > 0;) {
      r.frames += n;
      if (counting) r.countedFrames += n;
    }
  }
  gArmed = false;
  r.wall = since(t0);
  r.allocs = gAllocs.exchange(0);
  return r;
}

// The same graph runs as the engine makes for `frames` frames, bare and in the
// engine's order: per 8-frame block the frontend's runs, one encoder run with its
// context, one decoder run per frame.
struct BareRun {
  double front = 0, enc = 0, dec = 0;
  long long allocs = 0;
};
BareRun bare(const std::string& motion, const std::string& w2vDir, bool legacy, const std::vector<float>& audio,
             long long frames, int L, int R) {
  using namespace tq;
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(1);
  o.SetInterOpNumThreads(1);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  BareRun b;
  const long long blocks = frames / 8;
  std::vector<float> win(legacy ? 128000 : 32000);
  const int64_t winShape[2] = {1, static_cast<int64_t>(win.size())}, hshape[2] = {8, 640};
  std::vector<float> hx(8 * 640, 0.1f);
  const char* winIn = "input_values";
  const char* legacyOut = "audio_emb";
  const char* trunkOut = "trunk_steps";
  const char* hin = "x";
  const char* hout = "emb";
  std::unique_ptr<Ort::Session> w2v, trunk, head;
  if (legacy) {
    w2v = makeSession(w2vDir + "/w2v8.onnx", o);
  } else {
    trunk = makeSession(w2vDir + "/audio_encoder_fp16_window_trunk.onnx", o);
    head = makeSession(w2vDir + "/audio_encoder_fp16_window_head.onnx", o);
  }

  auto enc = makeSession(motion + "/a2x_enc_stream.onnx", o);
  const int64_t T = L + 8 + R, h = 16;
  std::vector<float> feat(static_cast<std::size_t>(T) * 9216, 0.01f), pos(T * h, 0.1f), attn(T * T, 0.0f);
  for (int64_t i = 0; i < T; ++i)  // the banded mask the engine passes (left 4, window 2)
    for (int64_t j = 0; j < T; ++j) attn[i * T + j] = j >= i - 4 && j <= i + 2 ? 0.0f : -INFINITY;
  const int64_t fs[4] = {1, T, 12, 768}, ps[3] = {1, T, h}, as[4] = {1, 1, T, T};
  const char* encNames[3] = {"feat", "pos_window", "attn"};
  const char* encOuts[2] = {"ctx", "wn"};

  auto dec = makeSession(motion + "/a2x_dec.onnx", o);
  std::vector<float> ctx(16, 0.1f), prev(63, 0.0f), hid(16, 0.0f), m(63), ho(16);
  const int64_t cs[2] = {1, 16}, dps[2] = {1, 63}, hs[3] = {1, 1, 16};
  Ort::Value decIn[3] = {Ort::Value::CreateTensor<float>(mem, ctx.data(), 16, cs, 2),
                         Ort::Value::CreateTensor<float>(mem, prev.data(), 63, dps, 2),
                         Ort::Value::CreateTensor<float>(mem, hid.data(), 16, hs, 3)};
  Ort::Value decOut[2] = {Ort::Value::CreateTensor<float>(mem, m.data(), 63, dps, 2),
                          Ort::Value::CreateTensor<float>(mem, ho.data(), 16, hs, 3)};
  const char* decNames[3] = {"ctx_t", "prev", "h"};
  const char* decOuts[2] = {"m", "h_out"};

  // Block by block in the engine's order (front end, encoder, eight decoder steps),
  // so that each graph finds the caches as the engine leaves them; block -1 is an
  // untimed warm-up.
  gAllocs = 0;
  for (long long k = -1; k < blocks; ++k) {
    if (k == 0) gArmed = true;
    const bool timed = k >= 0;
    auto t0 = clk::now();
    std::memcpy(win.data(), audio.data() + ((k + 1) * 5120) % (audio.size() - win.size()), win.size() * 4);
    normaliseAudioWindow(win.data(), win.size());
    Ort::Value v = Ort::Value::CreateTensor<float>(mem, win.data(), win.size(), winShape, 2);
    if (legacy) {
      w2v->Run(Ort::RunOptions{nullptr}, &winIn, &v, 1, &legacyOut, 1);
    } else {
      auto t = trunk->Run(Ort::RunOptions{nullptr}, &winIn, &v, 1, &trunkOut, 1);
      Ort::Value hv = Ort::Value::CreateTensor<float>(mem, hx.data(), hx.size(), hshape, 2);
      head->Run(Ort::RunOptions{nullptr}, &hin, &hv, 1, &hout, 1);
    }
    auto t1 = clk::now();
    Ort::Value in[3] = {Ort::Value::CreateTensor<float>(mem, feat.data(), feat.size(), fs, 4),
                        Ort::Value::CreateTensor<float>(mem, pos.data(), pos.size(), ps, 3),
                        Ort::Value::CreateTensor<float>(mem, attn.data(), attn.size(), as, 4)};
    enc->Run(Ort::RunOptions{nullptr}, encNames, in, 3, encOuts, 2);
    auto t2 = clk::now();
    for (int f = 0; f < 8; ++f) {
      dec->Run(Ort::RunOptions{nullptr}, decNames, decIn, 3, decOuts, decOut, 2);
      std::memcpy(prev.data(), m.data(), 63 * 4);
      std::memcpy(hid.data(), ho.data(), 16 * 4);
    }
    auto t3 = clk::now();
    if (timed) {
      b.front += std::chrono::duration<double>(t1 - t0).count();
      b.enc += std::chrono::duration<double>(t2 - t1).count();
      b.dec += std::chrono::duration<double>(t3 - t2).count();
    }
  }
  gArmed = false;
  b.allocs = gAllocs.exchange(0);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = tqbench::quick(argc, argv);
  bool legacy = false;
  for (int i = 1; i < argc; ++i) legacy |= std::strcmp(argv[i], "--legacy") == 0;
  char tmpl[] = "/tmp/tq_bench_a2x.XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const char* src = std::getenv("TQ_SOURCE_DIR");
  run(std::string("env -u LD_LIBRARY_PATH /usr/bin/python3 ") + (src ? src : ".") + "/tools/tq_fixtures.py a2x --out " +
      dir + "/motion --w2v-dir " + dir + "/w2v" + (legacy ? "" : " --short") + " > /dev/null");
  setenv("W2V_ONNX", (dir + "/w2v/w2v8.onnx").c_str(), 1);
  const double seconds = quick ? 10.0 : 60.0;
  const std::vector<float> audio = speech(dir, 60.0);

  std::printf("tq_a2x %s frontend, 1 intra-op thread, fixture graphs (h=16, 2 layers, L=8, R=4)\n",
              legacy ? "legacy 8-second" : "short-window");
  double engineWall = 0;
  StreamRun r;
  tq::A2x::Stats st{};
  {
    tq::A2x e(dir + "/motion", 1);
    // Both sides are measured warm, with the process heap and ONNX Runtime's arenas
    // grown: the same speech once through the engine untimed (then a reset, as
    // between utterances), one untimed run of each graph in bare(), which runs after.
    streamSpeech(e, audio, seconds, seconds);
    e.reset(0, 1, 1);
    const tq::A2x::Stats warm = e.stats();
    r = streamSpeech(e, audio, seconds, seconds / 3);
    st = e.stats();
    st.frontendSec -= warm.frontendSec;
    st.encoderSec -= warm.encoderSec;
    st.decoderSec -= warm.decoderSec;
    engineWall = r.wall;
  }
  const BareRun b = bare(dir + "/motion", dir + "/w2v", legacy, audio, r.frames, 8, 4);
  const double bareWall = b.front + b.enc + b.dec;
  std::printf("%.0f s of speech, %lld frames: real-time factor %.4f (wall %.3f s)\n", seconds, r.frames,
              engineWall / seconds, engineWall);
  std::printf("  engine: front end %.3f s | encoder %.3f s | decoder %.3f s | rest %.3f s\n", st.frontendSec,
              st.encoderSec, st.decoderSec, engineWall - st.frontendSec - st.encoderSec - st.decoderSec);
  std::printf("  bare:   front end %.3f s | encoder %.3f s | decoder %.3f s\n", b.front, b.enc, b.dec);
  tqbench::report("stream " + std::to_string(static_cast<int>(seconds)) + " s of speech", engineWall, "bare ORT runs",
                  bareWall, "us");
  std::printf("  engine overhead ratio (engine wall / bare graph runs) %.3f\n", engineWall / bareWall);
  std::printf("heap allocations per pulled frame (steady state): engine %.1f | bare graph runs %.1f\n",
              static_cast<double>(r.allocs) / std::max<long long>(r.countedFrames, 1),
              static_cast<double>(b.allocs) / std::max<long long>(r.frames, 1));

  // Working set: 10 s, then on to 10 min (1 min in quick mode), one handle.
  {
    tq::A2x e(dir + "/motion", 1);
    StreamRun a = streamSpeech(e, audio, 10.0, 1e9);
    const long long rss10 = vmHwmKiB();
    const std::size_t bytes10 = e.stats().bytes;
    const double longRun = quick ? 60.0 : 600.0;
    std::vector<float> looped = audio;
    StreamRun c = streamSpeech(e, looped, longRun - 10.0, 1e9);
    std::printf("peak RSS after 10 s %lld KiB, after %.0f s %lld KiB (engine buffers %zu B -> %zu B; %lld frames)\n",
                rss10, longRun, vmHwmKiB(), bytes10, e.stats().bytes, a.frames + c.frames);
  }
  run("rm -rf " + dir);
  return 0;
}
