// The streaming engine over the legacy 8-second frontend (this process never
// finds the short-window pair), mostly through the exported functions.
#include <cmath>
#include <cstring>

#include "a2x_checks.h"

using namespace a2xtest;

namespace {

// Lip rows 17..20 (y): how far the driving keypoints open them.
double lipOpening(const Frames& f, int i) {
  double v = 0;
  for (int r = 17; r <= 20; ++r) v += f.drv[i * kKp + 3 * r + 1] - f.src[i * kKp + 3 * r + 1];
  return v / 4;
}

TEST(A2xStream, SpeechOpensTheLipsAndSilenceDoesNot) {
  Handle h(fixture());
  ASSERT_NE(h.h, nullptr) << tq_a2x_last_error();
  std::vector<float> a = sentence();
  const int speechFrames = static_cast<int>(a.size() / 640);
  a.insert(a.end(), 48000, 0.0f);
  const Frames f = stream(h, a, {640});
  ASSERT_EQ(f.count(), static_cast<int>((a.size() + 639) / 640));
  double speech = 0, tail = 0;
  for (int i = 0; i < speechFrames; ++i) speech = std::max(speech, lipOpening(f, i));
  for (int i = f.count() - 20; i < f.count(); ++i) tail = std::max(tail, std::fabs(lipOpening(f, i)));
  EXPECT_GT(speech, 0.015);
  EXPECT_GT(speech, 4 * tail);
}

TEST(A2xStream, PushSizeInvariance) { expectPushSizeInvariant(fixture()); }

TEST(A2xStream, MatchesIndependentRecomputation) {
  // Small positional table: frames beyond it take cycled rows; bounce from 2 backwards.
  const Fixture& fx = fixture({"--pos-rows", "40", "--nt", "5"});
  std::vector<float> a = sentence();
  a.insert(a.end(), 3000, 0.0f);
  expectMatchesReference(fx, "long", a, {5120}, 2, -1, 0);
}

// Pushed whole and finished before any frame is asked for, the stream is the
// offline computation (positional table longer than the clip).
TEST(A2xStream, FinishedStreamEqualsOfflineDeltas) {
  Handle h(fixture());
  ASSERT_NE(h.h, nullptr);
  std::vector<float> a = speechOf(9.5);  // two 8-second windows
  const int F = static_cast<int>((a.size() + 639) / 640);
  tq_a2x_reset(h, 0, 1, 1);
  tq_a2x_push(h, a.data(), static_cast<int>(a.size()));
  tq_a2x_finish(h);
  Frames f;
  while (pullInto(h, &f) > 0) {
  }
  ASSERT_EQ(f.count(), F);
  std::vector<float> out(static_cast<std::size_t>(F) * kKp), wn(F);
  ASSERT_EQ(tq_a2x_deltas_wn(h, a.data(), static_cast<int>(a.size()), out.data(), wn.data(), F), F);
  double err = 0, wnErr = 0;
  for (int i = 0; i < F; ++i) {
    for (int k = 0; k < kKp; ++k)
      err = std::max(err, std::fabs(double(f.drv[i * kKp + k]) - f.src[i * kKp + k] - out[i * kKp + k]));
    wnErr = std::max(wnErr, std::fabs(double(f.wn[i]) - wn[i]));
  }
  EXPECT_LE(err, 1e-6);
  EXPECT_LE(wnErr, 1e-6);

  // Too small an output: -2 and nothing written; nothing to do for no audio.
  std::vector<float> guard(static_cast<std::size_t>(F) * kKp, 7.0f);
  EXPECT_EQ(tq_a2x_deltas(h, a.data(), static_cast<int>(a.size()), guard.data(), F - 1), -2);
  EXPECT_EQ(guard, std::vector<float>(guard.size(), 7.0f));
  EXPECT_EQ(tq_a2x_deltas(h, a.data(), 0, guard.data(), F), 0);
}

// Frames ready while open: the usable samples U come in blocks of 8 frames;
// a frame also waits until the features of its look-ahead exist.
TEST(A2xStream, FrameCountsWhileOpenAndAfterFinish) {
  struct Case {
    const char* right;         // TQ_A2X_W2V_RIGHT
    std::vector<std::string> fixtureOpts;
    int samples, open, total;
  };
  const std::vector<std::string> noLookAhead = {"--window", "0"};
  const std::vector<Case> cases = {
      {"0", noLookAhead, 4480, 0, 7},    // floor((n + 639) / 5120) = 0: nothing usable
      {"0", noLookAhead, 4481, 8, 8},    // one block, its last frame partial
      {"0", noLookAhead, 5119, 8, 8},    // the formula makes these usable too
      {"0", noLookAhead, 9600, 8, 15},
      {"0", noLookAhead, 9601, 16, 16},
      {"-5", noLookAhead, 9601, 16, 16},  // negative RC counts as 0
      {"12", noLookAhead, 20480, 20, 32}, // held back by RC = 12
      {"12", {}, 20480, 16, 32},          // and by the encoder's look-ahead R = 4
      {"2", {}, 20480, 26, 32},           // RC + R = 6 frames wait for features
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.right) + " / " + std::to_string(c.samples));
    tqtest::ScopedEnv rc("TQ_A2X_W2V_RIGHT", c.right);
    Handle h(fixture(c.fixtureOpts));
    ASSERT_NE(h.h, nullptr);
    const std::vector<float> a = speechOf(c.samples / 16000.0 + 0.001);
    tq_a2x_push(h, a.data(), c.samples);
    EXPECT_EQ(tq_a2x_total(h), -1);
    EXPECT_EQ(tq_a2x_avail(h), c.open);
    tq_a2x_finish(h);
    EXPECT_EQ(tq_a2x_total(h), c.total);
    Frames f;
    while (tq_a2x_avail(h) > 0) pullInto(h, &f);
    EXPECT_EQ(f.count(), c.total);
    EXPECT_EQ(tq_a2x_avail(h), 0);
  }
}

