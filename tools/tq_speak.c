/* tq_speak: an example real-time host. It plays an audio file into an utterance
 * session as if it were live speech and records the frames it pulls, with the
 * audio, as an MP4.
 *
 *   tq_speak BUNDLE MOTION_DIR AUDIO_FILE OUT.mp4 [--model KEY] [--threads N]
 *            [--w2v FILE] [--steady KEY] [--lead S] [--tail S] [--playout MS]
 *            [--preset NAME] [--quiet] [--no-movie]
 *
 * The audio file is decoded to 16 kHz mono 16-bit by the ffmpeg tool. After the
 * session's engine is ready the host pulls --lead seconds of idle frames, then a
 * pusher thread pushes the speech in 20 ms pieces on the audio clock while the
 * main thread pulls frames on a 25 fps clock. A frame that is not there at its
 * tick is late; the clock then restarts from its arrival. The first speech frame
 * is held --playout milliseconds (a small playout buffer against the session's
 * block-wise production), then speech, the ramp back to idle and --tail seconds
 * of idle frames are pulled. Every pulled frame goes to an ffmpeg encoder once,
 * so the movie is the stream as the host received it; the audio is laid under it
 * starting at the first speech frame. --no-movie pulls the same stream and
 * discards it, to measure the session without the encoder's load.
 *
 * --w2v sets $W2V_ONNX (the speech encoder the motion models need); without it
 * and without $W2V_ONNX, MOTION_DIR/w2v8.onnx is used when it exists.
 * $TQ_UTT_STAGE_REPORT is set to 1 unless the caller set it, so that the session
 * reports its stage times when it ends.
 *
 * A bundle that carries teeth members has them attached to the session (a bundle
 * whose members do not load is refused with the reason); the last line then says
 * how many frames borrowed teeth and how many were refused.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <tq/tq.h>

#include "tq_host_teeth.h"
#include "tq_host_util.h"

enum { kRate = 16000, kPiece = 320, kFrameSamples = 640, kWriterSlots = 6 };
static const double kFrameMs = 40.0;

/* The first non-empty line of text, trimmed, copied into out. */
static void firstLine(const char* text, char* out, size_t cap) {
  while (*text == '\n' || *text == '\r' || *text == ' ') ++text;
  size_t n = strcspn(text, "\r\n");
  if (n > cap - 1) n = cap - 1;
  memcpy(out, text, n);
  out[n] = 0;
}

/* Decodes the audio file to 16 kHz mono s16 through ffmpeg. Returns the samples
 * (count in *n) or NULL with a one-line reason in why. */
static int16_t* decodeAudio(const char* path, size_t* n, char* why, size_t whyCap) {
  FILE* probe = fopen(path, "rb");
  if (!probe) {
    snprintf(why, whyCap, "%s", strerror(errno));
    return NULL;
  }
  fclose(probe);
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0) {
    snprintf(why, whyCap, "pipe: %s", strerror(errno));
    return NULL;
  }
  if (pipe(errPipe) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    snprintf(why, whyCap, "pipe: %s", strerror(errno));
    return NULL;
  }
  char* argv[] = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-i", (char*)path, "-map",
                  "0:a:0", "-f", "s16le", "-acodec", "pcm_s16le", "-ac", "1", "-ar", "16000", "-", NULL};
  const int closeFds[] = {outPipe[0], errPipe[0]};
  const pid_t pid = hostSpawn(argv, -1, outPipe[1], errPipe[1], closeFds, 2);
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    snprintf(why, whyCap, "cannot start ffmpeg");
    return NULL;
  }
  size_t cap = 1 << 20, len = 0;
  uint8_t* buf = malloc(cap);
  for (;;) {
    if (buf && len == cap) {
      uint8_t* grown = realloc(buf, cap * 2);
      if (!grown) {
        free(buf);
        buf = NULL;
      } else {
        buf = grown;
        cap *= 2;
      }
    }
    uint8_t scratch[4096];
    const ssize_t got = buf ? read(outPipe[0], buf + len, cap - len) : read(outPipe[0], scratch, sizeof scratch);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (buf) len += (size_t)got;
  }
  close(outPipe[0]);
  char errText[4096];
  size_t errLen = 0;
  for (;;) {
    /* Everything is read so that ffmpeg never blocks; the first 4 KiB are kept. */
    char chunk[1024];
    const ssize_t got = read(errPipe[0], chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    const size_t keep = (size_t)got < sizeof errText - 1 - errLen ? (size_t)got : sizeof errText - 1 - errLen;
    memcpy(errText + errLen, chunk, keep);
    errLen += keep;
  }
  errText[errLen] = 0;
  close(errPipe[0]);
  const int rc = hostWaitExit(pid);
  if (!buf) {
    snprintf(why, whyCap, "out of memory");
    return NULL;
  }
  if (rc != 0 || len < 2) {
    char line[512];
    firstLine(errText, line, sizeof line);
    if (rc != 0)
      snprintf(why, whyCap, "ffmpeg cannot decode it (%s)", line[0] ? line : "no message");
    else
      snprintf(why, whyCap, "it holds no audio samples");
    free(buf);
    return NULL;
  }
  *n = len / 2;
  return (int16_t*)buf;
}

