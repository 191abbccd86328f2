/* tq_live: an example real-time host that serves one utterance session to web
 * pages on this machine. It speaks what a page types.
 *
 *   tq_live BUNDLE MOTION_DIR [--port N] [--model KEY] [--threads N] [--w2v FILE]
 *           [--scale N] [--quality Q] [--max-chars N]
 *
 * The host pulls the session's frames on a 25 fps clock, scales them down by
 * --scale (default 2 for frames 1280 pixels wide or more, else 1), encodes each
 * once as a JPEG and hands it to every connected page over its WebSocket, with
 * the 40 ms of speech that belong to it. Each page has its own sender thread and
 * a queue of at most kFrameQueue frames. A page acknowledges each frame it has
 * shown ("ack"), and no more than kInFlight frames go out unacknowledged, so a
 * page that cannot keep up (slow network, slow decoding, a stalled tab) loses
 * its oldest frames instead of piling them up in socket buffers, and the
 * session never waits for it. With no page connected the
 * frames are pulled and discarded without encoding.
 *
 * A page sends "speak TEXT": espeak-ng says the text (a child process), ffmpeg
 * turns its WAV into 16 kHz mono (the pair is started ahead, waiting for its
 * text), and the host pushes it in 20 ms pieces on the audio clock. A new sentence while one is being said interrupts it and is said
 * instead. "stop" interrupts. "ack" follows each frame shown. "report LAT PUSHLAT FPS" carries the page's own
 * measurements back; "noframes" turns a connection into a watcher of the
 * statistics only. Every answer goes back as JSON text.
 *
 * A bundle that carries teeth members has them attached to the session at start
 * (members that do not load refuse the start, with the reason); when the host
 * stops it says how many frames borrowed teeth and how many were refused.
 */
#define _GNU_SOURCE
#include <civetweb.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
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

#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h> /* implemented in tq_live_jpeg.c */

#include "tq_host_teeth.h"
#include "tq_host_util.h"
#include "tq_live_page.h" /* kPage: the page, generated from tq_live.html */


enum {
  kRate = 16000,
  kPiece = 320,
  kFrameSamples = 640,
  kFrameQueue = 3,  /* frames waiting per page before the oldest is dropped */
  kTextQueue = 32,  /* answers and statistics waiting per page */
  kMaxClients = 16, /* open sockets; civetweb gives each a thread */
  kHeader = 32,     /* frame message header bytes, see broadcastFrame */
  kInFlight = 3,    /* frames written to a page and not yet acknowledged as shown */
};
static const double kFrameMs = 40.0;

static double wallMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

/* ---------------------------------------------------------------- messages */

/* One encoded message, shared by every page it goes to. */
typedef struct {
  atomic_int refs;
  int binary;
  size_t len;
  uint8_t data[];
} Msg;

static Msg* msgNew(int binary, size_t len) {
  Msg* m = malloc(sizeof(Msg) + len + 1);
  if (!m) return NULL;
  atomic_init(&m->refs, 1);
  m->binary = binary;
  m->len = len;
  return m;
}

static void msgUnref(Msg* m) {
  if (m && atomic_fetch_sub(&m->refs, 1) == 1) free(m);
}

static Msg* textMsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static Msg* textMsg(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(NULL, 0, fmt, ap);
  va_end(ap);
  Msg* m = n < 0 ? NULL : msgNew(0, (size_t)n);
  if (!m) return NULL;
  va_start(ap, fmt);
  vsnprintf((char*)m->data, (size_t)n + 1, fmt, ap);
  va_end(ap);
  return m;
}

/* ---------------------------------------------------------------- pages */

typedef struct Client {
  struct mg_connection* conn;
  unsigned id;
  pthread_mutex_t mu;
  pthread_cond_t cv;
  Msg* frames[kFrameQueue];
  Msg* texts[kTextQueue];
  int nFrames, nTexts; /* oldest first */
  int closing, broken, noFrames;
  pthread_t thread;
  /* under mu */
  uint64_t sent, dropped, acked, framesSent;
  double latencyMs, pushLatencyMs, fps; /* the page's own report */
  struct Client* next;
} Client;

static struct {
  tq_utt* utt;
  int maxChars;
  atomic_int stop;
  pthread_mutex_t clientsMu;
  Client* clients;
  int nClients, nViewers;
  unsigned nextId;

  /* Host state shared by the puller, the speech thread and the handlers. */
  pthread_mutex_t mu;
  pthread_cond_t cv;
  char* request; /* text waiting to be said, or NULL */
  unsigned requestBy;
  double requestMs; /* when the request came in */
  int synthesizing, pushing;
  atomic_int abortPush;
  int16_t* audio; /* the utterance being said and its samples */
  size_t audioN;
  unsigned sentence; /* count of sentences said, numbers their frames */
  double synthMs, encodeMs;
  double firstPushMs, pulledFirstMs; /* the sentence's first push; from it to its first frame pulled */
} L;

