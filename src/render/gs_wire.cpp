#include "render/gs_wire.h"

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "render/gs_graph_rewrite.h"

namespace tq {

namespace {

constexpr uint32_t kWireVarint = 0;
constexpr uint32_t kWire64 = 1;
constexpr uint32_t kWireBytes = 2;
constexpr uint32_t kWire32 = 5;

// ModelProto / GraphProto / NodeProto / ... field numbers used here.
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kGraphNode = 1;
constexpr uint32_t kGraphInitializer = 5;
constexpr uint32_t kGraphInput = 11;
constexpr uint32_t kGraphOutput = 12;
constexpr uint32_t kGraphValueInfo = 13;
constexpr uint32_t kNodeInput = 1;
constexpr uint32_t kNodeOutput = 2;
constexpr uint32_t kNodeName = 3;
constexpr uint32_t kNodeOpType = 4;
constexpr uint32_t kNodeAttribute = 5;
constexpr uint32_t kAttrName = 1;
constexpr uint32_t kAttrI = 3;
constexpr uint32_t kAttrS = 4;
constexpr uint32_t kAttrT = 5;
constexpr uint32_t kAttrInts = 8;
constexpr uint32_t kAttrType = 20;
constexpr uint32_t kTensorDims = 1;
constexpr uint32_t kTensorDataType = 2;
constexpr uint32_t kTensorFloatData = 4;
constexpr uint32_t kTensorName = 8;
constexpr uint32_t kTensorRawData = 9;
constexpr uint32_t kValueInfoName = 1;
constexpr uint32_t kValueInfoType = 2;
constexpr uint32_t kTypeTensor = 1;
constexpr uint32_t kTensorTypeElem = 1;
constexpr uint32_t kTensorTypeShape = 2;
constexpr uint32_t kShapeDim = 1;
constexpr uint32_t kDimValue = 1;
constexpr uint32_t kDimParam = 2;

constexpr int32_t kFloat = 1;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

// Reads a varint of at most 10 bytes at p (< end), advancing p.
uint64_t readVarint(const uint8_t*& p, const uint8_t* end) {
  uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    if (p >= end) fail("onnx: bad varint");
    const uint8_t b = *p++;
    v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return v;
  }
  fail("onnx: bad varint");
}

void putTag(std::vector<uint8_t>& out, uint32_t field, uint32_t wire) {
  gsPutVarint(out, (static_cast<uint64_t>(field) << 3) | wire);
}

void putVarintField(std::vector<uint8_t>& out, uint32_t field, uint64_t value) {
  putTag(out, field, kWireVarint);
  gsPutVarint(out, value);
}

// Emits `body` as a length-delimited field.
void putMessage(std::vector<uint8_t>& out, uint32_t field, const std::vector<uint8_t>& body) {
  gsPutBytes(out, field, body.data(), body.size());
}

float leFloat(const uint8_t* p) {
  const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                     (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

}  // namespace

bool GsReader::next(GsField& f) {
  if (pos >= end) return false;
  const uint8_t* start = pos;
  const uint8_t* p = pos;
  const uint64_t tag = readVarint(p, end);
  f.number = static_cast<uint32_t>(tag >> 3);
  f.wire = static_cast<uint32_t>(tag & 7);
  f.value = 0;
  f.payload = GsSlice();
  switch (f.wire) {
    case kWireVarint:
      f.value = readVarint(p, end);
      break;
    case kWire64:
      if (end - p < 8) fail("onnx: truncated");
      p += 8;
      break;
    case kWire32:
      if (end - p < 4) fail("onnx: truncated");
      p += 4;
      break;
    case kWireBytes: {
      const uint64_t len = readVarint(p, end);
      if (len > static_cast<uint64_t>(end - p)) fail("onnx: truncated");
      f.payload = GsSlice(p, static_cast<std::size_t>(len));
      p += len;
      break;
    }
    default:
      fail("onnx: bad wire type");
  }
  f.raw = GsSlice(start, static_cast<std::size_t>(p - start));
  pos = p;
  return true;
}

// ---------------------------------------------------------------- reading

GsSlice gsGraphOf(GsSlice model) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.number == kModelGraph && f.wire == kWireBytes) return f.payload;
  return GsSlice();
}

