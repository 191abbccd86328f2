// Shared pieces of the tq_a2x tests: fixture directories, real speech, handles, whole-stream runs,
// and the checks both frontends pass (each test process finds one frontend).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "audio/tq_a2x_engine.h"
#include "tq/tq_a2x.h"
#include "tq_test_util.h"

namespace a2xtest {

constexpr int kKp = 63;

// A motion directory and w2v directory written by the fixture tool; one per distinct option list.
struct Fixture {
  std::string motion, w2vDir, w2v;
  std::string pair(const char* part) const { return w2vDir + "/audio_encoder_fp16_window_" + part + ".onnx"; }
};
inline const Fixture& fixture(const std::vector<std::string>& opts = {}) {
  static tqtest::TempDir* root = new tqtest::TempDir;
  static auto* made = new std::map<std::vector<std::string>, Fixture>;
  auto it = made->find(opts);
  if (it != made->end()) return it->second;
  const std::string base = *root / ("f" + std::to_string(made->size()));
  Fixture f{base + "/motion", base + "/w2v", base + "/w2v/w2v8.onnx"};
  std::vector<std::string> args = {"a2x", "--out", f.motion, "--w2v-dir", f.w2vDir};
  args.insert(args.end(), opts.begin(), opts.end());
  EXPECT_TRUE(tqtest::runFixtureTool(args));
  return made->emplace(opts, f).first->second;
}

// espeak-ng speech resampled by ffmpeg to 16 kHz mono float: one sentence, or about `seconds`
// of it repeated with short pauses.
inline const std::vector<float>& sentence() {
  static const std::vector<float> s = [] {
    tqtest::TempDir dir;
    const std::string wav = dir / "s.wav", raw = dir / "s.f32";
    EXPECT_EQ(tqtest::runCommand("espeak-ng -w '" + wav + "' 'The quick brown fox jumps over the lazy dog, and then "
                                 "it runs far away into the hills.' && ffmpeg -loglevel error -y -i '" + wav +
                                 "' -ar 16000 -ac 1 -f f32le '" + raw + "' 2>&1"), 0);
    return tqtest::readAs<float>(raw);
  }();
  return s;
}
inline std::vector<float> speechOf(double seconds) {
  std::vector<float> out;
  while (out.size() < seconds * 16000) {
    out.insert(out.end(), sentence().begin(), sentence().end());
    out.insert(out.end(), 4000, 0.0f);
  }
  out.resize(static_cast<std::size_t>(seconds * 16000));
  return out;
}

struct Handle {
  tq_a2x* h = nullptr;
  explicit Handle(const Fixture& f, int threads = 1) {
    tqtest::ScopedEnv env("W2V_ONNX", f.w2v.c_str());
    h = tq_a2x_create(f.motion.c_str(), threads);
  }
  ~Handle() { tq_a2x_destroy(h); }
  operator tq_a2x*() const { return h; }
};

struct Frames {
  std::vector<int> idx;
  std::vector<float> src, drv, wn;
  int count() const { return static_cast<int>(idx.size()); }
};

// Pulls up to max frames (all that are ready when max < 0) into out.
inline int pullInto(tq_a2x* h, Frames* out, int max = -1) {
  int got = 0;
  auto size = [&](std::size_t n) { out->idx.resize(n), out->src.resize(n * kKp), out->drv.resize(n * kKp), out->wn.resize(n); };
  for (int n = 1; n > 0 && (max < 0 || got < max); got += n) {
    const std::size_t at = out->idx.size(), room = max < 0 ? 32 : std::min(32, max - got);
    size(at + room);
    n = tq_a2x_pull_wn(h, &out->idx[at], &out->src[at * kKp], &out->drv[at * kKp], &out->wn[at], int(room));
    size(at + n);
  }
  return got;
}

// Calls push(samples, n) over the audio cut into pieces of the given sizes (cycled).
template <class Push>
void inPieces(const std::vector<float>& audio, const std::vector<int>& pieces, Push push) {
  for (std::size_t pos = 0, k = 0, n; pos < audio.size(); pos += n)
    push(audio.data() + pos, static_cast<int>(n = std::min<std::size_t>(pieces[k++ % pieces.size()], audio.size() - pos)));
}

// Streams audio as the session's dispatcher does: push, avail, pull what is ready; then finish and drain.
inline Frames stream(tq_a2x* h, const std::vector<float>& audio, const std::vector<int>& pieces, int start = 0,
                     int dir = 1, int wrap = 1) {
  tq_a2x_reset(h, start, dir, wrap);
  Frames f;
  inPieces(audio, pieces, [&](const float* x, int n) {
    tq_a2x_push(h, x, n);
    if (tq_a2x_avail(h) > 0) pullInto(h, &f);
  });
  tq_a2x_finish(h);
  while ((tq_a2x_avail(h) > 0 || f.count() < tq_a2x_total(h)) && pullInto(h, &f) > 0) {
  }
  return f;
}

// Pieces of 1, 160, 5120 samples, random sizes and the whole clip give the same frames, to the bit
// except on arm64, whose ONNX Runtime kernels sum a row in an order that depends on the row's length
// (the encoder's chunk length follows how much audio was ready).
#if defined(__aarch64__)
constexpr float kPushTolerance = 1e-5f;
#else
constexpr float kPushTolerance = 0.0f;
#endif
// Both readiness rules (per block, the default; TQ_A2X_READY=block, the look-ahead of a block's last
// frame) give those same frames: only the moment a frame becomes available differs.
inline void expectPushSizeInvariant(const Fixture& fx) {
  std::vector<float> audio = sentence();
  audio.insert(audio.end(), 9000, 0.0f);
  Frames ref;
  {
    Handle h(fx);
    ASSERT_NE(h.h, nullptr) << tq_a2x_last_error();
    ref = stream(h, audio, {640});
  }
  ASSERT_EQ(ref.count(), static_cast<int>((audio.size() + 639) / 640));
  std::mt19937 rng(7);
  std::vector<int> random(64);
  for (int& n : random) n = 1 + static_cast<int>(rng() % 12000);
  for (const char* rule : {static_cast<const char*>(nullptr), "block"}) {
    tqtest::ScopedEnv env("TQ_A2X_READY", rule);
    Handle h(fx);
    ASSERT_NE(h.h, nullptr) << tq_a2x_last_error();
    for (const std::vector<int>& pieces : {std::vector<int>{1}, {160}, {640}, {5120}, random, {1 << 30}}) {
      SCOPED_TRACE(std::string(rule ? rule : "per block") + ", pieces " + std::to_string(pieces[0]));
      const Frames f = stream(h, audio, pieces);
      ASSERT_EQ(f.idx, ref.idx);
      for (std::size_t i = 0; i < f.drv.size(); ++i) ASSERT_NEAR(f.drv[i], ref.drv[i], kPushTolerance);
      for (std::size_t i = 0; i < f.wn.size(); ++i) ASSERT_NEAR(f.wn[i], ref.wn[i], kPushTolerance);
    }
  }
}

// Samples pushed (one at a time) before the open stream has a frame, under the default rule and
// under TQ_A2X_READY=block.
inline void expectFirstFrameAfter(const Fixture& fx, int perBlock, int blockRule) {
  const std::vector<float> a = speechOf(1.5);
  for (const char* rule : {static_cast<const char*>(nullptr), "block"}) {
    tqtest::ScopedEnv env("TQ_A2X_READY", rule);
    Handle h(fx);
    ASSERT_NE(h.h, nullptr) << tq_a2x_last_error();
    int n = 0;
    while (n < static_cast<int>(a.size()) && tq_a2x_avail(h) == 0) tq_a2x_push(h, &a[n++], 1);
    EXPECT_EQ(n, rule ? blockRule : perBlock) << (rule ? rule : "per block");
  }
}

// Streams through the engine class keeping every feature row as it is made, then has
// tests/audio/a2x_reference.py recompute the run with numpy (no ONNX Runtime) and compares.
inline void expectMatchesReference(const Fixture& fx, const char* mode, const std::vector<float>& audio,
                                   const std::vector<int>& pieces, int start, int direction, int wrap) {
  tqtest::ScopedEnv env("W2V_ONNX", fx.w2v.c_str());
  tq::A2x engine(fx.motion, 1);
  engine.reset(start, direction, wrap);
  const int64_t F = static_cast<int64_t>((audio.size() + 639) / 640);
  std::vector<float> feat(static_cast<std::size_t>(F) * 9216, 0.0f), pulled, rows;
  int64_t kept = 0;
  auto keep = [&] {
    for (int64_t to = F; to > kept; --to)
      if (engine.features(kept, to, &rows)) {
        std::memcpy(&feat[static_cast<std::size_t>(kept) * 9216], rows.data(), rows.size() * 4);
        kept = to;
        break;
      }
  };
  auto drain = [&] {
    int idx;
    float kp[2 * kKp];  // source, then driving keypoints
    while (engine.pull(&idx, kp, kp + kKp, nullptr, 1) > 0) {
      keep();
      pulled.push_back(static_cast<float>(idx));
      pulled.insert(pulled.end(), kp, kp + 2 * kKp);
    }
  };
  inPieces(audio, pieces, [&](const float* x, int n) {
    engine.push(x, n);
    engine.avail();
    keep();
    drain();
  });
  engine.finish();
  while (engine.avail() > 0) drain();
  keep();
  ASSERT_EQ(kept, F) << "feature rows were dropped before the test saw them";
  ASSERT_EQ(static_cast<int64_t>(pulled.size()), F * (1 + 2 * kKp));

  tqtest::TempDir dir;
  std::string cmd = std::string(TQ_PYTHON) + " " + tqtest::sourceDir() + "/tests/audio/a2x_reference.py " + fx.motion +
                    " " + mode + " " + fx.w2v;
  for (const auto& [name, v] : {std::pair<const char*, const std::vector<float>*>{"audio", &audio},
                                {"feat", &feat}, {"pulled", &pulled}}) {
    tqtest::writeText(dir / name, std::string(reinterpret_cast<const char*>(v->data()), v->size() * 4));
    cmd += " " + dir / name;
  }
  for (int walk : {start, direction, wrap}) cmd += " " + std::to_string(walk);
  std::string out;
  EXPECT_EQ(tqtest::runCommand(cmd + " 2>&1", &out), 0) << cmd << "\n" << out;
  EXPECT_EQ(out.rfind("frames=" + std::to_string(F) + " ", 0), 0u) << out;
}

}  // namespace a2xtest
