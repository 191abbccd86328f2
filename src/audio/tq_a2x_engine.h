// The streaming audio-to-expression engine behind the tq_a2x C functions.
//
// Speech features (from the shared w2v encoders) feed a streaming encoder with
// banded attention, whose context rows drive an autoregressive decoder; each
// decoded row, de-normalised, is one frame's keypoint delta.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/tq_a2x_rows.h"
#include "audio/tq_a2x_w2v.h"
#include "render/tq_ort.h"

namespace tq {

class A2x {
 public:
  // Opens the engine over a model directory; throws with the refusal text.
  // w2vPath names the speech encoder graph; empty: $W2V_ONNX.
  A2x(const std::string& dir, int threads, const std::string& w2vPath = std::string());
  ~A2x();
  A2x(const A2x&) = delete;
  A2x& operator=(const A2x&) = delete;

  void push(const float* samples, int n);
  void finish() { st_.finished = true; }
  int avail();
  int pull(int* idx, float* src, float* drv, float* wn, int max);
  int total() const;
  void reset(int start, int dir, int wrap);
  bool width() const { return width_; }
  // The text of a model failure met by avail or pull since the last call, if any.
  bool takeFailure(std::string* msg) {
    if (failure_.empty()) return false;
    msg->swap(failure_);
    failure_.clear();
    return true;
  }
  int nt() const { return nt_; }
  void setEager(int eager) { eager_ = eager; }
  // Whole clip at once; out receives F x 63 deltas and wn (when given) F values.
  // Returns F; the caller checks the sizes first.
  int deltas(const float* audio, int n, float* out, float* wn, int maxFrames);

  // Introspection for tests and benchmarks.
  struct Stats {
    int64_t samplesHeld, featureRows, contextRows, deltaRows;
    std::size_t bytes;  // capacity of every stream buffer
    double frontendSec, encoderSec, decoderSec;
  };
  Stats stats() const;
  bool shortWindow() const { return short_; }
  int lookBack() const { return L_; }
  int lookAhead() const { return R_; }
  int audioLookAhead() const { return AL_; }
  // Feature rows [from, to) of the current stream, when still held.
  bool features(int64_t from, int64_t to, std::vector<float>* out) const;
  // Driver index of pulled frame i of the current utterance.
  int driverIndex(int64_t i) const;

  struct Stream {
    a2x::Rows samples{1};
    bool finished = false;
    int64_t pulled = 0, encoded = 0, produced = 0, filled = 0, window = 0;
    int64_t block = 0;       // audio blocks the legacy frontend has taken in
    int64_t openBlocks = 0;  // blocks that were usable at its last call while open
    a2x::Rows feat{a2x::kFeat}, ctx, wn{1}, delta{a2x::kKp};
    std::vector<float> prev, hidden;
  };

 private:
  void extend(int64_t target);  // records a model failure instead of throwing
  void run(Stream& s, int64_t target, bool offline);
  void fillLong(Stream& s, int64_t need, int64_t usable);
  void fillShort(Stream& s, int64_t need, int64_t usable);
  void encode(Stream& s, int64_t upTo, int64_t audioFrames, bool offline);
  void encodeRange(const float* feat, int64_t c0, int64_t c1, int64_t s, int64_t e, float* ctxOut,
                   float* wnOut);
  void decode(Stream& s, int64_t upTo);
  void decodeStep(const float* ctx, std::vector<float>& prev, std::vector<float>& hidden, float* m);
  void primeWithSilence(int frames);
  void dropConsumed(Stream& s, bool offline);
  void bindDecoder();
  Ort::Session& longSession();
  int64_t usableSamples(const Stream& s) const;
  // Frames the stream can produce now (before the caller's cap).
  int64_t readyFrames(const Stream& s, int64_t usable) const;

  int threads_ = 1;
  Ort::SessionOptions options_{nullptr};
  std::string w2vPath_;
  Ort::Session* long_ = nullptr;  // shared, borrowed
  a2x::ShortPair pair_;
  bool short_ = false;
  std::unique_ptr<Ort::Session> enc_, dec_;
  std::string encOut0_, encOut1_;
  bool width_ = false;
  bool textReady_ = false;  // TQ_A2X_READY=block: the look-ahead of a block's last frame holds every frame
  int h_ = 256, window_ = 0, left_ = 0, L_ = 0, R_ = 0, RC_ = 12, AL_ = 12;
  int64_t P_ = 0;
  std::vector<float> pos_, mean_, std_, xs_;
  int nt_ = 0;
  int start_ = 0, dir_ = 1;
  bool wrap_ = true;
  int eager_ = -1;
  std::vector<float> primedPrev_, primedHidden_;
  Stream st_;
  std::string failure_;

  // Scratch reused across runs.
  std::vector<float> win_, posBuf_, attnBuf_, trunkBuf_, headIn_;
  std::vector<float> decCtx_, decPrev_, decHidden_, decM_, decH_;
  std::vector<Ort::Value> decIn_, decOut_;
  bool decBound_ = false;
  double tFront_ = 0, tEnc_ = 0, tDec_ = 0;
};

}  // namespace tq
