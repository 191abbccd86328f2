// A complete small bundle for the C interface tests: NT 3 identity frames of a
// 32 x 32 crop pasted unscaled at (10 + i, 5 + i) into 96 x 64 driver frames
// (H.264), an opaque mask, a warp-prior movie and an m4b director graph "b1".
#pragma once

#include <string>

#include "tq_test_util.h"

namespace capitest {

constexpr int kNT = 3, kCrop = 32, kW = 96, kH = 64;

inline std::string writeBundle(const tqtest::TempDir& t, const std::string& extra = "") {
  const std::string dir = t / "bundle";
  std::vector<std::string> args = {"identity-bundle", dir,          "--nt",           "3",     "--crop", "32",
                                   "--W",             "96",         "--H",            "64",    "--translate",
                                   "--mask-value",    "255",        "--driver-movie", "--director", "b1",
                                   "--frames",        "4",          "--manifest-set", "{\"amount\": 0}"};
  if (extra == "prior-movie") args.push_back("--prior-movie");
  tqtest::runFixtureTool(args);
  return dir;
}

}  // namespace capitest
