// A teeth borrow attached to a session through the C API: attach refusals with their texts, the
// three queries, synchronous and pipelined stages giving the same frames, a refusal stopping
// delivery until a re-attach, and attaches racing the host's pushes and pulls.
#include <cstring>
#include <future>

#include "tessera/tq_bankdec_ff.h"
#include "tessera/tq_bundle_tessera.h"
#include "tessera/tq_tessera_pi.h"
#include "utt_fixture.h"

namespace {

using namespace utttest;

constexpr int kCanvas = 128;

// The bank on a 128 canvas: window 80x80 at (24, 24), pad 16, a stored patch of 64x56.
const char* kStamp = R"({"window_x0": 24, "window_y0": 24, "window_w": 80, "window_h": 80, "pad": 16,
  "band_r0": 20, "band_r1": 60, "band_c0": 16, "band_c1": 64, "shift_margin": 8})";

class UttBorrow : public ::testing::Test {
 protected:
  // A 128-pixel crop bundle, a teeth bundle on its canvas, and a motion directory whose rest
  // keypoints all equal driver frame 0's (the engine is scripted to stay on frame 0).
  static void SetUpTestSuite() {
    tmp = new tqtest::TempDir();
    dir = writeBundle(*tmp, {"--crop", "128"});
    const std::string teeth = *tmp / "teeth";
    ASSERT_TRUE(tqtest::runFixtureTool({"teeth-bundle", teeth, "--canvas", "128", "--lip", "none", "--stamp-set",
                                        kStamp}));
    ASSERT_TRUE(tqtest::runFixtureTool({"bank-head", *tmp / "tame.pt"}));
    in = new tq::TesseraAttachInputs(tq::loadTesseraMembers(teeth));
    const std::vector<uint8_t> track = tqtest::readBytes(in->bank_track_path);
    bank = tq::tessera::decodeBankTrack(track.data(), track.size(), in->n_donors, in->band_w, in->band_h,
                                        in->track_order);
    head = tqtest::readBytes(*tmp / "tame.pt");
    std::vector<float> xs(kNT * 63);
    for (int i = 0; i < kNT * 63; ++i) xs[i] = rest(0, i % 63);
    motion = *tmp / "motion";
    tqtest::runCommand("mkdir -p " + motion);
    tqtest::writeText(motion + "/xs_target.bin", std::string(reinterpret_cast<char*>(xs.data()), xs.size() * 4));
    // The bank's frame is corpus geometry v1 (pad 0.05, 0.08, down 0.015) over those keypoints.
    tq::tessera::UnifiedPi pi = tq::tessera::UnifiedPi::fromManifestJson(in->manifest_json, kCanvas);
    pi.lip_geom_params = {{0.05f, 0.08f, 0.015f}};
    pi.canonicalCentroid(xs.data(), kNT, canon[0], canon[1]);
  }
  static void TearDownTestSuite() { delete in, delete tmp; }
  void SetUp() override { ASSERT_NE(ctx = tq_create(dir.c_str(), "b1", 1, nullptr), nullptr) << tq_last_error(); }
  void TearDown() override { tq_utt_destroy(u), tq_destroy(ctx); }

  void start(const char* pipeline, const std::string& motionDir = motion) {
    tqtest::ScopedEnv pipe("TQ_UTT_PIPELINE_PASTE", pipeline);
    tq_utt_opts o{};
    o.motion_dir = motionDir.c_str(), o.steady_model = "-", o.silence_end_s = -1, o.end_ramp = 2;
    script.fixedIndex = 0;
    u = tq::utt::createSession(ctx, o, scripted(script));
    ASSERT_EQ(waitReady(u), 1) << tq_utt_last_error();
  }
  // Attaches the bank with the stamp changed by `edit`; err receives the refusal.
  int attach(tq_utt* s, std::string* err = nullptr, void (*edit)(int32_t*) = nullptr, int n = -1) {
    std::array<int32_t, 12> st = in->stamp.values();
    if (edit) edit(st.data());
    char buf[512] = "";
    const int r = tq_utt_tessera_attach(s, bank.data(), n < -1 ? -5 : n < 0 ? in->n_donors : n, in->cent.data(),
                                        canon, in->aperture.data(), st.data(), head.data(), int(head.size()),
                                        in->head_json.c_str(), in->manifest_json.c_str(), buf, sizeof buf);
    if (err) *err = buf;
    return r;
  }
  int stats(uint64_t* borrowed = nullptr, uint64_t* refused = nullptr, std::string* msg = nullptr) {
    char buf[256] = "";
    const int r = tq_utt_tessera_stats(u, borrowed, refused, buf, sizeof buf);
    if (msg) *msg = buf;
    return r;
  }

