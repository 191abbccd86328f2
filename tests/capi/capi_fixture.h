// A complete small bundle for the C interface tests: NT 3 identity frames of a
// 32 x 32 crop pasted unscaled at (10 + i, 5 + i) into 96 x 64 driver frames
// (H.264), an opaque mask, no sharpening and an m4b director graph "b1".
#pragma once

#include <string>
#include <vector>

#include "tq_test_util.h"

namespace capitest {

constexpr int kNT = 3, kCrop = 32, kW = 96, kH = 64;

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

}  // namespace capitest
