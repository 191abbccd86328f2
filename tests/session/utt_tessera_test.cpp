// A teeth borrow attached to a session through the C API: attach refusals, the three queries, the
// same frames from the synchronous and the pipelined stage, a refusal stopping delivery until a
// re-attach, and attaches racing the host's pushes and pulls.
#include <future>

#include "session/tq_utt_session.h"
#include "tessera/tq_bankdec_ff.h"
#include "tessera/tq_bundle_tessera.h"
#include "tessera/tq_tessera_head.h"
#include "tessera/tq_tessera_pi.h"
#include "tessera/tq_tessera_stream.h"
#include "utt_fixture.h"

namespace {

using namespace utttest;
using Edit = void (*)(int32_t*);

struct UttBorrow : ::testing::Test {
  // A 128-pixel crop bundle; a teeth bank on that canvas (window 80x80 at 24, pad 16); rest keypoints
  // all equal to driver frame 0's, which the scripted engine keeps to.
  static void SetUpTestSuite() {
    dir = writeBundle(*(tmp = new tqtest::TempDir()), {"--crop", "128"});
    writeStills(dir);  // decoded on the caller's thread: ThreadSanitizer sees every frame access
    ASSERT_TRUE(tqtest::runFixtureTool({"teeth-bundle", *tmp / "teeth", "--canvas", "128", "--lip", "none",
                                        "--stamp-set", R"({"window_x0": 24, "window_y0": 24, "window_w": 80,
        "window_h": 80, "pad": 16, "band_r0": 20, "band_r1": 60, "band_c0": 16, "band_c1": 64, "shift_margin": 8})"}));
    ASSERT_TRUE(tqtest::runFixtureTool({"bank-head", *tmp / "tame.pt"}));
    in = tq::loadTesseraMembers(*tmp / "teeth");
    const std::vector<uint8_t> track = tqtest::readBytes(in.bank_track_path);
    bank = tq::tessera::decodeBankTrack(track.data(), track.size(), in.n_donors, in.band_w, in.band_h,
                                        in.track_order);
    head = tqtest::readBytes(*tmp / "tame.pt");
    std::vector<float> xs(kNT * 63);
    for (int i = 0; i < kNT * 63; ++i) xs[i] = rest(0, i % 63);
    tqtest::runCommand("mkdir -p " + *tmp / "motion");
    tqtest::writeText(*tmp / "motion/xs_target.bin", std::string((const char*)xs.data(), xs.size() * 4));
    // The bank's frame: corpus geometry v1 (pad 0.05, 0.08, down 0.015) over those keypoints.
    tq::tessera::UnifiedPi pi = tq::tessera::UnifiedPi::fromManifestJson(in.manifest_json, 128);
    pi.lip_geom_params = {{0.05f, 0.08f, 0.015f}};
    pi.canonicalCentroid(xs.data(), kNT, canon[0], canon[1]);
  }
  static void TearDownTestSuite() { delete tmp; }
  void SetUp() override { ASSERT_NE(ctx = tq_create(dir.c_str(), "b1", 1, nullptr), nullptr) << tq_last_error(); }
  void TearDown() override { tq_utt_destroy(u), tq_destroy(ctx); }

  void start(const char* pipeline, const char* motion = "motion") {
    tq_utt_destroy(u);
    tqtest::ScopedEnv pipe("TQ_UTT_PIPELINE_PASTE", pipeline);
    const std::string m = *tmp / motion;
    tq_utt_opts o{};
    o.motion_dir = m.c_str(), o.steady_model = "-", o.silence_end_s = -1, o.end_ramp = 2;
    script.fixedIndex = 0;
    u = tq::utt::createSession(ctx, o, scripted(script));
    ASSERT_EQ(waitReady(u), 1) << tq_utt_last_error();
  }
  // Attaches the bank, its stamp changed by edit; the refusal text goes to err.
  int attach(tq_utt* s, std::string* err = nullptr, Edit edit = nullptr, int n = 8) {
    std::array<int32_t, 12> st = in.stamp.values();
    if (edit) edit(st.data());
    char buf[512] = "";
    const int r = tq_utt_tessera_attach(s, bank.data(), n, in.cent.data(), canon, in.aperture.data(), st.data(),
                                        head.data(), int(head.size()), in.head_json.c_str(),
                                        in.manifest_json.c_str(), buf, sizeof buf);
    return err ? (*err = buf, r) : r;
  }
  int stats(uint64_t* borrowed = nullptr, uint64_t* refused = nullptr, std::string* msg = nullptr) {
    char buf[256] = "";
    const int r = tq_utt_tessera_stats(u, borrowed, refused, buf, sizeof buf);
    return msg ? (*msg = buf, r) : r;
  }

  // A borrow built from the same members as the attach, outside any session.
  std::unique_ptr<tq::tessera::StreamBorrow> freshBorrow() {
    tq::tessera::BankData bd;
    bd.n_donors = in.n_donors, bd.patches = bank, bd.cent = in.cent, bd.aperture = in.aperture;
    bd.c_canon = {canon[0], canon[1]}, bd.stamp = in.stamp;
    std::vector<float> xs(kNT * 63);
    for (int i = 0; i < kNT * 63; ++i) xs[i] = rest(0, i % 63);
    return std::make_unique<tq::tessera::StreamBorrow>(
        std::move(bd), tq::tessera::loadHeadPt(head), tq::tessera::ServeConfig::fromHeadMemberJson(in.head_json),
        tq::tessera::UnifiedPi::corpusFromManifestJson(in.manifest_json, 128, xs.data(), kNT, canon, nullptr),
        ctx->manifest.lipTemplate);
  }

  static inline tqtest::TempDir* tmp = nullptr;
  static inline std::string dir;
  static inline tq::TesseraAttachInputs in;
  static inline std::vector<uint8_t> bank, head;
  static inline double canon[2];
  tq_ctx* ctx = nullptr;
  tq_utt* u = nullptr;
  Script script;
};

TEST_F(UttBorrow, AttachRefusalsKeepThePreviousState) {
  start("0");
  const std::string a = "tq_utt_tessera_attach: ";
  std::string err;
  char buf[64] = "x";
  EXPECT_EQ(std::make_tuple(stats(), tq_utt_tessera_synth_w(u, nullptr, nullptr, nullptr),
                            tq_utt_tessera_geometry(u, buf, sizeof buf), tq_utt_tessera_stats(nullptr, 0, 0, 0, 0)),
            std::make_tuple(0, 0, 0, 0));
  EXPECT_EQ(std::string(buf), "");
  EXPECT_EQ(tq_utt_tessera_attach(u, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, buf, sizeof buf), 1);
  EXPECT_EQ(std::string(buf), (a + "a required member is null — this ABI has no partial-attach state").substr(0, 63));
  const struct { tq_utt* s; Edit edit; int n; std::string text; } cases[] = {
      {nullptr, nullptr, 8, a + "null session"},
      {u, nullptr, 0, a + "n_donors <= 0"},
      {u, nullptr, 1025, a + "n_donors > 1024"},
      {u, [](int32_t* s) { s[4] = s[5] = 0; }, 8, a + "teeth: GeometryStamp incoherent: window dims must be positive; "
       "band rows escape window; band cols escape window; stored band rows escape patch; stored band cols escape patch;"},
      {u, [](int32_t* s) { s[0] = 130; }, 8, a + "bank canvas 130x128 != this bundle's render crop 128"},
      {u, [](int32_t* s) { s[0] = s[1] = 112; }, 8, a + "bank canvas 112x112 != this bundle's render crop 128"},
  };
  for (int round = 0; round < 2; ++round) {
    for (const auto& c : cases) EXPECT_EQ(std::make_pair(attach(c.s, &err, c.edit, c.n), err), std::make_pair(1, c.text));
    EXPECT_EQ(stats(), round) << "a refused attach keeps the session's previous state";
    if (round == 0) {
      ASSERT_EQ(attach(u, &err), 0) << err;
    }
  }
  EXPECT_EQ(std::make_pair(tq_utt_tessera_geometry(u, buf, sizeof buf), tq_utt_tessera_geometry(u, buf, 0)),
            std::make_pair(1, 0));
  EXPECT_EQ(std::string(buf).rfind(" v1=0.00px v2=", 0), 0u) << buf;
  start("0", "no_motion");
  EXPECT_EQ(attach(u, &err), 1);
  EXPECT_EQ(err, a + "xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be "
                     "identified — refusing to arm the borrow against the manifest's compose-field geometry");
}

// Every speech frame is composed, the same bytes on the render thread as on the stage's own thread.
TEST_F(UttBorrow, SynchronousAndPipelinedStagesGiveTheSameFrames) {
  const int F = 8;
  std::vector<std::vector<uint8_t>> speech[2];
  for (int pipe : {0, 1}) {
    start(pipe ? "1" : "0");
    ASSERT_EQ(attach(u), 0);
    EXPECT_EQ(tq_utt_tessera_synth_w(u, nullptr, nullptr, nullptr), 0) << "no frame counted yet";
    pushSamples(u, F * 640);
    tq_utt_end_utterance(u);
    for (Frame& f : pullUntil(u, 2, 2))  // through the ramp that follows the speech
      if (f.info.kind == 1) speech[pipe].push_back(std::move(f.px));
    uint64_t borrowed = 0, refused = 9, frames = 0;
    double mean = -1, max = -1;
    EXPECT_EQ(std::make_tuple(stats(&borrowed, &refused), refused, speech[pipe].size()), std::make_tuple(1, 0ul, 8ul));
    EXPECT_GE(borrowed, uint64_t(F));
    EXPECT_EQ(tq_utt_tessera_synth_w(u, &mean, &max, &frames), 1);
    EXPECT_TRUE(frames >= uint64_t(F) && mean == 0.0 && max == 0.0) << frames << " " << mean << " " << max;
  }
  EXPECT_TRUE(speech[0] == speech[1]);
}

// With pad 1 the first speech frame (its mouth 2 pixels off) is refused: nothing is delivered any
// more and the stats say why; re-attaching the bank's own stamp brings the stream back.
TEST_F(UttBorrow, ARefusalStopsDeliveryUntilAReattach) {
  for (const char* pipe : {"0", "1"}) {
    start(pipe);
    ASSERT_EQ(attach(u, nullptr, [](int32_t* s) { s[6] = 1; }), 0);
    pushSamples(u, 12 * 640);
    tq_utt_end_utterance(u);
    for (int i = 0; i < 60000 && stats() != -1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    uint64_t borrowed = 9, refused = 0;
    std::string msg;
    EXPECT_EQ(std::make_tuple(stats(&borrowed, &refused, &msg), borrowed, refused, msg),
              std::make_tuple(-1, 0ul, 1ul, std::string("shift-out-of-range")));
    Frame f{{}, std::vector<uint8_t>(kFrameBytes)};
    int speech = 0;
    while (tq_utt_pull_frame(u, f.px.data(), f.px.size(), &f.info) == 1) speech += f.info.kind == 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(std::make_pair(speech, tq_utt_frames_available(u)), std::make_pair(0, 0)) << pipe;
    ASSERT_EQ(attach(u), 0);
    for (const Frame& g : pullUntil(u, 2, 2)) speech += g.info.kind == 1;
    // Gone with the failed borrow: the refused frame and the one held behind it, and in the
    // pipelined stage also up to two queued for it and one being queued (how many depends on how
    // far rendering ran ahead of the stage).
    const int lost = *pipe == '0' ? 2 : 5;
    EXPECT_EQ(std::make_tuple(stats(nullptr, &refused), refused, speech >= 12 - lost), std::make_tuple(1, 0ul, true))
        << pipe << ": " << speech << " speech frames after the reattach";
  }
}

// What the stage received (a tap on it), replayed through a fresh borrow and the context's own paste,
// gives every pulled speech and ramp frame byte for byte.
TEST_F(UttBorrow, ReplayingTheStagesInputsReproducesEveryFrame) {
  struct Tap { std::vector<std::vector<float>> crops, kps; std::vector<int> index; } tap;
  start("1");
  {
    std::lock_guard<std::mutex> lk(u->mu);
    u->teeth.tapUser = &tap;
    u->teeth.tap = [](void* p, const float* crop, const float* kp, int32_t d) {
      Tap& t = *static_cast<Tap*>(p);
      t.crops.emplace_back(crop, crop + 3 * 128 * 128), t.kps.emplace_back(kp, kp + 63), t.index.push_back(d);
    };
  }
  ASSERT_EQ(attach(u), 0);
  pushSamples(u, 8 * 640);
  tq_utt_end_utterance(u);
  std::vector<Frame> faces;
  for (Frame& f : pullUntil(u, 2, 2))
    if (f.info.kind != 0) faces.push_back(std::move(f));
  tq_utt_destroy(u), u = nullptr;  // joins the stage's thread: the tap is complete
  ASSERT_EQ(faces.size(), 10u);
  auto b = freshBorrow();
  tq::tessera::FrameResult r;
  std::vector<uint8_t> out(kFrameBytes);
  std::size_t k = 0;  // the next frame to finish, one behind the pushes
  const auto finish = [&] {
    ASSERT_FALSE(r.refused) << r.reason;
    tq::tessera::StreamBorrow::writeWindowDelta(tap.crops[k].data(), 128, r, b->stamp());
    ASSERT_EQ(tq_paste_crop(ctx, tap.index[k], tap.crops[k].data(), out.data(), out.size()), 1) << tq_last_error();
    if (k < faces.size()) {
      EXPECT_TRUE(out == faces[k].px) << "frame " << k;
    }
    ++k;
  };
  for (std::size_t i = 0; i < tap.crops.size(); ++i)
    if (b->push(tap.crops[i].data(), tap.kps[i].data(), r)) finish();
  if (b->flush(r)) finish();
  EXPECT_EQ(k, tap.crops.size());
  EXPECT_GE(k, faces.size());
}

// An interrupt mid-utterance drops the frame the borrow holds: nothing of the old utterance
// surfaces, the next utterance is served from its frame 0, and every face delivered was composed.
TEST_F(UttBorrow, AnInterruptDropsTheHeldFrameAndTheNextUtteranceIsServed) {
  for (const char* pipe : {"0", "1"}) {
    start(pipe);
    ASSERT_EQ(attach(u), 0);
    pushSamples(u, 40 * 640);
    pullUntil(u, 1, 3);
    tq_utt_interrupt(u);
    for (const Frame& f : pullUntil(u, 0, 4)) EXPECT_NE(f.info.kind, 1u) << pipe << " frame " << f.info.frame;
    pushSamples(u, 6 * 640);
    tq_utt_end_utterance(u);
    std::vector<int> order;
    for (const Frame& f : pullUntil(u, 2, 2))
      if (f.info.kind == 1) order.push_back(f.info.frame);
    const int faces = 3 + int(order.size()) + 2;  // speech before and after, and the ramp
    uint64_t borrowed = 0, refused = 9;
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5})) << pipe;
    EXPECT_EQ(std::make_tuple(stats(&borrowed, &refused), refused), std::make_tuple(1, 0ul)) << pipe;
    EXPECT_GE(borrowed, uint64_t(faces)) << pipe;
  }
}

