/*
 * tq_core: real-time talking-avatar runtime.
 *
 * Plain C interface. Every function reports failure through its return value
 * (a null pointer, 0 or -1 as documented) and leaves a message in the calling
 * thread's last-error text, read with tq_last_error(). No exception or other
 * C++ construct ever crosses this interface.
 */
#ifndef TQ_TQ_H
#define TQ_TQ_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define TQ_API
#elif defined(__GNUC__)
#define TQ_API __attribute__((visibility("default")))
#else
#define TQ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- handles */

/* An opened avatar bundle: manifest, identity arrays, drive tables, compositor,
 * driver video and (after the first render) the director renderer. */
typedef struct tq_ctx tq_ctx;
/* The warp prior of a bundle played on its own. */
typedef struct tq_prior tq_prior;

/* ---------------------------------------------------------------- errors
 *
 * One convention for every family (tq_, tq_utt_, tq_stream_, tq_fca_, tq_a2x_,
 * tq_motion_, tq_tessera_): a failure shows in the return value documented
 * for the function (null, 0 or a negative number) and leaves a message in the
 * calling thread's last-error text. There is one text per thread; the
 * families' own getters (tq_utt_last_error, tq_a2x_last_error, ...) return it
 * too. A function that can fail clears the text on entry unless its comment
 * says otherwise, so where 0 is also a valid answer ("no frame yet", "nothing
 * ready"), an empty text after the call means the answer is real. Buffer
 * sizes are in bytes. */

/* The calling thread's last-error text: never null, empty after a success of a
 * function that clears it on entry. Valid until the thread's next call into
 * the library. */
TQ_API const char* tq_last_error(void);

/* The library's version, "MAJOR.MINOR.PATCH" (the soname carries MAJOR). */
TQ_API const char* tq_version(void);

/* ---------------------------------------------------------------- log
 *
 * The library's own lines (which models loaded, fallbacks taken, warnings
 * about a bundle) go to standard error unless the host routes them. The
 * callback receives each line without its newline, with its level; it is
 * called from whichever library thread wrote the line (never two at once)
 * and must not call tq_set_log. Process-wide; a null fn restores standard
 * error. Once tq_set_log returns, the previous callback is no longer called. */
#define TQ_LOG_ERROR 0
#define TQ_LOG_WARNING 1
#define TQ_LOG_INFO 2
typedef void (*tq_log_fn)(int level, const char* line, void* user);
TQ_API void tq_set_log(tq_log_fn fn, void* user);

/* ---------------------------------------------------------------- bundles */

/* Resolves a bundle path (a bundle directory, an IMX container, or the
 * container's path without its ".imx" suffix) to the directory the bundle is
 * read from, unpacking a container once. Clears the last error on entry.
 * Returns 1 and writes the zero-terminated directory into out; returns -1 when
 * an argument is null or out_cap is 0 (no message), when the directory does not
 * fit ("tq_bundle_resolve_handle: buffer too small"), or when unpacking fails
 * ("tq_bundle_resolve_handle: " and the reason). On -1 with a non-null out,
 * out[0] is 0. */
TQ_API int tq_bundle_resolve_handle(const char* bundle_path, char* out, size_t out_cap);

/* Resolves a bundle path as above, then the member file, trying the second
 * naming layout when the first name is absent. Writes the member's path into
 * out and returns 1 when that file can be opened for reading, 0 when it cannot.
 * Returns -1 for null arguments or out_cap 0, when the path does not fit (no
 * message), and when the bundle cannot be resolved ("tq_bundle_resolve_member: "
 * and the reason). Does not clear the last error on entry. */
TQ_API int tq_bundle_resolve_member(const char* bundle_path, const char* member, char* out,
                                    size_t out_cap);

/* ---------------------------------------------------------------- context
 *
 * Keypoints are 21 rows of (x, y, z) float32 per frame (63 floats). Crops are
 * three planes (R, G, B) of crop x crop float32 in 0..1. Frames are W x H
 * interleaved 8-bit RGB, rows W * 3 bytes apart; RGBA adds a 255 byte per pixel.
 * The functions on one context must not run on several threads at once.
 */

/* Opens a bundle (directory or IMX container). model_key selects the director
 * graph "model_<key>.onnx"; threads <= 0 lets the library size the renderer; ep
 * is the execution provider request (NULL or "" for the default CPU one).
 * Returns NULL on failure ("tq_create: ..."). */
