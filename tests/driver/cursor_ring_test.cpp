// DriverCursor over an in-memory source: play order, wrap, ring hits and source
// seeks, in-place frames, argument clamping and sticky source failures.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cursor_test_source.h"
#include "driver/tq_driver.h"
#include "tq_test_util.h"

using cursortest::frameIs;
using cursortest::Probe;
using cursortest::SourceConfig;
using tqtest::thrown;

namespace {

struct Fixture {
  std::shared_ptr<Probe> probe = std::make_shared<Probe>();
  std::unique_ptr<tq::DriverCursor> cursor;
  std::vector<uint8_t> buf;

  Fixture(const SourceConfig& config, int ahead, int hist)
      : cursor(tq::DriverCursor::over(cursortest::makeSource(config, probe), ahead, hist)), buf(cursor->frameBytes) {}

  // Plays a script of space-separated steps; every frame handed out must be
  // the one reported and expected:
  //   N or N..M  copying pulls yielding N (to M)    @N  pullAt(N), copying
  //   iN / i@N   in-place pull / pullAt             mN / m@N  mutable ones (the frame is then scribbled over)
  //   >N  seek(N)     =N  position() is N     sN  seeks() is N
  void run(const std::string& script) {
    std::istringstream in(script);
    for (std::string tok; in >> tok;) {
      SCOPED_TRACE(tok);
      const std::size_t d = tok.find_first_of("0123456789"), dots = tok.find("..");
      const std::string op = tok.substr(0, d);
      const int n = std::stoi(tok.substr(d)), last = dots == std::string::npos ? n : std::stoi(tok.substr(dots + 2));
      int idx = -1;
      const uint8_t* p = buf.data();
      if (op.empty()) {
        for (int i = n; i <= last; ++i) {
          ASSERT_EQ(cursor->pull(buf.data()), i);
          ASSERT_TRUE(frameIs(buf.data(), buf.size(), i)) << i;
        }
        continue;
      } else if (op == "@") {
        idx = cursor->pullAt(n, buf.data());
      } else if (op == "i" || op == "i@") {
        p = op == "i" ? cursor->pull(&idx) : cursor->pullAt(n, &idx);
      } else if (op == "m" || op == "m@") {
        uint8_t* q = op == "m" ? cursor->pullMut(&idx) : cursor->pullMutAt(n, &idx);
        ASSERT_EQ(idx, n);
        ASSERT_TRUE(frameIs(q, buf.size(), n));
        std::memset(q, 0xAB, buf.size());
        continue;
      } else if (op == ">") {
        cursor->seek(n);
        continue;
      } else {
        EXPECT_EQ(op == "=" ? cursor->position() : cursor->seeks(), n) << op;
        continue;
      }
      ASSERT_EQ(idx, n);
      ASSERT_TRUE(frameIs(p, buf.size(), n));
    }
  }
};

}  // namespace

TEST(CursorPlay, AllPullFormsShareOnePositionAndWrap) {
  SourceConfig config;
  config.NT = 10;
  // pullAt moves the position; the frame after the last is frame 0.
  Fixture(config, 2, 4).run("0 i1 m2 @7 =8 8 i@9 =0 0 m@4 >6 =6 6");

  config.NT = 9;
  config.W = 5;
  config.H = 3;
  config.frameBytes = 5 * 3 * 6;  // a frame layout other than RGB24
  config.resident = 777;
  Fixture f(config, 2, 11);
  EXPECT_EQ(std::make_tuple(f.cursor->NT, f.cursor->W, f.cursor->H, f.cursor->frameBytes, f.cursor->backend),
            std::make_tuple(9, 5, 3, 90u, "synthetic"));
  EXPECT_EQ(f.cursor->residentBytes(), 14u * 90u + 777u);
  f.run("0..8 0..8 =0 0 1 =2 s0");  // wrapping rewinds the source; it is not a seek
  EXPECT_EQ(f.probe->seekCount(), 0);
  EXPECT_EQ(f.cursor->residentBytes(), 14u * 90u + 777u) << "the ring never grows";
}

