#include "capi/tq_image.h"

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <stdexcept>

namespace tq {

std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h) {
  int n = 0;
  unsigned char* px = stbi_load(path.c_str(), w, h, &n, 3);
  if (!px) throw std::runtime_error("decode failed: " + path);
  std::vector<uint8_t> out(px, px + static_cast<std::size_t>(*w) * static_cast<std::size_t>(*h) * 3);
  stbi_image_free(px);
  return out;
}

void writePNG(const std::string& path, const uint8_t* rgb, int w, int h) {
  if (!stbi_write_png(path.c_str(), w, h, 3, rgb, w * 3)) throw std::runtime_error("png write failed: " + path);
}

}  // namespace tq
