// Reading and writing serialized ONNX models directly on their protobuf bytes.
//
// Every load-time rewrite of the director graph works on the model bytes, never on
// a parsed object model: reads are views into the caller's buffer, writes append
// protobuf fields to byte vectors. A rewrite copies every field it does not change
// byte for byte (through the field's raw extent) in its incoming order, so a graph
// that is not touched comes back bit-exact and nothing the reader does not
// interpret (doc strings, metadata, external-data references) is lost.
//
// Malformed bytes throw std::runtime_error with exactly one of
//   "onnx: bad varint"      a varint runs past the end or past 10 bytes
//   "onnx: truncated"       a fixed-size or length-delimited field runs past the end
//   "onnx: bad wire type"   wire types 3, 4 (groups), 6 and 7
// Lookups that find nothing return empty results, never errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tq {

// A view into a buffer that outlives it. An empty slice has size 0.
struct GsSlice {
  const uint8_t* data = nullptr;
  std::size_t size = 0;

  GsSlice() = default;
  GsSlice(const uint8_t* d, std::size_t n) : data(d), size(n) {}
  explicit GsSlice(const std::vector<uint8_t>& v) : data(v.data()), size(v.size()) {}
  bool empty() const { return size == 0; }
  std::string str() const { return size ? std::string(reinterpret_cast<const char*>(data), size) : std::string(); }
};

// One decoded field.
struct GsField {
  uint32_t number = 0;  // field number
  uint32_t wire = 0;    // wire type
  uint64_t value = 0;   // varint value (wire type 0 only)
  GsSlice payload;      // payload (wire type 2 only)
  GsSlice raw;          // the whole field, first tag byte to last byte
};

// A cursor over one message's bytes.
struct GsReader {
  const uint8_t* pos = nullptr;
  const uint8_t* end = nullptr;

  GsReader() = default;
  GsReader(const uint8_t* p, std::size_t n) : pos(p), end(p + n) {}
  explicit GsReader(GsSlice s) : pos(s.data), end(s.data + s.size) {}

  // Decodes the next field and advances; false at the end of the message.
  bool next(GsField& f);
};

// One graph node as read by gsReadGraph.
struct GsNodeInfo {
  GsSlice bytes;  // the NodeProto payload
  std::string opType;
  std::vector<std::string> inputs;  // in order, empty names kept
  std::vector<std::string> outputs;
};

// What gsRebuild changes in the graph.
struct GsGraphEdit {
  std::vector<bool> dropNode;  // by node position; a missing entry means keep
  bool dropPrgbInput = false;
  bool onlyPrgbInput = false;
  bool dropOutputs = false;
  std::optional<std::string> newValueName;
  const int64_t* newValueDims = nullptr;
  int newValueRank = 0;
  uint32_t newValueField = 0;  // 11: graph input, 12: graph output, 0: none
  std::vector<std::string> dropInitializers;  // initializers no kept node reads
};

// ---------------------------------------------------------------- reading

// Payload of the first ModelProto field 7 (graph) of wire type 2, or an empty slice.
GsSlice gsGraphOf(GsSlice model);
GsSlice gsGraphOf(const std::vector<uint8_t>& model);

// Payload of the first field of `slice` when it is length-delimited, else empty.
GsSlice hcPayload(GsSlice slice);

// Payload, as a string, of the first length-delimited field `field`; "" if none.
std::string gsFirstStr(GsSlice slice, uint32_t field);

// Appends every length-delimited field `field` as a string, in order.
void gsAllStr(GsSlice slice, uint32_t field, std::vector<std::string>& list);

// One GsNodeInfo per node (GraphProto field 1), the name of every initializer
// (field 5) and of every graph input (field 11), in order. The lists are cleared first.
void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::vector<std::string>& initializerNames,
                 std::vector<std::string>& inputNames);

// A TensorProto's values as float: raw_data read as little-endian float32 (whole
// groups of 4 bytes only), else float_data, packed or not. Clears `floats` first.
// True only for data_type FLOAT with at least one value.
bool hcTensorFloats(GsSlice tensor, std::vector<float>& floats);

// A TensorProto's dims, packed or not. Clears `dims` first.
void hcTensorDims(GsSlice tensor, std::vector<int64_t>& dims);

// The tensor of a node's attribute named "value" (Constant nodes), or empty.
GsSlice hcConstValue(GsSlice node);

// The shape of the graph input `name`: first and last dimension and the rank; a
// symbolic dimension reads as 0. All three are 0 when there is no such input.
void ldInputDims(GsSlice graph, const std::string& name, int64_t& first, int64_t& last, int64_t& count);

// ---------------------------------------------------------------- writing

// Base-128 varint, low 7 bits first.
void gsPutVarint(std::vector<uint8_t>& out, uint64_t value);
// Tag (field x 8 + 2), length, bytes.
void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const void* data, std::size_t size);
void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const std::string& s);
// The slice's bytes unchanged (copies a field through its raw extent).
void gsPutRaw(std::vector<uint8_t>& out, GsSlice slice);

// A float ValueInfoProto as field `field`: name, then type.tensor_type with
// elem_type FLOAT and one dim per dimension: dim_value when > 0, otherwise (or for
// every dimension when `dims` is null) dim_param "tq_hoist_d<index>".
void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, const std::string& name,
                          const int64_t* dims, int rank);

// A default-domain NodeProto as GraphProto field 1: inputs, the one output, name,
// op_type, then `attributes` (already encoded NodeProto field-5 entries) unchanged.
void hcNode(std::vector<uint8_t>& out, const std::string& opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const std::vector<uint8_t>& attributes);

// A TensorProto as GraphProto field 5: dims (unpacked), data_type, name, raw_data.
void hcInit(std::vector<uint8_t>& out, const std::string& name, int32_t dataType,
            const std::vector<int64_t>& dims, const void* data, std::size_t size);

// AttributeProto entries (NodeProto field 5) appended to `attributes`.
void hcAttrI(std::vector<uint8_t>& attributes, const std::string& name, int64_t value);
void hcAttrIs(std::vector<uint8_t>& attributes, const std::string& name, const int64_t* values, std::size_t count);
void hcAttrS(std::vector<uint8_t>& attributes, const std::string& name, const std::string& value);

// Rebuilds `model` into `out` (cleared first) with `edit` applied to its graph:
// dropped nodes, graph inputs and outputs, a value_info entry replaced by a new
// value description. Every other field is copied byte for byte, in order.
void gsRebuild(const std::vector<uint8_t>& model, const GsGraphEdit& edit, std::vector<uint8_t>& out);

}  // namespace tq