TQ_API tq_ctx* tq_create(const char* bundle_dir, const char* model_key, int threads, const char* ep);
/* Destroys a context (NULL allowed), joining its threads. */
TQ_API void tq_destroy(tq_ctx* ctx);

/* Keypoint rows per frame the renderer is fed: 21. */
TQ_API int tq_host_kp_rows(void);
/* Identity frames, frame width and height, crop side, drive-table rows; 0 for NULL. */
TQ_API int tq_nt(const tq_ctx* ctx);
TQ_API int tq_width(const tq_ctx* ctx);
TQ_API int tq_height(const tq_ctx* ctx);
TQ_API int tq_crop(const tq_ctx* ctx);
TQ_API int tq_drive_frames(const tq_ctx* ctx);

/* Renders the crop of identity frame si (0..NT-1) driven by the keypoints. The
 * first render loads the director graph. Returns the crop, valid until the next
 * render on this context, or NULL on failure. */
TQ_API const float* tq_render_kp_crop(tq_ctx* ctx, int si, const float* kp_src, const float* kp_drv);
/* Renders drive-table frame f (0..frames-1). */
TQ_API const float* tq_render_drive_crop(tq_ctx* ctx, int f);

/* Copies driver frame si into out (at least W * H * 3 bytes) and pastes crop
 * over it with frame si's transform. Returns 1, or 0 on failure. */
TQ_API int tq_paste_crop(tq_ctx* ctx, int si, const float* crop, uint8_t* out, size_t out_cap);
/* Pastes the most recent render over driver frame si into the context's frame
 * buffer and returns it (valid until the next paste), or NULL. */
TQ_API const uint8_t* tq_paste_last(tq_ctx* ctx, int si);

/* Render then paste, delivering RGBA into out (at least W * H * 4 bytes). 1 or 0. */
TQ_API int tq_render_kp_rgba(tq_ctx* ctx, int si, const float* kp_src, const float* kp_drv, uint8_t* out,
                             size_t out_cap);
TQ_API int tq_render_drive_rgba(tq_ctx* ctx, int f, uint8_t* out, size_t out_cap);

/* Driver frame i, valid until the next pull from the context's driver video, or NULL. */
TQ_API const uint8_t* tq_target_frame(tq_ctx* ctx, int i);

/* ---------------------------------------------------------------- warp prior */

/* Opens the bundle's warp-prior movie with the given look-ahead (below 1: 2) and
 * history (below 0: 0). NULL on failure ("tq_prior_open: ..."). */
TQ_API tq_prior* tq_prior_open(const char* bundle_dir, int ahead, int hist);
/* Bytes per prior frame: crop * crop * 6 (three planes of binary16); 0 for NULL. */
TQ_API size_t tq_prior_row_bytes(const tq_prior* prior);
/* Copies prior frame i into out. 1, or 0 on failure. */
TQ_API int tq_prior_row(tq_prior* prior, int i, uint8_t* out, size_t cap);
/* The prior's decoder description; "" for NULL. */
TQ_API const char* tq_prior_backend(const tq_prior* prior);
TQ_API void tq_prior_close(tq_prior* prior);

/* ---------------------------------------------------------------- utterance session */

/* A real-time session on a context: 16 kHz 16-bit mono audio in, a continuous
 * stream of full-size RGB frames out (idle, speech, ramp back to idle). */
typedef struct tq_utt tq_utt;

typedef struct tq_utt_opts {
  const char* motion_dir;   /* audio-to-motion models; required */
  int32_t threads;          /* engine intra-op threads; <= 0: the context's */
  const char* motion_ep;    /* provider for the motion pipeline engine; null: CPU */
  const char* steady_model; /* batched chunk renderer's model key; null: "b24_fp32"; "-": none */
  int32_t eager;            /* -2: hybrid; <= 0: engine default; >= 1: as is */
  double silence_end_s;     /* 0: 0.6 s; negative: never */
  int32_t end_ramp;         /* <= 0: 6 */
  int32_t interrupt_ramp;   /* <= 0: 4 */
} tq_utt_opts;

/* Settings added after tq_utt_opts was fixed. Fill it with tq_utt_opts_ext_init
 * (compiled into the host, it records the size the host knows), then set what
 * is wanted: a later library reads only the fields within that size, so hosts
 * built against this header keep working when fields are added. */
