// The core context and its render, paste, driver-frame and warp-prior functions.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/tq_log.h"
#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "capi/tq_ctx.h"
#include "base/tq_error.h"
#include "compute/tq_pool.h"
#include "driver/tq_driver.h"
#include "paste/tq_paste.h"
#include "render/tq_renderer.h"
#include "tq/tq.h"

struct tq_prior {
  tq::Manifest manifest;
  std::unique_ptr<tq::DriverCursor> cursor;
  std::string backend;
};

namespace {

std::vector<uint8_t> readMask(const tq::Manifest& m) {
  const std::string path = tq::resolveMember(m.dir, "mask_512.u8");
  const std::size_t n = tq::sizeProduct(path, {static_cast<std::size_t>(m.crop), static_cast<std::size_t>(m.crop)});
  // crop comes from the manifest: a mask shorter than crop x crop is refused
  // before crop x crop bytes are allocated for it.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) < n)
    throw std::runtime_error("mask read failed");
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> mask(n);
  if (!f || !f.read(reinterpret_cast<char*>(mask.data()), static_cast<std::streamsize>(n)))
    throw std::runtime_error("mask read failed");
  return mask;
}

bool frameIndexOk(const tq_ctx* ctx, int i) { return ctx && i >= 0 && i < ctx->manifest.NT; }

std::size_t frameBytes(const tq_ctx* ctx) {
  return static_cast<std::size_t>(ctx->manifest.W) * static_cast<std::size_t>(ctx->manifest.H) * 3;
}

void composite(tq_ctx* ctx, int si, const float* crop, uint8_t* out) {
  ctx->driver->pullAt(si, out);
  ctx->paste->composite(crop, 255.0f, ctx->identity->M(si), out, ctx->manifest.W, ctx->manifest.H);
}

void expandRgba(const uint8_t* rgb, std::size_t pixels, uint8_t* out) {
  for (std::size_t p = 0; p < pixels; ++p) {
    out[4 * p] = rgb[3 * p];
    out[4 * p + 1] = rgb[3 * p + 1];
    out[4 * p + 2] = rgb[3 * p + 2];
    out[4 * p + 3] = 255;
  }
}

int rgbaOut(tq_ctx* ctx, int si, uint8_t* out, std::size_t out_cap) {
  const std::size_t pixels = static_cast<std::size_t>(ctx->manifest.W) * static_cast<std::size_t>(ctx->manifest.H);
  if (!out || out_cap < pixels * 4) {
    tq::setErrText("tq_render_*_rgba: out buffer too small");
    return 0;
  }
  const uint8_t* rgb = tq_paste_last(ctx, si);
  if (!rgb) return 0;
  expandRgba(rgb, pixels, out);
  return 1;
}

}  // namespace

namespace tq {

void ensureDirector(tq_ctx* ctx) {
  if (ctx->renderer) return;
  int intra = ctx->threads;
  if (!ctx->threadsExplicit && ctx->ep.empty()) {
    intra = std::min(ctx->threads, 2);
    tq::logText(TQ_LOG_INFO,
                 "[tq] director intra-op %d of pool %d: the caller did not choose, the core sized it for the "
                 "tq_utt pipeline\n",
                 intra, ctx->threads);
  }
  ctx->renderer = std::make_unique<tq::Renderer>(ctx->manifest, *ctx->identity, ctx->modelKey, intra, ctx->ep);
}

void claimForSession(tq_ctx* ctx) {
  std::lock_guard<std::mutex> lk(ctx->sessionMu);
  if (ctx->releasePending) throw std::runtime_error("the context was destroyed (tq_destroy)");
  if (ctx->sessionLive)
    throw std::runtime_error(
        "this context already has a live session; tq_utt_destroy it first (two sessions would share one "
        "director, compositor and driver cursor between two render threads)");
  ctx->sessionLive = true;
}

void releaseFromSession(tq_ctx* ctx) noexcept {
  bool release = false;
  {
    std::lock_guard<std::mutex> lk(ctx->sessionMu);
    ctx->sessionLive = false;
    release = ctx->releasePending;
  }
  if (release) delete ctx;
}

}  // namespace tq

