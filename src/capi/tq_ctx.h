// The render context behind the tq_ctx handle, shared by the C functions of the
// context and by the utterance session built on it.
#pragma once

#include <cstdint>
#include <memory>
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

}  // namespace tq
