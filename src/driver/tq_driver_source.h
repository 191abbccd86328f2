// A source of decoded frames, played by a DriverCursor's decoder thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tq {
namespace driver {

// Used by one thread at a time; needs no locking of its own.
class Source {
 public:
  virtual ~Source() = default;
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  // Bytes per decoded frame; RGB24 unless the source says otherwise.
  virtual std::size_t frameBytes() const {
    return static_cast<std::size_t>(W()) * static_cast<std::size_t>(H()) * 3;
  }
  // Decodes the frame at the current position into out and advances; false when
  // the source has no more frames.
  virtual bool next(uint8_t* out) = 0;
  // Back to frame 0.
  virtual void rewind() = 0;
  // Positions at frame i, so that the next next() yields frame i.
  virtual void seek(int i) = 0;
  // Backend description for logs and statistics.
  virtual std::string name() const = 0;
  // Memory the source holds beyond the cursor's ring.
  virtual std::size_t residentBytes() const = 0;
};

using SourcePtr = std::unique_ptr<Source>;

}  // namespace driver
}  // namespace tq
