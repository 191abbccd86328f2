/*
 * tq_core: streaming audio-to-expression engine (tq_a2x) and the motion
 * pipeline engine (tq_motion).
 *
 * Both engines take 16 kHz mono float samples in pushes of any size and hand
 * out, per 25 fps video frame, the driver-video frame index the face is drawn
 * over, that frame's rest keypoints (source) and the rest keypoints plus the
 * audio-driven offset (driving): 21 x (x, y, z) = 63 floats each, packed.
 *
 * A handle is used by one thread at a time. No function lets an exception
 * escape; failures leave a message in the calling thread's engine error text.
 */
#ifndef TQ_TQ_A2X_H
#define TQ_TQ_A2X_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define TQ_A2X_API
#elif defined(__GNUC__)
#define TQ_A2X_API __attribute__((visibility("default")))
#else
#define TQ_A2X_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- tq_a2x */

typedef struct tq_a2x tq_a2x;

/* Opens the engine over a model directory (a2x_meta.json, a2x_pos.f32,
 * a2x_norm.f32, xs_target.bin, a2x_enc_stream.onnx, a2x_dec.onnx). The audio
 * encoder is found through $W2V_ONNX. Null on failure. */
TQ_A2X_API tq_a2x* tq_a2x_create(const char* model_dir, int threads);
/* As tq_a2x_create with the speech encoder graph named by w2v_path (null or
 * "": $W2V_ONNX). The encoder is shared by every tq_a2x of the process: the
 * first path loaded wins. */
TQ_A2X_API tq_a2x* tq_a2x_create_w2v(const char* model_dir, int threads, const char* w2v_path);
TQ_A2X_API void tq_a2x_destroy(tq_a2x* h);
/* Appends n samples (n < 1 appends nothing). Returns 1. */
TQ_A2X_API int tq_a2x_push(tq_a2x* h, const float* samples, int n);
/* Marks the end of the utterance's audio. */
TQ_A2X_API void tq_a2x_finish(tq_a2x* h);
/* Frames tq_a2x_pull can return now; runs the models as far as needed.
 * While the stream is open a frame is ready as soon as its own audio features
 * and those of the R look-ahead frames the encoder reads exist (R = the
 * meta's window x layers). Features come in blocks of 8 frames: the
 * short-window frontend fills block W once (W + 8 + RC) x 640 samples are
 * usable, the 8-second frontend fills frames up to 8 k - RC once block k's
 * 5120 k - 639 samples are buffered. TQ_A2X_READY=block restores the older,
 * later rule (ceil(usable / 640) - max(RC + 8, R) frames with the short
 * window, for comparison). Either way the frames, keypoints and width values
 * are the same to the bit; only the moment they become available differs. */
TQ_A2X_API int tq_a2x_avail(tq_a2x* h);
/* Writes up to max frames: one index and 63 floats to each keypoint array. */
TQ_A2X_API int tq_a2x_pull(tq_a2x* h, int* idx, float* src_kp, float* drv_kp, int max);
/* As tq_a2x_pull, plus one width value per frame (0 without a width output). */
TQ_A2X_API int tq_a2x_pull_wn(tq_a2x* h, int* idx, float* src_kp, float* drv_kp, float* wn,
                              int max);
/* -1 until finished, then ceil(samples / 640). */
TQ_A2X_API int tq_a2x_total(tq_a2x* h);
/* Starts a new utterance at driver index start (start < 0: continue where the
 * last one stopped), direction dir (< 0: backwards), wrap (0: bounce). */
TQ_A2X_API void tq_a2x_reset(tq_a2x* h, int start, int dir, int wrap);
TQ_A2X_API int tq_a2x_width(tq_a2x* h);
TQ_A2X_API int tq_a2x_nt(tq_a2x* h);
TQ_A2X_API void tq_a2x_set_eager(tq_a2x* h, int eager);
/* Loads the shared 8-second audio encoder now (null or empty path: $W2V_ONNX). */
TQ_A2X_API int tq_a2x_preload_w2v(const char* path);
TQ_A2X_API int tq_a2x_w2v8_lazy(void);
/* Offline: the deltas of a whole clip (F = ceil(n / 640) rows of 63 floats).
 * Returns F, 0 for n < 1, -2 when max_frames < F, -1 on a model failure. */
TQ_A2X_API int tq_a2x_deltas(tq_a2x* h, const float* audio, int n, float* out, int max_frames);
/* As tq_a2x_deltas plus per-frame width values; -3 without a width output. */
TQ_A2X_API int tq_a2x_deltas_wn(tq_a2x* h, const float* audio, int n, float* out, float* wn_out,
                                int max_frames);
TQ_A2X_API const char* tq_a2x_last_error(void);

/* ---------------------------------------------------------------- tq_motion */

typedef struct tq_motion tq_motion;

/* Opens the motion pipeline over a motion directory. ep: null or "" for the
 * CPU, "coreml..." for ONNX Runtime's CoreML provider. Null on failure. */
TQ_A2X_API tq_motion* tq_motion_create(const char* motion_dir, int threads, const char* ep);
TQ_A2X_API void tq_motion_destroy(tq_motion* h);
/* Returns 1, or 0 for bad arguments or after finish. */
TQ_A2X_API int tq_motion_push(tq_motion* h, const float* samples, int n);
TQ_A2X_API void tq_motion_finish(tq_motion* h);
TQ_A2X_API int tq_motion_avail(tq_motion* h);
TQ_A2X_API int tq_motion_pull(tq_motion* h, int* idx, float* src_kp, float* drv_kp, int max);
TQ_A2X_API void tq_motion_reset(tq_motion* h, int start, int dir, int wrap);
TQ_A2X_API int tq_motion_total(tq_motion* h);
TQ_A2X_API int tq_motion_nt(tq_motion* h);
/* 0: eager off; > 0: fixed eager frames; < 0: automatic. */
TQ_A2X_API void tq_motion_set_eager(tq_motion* h, int eager);
TQ_A2X_API const char* tq_motion_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* TQ_TQ_A2X_H */
