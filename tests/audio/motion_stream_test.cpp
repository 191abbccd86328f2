// Streaming behaviour: push sizes, abandoned utterances, eager speculation, working set.
#include <random>

#include "audio/tq_motion.h"
#include "motion_test_util.h"

using namespace motiontest;

namespace {

const Frames& wholePush() {
  static const Frames f = stream(open(files().dir).get(), files().speech, {1 << 30});
  return f;
}

// a equals b, bit for bit, over the first n frames (all frames when n is 0).
void expectSame(Frames a, Frames b, const std::string& what, size_t n = 0) {
  for (Frames* f : {&a, &b})
    if (n) f->idx.resize(n), f->src.resize(63 * n), f->drv.resize(63 * n);
  EXPECT_TRUE(a.idx == b.idx && a.src == b.src && a.drv == b.drv) << what << ": " << a.size() << " / " << b.size();
}

// Also after a reset that abandons half an utterance already pulled from.
TEST(MotionStream, PushSizesGiveBitIdenticalPulls) {
  std::mt19937 rng(5);
  std::vector<int> random(64);
  for (int& n : random) n = 1 + static_cast<int>(rng() % 9000);
  MotionPtr h = open(files().dir);
  tq_motion_reset(h.get(), 3, -1, 0);
  tq_motion_push(h.get(), files().speech.data() + 1000, 90000);
  Frames junk;
  pullReady(h.get(), &junk);
  EXPECT_GT(junk.size(), 0u);
  for (const std::vector<int>& p : {std::vector<int>{1}, {160}, {640}, {5120}, random})
    expectSame(stream(h.get(), files().speech, p), wholePush(), "pieces " + std::to_string(p[0]));
}

// Pulling in lockstep with an eager-off engine: eager frames come earlier, and every frame the
// eager-off engine could also have given is the same. Speculating on every push, then switching eager
// off and pulling only at the end gives the eager-off frames.
TEST(MotionStream, EagerSpeculationIsTakenBack) {
  const auto& x = files().speech;
  for (int eager : {2, -1}) {
    SCOPED_TRACE("eager " + std::to_string(eager));
    MotionPtr m[3] = {open(files().dir), open(files().dir), open(files().dir)};  // eager, off, eager late
    for (int i = 0; i < 3; ++i) tq_motion_reset(m[i].get(), 0, 1, 0), tq_motion_set_eager(m[i].get(), i == 1 ? 0 : eager);
    Frames f[3];
    size_t first[2] = {0, 0}, confirmed = 0;
    for (size_t at = 0, step = 1; at < x.size(); at += 640, ++step) {
      for (auto& h : m) tq_motion_push(h.get(), x.data() + at, static_cast<int>(std::min<size_t>(640, x.size() - at)));
      tq_motion_avail(m[2].get());
      for (int i = 0; i < 2; ++i) {
        pullReady(m[i].get(), &f[i]);
        if (!first[i] && f[i].size()) first[i] = step;
      }
      confirmed = std::max(confirmed, std::min(f[0].size(), f[1].size()));
    }
    tq_motion_set_eager(m[2].get(), 0);  // withdraws what it speculated
    for (int i = 0; i < 3; ++i) tq_motion_finish(m[i].get()), pullReady(m[i].get(), &f[i]);
    expectSame(f[2], wholePush(), "eager switched off, pulled after finish");
    ASSERT_EQ(f[0].size(), wholePush().size());
    EXPECT_LT(first[0] + 50, first[1]);
    expectSame(f[0], wholePush(), "frames the eager-off engine also had", confirmed);
    expectSame(f[1], wholePush(), "eager-off lockstep");
  }
}

TEST(MotionStream, WorkingSetStaysFlatOverTenMinutes) {
  tq::motion::MotionEngine engine(files().dir, 1, "");
  engine.reset(0, 1, true);
  const auto& x = files().speech;
  std::vector<int> idx(64);
  std::vector<float> s(64 * 63), d(64 * 63);
  std::size_t after20s = 0;
  long pulled = 0;
  for (long pushed = 0, n; pushed < 16000L * 600; pushed += n) {  // 1280 at a time, cut at the clip's end
    n = std::min<long>({1280, static_cast<long>(x.size() - pushed % x.size()), 16000L * 600 - pushed});
    engine.push(x.data() + pushed % x.size(), static_cast<int>(n));
    pulled += engine.pull(idx.data(), s.data(), d.data(), 64);
    if (!after20s && pushed >= 16000L * 20) after20s = engine.workingBytes();
  }
  EXPECT_EQ(engine.workingBytes(), after20s);
  engine.finish();
  while (engine.avail() > 0) pulled += engine.pull(idx.data(), s.data(), d.data(), 64);
  EXPECT_EQ(pulled, 15000);
  EXPECT_EQ(engine.total(), 15000);
}

}  // namespace