extern "C" {

tq_ctx* tq_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  tq::clearErr();
  if (!bundle_dir || !model_key) {
    tq::setErrText("tq_create: NULL bundle_dir/model_key");
    return nullptr;
  }
  try {
    auto ctx = std::make_unique<tq_ctx>();
    ctx->threadsExplicit = threads > 0;
    ctx->threads = threads > 0 ? threads : tq::pool::threads();
    ctx->ep = ep ? ep : "";
    ctx->modelKey = model_key;
    ctx->manifest = tq::loadManifest(bundle_dir);
    ctx->identity = std::make_unique<tq::Identity>(ctx->manifest);
    ctx->drive = tq::loadDrive(ctx->manifest);
    ctx->paste = std::make_unique<tq::Paste>(readMask(ctx->manifest), ctx->manifest.crop, ctx->manifest.unsharp());
    ctx->driver = tq::DriverCursor::open(ctx->manifest, 2, 11);
    ctx->frame.assign(frameBytes(ctx.get()), 0);
    return ctx.release();
  } catch (const std::exception& e) {
    tq::setErr("tq_create", e);
  } catch (...) {
    tq::setErr("tq_create", "unknown failure");
  }
  return nullptr;
}

void tq_destroy(tq_ctx* ctx) {
  if (!ctx) return;
  try {
    {
      std::lock_guard<std::mutex> lk(ctx->sessionMu);
      if (ctx->sessionLive) {
        // The session renders, pastes and decodes through this context: it is
        // released when the session ends, not under the session's threads.
        ctx->releasePending = true;
        tq::logText(TQ_LOG_WARNING,
                     "[tq] tq_destroy: a tq_utt session is still alive on this context; the context is released "
                     "when tq_utt_destroy ends it\n");
        return;
      }
    }
    delete ctx;
  } catch (...) {
  }
}

int tq_host_kp_rows(void) { return tq::kHostKpRows; }
int tq_nt(const tq_ctx* ctx) { return ctx ? ctx->manifest.NT : 0; }
int tq_width(const tq_ctx* ctx) { return ctx ? ctx->manifest.W : 0; }
int tq_height(const tq_ctx* ctx) { return ctx ? ctx->manifest.H : 0; }
int tq_crop(const tq_ctx* ctx) { return ctx ? ctx->manifest.crop : 0; }
int tq_drive_frames(const tq_ctx* ctx) { return ctx ? ctx->drive.frames : 0; }

const float* tq_render_kp_crop(tq_ctx* ctx, int si, const float* kp_src, const float* kp_drv) {
  tq::clearErr();
  if (!frameIndexOk(ctx, si) || !kp_src || !kp_drv) {
    tq::setErrText("tq_render_kp_crop: bad args");
    return nullptr;
  }
  try {
    tq::ensureDirector(ctx);
    ctx->lastCrop = ctx->renderer->render(&si, kp_src, kp_drv, 1);
    return ctx->lastCrop;
  } catch (const std::exception& e) {
    tq::setErr("tq_render_kp_crop", e);
  } catch (...) {
    tq::setErr("tq_render_kp_crop", "unknown failure");
  }
  return nullptr;
}

const float* tq_render_drive_crop(tq_ctx* ctx, int f) {
  tq::clearErr();
  if (!ctx || f < 0 || f >= ctx->drive.frames) {
    tq::setErrText("tq_render_drive_crop: bad frame index");
    return nullptr;
  }
  const std::size_t row = static_cast<std::size_t>(f) * 63;
  return tq_render_kp_crop(ctx, ctx->drive.si[static_cast<std::size_t>(f)], ctx->drive.xs.data() + row,
                           ctx->drive.xd.data() + row);
}

