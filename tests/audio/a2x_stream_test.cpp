// The streaming engine over the legacy 8-second frontend (this process never finds the short pair).
#include "a2x_test_util.h"
#include "tq/tq.h"

using namespace a2xtest;

namespace {

TEST(A2xStream, PushSizeInvariance) { expectPushSizeInvariant(fixture()); }

// Block k's pass fills frames up to 8 k - RC once 5120 k - 639 samples are buffered; frame f waits
// for features f..f+R (R = 4). That is what the block rule gave already: RC = 0, block 1 at 4481
// samples, frames 0..3; RC = 12, block 3 (features to 12) at 14721.
TEST(A2xStream, FirstFrameAsSoonAsItsFeaturesExist) {
  {
    tqtest::ScopedEnv rc("TQ_A2X_W2V_RIGHT", "0");
    expectFirstFrameAfter(fixture(), 4481, 4481);
  }
  tqtest::ScopedEnv rc("TQ_A2X_W2V_RIGHT", "12");
  expectFirstFrameAfter(fixture(), 14721, 14721);
}

TEST(A2xStream, MatchesIndependentRecomputation) {
  // Small positional table: frames beyond it take cycled rows; bounce from 2 backwards.
  std::vector<float> a = sentence();
  a.insert(a.end(), 3000, 0.0f);
  expectMatchesReference(fixture({"--pos-rows", "40", "--nt", "5"}), "long", a, {5120}, 2, -1, 0);
}

// Pushed whole and finished before any frame is asked for, the stream is the offline computation.
TEST(A2xStream, FinishedStreamEqualsOfflineDeltas) {
  Handle h(fixture());
  ASSERT_NE(h.h, nullptr);
  const std::vector<float> a = speechOf(9.5);  // two 8-second windows
  const int F = static_cast<int>((a.size() + 639) / 640), n = static_cast<int>(a.size());
  tq_a2x_push(h, a.data(), n);
  tq_a2x_finish(h);
  Frames f;
  ASSERT_EQ(pullInto(h, &f), F);
  std::vector<float> out(static_cast<std::size_t>(F) * kKp), wn(F);
  ASSERT_EQ(tq_a2x_deltas_wn(h, a.data(), n, out.data(), wn.data(), F), F);
  for (int i = 0; i < F * kKp; ++i) ASSERT_NEAR(f.drv[i] - f.src[i], out[i], 1e-6) << i;
  for (int i = 0; i < F; ++i) ASSERT_NEAR(f.wn[i], wn[i], 1e-6) << i;
  std::vector<float> guard(out.size(), 7.0f);
  EXPECT_EQ(tq_a2x_deltas(h, a.data(), n, guard.data(), F - 1), -2);
  EXPECT_EQ(guard, std::vector<float>(guard.size(), 7.0f));
  EXPECT_EQ(tq_a2x_deltas(h, a.data(), 0, guard.data(), F), 0);
}

// Frames ready while open: the usable samples come in blocks of 8 frames; a frame also waits until
// the features of its look-ahead exist.
TEST(A2xStream, FrameCountsWhileOpenAndAfterFinish) {
  const std::vector<std::string> noLookAhead = {"--window", "0"};
  const struct {
    const char* right;  // TQ_A2X_W2V_RIGHT
    std::vector<std::string> opts;
    int samples, open, total;
  } cases[] = {
      {"0", noLookAhead, 4480, 0, 7},     // floor((n + 639) / 5120) = 0: nothing usable
      {"0", noLookAhead, 4481, 8, 8},     // one block, its last frame partial
      {"-5", noLookAhead, 9601, 16, 16},  // negative RC counts as 0
      {"12", noLookAhead, 20480, 20, 32}, // held back by RC = 12
      {"2", {}, 20480, 26, 32},           // and by the encoder's look-ahead R = 4: RC + R = 6 wait
  };
  const std::vector<float> a = speechOf(1.5);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.right) + " / " + std::to_string(c.samples));
    tqtest::ScopedEnv rc("TQ_A2X_W2V_RIGHT", c.right);
    Handle h(fixture(c.opts));
    ASSERT_NE(h.h, nullptr);
    tq_a2x_push(h, a.data(), c.samples);
    EXPECT_EQ(tq_a2x_total(h), -1);
    EXPECT_EQ(tq_a2x_avail(h), c.open);
    tq_a2x_finish(h);
    EXPECT_EQ(tq_a2x_total(h), c.total);
    Frames f;
    EXPECT_EQ(pullInto(h, &f), c.total);
  }
}

