// Utterance session: what the pipeline costs on top of its stages.
//  - first-frame latency (audio pushed in real time) against the engine's
//    look-ahead plus one render and one paste;
//  - sustained delivered speech fps against the slowest stage's rate;
//  - process CPU per idle frame against one driver decode.
// The engine is a stand-in with a fixed look-ahead and no cost of its own, so
// the ratios show the session itself; the director and paste are the real ones.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "session/tq_utt_api.h"
#include "session/tq_utt_engine.h"
#include "tq/tq.h"

namespace {

constexpr int kLookAhead = 8;  // frames of audio the stand-in engine needs beyond a frame

class LookAheadEngine : public tq::utt::Engine {
 public:
  explicit LookAheadEngine(int nt) : nt_(nt) {}
  void setEager(int) override {}
  void reset(int start, int, int) override {
    start_ = start;
    samples_ = 0;
    pulled_ = 0;
    finished_ = false;
  }
  void push(const float*, int n) override { samples_ += n; }
  void finish() override { finished_ = true; }
  int avail() override {
    const long frames = (samples_ + 639) / 640;
    const long ready = finished_ ? frames : std::max(0L, samples_ / 640 - kLookAhead);
    return static_cast<int>(ready - pulled_);
  }
  int pull(int* idx, float* src, float* drv, int max) override {
    const int n = std::min(max, avail());
    for (int k = 0; k < n; ++k, ++pulled_) {
      idx[k] = (start_ + pulled_) % nt_;
      for (int c = 0; c < 63; ++c) {
        src[k * 63 + c] = 0.1f * ((c * 7) % 5);
        drv[k * 63 + c] = src[k * 63 + c] + 0.02f * ((pulled_ + c) % 3);
      }
    }
    return n;
  }
  int total() override { return finished_ ? static_cast<int>((samples_ + 639) / 640) : -1; }
  int nt() override { return nt_; }
  bool takeError(std::string&) override { return false; }

