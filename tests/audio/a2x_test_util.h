// Shared pieces of the tq_a2x tests: fixture directories, real speech, handles,
// whole-stream runs.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tq/tq_a2x.h"
#include "tq_test_util.h"

namespace a2xtest {

constexpr int kKp = 63;
constexpr int kHop = 640;

// A motion directory and w2v directory written by the fixture tool; one per
// distinct option list, kept for the life of the test binary.
struct Fixture {
  std::string motion, w2vDir, w2v;
};
inline const Fixture& fixture(const std::vector<std::string>& opts = {}) {
  static tqtest::TempDir* root = new tqtest::TempDir;
  static std::map<std::vector<std::string>, Fixture>* made = new std::map<std::vector<std::string>, Fixture>;
  auto it = made->find(opts);
  if (it != made->end()) return it->second;
  const std::string base = *root / ("f" + std::to_string(made->size()));
  Fixture f{base + "/motion", base + "/w2v", base + "/w2v/w2v8.onnx"};
  std::vector<std::string> args = {"a2x", "--out", f.motion, "--w2v-dir", f.w2vDir};
  args.insert(args.end(), opts.begin(), opts.end());
  EXPECT_TRUE(tqtest::runFixtureTool(args));
  return made->emplace(opts, f).first->second;
}

// Speech from espeak-ng, resampled by ffmpeg to 16 kHz mono float.
inline std::vector<float> speech(const std::string& text) {
  static tqtest::TempDir* dir = new tqtest::TempDir;
  static int n = 0;
  const std::string wav = *dir / ("s" + std::to_string(n) + ".wav");
  const std::string raw = *dir / ("s" + std::to_string(n++) + ".f32");
  const std::string cmd = "espeak-ng -w '" + wav + "' '" + text + "' && ffmpeg -loglevel error -y -i '" + wav +
                          "' -ar 16000 -ac 1 -f f32le '" + raw + "'";
  EXPECT_EQ(tqtest::runCommand(cmd + " 2>&1"), 0) << cmd;
  return tqtest::readAs<float>(raw);
}
inline const std::vector<float>& sentence() {
  static const std::vector<float> s =
      speech("The quick brown fox jumps over the lazy dog, and then it runs far away into the hills.");
  return s;
}
// About `seconds` of speech: sentences with short pauses between them.
inline std::vector<float> speechOf(double seconds) {
  const std::vector<float>& s = sentence();
  std::vector<float> out;
  const std::size_t want = static_cast<std::size_t>(seconds * 16000);
  while (out.size() < want) {
    out.insert(out.end(), s.begin(), s.end());
    out.insert(out.end(), 4000, 0.0f);
  }
  out.resize(want);
  return out;
}

struct Handle {
  tq_a2x* h = nullptr;
  Handle(const Fixture& f, int threads = 1) {
    tqtest::ScopedEnv env("W2V_ONNX", f.w2v.c_str());
    h = tq_a2x_create(f.motion.c_str(), threads);
  }
  ~Handle() { tq_a2x_destroy(h); }
  operator tq_a2x*() const { return h; }
};

// Every frame of one utterance.
struct Frames {
  std::vector<int> idx;
  std::vector<float> src, drv, wn;
  int count() const { return static_cast<int>(idx.size()); }
};

// Pulls up to max frames (all that are ready when max < 0) into out.
inline int pullInto(tq_a2x* h, Frames* out, int max = -1) {
  int got = 0;
  int idx[32];
  float src[32 * kKp], drv[32 * kKp], wn[32];
  for (;;) {
    int want = max < 0 ? 32 : std::min(32, max - got);
    if (want <= 0) break;
    const int n = tq_a2x_pull_wn(h, idx, src, drv, wn, want);
    if (n <= 0) break;
    out->idx.insert(out->idx.end(), idx, idx + n);
    out->src.insert(out->src.end(), src, src + n * kKp);
    out->drv.insert(out->drv.end(), drv, drv + n * kKp);
    out->wn.insert(out->wn.end(), wn, wn + n);
    got += n;
  }
  return got;
}

// Streams audio in pieces of the given sizes (cycled), as the session's
// dispatcher does: push, avail, pull what is ready; then finish and drain.
inline Frames stream(tq_a2x* h, const std::vector<float>& audio, const std::vector<int>& pieces,
                     int start = 0, int dir = 1, int wrap = 1) {
  tq_a2x_reset(h, start, dir, wrap);
  Frames f;
  std::size_t pos = 0, k = 0;
  while (pos < audio.size()) {
    const int n = static_cast<int>(std::min<std::size_t>(pieces[k++ % pieces.size()], audio.size() - pos));
    tq_a2x_push(h, audio.data() + pos, n);
    pos += static_cast<std::size_t>(n);
    if (tq_a2x_avail(h) > 0) pullInto(h, &f);
  }
  tq_a2x_finish(h);
  while (tq_a2x_avail(h) > 0 || f.count() < tq_a2x_total(h))
    if (pullInto(h, &f) == 0) break;
  return f;
}

}  // namespace a2xtest