static void clientPush(Client* c, Msg* m) {
  pthread_mutex_lock(&c->mu);
  if (m->binary) {
    if (c->noFrames) {
      pthread_mutex_unlock(&c->mu);
      return;
    }
    if (c->nFrames == kFrameQueue) { /* a slow page loses its oldest frame */
      msgUnref(c->frames[0]);
      memmove(c->frames, c->frames + 1, sizeof(Msg*) * (kFrameQueue - 1));
      --c->nFrames;
      ++c->dropped;
    }
    c->frames[c->nFrames++] = m;
  } else if (c->nTexts < kTextQueue) {
    c->texts[c->nTexts++] = m;
  } else {
    pthread_mutex_unlock(&c->mu);
    return;
  }
  atomic_fetch_add(&m->refs, 1);
  pthread_cond_signal(&c->cv);
  pthread_mutex_unlock(&c->mu);
}

static void broadcast(Msg* m) {
  if (!m) return;
  pthread_mutex_lock(&L.clientsMu);
  for (Client* c = L.clients; c; c = c->next) clientPush(c, m);
  pthread_mutex_unlock(&L.clientsMu);
  msgUnref(m);
}

static void sendTo(Client* c, Msg* m) {
  if (!m) return;
  clientPush(c, m);
  msgUnref(m);
}

/* Writes a page's queue to its socket; answers go before frames. */
static void* senderLoop(void* arg) {
  Client* c = arg;
  for (;;) {
    pthread_mutex_lock(&c->mu);
    while (!c->closing && c->nTexts == 0 && (c->nFrames == 0 || c->framesSent - c->acked >= kInFlight))
      pthread_cond_wait(&c->cv, &c->mu);
    if (c->closing) {
      pthread_mutex_unlock(&c->mu);
      return NULL;
    }
    Msg* m;
    if (c->nTexts) {
      m = c->texts[0];
      memmove(c->texts, c->texts + 1, sizeof(Msg*) * (size_t)--c->nTexts);
    } else {
      m = c->frames[0];
      memmove(c->frames, c->frames + 1, sizeof(Msg*) * (size_t)--c->nFrames);
      ++c->framesSent;
    }
    const int broken = c->broken;
    pthread_mutex_unlock(&c->mu);
    const int ok = broken ? 0
                          : mg_websocket_write(c->conn, m->binary ? MG_WEBSOCKET_OPCODE_BINARY : MG_WEBSOCKET_OPCODE_TEXT,
                                               (const char*)m->data, m->len) > 0;
    msgUnref(m);
    pthread_mutex_lock(&c->mu);
    if (ok) ++c->sent;
    else c->broken = 1; /* the socket is gone; its close handler ends this thread */
    pthread_mutex_unlock(&c->mu);
  }
}

/* ---------------------------------------------------------------- speech */

/* espeak-ng reads a line of text on its stdin and writes a WAV to ffmpeg, which
 * writes 16 kHz mono s16 to us. The pair is started before it is needed (one is
 * always waiting), so that a sentence does not wait for two programs to load. */
typedef struct {
  pid_t say, conv;
  int text, pcm; /* our ends: espeak-ng's stdin, ffmpeg's stdout */
} Voice;

static void voiceSpawn(Voice* v) {
  int tin[2] = {-1, -1}, wav[2] = {-1, -1}, pcm[2] = {-1, -1};
  v->say = v->conv = -1;
  v->text = v->pcm = -1;
  /* Close-on-exec everywhere: a child must hold no end of another voice's pipes. */
  if (pipe2(tin, O_CLOEXEC) || pipe2(wav, O_CLOEXEC) || pipe2(pcm, O_CLOEXEC)) goto done;
  char* say[] = {"espeak-ng", "--stdout", "--stdin", NULL};
  char* conv[] = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "wav", "-i", "pipe:0",
                  "-f", "s16le", "-acodec", "pcm_s16le", "-ac", "1", "-ar", "16000", "pipe:1", NULL};
  v->say = hostSpawn(say, tin[0], wav[1], -1, NULL, 0);
  v->conv = v->say < 0 ? -1 : hostSpawn(conv, wav[0], pcm[1], -1, NULL, 0);
  v->text = tin[1], v->pcm = pcm[0];
  tin[1] = pcm[0] = -1;
done:
  for (int i = 0; i < 2; ++i) {
    if (tin[i] >= 0) close(tin[i]);
    if (wav[i] >= 0) close(wav[i]);
    if (pcm[i] >= 0) close(pcm[i]);
  }
}

