// The exported tq_fca_* functions.
#include <cstring>
#include <exception>
#include <string>

#include "audio/tq_fca.h"
#include "base/tq_error.h"
#include "tq/tq.h"

struct tq_fca {
  tq::Fca engine;
  tq_fca(const char* enc, const char* dec, int threads) : engine(enc, dec, threads) {}
};

extern "C" {

tq_fca* tq_fca_create(const char* encoder_path, const char* decoder_path, int threads) {
  tq::clearErr();
  if (!encoder_path || !decoder_path) {
    tq::setErrText("tq_fca_create: NULL encoder_path/decoder_path");
    return nullptr;
  }
  try {
    return new tq_fca(encoder_path, decoder_path, threads);
  } catch (const std::exception& e) {
    tq::setErr("tq_fca_create", e);
  } catch (...) {
    tq::setErr("tq_fca_create", "unknown failure");
  }
  return nullptr;
}

int tq_fca_deltas(tq_fca* fca, const float* audio, int n, float* out, int max_frames) {
  tq::clearErr();
  if (!fca) {
    tq::setErrText("tq_fca_deltas: NULL handle");
    return -1;
  }
  if (n < 1) return 0;
  if (!audio || !out) {
    tq::setErrText("tq_fca_deltas: NULL audio/out");
    return -1;
  }
  const int64_t frames = tq::Fca::framesFor(n);
  if (max_frames < frames) {
    tq::setErrText("tq_fca_deltas: max_frames " + std::to_string(max_frames) + " < " + std::to_string(frames) +
                   " frames");
    return -2;
  }
  try {
    fca->engine.deltas(audio, n, out);
    return static_cast<int>(frames);
  } catch (const std::exception& e) {
    tq::setErr("tq_fca_deltas", e);
  } catch (...) {
    tq::setErr("tq_fca_deltas", "unknown failure");
  }
  return -1;
}

void tq_fca_destroy(tq_fca* fca) { delete fca; }

const char* tq_fca_last_error(void) { return tq::lastError().c_str(); }

}  // extern "C"
