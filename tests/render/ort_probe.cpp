// Child process for the telemetry test: builds the library's environment and a
// session on the given model, runs it once, and prints its process id.
#include <unistd.h>

#include <cstdio>

#include "render/tq_ort.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  try {
    Ort::Env& env = tq::ortEnv();  // binds the API before any other wrapper is made
    Ort::Session s(env, argv[1], Ort::SessionOptions());
    float a[2] = {1, 2}, b[2] = {3, 4};
    const int64_t shape[1] = {2};
    Ort::Value in[2] = {Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), a, 2, shape, 1),
                        Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), b, 2, shape, 1)};
    const char *inNames[2] = {"a", "b"}, *outName = "c";
    auto out = s.Run(Ort::RunOptions{nullptr}, inNames, in, 2, &outName, 1);
    const float* c = out[0].GetTensorData<float>();
    if (c[0] != 4.0f || c[1] != 6.0f) return 3;
    std::printf("pid=%d\n", static_cast<int>(getpid()));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "probe: %s\n", e.what());
    return 1;
  }
  return 0;
}