static void voiceClose(Voice* v, int kill_) {
  if (kill_ && v->say > 0) kill(v->say, SIGKILL);
  if (kill_ && v->conv > 0) kill(v->conv, SIGKILL);
  if (v->text >= 0) close(v->text);
  if (v->pcm >= 0) close(v->pcm);
  v->text = v->pcm = -1;
  hostWaitExit(v->say);
  hostWaitExit(v->conv);
  v->say = v->conv = -1;
}

/* Says the text with a waiting voice, which is used up. Returns the samples
 * (count in *n) or NULL with the reason in why. */
static int16_t* voiceSay(Voice* v, const char* text, size_t* n, char* why, size_t whyCap) {
  if (v->say < 0 || v->conv < 0) {
    snprintf(why, whyCap, "cannot start %s", v->say < 0 ? "espeak-ng" : "ffmpeg");
    voiceClose(v, 1);
    return NULL;
  }
  /* The text is far below a pipe's capacity, so this write never waits on a reader. */
  const size_t tl = strlen(text);
  const int wrote = write(v->text, text, tl) == (ssize_t)tl && write(v->text, "\n", 1) == 1;
  close(v->text);
  v->text = -1;
  size_t cap = 1 << 18, len = 0;
  uint8_t* buf = malloc(cap);
  for (;;) {
    if (buf && len == cap) {
      uint8_t* grown = realloc(buf, cap * 2);
      if (!grown) free(buf);
      buf = grown;
      cap *= 2;
    }
    uint8_t scratch[4096];
    const ssize_t got = buf ? read(v->pcm, buf + len, cap - len) : read(v->pcm, scratch, sizeof scratch);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (buf) len += (size_t)got;
  }
  close(v->pcm);
  v->pcm = -1;
  const int sayRc = hostWaitExit(v->say), convRc = hostWaitExit(v->conv);
  v->say = v->conv = -1;
  if (!buf || !wrote || sayRc != 0 || convRc != 0 || len < 2) {
    snprintf(why, whyCap, "%s", !buf ? "out of memory" : !wrote || sayRc != 0 ? "espeak-ng failed" :
                                 convRc != 0 ? "ffmpeg could not read the speech" : "espeak-ng said nothing");
    free(buf);
    return NULL;
  }
  *n = len / 2;
  return (int16_t*)buf;
}

/* Whether a sentence is being prepared or said (under L.mu). */
static int busyLocked(void) {
  tq_utt_stats st;
  tq_utt_get_stats(L.utt, &st);
  return L.request || L.synthesizing || L.pushing || st.state != 0;
}

/* Says one sentence after another; a newer request or "stop" cuts the pushing short. */
static void* speechLoop(void* arg) {
  (void)arg;
  Voice voice;
  voiceSpawn(&voice);
  for (;;) {
    pthread_mutex_lock(&L.mu);
    while (!L.request && !L.stop) pthread_cond_wait(&L.cv, &L.mu);
    if (L.stop) {
      pthread_mutex_unlock(&L.mu);
      voiceClose(&voice, 1); /* the waiting voice has nothing to say */
      return NULL;
    }
    char* text = L.request;
    const unsigned by = L.requestBy;
    const double requestMs = L.requestMs;
    L.request = NULL;
    L.synthesizing = 1;
    pthread_mutex_unlock(&L.mu);

    const double t0 = hostNowMs();
    char why[256];
    size_t n = 0;
    int16_t* pcm = voiceSay(&voice, text, &n, why, sizeof why);
    free(text);
    voiceSpawn(&voice); /* the next sentence's, loading while this one is said */
    pthread_mutex_lock(&L.mu);
    L.synthesizing = 0;
    L.synthMs = hostNowMs() - t0;
    if (!pcm || L.request || L.stop) { /* failed, or already overtaken */
      pthread_mutex_unlock(&L.mu);
      if (!pcm) broadcast(textMsg("{\"t\":\"answer\",\"ok\":false,\"msg\":\"cannot say it: %s\"}", why));
      free(pcm);
      continue;
    }
    /* A sentence still being said (or whose end the session has not yet taken)
     * gives way to this one; on an idle stream this costs at most one idle frame.
     * Audio pushed after the interrupt starts the next utterance. */
    if (L.sentence > 0) tq_utt_interrupt(L.utt);
    free(L.audio);
    L.audio = pcm;
    L.audioN = n;
    ++L.sentence;
    L.pushing = 1;
    atomic_store(&L.abortPush, 0);
    const double synthMs = L.synthMs;
    const unsigned sentence = L.sentence;
    pthread_mutex_unlock(&L.mu);

    const double start = hostNowMs();
    int aborted = 0;
    for (size_t off = 0; off < n && !(aborted = atomic_load(&L.abortPush) || L.stop); off += kPiece) {
      /* Piece k is complete, as from a microphone, 20 ms after it began. */
      hostSleepUntilMs(start + (double)(off + kPiece) * 1e3 / kRate);
      /* Checked and pushed under the lock "stop" interrupts under: no piece lands
       * after the interrupt and opens an utterance nobody ends. */
      pthread_mutex_lock(&L.mu);
      if (off == 0) L.firstPushMs = hostNowMs();
      if (!atomic_load(&L.abortPush)) tq_utt_push_audio(L.utt, pcm + off, (int)(n - off < kPiece ? n - off : kPiece));
      pthread_mutex_unlock(&L.mu);
      if (off == 0) /* the session's first-frame latency counts from here */
        broadcast(textMsg("{\"t\":\"speaking\",\"by\":%u,\"sentence\":%u,\"synth_ms\":%.1f,\"samples\":%zu,"
                          "\"request_to_push_ms\":%.1f}", by, sentence, synthMs, n, L.firstPushMs - requestMs));
    }
    if (!aborted) tq_utt_end_utterance(L.utt);
    pthread_mutex_lock(&L.mu);
    L.pushing = 0;
    pthread_mutex_unlock(&L.mu);
  }
}

