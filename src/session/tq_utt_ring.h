// The session's output ring: 8 full-size frames with their descriptions.
// A write and a read counter address the slots modulo 8; write - read frames
// are waiting for the host. The owner's lock guards the counters and metadata;
// a slot's pixels are written outside it while the slot is not yet published.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tq {
namespace utt {

constexpr int kRingSlots = 8;

struct Slot {
  std::vector<uint8_t> pixels;
  uint64_t seq = 0;
  int32_t kind = 0;
  int32_t driverIndex = 0;
  int32_t frame = -1;
  float kp[63] = {};
};

struct Ring {
  Slot slots[kRingSlots];
  uint64_t write = 0;
  uint64_t read = 0;

  void size(std::size_t frameBytes) {
    for (Slot& s : slots) s.pixels.assign(frameBytes, 0);
  }
  uint64_t count() const { return write - read; }
  bool full() const { return count() >= kRingSlots; }
  Slot& at(uint64_t n) { return slots[n % kRingSlots]; }
};

}  // namespace utt
}  // namespace tq
