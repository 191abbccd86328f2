#include "tessera/tq_tessera_head.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "tessera/tq_tessera_head_archive.h"
#include "tessera/tq_tessera_json.h"

namespace tq {
namespace tessera {

namespace {

using head::TensorList;
using head::TensorRef;
using head::ZipEntry;

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct Param {
  const char* key;
  std::vector<int64_t> shape;
  std::vector<float> HeadWeights::*field;
};

const std::vector<Param>& params() {
  static const std::vector<Param> table = {
      {"cand.0.weight", {16, 7, 3, 3}, &HeadWeights::cand0_w},
      {"cand.0.bias", {16}, &HeadWeights::cand0_b},
      {"cand.2.weight", {16, 16, 3, 3}, &HeadWeights::cand2_w},
      {"cand.2.bias", {16}, &HeadWeights::cand2_b},
      {"cand.4.weight", {1, 16, 3, 3}, &HeadWeights::cand4_w},
      {"cand.4.bias", {1}, &HeadWeights::cand4_b},
      {"syn.0.weight", {16, 3, 3, 3}, &HeadWeights::syn0_w},
      {"syn.0.bias", {16}, &HeadWeights::syn0_b},
      {"syn.2.weight", {1, 16, 3, 3}, &HeadWeights::syn2_w},
      {"syn.2.bias", {1}, &HeadWeights::syn2_b},
  };
  return table;
}
constexpr std::size_t kCandParams = 6;

std::size_t occurrences(const TensorList& tensors, const char* key) {
  std::size_t n = 0;
  for (const auto& kv : tensors) n += kv.first == key;
  return n;
}

std::vector<float> extract(const uint8_t* data, const std::vector<ZipEntry>& entries,
                           const TensorList& tensors, const Param& p) {
  const std::string key = p.key;
  const std::size_t n = occurrences(tensors, p.key);
  if (n == 0) throw std::runtime_error("teeth: head .pt lacks '" + key + "'");
  if (n > 1)
    throw std::runtime_error("teeth: head .pt names '" + key + "' " + std::to_string(n) +
                             " times — ambiguous");
  const TensorRef* t = nullptr;
  for (const auto& kv : tensors)
    if (kv.first == key) t = &kv.second;
  // Only tensors enter the list, so the value is a tensor by construction.
  if (*t->shape != p.shape) {
    std::string dims;
    for (std::size_t i = 0; i < t->shape->size(); ++i)
      dims += (i ? "," : "") + std::to_string((*t->shape)[i]);
    throw std::runtime_error("teeth: head '" + key + "' has shape [" + dims +
                             "] — not the BlendHead(16) arch");
  }
  uint64_t count = 1;
  for (int64_t d : p.shape) count *= static_cast<uint64_t>(d);
  const ZipEntry* storage = nullptr;
  for (const ZipEntry& e : entries)
    if (endsWith(e.name, "/data/" + t->storageKey)) {
      storage = &e;
      break;
    }
  if (!storage) throw std::runtime_error("teeth: head storage " + t->storageKey + " missing");
  // A negative offset would read before the storage; a huge one must not wrap.
  if (t->offset < 0)
    throw std::runtime_error("teeth: head storage " + t->storageKey + " offset " +
                             std::to_string(t->offset) + " is negative");
  const uint64_t floats = storage->size / 4;
  if (static_cast<uint64_t>(t->offset) > floats || floats - t->offset < count)
    throw std::runtime_error("teeth: head storage " + t->storageKey + " too small");
  std::vector<float> out(count);
  std::memcpy(out.data(), data + storage->offset + static_cast<uint64_t>(t->offset) * 4, count * 4);
  return out;
}

}  // namespace

std::size_t HeadWeights::params() const {
  std::size_t n = 0;
  for (const Param& p : tessera::params()) n += (this->*p.field).size();
  return n;
}

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes) {
  return loadHeadPt(bytes.data(), bytes.size());
}

HeadWeights loadHeadPt(const uint8_t* data, std::size_t size) {
  if (!data) size = 0;
  const std::vector<ZipEntry> entries = head::zipEntries(data, size);
  const ZipEntry* pkl = nullptr;
  for (const ZipEntry& e : entries)
    if (endsWith(e.name, "/data.pkl")) pkl = &e;
  if (!pkl) throw std::runtime_error("teeth: head .pt has no data.pkl");

  const TensorList tensors = head::evalPickle(data + pkl->offset, pkl->size, size / 4);
  if (tensors.empty()) throw std::runtime_error("teeth: head .pt state_dict is empty");

  HeadWeights w;
  const std::vector<Param>& table = tessera::params();
  for (std::size_t i = 0; i < kCandParams; ++i)
    w.*table[i].field = extract(data, entries, tensors, table[i]);
  bool syn = false;
  for (std::size_t i = kCandParams; i < table.size(); ++i) syn |= occurrences(tensors, table[i].key) > 0;
  if (syn)
    for (std::size_t i = kCandParams; i < table.size(); ++i)
      w.*table[i].field = extract(data, entries, tensors, table[i]);

  const std::size_t total = w.params();
  if (total != kHeadParamsFull && total != kHeadParamsCand)
    throw std::runtime_error("teeth: head has " + std::to_string(total) +
                             " params, not the 4,082 of BlendHead(16) nor the 3,489 of "
                             "BlendHead8(16)");
  return w;
}

namespace {

double number(const json::JVal& block, const char* key) {
  const json::JVal& v = block.req(key);
  if (!v.isNumber())
    throw std::runtime_error(std::string("teeth: member JSON key '") + key + "' is not a number");
  return v.num;
}

int32_t integer(const json::JVal& block, const char* key) {
  return json::toInt32(number(block, key), std::string("head config ") + key);
}

}  // namespace

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  const json::JVal root = json::parse(text);
  const json::JVal* retrieval = root.findKind("retrieval", json::Kind::Object);
  const json::JVal* temporal = root.findKind("temporal", json::Kind::Object);
  if (!retrieval || !temporal)
    throw std::runtime_error(
        "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — "
        "refusing to serve defaults (W3-01)");
  ServeConfig c;
  c.kshort = integer(*retrieval, "kshort");
  c.aperture_tol = number(*retrieval, "aperture_tol");
  c.cut = integer(*retrieval, "cut");
  c.K = integer(*retrieval, "K");
  c.hysteresis = integer(*temporal, "hysteresis");
  c.lookahead = integer(*temporal, "lookahead");
  if (const json::JVal* decode = root.findKind("decode", json::Kind::Object))
    if (const json::JVal* clamp = decode->find("envelope_clamp_255"))
      // Written so that NaN and a non-number refuse too.
      if (!clamp->isNumber() || !(std::fabs(clamp->num - 12.0) <= 1e-6))
        throw std::runtime_error(
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope "
            "is a gated quantity");
  return c;
}

}  // namespace tessera
}  // namespace tq