TEST(A2xStream, DriverIndexSequences) {
  struct Case {
    const char* nt;
    int start, dir, wrap;
    std::vector<int> want;
  };
  const std::vector<Case> cases = {
      {"1", 0, 1, 1, {0, 0, 0, 0, 0}},
      {"1", 3, -1, 0, {0, 0, 0, 0, 0}},
      {"4", 0, 1, 0, {0, 1, 2, 3, 2, 1, 0, 1, 2, 3}},
      {"4", 0, 1, 1, {0, 1, 2, 3, 0, 1, 2, 3, 0, 1}},
      {"4", 0, -1, 1, {0, 3, 2, 1, 0, 3, 2}},       // backwards wraps to NT - 1, never -1
      {"4", 2, -1, 0, {2, 1, 0, 1, 2, 3, 2, 1, 0}},
      {"4", 9, 5, 1, {1, 2, 3, 0}},                  // any positive direction is +1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("NT ") + c.nt + " start " + std::to_string(c.start));
    Handle h(fixture({"--nt", c.nt}));
    ASSERT_NE(h.h, nullptr);
    const std::vector<float> quiet(c.want.size() * 640, 0.0f);
    tq_a2x_reset(h, c.start, c.dir, c.wrap);
    tq_a2x_push(h, quiet.data(), static_cast<int>(quiet.size()));
    tq_a2x_finish(h);
    Frames f;
    pullInto(h, &f);
    EXPECT_EQ(f.idx, c.want);
    // Source keypoints are the rest keypoints of the driver frame.
    const std::vector<uint8_t> xs = tqtest::readBytes(fixture({"--nt", c.nt}).motion + "/xs_target.bin");
    for (int i = 0; i < f.count(); ++i)
      EXPECT_EQ(0, std::memcmp(&f.src[i * kKp], xs.data() + f.idx[i] * kKp * 4, kKp * 4));
  }
}