// Destroying the session while crops wait for the borrow, its output unread, neither hangs nor
// leaks (ASan), and the next session on the context works.
TEST_F(UttBorrow, DestroyWhileFramesWaitForTheBorrow) {
  for (const char* pipe : {"1", "0"}) {
    start(pipe);
    ASSERT_EQ(attach(u), 0);
    pushSamples(u, 40 * 640);
    waitAvailable(u, 8);  // the ring is full: paste, teeth stage and render all wait behind it
    tq_utt_destroy(u), u = nullptr;
  }
  start("1");
  ASSERT_EQ(attach(u), 0);
  pushSamples(u, 2 * 640);
  tq_utt_end_utterance(u);
  EXPECT_EQ(pullUntil(u, 2, 2).size() >= 4 && stats() == 1, true);
}

// Attaches land while the host pushes and pulls: each takes over at a frame boundary and the stream
// keeps flowing, healthy.
TEST_F(UttBorrow, AttachRacesPushAndPull) {
  for (const char* pipe : {"0", "1"}) {
    start(pipe);
    ASSERT_EQ(attach(u), 0);
    std::atomic<bool> done{false};
    auto attacher = std::async(std::launch::async, [&] {
      int n = 0;
      for (; !done; ++n, std::this_thread::sleep_for(std::chrono::milliseconds(3))) EXPECT_EQ(attach(u), 0);
      return n;
    });
    int speech = 0;
    for (int utterance = 0; utterance < 3; ++utterance) {
      pushSamples(u, 6 * 640);
      tq_utt_end_utterance(u);
      for (const Frame& f : pullUntil(u, 2, 2)) speech += f.info.kind == 1;
    }
    done = true;
    EXPECT_TRUE(attacher.get() > 1 && stats() == 1 && speech == 18) << pipe << " " << speech;
  }
}

}  // namespace