GsSlice gsGraphOf(const std::vector<uint8_t>& model) { return gsGraphOf(GsSlice(model)); }

GsSlice hcPayload(GsSlice slice) {
  GsReader r(slice);
  GsField f;
  if (r.next(f) && f.wire == kWireBytes) return f.payload;
  return GsSlice();
}

std::string gsFirstStr(GsSlice slice, uint32_t field) {
  GsReader r(slice);
  GsField f;
  while (r.next(f))
    if (f.number == field && f.wire == kWireBytes) return f.payload.str();
  return std::string();
}

void gsAllStr(GsSlice slice, uint32_t field, std::vector<std::string>& list) {
  GsReader r(slice);
  GsField f;
  while (r.next(f))
    if (f.number == field && f.wire == kWireBytes) list.push_back(f.payload.str());
}

void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::vector<std::string>& initializerNames,
                 std::vector<std::string>& inputNames) {
  nodes.clear();
  initializerNames.clear();
  inputNames.clear();
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != kWireBytes) continue;
    if (f.number == kGraphNode) {
      GsNodeInfo n;
      n.bytes = f.payload;
      bool haveOp = false;
      GsReader nr(f.payload);
      GsField nf;
      while (nr.next(nf)) {
        if (nf.wire != kWireBytes) continue;
        if (nf.number == kNodeInput)
          n.inputs.push_back(nf.payload.str());
        else if (nf.number == kNodeOutput)
          n.outputs.push_back(nf.payload.str());
        else if (nf.number == kNodeOpType && !haveOp) {
          n.opType = nf.payload.str();
          haveOp = true;
        }
      }
      nodes.push_back(std::move(n));
    } else if (f.number == kGraphInitializer) {
      initializerNames.push_back(gsFirstStr(f.payload, kTensorName));
    } else if (f.number == kGraphInput) {
      inputNames.push_back(gsFirstStr(f.payload, kValueInfoName));
    }
  }
}

bool hcTensorFloats(GsSlice tensor, std::vector<float>& floats) {
  floats.clear();
  int64_t dataType = 0;
  bool haveRaw = false;
  GsSlice raw;
  std::vector<float> listed;
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number == kTensorDataType && f.wire == kWireVarint) {
      dataType = static_cast<int64_t>(f.value);
    } else if (f.number == kTensorRawData && f.wire == kWireBytes) {
      if (!haveRaw) raw = f.payload;
      haveRaw = true;
    } else if (f.number == kTensorFloatData && f.wire == kWire32) {
      listed.push_back(leFloat(f.raw.data + f.raw.size - 4));
    } else if (f.number == kTensorFloatData && f.wire == kWireBytes) {
      for (std::size_t i = 0; i + 4 <= f.payload.size; i += 4) listed.push_back(leFloat(f.payload.data + i));
    }
  }
  if (haveRaw) {
    for (std::size_t i = 0; i + 4 <= raw.size; i += 4) floats.push_back(leFloat(raw.data + i));
  } else {
    floats.swap(listed);
  }
  return dataType == kFloat && !floats.empty();
}

void hcTensorDims(GsSlice tensor, std::vector<int64_t>& dims) {
  dims.clear();
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number != kTensorDims) continue;
    if (f.wire == kWireVarint) {
      dims.push_back(static_cast<int64_t>(f.value));
    } else if (f.wire == kWireBytes) {
      const uint8_t* p = f.payload.data;
      const uint8_t* e = p + f.payload.size;
      while (p < e) dims.push_back(static_cast<int64_t>(readVarint(p, e)));
    }
  }
}

