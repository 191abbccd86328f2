// The utterance session's settings, resolved once from the caller's options,
// the context and the environment.
#pragma once

#include <string>

#include "tq/tq.h"

namespace tq {
namespace utt {

struct Options {
  std::string motionDir;
  int threads = 0;            // engine intra-op threads
  std::string motionEp;       // provider of the motion pipeline; "" for the CPU
  std::string steadyModel;    // chunk renderer's model key; "-" for none
  int eager = -1;             // value handed to the engine outside hybrid mode
  bool hybrid = false;        // the session switches the engine between 3 and 24
  double silenceMs = 600.0;   // negative: an utterance never ends by silence
  int endRamp = 6;
  int interruptRamp = 4;
  bool a2x = false;           // engine kind
  bool pipelinedPaste = false;
  std::string w2vPath;        // the a2x engine's speech encoder; "" for $W2V_ONNX
};

// Throws "opts.motion_dir required" without a motion directory. ext (may be
// null) is read only as far as the host's ext->size covers.
Options resolveOptions(const tq_utt_opts& o, int ctxThreads, const tq_utt_opts_ext* ext = nullptr);

// True when the streaming encoder of the a2x engine is in the motion directory.
bool hasStreamingEncoder(const std::string& motionDir);

}  // namespace utt
}  // namespace tq
