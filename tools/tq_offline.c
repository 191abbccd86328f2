/*
 * Example host: renders a speech file offline into an MP4 with the avatar
 * speaking it.
 *
 *   tq_offline BUNDLE W2V_ONNX SPEECH OUT.mp4 [threads] [skip] [gain]
 *
 * The ffmpeg tool decodes the speech file to 16 kHz mono float and muxes the
 * frames with the original audio; the library only sees samples and frames.
 */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tq/tq.h"
#include "tq_host_util.h"

struct sink {
  FILE* video;
  int total;
  int failed;
};

static void on_frame(void* user, int frame, const uint8_t* rgb, int width, int height) {
  struct sink* s = (struct sink*)user;
  const size_t bytes = (size_t)width * (size_t)height * 3;
  if (!s->failed && fwrite(rgb, 1, bytes, s->video) != bytes) s->failed = 1;
  fprintf(stderr, "\rframe %d/%d", frame + 1, s->total);
}

static float* read_speech(const char* path, int* n) {
  char* argv[] = {"ffmpeg", "-nostdin", "-v", "error", "-i", (char*)path, "-ar", "16000", "-ac", "1", "-f", "f32le", "-",
                  NULL};
  pid_t pid;
  FILE* p = hostOpen(argv, "r", &pid);
  if (!p) return NULL;
  size_t cap = 16000 * 8, len = 0;
  float* buf = malloc(cap * sizeof(float));
  for (size_t got; buf && (got = fread(buf + len, sizeof(float), cap - len, p)) > 0;) {
    len += got;
    if (len == cap && len < (size_t)0x7fffffff / 2) {
      float* grown = realloc(buf, 2 * cap * sizeof(float));
      if (!grown) {
        free(buf);
        buf = NULL;
        break;
      }
      buf = grown;
      cap *= 2;
    }
  }
  if (hostClose(p, pid) != 0 || len == 0 || len > 0x7fffffff) {
    free(buf);
    return NULL;
  }
  *n = (int)len;
  return buf;
}

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: %s BUNDLE W2V_ONNX SPEECH OUT.mp4 [threads] [skip] [gain]\n", argv[0]);
    return 2;
  }
  const int threads = argc > 5 ? atoi(argv[5]) : 0, skip = argc > 6 ? atoi(argv[6]) : 0;
  const float gain = argc > 7 ? (float)atof(argv[7]) : 1.0f;
  int n = 0;
  float* audio = read_speech(argv[3], &n);
  if (!audio) {
    fprintf(stderr, "cannot decode %s with ffmpeg\n", argv[3]);
    return 1;
  }
  tq_stream* s = tq_stream_create(argv[1], argv[2], threads, skip, gain);
  if (!s) {
    fprintf(stderr, "%s\n", tq_stream_last_error());
    free(audio);
    return 1;
  }
  /* Dropped frames at the start drop the same stretch of audio. */
  char size[64], start[32];
  snprintf(size, sizeof size, "%dx%d", tq_stream_width(s), tq_stream_height(s));
  snprintf(start, sizeof start, "%.2f", skip * 0.04);
  char* mux[] = {"ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", size, "-r", "25",
                 "-i", "-", "-ss", start, "-i", argv[3], "-map", "0:v", "-map", "1:a", "-c:v", "libx264",
                 "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", argv[4], NULL};
  pid_t muxPid;
  struct sink sink = {hostOpen(mux, "w", &muxPid), (n + 639) / 640 - skip, 0};
  if (!sink.video) {
    fprintf(stderr, "cannot start ffmpeg\n");
    tq_stream_destroy(s);
    free(audio);
    return 1;
  }
  const int frames = tq_stream_run(s, audio, n, on_frame, &sink);
  fprintf(stderr, "\n");
  const int muxed = hostClose(sink.video, muxPid) == 0 && !sink.failed;
  if (frames < 0) fprintf(stderr, "%s\n", tq_stream_last_error());
  else if (!muxed) fprintf(stderr, "ffmpeg could not write %s\n", argv[4]);
  else fprintf(stderr, "%d frames written to %s\n", frames, argv[4]);
  tq_stream_destroy(s);
  free(audio);
  return frames >= 0 && muxed ? 0 : 1;
}
