// Soak run of one context and one utterance session: speaks and idles for a
// stretch of stream time as fast as the machine allows, interrupting and ending
// utterances at random points, and prints resident memory, open descriptors and
// threads every minute of stream time. Fails when any of them is higher at a
// later minute than at the end of the first (resident memory within a slack for
// allocator noise). Uses the exported C API only.
//
//   tq_soak BUNDLE MOTION_DIR [--minutes N] [--seed S] [--model KEY] [--rss-slack-mib M]
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tq/tq.h"

namespace {

constexpr int kRate = 16000, kHop = 640, kFramesPerMinute = 25 * 60;

struct Sample {
  long rssKib = 0;
  int fds = 0;
  int threads = 0;
};

long statusField(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(f, line))
    if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n);
  return -1;
}

int openFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    --n;  // the listing's own descriptor
  }
  return n;
}

Sample sample() { return Sample{statusField("VmRSS:"), openFds(), static_cast<int>(statusField("Threads:"))}; }

// Voiced stand-in speech: a 140 Hz buzz with a few formant tones under a
// syllable-rate envelope, so the motion models see speech-like energy.
void speech(std::vector<int16_t>& pcm, std::size_t start, std::mt19937& rng) {
  std::uniform_real_distribution<float> noise(-1.f, 1.f);
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    const double t = static_cast<double>(start + i) / kRate;
    const double env = 0.5 + 0.5 * std::sin(2 * M_PI * 4.0 * t);
    const double v = 0.5 * std::sin(2 * M_PI * 140 * t) + 0.3 * std::sin(2 * M_PI * 700 * t) +
                     0.2 * std::sin(2 * M_PI * 1200 * t) + 0.05 * noise(rng);
    pcm[i] = static_cast<int16_t>(9000.0 * env * v);
  }
}

void usage(const char* me) {
  std::fprintf(stderr,
               "usage: %s BUNDLE MOTION_DIR [--minutes N] [--seed S] [--model KEY] [--rss-slack-mib M]\n"
               "  N minutes of stream time (default 30; fractions allowed), checked every minute\n",
               me);
}

}  // namespace

int main(int argc, char** argv) {
  const char* pos[2] = {nullptr, nullptr};
  int npos = 0;
  double minutes = 30;
  unsigned seed = 17;
  const char* model = "b1";
  long slackKib = 16 * 1024;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--minutes" && v) minutes = std::atof(argv[++i]);
    else if (a == "--seed" && v) seed = static_cast<unsigned>(std::atol(argv[++i]));
    else if (a == "--model" && v) model = argv[++i];
    else if (a == "--rss-slack-mib" && v) slackKib = std::atol(argv[++i]) * 1024;
    else if (a[0] != '-' && npos < 2) pos[npos++] = argv[i];
    else {
      usage(argv[0]);
      return 2;
    }
  }
  if (npos != 2 || minutes <= 0) {
    usage(argv[0]);
    return 2;
  }
  // The demo motion directory carries its own speech encoder beside the models.
  const std::string w2v = std::string(pos[1]) + "/w2v8.onnx";
  struct stat st;
  if (!std::getenv("W2V_ONNX") && stat(w2v.c_str(), &st) == 0) setenv("W2V_ONNX", w2v.c_str(), 1);

  tq_ctx* ctx = tq_create(pos[0], model, 0, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "tq_soak: %s\n", tq_last_error());
    return 1;
  }
  tq_utt_opts opts{};
  opts.motion_dir = pos[1];
  tq_utt* utt = tq_utt_create(ctx, &opts);
  if (!utt) {
    std::fprintf(stderr, "tq_soak: %s\n", tq_utt_last_error());
    tq_destroy(ctx);
    return 1;
  }
  int ready;
  while ((ready = tq_utt_ready(utt)) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (ready < 0) {
    std::fprintf(stderr, "tq_soak: %s\n", tq_utt_last_error());
    tq_utt_destroy(utt);
    tq_destroy(ctx);
    return 1;
  }

  const std::size_t frameBytes = static_cast<std::size_t>(tq_width(ctx)) * tq_height(ctx) * 3;
  std::vector<uint8_t> frame(frameBytes);
  std::vector<int16_t> pcm(kHop);
  std::mt19937 rng(seed);
  const auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };

  const long total = std::lround(minutes * kFramesPerMinute);
  long speechLeft = 0, idleLeft = uniform(10, 100), utterances = 0, interrupts = 0, ends = 0, silences = 0;
  std::size_t audioPos = 0;
  uint64_t speechFrames = 0;
  Sample first;
  bool grew = false;
  const auto t0 = std::chrono::steady_clock::now();
  std::printf("%7s %9s %9s %9s %9s %5s %7s\n", "minute", "wall_s", "frames", "speech", "rss_mib", "fds", "threads");
  for (long f = 1; f <= total; ++f) {
    // One frame of stream time: push its audio while speaking, then pull it.
    if (speechLeft == 0 && idleLeft > 0 && --idleLeft == 0) {
      speechLeft = uniform(12, 250);
      ++utterances;
    }
    if (speechLeft > 0) {
      speech(pcm, audioPos, rng);
      audioPos += kHop;
      if (!tq_utt_push_audio(utt, pcm.data(), kHop)) {
        std::fprintf(stderr, "tq_soak: push refused: %s\n", tq_utt_last_error());
        return 1;
      }
      if (--speechLeft == 0 || uniform(0, 399) == 0) {
        // Ends at the end of the speech, or at random inside it: by the host,
        // by an interrupt, or by falling silent.
        const int how = uniform(0, 2);
        if (how == 0) tq_utt_end_utterance(utt), ++ends;
        else if (how == 1) tq_utt_interrupt(utt), ++interrupts;
        else ++silences;
        speechLeft = 0;
        idleLeft = uniform(1, 150);
      }
    }
    tq_utt_frame_info info;
    while (!tq_utt_pull_frame(utt, frame.data(), frame.size(), &info)) {
      char why[512];
      if (tq_utt_render_status(utt, why, sizeof why, nullptr) < 0) {
        std::fprintf(stderr, "tq_soak: render failed: %s\n", why);
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    speechFrames += info.kind == 1;
    if (f % kFramesPerMinute == 0 || f == total) {
      const Sample s = sample();
      const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      std::printf("%7.2f %9.1f %9ld %9llu %9.1f %5d %7d\n", static_cast<double>(f) / kFramesPerMinute, wall, f,
                  static_cast<unsigned long long>(speechFrames), s.rssKib / 1024.0, s.fds, s.threads);
      std::fflush(stdout);
      if (f == kFramesPerMinute) first = s;
      else if (f > kFramesPerMinute && (s.fds > first.fds || s.threads > first.threads || s.rssKib > first.rssKib + slackKib)) {
        std::printf("  ^ grew after the first minute (rss slack %.0f MiB)\n", slackKib / 1024.0);
        grew = true;
      }
    }
  }
  tq_utt_destroy(utt);
  tq_destroy(ctx);
  std::printf("utterances %ld: %ld ended, %ld interrupted, %ld fell silent; %s\n", utterances, ends, interrupts,
              silences, grew ? "FAILED: a resource grew after the first minute" : "resources flat after the first minute");
  return grew ? 1 : 0;
}
