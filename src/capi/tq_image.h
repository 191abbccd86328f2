// Still-image helpers: JPEG/PNG decoding and PNG writing through stb.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tq {

// Decodes an image as 8-bit RGB; throws "decode failed: <path>".
std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h);
// Writes an RGB PNG with rows w * 3 bytes apart; throws "png write failed: <path>".
void writePNG(const std::string& path, const uint8_t* rgb, int w, int h);

}  // namespace tq
