// Internal stages of the head weights reader: the ZIP walk over a checkpoint
// and the pickle evaluation of its data.pkl into a list of named tensors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// A tensor as the pickle describes it: which storage, where in it, what shape
// (shared: a pickle may set one memoised tensor under many keys).
struct TensorRef {
  std::string storageKey;
  int64_t offset = 0;
  std::shared_ptr<const std::vector<int64_t>> shape;
};

// What a head archive may describe: a blend head is ten tensors of at most four
// dimensions. Limits far above that, checked before anything is copied, keep a
// hostile pickle from asking for memory out of proportion to its size.
constexpr std::size_t kMaxTensorDims = 8;
constexpr std::size_t kMaxTensors = 1024;

// (state-dict key, tensor) pairs in the order SETITEM and SETITEMS met them.
using TensorList = std::vector<std::pair<std::string, TensorRef>>;

// maxElements: the most elements one tensor may have (its archive's bytes / 4:
// no storage of the archive can hold more).
TensorList evalPickle(const uint8_t* data, std::size_t size, uint64_t maxElements);

}  // namespace head
}  // namespace tessera
}  // namespace tq
