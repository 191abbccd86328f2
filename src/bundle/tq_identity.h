// Identity arrays and idle-loop drive tables of a bundle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bundle/tq_bundle.h"

namespace tq {

class DriverCursor;

// A read-only private mapping of a whole file; unmapped on destruction.
struct MappedFile {
  const uint8_t* data = nullptr;
  void* base = nullptr;
  std::size_t len = 0;

  MappedFile() = default;
  MappedFile(MappedFile&& o) noexcept;
  MappedFile& operator=(MappedFile&& o) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();
  bool empty() const { return data == nullptr; }
};

// The product of sizes read from a manifest or header, refused with
// "size mismatch <path>" when it does not fit in size_t: a wrapped product
// would accept a short (even empty) member.
std::size_t sizeProduct(const std::string& path, std::initializer_list<std::size_t> factors);

// Maps `path`, which must hold exactly `expected` bytes.
// Throws "cannot open <path>", "size mismatch <path>", "mmap failed <path>".
MappedFile mapFile(const std::string& path, std::size_t expected);

// Reads exactly n elements of T from `path`; a shorter or longer file is refused
// with "size mismatch <path>" before anything is allocated.
template <class T>
std::vector<T> readRaw(const std::string& path, std::size_t n);

// Refuses a bundle that has no usable warp prior (raw, features or movie).
void ensureIdentityMembers(const Manifest& m);

// The per-identity-frame arrays of a bundle, mapped once and read-only afterwards.
class Identity {
 public:
  explicit Identity(const Manifest& m);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  int32_t NT = 0;
  int32_t crop = 0;
  MappedFile pooled;
  MappedFile rawPrior;
  MappedFile featSynth;
  std::vector<float> Mv;
  std::string priorMoviePath;
  Manifest manifest;

  // Warp prior of identity frame i: 3 x crop x crop binary16. From the mapping when
  // the bundle has "P.f16"; otherwise decoded by the prior cursor and valid until its
  // next pull.
  const uint16_t* P(int i) const;
  // Keeps the prior movie's read-ahead in step with a caller that will ask for i soon.
  void walkP(int i) const;
  const uint16_t* pooled64(int i) const;
  const uint16_t* fsRed(int i) const;
  const float* M(int i) const { return Mv.data() + static_cast<std::size_t>(i) * 6; }

  // The warp-prior movie cursor, opened on first use.
  DriverCursor* prior() const;
  std::string priorBackend() const;
  std::size_t priorResidentBytes() const;
  int64_t priorSeeks() const;

  void rescaleM(const Manifest& m);

 private:
  bool priorFromMovie() const { return rawPrior.empty() && !priorMoviePath.empty(); }

  mutable std::mutex priorOpenLock;
  mutable std::unique_ptr<DriverCursor> priorCursor;
};

// Idle-loop drive tables.
struct Drive {
  std::vector<float> xs;   // frames x 63 source keypoints
  std::vector<float> xd;   // frames x 63 driven keypoints
  std::vector<int32_t> si; // identity frame of each drive frame
  int32_t frames = 0;
};

Drive loadDrive(const Manifest& m);

}  // namespace tq
