#include "audio/tq_motion_dump.h"

#include <stdexcept>

namespace tq {
namespace motion {

namespace {
const char* const kStreamNames[] = {"xs.bin", "xd.bin", "xsla.bin", "xdla.bin", "cond.bin"};
}

MotionDump::MotionDump(std::string dir) : dir_(std::move(dir)) {
  if (dir_.empty()) return;
  for (int s = 0; s < kStreams; ++s) {
    const std::string path = dir_ + "/" + kStreamNames[s];
    streams_[s] = std::fopen(path.c_str(), "wb");
    if (!streams_[s]) {
      for (int k = 0; k < s; ++k) std::fclose(streams_[k]);
      throw std::runtime_error("cannot open " + path);
    }
  }
}

MotionDump::~MotionDump() {
  for (std::FILE* f : streams_)
    if (f) std::fclose(f);
}

void MotionDump::write(const char* name, const float* v, std::size_t n) {
  if (!on()) return;
  const std::string path = dir_ + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot open " + path);
  const bool ok = std::fwrite(v, sizeof(float), n, f) == n;
  if (std::fclose(f) != 0 || !ok) throw std::runtime_error("short write " + path);
}

void MotionDump::append(Stream s, const float* v, std::size_t n) {
  if (!on()) return;
  if (std::fwrite(v, sizeof(float), n, streams_[s]) != n || std::fflush(streams_[s]) != 0)
    throw std::runtime_error(std::string("short write ") + dir_ + "/" + kStreamNames[s]);
}

}  // namespace motion
}  // namespace tq
