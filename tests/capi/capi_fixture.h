// A complete small bundle for the C interface tests (NT 3 identity frames of a 32 x 32 crop pasted
// unscaled at (10 + i, 5 + i) into 96 x 64 H.264 driver frames, an opaque mask, no sharpening, an
// m4b director graph "b1"), and host-side helpers for utterance sessions.
#pragma once

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "tq/tq.h"
#include "tq_test_util.h"

namespace capitest {

constexpr int kNT = 3, kCrop = 32, kW = 96, kH = 64;
constexpr std::size_t kFrameBytes = std::size_t(kW) * kH * 3;

inline std::string writeBundle(const tqtest::TempDir& t, const std::vector<std::string>& extra = {},
                               const std::string& manifest = "{\"amount\": 0}") {
  const std::string dir = t / "bundle";
  std::vector<std::string> args = {"identity-bundle", dir, "--nt", "3", "--crop", "32", "--W", "96", "--H", "64",
                                   "--translate", "--mask-value", "255", "--driver-movie", "--director", "b1",
                                   "--frames", "4", "--manifest-set", manifest};
  args.insert(args.end(), extra.begin(), extra.end());
  tqtest::runFixtureTool(args);
  return dir;
}

struct Frame {
  tq_utt_frame_info info{};
  std::vector<uint8_t> px;
};

// Waits (bounded) for the next frame; the host paces the session by pulling.
inline bool pullNext(tq_utt* u, Frame& f, double seconds = 120.0) {
  f.px.resize(kFrameBytes);
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
       std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::microseconds(200)))
    if (tq_utt_pull_frame(u, f.px.data(), f.px.size(), &f.info) == 1) return true;
  return false;
}

inline int waitReady(tq_utt* u, double seconds = 300.0) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int r = 0;
  while ((r = tq_utt_ready(u)) == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return r;
}

}  // namespace capitest
