// The teeth members as a bundle carries them. Segments: manifest.json, the bank
// sidecar, the head configuration, the head weights archive, the bank track.
#include <exception>

#include "fuzz_util.h"
#include "tessera/tq_bundle_tessera.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> seg = tqfuzz::segments(data, size);
  static const char* const kNames[] = {"manifest.json", "tessera_bank.v1.json", "tessera_head.v1.json",
                                       "tessera_head.v1.pt", "tessera_bank.v1.mp4"};
  tqfuzz::TempDir dir;
  for (std::size_t i = 0; i < seg.size() && i < 5; ++i) tqfuzz::writeFile(dir / kNames[i], seg[i]);
  try {
    const tq::TesseraAttachInputs in = tq::loadTesseraMembers(dir.path());
    (void)in.patchBytes();
  } catch (const std::exception&) {
  }
  return 0;
}
