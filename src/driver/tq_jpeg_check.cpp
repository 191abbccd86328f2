#include "driver/tq_jpeg_check.h"

namespace tq {
namespace driver {
namespace {

constexpr uint8_t kSOI = 0xD8, kEOI = 0xD9, kSOS = 0xDA, kDHT = 0xC4, kTEM = 0x01;

bool fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

bool standalone(uint8_t marker) { return marker == kTEM || (marker >= 0xD0 && marker <= 0xD7); }

bool checkDht(const uint8_t* p, std::size_t len, std::string* why) {
  std::size_t at = 0;
  while (at < len) {
    if (len - at < 17) return fail(why, "Huffman table header runs past its segment");
    const uint8_t tcth = p[at];
    if ((tcth >> 4) > 1 || (tcth & 15) > 3)
      return fail(why, "Huffman table class/slot " + std::to_string(tcth) + " out of range");
    std::size_t codes = 0;
    for (int i = 1; i <= 16; ++i) codes += p[at + i];
    if (codes > 256) return fail(why, "Huffman table declares " + std::to_string(codes) + " codes (at most 256)");
    at += 17;
    if (len - at < codes) return fail(why, "Huffman table values run past their segment");
    at += codes;
  }
  return true;
}

}  // namespace

bool jpegHuffmanTablesSane(const uint8_t* d, std::size_t n, std::string* why) {
  if (n < 4 || d[0] != 0xFF || d[1] != kSOI) return fail(why, "not a JPEG (no start-of-image marker)");
  std::size_t at = 2;
  while (at < n) {
    if (d[at] != 0xFF) {  // entropy-coded data after a scan header: skip to the next marker
      ++at;
      continue;
    }
    while (at < n && d[at] == 0xFF) ++at;  // fill bytes
    if (at >= n) break;
    const uint8_t marker = d[at++];
    if (marker == 0x00 || standalone(marker)) continue;  // stuffed byte or restart marker
    if (marker == kEOI) return true;
    if (n - at < 2) return fail(why, "segment length runs past the end of the data");
    const std::size_t len = (static_cast<std::size_t>(d[at]) << 8) | d[at + 1];
    if (len < 2 || n - at < len) return fail(why, "segment runs past the end of the data");
    if (marker == kDHT && !checkDht(d + at + 2, len - 2, why)) return false;
    at += len;
    if (marker == kSOS) {
      // The scan's data follows; the loop skips it byte by byte to the next marker.
    }
  }
  return true;
}

}  // namespace driver
}  // namespace tq
