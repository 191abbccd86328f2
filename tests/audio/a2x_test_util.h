// Shared pieces of the tq_a2x tests: fixture directories, real speech, handles, whole-stream runs.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tq/tq_a2x.h"
#include "tq_test_util.h"

namespace a2xtest {

constexpr int kKp = 63;

// A motion directory and w2v directory written by the fixture tool; one per distinct option list.
struct Fixture { std::string motion, w2vDir, w2v; };
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
  for (int n = 1; n > 0 && (max < 0 || got < max); got += n) {
    const std::size_t at = out->idx.size(), room = max < 0 ? 32 : std::min(32, max - got);
    out->idx.resize(at + room), out->src.resize((at + room) * kKp), out->drv.resize((at + room) * kKp);
    out->wn.resize(at + room);
    n = tq_a2x_pull_wn(h, &out->idx[at], &out->src[at * kKp], &out->drv[at * kKp], &out->wn[at], int(room));
    out->idx.resize(at + n), out->src.resize((at + n) * kKp), out->drv.resize((at + n) * kKp), out->wn.resize(at + n);
  }
  return got;
}

// Streams audio in pieces of the given sizes (cycled) as the session's dispatcher does: push, avail,
// pull what is ready; then finish and drain.
inline Frames stream(tq_a2x* h, const std::vector<float>& audio, const std::vector<int>& pieces, int start = 0,
                     int dir = 1, int wrap = 1) {
  tq_a2x_reset(h, start, dir, wrap);
  Frames f;
  for (std::size_t pos = 0, k = 0; pos < audio.size();) {
    const int n = static_cast<int>(std::min<std::size_t>(pieces[k++ % pieces.size()], audio.size() - pos));
    tq_a2x_push(h, audio.data() + pos, n);
    pos += static_cast<std::size_t>(n);
    if (tq_a2x_avail(h) > 0) pullInto(h, &f);
  }
  tq_a2x_finish(h);
  while ((tq_a2x_avail(h) > 0 || f.count() < tq_a2x_total(h)) && pullInto(h, &f) > 0) {
  }
  return f;
}

}  // namespace a2xtest