GsSlice hcConstValue(GsSlice node) {
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number != kNodeAttribute || f.wire != kWireBytes) continue;
    if (gsFirstStr(f.payload, kAttrName) != "value") continue;
    GsReader ar(f.payload);
    GsField af;
    while (ar.next(af))
      if (af.number == kAttrT && af.wire == kWireBytes) return af.payload;
    return GsSlice();
  }
  return GsSlice();
}

void ldInputDims(GsSlice graph, const std::string& name, int64_t& first, int64_t& last, int64_t& count) {
  first = last = count = 0;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.number != kGraphInput || f.wire != kWireBytes) continue;
    if (gsFirstStr(f.payload, kValueInfoName) != name) continue;
    // ValueInfoProto.type -> TypeProto.tensor_type -> shape -> dim*
    GsReader vr(f.payload);
    GsField vf;
    while (vr.next(vf)) {
      if (vf.number != kValueInfoType || vf.wire != kWireBytes) continue;
      GsReader tr(vf.payload);
      GsField tf;
      while (tr.next(tf)) {
        if (tf.number != kTypeTensor || tf.wire != kWireBytes) continue;
        GsReader ttr(tf.payload);
        GsField ttf;
        while (ttr.next(ttf)) {
          if (ttf.number != kTensorTypeShape || ttf.wire != kWireBytes) continue;
          GsReader sr(ttf.payload);
          GsField sf;
          while (sr.next(sf)) {
            if (sf.number != kShapeDim || sf.wire != kWireBytes) continue;
            int64_t d = 0;
            GsReader dr(sf.payload);
            GsField df;
            while (dr.next(df))
              if (df.number == kDimValue && df.wire == kWireVarint) d = static_cast<int64_t>(df.value);
            if (count == 0) first = d;
            last = d;
            ++count;
          }
        }
      }
    }
    return;
  }
}

// ---------------------------------------------------------------- writing

void gsPutVarint(std::vector<uint8_t>& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const void* data, std::size_t size) {
  putTag(out, field, kWireBytes);
  gsPutVarint(out, size);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (size) out.insert(out.end(), p, p + size);
}

void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const std::string& s) {
  gsPutBytes(out, field, s.data(), s.size());
}

void gsPutRaw(std::vector<uint8_t>& out, GsSlice slice) {
  if (slice.size) out.insert(out.end(), slice.data, slice.data + slice.size);
}

void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, const std::string& name,
                          const int64_t* dims, int rank) {
  std::vector<uint8_t> shape;
  for (int i = 0; i < rank; ++i) {
    std::vector<uint8_t> dim;
    if (dims && dims[i] > 0) {
      putVarintField(dim, kDimValue, static_cast<uint64_t>(dims[i]));
    } else {
      char param[32];
      std::snprintf(param, sizeof param, "tq_hoist_d%u", static_cast<unsigned>(i));
      gsPutBytes(dim, kDimParam, std::string(param));
    }
    putMessage(shape, kShapeDim, dim);
  }
  std::vector<uint8_t> tensorType;
  putVarintField(tensorType, kTensorTypeElem, kFloat);
  putMessage(tensorType, kTensorTypeShape, shape);
  std::vector<uint8_t> type;
  putMessage(type, kTypeTensor, tensorType);
  std::vector<uint8_t> vi;
  gsPutBytes(vi, kValueInfoName, name);
  putMessage(vi, kValueInfoType, type);
  putMessage(out, field, vi);
}

void hcNode(std::vector<uint8_t>& out, const std::string& opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const std::vector<uint8_t>& attributes) {
  std::vector<uint8_t> node;
  for (const auto& in : inputs) gsPutBytes(node, kNodeInput, in);
  gsPutBytes(node, kNodeOutput, output);
  gsPutBytes(node, kNodeName, name);
  gsPutBytes(node, kNodeOpType, opType);
  node.insert(node.end(), attributes.begin(), attributes.end());
  putMessage(out, kGraphNode, node);
}

