// The teeth bank track decoder over arbitrary movie bytes. Four leading bytes
// stand for what the sidecar and the stamp would say: donor count (1..8),
// stored width and height (2..32), and the track order (bits 0-1: identity,
// reversed, rotated by bits 2-4, or one of four broken orders picked by bits
// 2-3: a repeat, an entry out of range, a negative entry, one entry short).
#include <algorithm>
#include <cstdlib>
#include <exception>
#include <numeric>
#include <vector>

#include "tessera/tq_bankdec_ff.h"

namespace {

std::vector<int32_t> trackOrder(int n, uint8_t mode) {
  std::vector<int32_t> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  const int arg = mode >> 2;
  switch (mode & 3) {
    case 0: break;
    case 1: std::reverse(order.begin(), order.end()); break;
    case 2: std::rotate(order.begin(), order.begin() + arg % n, order.end()); break;
    default:
      switch (arg & 3) {
        case 0: order[0] = order[n - 1]; break;
        case 1: order[n - 1] = n; break;
        case 2: order[0] = -1; break;
        default: order.pop_back(); break;
      }
  }
  return order;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const int n = 1 + data[0] % 8, w = 2 + data[1] % 31, h = 2 + data[2] % 31;
  const std::vector<int32_t> order = trackOrder(n, data[3]);
  // The track in its own allocation, so a read past its end is caught.
  const std::vector<uint8_t> track(data + 4, data + size);
  try {
    const std::vector<uint8_t> bank = tq::tessera::decodeBankTrack(track.data(), track.size(), n, w, h, order);
    // Success promises every donor slot, of exactly the stored size.
    if (bank.size() != std::size_t(n) * w * h * 3) std::abort();
  } catch (const std::exception&) {
  }
  return 0;
}
