// Where an audio-to-motion engine's time went since it was created, in three
// stages a host can compare across engines: audio features (w2v, or log-mel and
// the HuBERT student), the sequence model (streaming encoder, or the motion
// generator) and the per-frame model (autoregressive decoder, or stitching).
#pragma once

typedef struct tq_a2x tq_a2x;
typedef struct tq_motion tq_motion;

namespace tq {

struct EngineTimes {
  double frontendMs = 0, encoderMs = 0, decoderMs = 0;
};

EngineTimes engineTimes(const tq_a2x* h);
EngineTimes engineTimes(const tq_motion* h);

}  // namespace tq
