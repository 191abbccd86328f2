// The JPEG stills source over arbitrary file bytes. Two leading bytes give the
// manifest's frame width and height; the rest is the first still.
#include <exception>
#include <vector>

#include "driver/tq_driver.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int w = 1 + data[0], h = 1 + data[1];
  tqfuzz::TempDir dir;
  tqfuzz::writeFile(dir / "frame_000000.jpg", data + 2, size - 2);
  try {
    tq::driver::SourcePtr src = tq::driver::openJpgDir(dir.path(), 1, w, h);
    std::vector<uint8_t> frame(src->frameBytes());
    src->next(frame.data());
  } catch (const std::exception&) {
  }
  return 0;
}