typedef struct tq_utt_opts_ext {
  size_t size;          /* bytes of this struct as the host was built; set by the init */
  const char* w2v_path; /* speech encoder graph of the a2x engine; null: $W2V_ONNX */
} tq_utt_opts_ext;

static inline void tq_utt_opts_ext_init(tq_utt_opts_ext* ext) {
  ext->size = sizeof *ext;
  ext->w2v_path = NULL;
}

typedef struct tq_utt_frame_info {
  uint64_t seq;          /* published-frame number since creation */
  uint32_t kind;         /* 0 idle, 1 speech, 2 ramp */
  uint32_t driver_index; /* driver-video frame the picture is built on */
  int32_t frame;         /* speech frame number in the utterance; -1 otherwise */
} tq_utt_frame_info;

typedef struct tq_utt_stats {
  uint64_t frames_out;
  uint64_t speech_frames_out;
  uint64_t first_frames;
  double first_frame_ms; /* latest utterance: from its first push (or, for audio queued behind
                          * an earlier utterance, from when that one was over) to its first frame */
  double render_ms;
  uint32_t state; /* 0 idle, 1 utterance started, 2 speaking, 3 ramp */
} tq_utt_stats;

/* What happened to the audio and the utterances of a session since creation. */
typedef struct tq_utt_counts {
  uint64_t samples_dropped;        /* pushed before the engine was ready, or into an abandoned utterance */
  uint64_t utterances_started;     /* utterances handed to the engine */
  uint64_t utterances_finished;    /* rendered to their last frame */
  uint64_t utterances_interrupted; /* cut short by tq_utt_interrupt */
  uint64_t utterances_failed;      /* abandoned after an engine or render failure */
} tq_utt_counts;

/* Where the latest utterance's first-frame latency (tq_utt_stats.first_frame_ms)
 * went, in milliseconds, in the order the first frame passed through the
 * session; the parts add up to total_ms. */
typedef struct tq_utt_latency {
  double total_ms;    /* tq_utt_stats.first_frame_ms of that utterance */
  double audio_ms;    /* from the first push to the last push the first frames needed */
  double frontend_ms; /* the engine request that made the first frames: audio features */
  double encoder_ms;  /*   its sequence model (streaming encoder, or motion generator) */
  double decoder_ms;  /*   its per-frame model (decoder, or stitching) */
  double render_ms;   /* the director on speech frame 0 */
  double paste_ms;    /* driver frame and paste of speech frame 0 */
  double handoff_ms;  /* the rest: waits and hand-offs between the session's threads */
  uint64_t utterance; /* tq_utt_stats.first_frames when it was recorded (0: none yet) */
} tq_utt_latency;

/* Threads: tq_utt_push_audio, tq_utt_end_utterance and tq_utt_interrupt may
 * run on one host thread while tq_utt_wait_frame, tq_utt_pull_frame and the
 * getters run on another; every tq_utt_ call is safe against every other on
 * the same session, except tq_utt_destroy, which must be the last call on it
 * (a wait already running on another thread returns -1 and destroy waits for
 * it to leave). While a session lives, its context's own render and paste
 * calls must not be used: the session's threads own the director, compositor
 * and driver video. Destroy the session before the context (tq_destroy first
 * is deferred; see below).
 *
 * Conversations: audio pushed after tq_utt_end_utterance (or after the silence
 * timeout ended an utterance) belongs to the next utterance. It waits in the
 * session until the current one has delivered all its frames and its end ramp,
 * then starts a new utterance at speech frame 0; it is never appended to an
 * utterance whose end was taken. tq_utt_interrupt discards all audio pushed so
 * far, queued sentences included.
 *
 * One live session per context: a second tq_utt_create on the same context is
 * refused until the first is destroyed. tq_destroy of a context whose session
 * is still alive only marks it; the context is released when that session is
 * destroyed. */
TQ_API tq_utt* tq_utt_create(tq_ctx* ctx, const tq_utt_opts* opts);
TQ_API tq_utt* tq_utt_open(tq_ctx* ctx, const char* motion_dir);
/* tq_utt_create with the settings of ext (null: none). */
TQ_API tq_utt* tq_utt_create_ext(tq_ctx* ctx, const tq_utt_opts* opts, const tq_utt_opts_ext* ext);
/* Blocks until every thread of the session has ended. Null accepted. */
TQ_API void tq_utt_destroy(tq_utt* u);
TQ_API int tq_utt_push_audio(tq_utt* u, const int16_t* pcm, int n);
TQ_API void tq_utt_end_utterance(tq_utt* u);
TQ_API void tq_utt_interrupt(tq_utt* u);
/* 1 engine loaded, 0 still loading, -1 load failed (message in the error
 * text). Clears the error text on entry. */
