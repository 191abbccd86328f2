// The demo avatar's real-time director against its sharpened warp, each run by
// the Renderer on 2 threads with the mouth open: what one speech frame costs.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "render/tq_renderer.h"

namespace {

bool writeAvatar(const std::string& dir, int crop, const char* director) {
  const char* src = std::getenv("TQ_SOURCE_DIR");
  const std::string cmd = std::string("env -u LD_LIBRARY_PATH /usr/bin/python3 ") + (src ? src : ".") +
                          "/tools/tq_fixtures.py demo-avatar " + dir + " --seconds 0.2 --crop " +
                          std::to_string(crop) + " --width 640 --height 480 --director " + director +
                          " >/dev/null";
  if (std::system(cmd.c_str()) == 0) return true;
  std::printf("fixture tool failed: %s\n", cmd.c_str());
  return false;
}

// Seconds per render of frame 1 with the inner lips (rows 19, 20) and the chin
// (row 10) moved as in an open mouth.
double timeDirector(const std::string& dir, int reps, int inner) {
  const tq::Manifest m = tq::loadManifest(dir);
  tq::Identity id(m);
  tq::Renderer r(m, id, "b1", 2, "");
  const int si = 1;
  const tq::Drive drive = tq::loadDrive(m);  // the demo's drive rows are its rest keypoints
  std::vector<float> ks(drive.xs.begin() + 63 * si, drive.xs.begin() + 63 * (si + 1)), kd(ks);
  kd[19 * 3 + 1] -= 0.006f;
  kd[20 * 3 + 1] += 0.06f;
  kd[10 * 3 + 1] += 0.035f;
  r.render(&si, ks.data(), kd.data(), 1);  // first run: allocations and kernel choice
  return tqbench::bestSeconds([&] { r.render(&si, ks.data(), kd.data(), 1); }, reps, inner);
}

}  // namespace

int main(int argc, char** argv) {
  const bool q = tqbench::quick(argc, argv);
  const int crop = q ? 128 : 512, reps = q ? 2 : 5, inner = q ? 2 : 8;
  char tmpl[] = "/tmp/tq_bench_demo.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string fast = std::string(tmpl) + "/fast", sharp = std::string(tmpl) + "/sharp";
  if (!writeAvatar(fast, crop, "fast") || !writeAvatar(sharp, crop, "sharp")) return 1;
  setenv("TQ_ORT_SPIN", "0", 1);
  const double tFast = timeDirector(fast, reps, inner);
  const double tSharp = timeDirector(sharp, reps, inner);
  tqbench::report("demo director crop " + std::to_string(crop) + " (2 threads)", tFast, "sharpened warp", tSharp,
                  "us");
  std::printf("demo director %.2f ms per frame (goal < 25 ms at crop 512), %.1fx cheaper than the sharpened warp\n",
              tFast * 1e3, tSharp / tFast);
  const std::string rm = std::string("rm -rf ") + tmpl;
  return std::system(rm.c_str()) == 0 ? 0 : 1;
}
