// Utterance session with a teeth borrow: sustained delivered speech fps with a
// pipelined borrow attached, against the same session with none. The engine is
// a stand-in without cost of its own; render, borrow and paste are the real ones.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "session/tq_utt_api.h"
#include "session/tq_utt_engine.h"
#include "tessera/tq_bankdec_ff.h"
#include "tessera/tq_bundle_tessera.h"
#include "tessera/tq_tessera_pi.h"
#include "tq/tq.h"

namespace {

constexpr int kNT = 3;

float rest(int c) { return 0.25f * static_cast<float>(std::sin(0.37 * c)); }

// Every frame over driver frame 0, its keypoints a small offset from the rest pose.
class RestEngine : public tq::utt::Engine {
 public:
  void setEager(int) override {}
  void reset(int, int, int) override { samples_ = pulled_ = 0, finished_ = false; }
  void push(const float*, int n) override { samples_ += n; }
  void finish() override { finished_ = true; }
  int avail() override { return static_cast<int>((finished_ ? (samples_ + 639) : samples_) / 640) - pulled_; }
  int pull(int* idx, float* src, float* drv, int max) override {
    const int n = std::min(max, avail());
    for (int k = 0; k < n; ++k, ++pulled_) {
      idx[k] = 0;
      for (int c = 0; c < 63; ++c)
        src[k * 63 + c] = rest(c), drv[k * 63 + c] = rest(c) + 0.03f * ((pulled_ % 5) + 1) * (c % 3 == 1 ? -1 : 1);
    }
    return n;
  }
  int total() override { return finished_ ? static_cast<int>((samples_ + 639) / 640) : -1; }
  int nt() override { return kNT; }
  bool takeError(std::string&) override { return false; }

 private:
  long samples_ = 0;
  int pulled_ = 0;
  bool finished_ = false;
};

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

bool run(const std::string& cmd) {
  if (std::system(cmd.c_str()) == 0) return true;
  std::printf("command failed: %s\n", cmd.c_str());
  return false;
}

struct Borrow {
  tq::TesseraAttachInputs in;
  std::vector<uint8_t> bank, head;
  double canon[2] = {0, 0};
};

// Delivered speech frames per second over one utterance of `frames` frames pushed at once.
double speechFps(tq_ctx* ctx, const std::string& motion, const Borrow* b, int frames) {
  tq_utt_opts o{};
  o.motion_dir = motion.c_str(), o.steady_model = "-", o.silence_end_s = -1;
  tq_utt* u = tq::utt::createSession(ctx, o, [](const tq::utt::Options&) {
    return std::unique_ptr<tq::utt::Engine>(new RestEngine());
  });
  while (tq_utt_ready(u) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (b) {
    char err[512] = "";
    if (tq_utt_tessera_attach(u, b->bank.data(), b->in.n_donors, b->in.cent.data(), b->canon, b->in.aperture.data(),
                              b->in.stamp.values().data(), b->head.data(), int(b->head.size()),
                              b->in.head_json.c_str(), b->in.manifest_json.c_str(), err, sizeof err) != 0) {
      std::printf("attach: %s\n", err);
      std::exit(1);
    }
  }
  std::vector<uint8_t> buf(std::size_t(tq_width(ctx)) * tq_height(ctx) * 3);
  std::vector<int16_t> pcm(std::size_t(frames) * 640, 200);
  tq_utt_push_audio(u, pcm.data(), int(pcm.size()));
  tq_utt_end_utterance(u);
  int speech = 0;
  double tFirst = 0;
  tq_utt_frame_info info;
  for (const double end = now() + 300; speech < frames && now() < end;) {
    if (tq_utt_pull_frame(u, buf.data(), buf.size(), &info) != 1) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      continue;
    }
    if (info.kind == 1 && speech++ == 0) tFirst = now();
  }
  double fps = speech == frames ? (frames - 1) / std::max(1e-9, now() - tFirst) : 0.0;
  if (b && tq_utt_tessera_stats(u, nullptr, nullptr, nullptr, 0) != 1) std::printf("borrow not healthy\n"), fps = 0;
  tq_utt_destroy(u);
  return fps;
}

}  // namespace

