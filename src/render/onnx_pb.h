// A second, self-contained reader of ONNX model files for the fp16 convolution
// engine: pulls the fp32 initializers and the graph inputs out of a model.
//
// It decodes the protobuf wire format with the same rules and the same error texts
// as the graph wire toolkit ("onnx: bad varint", "onnx: truncated",
// "onnx: bad wire type"), but copies what it keeps out of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tq {

// One decoded protobuf field.
struct PbField {
  uint32_t number = 0;
  uint32_t wire = 0;
  uint64_t value = 0;              // wire type 0
  const uint8_t* data = nullptr;   // payload: wire type 2, and the fixed bytes of wire types 1 and 5
  std::size_t size = 0;
};

// A cursor over one message's bytes.
class PbReader {
 public:
  PbReader(const uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  // Decodes the next field and advances; false at the end. Throws on malformed bytes.
  bool next(PbField& f);

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// An initializer widened to fp32.
struct OnnxTensor {
  std::string name;
  std::vector<int64_t> dims;
  int32_t dataType = 0;
  std::vector<float> values;
};

// A graph input: its name and shape (a symbolic dimension reads as 0).
struct OnnxInput {
  std::string name;
  std::vector<int64_t> shape;
};

struct OnnxModel {
  std::vector<OnnxTensor> initializers;  // in graph order
  std::vector<OnnxInput> inputs;         // in graph order

  // The initializer with exactly this name; throws "onnx: missing initializer <name>".
  const OnnxTensor& get(const std::string& name) const;
};

// Reads the model file at `path`. Throws "tq_conv: cannot open <path>",
// "tq_conv: short read <path>", the wire errors, and for an initializer
// "onnx: non-fp32 initializer <name>", "onnx: raw size mismatch <name>"
// (raw_data is not 4 x the product of the dims) or "onnx: no data for <name>".
OnnxModel loadOnnx(const std::string& path);

}  // namespace tq
