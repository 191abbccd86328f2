// Raw float32 dump files of the motion pipeline, written when a dump directory is set.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace tq {
namespace motion {

class MotionDump {
 public:
  explicit MotionDump(std::string dir);
  ~MotionDump();
  MotionDump(const MotionDump&) = delete;
  MotionDump& operator=(const MotionDump&) = delete;

  bool on() const { return !dir_.empty(); }
  // Replaces dir/name with n floats.
  void write(const char* name, const float* v, std::size_t n);
  // Appends n floats to one of the per-frame streams, truncated when the dumper opens.
  enum Stream { kXs, kXd, kXsla, kXdla, kCond, kStreams };
  void append(Stream s, const float* v, std::size_t n);

 private:
  std::string dir_;
  std::FILE* streams_[kStreams] = {};
};

}  // namespace motion
}  // namespace tq