/* ---------------------------------------------------------------- frame writer */

/* A bounded queue of frame buffers between the pulling thread and the thread
 * that feeds the encoder, so that a slow encoder write does not delay a pull. */
typedef struct {
  pthread_mutex_t mu;
  pthread_cond_t cv;
  uint8_t* slot[kWriterSlots];
  size_t frameBytes;
  int head, count; /* queued frames: slot[head], slot[head + 1], ... */
  int closed;
  atomic_int failed;
  int fd;
  pthread_t thread;
  double waitMs; /* time the puller spent waiting for a free slot */
} Writer;

static void* writerLoop(void* arg) {
  Writer* w = arg;
  for (;;) {
    pthread_mutex_lock(&w->mu);
    while (w->count == 0 && !w->closed) pthread_cond_wait(&w->cv, &w->mu);
    if (w->count == 0) {
      pthread_mutex_unlock(&w->mu);
      break;
    }
    uint8_t* frame = w->slot[w->head];
    pthread_mutex_unlock(&w->mu);
    size_t off = 0;
    while (off < w->frameBytes && !w->failed) {
      const ssize_t put = write(w->fd, frame + off, w->frameBytes - off);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0)
        w->failed = 1;
      else
        off += (size_t)put;
    }
    pthread_mutex_lock(&w->mu);
    w->head = (w->head + 1) % kWriterSlots;
    --w->count;
    pthread_cond_broadcast(&w->cv);
    pthread_mutex_unlock(&w->mu);
  }
  return NULL;
}

/* The buffer the next frame is pulled into (waits for a free one). */
static uint8_t* writerNext(Writer* w) {
  const double t = hostNowMs();
  pthread_mutex_lock(&w->mu);
  while (w->count == kWriterSlots) pthread_cond_wait(&w->cv, &w->mu);
  uint8_t* b = w->slot[(w->head + w->count) % kWriterSlots];
  pthread_mutex_unlock(&w->mu);
  w->waitMs += hostNowMs() - t;
  return b;
}

static void writerCommit(Writer* w) {
  pthread_mutex_lock(&w->mu);
  ++w->count;
  pthread_cond_broadcast(&w->cv);
  pthread_mutex_unlock(&w->mu);
}

static void writerClose(Writer* w) {
  pthread_mutex_lock(&w->mu);
  w->closed = 1;
  pthread_cond_broadcast(&w->cv);
  pthread_mutex_unlock(&w->mu);
  pthread_join(w->thread, NULL);
  close(w->fd);
}

/* ---------------------------------------------------------------- audio pusher */

typedef struct {
  tq_utt* utt;
  const int16_t* pcm;
  size_t n;
  double startMs;
  atomic_int pushedPieces; /* progress only */
  atomic_int failed;
} Pusher;

static void* pushLoop(void* arg) {
  Pusher* p = arg;
  const size_t pieces = (p->n + kPiece - 1) / kPiece;
  for (size_t k = 0; k < pieces; ++k) {
    /* Piece k is complete, as from a microphone, 20 ms after it began. */
    hostSleepUntilMs(p->startMs + (double)(k + 1) * 1e3 * kPiece / kRate);
    const size_t off = k * kPiece;
    const int len = (int)(p->n - off < kPiece ? p->n - off : kPiece);
    if (!tq_utt_push_audio(p->utt, p->pcm + off, len)) p->failed = 1;
    p->pushedPieces = (int)k + 1;
  }
  tq_utt_end_utterance(p->utt);
  return NULL;
}

