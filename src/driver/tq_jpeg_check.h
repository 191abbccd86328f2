// Structural checks on JPEG bytes before they reach the image decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tq {
namespace driver {

// Walks the marker segments of a JPEG and checks every Huffman table: class 0
// or 1, slot 0 to 3, at most 256 codes, and the segment long enough for them.
// The decoder trusts these counts when it builds its tables, so a damaged
// count must never reach it. Returns false with a reason when a table is bad
// or a segment runs past the end of the data.
bool jpegHuffmanTablesSane(const uint8_t* data, std::size_t n, std::string* why);

}  // namespace driver
}  // namespace tq