int main(int argc, char** argv) {
  const bool q = tqbench::quick(argc, argv);
  const int frames = q ? 30 : 250, reps = q ? 1 : 3;
  char tmpl[] = "/tmp/tq_bench_utt_teeth.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string t = tmpl, dir = t + "/bundle", motion = t + "/motion";
  const char* src = std::getenv("TQ_SOURCE_DIR");
  const std::string tool = std::string("env -u LD_LIBRARY_PATH /usr/bin/python3 ") + (src ? src : ".") +
                           "/tools/tq_fixtures.py ";
  // The session-borrow test's bundle: 128-pixel crops, a bank with an 80x80 window at 24, pad 16.
  if (!run(tool + "identity-bundle " + dir + " --nt 3 --crop 32 --W 96 --H 64 --translate --mask-value 255 "
                  "--driver-movie --director b1 --frames 4 --manifest-set '{\"amount\": 0}' --crop 128") ||
      !run(tool + "teeth-bundle " + t + "/teeth --canvas 128 --lip none --stamp-set '{\"window_x0\": 24, "
                  "\"window_y0\": 24, \"window_w\": 80, \"window_h\": 80, \"pad\": 16, \"band_r0\": 20, \"band_r1\": "
                  "60, \"band_c0\": 16, \"band_c1\": 64, \"shift_margin\": 8}'") ||
      !run(tool + "bank-head " + t + "/tame.pt") || !run("mkdir -p " + motion))
    return 1;
  std::vector<float> xs(kNT * 63);
  for (int i = 0; i < kNT * 63; ++i) xs[i] = rest(i % 63);
  if (FILE* f = std::fopen((motion + "/xs_target.bin").c_str(), "wb")) {
    std::fwrite(xs.data(), 4, xs.size(), f);
    std::fclose(f);
  }
  Borrow b;
  b.in = tq::loadTesseraMembers(t + "/teeth");
  auto bytes = [](const std::string& p) {
    std::vector<uint8_t> v;
    if (FILE* f = std::fopen(p.c_str(), "rb")) {
      for (int c; (c = std::fgetc(f)) != EOF;) v.push_back(static_cast<uint8_t>(c));
      std::fclose(f);
    }
    return v;
  };
  const std::vector<uint8_t> track = bytes(b.in.bank_track_path);
  b.bank = tq::tessera::decodeBankTrack(track.data(), track.size(), b.in.n_donors, b.in.band_w, b.in.band_h,
                                        b.in.track_order);
  b.head = bytes(t + "/tame.pt");
  tq::tessera::UnifiedPi pi = tq::tessera::UnifiedPi::fromManifestJson(b.in.manifest_json, 128);
  pi.lip_geom_params = {{0.05f, 0.08f, 0.015f}};
  pi.canonicalCentroid(xs.data(), kNT, b.canon[0], b.canon[1]);

  tq_ctx* ctx = tq_create(dir.c_str(), "b1", 0, nullptr);
  if (!ctx) return std::printf("tq_create: %s\n", tq_last_error()), 1;
  setenv("TQ_UTT_PIPELINE_PASTE", "1", 1);
  double none = 0, borrow = 0;
  for (int r = 0; r < reps; ++r) {  // best of reps, interleaved so drift hits both alike
    none = std::max(none, speechFps(ctx, motion, nullptr, frames));
    borrow = std::max(borrow, speechFps(ctx, motion, &b, frames));
  }
  std::printf("%-44s ours %10.1f fps | no borrow %10.1f fps | rate ratio ours/ref %.3f (goal >= 0.9)\n",
              "speech, pipelined teeth borrow", borrow, none, none > 0 ? borrow / none : 0.0);
  tq_destroy(ctx);
  run("rm -rf " + t);
  return borrow > 0 && none > 0 ? 0 : 1;
}