TQ_API int tq_utt_ready(tq_utt* u);
/* Waits until the engine is loaded (1) or failed (-1, its message in the
 * error text), or timeout_ms passed (0; below 0: no limit, 0: only looks).
 * -1 also for a null handle and when tq_utt_destroy begins meanwhile ("...:
 * the session is being destroyed"). Clears the error text on entry. */
TQ_API int tq_utt_wait_ready(tq_utt* u, int timeout_ms);
/* Frames ready to pull now (0..8). */
TQ_API int tq_utt_frames_available(tq_utt* u);
/* Waits until a frame is ready to pull (1) or timeout_ms passed (0; below 0:
 * no limit, 0: only looks); -1 for a null handle and, at once, when
 * tq_utt_destroy begins ("tq_utt_wait_frame: the session is being destroyed").
 * Clears the error text on entry. */
TQ_API int tq_utt_wait_frame(tq_utt* u, int timeout_ms);
/* 1 when the oldest ready frame was copied into buf (width x height x 3
 * bytes), else 0. Clears the error text on entry: 0 with an empty text means
 * no frame was ready; 0 with a text is a refusal ("tq_utt_pull_frame: bad
 * args", "tq_utt_pull_frame: buffer too small"). */
TQ_API int tq_utt_pull_frame(tq_utt* u, uint8_t* buf, size_t cap, tq_utt_frame_info* info);
TQ_API void tq_utt_get_stats(tq_utt* u, tq_utt_stats* out);
/* Copies the counters; null arguments do nothing. */
TQ_API void tq_utt_get_counts(tq_utt* u, tq_utt_counts* out);
/* Copies the latest first-frame latency split; null arguments do nothing. */
TQ_API void tq_utt_get_latency(tq_utt* u, tq_utt_latency* out);
/* -1 from a fatal failure (the director failed on a speech frame: stage
 * "render"; the motion engine failed: stage "motion", with the engine's own
 * text) until a later utterance has rendered all its frames; 0 otherwise and
 * for a null handle. The failure count and the latest failure text stay
 * readable after the session recovered. */
TQ_API int tq_utt_render_status(tq_utt* u, char* buf, int len, uint64_t* failures);
TQ_API const char* tq_utt_last_error(void);

/* ---------------------------------------------------------------- offline clips
 *
 * Audio is 16 kHz mono float32; a clip of n samples has ceil(n / 640) video
 * frames at 25 fps. A handle serves one thread at a time.
 */

/* The offline audio-to-offset engine: an 8-second speech encoder ("input_values"
 * [1, 128000] -> "audio_emb" [12, 200, 768]) and a recurrent decoder
 * ("cond" [1, 5376], "prev" [1, 63], "h" [1, 1, 384] -> "m" 63, "hn" 384). */
typedef struct tq_fca tq_fca;

/* threads < 1: the library's pool size. NULL on failure ("tq_fca_create: ..."). */
TQ_API tq_fca* tq_fca_create(const char* encoder_path, const char* decoder_path, int threads);
/* Writes F = ceil(n / 640) rows of 63 keypoint offsets to out and returns F.
 * 0 when n < 1; -2 when max_frames < F (nothing written); -1 on a bad argument
 * or a model failure (out may be partly written). Each call starts from zero
 * decoder state. */
TQ_API int tq_fca_deltas(tq_fca* fca, const float* audio, int n, float* out, int max_frames);
TQ_API void tq_fca_destroy(tq_fca* fca);
TQ_API const char* tq_fca_last_error(void);

/* Renders a complete clip into full-size RGB frames: the context of a bundle
 * (director "model_render.onnx"), the engine above with the bundle's
 * "fca_stream.onnx", and the bundle's rest keypoints "xs_target.bin". */
typedef struct tq_stream tq_stream;

/* Receives output frame `frame` (0, 1, ... in order, on the thread that called
 * tq_stream_run): width x height interleaved RGB, valid only during the call. */
typedef void (*tq_stream_frame_fn)(void* user, int frame, const uint8_t* rgb, int width, int height);

