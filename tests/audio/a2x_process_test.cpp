// Behaviour decided once per process (shared speech encoders, the first creation's log line, silence
// priming, the CUDA hook): each case runs in a fresh child process and checks the exact texts there.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "a2x_test_util.h"

using namespace a2xtest;

namespace {

struct Want {
  std::string text;
  int times = 1;
};

// Runs `run` in the death-test child with standard error captured in a file of our own (gtest may
// be capturing it already); the child exits 0 when the log holds each text exactly `times` times.
[[noreturn]] void inChild(const std::function<void()>& run, const std::vector<Want>& wants) {
  char path[] = "/tmp/tq_a2x_childXXXXXX";
  const int fd = mkstemp(path), saved = dup(2);
  std::fflush(stderr);
  dup2(fd, 2);
  run();
  std::fflush(stderr);
  dup2(saved, 2);
  const std::string log = tqtest::readText(path);
  unlink(path);
  bool ok = true;
  for (const Want& w : wants) {
    int n = 0;
    for (std::size_t p = log.find(w.text); p != std::string::npos; p = log.find(w.text, p + 1)) ++n;
    if (n != w.times) ok = false, std::fprintf(stderr, "log holds \"%s\" %d times\n", w.text.c_str(), n);
  }
  if (!ok) std::fprintf(stderr, "--- log ---\n%s", log.c_str());
  std::fflush(stderr);
  std::_Exit(ok ? 0 : 1);
}
#define IN_CHILD(...) EXPECT_EXIT(inChild(__VA_ARGS__), ::testing::ExitedWithCode(0), "")

// Creates and destroys a handle; returns the error text ("" on success).
std::string created(const Fixture& fx, int threads = 1) {
  setenv("W2V_ONNX", fx.w2v.c_str(), 1);
  tq_a2x* h = tq_a2x_create(fx.motion.c_str(), threads);
  std::string e = h ? "" : tq_a2x_last_error();
  tq_a2x_destroy(h);
  return e;
}

const std::string kCadence =
    "[tq_a2x] live cadence: block-320 (one trunk window per 8 frames), push-size invariant, threads=";

// The pair beside the encoder loads once; CUDA is asked for, absent from this runtime, and the
// encoders (never the motion graphs) fall back to the CPU.
TEST(A2xProcess, ShortPairBesideTheEncoderLoadsOnceAndCudaFallsBack) {
  const Fixture& fx = fixture({"--short"});
  auto described = [](const std::string& p) { return p + " (" + std::to_string(std::filesystem::file_size(p)) + " B)"; };
  IN_CHILD(
      [&] {
        setenv("TQ_A2X_CUDA", "1", 1);
        setenv("TQ_A2X_CUDA_MEM_MIB", "64", 1);
        created(fx, 1);
        Handle h(fx);
        const std::vector<float> a = speechOf(1.0);
        std::vector<float> out(25 * kKp);
        std::fprintf(stderr, "frames=%d deltas=%d\n", stream(h, a, {5120}).count(),
                     tq_a2x_deltas(h, a.data(), static_cast<int>(a.size()), out.data(), 25));
      },
      {{kCadence + "1\n"},
       {"[tq_a2x] short-window w2v frontend loaded (LT=400) trunk=" + described(fx.pair("trunk")) +
        " head=" + described(fx.pair("head")) + "\n"},
       {"[tq_a2x] CUDA EP append failed (w2v): ", 2},  // trunk/head options, then the 8-second graph's
       {" -- falling back to CPU\n", 2},
       {"(enc/dec)", 0},
       {"frames=25 deltas=25\n"}});
}

// No pair: the legacy window, said once; an encoder that cannot load fails creation; silence
// priming from the meta, or the environment (0 turns it off, large values are capped).
TEST(A2xProcess, NoPairServesTheLegacyWindowAndSilencePriming) {
  const Fixture& primed = fixture({"--silence-prime", "6"});
  const std::string absent = primed.w2vDir + "/absent.onnx";
  IN_CHILD(
      [&] {
        setenv("W2V_ONNX", absent.c_str(), 1);
        std::fprintf(stderr, "create=<%s>\n", tq_a2x_create(primed.motion.c_str(), 1) ? "" : tq_a2x_last_error());
        auto firstLip = [&](const Fixture& fx) {
          Handle h(fx, 3);
          std::vector<float> out(10 * kKp);
          const std::vector<float> a = speechOf(0.4);
          tq_a2x_deltas(h, a.data(), static_cast<int>(a.size()), out.data(), 10);
          return out[3 * 18 + 1];
        };
        const float p = firstLip(primed), q = firstLip(fixture());
        setenv("TQ_A2X_SILENCE_PRIME", "0", 1);
        const float off = firstLip(primed);
        setenv("TQ_A2X_SILENCE_PRIME", "500", 1);
        firstLip(fixture());
        std::fprintf(stderr, "primed differs=%d env0 same=%d\n", p != q, off == q);
      },
      {{kCadence},
       {"[tq_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
        "TQ_A2X_W2V_WIN_ONNX/TQ_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (" + absent +
        ") as audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving "
        "the LEGACY 8s window — same reference quality, 2.8-3.9x the audio hop cost. Ship the pair beside the "
        "encoder (tools/export_w2v_window.py).\n"},
       {"[tq_a2x] silence-primed AR state cached (6 frames)\n"},
       {"[tq_a2x] silence-primed AR state cached (200 frames)\n"},
       {"primed differs=1 env0 same=1\n"},
       {"create=<tq_a2x_create: shared w2v load failed>\n"}});
}

TEST(A2xProcess, BrokenPairUnderItsSecondNamesFallsBackToTheLegacyWindow) {
  const Fixture& fx = fixture({"--seed", "2"});
  tqtest::writeText(fx.w2vDir + "/w2v_trunk32.onnx", "not a graph");
  tqtest::writeText(fx.w2vDir + "/w2v_head32.onnx", "not a graph");
  IN_CHILD([&] { std::fprintf(stderr, "err=[%s][%s]\n", created(fx).c_str(), created(fx).c_str()); },
           {{"[tq_a2x] short-window w2v load FAILED ("}, {"w2v_trunk32.onnx"}, {") — legacy 8s path\n"},
            {"err=[][]\n"}});
}

// With the pair (here from the environment) an encoder that cannot load fails only priming, which
// needs the 8-second graph; once one loads it serves every later path. Priming that fails at run
// time (meta h disagrees with the graphs) leaves the handle usable.
TEST(A2xProcess, EncoderThatCannotLoadAndPrimingFailures) {
  const Fixture& fx = fixture({"--short", "--silence-prime", "4", "--seed", "3"});
  tqtest::TempDir tmp;
  const std::string missing = tmp / "w2v8.onnx", bad = tmp / "bad";
  tqtest::runCommand("cp -r '" + fx.motion + "' '" + bad + "'");
  tqtest::writeText(bad + "/a2x_meta.json",
                    "{\"h\": 8, \"window\": 2, \"left\": 4, \"layers\": 2, \"width\": true, \"silence_prime\": 4}");
  IN_CHILD(
      [&] {
        setenv("TQ_A2X_W2V_WIN_ONNX", fx.pair("trunk").c_str(), 1);
        setenv("TQ_A2X_W2V_HEAD_ONNX", fx.pair("head").c_str(), 1);
        setenv("W2V_ONNX", missing.c_str(), 1);
        std::fprintf(stderr, "create=<%s>\n", tq_a2x_create(fixture().motion.c_str(), 1) ? "" : tq_a2x_last_error());
        std::fprintf(stderr, "create=<%s>\n", tq_a2x_create(fx.motion.c_str(), 1) ? "" : tq_a2x_last_error());
        const int loaded = tq_a2x_preload_w2v(missing.c_str());
        std::fprintf(stderr, "preload=%d <%s>\n", loaded, tq_a2x_last_error());
        for (const char* path : {static_cast<const char*>(nullptr), fx.w2v.c_str(), missing.c_str()})
          std::fprintf(stderr, "preload=%d\n", tq_a2x_preload_w2v(path));
        std::fprintf(stderr, "bad=<%s>\n", tq_a2x_create(bad.c_str(), 1) ? "ok" : tq_a2x_last_error());
      },
      {{"create=<>\n"},  // with the pair the 8-second graph waits for first use
       {"create=<tq_a2x_create: shared w2v load failed (silence_prime)>\n"},
       {"preload=0 <tq_a2x_preload_w2v: "},
       {"preload=0\n"},
       {"preload=1\n", 2},
       {"[tq_a2x] silence-prime failed ("},
       {") -- legacy zero state\n"},
       {"bad=<ok>\n"}});
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Each child must start from a fresh process. Re-executing the binary gives that, but qemu-user
  // cannot exec a foreign binary; there a plain fork does, since the parent never loads an engine.
  GTEST_FLAG_SET(death_test_style, tqtest::underEmulation() ? "fast" : "threadsafe");
  return RUN_ALL_TESTS();
}