/* ---------------------------------------------------------------- socket handlers */

static void answer(Client* c, int ok, const char* msg) {
  sendTo(c, textMsg("{\"t\":\"answer\",\"ok\":%s,\"msg\":\"%s\"}", ok ? "true" : "false", msg));
}

static void onSpeak(Client* c, const char* text, size_t len) {
  while (len && (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r')) ++text, --len;
  while (len && (text[len - 1] == ' ' || text[len - 1] == '\t' || text[len - 1] == '\n' || text[len - 1] == '\r'))
    --len;
  size_t chars = 0;
  for (size_t i = 0; i < len; ++i) chars += ((unsigned char)text[i] & 0xC0) != 0x80;
  char msg[160];
  if (len == 0) {
    answer(c, 0, "nothing to say: the text is empty");
    return;
  }
  if (chars > (size_t)L.maxChars) {
    snprintf(msg, sizeof msg, "text too long: %zu characters, the limit is %d", chars, L.maxChars);
    answer(c, 0, msg);
    return;
  }
  char* copy = malloc(len + 1);
  if (!copy) {
    answer(c, 0, "out of memory");
    return;
  }
  /* One line of plain text for espeak-ng: control characters become spaces. */
  for (size_t i = 0; i < len; ++i) copy[i] = (unsigned char)text[i] < 0x20 ? ' ' : text[i];
  copy[len] = 0;
  pthread_mutex_lock(&L.mu);
  const int busy = busyLocked();
  free(L.request);
  L.request = copy;
  L.requestBy = c->id;
  L.requestMs = hostNowMs();
  atomic_store(&L.abortPush, 1);
  pthread_cond_broadcast(&L.cv);
  pthread_mutex_unlock(&L.mu);
  if (busy)
    broadcast(textMsg("{\"t\":\"answer\",\"ok\":true,\"msg\":\"interrupting the sentence in progress to say the new "
                      "one (%zu characters)\"}", chars));
  else
    broadcast(textMsg("{\"t\":\"answer\",\"ok\":true,\"msg\":\"saying it (%zu characters)\"}", chars));
}

static void onStop(Client* c) {
  pthread_mutex_lock(&L.mu);
  const int busy = busyLocked();
  free(L.request);
  L.request = NULL;
  atomic_store(&L.abortPush, 1);
  if (busy) tq_utt_interrupt(L.utt);
  pthread_mutex_unlock(&L.mu);
  if (busy) broadcast(textMsg("{\"t\":\"answer\",\"ok\":true,\"msg\":\"stopped\"}"));
  else answer(c, 0, "nothing to stop: the avatar is not speaking");
}

static int wsConnect(const struct mg_connection* conn, void* cb) {
  (void)conn, (void)cb;
  pthread_mutex_lock(&L.clientsMu);
  const int full = L.nClients >= kMaxClients;
  pthread_mutex_unlock(&L.clientsMu);
  return full; /* non-zero refuses the socket */
}

static void wsReady(struct mg_connection* conn, void* cb) {
  (void)cb;
  Client* c = calloc(1, sizeof *c);
  if (!c) return;
  c->conn = conn;
  c->latencyMs = c->pushLatencyMs = -1;
  pthread_mutex_init(&c->mu, NULL);
  pthread_cond_init(&c->cv, NULL);
  if (pthread_create(&c->thread, NULL, senderLoop, c) != 0) {
    free(c);
    return;
  }
  pthread_mutex_lock(&L.clientsMu);
  c->id = L.nextId++;
  c->next = L.clients;
  L.clients = c;
  ++L.nClients;
  ++L.nViewers;
  pthread_mutex_unlock(&L.clientsMu);
  mg_set_user_connection_data(conn, c);
  sendTo(c, textMsg("{\"t\":\"hello\",\"id\":%u,\"max_chars\":%d}", c->id, L.maxChars));
}

static int wsData(struct mg_connection* conn, int flags, char* data, size_t len, void* cb) {
  (void)cb;
  Client* c = mg_get_user_connection_data(conn);
  const int op = flags & 0xf;
  if (op == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
  if (!c || op != MG_WEBSOCKET_OPCODE_TEXT) return 1;
  if (len >= 6 && !memcmp(data, "speak", 5) && data[5] == ' ') onSpeak(c, data + 6, len - 6);
  else if (len == 5 && !memcmp(data, "speak", 5)) onSpeak(c, "", 0);
  else if (len == 3 && !memcmp(data, "ack", 3)) {
    pthread_mutex_lock(&c->mu);
    if (c->acked < c->framesSent) ++c->acked;
    pthread_cond_signal(&c->cv);
    pthread_mutex_unlock(&c->mu);
  } else if (len == 4 && !memcmp(data, "stop", 4)) onStop(c);
  else if (len == 8 && !memcmp(data, "noframes", 8)) {
    pthread_mutex_lock(&c->mu);
    const int was = c->noFrames;
    c->noFrames = 1;
    pthread_mutex_unlock(&c->mu);
    pthread_mutex_lock(&L.clientsMu);
    L.nViewers -= !was;
    pthread_mutex_unlock(&L.clientsMu);
  } else if (len > 7 && len < 128 && !memcmp(data, "report ", 7)) {
    char line[128];
    memcpy(line, data, len);
    line[len] = 0;
    double lat, pushLat, fps;
    if (sscanf(line + 7, "%lf %lf %lf", &lat, &pushLat, &fps) == 3) {
      pthread_mutex_lock(&c->mu);
      c->latencyMs = lat, c->pushLatencyMs = pushLat, c->fps = fps;
      pthread_mutex_unlock(&c->mu);
    }
  } else {
    answer(c, 0, "unknown request: send \\\"speak TEXT\\\" or \\\"stop\\\"");
  }
  return 1;
}

static void wsClose(const struct mg_connection* conn, void* cb) {
  (void)cb;
  Client* c = mg_get_user_connection_data(conn);
  if (!c) return;
  pthread_mutex_lock(&L.clientsMu);
  for (Client** p = &L.clients; *p; p = &(*p)->next)
    if (*p == c) {
      *p = c->next;
      break;
    }
  --L.nClients;
  L.nViewers -= !c->noFrames;
  pthread_mutex_unlock(&L.clientsMu);
  pthread_mutex_lock(&c->mu);
  c->closing = 1;
  pthread_cond_signal(&c->cv);
  pthread_mutex_unlock(&c->mu);
  pthread_join(c->thread, NULL);
  for (int i = 0; i < c->nFrames; ++i) msgUnref(c->frames[i]);
  for (int i = 0; i < c->nTexts; ++i) msgUnref(c->texts[i]);
  pthread_mutex_destroy(&c->mu);
  pthread_cond_destroy(&c->cv);
  free(c);
}

static int servePage(struct mg_connection* conn, void* cb) {
  (void)cb;
  mg_send_http_ok(conn, "text/html; charset=utf-8", (long long)(sizeof kPage - 1));
  mg_write(conn, kPage, sizeof kPage - 1);
  return 200;
}

/* A small icon, so that browsers asking for one get it. */
static int serveIcon(struct mg_connection* conn, void* cb) {
  (void)cb;
  static const char kIcon[] =
      "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 16 16'><circle cx='8' cy='8' r='7' fill='#8d8'/>"
      "<ellipse cx='8' cy='10' rx='3.5' ry='1.6' fill='#222'/></svg>";
  mg_send_http_ok(conn, "image/svg+xml", (long long)(sizeof kIcon - 1));
  mg_write(conn, kIcon, sizeof kIcon - 1);
  return 200;
}

/* ---------------------------------------------------------------- frames */

typedef struct {
  uint8_t* buf;
  size_t len, cap;
  int failed;
} Sink;

static void sinkWrite(void* ctx, void* data, int size) {
  Sink* s = ctx;
  if (s->len + (size_t)size > s->cap) {
    size_t cap = s->cap * 2 > s->len + (size_t)size ? s->cap * 2 : s->len + (size_t)size;
    uint8_t* grown = s->failed ? NULL : realloc(s->buf, cap);
    if (!grown) {
      s->failed = 1;
      return;
    }
    s->buf = grown, s->cap = cap;
  }
  memcpy(s->buf + s->len, data, (size_t)size);
  s->len += (size_t)size;
}

/* Box-filters W x H RGB down by an integer factor. */
static void downscale(const uint8_t* in, int w, int h, int f, uint8_t* out) {
  const int ow = w / f, oh = h / f, area = f * f;
  if (f == 2) { /* the common case, kept cheap: two rows at a time */
    for (int y = 0; y < oh; ++y) {
      const uint8_t* a = in + (size_t)(2 * y) * w * 3;
      const uint8_t* b = a + (size_t)w * 3;
      uint8_t* o = out + (size_t)y * ow * 3;
      for (int x = 0; x < ow; ++x, a += 6, b += 6, o += 3)
        for (int ch = 0; ch < 3; ++ch) o[ch] = (uint8_t)((a[ch] + a[ch + 3] + b[ch] + b[ch + 3] + 2) >> 2);
    }
    return;
  }
  for (int y = 0; y < oh; ++y)
    for (int x = 0; x < ow; ++x)
      for (int ch = 0; ch < 3; ++ch) {
        int sum = 0;
        for (int dy = 0; dy < f; ++dy) {
          const uint8_t* row = in + ((size_t)(y * f + dy) * w + (size_t)x * f) * 3 + ch;
          for (int dx = 0; dx < f; ++dx) sum += row[dx * 3];
        }
        out[((size_t)y * ow + x) * 3 + ch] = (uint8_t)((sum + area / 2) / area);
      }
}

/* Frame message: kind u32, frame i32, driver index u32, utterance u32, audio
 * sample count u32, seq (low 32 bits) u32, pull wall-clock ms f64; then the s16
 * audio, then the JPEG. Little-endian. */
static void broadcastFrame(const tq_utt_frame_info* info, unsigned utt, const int16_t* audio, uint32_t nAudio,
                           const uint8_t* jpeg, size_t jpegLen) {
  Msg* m = msgNew(1, kHeader + nAudio * 2u + jpegLen);
  if (!m) return;
  const uint32_t head[6] = {info->kind, (uint32_t)info->frame, info->driver_index, utt, nAudio, (uint32_t)info->seq};
  const double t = wallMs();
  memcpy(m->data, head, sizeof head);
  memcpy(m->data + 24, &t, 8);
  if (nAudio) memcpy(m->data + kHeader, audio, nAudio * 2u);
  memcpy(m->data + kHeader + nAudio * 2u, jpeg, jpegLen);
  broadcast(m);
}

static void broadcastStats(double hostFps) {
  tq_utt_stats st;
  tq_utt_get_stats(L.utt, &st);
  char clients[kMaxClients * 128] = "";
  size_t used = 0;
  pthread_mutex_lock(&L.clientsMu);
  for (Client* c = L.clients; c; c = c->next) {
    pthread_mutex_lock(&c->mu);
    if (!c->noFrames && used < sizeof clients)
      used += (size_t)snprintf(clients + used, sizeof clients - used,
                               "%s{\"id\":%u,\"sent\":%llu,\"dropped\":%llu,\"fps\":%.2f,\"latency_ms\":%.1f,"
                               "\"push_latency_ms\":%.1f}",
                               used ? "," : "", c->id, (unsigned long long)c->sent, (unsigned long long)c->dropped,
                               c->fps, c->latencyMs, c->pushLatencyMs);
    pthread_mutex_unlock(&c->mu);
  }
  pthread_mutex_unlock(&L.clientsMu);
  pthread_mutex_lock(&L.mu);
  const double synthMs = L.synthMs, encodeMs = L.encodeMs, pulledFirstMs = L.pulledFirstMs;
  pthread_mutex_unlock(&L.mu);
  broadcast(textMsg("{\"t\":\"stats\",\"state\":%u,\"first_frame_ms\":%.1f,\"first_frames\":%llu,\"pulled_first_ms\":%.1f,"
                    "\"render_ms\":%.2f,"
                    "\"frames_out\":%llu,\"speech_frames_out\":%llu,\"host_fps\":%.2f,\"synth_ms\":%.1f,"
                    "\"encode_ms\":%.2f,\"clients\":[%s]}",
                    st.state, st.first_frame_ms, (unsigned long long)st.first_frames, pulledFirstMs, st.render_ms,
                    (unsigned long long)st.frames_out, (unsigned long long)st.speech_frames_out, hostFps, synthMs,
                    encodeMs, clients));
}

static void statsAndStatus(double hostFps) {
  broadcastStats(hostFps);
  if (tq_utt_render_status(L.utt, NULL, 0, NULL) < 0)
    broadcast(textMsg("{\"t\":\"answer\",\"ok\":false,\"msg\":\"the session failed to render\"}"));
}

/* Pulls the session on the 25 fps clock until stopped. A frame that is not there
 * at its tick is waited for, and the clock restarts from its arrival. */
static void pullLoop(int W, int H, int scale, int quality) {
  const size_t frameBytes = (size_t)W * H * 3;
  const int ow = W / scale, oh = H / scale;
  uint8_t* frame = malloc(frameBytes);
  uint8_t* small = scale > 1 ? malloc((size_t)ow * oh * 3) : frame;
  int16_t audio[kFrameSamples];
  Sink jpeg = {malloc(1 << 16), 0, 1 << 16, 0};
  if (!frame || !small || !jpeg.buf) {
    fprintf(stderr, "tq_live: out of memory\n");
    L.stop = 1;
  }
  double pulls[51];
  int nPulls = 0;
  double tick = hostNowMs(), nextStats = tick;
  while (!L.stop) {
    hostSleepUntilMs(tick);
    tq_utt_frame_info info;
    int got = 0;
    while (!L.stop) {
      /* Pulled under the lock the speech thread interrupts and swaps sentences
       * under, so a frame is always matched with the sentence that made it. */
      pthread_mutex_lock(&L.mu);
      if ((got = tq_utt_pull_frame(L.utt, frame, frameBytes, &info))) break;
      pthread_mutex_unlock(&L.mu);
      if (hostNowMs() >= nextStats) { /* the pages keep hearing from a session that has stalled or failed */
        nextStats = hostNowMs() + 500;
        statsAndStatus(nPulls > 1 ? (nPulls - 1) * 1e3 / (hostNowMs() - pulls[0]) : 0.0);
      }
      tq_utt_wait_frame(L.utt, 100);
    }
    if (!got) break;
    const double t = hostNowMs();

    /* The speech of this frame, read from the sentence that made it. */
    uint32_t nAudio = 0;
    unsigned utt = 0;
    if (info.kind == 1 && info.frame >= 0 && L.audio) {
      const size_t off = (size_t)info.frame * kFrameSamples;
      const size_t have = off < L.audioN ? L.audioN - off : 0;
      const size_t take = have < kFrameSamples ? have : kFrameSamples;
      memcpy(audio, L.audio + off, take * 2);
      memset(audio + take, 0, (kFrameSamples - take) * 2);
      nAudio = kFrameSamples;
      utt = L.sentence;
      if (info.frame == 0) L.pulledFirstMs = t - L.firstPushMs;
    }
    pthread_mutex_unlock(&L.mu);
    if (t - tick > kFrameMs) tick = t;
    tick += kFrameMs;
    if (nPulls == 51) memmove(pulls, pulls + 1, sizeof(double) * --nPulls);
    pulls[nPulls++] = t;

    pthread_mutex_lock(&L.clientsMu);
    const int viewers = L.nViewers;
    pthread_mutex_unlock(&L.clientsMu);
    if (viewers > 0) { /* nobody watching: nothing to encode */
      const double e0 = hostNowMs();
      if (scale > 1) downscale(frame, W, H, scale, small);
      jpeg.len = 0;
      jpeg.failed = 0;
      if (stbi_write_jpg_to_func(sinkWrite, &jpeg, ow, oh, 3, small, quality) && jpeg.len && !jpeg.failed) {
        broadcastFrame(&info, utt, audio, nAudio, jpeg.buf, jpeg.len);
        pthread_mutex_lock(&L.mu);
        L.encodeMs = L.encodeMs ? 0.9 * L.encodeMs + 0.1 * (hostNowMs() - e0) : hostNowMs() - e0;
        pthread_mutex_unlock(&L.mu);
      }
    }
    if (t >= nextStats) {
      nextStats = t + 500;
      statsAndStatus(nPulls > 1 ? (nPulls - 1) * 1e3 / (hostNowMs() - pulls[0]) : 0.0);
    }
  }
  free(jpeg.buf);
  if (small != frame) free(small);
  free(frame);
}

/* ---------------------------------------------------------------- main */

static void onSignal(int sig) {
  (void)sig;
  L.stop = 1;
}

static int exists(const char* p) {
  struct stat st;
  return stat(p, &st) == 0;
}

int main(int argc, char** argv) {
  const char* pos[2] = {NULL, NULL};
  int npos = 0, port = 8025, threads = 0, scale = -1, quality = 80;
  const char *model = "b1", *w2v = NULL;
  L.maxChars = 300;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const int hasV = i + 1 < argc;
    if (!strcmp(a, "--port") && hasV) port = atoi(argv[++i]);
    else if (!strcmp(a, "--model") && hasV) model = argv[++i];
    else if (!strcmp(a, "--threads") && hasV) threads = atoi(argv[++i]);
    else if (!strcmp(a, "--w2v") && hasV) w2v = argv[++i];
    else if (!strcmp(a, "--scale") && hasV) scale = atoi(argv[++i]);
    else if (!strcmp(a, "--quality") && hasV) quality = atoi(argv[++i]);
    else if (!strcmp(a, "--max-chars") && hasV) L.maxChars = atoi(argv[++i]);
    else if (a[0] != '-' && npos < 2) pos[npos++] = a;
    else npos = -1;
  }
  if (npos != 2 || port < 0 || port > 65535 || scale == 0 || scale > 8 || quality < 1 || quality > 100 ||
      L.maxChars < 1 || L.maxChars > 4000) {
    fprintf(stderr, "usage: %s BUNDLE MOTION_DIR [--port N] [--model KEY] [--threads N] [--w2v FILE] [--scale N]\n"
                    "          [--quality Q] [--max-chars N]\n", argv[0]);
    return 2;
  }
  const char *bundle = pos[0], *motionDir = pos[1];
  if (!exists(bundle)) {
    fprintf(stderr, "tq_live: no avatar bundle at %s\n", bundle);
    return 1;
  }
  char w2vBeside[4096];
  snprintf(w2vBeside, sizeof w2vBeside, "%s/w2v8.onnx", motionDir);
  if (!w2v && !getenv("W2V_ONNX") && exists(w2vBeside)) w2v = w2vBeside;
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, onSignal);
  signal(SIGTERM, onSignal);
  pthread_mutex_init(&L.mu, NULL);
  pthread_cond_init(&L.cv, NULL);
  pthread_mutex_init(&L.clientsMu, NULL);

  tq_ctx* ctx = tq_create(bundle, model, threads, NULL);
  if (!ctx) {
    fprintf(stderr, "tq_live: %s\n", tq_last_error());
    return 1;
  }
  tq_utt_opts opts;
  memset(&opts, 0, sizeof opts);
  opts.motion_dir = motionDir;
  opts.silence_end_s = -1; /* the speech thread ends each sentence itself */
  tq_utt_opts_ext ext;
  tq_utt_opts_ext_init(&ext);
  ext.w2v_path = w2v; /* null: $W2V_ONNX */
  L.utt = tq_utt_create_ext(ctx, &opts, &ext);
  int ready = 0;
  while (L.utt && (ready = tq_utt_wait_ready(L.utt, 100)) == 0 && !L.stop) {
  }
  if (L.stop && L.utt && ready == 0) { /* stopped while the engine was still loading */
    tq_utt_destroy(L.utt);
    tq_destroy(ctx);
    return 0;
  }
  if (!L.utt || ready < 0) {
    fprintf(stderr, "tq_live: %s\n", tq_utt_last_error());
    tq_utt_destroy(L.utt);
    tq_destroy(ctx);
    return 1;
  }
  char teethWhy[1024];
  if (hostAttachTeeth(L.utt, bundle, teethWhy, (int)sizeof teethWhy) < 0) {
    fprintf(stderr, "tq_live: teeth: %s\n", teethWhy);
    tq_utt_destroy(L.utt);
    tq_destroy(ctx);
    return 1;
  }
  const int W = tq_width(ctx), H = tq_height(ctx);
  if (scale < 0) scale = W >= 1280 ? 2 : 1;

  char ports[32];
  snprintf(ports, sizeof ports, "127.0.0.1:%d", port);
  const char* options[] = {"listening_ports", ports, "num_threads", "24", "enable_keep_alive", "yes", NULL};
  struct mg_callbacks cbs;
  memset(&cbs, 0, sizeof cbs);
  mg_init_library(0);
  struct mg_context* web = mg_start(&cbs, NULL, options);
  struct mg_server_port sp;
  if (!web || mg_get_server_ports(web, 1, &sp) < 1) {
    fprintf(stderr, "tq_live: cannot serve on %s\n", ports);
    if (web) mg_stop(web);
    tq_utt_destroy(L.utt);
    tq_destroy(ctx);
    return 1;
  }
  mg_set_request_handler(web, "/$", servePage, NULL);
  mg_set_request_handler(web, "/favicon.ico$", serveIcon, NULL);
  mg_set_websocket_handler(web, "/ws", wsConnect, wsReady, wsData, wsClose, NULL);
  pthread_t speech;
  pthread_create(&speech, NULL, speechLoop, NULL);
  printf("tq_live: %s, %dx%d sent as %dx%d JPEG; open http://127.0.0.1:%d/\n", bundle, W, H, W / scale, H / scale,
         sp.port);
  fflush(stdout);

  pullLoop(W, H, scale, quality);

  L.stop = 1;
  pthread_mutex_lock(&L.mu);
  atomic_store(&L.abortPush, 1);
  pthread_cond_broadcast(&L.cv);
  pthread_mutex_unlock(&L.mu);
  pthread_join(speech, NULL);
  mg_stop(web); /* closes every socket; their close handlers end the senders */
  mg_exit_library();
  char teethLine[512];
  if (hostTeethReport(L.utt, teethLine, sizeof teethLine)) printf("tq_live: %s\n", teethLine);
  tq_utt_destroy(L.utt);
  tq_destroy(ctx);
  free(L.audio);
  free(L.request);
  printf("tq_live: stopped\n");
  return 0;
}
