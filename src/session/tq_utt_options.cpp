#include "session/tq_utt_options.h"

#include <stdexcept>
#include <sys/stat.h>

#include "bundle/tq_bundle.h"
#include "compute/tq_env.h"

namespace tq {
namespace utt {

bool hasStreamingEncoder(const std::string& motionDir) {
  struct stat st;
  const std::string p = resolveMember(motionDir, "a2x_enc_stream.onnx");
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

// A field of the extension struct the host's copy is large enough to hold.
template <class T>
bool holds(const tq_utt_opts_ext* ext, const T tq_utt_opts_ext::*field) {
  if (!ext) return false;
  const std::size_t end = reinterpret_cast<std::size_t>(&(ext->*field)) - reinterpret_cast<std::size_t>(ext) + sizeof(T);
  return ext->size >= end;
}

}  // namespace

Options resolveOptions(const tq_utt_opts& o, int ctxThreads, const tq_utt_opts_ext* ext) {
  Options r;
  if (!o.motion_dir || !*o.motion_dir) throw std::runtime_error("opts.motion_dir required");
  r.motionDir = o.motion_dir;
  r.threads = o.threads > 0 ? o.threads : ctxThreads;
  r.motionEp = o.motion_ep ? o.motion_ep : "";
  r.steadyModel = (o.steady_model && *o.steady_model) ? o.steady_model : "b24_fp32";
  if (env::nonEmpty("TQ_STEADY_MODEL")) r.steadyModel = env::text("TQ_STEADY_MODEL");
  if (o.eager == -2) {
    r.hybrid = true;
  } else if (o.eager <= 0) {
    r.eager = -1;
    r.hybrid = env::nonEmpty("TQ_UTT_HYBRID") && !env::equals("TQ_UTT_HYBRID", "0");
  } else {
    r.eager = o.eager;
  }
  if (r.hybrid) r.eager = 3;
  r.silenceMs = o.silence_end_s == 0.0 ? 600.0 : (o.silence_end_s < 0.0 ? -1.0 : o.silence_end_s * 1000.0);
  r.endRamp = o.end_ramp > 0 ? o.end_ramp : 6;
  r.interruptRamp = o.interrupt_ramp > 0 ? o.interrupt_ramp : 4;
  r.a2x = hasStreamingEncoder(r.motionDir);
  r.pipelinedPaste = r.a2x;
  if (holds(ext, &tq_utt_opts_ext::w2v_path) && ext->w2v_path) r.w2vPath = ext->w2v_path;
  long long v = 0;
  if (env::integer("TQ_UTT_PIPELINE_PASTE", &v)) r.pipelinedPaste = v != 0;
  return r;
}

}  // namespace utt
}  // namespace tq
