// Shared pieces of the motion engine tests: fixture directories and streaming through the C API.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tq/tq_a2x.h"
#include "tq_test_util.h"

namespace motiontest {

using tqtest::readAs;
using MotionPtr = std::unique_ptr<tq_motion, void (*)(tq_motion*)>;

inline MotionPtr open(const std::string& dir) {
  MotionPtr h(tq_motion_create(dir.c_str(), 1, nullptr), tq_motion_destroy);
  EXPECT_TRUE(h) << tq_motion_last_error();
  return h;
}

struct Frames {
  std::vector<int> idx;
  std::vector<float> src, drv;
  size_t size() const { return idx.size(); }
};

inline void pullReady(tq_motion* h, Frames* out) {
  for (int n; (n = tq_motion_avail(h)) > 0;) {
    const size_t at = out->size();
    out->idx.resize(at + n), out->src.resize(63 * (at + n)), out->drv.resize(63 * (at + n));
    ASSERT_EQ(tq_motion_pull(h, &out->idx[at], &out->src[63 * at], &out->drv[63 * at], n), n) << tq_motion_last_error();
  }
}

// Pushes audio in pieces of the given sizes (cycled), pulling after each; then finishes and pulls the rest.
inline Frames stream(tq_motion* h, const std::vector<float>& audio, const std::vector<int>& pieces, int start = 0,
                     int dir = 1, int wrap = 0) {
  tq_motion_reset(h, start, dir, wrap);
  Frames out;
  for (size_t at = 0, k = 0; at < audio.size();) {
    const size_t n = std::min<size_t>(static_cast<size_t>(pieces[k++ % pieces.size()]), audio.size() - at);
    EXPECT_EQ(tq_motion_push(h, audio.data() + at, static_cast<int>(n)), 1) << tq_motion_last_error();
    at += n;
    pullReady(h, &out);
  }
  tq_motion_finish(h);
  pullReady(h, &out);
  return out;
}

// One motion directory (nt 4) and 7.3 s of speech (four generator chunks), written once per binary.
struct MotionFiles {
  tqtest::TempDir tmp;
  std::string dir = tmp / "motion", speechPath = tmp / "speech.f32";
  std::vector<float> speech;
  MotionFiles() {
    tqtest::runFixtureTool({"motion", dir});
    tqtest::runFixtureTool({"motion-audio", speechPath, "--kind", "mixed", "--seconds", "7.3"});
    speech = readAs<float>(speechPath);
  }
};
inline MotionFiles& files() {
  static MotionFiles f;
  return f;
}

inline std::string variant(const std::string& name, std::vector<std::string> options) {
  const std::string dir = files().tmp / ("v_" + name);
  options.insert(options.begin(), {"motion", dir});
  EXPECT_TRUE(tqtest::runFixtureTool(options));
  return dir;
}

}  // namespace motiontest