void hcInit(std::vector<uint8_t>& out, const std::string& name, int32_t dataType,
            const std::vector<int64_t>& dims, const void* data, std::size_t size) {
  std::vector<uint8_t> t;
  for (int64_t d : dims) putVarintField(t, kTensorDims, static_cast<uint64_t>(d));
  putVarintField(t, kTensorDataType, static_cast<uint64_t>(static_cast<int64_t>(dataType)));
  gsPutBytes(t, kTensorName, name);
  gsPutBytes(t, kTensorRawData, data, size);
  putMessage(out, kGraphInitializer, t);
}

void hcAttrI(std::vector<uint8_t>& attributes, const std::string& name, int64_t value) {
  std::vector<uint8_t> a;
  gsPutBytes(a, kAttrName, name);
  putVarintField(a, kAttrI, static_cast<uint64_t>(value));
  putVarintField(a, kAttrType, 2);
  putMessage(attributes, kNodeAttribute, a);
}

void hcAttrIs(std::vector<uint8_t>& attributes, const std::string& name, const int64_t* values, std::size_t count) {
  std::vector<uint8_t> a;
  gsPutBytes(a, kAttrName, name);
  for (std::size_t i = 0; i < count; ++i) putVarintField(a, kAttrInts, static_cast<uint64_t>(values[i]));
  putVarintField(a, kAttrType, 7);
  putMessage(attributes, kNodeAttribute, a);
}

void hcAttrS(std::vector<uint8_t>& attributes, const std::string& name, const std::string& value) {
  std::vector<uint8_t> a;
  gsPutBytes(a, kAttrName, name);
  gsPutBytes(a, kAttrS, value);
  putVarintField(a, kAttrType, 3);
  putMessage(attributes, kNodeAttribute, a);
}

// ---------------------------------------------------------------- rebuild

void gsRebuild(const std::vector<uint8_t>& model, const GsGraphEdit& edit, std::vector<uint8_t>& out) {
  if (&model == &out) {
    std::vector<uint8_t> rebuilt;
    gsRebuild(model, edit, rebuilt);
    out.swap(rebuilt);
    return;
  }
  const auto onField = [&edit](const GsField& gf, std::ptrdiff_t node, std::vector<uint8_t>& graph) {
    bool keep = true;
    if (node >= 0) {
      keep = !(static_cast<std::size_t>(node) < edit.dropNode.size() && edit.dropNode[node]);
    } else if (gf.number == kGraphInput && gf.wire == kWireBytes) {
      const bool isPrgb = gsFirstStr(gf.payload, kValueInfoName) == "P_rgb";
      if (edit.onlyPrgbInput)
        keep = isPrgb && !edit.dropPrgbInput;
      else
        keep = !(isPrgb && edit.dropPrgbInput);
    } else if (gf.number == kGraphOutput && gf.wire == kWireBytes) {
      keep = !edit.dropOutputs;
    } else if (gf.number == kGraphValueInfo && gf.wire == kWireBytes) {
      keep = !(edit.newValueName && gsFirstStr(gf.payload, kValueInfoName) == *edit.newValueName);
    } else if (gf.number == kGraphInitializer && gf.wire == kWireBytes && !edit.dropInitializers.empty()) {
      const std::string name = gsFirstStr(gf.payload, kTensorName);
      keep = std::find(edit.dropInitializers.begin(), edit.dropInitializers.end(), name) ==
             edit.dropInitializers.end();
    }
    if (keep) gsPutRaw(graph, gf.raw);
  };
  gsRewriteGraph(GsSlice(model), out, 256, onField, [&edit](std::vector<uint8_t>& graph) {
    if (edit.newValueName && edit.newValueField != 0)
      gsPutTensorValueInfo(graph, edit.newValueField, *edit.newValueName, edit.newValueDims, edit.newValueRank);
  });
}

}  // namespace tq
