// Driver frames as a directory of JPEG stills, decoded one file per frame.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <stb/stb_image.h>

#include "driver/tq_driver.h"

namespace tq {
namespace driver {

class JpgDirSource : public Source {
 public:
  std::string dir;
  int32_t nt;
  int32_t w;
  int32_t h;
  int32_t position = 0;

  JpgDirSource(std::string d, int NT, int W, int H) : dir(std::move(d)), nt(NT), w(W), h(H) {}

  int NT() const override { return nt; }
  int W() const override { return w; }
  int H() const override { return h; }

  bool next(uint8_t* out) override {
    if (position >= nt) return false;
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", position);
    const std::string path = dir + name;
    int fw = 0, fh = 0, channels = 0;
    stbi_uc* px = stbi_load(path.c_str(), &fw, &fh, &channels, 3);
    if (!px) throw std::runtime_error("decode failed: " + path);
    if (fw != w || fh != h) {
      stbi_image_free(px);
      throw std::runtime_error("tq_driver: " + path + " is " + std::to_string(fw) + "x" +
                               std::to_string(fh) + ", the manifest says " + std::to_string(w) +
                               "x" + std::to_string(h) + " — refusing");
    }
    std::memcpy(out, px, frameBytes());
    stbi_image_free(px);
    ++position;
    return true;
  }

  void rewind() override { position = 0; }

  void seek(int i) override {
    if (i < 0 || i >= nt) throw std::runtime_error("tq_driver: seek outside the member");
    position = i;
  }

  std::string name() const override { return "jpg/stb"; }
  std::size_t residentBytes() const override { return 0; }
};

SourcePtr openJpgDir(const std::string& dir, int NT, int W, int H) {
  return SourcePtr(new JpgDirSource(dir, NT, W, H));
}

}  // namespace driver
}  // namespace tq
