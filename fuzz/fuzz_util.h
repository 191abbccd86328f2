// Helpers shared by the fuzz targets: scratch directories, files from input
// bytes, and multi-file inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tqfuzz {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Removes `path` and everything below it; a missing path is fine.
void removeTree(const std::string& path);

// Writes `size` bytes to `path`, creating parent directories inside the scratch tree.
void writeFile(const std::string& path, const void* data, std::size_t size);
void writeFile(const std::string& path, const std::string& text);

// Splits a multi-file input at each separator line "\n@@\n"; the separator is
// in every dictionary so the fuzzer finds it quickly.
std::vector<std::string> segments(const uint8_t* data, std::size_t size);

// Reads a model's graph back the way the rewrites do: every node, its attributes
// and Constant values, and every graph input's shape. Throws on malformed bytes.
void readGraphBack(const std::vector<uint8_t>& model);

}  // namespace tqfuzz