// A reset with start -1 continues where the previous utterance stopped.
TEST(A2xStream, ResetContinuesTheDriverIndex) {
  Handle h(fixture({"--nt", "4"}));
  ASSERT_NE(h.h, nullptr);
  const std::vector<float> quiet(6 * 640, 0.0f);
  auto utterance = [&](int start, int dir, int wrap) {
    tq_a2x_reset(h, start, dir, wrap);
    tq_a2x_push(h, quiet.data(), static_cast<int>(quiet.size()));
    tq_a2x_finish(h);
    Frames f;
    pullInto(h, &f);
    return f.idx;
  };
  EXPECT_EQ(utterance(0, 1, 1), (std::vector<int>{0, 1, 2, 3, 0, 1}));
  EXPECT_EQ(utterance(-1, 1, 1), (std::vector<int>{2, 3, 0, 1, 2, 3}));
  EXPECT_EQ(utterance(-1, -1, 0), (std::vector<int>{0, 1, 2, 3, 2, 1}));
  EXPECT_EQ(utterance(-1, 1, 0), (std::vector<int>{0, 1, 2, 3, 2, 1}));
  // A reset mid-utterance continues from the frames actually pulled.
  tq_a2x_reset(h, 1, 1, 1);
  tq_a2x_push(h, quiet.data(), static_cast<int>(quiet.size()));
  tq_a2x_finish(h);
  Frames part;
  pullInto(h, &part, 3);
  EXPECT_EQ(part.idx, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(utterance(-1, 1, 1), (std::vector<int>{0, 1, 2, 3, 0, 1}));
}

TEST(A2xStream, WidthOutputAndMetaDisagreement) {
  struct Case {
    std::vector<std::string> opts;
    int width;
    std::string warning;  // empty: none
  };
  const std::vector<Case> cases = {
      {{}, 1, ""},
      {{"--no-width"}, 0, ""},
      {{"--meta-width", "false"}, 1,
       "[tq_a2x] WARNING: a2x_meta width=0 but the encoder declares 2 output(s) — serving the GRAPH (width=1). "
       "Repackage this bundle.\n"},
      {{"--meta-width", "omit"}, 1,
       "[tq_a2x] WARNING: a2x_meta width=0 but the encoder declares 2 output(s) — serving the GRAPH (width=1). "
       "Repackage this bundle.\n"},
      {{"--no-width", "--meta-width", "7"}, 0,
       "[tq_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) — serving the GRAPH (width=0). "
       "Repackage this bundle.\n"},
  };
  const std::vector<float> a = speechOf(1.0);
  for (const Case& c : cases) {
    const Fixture& fx = fixture(c.opts);
    testing::internal::CaptureStderr();
    Handle h(fx);
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_NE(h.h, nullptr);
    EXPECT_EQ(tq_a2x_width(h), c.width);
    if (c.warning.empty())
      EXPECT_EQ(log.find("WARNING"), std::string::npos) << log;
    else
      EXPECT_NE(log.find(c.warning), std::string::npos) << log;
    const Frames f = stream(h, a, {5120});
    bool anyWidth = false;
    for (float w : f.wn) anyWidth |= w != 0.0f;
    EXPECT_EQ(anyWidth, c.width == 1);
    std::vector<float> out(25 * kKp), wn(25);
    if (c.width == 0) {
      EXPECT_EQ(tq_a2x_deltas_wn(h, a.data(), static_cast<int>(a.size()), out.data(), wn.data(), 25), -3);
      EXPECT_STREQ(tq_a2x_last_error(), "tq_a2x_deltas_wn: encoder declares no wn output");
    }
  }
}

// Refusals at creation, through the exported function, on real directories.
TEST(A2xStream, CreationRefusals) {
  const Fixture& good = fixture();
  tqtest::TempDir tmp;
  // A copy of the good directory with a shell edit run inside it.
  auto copyDir = [&](const std::string& name, const std::string& edit) {
    const std::string d = tmp / name;
    EXPECT_EQ(tqtest::runCommand("cp -r '" + good.motion + "' '" + d + "' && cd '" + d + "' && " + edit), 0);
    return d;
  };
  const std::string empty = tmp / "empty";
  tqtest::runCommand("mkdir -p '" + empty + "'");
  const std::string noWindow = copyDir("nowindow", "echo '{\"h\": 16, \"left\": 4, \"layers\": 2}' > a2x_meta.json");
  const std::string negLeft = copyDir("negleft", "echo '{\"h\": 16, \"window\": 2, \"left\": -1}' > a2x_meta.json");
  const std::string emptyMeta = copyDir("emptymeta", ": > a2x_meta.json");
  const std::string shortPos = copyDir("shortpos", "truncate -s 124 a2x_pos.f32");  // 31 floats < 2 x 16
  const std::string shortNorm = copyDir("shortnorm", "truncate -s 500 a2x_norm.f32");
  const std::string noXs = copyDir("noxs", "rm xs_target.bin");
  const std::string secondLayout = copyDir("second", "mv xs_target.bin target_keypoints.bin && mv a2x_dec.onnx "
                                           "audio_motion_decoder.onnx && mv a2x_enc_stream.onnx audio_motion_encoder.onnx");

  const std::string readFailed = "tq_a2x_create: pos/norm/xs_target read failed";
  struct Case {
    std::string dir;
    const char* w2v;  // null: W2V_ONNX unset
    std::string error;
  };
  const std::vector<Case> cases = {
      {empty, good.w2v.c_str(), "tq_a2x_create: a2x_meta.json missing in " + empty},
      {emptyMeta, good.w2v.c_str(), "tq_a2x_create: a2x_meta.json missing in " + emptyMeta},
      {noWindow, good.w2v.c_str(), "tq_a2x_create: meta lacks causal window/left (not a streaming a2x)"},
      {negLeft, good.w2v.c_str(), "tq_a2x_create: meta lacks causal window/left (not a streaming a2x)"},
      {shortPos, good.w2v.c_str(), readFailed},
      {shortNorm, good.w2v.c_str(), readFailed},
      {noXs, good.w2v.c_str(), readFailed},
      {good.motion, nullptr, "tq_a2x_create: $W2V_ONNX not set"},
      {secondLayout, good.w2v.c_str(), ""},
  };
  for (const Case& c : cases) {
    tqtest::ScopedEnv env("W2V_ONNX", c.w2v);
    tq_a2x* h = tq_a2x_create(c.dir.c_str(), 1);
    EXPECT_EQ(h == nullptr, !c.error.empty()) << c.dir;
    if (!c.error.empty()) {
      EXPECT_EQ(tq_a2x_last_error(), c.error);
    }
    tq_a2x_destroy(h);
  }
  tqtest::ScopedEnv unset("W2V_ONNX", nullptr);
  EXPECT_EQ(tq_a2x_preload_w2v(nullptr), 0);
  EXPECT_STREQ(tq_a2x_last_error(), "tq_a2x_preload_w2v: no path and $W2V_ONNX unset");
  EXPECT_EQ(tq_a2x_preload_w2v(""), 0);
  EXPECT_EQ(tq_a2x_w2v8_lazy(), 1);
  // Null handles are harmless.
  tq_a2x_destroy(nullptr);
  EXPECT_EQ(tq_a2x_nt(nullptr), 0);
  EXPECT_EQ(tq_a2x_avail(nullptr), 0);
}

// A graph that fails at run time: the calls report what is ready and the text.
TEST(A2xStream, RunTimeFailureIsReportedByAvailAndPull) {
  tqtest::TempDir tmp;
  const Fixture& good = fixture();
  const std::string d = tmp / "bad";
  ASSERT_EQ(tqtest::runCommand("cp -r '" + good.motion + "' '" + d + "'"), 0);
  // The meta's width disagrees with the graphs' (16): the encoder cannot add pos_window.
  tqtest::writeText(d + "/a2x_meta.json", "{\"h\": 8, \"window\": 2, \"left\": 4, \"layers\": 2, \"width\": true}");
  tqtest::ScopedEnv env("W2V_ONNX", good.w2v.c_str());
  tq_a2x* h = tq_a2x_create(d.c_str(), 1);
  ASSERT_NE(h, nullptr) << tq_a2x_last_error();
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
  tq_a2x_destroy(h);
}

// A long stream holds no more than its first ten seconds did: every buffer is
// bounded at every step (the benchmark runs the same for ten minutes).
TEST(A2xStream, WorkingSetStaysBounded) {
  tqtest::ScopedEnv env("W2V_ONNX", fixture().w2v.c_str());
  tq::A2x engine(fixture().motion, 1);
  const std::vector<float> a = speechOf(20.0);
  int idx[32];
  float src[32 * kKp], drv[32 * kKp];
  std::size_t after10s = 0, peak = 0;
  const int seconds = tqtest::underEmulation() ? 60 : 180;
  for (int64_t pos = 0, k = 0; pos < int64_t(seconds) * 16000; pos += 5120, ++k) {
    engine.push(a.data() + (pos % int64_t(a.size() - 5120)), 5120);
    engine.avail();
    while (engine.pull(idx, src, drv, nullptr, 32) > 0) {
    }
    const auto s = engine.stats();
    if (pos < 10 * 16000) after10s = std::max(after10s, s.bytes);
    peak = std::max(peak, s.bytes);
    EXPECT_LE(s.featureRows, 200) << pos;
    EXPECT_LE(s.samplesHeld, 128000 + 64000 + 5120) << pos;
  }
  RecordProperty("bytes_after_10s", static_cast<int>(after10s));
  RecordProperty("bytes_peak", static_cast<int>(peak));
  EXPECT_LE(peak, after10s + after10s / 4) << "10 s: " << after10s << " B, peak " << peak << " B";
}

}  // namespace