  static inline tqtest::TempDir* tmp = nullptr;
  static inline std::string dir, motion;
  static inline tq::TesseraAttachInputs* in = nullptr;
  static inline std::vector<uint8_t> bank, head;
  static inline double canon[2];
  tq_ctx* ctx = nullptr;
  tq_utt* u = nullptr;
  Script script;
};

TEST_F(UttBorrow, AttachRefusesWithItsTextsAndKeepsThePreviousBorrow) {
  start("0");
  const std::string a = "tq_utt_tessera_attach: ";
  std::string err;
  EXPECT_EQ(std::make_pair(attach(nullptr, &err), err), std::make_pair(1, a + "null session"));
  char buf[64];
  EXPECT_EQ(tq_utt_tessera_attach(u, nullptr, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                  buf, sizeof buf), 1);
  EXPECT_EQ(std::string(buf), (a + "a required member is null — this ABI has no partial-attach state").substr(0, 63));
  EXPECT_EQ(std::make_pair(attach(u, &err, nullptr, 0), err), std::make_pair(1, a + "n_donors <= 0"));
  const struct {
    void (*edit)(int32_t*);
    std::string text;
  } cases[] = {
      {[](int32_t* s) { s[4] = 0, s[5] = 0; }, a + "teeth: GeometryStamp incoherent: window dims must be positive; band "
                                                   "rows escape window; band cols escape window; stored band rows "
                                                   "escape patch; stored band cols escape patch;"},
      {[](int32_t* s) { s[0] = 130; }, a + "bank canvas 130x128 != this bundle's render crop 128"},
      {[](int32_t* s) { s[0] = s[1] = 112; }, a + "bank canvas 112x112 != this bundle's render crop 128"},
  };
  const int geometry = tq_utt_tessera_geometry(u, buf, sizeof buf);
  EXPECT_EQ(std::make_tuple(stats(), tq_utt_tessera_synth_w(u, nullptr, nullptr, nullptr), geometry, std::string(buf)),
            std::make_tuple(0, 0, 0, std::string()));
  for (int round = 0; round < 2; ++round) {
    for (const auto& c : cases) EXPECT_EQ(std::make_pair(attach(u, &err, c.edit), err), std::make_pair(1, c.text));
    EXPECT_EQ(stats(), round) << "a refused attach keeps the session's previous state";
    if (round == 0) ASSERT_EQ(attach(u, &err), 0) << err;
  }
  EXPECT_EQ(tq_utt_tessera_geometry(u, buf, sizeof buf), 1);
  EXPECT_EQ(std::string(buf).rfind(" v1=0.00px v2=", 0), 0u) << buf;
  EXPECT_EQ(std::make_pair(tq_utt_tessera_geometry(u, buf, 0), tq_utt_tessera_geometry(nullptr, buf, 9)),
            std::make_pair(0, 0));

  tq_utt_destroy(u);
  start("0", *tmp / "no_motion");
  EXPECT_EQ(std::make_pair(attach(u, &err), err),
            std::make_pair(1, a + "xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame "
                                  "cannot be identified — refusing to arm the borrow against the manifest's "
                                  "compose-field geometry"));
}

