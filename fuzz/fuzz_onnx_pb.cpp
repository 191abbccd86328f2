// The ONNX reader of the convolution backend: initializers and inputs of a
// model file.
#include <exception>

#include "fuzz_util.h"
#include "render/onnx_pb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tqfuzz::TempDir dir;
  tqfuzz::writeFile(dir / "model.onnx", data, size);
  try {
    const tq::OnnxModel m = tq::loadOnnx(dir / "model.onnx");
    for (const tq::OnnxTensor& t : m.initializers) (void)m.get(t.name);
    (void)m.get("missing");
  } catch (const std::exception&) {
  }
  return 0;
}