// Driver walks (bounce and wrap are also in the reference runs), and a reset with start -1
// continuing from the frames actually pulled.
TEST(A2xStream, DriverIndexSequences) {
  const std::vector<float> quiet(10 * 640, 0.0f);
  Handle one(fixture({"--nt", "1"})), h(fixture({"--nt", "4"}));
  auto walk = [&](tq_a2x* h, int start, int dir, int wrap, int n, int pull = -1) {
    tq_a2x_reset(h, start, dir, wrap);
    tq_a2x_push(h, quiet.data(), n * 640);
    tq_a2x_finish(h);
    Frames f;
    pullInto(h, &f, pull);
    return f.idx;
  };
  using V = std::vector<int>;
  EXPECT_EQ(walk(one, 3, -1, 0, 5), (V{0, 0, 0, 0, 0}));
  EXPECT_EQ(walk(h, 0, -1, 1, 7), (V{0, 3, 2, 1, 0, 3, 2}));  // backwards wraps to NT - 1, never -1
  EXPECT_EQ(walk(h, 9, 5, 1, 4), (V{1, 2, 3, 0}));  // any positive direction is +1
  EXPECT_EQ(walk(h, 0, 1, 1, 6), (V{0, 1, 2, 3, 0, 1}));
  EXPECT_EQ(walk(h, -1, 1, 1, 6), (V{2, 3, 0, 1, 2, 3}));
  EXPECT_EQ(walk(h, -1, -1, 0, 6), (V{0, 1, 2, 3, 2, 1}));
  EXPECT_EQ(walk(h, -1, 1, 0, 6), (V{0, 1, 2, 3, 2, 1}));
  EXPECT_EQ(walk(h, 1, 1, 1, 6, 3), (V{1, 2, 3}));
  EXPECT_EQ(walk(h, -1, 1, 1, 6), (V{0, 1, 2, 3, 0, 1}));
}

TEST(A2xStream, WidthOutputAndMetaDisagreement) {
  const std::string graph1 = "[tq_a2x] WARNING: a2x_meta width=0 but the encoder declares 2 output(s) — serving the "
                             "GRAPH (width=1). Repackage this bundle.\n";
  const struct {
    std::vector<std::string> opts;
    int width;
    std::string warning;  // empty: none
  } cases[] = {
      {{}, 1, ""},
      {{"--no-width"}, 0, ""},
      {{"--meta-width", "false"}, 1, graph1},
      {{"--meta-width", "omit"}, 1, graph1},
      {{"--no-width", "--meta-width", "7"}, 0,
       "[tq_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) — serving the GRAPH (width=0). "
       "Repackage this bundle.\n"},
  };
  const std::vector<float> a = speechOf(1.0);
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    Handle h(fixture(c.opts));
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_NE(h.h, nullptr);
    EXPECT_EQ(tq_a2x_width(h), c.width);
    EXPECT_EQ(log.find(c.warning.empty() ? "WARNING" : c.warning) == std::string::npos, c.warning.empty()) << log;
    bool anyWidth = false;
    for (float w : stream(h, a, {5120}).wn) anyWidth |= w != 0.0f;
    EXPECT_EQ(anyWidth, c.width == 1);
    std::vector<float> out(25 * kKp), wn(25);
    if (c.width == 0) {
      EXPECT_EQ(tq_a2x_deltas_wn(h, a.data(), static_cast<int>(a.size()), out.data(), wn.data(), 25), -3);
      EXPECT_STREQ(tq_a2x_last_error(), "tq_a2x_deltas_wn: encoder declares no wn output");
    }
  }
}

