/* tq_host: an example host of the C interface. Opens an avatar bundle, renders
 * and pastes a sequence of frames, and hands the finished RGB frames to the
 * ffmpeg command-line tool, as an H.264 movie or as PNG stills.
 *
 *   tq_host BUNDLE [--model KEY] [--threads N] [--frames N] [--script FILE]
 *                  [--idle N] [--mp4 OUT.mp4 | --png-dir DIR]
 *
 * Without --script the bundle's idle loop (its drive table) plays for --frames
 * frames. With --script, --idle N frames of the idle loop play first, then the
 * script: one record per frame, little-endian: int32 identity frame, 63 float32
 * source keypoints, 63 float32 driving keypoints.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <stdint.h>
#include <string.h>
#include <time.h>
#include <tq/tq.h>

typedef struct {
  int si;
  float src[63];
  float drv[63];
} Record;

static double nowMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static Record* readScript(const char* path, int* count) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  Record* recs = NULL;
  int n = 0, cap = 0;
  for (;;) {
    Record r;
    int32_t si;
    if (fread(&si, 4, 1, f) != 1) break;
    if (fread(r.src, 4, 63, f) != 63 || fread(r.drv, 4, 63, f) != 63) {
      free(recs);
      fclose(f);
      return NULL;
    }
    r.si = si;
    if (n == cap) {
      cap = cap ? cap * 2 : 64;
      Record* grown = realloc(recs, (size_t)cap * sizeof *recs);
      if (!grown) {
        free(recs);
        fclose(f);
        return NULL;
      }
      recs = grown;
    }
    recs[n++] = r;
  }
  fclose(f);
  *count = n;
  return recs;
}

/* The identity frame each drive frame shows: the bundle member "drive/si.i32". */
static int32_t* readDriveSi(const char* bundle, int frames) {
  char path[4096];
  if (tq_bundle_resolve_member(bundle, "drive/si.i32", path, sizeof path) != 1) return NULL;
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  int32_t* si = malloc((size_t)frames * sizeof *si);
  if (si && fread(si, sizeof *si, (size_t)frames, f) != (size_t)frames) {
    free(si);
    si = NULL;
  }
  fclose(f);
  return si;
}

static void usage(const char* me) {
  fprintf(stderr,
          "usage: %s BUNDLE [--model KEY] [--threads N] [--frames N] [--script FILE] [--mp4 OUT | --png-dir DIR]\n",
          me);
}

int main(int argc, char** argv) {
  const char *bundle = NULL, *model = "b1", *script = NULL, *mp4 = NULL, *pngDir = NULL;
  int threads = 0, frames = 100, idle = 0;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : NULL;
    if (!strcmp(a, "--model") && v) model = argv[++i];
    else if (!strcmp(a, "--threads") && v) threads = atoi(argv[++i]);
    else if (!strcmp(a, "--frames") && v) frames = atoi(argv[++i]);
    else if (!strcmp(a, "--script") && v) script = argv[++i];
    else if (!strcmp(a, "--idle") && v) idle = atoi(argv[++i]);
    else if (!strcmp(a, "--mp4") && v) mp4 = argv[++i];
    else if (!strcmp(a, "--png-dir") && v) pngDir = argv[++i];
    else if (a[0] != '-' && !bundle) bundle = a;
    else {
      usage(argv[0]);
      return 2;
    }
  }
  if (!bundle) {
    usage(argv[0]);
    return 2;
  }

  double t0 = nowMs();
  tq_ctx* ctx = tq_create(bundle, model, threads, NULL);
  if (!ctx) {
    fprintf(stderr, "tq_host: %s\n", tq_last_error());
    return 1;
  }
  const int W = tq_width(ctx), H = tq_height(ctx);
  fprintf(stderr, "[tq_host] %s: %d identity frames %dx%d, crop %d, %d drive frames (open %.0f ms)\n", bundle,
          tq_nt(ctx), W, H, tq_crop(ctx), tq_drive_frames(ctx), nowMs() - t0);

  Record* recs = NULL;
  int32_t* driveSi = NULL;
  int scripted = 0;
  if (script) {
    recs = readScript(script, &scripted);
    if (!recs) {
      fprintf(stderr, "tq_host: cannot read the keypoint script %s\n", script);
      tq_destroy(ctx);
      return 1;
    }
  } else {
    idle = frames;
  }
  if (idle > 0 && (tq_drive_frames(ctx) < 1 || !(driveSi = readDriveSi(bundle, tq_drive_frames(ctx))))) {
    fprintf(stderr, "tq_host: the bundle has no readable drive table; give a --script\n");
    free(recs);
    tq_destroy(ctx);
    return 1;
  }
  const int count = idle + scripted;

  FILE* sink = NULL;
  if (mp4 || pngDir) {
    char cmd[4096];
    if (mp4)
      snprintf(cmd, sizeof cmd,
               "ffmpeg -y -loglevel error -f rawvideo -pix_fmt rgb24 -s %dx%d -r 25 -i - -c:v libx264 "
               "-preset veryfast -crf 20 -pix_fmt yuv420p '%s'",
               W, H, mp4);
    else
      snprintf(cmd, sizeof cmd,
               "ffmpeg -y -loglevel error -f rawvideo -pix_fmt rgb24 -s %dx%d -r 25 -i - '%s/frame_%%05d.png'", W,
               H, pngDir);
    sink = popen(cmd, "w");
    if (!sink) {
      fprintf(stderr, "tq_host: cannot start ffmpeg\n");
      free(recs);
      tq_destroy(ctx);
      return 1;
    }
  }

  double renderMs = 0, pasteMs = 0, firstRenderMs = 0;
  int rc = 0;
  for (int k = 0; k < count; ++k) {
    int si;
    const double a = nowMs();
    const float* crop;
    if (k >= idle) {
      const Record* r = &recs[k - idle];
      si = r->si;
      crop = tq_render_kp_crop(ctx, si, r->src, r->drv);
    } else {
      const int f = k % tq_drive_frames(ctx);
      crop = tq_render_drive_crop(ctx, f);
      si = driveSi[f];
    }
    const double b = nowMs();
    const uint8_t* frame = crop ? tq_paste_last(ctx, si) : NULL;
    const double c = nowMs();
    if (!frame) {
      fprintf(stderr, "\ntq_host: frame %d: %s\n", k, tq_last_error());
      rc = 1;
      break;
    }
    if (k == 0)
      firstRenderMs = b - a; /* loads the director graph */
    else
      renderMs += b - a;
    pasteMs += c - b;
    if (sink && fwrite(frame, 1, (size_t)W * H * 3, sink) != (size_t)W * H * 3) {
      fprintf(stderr, "\ntq_host: ffmpeg stopped taking frames\n");
      rc = 1;
      break;
    }
    fprintf(stderr, "\r[tq_host] frame %d/%d  render %.1f ms  paste %.1f ms", k + 1, count, b - a, c - b);
  }
  fprintf(stderr, "\n");
  if (sink && pclose(sink) != 0) rc = 1;
  if (rc == 0) {
    const int steady = count > 1 ? count - 1 : 1;
    printf("tq_host: %d frames, first render %.0f ms (graph load), then render %.2f ms/frame, paste %.2f ms/frame%s%s\n",
           count, firstRenderMs, renderMs / steady, pasteMs / count, mp4 ? " -> " : pngDir ? " -> " : "",
           mp4 ? mp4 : pngDir ? pngDir : "");
  }
  free(recs);
  free(driveSi);
  tq_destroy(ctx);
  return rc;
}