/* skip: frames dropped at the start of every run (>= 0); gain: multiplier of the
 * offsets. NULL on failure. */
TQ_API tq_stream* tq_stream_create(const char* bundle_dir, const char* w2v_path, int threads, int skip,
                                   float gain);
/* Renders the clip, rendering and pasting on two threads, and calls on_frame
 * (may be NULL) for each frame. Returns the frames delivered, 0 when none are
 * left after skip, -1 on failure (after the frames already delivered). A run
 * entered while another is in progress on the handle (from another thread or
 * from on_frame) is refused with -1. */
TQ_API int tq_stream_run(tq_stream* s, const float* audio, int n, tq_stream_frame_fn on_frame, void* user);
TQ_API int tq_stream_width(const tq_stream* s);
TQ_API int tq_stream_height(const tq_stream* s);
/* NULL accepted. */
TQ_API void tq_stream_destroy(tq_stream* s);
TQ_API const char* tq_stream_last_error(void);

/* ---------------------------------------------------------------- teeth members */

/* The four teeth members beside a bundle (bank track, bank sidecar, head
 * weights, head configuration). All four present arms the teeth borrow; any
 * one missing refuses it. Functions that take err/errcap copy at most
 * errcap - 1 bytes of the message and a terminating zero into err. String
 * results stay valid until the handle is closed (for
 * tq_tessera_carriage_path: until its next call on the same handle). */
typedef struct tq_tessera_carriage tq_tessera_carriage;
typedef struct tq_tessera_members tq_tessera_members;

/* 4, and the slot keys in slot order ("bank_track", "bank_sidecar",
 * "head_weights", "head_config"); NULL for i outside 0..3. */
TQ_API int tq_tessera_slot_count(void);
TQ_API const char* tq_tessera_slot_key(int i);

/* Which members a bundle carries. NULL only for a NULL bundle_dir or when
 * memory is exhausted; a bundle that cannot be scanned lists all four slots
 * as missing. */
TQ_API tq_tessera_carriage* tq_tessera_carriage_open(const char* bundle_dir);
TQ_API void tq_tessera_carriage_close(tq_tessera_carriage* c);
TQ_API int tq_tessera_carriage_complete(const tq_tessera_carriage* c);
TQ_API int tq_tessera_carriage_declared(const tq_tessera_carriage* c);
/* Resolved path of a slot; "" for a NULL argument or an unknown key. */
TQ_API const char* tq_tessera_carriage_path(tq_tessera_carriage* c, const char* slot_key);
TQ_API int tq_tessera_carriage_missing_count(const tq_tessera_carriage* c);
TQ_API const char* tq_tessera_carriage_missing(const tq_tessera_carriage* c, int i);

/* The four members loaded and cross-checked; NULL with the reason in err. */
TQ_API tq_tessera_members* tq_tessera_members_open(const char* bundle_dir, char* err, int errcap);
TQ_API void tq_tessera_members_close(tq_tessera_members* m);
TQ_API int tq_tessera_members_n_donors(const tq_tessera_members* m);
TQ_API const double* tq_tessera_members_cent(const tq_tessera_members* m);     /* 2 * n_donors */
TQ_API const double* tq_tessera_members_c_canon(const tq_tessera_members* m);  /* 2 */
TQ_API const double* tq_tessera_members_aperture(const tq_tessera_members* m); /* n_donors */
/* canvas_w, canvas_h, window_x0, window_y0, window_w, window_h, pad, band_r0,
 * band_r1, band_c0, band_c1, shift_margin */
TQ_API const int32_t* tq_tessera_members_stamp(const tq_tessera_members* m);
TQ_API const uint8_t* tq_tessera_members_head_pt(const tq_tessera_members* m);
TQ_API uint32_t tq_tessera_members_head_pt_len(const tq_tessera_members* m);
TQ_API const char* tq_tessera_members_head_json(const tq_tessera_members* m);
TQ_API const char* tq_tessera_members_manifest_json(const tq_tessera_members* m);
TQ_API const char* tq_tessera_members_bank_track_path(const tq_tessera_members* m);
TQ_API const char* tq_tessera_members_bank_container(const tq_tessera_members* m);
TQ_API const char* tq_tessera_members_bank_codec(const tq_tessera_members* m);
TQ_API const char* tq_tessera_members_bank_pix_fmt(const tq_tessera_members* m);
TQ_API const char* tq_tessera_members_bank_packing(const tq_tessera_members* m);
TQ_API int tq_tessera_members_band_w(const tq_tessera_members* m);
TQ_API int tq_tessera_members_band_h(const tq_tessera_members* m);
/* n_donors * band_h * band_w * 3 */
TQ_API uint64_t tq_tessera_members_band_bytes(const tq_tessera_members* m);
/* Copies the bank track's patches (track order) into donor order. 0 on
 * success, 1 on failure with the reason in err. */