/* ---------------------------------------------------------------- main */

static void usage(const char* me) {
  fprintf(stderr,
          "usage: %s BUNDLE MOTION_DIR AUDIO_FILE OUT.mp4 [--model KEY] [--threads N] [--w2v FILE]\n"
          "          [--steady KEY] [--lead S] [--tail S] [--playout MS] [--preset NAME] [--quiet] [--no-movie]\n",
          me);
}

static int isDir(const char* p) {
  struct stat st;
  return stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

static int exists(const char* p) {
  struct stat st;
  return stat(p, &st) == 0;
}

int main(int argc, char** argv) {
  const char* pos[4] = {NULL, NULL, NULL, NULL};
  int npos = 0;
  const char *model = "b1", *w2v = NULL, *steady = NULL, *preset = "ultrafast";
  int threads = 0, quiet = 0, noMovie = 0;
  double leadS = 0.5, tailS = 0.5, playoutMs = 2 * kFrameMs;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : NULL;
    if (!strcmp(a, "--model") && v) model = argv[++i];
    else if (!strcmp(a, "--threads") && v) threads = atoi(argv[++i]);
    else if (!strcmp(a, "--w2v") && v) w2v = argv[++i];
    else if (!strcmp(a, "--steady") && v) steady = argv[++i];
    else if (!strcmp(a, "--lead") && v) leadS = atof(argv[++i]);
    else if (!strcmp(a, "--tail") && v) tailS = atof(argv[++i]);
    else if (!strcmp(a, "--playout") && v) playoutMs = atof(argv[++i]);
    else if (!strcmp(a, "--preset") && v) preset = argv[++i];
    else if (!strcmp(a, "--quiet")) quiet = 1;
    else if (!strcmp(a, "--no-movie")) noMovie = 1;
    else if (a[0] != '-' && npos < 4) pos[npos++] = a;
    else {
      usage(argv[0]);
      return 2;
    }
  }
  if (npos != 4 || leadS < 0 || tailS < 0 || playoutMs < 0) {
    usage(argv[0]);
    return 2;
  }
  const char *bundle = pos[0], *motionDir = pos[1], *audioPath = pos[2], *outPath = pos[3];
  signal(SIGPIPE, SIG_IGN); /* a dead encoder shows as a failed write */

  if (!exists(bundle)) {
    fprintf(stderr, "tq_speak: no avatar bundle at %s\n", bundle);
    return 1;
  }
  if (!isDir(motionDir)) {
    fprintf(stderr, "tq_speak: bad motion directory %s: not a directory\n", motionDir);
    return 1;
  }
  char why[1024];
  size_t nSamples = 0;
  int16_t* pcm = decodeAudio(audioPath, &nSamples, why, sizeof why);
  if (!pcm) {
    fprintf(stderr, "tq_speak: cannot read audio %s: %s\n", audioPath, why);
    return 1;
  }
  if (nSamples > (size_t)kRate * 3600) {
    fprintf(stderr, "tq_speak: cannot read audio %s: longer than an hour\n", audioPath);
    free(pcm);
    return 1;
  }
  char w2vBeside[4096];
  snprintf(w2vBeside, sizeof w2vBeside, "%s/w2v8.onnx", motionDir);
  if (!w2v && !getenv("W2V_ONNX") && exists(w2vBeside)) w2v = w2vBeside;
  const int stageReportOurs = getenv("TQ_UTT_STAGE_REPORT") == NULL;
  if (stageReportOurs) setenv("TQ_UTT_STAGE_REPORT", "1", 1);

  const double tOpen = hostNowMs();
  tq_ctx* ctx = tq_create(bundle, model, threads, NULL);
  if (!ctx) {
    fprintf(stderr, "tq_speak: %s\n", tq_last_error());
    free(pcm);
    return 1;
  }
  tq_utt_opts opts;
  memset(&opts, 0, sizeof opts);
  opts.motion_dir = motionDir;
  opts.steady_model = steady;
  /* The pusher ends the utterance itself; a pusher held up by a busy machine must
   * not split the speech into two utterances. */
  opts.silence_end_s = -1;
  tq_utt_opts_ext ext;
  tq_utt_opts_ext_init(&ext);
  ext.w2v_path = w2v; /* null: $W2V_ONNX */
  tq_utt* utt = tq_utt_create_ext(ctx, &opts, &ext);
  if (!utt) {
    fprintf(stderr, "tq_speak: %s\n", tq_utt_last_error());
    tq_destroy(ctx);
    free(pcm);
    return 1;
  }
  if (tq_utt_wait_ready(utt, -1) < 0) {
    fprintf(stderr, "tq_speak: bad motion directory %s: %s\n", motionDir, tq_utt_last_error());
    if (stageReportOurs) unsetenv("TQ_UTT_STAGE_REPORT"); /* nothing ran: nothing to report */
    tq_utt_destroy(utt);
    tq_destroy(ctx);
    free(pcm);
    return 1;
  }
  /* A bundle with teeth members borrows teeth into every face the session draws. */
  char teethWhy[1024];
  const int teeth = hostAttachTeeth(utt, bundle, teethWhy, (int)sizeof teethWhy);
  if (teeth < 0) {
    fprintf(stderr, "tq_speak: teeth: %s\n", teethWhy);
    tq_utt_destroy(utt);
    tq_destroy(ctx);
    free(pcm);
    return 1;
  }
  const int W = tq_width(ctx), H = tq_height(ctx);
  const size_t frameBytes = (size_t)W * H * 3;
  const double audioS = (double)nSamples / kRate;
  const long speechFrames = (long)((nSamples + kFrameSamples - 1) / kFrameSamples);
  if (!quiet)
    fprintf(stderr, "[tq_speak] %s: %dx%d, crop %d, %d driver frames; engine ready in %.0f ms; %.2f s of speech (%ld frames)\n",
            bundle, W, H, tq_crop(ctx), tq_nt(ctx), hostNowMs() - tOpen, audioS, speechFrames);

  /* The picture goes to a video-only file first; the audio is muxed under it
   * once the first speech frame's place in the stream is known. */
  char videoPath[4096];
  snprintf(videoPath, sizeof videoPath, "%s.video.mp4", outPath);
  int rc = 0;
  Writer wr;
  int encPipe[2];
  if (pipe(encPipe) != 0) {
    fprintf(stderr, "tq_speak: pipe: %s\n", strerror(errno));
    rc = 1;
    goto noEncoder;
  }
  char size[32];
  snprintf(size, sizeof size, "%dx%d", W, H);
  char* encArgv[] = {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "rgb24",
                     "-s", size, "-r", "25", "-i", "-", "-c:v", "libx264", "-preset", (char*)preset, "-crf", "20",
                     "-pix_fmt", "yuv420p", videoPath, NULL};
  /* --no-movie: the frames go nowhere, to measure the stream without the encoder. */
  const pid_t encPid = noMovie ? 0 : hostSpawn(encArgv, encPipe[0], -1, -1, &encPipe[1], 1);
  close(encPipe[0]);
  if (noMovie) {
    close(encPipe[1]);
    encPipe[1] = open("/dev/null", O_WRONLY);
  }
  if (encPid < 0 || encPipe[1] < 0) {
    fprintf(stderr, "tq_speak: cannot start ffmpeg\n");
    close(encPipe[1]);
    rc = 1;
    goto noEncoder;
  }
  memset(&wr, 0, sizeof wr);
  pthread_mutex_init(&wr.mu, NULL);
  pthread_cond_init(&wr.cv, NULL);
  wr.frameBytes = frameBytes;
  wr.fd = encPipe[1];
  for (int i = 0; i < kWriterSlots; ++i)
    if (!(wr.slot[i] = malloc(frameBytes))) {
      fprintf(stderr, "tq_speak: out of memory\n");
      for (int k = 0; k < i; ++k) free(wr.slot[k]);
      close(encPipe[1]);
      if (!noMovie) hostWaitExit(encPid);
      rc = 1;
      goto noEncoder;
    }
  pthread_create(&wr.thread, NULL, writerLoop, &wr);

  Pusher pusher;
  memset(&pusher, 0, sizeof pusher);
  pusher.utt = utt;
  pusher.pcm = pcm;
  pusher.n = nSamples;
  pthread_t pushThread;
  int pushing = 0;

  const long leadFrames = (long)(leadS * 25 + 0.5), tailFrames = (long)(tailS * 25 + 0.5);
  long pulled = 0, speechSeen = 0, firstSpeechAt = -1, late = 0, tail = 0, idleAfterPush = 0;
  double lateMaxMs = 0, lateSumMs = 0, startWaitMs = 0, firstPullMs = 0, lastPullMs = 0, firstSpeechPullMs = 0,
         lastSpeechPullMs = 0;
  double tick = hostNowMs();
  for (;;) {
    /* Start the speech once the lead-in has been pulled. */
    if (!pushing && pulled >= leadFrames) {
      pusher.startMs = hostNowMs();
      pthread_create(&pushThread, NULL, pushLoop, &pusher);
      pushing = 1;
    }
    hostSleepUntilMs(tick);
    uint8_t* buf = writerNext(&wr);
    tq_utt_frame_info info;
    int got = tq_utt_pull_frame(utt, buf, frameBytes, &info);
    if (!got) {
      /* Late: wait for the frame, then restart the clock from its arrival. */
      const double waitFrom = hostNowMs();
      while (!(got = tq_utt_pull_frame(utt, buf, frameBytes, &info))) {
        if (*tq_last_error()) {
          fprintf(stderr, "\ntq_speak: %s\n", tq_last_error());
          rc = 1;
          break;
        }
        char status[512];
        if (tq_utt_render_status(utt, status, sizeof status, NULL) < 0) {
          fprintf(stderr, "\ntq_speak: rendering failed: %s\n", status);
          rc = 1;
          break;
        }
        /* A refused frame stops the borrow, and with it the delivery of faces. */
        if (teeth && tq_utt_tessera_stats(utt, NULL, NULL, NULL, 0) < 0 && hostTeethReport(utt, status, sizeof status)) {
          fprintf(stderr, "\ntq_speak: %s\n", status);
          rc = 1;
          break;
        }
        if (hostNowMs() - waitFrom > 20000) {
          fprintf(stderr, "\ntq_speak: no frame from the session for 20 s\n");
          rc = 1;
          break;
        }
        tq_utt_wait_frame(utt, 100);
      }
      if (rc) break;
      const double lateBy = hostNowMs() - tick;
      if (pushing && speechSeen == 0) {
        startWaitMs += lateBy; /* the utterance's start-up: no frames until its first speech frame */
      } else {
        ++late;
        lateSumMs += lateBy;
        if (lateBy > lateMaxMs) lateMaxMs = lateBy;
      }
      tick = hostNowMs();
    }
    const double t = hostNowMs();
    if (pulled == 0) firstPullMs = t;
    lastPullMs = t;
    if (info.kind == 1) {
      if (speechSeen == 0) {
        firstSpeechAt = pulled;
        firstSpeechPullMs = t;
        /* Playout buffer: the first speech frame is shown a little later, so that
         * frames made block by block are there when their ticks come. */
        tick = t + playoutMs;
        hostSleepUntilMs(tick);
      }
      ++speechSeen;
      lastSpeechPullMs = t;
    } else if (info.kind == 0 && speechSeen >= speechFrames) {
      ++tail;
    } else if (info.kind == 0 && pushing && pusher.pushedPieces * (size_t)kPiece >= nSamples) {
      ++idleAfterPush;
    }
    writerCommit(&wr);
    ++pulled;
    if (!quiet && (pulled % 5 == 0 || info.kind == 1))
      fprintf(stderr, "\r[tq_speak] frame %ld (%s)  audio %.1f/%.1f s  speech %ld/%ld  late %ld   ", pulled,
              info.kind == 1 ? "speech" : info.kind == 2 ? "ramp" : "idle",
              pusher.pushedPieces * (double)kPiece / kRate, audioS, speechSeen, speechFrames, late);
    if (tail >= (tailFrames > 0 ? tailFrames : 1)) break;
    if (idleAfterPush > 75) {
      fprintf(stderr, "\ntq_speak: the session went idle after %ld of %ld speech frames\n", speechSeen,
              speechFrames);
      rc = 1;
      break;
    }
    if (wr.failed) {
      fprintf(stderr, "\ntq_speak: the encoder stopped taking frames\n");
      rc = 1;
      break;
    }
    tick += kFrameMs;
  }
  if (!quiet) fprintf(stderr, "\n");
  if (pushing) pthread_join(pushThread, NULL);
  if (pusher.failed && !rc) {
    fprintf(stderr, "tq_speak: push refused: %s\n", tq_utt_last_error());
    rc = 1;
  }
  tq_utt_stats st;
  memset(&st, 0, sizeof st);
  tq_utt_get_stats(utt, &st);
  tq_utt_latency lat;
  tq_utt_get_latency(utt, &lat);
  uint64_t failures = 0;
  char status[512] = "";
  tq_utt_render_status(utt, status, sizeof status, &failures);
  char teethLine[512];
  const int teethReported = hostTeethReport(utt, teethLine, sizeof teethLine);
  writerClose(&wr);
  if (!noMovie && hostWaitExit(encPid) != 0 && !rc) {
    fprintf(stderr, "tq_speak: ffmpeg could not write %s\n", videoPath);
    rc = 1;
  }
  tq_utt_destroy(utt); /* prints the stage report */
  tq_destroy(ctx);

  if (rc == 0 && firstSpeechAt < 0) {
    fprintf(stderr, "tq_speak: the session delivered no speech frame\n");
    rc = 1;
  }
  if (rc == 0 && !noMovie) {
    /* The audio starts with the first speech frame; it is padded to the movie's end. */
    char filter[128], dur[64];
    snprintf(filter, sizeof filter, "adelay=%ld:all=1,apad", firstSpeechAt * 40);
    snprintf(dur, sizeof dur, "%.3f", pulled / 25.0);
    char* muxArgv[] = {"ffmpeg", "-y", "-nostdin", "-hide_banner", "-loglevel", "error", "-i", videoPath, "-i",
                       (char*)audioPath, "-map", "0:v:0", "-map", "1:a:0", "-c:v", "copy", "-af", filter, "-c:a",
                       "aac", "-b:a", "128k", "-t", dur, "-movflags", "+faststart", (char*)outPath, NULL};
    const pid_t mux = hostSpawn(muxArgv, -1, -1, -1, NULL, 0);
    if (mux < 0 || hostWaitExit(mux) != 0) {
      fprintf(stderr, "tq_speak: ffmpeg could not mux %s\n", outPath);
      rc = 1;
    }
  }
  unlink(videoPath);
  for (int i = 0; i < kWriterSlots; ++i) free(wr.slot[i]);
  free(pcm);
  if (rc) return rc;

  const double spanS = (lastPullMs - firstPullMs) / 1e3;
  const double speechSpanS = (lastSpeechPullMs - firstSpeechPullMs) / 1e3;
  printf("tq_speak: %s: %ld frames (%ld speech, speech starts at frame %ld), %.2f s of audio\n",
         noMovie ? "no movie" : outPath, pulled, speechSeen, firstSpeechAt, audioS);
  printf("tq_speak: first-frame latency %.0f ms (first push to first speech frame); the host waited %.0f ms for it\n",
         st.first_frame_ms, startWaitMs);
  printf("tq_speak: first frame: audio %.0f ms, frontend %.1f ms, encoder %.1f ms, decoder %.1f ms, render %.1f ms, "
         "paste %.1f ms, hand-off %.1f ms\n",
         lat.audio_ms, lat.frontend_ms, lat.encoder_ms, lat.decoder_ms, lat.render_ms, lat.paste_ms, lat.handoff_ms);
  printf("tq_speak: delivered %.2f fps overall, %.2f fps during speech; frames late %ld (mean %.1f ms, max %.1f ms)"
         "; playout buffer %.0f ms\n",
         spanS > 0 ? (pulled - 1) / spanS : 0.0, speechSpanS > 0 ? (speechSeen - 1) / speechSpanS : 0.0, late,
         late ? lateSumMs / late : 0.0, lateMaxMs, playoutMs);
  printf("tq_speak: render %.1f ms per speech frame (session average); encoder back-pressure %.0f ms; render "
         "failures %llu%s%s\n",
         st.render_ms, wr.waitMs, (unsigned long long)failures, failures ? ": " : "", failures ? status : "");
  if (teethReported) printf("tq_speak: %s\n", teethLine);
  return 0;

noEncoder:
  tq_utt_destroy(utt);
  tq_destroy(ctx);
  free(pcm);
  return rc;
}