// Look-ahead 2 and history 11 unless stated: frames within them are served
// from the ring, anything else costs exactly one source seek.
TEST(CursorRing, RingHitsAndSeeks) {
  const struct {
    int ahead, hist;
    const char* script;
  } cases[] = {
      // Look-ahead and history; from frame 20, frame 9 is 11 back: still in the ring.
      {2, 11, "0..3 @4 @5 @4 @5 s0 6..20 @9 10 11 s0"},
      // With frame 4 taken, 5 and 6 may be buffered and 7 is next to decode: 8 is
      // beyond; 13 is 12 behind 25; then to the start, the last frame and the wrap.
      {2, 11, "0..4 @8 s1 9..25 s1 @13 s2 14 15 s2 @0 s3 @39 s4 0 s4"},
      // Frame 14, decoded before the seek to 8, is still in its slot.
      {2, 11, "0..20 @8 s1 9 10 @14 15 s1"},
      {2, 11, "0..2 >30 =30 30 31"},
      // A look-ahead below 1 counts as 1, history below 0 as 0 (the frame just handed out stays).
      {0, -1, "0..5 @5 s0 @4 s1 5"},
      // A mutated frame and every frame before it are never served from history again.
      {2, 11, "0..9 m10 @10 s1 m@11 s1 @9 s2 10 11 @10 s2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Fixture f(SourceConfig{}, c.ahead, c.hist);
    f.run(c.script);
    EXPECT_EQ(f.probe->seekCount(), f.cursor->seeks()) << "every counted seek reached the source once";
  }
  SourceConfig config;
  config.resident = 5;
  EXPECT_EQ(Fixture(config, 0, -1).cursor->residentBytes(), 2 * 72 + 5) << "look-ahead 1 + history 0 + 1 slots";

  // Out-of-range positions are refused and change nothing.
  Fixture f(SourceConfig{}, 2, 11);
  f.run("0..2 >30 30 31");
  int idx = 0;
  EXPECT_EQ(thrown([&] { f.cursor->seek(40); }), "tq_driver: seek(40) outside [0,40)");
  EXPECT_EQ(thrown([&] { f.cursor->seek(-1); }), "tq_driver: seek(-1) outside [0,40)");
  EXPECT_EQ(thrown([&] { f.cursor->pullAt(40, f.buf.data()); }), "tq_driver: seek(40) outside [0,40)");
  EXPECT_EQ(thrown([&] { f.cursor->pullAt(-5, &idx); }), "tq_driver: seek(-5) outside [0,40)");
  EXPECT_EQ(thrown([&] { f.cursor->pullMutAt(41, &idx); }), "tq_driver: seek(41) outside [0,40)");
  f.run("=32 32 @31");
}

TEST(CursorRing, InPlaceFrameSurvivesTheDecoderRefillingTheRing) {
  // Smallest ring for a look-ahead of 2: three slots. After each pull, wait
  // until the decoder has filled the look-ahead behind the consumer's back.
  Fixture f(SourceConfig{}, 2, 0);
  for (int k = 0; k < 30; ++k) {
    int idx = -1;
    const uint8_t* p = f.cursor->pull(&idx);
    ASSERT_EQ(idx, k);
    f.probe->waitDecodes(k + 1 + 2);
    ASSERT_TRUE(frameIs(p, f.buf.size(), k)) << "frame " << k << " was overwritten while in use";
  }
}

TEST(CursorFailure, SourceFailuresAreRecordedWithThePrefixAndStick) {
  const std::string shortText = "tq_driver: synthetic ended after 3 frames, the manifest says NT=5 — a short driver "
                                "is a session that stops part way through the loop, refusing";
  SourceConfig shortSrc, throws, throwsPrefixed, noSeek;
  shortSrc.NT = 5;
  shortSrc.endAfter = 3;
  throws.throwAtFrame = throwsPrefixed.throwAtFrame = 2;
  throws.throwText = "frame 2 is unreadable";
  throwsPrefixed.throwText = "tq_driver: frame 2 is unreadable";
  noSeek.seekThrowText = "no random access";
  // Look-ahead 1: frame k+1 is only decoded once frame k was handed out, so the
  // failure surfaces exactly at the step after the script.
  const struct {
    SourceConfig config;
    int ahead;
    const char* script;
    int at;  // the pullAt that meets the failure
    std::string want;
  } cases[] = {
      {shortSrc, 1, "0..2", 3, shortText},
      {throws, 1, "0..1", 2, "tq_driver: frame 2 is unreadable"},
      {throwsPrefixed, 1, "0..1", 2, "tq_driver: tq_driver: frame 2 is unreadable"},
      {noSeek, 2, "0..3 @2", 30, "tq_driver: seek failed: no random access"},  // history needs no source seek
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    Fixture f(c.config, c.ahead, 4);
    f.run(c.script);
    int idx = 0;
    EXPECT_EQ(thrown([&] { f.cursor->pullAt(c.at, f.buf.data()); }), c.want);
    EXPECT_EQ(thrown([&] { f.cursor->pull(f.buf.data()); }), c.want);
    EXPECT_EQ(thrown([&] { f.cursor->pullAt(1, f.buf.data()); }), c.want) << "even a frame in the history";
    EXPECT_EQ(thrown([&] { f.cursor->pullMut(&idx); }), c.want);
    EXPECT_EQ(thrown([&] { f.cursor->seek(0); }), c.want);
    EXPECT_EQ(thrown([&] { f.cursor->seek(c.config.NT); }),
              "tq_driver: seek(" + std::to_string(c.config.NT) + ") outside [0," + std::to_string(c.config.NT) + ")")
        << "range checks come first";
  }
}
