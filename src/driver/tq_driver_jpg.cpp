// Driver frames as a directory of JPEG stills, decoded one file per frame.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <stb/stb_image.h>

#include "driver/tq_driver.h"
#include "driver/tq_jpeg_check.h"

namespace tq {
namespace driver {

class JpgDirSource : public Source {
 public:
  std::string dir;
  int32_t nt;
  int32_t w;
  int32_t h;
  int32_t position = 0;

  JpgDirSource(std::string d, int NT, int W, int H) : dir(std::move(d)), nt(NT), w(W), h(H) {
    // The manifest's size sizes the cursor's ring: the first still's header must
    // agree before anything of that size is allocated. (An absent still fails
    // when it is read, like every other frame.)
    struct stat st;
    if (nt > 0 && ::stat(framePath(0).c_str(), &st) == 0) {
      try {
        load(framePath(0));
      } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        if (what.rfind("tq_driver: ", 0) == 0) throw;
        throw std::runtime_error("tq_driver: " + what);
      }
    }
  }

  int NT() const override { return nt; }
  int W() const override { return w; }
  int H() const override { return h; }

  bool next(uint8_t* out) override {
    if (position >= nt) return false;
    const std::string path = framePath(position);
    load(path);
    int fw = 0, fh = 0, channels = 0;
    stbi_uc* px = stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &fw, &fh, &channels, 3);
    if (!px) throw std::runtime_error("decode failed: " + path);
    if (fw != w || fh != h) {
      stbi_image_free(px);
      refuseSize(path, fw, fh);
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

 private:
  std::vector<uint8_t> bytes;  // the current still's file, reused from frame to frame

  std::string framePath(int i) const {
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", i);
    return dir + name;
  }

  [[noreturn]] void refuseSize(const std::string& path, int fw, int fh) const {
    throw std::runtime_error("tq_driver: " + path + " is " + std::to_string(fw) + "x" + std::to_string(fh) +
                             ", the manifest says " + std::to_string(w) + "x" + std::to_string(h) + " — refusing");
  }

  // Reads the still into `bytes`, then checks its header size against the
  // manifest and its Huffman tables, so that the decoder never allocates for a
  // size nobody asked for nor builds tables from damaged counts.
  void load(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("decode failed: " + path);
    struct stat st;
    // A still twice the size of its raw pixels is not a driver frame.
    const std::size_t limit = 2 * frameBytes() + (1u << 20);
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<uint64_t>(st.st_size) > limit || static_cast<uint64_t>(st.st_size) > INT32_MAX) {
      std::fclose(f);
      throw std::runtime_error("decode failed: " + path);
    }
    bytes.resize(static_cast<std::size_t>(st.st_size));
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    if (got != bytes.size()) throw std::runtime_error("decode failed: " + path);
    // Tables first: reading the header already builds the tables that precede it.
    std::string why;
    if (!jpegHuffmanTablesSane(bytes.data(), bytes.size(), &why))
      throw std::runtime_error("decode failed: " + path + " (" + why + ")");
    int fw = 0, fh = 0, channels = 0;
    if (!stbi_info_from_memory(bytes.data(), static_cast<int>(bytes.size()), &fw, &fh, &channels))
      throw std::runtime_error("decode failed: " + path);
    if (fw != w || fh != h) refuseSize(path, fw, fh);
  }
};

SourcePtr openJpgDir(const std::string& dir, int NT, int W, int H) {
  return SourcePtr(new JpgDirSource(dir, NT, W, H));
}

}  // namespace driver
}  // namespace tq
