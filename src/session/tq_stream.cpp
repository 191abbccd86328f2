// The exported tq_stream_* functions: a complete clip rendered offline.
#include <atomic>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "audio/tq_fca.h"
#include "base/tq_log.h"
#include "bundle/tq_bundle.h"
#include "capi/tq_ctx.h"
#include "base/tq_error.h"
#include "session/tq_stream_pipeline.h"
#include "tq/tq.h"

namespace {

constexpr int kKp = 63;

// The bundle's rest keypoints, exactly nt rows of 63 float32; empty otherwise.
std::vector<float> readRestKeypoints(const std::string& path, int nt) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  const std::size_t want = static_cast<std::size_t>(nt) * kKp;
  std::vector<float> xs;
  if (!f || nt < 1 || static_cast<std::size_t>(f.tellg()) != want * sizeof(float)) return xs;
  xs.resize(want);
  f.seekg(0);
  if (!f.read(reinterpret_cast<char*>(xs.data()), static_cast<std::streamsize>(want * sizeof(float)))) xs.clear();
  return xs;
}

}  // namespace

struct tq_stream {
  tq_ctx* ctx = nullptr;
  std::unique_ptr<tq::Fca> fca;
  std::vector<float> xs_target;
  int32_t nt = 0, width = 0, height = 0, crop = 0;
  int32_t skip = 0;
  float gain = 1.0f;
  // Per run, kept between runs.
  std::vector<float> offsets, driving;
  std::vector<uint8_t> frame;
  std::unique_ptr<tq::RenderPastePipeline> pipeline;
  // Set for the length of a run: a second run on the handle (another thread,
  // or the frame callback) would share the buffers above.
  std::atomic<bool> running{false};

  int driverIndex(int64_t i) const { return nt <= 1 ? 0 : static_cast<int>(i % nt); }
  ~tq_stream() {
    fca.reset();
    tq_destroy(ctx);
  }
};

extern "C" {

tq_stream* tq_stream_create(const char* bundle_dir, const char* w2v_path, int threads, int skip, float gain) {
  tq::clearErr();
  if (!bundle_dir || !w2v_path) {
    tq::setErrText("tq_stream_create: NULL bundle_dir/w2v_path");
    return nullptr;
  }
  if (skip < 0) {
    tq::setErrText("tq_stream_create: skip " + std::to_string(skip) + " is negative");
    return nullptr;
  }
  try {
    std::unique_ptr<tq_stream> s(new tq_stream);
    s->ctx = tq_create(bundle_dir, "render", threads, "");
    if (!s->ctx) return nullptr;  // tq_create's own message stands
    s->nt = s->ctx->manifest.NT;
    s->width = s->ctx->manifest.W;
    s->height = s->ctx->manifest.H;
    s->crop = s->ctx->manifest.crop;
    s->skip = skip;
    s->gain = gain;
    // Members are read from the resolved directory: a container bundle is unpacked there.
    const std::string dir = s->ctx->manifest.dir;
    try {
      s->fca.reset(new tq::Fca(w2v_path, tq::resolveMember(dir, "fca_stream.onnx"), threads));
    } catch (const std::exception& e) {
      tq::setErr("tq_fca_create", e);
      return nullptr;
    }
    s->xs_target = readRestKeypoints(tq::resolveMember(dir, "xs_target.bin"), s->nt);
    if (s->xs_target.empty()) {
      tq::setErrText("tq_stream_create: cannot read xs_target.bin (NT*63 f32)");
      return nullptr;
    }
    s->driving.resize(kKp);
    s->frame.resize(static_cast<std::size_t>(s->width) * static_cast<std::size_t>(s->height) * 3);
    s->pipeline.reset(new tq::RenderPastePipeline(static_cast<std::size_t>(s->crop) * s->crop * 3));
    return s.release();
  } catch (const std::exception& e) {
    tq::setErr("tq_stream_create", e);
  } catch (...) {
    tq::setErr("tq_stream_create", "unknown failure");
  }
  return nullptr;
}

int tq_stream_run(tq_stream* s, const float* audio, int n, tq_stream_frame_fn on_frame, void* user) {
  tq::clearErr();
  if (!s || (n > 0 && !audio)) {
    tq::setErrText("tq_stream_run: bad args");
    return -1;
  }
  if (s->running.exchange(true)) {
    tq::setErrText("tq_stream_run: a run is already in progress on this handle");
    return -1;
  }
  struct Running {
    std::atomic<bool>& flag;
    ~Running() { flag.store(false); }
  } running{s->running};
  const int64_t frames = tq::Fca::framesFor(n);
  const int64_t count = frames - s->skip;
  if (count <= 0) return 0;
  try {
    s->offsets.resize(static_cast<std::size_t>(frames) * kKp);
    s->fca->deltas(audio, n, s->offsets.data());
  } catch (const std::exception& e) {
    tq::setErr("tq_fca_deltas", e);
    return -1;
  } catch (...) {
    tq::setErr("tq_fca_deltas", "unknown failure");
    return -1;
  }
  // The two stages touch disjoint parts of the context: rendering the renderer
  // (and lastCrop), pasting the compositor and the driver cursor.
  std::string renderErr, pasteErr;
  const auto render = [&](int64_t j) -> const float* {
    const int64_t i = j + s->skip;
    const int d = s->driverIndex(i);
    const float* rest = &s->xs_target[static_cast<std::size_t>(d) * kKp];
    const float* off = &s->offsets[static_cast<std::size_t>(i) * kKp];
    for (int k = 0; k < kKp; ++k) s->driving[static_cast<std::size_t>(k)] = rest[k] + s->gain * off[k];
    const float* crop = tq_render_kp_crop(s->ctx, d, rest, s->driving.data());
    if (!crop) renderErr = tq_last_error();
    return crop;
  };
  const auto paste = [&](int64_t j, const float* crop) {
    const int d = s->driverIndex(j + s->skip);
    if (tq_paste_crop(s->ctx, d, crop, s->frame.data(), s->frame.size()) == 1) return true;
    pasteErr = tq_last_error();
    return false;
  };
  const auto deliver = [&](int64_t j) {
    if (on_frame) on_frame(user, static_cast<int>(j), s->frame.data(), s->width, s->height);
  };
  try {
    const int64_t delivered = s->pipeline->run(count, render, paste, deliver);
    if (!s->pipeline->failed()) return static_cast<int>(delivered);
    tq::logText(TQ_LOG_WARNING, "[tq] tq_stream_run: stopped after %lld of %lld frames: %s\n",
                 static_cast<long long>(delivered), static_cast<long long>(count),
                 !pasteErr.empty() ? pasteErr.c_str() : renderErr.c_str());
    tq::setErrText("tq_stream_run: render/paste failed");
  } catch (const std::exception& e) {
    tq::setErr("tq_stream_run", e);
  } catch (...) {
    tq::setErr("tq_stream_run", "unknown failure");
  }
  return -1;
}

int tq_stream_width(const tq_stream* s) { return s ? s->width : 0; }
int tq_stream_height(const tq_stream* s) { return s ? s->height : 0; }
void tq_stream_destroy(tq_stream* s) { delete s; }
const char* tq_stream_last_error(void) { return tq::lastError().c_str(); }

}  // extern "C"