// Refusals at creation, through the exported function, on real directories (copies of a good one
// with a shell edit run inside).
TEST(A2xStream, CreationRefusals) {
  const Fixture& good = fixture();
  tqtest::TempDir tmp;
  auto copyDir = [&](const std::string& name, const std::string& edit) {
    const std::string d = tmp / name;
    EXPECT_EQ(tqtest::runCommand("cp -r '" + good.motion + "' '" + d + "' && cd '" + d + "' && " + edit), 0);
    return d;
  };
  const std::string empty = copyDir("empty", "rm -f *"), emptyMeta = copyDir("emptymeta", ": > a2x_meta.json");
  const std::string readFailed = "tq_a2x_create: pos/norm/xs_target read failed";
  const std::string notStreaming = "tq_a2x_create: meta lacks causal window/left (not a streaming a2x)";
  const std::pair<std::string, std::string> cases[] = {
      {empty, "tq_a2x_create: a2x_meta.json missing in " + empty},
      {emptyMeta, "tq_a2x_create: a2x_meta.json missing in " + emptyMeta},
      {copyDir("nowin", "echo '{\"h\": 16, \"left\": 4, \"layers\": 2}' > a2x_meta.json"), notStreaming},
      {copyDir("negleft", "echo '{\"h\": 16, \"window\": 2, \"left\": -1}' > a2x_meta.json"), notStreaming},
      {copyDir("shortpos", "truncate -s 124 a2x_pos.f32"), readFailed},  // 31 floats < 2 x 16
      {copyDir("shortnorm", "truncate -s 500 a2x_norm.f32"), readFailed},
      {copyDir("noxs", "rm xs_target.bin"), readFailed},
      {copyDir("second", "mv xs_target.bin target_keypoints.bin && mv a2x_dec.onnx audio_motion_decoder.onnx && "
                         "mv a2x_enc_stream.onnx audio_motion_encoder.onnx"), ""},
      {good.motion, "tq_a2x_create: $W2V_ONNX not set"},  // last: unsets W2V_ONNX
  };
  tqtest::ScopedEnv env("W2V_ONNX", good.w2v.c_str());
  for (const auto& [dir, error] : cases) {
    if (error.find("$W2V_ONNX") != std::string::npos) unsetenv("W2V_ONNX");
    tq_a2x* h = tq_a2x_create(dir.c_str(), 1);
    EXPECT_EQ(h ? std::string() : std::string(tq_a2x_last_error()), error) << dir;
    tq_a2x_destroy(h);
  }
  EXPECT_EQ(tq_a2x_preload_w2v(nullptr), 0);
  EXPECT_STREQ(tq_a2x_last_error(), "tq_a2x_preload_w2v: no path and $W2V_ONNX unset");
  EXPECT_EQ(tq_a2x_preload_w2v(""), 0);
  EXPECT_EQ(tq_a2x_w2v8_lazy(), 1);
  tq_a2x_destroy(nullptr);
  EXPECT_EQ(tq_a2x_nt(nullptr) + tq_a2x_avail(nullptr), 0);
}

