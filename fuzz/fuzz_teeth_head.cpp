// The head weights archive (a zip holding a pickle) and, after a separator,
// the head configuration JSON.
#include <exception>

#include "fuzz_util.h"
#include "tessera/tq_tessera_head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> seg = tqfuzz::segments(data, size);
  try {
    const tq::tessera::HeadWeights w =
        tq::tessera::loadHeadPt(reinterpret_cast<const uint8_t*>(seg[0].data()), seg[0].size());
    (void)w.params();
  } catch (const std::exception&) {
  }
  if (seg.size() > 1) {
    try {
      (void)tq::tessera::ServeConfig::fromHeadMemberJson(seg[1]);
    } catch (const std::exception&) {
    }
  }
  return 0;
}
