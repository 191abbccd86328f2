#include <cstring>
#include <stdexcept>

#include "tessera/tq_tessera_head_archive.h"

namespace tq {
namespace tessera {
namespace head {

namespace {

uint32_t u16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

}  // namespace

std::vector<ZipEntry> zipEntries(const uint8_t* data, std::size_t size) {
  if (size < 22) fail("teeth: head .pt is not a zip");
  std::size_t eocd = size - 22;
  for (;;) {
    if (u32(data + eocd) == 0x06054b50u) break;
    if (eocd == 0) fail("teeth: head .pt has no zip EOCD");
    --eocd;
  }
  const uint32_t count = u16(data + eocd + 10);
  if (count == 0) fail("teeth: head .pt has no data.pkl");
  // All positions are 64-bit sums of 32-bit fields: none of them can wrap.
  const uint64_t end = size;
  uint64_t p = u32(data + eocd + 16);
  std::vector<ZipEntry> out;
  out.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (p + 46 > end || u32(data + p) != 0x02014b50u)
      fail("teeth: head .pt central directory is malformed");
    const uint8_t* c = data + p;
    const uint32_t method = u16(c + 10);
    const uint32_t csize = u32(c + 20), usize = u32(c + 24);
    const uint32_t nameLen = u16(c + 28), extraLen = u16(c + 30), commentLen = u16(c + 32);
    const uint64_t local = u32(c + 42);
    if (p + 46 + nameLen > end) fail("teeth: head .pt central directory is malformed");
    if (method != 0)
      fail("teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a "
           "compressed member");
    if (local + 30 > end) fail("teeth: head .pt local header out of range");
    ZipEntry e;
    e.name.assign(reinterpret_cast<const char*>(c + 46), nameLen);
    e.offset = local + 30 + u16(data + local + 26) + u16(data + local + 28);
    e.size = usize != 0 ? usize : csize;
    if (e.offset + e.size > end) fail("teeth: head .pt entry out of range");
    out.push_back(std::move(e));
    p += 46 + uint64_t(nameLen) + extraLen + commentLen;
  }
  return out;
}

}  // namespace head
}  // namespace tessera
}  // namespace tq
