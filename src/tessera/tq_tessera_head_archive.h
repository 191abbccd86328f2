// Internal stages of the head weights reader: the ZIP walk over a checkpoint
// and the pickle evaluation of its data.pkl into a list of named tensors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tq {
namespace tessera {
namespace head {

// One stored ZIP member: its name and where its bytes lie in the archive.
struct ZipEntry {
  std::string name;
  uint64_t offset = 0;
  uint64_t size = 0;
};

// Every central-directory entry of an archive of stored members, each checked
// to lie inside the archive.
std::vector<ZipEntry> zipEntries(const uint8_t* data, std::size_t size);

// A tensor as the pickle describes it: which storage, where in it, what shape.
struct TensorRef {
  std::string storageKey;
  int64_t offset = 0;
  std::vector<int64_t> shape;
};

// (state-dict key, tensor) pairs in the order SETITEM and SETITEMS met them.
using TensorList = std::vector<std::pair<std::string, TensorRef>>;

TensorList evalPickle(const uint8_t* data, std::size_t size);

}  // namespace head
}  // namespace tessera
}  // namespace tq
