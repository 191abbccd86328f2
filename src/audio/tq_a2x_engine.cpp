#include "audio/tq_a2x_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "audio/tq_a2x_meta.h"
#include "audio/tq_a2x_ort.h"
#include "base/tq_log.h"
#include "bundle/tq_bundle.h"
#include "compute/tq_env.h"
#include "compute/tq_pool.h"

namespace tq {

using namespace a2x;

namespace {

int64_t framesOf(int64_t samples) { return (samples + kHop - 1) / kHop; }

// Rows dropped in batches: the move of what is kept stays rare and small.
constexpr int64_t kSampleSlack = 64000;
constexpr int64_t kFeatureSlack = 64;
constexpr int64_t kRowSlack = 256;

}  // namespace

A2x::A2x(const std::string& dir, int threads, const std::string& w2vPath) {
  const int poolThreads = pool::threads();
  threads_ = threads > 0 && threads < poolThreads ? threads : poolThreads;
  static std::atomic<bool> announced{false};
  if (!announced.exchange(true))
    tq::logText(TQ_LOG_INFO,
                 "[tq_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, "
                 "threads=%d\n",
                 kBlockSamples / 16, kBlockFrames, threads_);

  // One option set for encoder and decoder; they always run on the CPU.
  options_ = graphOptions(threads_);
  offerCuda(options_, "enc/dec");

  const std::string metaPath = dir + "/a2x_meta.json";
  const std::string meta = isReadable(metaPath) ? readFile(metaPath) : std::string();
  if (meta.empty()) throw std::runtime_error("a2x_meta.json missing in " + dir);
  const long long h = metaInt(meta, "h", 256);
  const long long window = metaInt(meta, "window", -1);
  const long long left = metaInt(meta, "left", -1);
  if (window < 0 || left < 0) throw std::runtime_error("meta lacks causal window/left (not a streaming a2x)");
  const long long layers = metaInt(meta, "layers", 6);
  if (h < 1 || h > 65536) throw std::runtime_error("meta h=" + std::to_string(h) + " is not a width in 1..65536");
  if (layers < 0 || layers > 4096 || window > 100000 || left > 100000)
    throw std::runtime_error("meta window/left/layers (" + std::to_string(window) + "/" + std::to_string(left) +
                             "/" + std::to_string(layers) + ") out of range");
  h_ = static_cast<int>(h);
  window_ = static_cast<int>(window);
  left_ = static_cast<int>(left);
  L_ = static_cast<int>(left * layers);
  R_ = static_cast<int>(window * layers);
  long long rc = 12;
  env::integer("TQ_A2X_W2V_RIGHT", &rc);
  RC_ = static_cast<int>(std::min<long long>(std::max<long long>(rc, 0), 100000));
  AL_ = RC_;
  textReady_ = env::equals("TQ_A2X_READY", "block");

  pos_ = readFloats(dir + "/a2x_pos.f32");
  std::vector<float> norm = readFloats(dir + "/a2x_norm.f32");
  xs_ = readFloats(resolveMember(dir, "xs_target.bin"));
  if (pos_.size() < 2 * static_cast<std::size_t>(h_) || norm.size() < 126 || xs_.size() < kKp)
    throw std::runtime_error("pos/norm/xs_target read failed");
  P_ = static_cast<int64_t>(pos_.size() / static_cast<std::size_t>(h_));
  mean_.assign(norm.begin(), norm.begin() + kKp);
  std_.assign(norm.begin() + kKp, norm.begin() + 2 * kKp);
  nt_ = static_cast<int>(xs_.size() / kKp);

  if (!w2vPath.empty()) {
    w2vPath_ = w2vPath;
  } else {
    if (!env::raw("W2V_ONNX")) throw std::runtime_error("$W2V_ONNX not set");
    w2vPath_ = env::text("W2V_ONNX");
  }

  if (loadShortPair(w2vPath_, threads_, &pair_)) {
    const int most = maxShortRightContext();
    if (RC_ > most)
      throw std::runtime_error("TQ_A2X_W2V_RIGHT=" + std::to_string(RC_) +
                               " is more right context than the short-window w2v frontend can serve (at most " +
                               std::to_string(most) +
                               " frames: its 2 s trunk window would start after the first frame of a block)");
    short_ = true;
    AL_ = RC_ + kBlockFrames;
  } else {
    try {
      long_ = &sharedLong(w2vPath_, threads_);
    } catch (const std::exception&) {
      throw std::runtime_error("shared w2v load failed");
    }
  }

  enc_ = openGraph(resolveMember(dir, "a2x_enc_stream.onnx"), options_);
  {
    Ort::AllocatorWithDefaultOptions alloc;
    const std::size_t outs = enc_->GetOutputCount();
    encOut0_ = enc_->GetOutputNameAllocated(0, alloc).get();
    if (outs >= 2) {
      encOut1_ = enc_->GetOutputNameAllocated(1, alloc).get();
      width_ = true;
    }
    dec_ = openGraph(resolveMember(dir, "a2x_dec.onnx"), options_);
    const int metaW = metaWidth(meta);
    if (metaW != (width_ ? 1 : 0))
      tq::logText(TQ_LOG_WARNING,
                   "[tq_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) — serving the "
                   "GRAPH (width=%d). Repackage this bundle.\n",
                   metaW, outs, width_ ? 1 : 0);
  }
  st_.ctx = Rows(static_cast<std::size_t>(h_));
  if (short_) {
    // The live stream's steady-state storage, taken once here: otherwise the first
    // minute of speech grows it block by block, paying for fresh pages as it goes.
    const int64_t featRows = kFeatureSlack + L_ + R_ + RC_ + 2 * kBlockFrames;
    st_.feat.data.reserve(static_cast<std::size_t>(featRows) * st_.feat.width);
    st_.samples.data.reserve(static_cast<std::size_t>(kSampleSlack + kShortSamples + 2 * kBlockSamples));
  }
  bindDecoder();

  long long prime = metaInt(meta, "silence_prime", 0);
  env::integer("TQ_A2X_SILENCE_PRIME", &prime);
  if (prime > 0) {
    try {
      longSession();
    } catch (const std::exception&) {
      throw std::runtime_error("shared w2v load failed (silence_prime)");
    }
    primeWithSilence(static_cast<int>(std::min<long long>(prime, kLongFrames)));
  }
  reset(0, 1, 1);
}

A2x::~A2x() = default;

Ort::Session& A2x::longSession() {
  if (long_) return *long_;
  try {
    long_ = &sharedLong(w2vPath_, threads_);
  } catch (const std::exception&) {
    throw std::runtime_error("the shared 8 s w2v encoder did not load ($W2V_ONNX=" + w2vPath_ + ")");
  }
  return *long_;
}

void A2x::push(const float* samples, int n) {
  if (n < 1) return;
  st_.samples.append(samples, static_cast<std::size_t>(n));
}

int64_t A2x::usableSamples(const Stream& s) const {
  const int64_t n = s.samples.end();
  if (s.finished) return n;
  return std::min((n + kHop - 1) / kBlockSamples * kBlockSamples, n);
}

// While the stream is open a frame is ready once its own features and the R
// frames of look-ahead the encoder reads can exist: the frontend's blocks, not
// the look-ahead of a block's last frame, decide. Features come from the same
// samples either way, so only the moment a frame becomes available moves.
int64_t A2x::readyFrames(const Stream& s, int64_t usable) const {
  if (s.finished) return framesOf(s.samples.end());
  const int64_t FU = framesOf(usable);
  if (textReady_) return std::max<int64_t>(FU - std::max(AL_, R_), 0);
  int64_t features;
  if (short_) {
    // Block W is filled once (W + 8 + RC) x 640 samples are usable.
    const int64_t blocks = (usable / kHop - RC_) / kBlockFrames;
    features = std::max<int64_t>(blocks, 0) * kBlockFrames;
  } else {
    // Block k's pass fills frames up to 8 k - RC once its samples are buffered.
    features = (s.samples.end() + kHop - 1) / kBlockSamples * kBlockFrames - RC_;
  }
  return std::max<int64_t>(std::min(features, FU) - R_, 0);
}

int A2x::total() const {
  if (!st_.finished) return -1;
  return static_cast<int>(std::min<int64_t>(framesOf(st_.samples.end()), INT32_MAX));
}

void A2x::extend(int64_t target) {
  try {
    run(st_, target, false);
  } catch (const std::exception& e) {
    failure_ = e.what();
  }
}

void A2x::run(Stream& s, int64_t target, bool offline) {
  using clock = std::chrono::steady_clock;
  const int64_t U = usableSamples(s);
  const int64_t FU = framesOf(U);
  const int64_t ready = std::min(readyFrames(s, U), target);
  if (ready <= s.produced) return;
  const int64_t need = std::min(FU, ready + R_);
  auto t0 = clock::now();
  if (offline || !short_)
    fillLong(s, need, U);
  else
    fillShort(s, need, U);
  auto t1 = clock::now();
  // The encoder reads R frames of look-ahead; a frame whose look-ahead has no
  // features yet waits for them.
  int64_t encodable = ready;
  if (s.filled < FU) encodable = std::min(encodable, s.filled - R_);
  if (encodable > s.encoded) encode(s, encodable, FU, offline);
  auto t2 = clock::now();
  decode(s, std::min(ready, s.encoded));
  auto t3 = clock::now();
  tFront_ += std::chrono::duration<double>(t1 - t0).count();
  tEnc_ += std::chrono::duration<double>(t2 - t1).count();
  tDec_ += std::chrono::duration<double>(t3 - t2).count();
  dropConsumed(s, offline);
}

void A2x::dropConsumed(Stream& s, bool offline) {
  const int64_t firstSample = offline || !short_ ? s.window * kHop
                                                 : (s.window + kBlockFrames + RC_) * kHop - kShortSamples;
  s.samples.dropBelow(std::max<int64_t>(firstSample, 0), kSampleSlack);
  s.feat.dropBelow(std::max<int64_t>(s.encoded - L_, 0), kFeatureSlack);
  s.ctx.dropBelow(s.produced, kRowSlack);
  s.wn.dropBelow(s.pulled, kRowSlack);
  s.delta.dropBelow(s.pulled, kRowSlack);
}

int A2x::avail() {
  const int64_t ready = readyFrames(st_, usableSamples(st_));
  if (st_.produced < ready) extend(std::min<int64_t>(st_.produced + (short_ ? 8 : 64), ready));
  return static_cast<int>(std::max<int64_t>(st_.produced - st_.pulled, 0));
}

int A2x::driverIndex(int64_t i) const {
  if (nt_ < 2) return 0;
  int64_t d = start_ + i * dir_;
  const int64_t nt = nt_;
  if (wrap_) return static_cast<int>(((d % nt) + nt) % nt);
  const int64_t q = 2 * (nt - 1);
  const int64_t m = ((d % q) + q) % q;
  return static_cast<int>(m <= nt - 1 ? m : q - m);
}

int A2x::pull(int* idx, float* src, float* drv, float* wn, int max) {
  if (max <= 0) return 0;
  if (st_.produced <= st_.pulled) extend(st_.pulled + max);
  const int64_t k = std::min<int64_t>(max, st_.produced - st_.pulled);
  for (int64_t j = 0; j < k; ++j) {
    const int64_t i = st_.pulled + j;
    const int d = driverIndex(i);
    const float* rest = &xs_[static_cast<std::size_t>(d) * kKp];
    const float* delta = st_.delta.row(i);
    idx[j] = d;
    float* s = src + j * kKp;
    float* v = drv + j * kKp;
    for (int c = 0; c < kKp; ++c) {
      s[c] = rest[c];
      v[c] = rest[c] + delta[c];
    }
    if (wn) wn[j] = width_ && i < st_.wn.end() ? *st_.wn.row(i) : 0.0f;
  }
  st_.pulled += k;
  dropConsumed(st_, false);
  return static_cast<int>(k);
}

void A2x::reset(int start, int dir, int wrap) {
  if (start < 0) start = nt_ > 1 ? driverIndex(st_.pulled) : 0;
  Stream& s = st_;
  s.samples.clear();
  s.finished = false;
  s.pulled = s.encoded = s.produced = s.filled = s.window = s.block = s.openBlocks = 0;
  s.feat.clear();
  s.ctx.clear();
  s.wn.clear();
  s.delta.clear();
  if (!primedPrev_.empty()) {
    s.prev = primedPrev_;
    s.hidden = primedHidden_;
  } else {
    s.prev.assign(kKp, 0.0f);
    s.hidden.assign(static_cast<std::size_t>(h_), 0.0f);
  }
  start_ = start;
  dir_ = dir < 0 ? -1 : 1;
  wrap_ = wrap != 0;
}

int A2x::deltas(const float* audio, int n, float* out, float* wn, int maxFrames) {
  const int64_t F = framesOf(n);
  if (F > maxFrames) return -2;
  Stream o;
  o.ctx = Rows(static_cast<std::size_t>(h_));
  o.samples.append(audio, static_cast<std::size_t>(n));
  o.finished = true;
  if (!primedPrev_.empty()) {
    o.prev = primedPrev_;
    o.hidden = primedHidden_;
  } else {
    o.prev.assign(kKp, 0.0f);
    o.hidden.assign(static_cast<std::size_t>(h_), 0.0f);
  }
  while (o.produced < F) {
    const int64_t before = o.produced;
    run(o, o.produced + 256, true);
    if (o.produced <= before) throw std::runtime_error("no frame could be decoded");
    for (int64_t i = before; i < o.produced; ++i) {
      std::memcpy(out + i * kKp, o.delta.row(i), kKp * sizeof(float));
      if (wn) wn[i] = width_ && i < o.wn.end() ? *o.wn.row(i) : 0.0f;
    }
    o.pulled = o.produced;
    dropConsumed(o, true);
  }
  return static_cast<int>(F);
}

A2x::Stats A2x::stats() const {
  Stats s;
  s.samplesHeld = static_cast<int64_t>(st_.samples.data.size());
  s.featureRows = st_.feat.end() - st_.feat.base;
  s.contextRows = st_.ctx.end() - st_.ctx.base;
  s.deltaRows = st_.delta.end() - st_.delta.base;
  s.bytes = st_.samples.bytes() + st_.feat.bytes() + st_.ctx.bytes() + st_.wn.bytes() + st_.delta.bytes();
  s.frontendSec = tFront_;
  s.encoderSec = tEnc_;
  s.decoderSec = tDec_;
  return s;
}

bool A2x::features(int64_t from, int64_t to, std::vector<float>* out) const {
  if (from < st_.feat.base || to > std::min(st_.feat.end(), st_.filled) || from > to) return false;
  out->assign(st_.feat.row(from), st_.feat.row(from) + (to - from) * kFeat);
  return true;
}

}  // namespace tq
