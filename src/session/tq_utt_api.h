// Internal entry to the utterance session: tests hand in their own engine.
#pragma once

#include "session/tq_utt_engine.h"
#include "tq/tq.h"

namespace tq {
namespace utt {

// tq_utt_create with the engine made by factory (null: the real engines).
// Throws on every refusal.
tq_utt* createSession(tq_ctx* ctx, const tq_utt_opts& o, EngineFactory factory,
                      const tq_utt_opts_ext* ext = nullptr);

}  // namespace utt
}  // namespace tq
