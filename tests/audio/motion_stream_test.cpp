// Streaming behaviour: pulls do not depend on how the audio is cut into
// pushes; eager speculation is always taken back; the working set of a long
// stream stays flat.
#include <gtest/gtest.h>

#include <random>

#include "audio/tq_motion.h"
#include "motion_test_util.h"

using namespace motiontest;

namespace {

const Frames& wholePush() {
  static Frames f = [] {
    MotionPtr h = open(files().dir);
    return stream(h.get(), files().speech, {1 << 30});
  }();
  return f;
}

void expectSame(const Frames& a, const Frames& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  EXPECT_EQ(a.idx, b.idx) << what;
  EXPECT_EQ(0, std::memcmp(a.src.data(), b.src.data(), a.src.size() * sizeof(float))) << what;
  EXPECT_EQ(0, std::memcmp(a.drv.data(), b.drv.data(), a.drv.size() * sizeof(float))) << what;
}

Frames firstOf(Frames f, size_t n) {
  f.idx.resize(n), f.src.resize(63 * n), f.drv.resize(63 * n);
  return f;
}

}  // namespace

TEST(MotionStream, PushSizesGiveBitIdenticalPulls) {
  std::mt19937 rng(5);
  std::vector<int> random(64);
  for (int& n : random) n = 1 + static_cast<int>(rng() % 9000);
  const std::vector<std::pair<std::string, std::vector<int>>> cases = {
      {"1", {1}}, {"160", {160}}, {"640", {640}}, {"5120", {5120}}, {"random", random}};
  MotionPtr h = open(files().dir);
  for (const auto& c : cases) expectSame(stream(h.get(), files().speech, c.second), wholePush(), c.first);
  // Speech and silence drive the lips differently.
  const std::vector<float> silence(files().speech.size(), 0.0f);
  const Frames quiet = stream(h.get(), silence, {640});
  ASSERT_EQ(quiet.size(), wholePush().size());
  double diff = 0;
  for (size_t i = 0; i < quiet.drv.size(); ++i) diff += std::fabs(quiet.drv[i] - wholePush().drv[i]);
  EXPECT_GT(diff / quiet.drv.size(), 1e-4);
}

TEST(MotionStream, EagerSpeculationIsTakenBack) {
  for (int eager : {2, 5, -1}) {
    SCOPED_TRACE("eager " + std::to_string(eager));
    // Speculating on every push but pulling only at the end gives the eager-off frames.
    MotionPtr h = open(files().dir);
    tq_motion_set_eager(h.get(), eager);
    tq_motion_reset(h.get(), 0, 1, 0);
    for (size_t at = 0; at < files().speech.size(); at += 640) {
      const int n = static_cast<int>(std::min<size_t>(640, files().speech.size() - at));
      ASSERT_EQ(tq_motion_push(h.get(), files().speech.data() + at, n), 1);
      tq_motion_avail(h.get());
    }
    tq_motion_finish(h.get());
    Frames late;
    pullReady(h.get(), &late);
    expectSame(late, wholePush(), "pulled after finish");

    // Pulling in lockstep with an eager-off engine: eager frames come earlier,
    // and every frame the eager-off engine could also have given is the same.
    MotionPtr off = open(files().dir);
    tq_motion_reset(h.get(), 0, 1, 0);
    tq_motion_reset(off.get(), 0, 1, 0);
    Frames e, o;
    size_t firstEager = 0, firstOff = 0, confirmed = 0;
    for (size_t at = 0, step = 0; at < files().speech.size(); at += 640, ++step) {
      const int n = static_cast<int>(std::min<size_t>(640, files().speech.size() - at));
      tq_motion_push(h.get(), files().speech.data() + at, n);
      tq_motion_push(off.get(), files().speech.data() + at, n);
      pullReady(h.get(), &e);
      pullReady(off.get(), &o);
      if (!firstEager && e.size()) firstEager = step + 1;
      if (!firstOff && o.size()) firstOff = step + 1;
      confirmed = std::max(confirmed, std::min(e.size(), o.size()));
    }
    tq_motion_finish(h.get());
    tq_motion_finish(off.get());
    pullReady(h.get(), &e);
    pullReady(off.get(), &o);
    ASSERT_EQ(e.size(), wholePush().size());
    EXPECT_LT(firstEager + 50, firstOff);
    expectSame(firstOf(e, confirmed), firstOf(wholePush(), confirmed), "frames the eager-off engine also had");
    expectSame(o, wholePush(), "eager-off lockstep");
  }
}

TEST(MotionStream, EagerOffMidUtteranceWithdrawsSpeculation) {
  const auto& x = files().speech;
  MotionPtr h = open(files().dir);
  tq_motion_set_eager(h.get(), 4);
  tq_motion_reset(h.get(), 0, 1, 0);
  Frames f;
  const int head = 640 * 100 + 4480;  // the second chunk is speculative
  tq_motion_push(h.get(), x.data(), head);
  EXPECT_GT(tq_motion_avail(h.get()), 90);
  tq_motion_set_eager(h.get(), 0);
  pullReady(h.get(), &f);
  EXPECT_EQ(f.size(), 69u);
  tq_motion_push(h.get(), x.data() + head, static_cast<int>(x.size()) - head);
  tq_motion_finish(h.get());
  pullReady(h.get(), &f);
  expectSame(f, wholePush(), "eager switched off");
}

TEST(MotionStream, WorkingSetStaysFlatOverTenMinutes) {
  tq::motion::MotionEngine engine(files().dir, 1, "");
  engine.reset(0, 1, true);
  const auto& x = files().speech;
  std::vector<int> idx(64);
  std::vector<float> s(64 * 63), d(64 * 63);
  const long tenMinutes = 16000L * 600;
  std::size_t after20s = 0;
  long pushed = 0, pulled = 0;
  while (pushed < tenMinutes) {
    const long room = std::min(static_cast<long>(x.size()) - pushed % static_cast<long>(x.size()), tenMinutes - pushed);
    const int n = static_cast<int>(std::min<long>(1280, room));
    engine.push(x.data() + pushed % x.size(), n);
    pushed += n;
    pulled += engine.pull(idx.data(), s.data(), d.data(), 64);
    if (!after20s && pushed >= 16000L * 20) after20s = engine.workingBytes();
  }
  EXPECT_EQ(engine.workingBytes(), after20s);
  EXPECT_GT(pulled, 14900);
  engine.finish();
  while (engine.avail() > 0) pulled += engine.pull(idx.data(), s.data(), d.data(), 64);
  EXPECT_EQ(pulled, engine.total());
  EXPECT_EQ(engine.total(), 15000);
}