// A graph that fails at run time (the meta's width disagrees with the graphs'): the calls report
// what is ready and the text; every call clears the text on entry, so a 0 without text from a
// working engine is "nothing ready yet", and the engine's error getter is the library's.
TEST(A2xStream, RunTimeFailureIsReportedByAvailAndPull) {
  {
    Handle good(fixture());
    const std::vector<float> a = speechOf(0.1);
    tq_a2x_push(good, nullptr, 5);
    EXPECT_STREQ(tq_last_error(), "tq_a2x_push: bad args");
    tq_a2x_push(good, a.data(), static_cast<int>(a.size()));
    EXPECT_EQ(tq_a2x_avail(good), 0);
    EXPECT_STREQ(tq_a2x_last_error(), "") << "nothing ready yet, and no failure";
  }
  tqtest::TempDir tmp;
  const std::string d = tmp / "bad";
  ASSERT_EQ(tqtest::runCommand("cp -r '" + fixture().motion + "' '" + d + "'"), 0);
  tqtest::writeText(d + "/a2x_meta.json", "{\"h\": 8, \"window\": 2, \"left\": 4, \"layers\": 2, \"width\": true}");
  Handle h(Fixture{d, "", fixture().w2v});
  ASSERT_NE(h.h, nullptr) << tq_a2x_last_error();
  const std::vector<float> a = speechOf(2.0);
  tq_a2x_push(h, a.data(), static_cast<int>(a.size()));
  tq_a2x_finish(h);
  EXPECT_EQ(tq_a2x_avail(h), 0);
  EXPECT_EQ(std::string(tq_a2x_last_error()).rfind("tq_a2x extend: ", 0), 0u) << tq_a2x_last_error();
  int idx[4];
  float kp[4 * kKp];
  EXPECT_EQ(tq_a2x_pull(h, idx, kp, kp, 4), 0);
  std::vector<float> out(50 * kKp);
  EXPECT_EQ(tq_a2x_deltas(h, a.data(), static_cast<int>(a.size()), out.data(), 50), -1);
  EXPECT_EQ(std::string(tq_a2x_last_error()).rfind("tq_a2x_deltas: ", 0), 0u) << tq_a2x_last_error();
}

// 20 s (8 under emulation) pushed at once: the first avail runs only the windows its frames need (it ran every buffered
// block, all of it first-frame latency), and the frames are those of the same audio pushed in blocks.
TEST(A2xStream, TheFirstAvailFillsOnlyWhatItNeeds) {
  tqtest::ScopedEnv env("W2V_ONNX", fixture().w2v.c_str());
  const std::vector<float> a = speechOf(tqtest::underEmulation() ? 8.0 : 20.0);
  const auto drain = [](tq::A2x& e, std::vector<float>& drv) {
    int idx[32];
    float src[32 * kKp], d[32 * kKp];
    for (int n; (n = e.pull(idx, src, d, nullptr, 32)) > 0;) drv.insert(drv.end(), d, d + n * kKp);
  };
  tq::A2x whole(fixture().motion, 1), pieces(fixture().motion, 1);
  whole.push(a.data(), static_cast<int>(a.size()));
  EXPECT_EQ(whole.avail(), 64);
  EXPECT_LE(whole.stats().featureRows, 64 + whole.lookAhead() + 8) << "features beyond the frames asked for";
  std::vector<float> got, want;
  drain(whole, got);
  whole.finish();
  drain(whole, got);
  for (std::size_t at = 0; at < a.size(); at += 5120) {
    pieces.push(a.data() + at, static_cast<int>(std::min<std::size_t>(5120, a.size() - at)));
    pieces.avail();
    drain(pieces, want);
  }
  pieces.finish();
  drain(pieces, want);
  ASSERT_EQ(got.size(), (a.size() + 639) / 640 * kKp);
  EXPECT_EQ(got, want);
}

// A long stream holds no more than its first ten seconds did: every buffer is bounded at every step.
TEST(A2xStream, WorkingSetStaysBounded) {
  tqtest::ScopedEnv env("W2V_ONNX", fixture().w2v.c_str());
  tq::A2x engine(fixture().motion, 1);
  const std::vector<float> a = speechOf(20.0);
  int idx[32];
  float src[32 * kKp], drv[32 * kKp];
  std::size_t after10s = 0, peak = 0;
  for (int64_t pos = 0; pos < int64_t(tqtest::underEmulation() ? 60 : 180) * 16000; pos += 5120) {
    engine.push(a.data() + (pos % int64_t(a.size() - 5120)), 5120);
    engine.avail();
    while (engine.pull(idx, src, drv, nullptr, 32) > 0) {
    }
    const auto s = engine.stats();
    (pos < 10 * 16000 ? after10s : peak) = std::max(pos < 10 * 16000 ? after10s : peak, s.bytes);
    ASSERT_LE(s.featureRows, 200) << pos;
    ASSERT_LE(s.samplesHeld, 128000 + 64000 + 5120) << pos;
  }
  EXPECT_LE(peak, after10s + after10s / 4) << "10 s: " << after10s << " B, peak " << peak << " B";
}

}  // namespace