int tq_paste_crop(tq_ctx* ctx, int si, const float* crop, uint8_t* out, size_t out_cap) {
  tq::clearErr();
  if (!frameIndexOk(ctx, si) || !crop || !out || out_cap < frameBytes(ctx)) {
    tq::setErrText("tq_paste_crop: bad args / out too small");
    return 0;
  }
  try {
    composite(ctx, si, crop, out);
    return 1;
  } catch (const std::exception& e) {
    tq::setErr("tq_paste_crop", e);
  } catch (...) {
    tq::setErr("tq_paste_crop", "unknown failure");
  }
  return 0;
}

const uint8_t* tq_paste_last(tq_ctx* ctx, int si) {
  tq::clearErr();
  if (!frameIndexOk(ctx, si) || !ctx->lastCrop) {
    tq::setErrText("tq_paste_last: bad args / no prior render");
    return nullptr;
  }
  try {
    composite(ctx, si, ctx->lastCrop, ctx->frame.data());
    return ctx->frame.data();
  } catch (const std::exception& e) {
    tq::setErr("tq_paste_last", e);
  } catch (...) {
    tq::setErr("tq_paste_last", "unknown failure");
  }
  return nullptr;
}

int tq_render_kp_rgba(tq_ctx* ctx, int si, const float* kp_src, const float* kp_drv, uint8_t* out,
                      size_t out_cap) {
  if (!tq_render_kp_crop(ctx, si, kp_src, kp_drv)) return 0;
  return rgbaOut(ctx, si, out, out_cap);
}

int tq_render_drive_rgba(tq_ctx* ctx, int f, uint8_t* out, size_t out_cap) {
  if (!tq_render_drive_crop(ctx, f)) return 0;
  return rgbaOut(ctx, ctx->drive.si[static_cast<std::size_t>(f)], out, out_cap);
}

const uint8_t* tq_target_frame(tq_ctx* ctx, int i) {
  tq::clearErr();
  if (!frameIndexOk(ctx, i)) {
    tq::setErrText("tq_target_frame: bad args");
    return nullptr;
  }
  try {
    int idx = 0;
    return ctx->driver->pullAt(i, &idx);
  } catch (const std::exception& e) {
    tq::setErr("tq_target_frame", e);
  } catch (...) {
    tq::setErr("tq_target_frame", "unknown failure");
  }
  return nullptr;
}

tq_prior* tq_prior_open(const char* bundle_dir, int ahead, int hist) {
  tq::clearErr();
  if (!bundle_dir) {
    tq::setErrText("tq_prior_open: NULL bundle_dir");
    return nullptr;
  }
  try {
    auto p = std::make_unique<tq_prior>();
    p->manifest = tq::loadManifest(bundle_dir);
    p->cursor = tq::DriverCursor::openPrior(p->manifest, ahead < 1 ? 2 : ahead, hist < 0 ? 0 : hist);
    p->backend = p->cursor->backend;
    return p.release();
  } catch (const std::exception& e) {
    tq::setErr("tq_prior_open", e);
  } catch (...) {
    tq::setErr("tq_prior_open", "unknown failure");
  }
  return nullptr;
}

size_t tq_prior_row_bytes(const tq_prior* prior) { return prior ? prior->cursor->frameBytes : 0; }

int tq_prior_row(tq_prior* prior, int i, uint8_t* out, size_t cap) {
  tq::clearErr();
  if (!prior || !out) {
    tq::setErrText("tq_prior_row: NULL prior/out");
    return 0;
  }
  try {
    const std::size_t need = prior->cursor->frameBytes;
    if (cap < need) {
      tq::setErrText("tq_prior_row: cap " + std::to_string(cap) + " < row bytes " + std::to_string(need));
      return 0;
    }
    prior->cursor->pullAt(i, out);
    return 1;
  } catch (const std::exception& e) {
    tq::setErr("tq_prior_row", e);
  } catch (...) {
    tq::setErr("tq_prior_row", "unknown failure");
  }
  return 0;
}

const char* tq_prior_backend(const tq_prior* prior) { return prior ? prior->backend.c_str() : ""; }

void tq_prior_close(tq_prior* prior) {
  try {
    delete prior;
  } catch (...) {
  }
}

}  // extern "C"