TQ_API int tq_tessera_members_reorder(const tq_tessera_members* m, const uint8_t* track,
                                      uint8_t* donor, char* err, int errcap);
/* Decodes the bank track with the library's own decoder straight into donor
 * order: donor receives tq_tessera_members_band_bytes(m) bytes. Clears the last
 * error on entry. 0 on success; 1 on failure with the reason in err and in the
 * last-error text ("tq_tessera_members_read_bank: " and the reason: a null
 * argument, or a track that is unreadable or disagrees with the sidecar). */
TQ_API int tq_tessera_members_read_bank(const tq_tessera_members* m, uint8_t* donor, char* err, int errcap);

/* ---------------------------------------------------------------- teeth pass, batch */

/* Runs the teeth pass over nFrames canvas frames (RGB8, canvas_w * canvas_h * 3
 * bytes each, consecutive) with their 8-bit compose masks (canvas_w * canvas_h
 * bytes each). bank holds nDonors stored patches in donor order; cent 2 per
 * donor, cCanon 2, aperture 1 per donor, stamp 12 integers in stamp-key order;
 * headPt/headJson the two head members. shifts holds a (dy, dx) pair per frame;
 * a dy of -10000 (or a NULL shifts) derives that frame's shift from its mask.
 * Window i (window_w * window_h * 3 bytes) goes to outWindows slot i and
 * outOk[i] is 1, or 0 with a zero window when the frame was refused. Returns 0,
 * or 1 with the reason in err (at most errcap - 1 bytes and a zero). */
TQ_API int tq_tessera_run_shift(const uint8_t* bank, int nDonors, const double* cent, const double* cCanon,
                                const double* aperture, const int32_t* stamp, const uint8_t* headPt,
                                int headPtLen, const char* headJson, const uint8_t* framesRgb,
                                const uint8_t* masks, const int32_t* shifts, int nFrames,
                                uint8_t* outWindows, uint32_t* outOk, char* err, int errcap);
TQ_API int tq_tessera_run(const uint8_t* bank, int nDonors, const double* cent, const double* cCanon,
                          const double* aperture, const int32_t* stamp, const uint8_t* headPt, int headPtLen,
                          const char* headJson, const uint8_t* framesRgb, const uint8_t* masks, int nFrames,
                          uint8_t* outWindows, uint32_t* outOk, char* err, int errcap);

/* ---------------------------------------------------------------- teeth borrow, session */

/* Arms a session with a teeth borrow over the bank arrays (as for
 * tq_tessera_run) and the bundle manifest text; a previous borrow is replaced at
 * the next frame. The stamp's canvas must be square and the session's crop.
 * Returns 0, or 1 with the reason in err; the session then keeps its previous
 * borrow. */
TQ_API int tq_utt_tessera_attach(tq_utt* u, const uint8_t* bank, int nDonors, const double* cent,
                                 const double* cCanon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* headPt, int headPtLen, const char* headJson,
                                 const char* manifestJson, char* err, int errcap);
/* 0: no borrow (or NULL session); 1: attached and healthy; -1: attached and
 * stopped by a refusal or failure, whose text goes to msg. Each output optional. */
TQ_API int tq_utt_tessera_stats(tq_utt* u, uint64_t* borrowed, uint64_t* refused, char* msg, int msgcap);
/* 1 with the corpus-geometry ranking text of the attach in dst when a borrow is
 * attached, else 0; 0 without writing for a NULL session or dst or cap < 1. */
TQ_API int tq_utt_tessera_geometry(tq_utt* u, char* dst, int cap);
/* 1 when a borrow is attached and has counted a frame: the mean of the
 * per-frame synthesis-weight means, their maximum and the frame count (each
 * optional); else 0. */
TQ_API int tq_utt_tessera_synth_w(tq_utt* u, double* mean, double* max, uint64_t* frames);

#ifdef __cplusplus
}
#endif

#endif /* TQ_TQ_H */