 private:
  int nt_, start_ = 0, pulled_ = 0;
  long samples_ = 0;
  bool finished_ = false;
};

double cpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

tq_utt* session(tq_ctx* ctx, const std::string& motion, int nt) {
  tq_utt_opts o{};
  o.motion_dir = motion.c_str();
  o.steady_model = "-";
  o.silence_end_s = -1;
  tq_utt* u = tq::utt::createSession(ctx, o, [nt](const tq::utt::Options&) {
    return std::unique_ptr<tq::utt::Engine>(new LookAheadEngine(nt));
  });
  while (tq_utt_ready(u) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return u;
}

// Pulls whatever is there; returns the kind of the last frame pulled, -1 for none.
int drain(tq_utt* u, std::vector<uint8_t>& buf, int* speech) {
  tq_utt_frame_info info;
  int last = -1;
  while (tq_utt_pull_frame(u, buf.data(), buf.size(), &info) == 1) {
    last = static_cast<int>(info.kind);
    if (speech && info.kind == 1) ++*speech;
  }
  return last;
}

}  // namespace

int main(int argc, char** argv) {
  const bool q = tqbench::quick(argc, argv);
  const int crop = q ? 64 : 256, W = q ? 320 : 1280, H = q ? 180 : 720, nt = 8;
  const int utterances = q ? 1 : 3, longFrames = q ? 40 : 200, idleFrames = q ? 30 : 200;
  char tmpl[] = "/tmp/tq_bench_utt.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = std::string(tmpl) + "/b", motion = std::string(tmpl) + "/m";
  const char* src = std::getenv("TQ_SOURCE_DIR");
  const std::string tool = std::string("env -u LD_LIBRARY_PATH /usr/bin/python3 ") + (src ? src : ".") +
                           "/tools/tq_fixtures.py identity-bundle " + dir + " --nt " + std::to_string(nt) +
                           " --crop " + std::to_string(crop) + " --W " + std::to_string(W) + " --H " +
                           std::to_string(H) + " --translate --mask-value 255 --driver-movie --director b1";
  if (std::system(tool.c_str()) != 0 || std::system(("mkdir -p " + motion).c_str()) != 0) {
    std::printf("fixture tool failed: %s\n", tool.c_str());
    return 1;
  }
  tq_ctx* ctx = tq_create(dir.c_str(), "b1", 0, nullptr);
  if (!ctx) {
    std::printf("tq_create: %s\n", tq_last_error());
    return 1;
  }
  const std::size_t frameBytes = std::size_t(W) * H * 3;
  std::vector<uint8_t> buf(frameBytes);
  std::vector<float> kp(63, 0.1f), kd(63, 0.12f);

  // Stage costs, measured here on the same context.
  const int reps = q ? 2 : 5, inner = q ? 3 : 10;
  int f = 0;
  const double tDecode = tqbench::bestSeconds([&] { tq_target_frame(ctx, f++ % nt); }, reps, inner);
  const double cDecode0 = cpuSeconds();
  for (int i = 0; i < idleFrames; ++i) tq_target_frame(ctx, i % nt);
  const double cpuDecode = (cpuSeconds() - cDecode0) / idleFrames;
  const float* crop0 = tq_render_kp_crop(ctx, 1, kp.data(), kd.data());
  const double tRender = tqbench::bestSeconds([&] { tq_render_kp_crop(ctx, 1, kp.data(), kd.data()); }, reps, inner);
  crop0 = tq_render_kp_crop(ctx, 1, kp.data(), kd.data());
  std::vector<float> cropCopy(crop0, crop0 + std::size_t(3) * crop * crop);
  const double tPaste =
      tqbench::bestSeconds([&] { tq_paste_crop(ctx, f++ % nt, cropCopy.data(), buf.data(), buf.size()); }, reps, inner);
  std::printf("stages: render %.3f ms, paste (decode + composite) %.3f ms, decode %.3f ms\n", tRender * 1e3,
              tPaste * 1e3, tDecode * 1e3);
  // Processor time of each stage alone (both run on the pool's threads, so it can
  // exceed their wall time); with it the sustained run shows whether the machine's
  // cores, not the session's hand-offs, set its rate.
  const int cpuReps = q ? 5 : 50;
  double cStage = cpuSeconds();
  for (int i = 0; i < cpuReps; ++i) tq_render_kp_crop(ctx, 1, kp.data(), kd.data());
  const double cpuRender = (cpuSeconds() - cStage) / cpuReps;
  cStage = cpuSeconds();
  for (int i = 0; i < cpuReps; ++i) tq_paste_crop(ctx, f++ % nt, cropCopy.data(), buf.data(), buf.size());
  const double cpuPaste = (cpuSeconds() - cStage) / cpuReps;
  const long cores = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
  std::vector<uint8_t> copyTo(frameBytes);
  const double tCopy = tqbench::bestSeconds([&] { std::memcpy(copyTo.data(), buf.data(), frameBytes); }, reps, inner);
  // A frame the session hands on was decoded frames ago: its copies read memory the
  // cache no longer holds. Copies round a ring of frames larger than the cache.
  std::vector<std::vector<uint8_t>> coldRing(16, std::vector<uint8_t>(frameBytes, 1));
  std::size_t cold = 0;
  const double tColdCopy = tqbench::bestSeconds(
      [&] {
        std::memcpy(coldRing[(cold + 8) % 16].data(), coldRing[cold % 16].data(), frameBytes);
        ++cold;
      },
      reps, inner);
  std::printf("stage processor time: render %.3f ms, paste %.3f ms (%ld cores)\n", cpuRender * 1e3,
              cpuPaste * 1e3, cores);

  for (const char* pipe : {"0", "1"}) {
    setenv("TQ_UTT_PIPELINE_PASTE", pipe, 1);
    std::printf("-- pipelined paste %s\n", pipe);
    tq_utt* u = session(ctx, motion, nt);

    // First-frame latency: 40 ms of audio every 40 ms, as a live source gives it.
    std::vector<int16_t> hop(640, 200);
    double firstMs = 1e30;
    for (int k = 0; k < utterances; ++k) {
      int speech = 0;
      const double t0 = now();
      for (int i = 0; speech == 0; ++i) {
        tq_utt_push_audio(u, hop.data(), 640);
        while (now() < t0 + 0.04 * (i + 1))
          if (drain(u, buf, &speech) < 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      tq_utt_stats st;
      tq_utt_get_stats(u, &st);
      firstMs = std::min(firstMs, st.first_frame_ms);
      tq_utt_interrupt(u);
      for (int i = 0; i < 20; ++i) {
        drain(u, buf, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    // The first frame's audio is complete kLookAhead hops after the first push.
    const double refFirst = kLookAhead * 40.0 + (tRender + tPaste) * 1e3;
    tqbench::report("first speech frame (live audio)", firstMs * 1e-3, "look-ahead+render+paste", refFirst * 1e-3,
                    "us");

    // Sustained: a long utterance pushed at once, the host pulling as fast as it can.
    std::vector<int16_t> pcm(std::size_t(longFrames) * 640, 200);
    tq_utt_push_audio(u, pcm.data(), int(pcm.size()));
    tq_utt_end_utterance(u);
    int speech = 0;
    double tFirst = 0, cFirst = 0;
    while (speech < longFrames) {
      const int before = speech;
      if (drain(u, buf, &speech) < 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
      if (before == 0 && speech > 0) tFirst = now(), cFirst = cpuSeconds();
    }
    const double wall = std::max(1e-9, now() - tFirst), cpuFrame = (cpuSeconds() - cFirst) / (longFrames - 1);
    const double fps = (longFrames - 1) / wall;
    const double slowest = pipe[0] == '1' ? std::max(tRender, tPaste) : tRender + tPaste;
    std::printf("%-44s ours %10.1f fps | slowest stage %10.1f fps | rate ratio ours/ref %.3f\n",
                "sustained delivered speech", fps, 1.0 / slowest, fps * slowest);
    // What the cores allow: the processor time a delivered frame took, spread over
    // every core, against the wall time it had.
    const double cpuBound = double(cores) / cpuFrame;
    std::printf("%-44s processor %.3f ms per frame (stages alone %.3f) | cores busy %.2f of %ld | "
                "rate ratio ours/processor-bound %.3f\n",
                "  where the time goes", cpuFrame * 1e3, (cpuRender + cpuPaste) * 1e3, cpuFrame * fps, cores,
                fps / cpuBound);
    for (int i = 0; i < 40; ++i) {
      drain(u, buf, nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    // Idle: process CPU per pulled idle frame.
    int got = 0;
    const double c0 = cpuSeconds();
    tq_utt_frame_info info;
    // The host blocks in tq_utt_wait_frame, as a real one does, instead of polling.
    while (got < idleFrames) {
      if (tq_utt_wait_frame(u, 100) < 0) break;
      if (tq_utt_pull_frame(u, buf.data(), buf.size(), &info) == 1) ++got;
    }
    const double cpuIdle = (cpuSeconds() - c0) / idleFrames;
    tqbench::report("CPU per idle frame", cpuIdle, "CPU per driver decode", cpuDecode, "us");
    // An idle frame is a decoded driver frame copied into the host's buffer: the
    // decode plus one copy of the frame is what it cannot go below.
    tqbench::report("CPU per idle frame", cpuIdle, "decode + one frame copy", cpuDecode + tCopy, "us");
    // The session's own floor: the decoder's ring into a slot, the slot into the host's buffer.
    tqbench::report("CPU per idle frame", cpuIdle, "decode + two cold frame copies", cpuDecode + 2 * tColdCopy, "us");
    tq_utt_destroy(u);
  }
  tq_destroy(ctx);
  std::system((std::string("rm -rf ") + tmpl).c_str());
  return 0;
}
