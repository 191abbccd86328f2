// The movie sources over arbitrary file bytes. Three leading bytes stand for
// what the manifest would say: mode (bit 0: driver or warp prior) and frame
// count (bits 1-2, plus one), width / 8, height / 8; the rest is the file.
#include <exception>
#include <vector>

#include "driver/tq_driver_ff.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool prior = data[0] & 1;
  const int nt = 1 + ((data[0] >> 1) & 3);
  const int w = 8 * (1 + data[1] % 8), h = 8 * (1 + data[2] % 8);
  tqfuzz::TempDir dir;
  tqfuzz::writeFile(dir / "movie.mp4", data + 3, size - 3);
  try {
    tq::driver::SourcePtr src = prior ? tq::driver::openPriorHevc(dir / "movie.mp4", nt, w)
                                      : tq::driver::openMp4(dir / "movie.mp4", nt, w, h);
    std::vector<uint8_t> frame(src->frameBytes());
    for (int i = 0; i <= nt && src->next(frame.data()); ++i) {
    }
    src->seek(nt - 1);
    src->next(frame.data());
    src->rewind();
    src->next(frame.data());
  } catch (const std::exception&) {
  }
  return 0;
}
