/* tq_example: a whole session in a few lines. Opens an avatar, says a raw
 * 16 kHz mono 16-bit speech file, and writes the utterance's frames (the
 * speech, then the ramp back to idle) as PPM images.
 *
 *   tq_example BUNDLE MOTION_DIR SPEECH.s16 OUT_DIR
 *
 * The speech encoder is MOTION_DIR/w2v8.onnx.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <tq/tq.h>

static int16_t pcm[16000 * 60]; /* up to a minute of speech */

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s BUNDLE MOTION_DIR SPEECH.s16 OUT_DIR\n", argv[0]);
    return 2;
  }
  FILE* in = fopen(argv[3], "rb");
  if (!in) {
    perror(argv[3]);
    return 1;
  }
  const size_t samples = fread(pcm, sizeof pcm[0], sizeof pcm / sizeof pcm[0], in);
  fclose(in);
  char w2v[4096];
  snprintf(w2v, sizeof w2v, "%s/w2v8.onnx", argv[2]);

  tq_ctx* ctx = tq_create(argv[1], "b1", 0, NULL);
  if (!ctx) {
    fprintf(stderr, "tq_example: %s\n", tq_last_error());
    return 1;
  }
  tq_utt_opts opts = {0};
  opts.motion_dir = argv[2];
  opts.silence_end_s = -1; /* the utterance ends at tq_utt_end_utterance */
  tq_utt_opts_ext ext;
  tq_utt_opts_ext_init(&ext);
  ext.w2v_path = w2v;
  tq_utt* utt = tq_utt_create_ext(ctx, &opts, &ext);
  if (!utt || tq_utt_wait_ready(utt, 60000) != 1) {
    fprintf(stderr, "tq_example: %s\n", *tq_last_error() ? tq_last_error() : "the engine did not load in 60 s");
    tq_utt_destroy(utt);
    tq_destroy(ctx);
    return 1;
  }
  tq_utt_push_audio(utt, pcm, (int)samples);
  tq_utt_end_utterance(utt);

  const size_t bytes = (size_t)tq_width(ctx) * (size_t)tq_height(ctx) * 3;
  uint8_t* frame = malloc(bytes);
  int written = 0, spoke = 0;
  tq_utt_frame_info info;
  while (frame && tq_utt_wait_frame(utt, 10000) == 1 && tq_utt_pull_frame(utt, frame, bytes, &info)) {
    spoke |= info.kind == 1;
    if (!spoke) continue;          /* idle frames before the speech */
    if (info.kind == 0) break;     /* back to idle: the utterance is over */
    char path[4200];
    snprintf(path, sizeof path, "%s/%05d.ppm", argv[4], written++);
    FILE* out = fopen(path, "wb");
    if (!out) {
      perror(path);
      break;
    }
    fprintf(out, "P6 %d %d 255\n", tq_width(ctx), tq_height(ctx));
    fwrite(frame, 1, bytes, out);
    fclose(out);
  }
  printf("tq_example: %d frames in %s\n", written, argv[4]);
  free(frame);
  tq_utt_destroy(utt);
  tq_destroy(ctx);
  return written > 0 ? 0 : 1;
}
