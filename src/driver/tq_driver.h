// Driver cursor: plays a frame source through a small prefetching ring.
//
// A decoder thread fills a ring of ahead + hist + 1 frame buffers a few frames
// ahead of the consumer and keeps the last hist frames behind it, wrapping from
// frame NT-1 to frame 0 so an idle loop plays for ever. A pull or seek that hits
// the look-ahead or the history is served from the ring; anything else costs one
// seek of the source (counted by seeks()).
//
// Failures of the source are sticky: the decoder thread records the first one and
// every later pull or seek throws it as std::runtime_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "driver/tq_driver_source.h"

namespace tq {

struct Manifest;

namespace driver {

// NT JPEG stills "<dir>/frame_%06d.jpg" (frame index from 0), each W x H,
// decoded to RGB24 one file per frame. Touches no file until the first next().
SourcePtr openJpgDir(const std::string& dir, int NT, int W, int H);

}  // namespace driver

class DriverCursor {
 public:
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;

 public:
  // Copied from the source at construction.
  int32_t NT = 0;
  int32_t W = 0;
  int32_t H = 0;
  std::size_t frameBytes = 0;
  std::string backend;  // the source's name()

  // Takes the source, allocates the ring and starts the decoder thread. A
  // look-ahead below 1 counts as 1 and a history below 0 as 0.
  DriverCursor(driver::SourcePtr src, int ahead, int hist);
  // Stops and joins the decoder thread, then frees the ring and the source. Must
  // not run while another thread is inside a pull or seek of this cursor.
  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  static std::unique_ptr<DriverCursor> over(driver::SourcePtr src, int ahead, int hist);
  // The driver video of a bundle: its JPEG stills or its movie member.
  static std::unique_ptr<DriverCursor> open(const Manifest& m, int ahead, int hist);
  // The warp prior of a bundle stored as a movie (crop x crop planar halves).
  static std::unique_ptr<DriverCursor> openPrior(const Manifest& m, int ahead, int hist);

  // Next frame copied into out (frameBytes bytes); returns its frame index.
  int pull(uint8_t* out);
  // Next frame in place; valid at least until this cursor's next pull or seek.
  const uint8_t* pull(int* idx);
  // As pull(int*), but the caller may change the frame; it and every frame
  // before it are no longer served from history.
  uint8_t* pullMut(int* idx);
  // Frame i copied into out; returns i.
  int pullAt(int i, uint8_t* out);
  const uint8_t* pullAt(int i, int* idx);
  uint8_t* pullMutAt(int i, int* idx);
  // Makes frame i the next frame. Throws for i outside [0, NT).
  void seek(int i);

  int position() const;           // frame index the next pull yields
  int64_t seeks() const;          // source seeks performed so far
  std::size_t residentBytes() const;  // ring plus what the source holds
};

}  // namespace tq
