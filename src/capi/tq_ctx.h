// The render context behind the tq_ctx handle, shared by the C functions of the
// context and by the utterance session built on it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "driver/tq_driver.h"
#include "paste/tq_paste.h"
#include "render/tq_renderer.h"

struct tq_ctx {
  tq::Manifest manifest;
  std::unique_ptr<tq::Identity> identity;
  tq::Drive drive;
  std::unique_ptr<tq::Renderer> renderer;
  std::unique_ptr<tq::Paste> paste;
  int32_t threads = 0;
  std::string ep;
  bool threadsExplicit = false;
  std::string modelKey;
  std::unique_ptr<tq::DriverCursor> driver;
  std::vector<uint8_t> frame;
  const float* lastCrop = nullptr;
  // The one session allowed on the context, and a tq_destroy that waits for it.
  std::mutex sessionMu;
  bool sessionLive = false;
  bool releasePending = false;

  ~tq_ctx() {
    // Frame buffer first, then the driver's decoder thread, then the rest.
    std::vector<uint8_t>().swap(frame);
    driver.reset();
    paste.reset();
    renderer.reset();
    identity.reset();
  }
};

namespace tq {

// Builds the context's director on first use. Without a thread count chosen by
// the host (and without a provider) it takes at most 2 intra-op threads and
// says so, leaving the rest of the pool to the session's other stages.
void ensureDirector(tq_ctx* ctx);

// A session takes the context for its lifetime: it shares the context's
// director, compositor and driver cursor with nobody. Throws when another
// session holds the context or the host has destroyed it.
void claimForSession(tq_ctx* ctx);
// Ends the claim, releasing the context when tq_destroy came meanwhile.
void releaseFromSession(tq_ctx* ctx) noexcept;

}  // namespace tq
