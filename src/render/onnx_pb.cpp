#include "render/onnx_pb.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace tq {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

uint64_t varint(const uint8_t*& p, const uint8_t* end) {
  uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    if (p >= end) fail("onnx: bad varint");
    const uint8_t b = *p++;
    v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return v;
  }
  fail("onnx: bad varint");
}

float leFloat(const uint8_t* p) {
  const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                     (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

std::string text(const PbField& f) { return std::string(reinterpret_cast<const char*>(f.data), f.size); }

// Appends the varints of a repeated int64 field, packed (wire 2) or not (wire 0).
void int64s(const PbField& f, std::vector<int64_t>& out) {
  if (f.wire == 0) {
    out.push_back(static_cast<int64_t>(f.value));
  } else if (f.wire == 2) {
    const uint8_t* p = f.data;
    const uint8_t* e = p + f.size;
    while (p < e) out.push_back(static_cast<int64_t>(varint(p, e)));
  }
}

// 4 x the product of the dims, or false when a dim is negative or it overflows.
bool byteCount(const std::vector<int64_t>& dims, uint64_t& bytes) {
  uint64_t n = 4;
  for (int64_t d : dims) {
    if (d < 0 || __builtin_mul_overflow(n, static_cast<uint64_t>(d), &n)) return false;
  }
  bytes = n;
  return true;
}

OnnxTensor readInitializer(const uint8_t* data, std::size_t size) {
  OnnxTensor t;
  bool haveRaw = false;
  const uint8_t* raw = nullptr;
  std::size_t rawSize = 0;
  std::vector<float> listed;
  bool haveListed = false;
  PbReader r(data, size);
  PbField f;
  while (r.next(f)) {
    switch (f.number) {
      case 1:
        int64s(f, t.dims);
        break;
      case 2:
        if (f.wire == 0) t.dataType = static_cast<int32_t>(f.value);
        break;
      case 4:
        if (f.wire == 5) {
          listed.push_back(leFloat(f.data));
          haveListed = true;
        } else if (f.wire == 2) {
          for (std::size_t i = 0; i + 4 <= f.size; i += 4) listed.push_back(leFloat(f.data + i));
          haveListed = true;
        }
        break;
      case 8:
        if (f.wire == 2) t.name = text(f);
        break;
      case 9:
        if (f.wire == 2) {
          raw = f.data;
          rawSize = f.size;
          haveRaw = true;
        }
        break;
      default:
        break;
    }
  }
  if (t.dataType != 1) fail("onnx: non-fp32 initializer " + t.name);
  if (haveRaw) {
    uint64_t expect = 0;
    if (!byteCount(t.dims, expect) || expect != rawSize) fail("onnx: raw size mismatch " + t.name);
    t.values.resize(rawSize / 4);
    for (std::size_t i = 0; i < t.values.size(); ++i) t.values[i] = leFloat(raw + 4 * i);
  } else if (haveListed) {
    t.values.swap(listed);
  } else {
    fail("onnx: no data for " + t.name);
  }
  return t;
}

OnnxInput readInput(const uint8_t* data, std::size_t size) {
  OnnxInput in;
  PbReader r(data, size);
  PbField f;
  while (r.next(f)) {
    if (f.number == 1 && f.wire == 2) in.name = text(f);
    if (f.number != 2 || f.wire != 2) continue;
    // TypeProto -> tensor_type (1) -> shape (2) -> dim (1) -> dim_value (1)
    PbReader tr(f.data, f.size);
    PbField tf;
    while (tr.next(tf)) {
      if (tf.number != 1 || tf.wire != 2) continue;
      PbReader ttr(tf.data, tf.size);
      PbField ttf;
      while (ttr.next(ttf)) {
        if (ttf.number != 2 || ttf.wire != 2) continue;
        PbReader sr(ttf.data, ttf.size);
        PbField sf;
        while (sr.next(sf)) {
          if (sf.number != 1 || sf.wire != 2) continue;
          int64_t d = 0;
          PbReader dr(sf.data, sf.size);
          PbField df;
          while (dr.next(df))
            if (df.number == 1 && df.wire == 0) d = static_cast<int64_t>(df.value);
          in.shape.push_back(d);
        }
      }
    }
  }
  return in;
}

}  // namespace

bool PbReader::next(PbField& f) {
  if (p_ >= end_) return false;
  const uint8_t* p = p_;
  const uint64_t tag = varint(p, end_);
  f.number = static_cast<uint32_t>(tag >> 3);
  f.wire = static_cast<uint32_t>(tag & 7);
  f.value = 0;
  f.data = nullptr;
  f.size = 0;
  switch (f.wire) {
    case 0:
      f.value = varint(p, end_);
      break;
    case 1:
    case 5: {
      const std::size_t n = f.wire == 1 ? 8 : 4;
      if (static_cast<std::size_t>(end_ - p) < n) fail("onnx: truncated");
      f.data = p;
      f.size = n;
      p += n;
      break;
    }
    case 2: {
      const uint64_t len = varint(p, end_);
      if (len > static_cast<uint64_t>(end_ - p)) fail("onnx: truncated");
      f.data = p;
      f.size = static_cast<std::size_t>(len);
      p += len;
      break;
    }
    default:
      fail("onnx: bad wire type");
  }
  p_ = p;
  return true;
}

const OnnxTensor& OnnxModel::get(const std::string& name) const {
  for (const auto& t : initializers)
    if (t.name == name) return t;
  fail("onnx: missing initializer " + name);
}

OnnxModel loadOnnx(const std::string& path) {
  std::vector<uint8_t> bytes;
  {
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp) fail("tq_conv: cannot open " + path);
    struct stat st;
    if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
      std::fclose(fp);
      fail("tq_conv: cannot open " + path);
    }
    bytes.resize(static_cast<std::size_t>(st.st_size));
    const std::size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), fp);
    std::fclose(fp);
    if (got != bytes.size()) fail("tq_conv: short read " + path);
  }
  OnnxModel m;
  const uint8_t* graph = nullptr;
  std::size_t graphSize = 0;
  {
    PbReader r(bytes.data(), bytes.size());
    PbField f;
    while (r.next(f)) {
      if (f.number == 7 && f.wire == 2) {
        graph = f.data;
        graphSize = f.size;
        break;
      }
    }
  }
  if (!graph) return m;
  PbReader r(graph, graphSize);
  PbField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.number == 5)
      m.initializers.push_back(readInitializer(f.data, f.size));
    else if (f.number == 11)
      m.inputs.push_back(readInput(f.data, f.size));
  }
  return m;
}

}  // namespace tq