// Every speech frame is composed by the borrow, the same bytes whether the stage runs on the render
// thread or on its own; the statistics count them.
TEST_F(UttBorrow, SynchronousAndPipelinedStagesGiveTheSameFrames) {
  const int F = 8;
  std::vector<std::vector<uint8_t>> speech[2];
  for (int pipe : {0, 1}) {
    start(pipe ? "1" : "0");
    std::string err;
    ASSERT_EQ(attach(u, &err), 0) << err;
    EXPECT_EQ(tq_utt_tessera_synth_w(u, nullptr, nullptr, nullptr), 0);
    pushSamples(u, F * 640);
    tq_utt_end_utterance(u);
    for (Frame& f : pullUntil(u, 0, 3))
      if (f.info.kind == 1) speech[pipe].push_back(std::move(f.px));
    uint64_t borrowed = 0, refused = 0, frames = 0;
    double mean = -1, max = -1;
    EXPECT_EQ(stats(&borrowed, &refused), 1);
    EXPECT_EQ(std::make_pair(refused, speech[pipe].size()), std::make_pair(uint64_t(0), std::size_t(F)));
    EXPECT_GE(borrowed, uint64_t(F));
    EXPECT_EQ(tq_utt_tessera_synth_w(u, &mean, &max, &frames), 1);
    EXPECT_TRUE(frames >= uint64_t(F) && mean == 0.0 && max == 0.0) << frames << " " << mean << " " << max;
    tq_utt_destroy(u), u = nullptr;
  }
  EXPECT_TRUE(speech[0] == speech[1]);
}

// A pad of 1 refuses the first speech frame (its mouth sits 2 pixels off): delivery stops, the
// stats say why; a re-attach with the bank's own stamp brings the stream back.
TEST_F(UttBorrow, ARefusalStopsDeliveryAndAReattachRecovers) {
  for (const char* pipe : {"0", "1"}) {
    SCOPED_TRACE(pipe);
    start(pipe);
    std::string err, msg;
    ASSERT_EQ(attach(u, &err, [](int32_t* s) { s[6] = 1; }), 0) << err;
    pushSamples(u, 12 * 640);
    tq_utt_end_utterance(u);
    uint64_t borrowed = 9, refused = 0;
    for (int i = 0; i < 60000 && stats() != -1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(stats(&borrowed, &refused, &msg), -1);
    EXPECT_EQ(std::make_tuple(borrowed, refused, msg), std::make_tuple(uint64_t(0), uint64_t(1),
                                                                      std::string("shift-out-of-range")));
    Frame f;
    int speech = 0;
    while (tq_utt_pull_frame(u, f.px.data(), (f.px.resize(kFrameBytes), f.px.size()), &f.info) == 1)
      speech += f.info.kind == 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(std::make_pair(speech, tq_utt_frames_available(u)), std::make_pair(0, 0)) << "nothing after a refusal";
    ASSERT_EQ(attach(u, &err), 0) << err;
    for (const Frame& g : pullUntil(u, 0, 2)) speech += g.info.kind == 1;
    EXPECT_EQ(stats(&borrowed, &refused), 1);
    EXPECT_EQ(refused, 0u);
    EXPECT_GE(speech, 10) << "the speech after the refused frame is delivered";
    tq_utt_destroy(u), u = nullptr;
  }
}

// Attaches land while the host pushes and pulls: each takes over at a frame boundary, the stream
// keeps flowing and ends healthy.
TEST_F(UttBorrow, AttachRacesPushAndPull) {
  for (const char* pipe : {"0", "1"}) {
    SCOPED_TRACE(pipe);
    start(pipe);
    std::string err;
    ASSERT_EQ(attach(u, &err), 0) << err;
    std::atomic<bool> done{false};
    auto attacher = std::async(std::launch::async, [&] {
      int n = 0;
      for (; !done; ++n) {
        EXPECT_EQ(attach(u), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      }
      return n;
    });
    int speech = 0;
    for (int utterance = 0; utterance < 3; ++utterance) {
      pushSamples(u, 6 * 640);
      tq_utt_end_utterance(u);
      for (const Frame& f : pullUntil(u, 0, 2)) speech += f.info.kind == 1;
    }
    done = true;
    EXPECT_GT(attacher.get(), 1);
    EXPECT_EQ(stats(), 1);
    EXPECT_GE(speech, 12);
    tq_utt_destroy(u), u = nullptr;
  }
}

}  // namespace
