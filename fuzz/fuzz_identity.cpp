// Identity and drive member sizing. Segments: manifest.json; member sizes as
// lines "name bytes" (sparse files, so large sizes cost nothing); then the
// contents of M.f32, drive/xs.f32, drive/xd.f32 and drive/si.i32.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <sstream>

#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "fuzz_util.h"

namespace {

constexpr long long kMaxSparse = 1ll << 32;

void sparseMembers(const tqfuzz::TempDir& dir, const std::string& lines) {
  std::istringstream in(lines);
  std::string name;
  long long bytes = 0;
  while (in >> name >> bytes) {
    if (bytes < 0 || bytes > kMaxSparse || name.find("..") != std::string::npos || name[0] == '/') continue;
    tqfuzz::writeFile(dir / name, "", 0);
    if (::truncate((dir / name).c_str(), bytes) != 0) continue;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> seg = tqfuzz::segments(data, size);
  tqfuzz::TempDir dir;
  tqfuzz::writeFile(dir / "manifest.json", seg[0]);
  if (seg.size() > 1) sparseMembers(dir, seg[1]);
  static const char* const kRaw[] = {"M.f32", "drive/xs.f32", "drive/xd.f32", "drive/si.i32"};
  for (std::size_t i = 2; i < seg.size() && i - 2 < 4; ++i) tqfuzz::writeFile(dir / kRaw[i - 2], seg[i]);
  try {
    const tq::Manifest m = tq::loadManifest(dir.path());
    try {
      tq::Identity id(m);
      // Every row the sizes promised must be there.
      volatile uint16_t sink = 0;
      for (int i = 0; i < id.NT; i += (id.NT > 64 ? id.NT / 64 : 1)) {
        const std::size_t side = static_cast<std::size_t>(id.crop);
        sink = sink + id.pooled64(i)[0] + id.pooled64(i)[65535];
        if (!id.rawPrior.empty()) sink = sink + id.P(i)[0] + id.P(i)[3 * side * side - 1];
        if (!id.featSynth.empty()) sink = sink + id.fsRed(i)[0] + id.fsRed(i)[262143];
        uint32_t bits;  // the float's bits: a cast of a huge value would itself be undefined
        std::memcpy(&bits, &id.M(i)[5], sizeof bits);
        sink = sink + static_cast<uint16_t>(bits);
      }
    } catch (const std::exception&) {
    }
    const tq::Drive d = tq::loadDrive(m);
    if (d.xs.size() != static_cast<std::size_t>(d.frames) * 63 || d.si.size() != static_cast<std::size_t>(d.frames))
      std::abort();
  } catch (const std::exception&) {
  }
  return 0;
}
