// DriverCursor over an in-memory source: play order, wrap, ring hits and source
// seeks, in-place frames, argument clamping and sticky source failures.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cursor_test_source.h"
#include "driver/tq_driver.h"
#include "tq_test_util.h"

using cursortest::expectedFrame;
using cursortest::frameIs;
using cursortest::makeSource;
using cursortest::Probe;
using cursortest::SourceConfig;
using tqtest::thrown;

namespace {

struct Fixture {
  std::shared_ptr<Probe> probe = std::make_shared<Probe>();
  std::unique_ptr<tq::DriverCursor> cursor;
  std::vector<uint8_t> buf;

  Fixture(const SourceConfig& config, int ahead, int hist) {
    cursor = tq::DriverCursor::over(makeSource(config, probe), ahead, hist);
    buf.resize(cursor->frameBytes);
  }

  // Copying pull; checks the bytes belong to the index reported.
  int pull() {
    int idx = cursor->pull(buf.data());
    EXPECT_TRUE(frameIs(buf.data(), buf.size(), idx)) << "pull reported frame " << idx;
    return idx;
  }
  int pullAt(int i) {
    int got = cursor->pullAt(i, buf.data());
    EXPECT_TRUE(frameIs(buf.data(), buf.size(), i)) << "pullAt(" << i << ") bytes";
    return got;
  }
  void pullUpTo(int last) {  // sequential pulls from frame 0 to `last`
    for (int i = 0; i <= last; ++i) ASSERT_EQ(pull(), i);
  }
};

}  // namespace

// ---------------------------------------------------------------- play order

TEST(CursorPlay, AllPullFormsShareOnePosition) {
  SourceConfig config;
  config.NT = 10;
  Fixture f(config, 2, 4);
  const std::size_t n = f.cursor->frameBytes;
  int idx = -1;

  EXPECT_EQ(f.pull(), 0);
  const uint8_t* p = f.cursor->pull(&idx);
  EXPECT_EQ(idx, 1);
  EXPECT_TRUE(frameIs(p, n, 1));
  uint8_t* q = f.cursor->pullMut(&idx);
  EXPECT_EQ(idx, 2);
  EXPECT_TRUE(frameIs(q, n, 2));

  // pullAt moves the position; the next plain pull continues after it.
  EXPECT_EQ(f.pullAt(7), 7);
  EXPECT_EQ(f.cursor->position(), 8);
  EXPECT_EQ(f.pull(), 8);
  p = f.cursor->pullAt(9, &idx);
  EXPECT_EQ(idx, 9);
  EXPECT_TRUE(frameIs(p, n, 9));
  EXPECT_EQ(f.cursor->position(), 0) << "the frame after the last is frame 0";
  EXPECT_EQ(f.pull(), 0);
  q = f.cursor->pullMutAt(4, &idx);
  EXPECT_EQ(idx, 4);
  EXPECT_TRUE(frameIs(q, n, 4));

  f.cursor->seek(6);
  EXPECT_EQ(f.cursor->position(), 6);
  EXPECT_EQ(f.pull(), 6);
}

TEST(CursorPlay, FieldsAndMemoryComeFromTheSource) {
  SourceConfig config;
  config.NT = 9;
  config.W = 5;
  config.H = 3;
  config.frameBytes = 5 * 3 * 6;  // a frame layout other than RGB24
  config.resident = 777;
  Fixture f(config, 2, 11);
  EXPECT_EQ(f.cursor->NT, 9);
  EXPECT_EQ(f.cursor->W, 5);
  EXPECT_EQ(f.cursor->H, 3);
  EXPECT_EQ(f.cursor->frameBytes, 90u);
  EXPECT_EQ(f.cursor->backend, "synthetic");
  EXPECT_EQ(f.cursor->residentBytes(), 14u * 90u + 777u);
  for (int k = 0; k < 20; ++k) {  // wraps from the last frame to the first
    EXPECT_EQ(f.pull(), k % 9);
    EXPECT_EQ(f.cursor->position(), (k + 1) % 9);
  }
  EXPECT_EQ(f.cursor->residentBytes(), 14u * 90u + 777u) << "the ring never grows";
  EXPECT_EQ(f.cursor->seeks(), 0) << "wrapping rewinds the source; it is not a seek";
  EXPECT_EQ(f.probe->seekCount(), 0);
}

// ---------------------------------------------------------------- ring hits and seeks

TEST(CursorRing, LookAheadAndHistoryAreServedWithoutSeeking) {
  Fixture f(SourceConfig{}, 2, 11);
  f.pullUpTo(3);
  EXPECT_EQ(f.pullAt(4), 4);
  EXPECT_EQ(f.pullAt(5), 5);  // look-ahead
  EXPECT_EQ(f.pullAt(4), 4);  // history
  EXPECT_EQ(f.pullAt(5), 5);
  EXPECT_EQ(f.cursor->seeks(), 0);

  // From frame 20, frame 9 is hist = 11 frames back: still in the ring.
  for (int i = 6; i <= 20; ++i) ASSERT_EQ(f.pull(), i);
  EXPECT_EQ(f.pullAt(9), 9);
  EXPECT_EQ(f.pull(), 10) << "play continues from the history frame";
  EXPECT_EQ(f.pull(), 11);
  EXPECT_EQ(f.cursor->seeks(), 0);
  EXPECT_EQ(f.probe->seekCount(), 0);
}

TEST(CursorRing, FramesOutsideTheRingCostOneSeekEach) {
  Fixture f(SourceConfig{}, 2, 11);
  f.pullUpTo(4);
  // With frame 4 taken, at most frames 5 and 6 are buffered and 7 is the next
  // to decode: frame 8 is beyond the look-ahead.
  EXPECT_EQ(f.pullAt(8), 8);
  EXPECT_EQ(f.cursor->seeks(), 1);
  for (int i = 9; i <= 25; ++i) ASSERT_EQ(f.pull(), i);
  EXPECT_EQ(f.cursor->seeks(), 1);

  // Frame 13 is 12 frames behind frame 25, one more than the history keeps.
  EXPECT_EQ(f.pullAt(13), 13);
  EXPECT_EQ(f.cursor->seeks(), 2);
  EXPECT_EQ(f.pull(), 14);
  EXPECT_EQ(f.pull(), 15);
  EXPECT_EQ(f.cursor->seeks(), 2);

  // A jump back to the start, then forward to the last frame, then the wrap.
  EXPECT_EQ(f.pullAt(0), 0);
  EXPECT_EQ(f.cursor->seeks(), 3);
  EXPECT_EQ(f.pullAt(39), 39);
  EXPECT_EQ(f.cursor->seeks(), 4);
  EXPECT_EQ(f.pull(), 0) << "wrap after a seek to the last frame";
  EXPECT_EQ(f.cursor->seeks(), 4);
  EXPECT_EQ(f.probe->seekCount(), 4) << "every counted seek reached the source once";
}

TEST(CursorRing, FramesStillInTheRingAfterASeekAreReused) {
  Fixture f(SourceConfig{}, 2, 11);
  f.pullUpTo(20);
  EXPECT_EQ(f.pullAt(8), 8);  // 12 back: a seek
  EXPECT_EQ(f.cursor->seeks(), 1);
  EXPECT_EQ(f.pull(), 9);
  EXPECT_EQ(f.pull(), 10);
  // Frame 14 was decoded before the seek and its slot has not been reused.
  EXPECT_EQ(f.pullAt(14), 14);
  EXPECT_EQ(f.cursor->seeks(), 1);
  EXPECT_EQ(f.pull(), 15);
  EXPECT_EQ(f.cursor->seeks(), 1);
}

TEST(CursorRing, SeekMakesFrameNextAndOutOfRangeSeeksAreRefused) {
  Fixture f(SourceConfig{}, 2, 11);
  f.pullUpTo(2);
  f.cursor->seek(30);
  EXPECT_EQ(f.cursor->position(), 30);
  EXPECT_EQ(f.pull(), 30);
  EXPECT_EQ(f.pull(), 31);

  EXPECT_EQ(thrown([&] { f.cursor->seek(40); }), "tq_driver: seek(40) outside [0,40)");
  EXPECT_EQ(thrown([&] { f.cursor->seek(-1); }), "tq_driver: seek(-1) outside [0,40)");
  EXPECT_EQ(thrown([&] { f.cursor->pullAt(40, f.buf.data()); }), "tq_driver: seek(40) outside [0,40)");
  int idx = 0;
  EXPECT_EQ(thrown([&] { f.cursor->pullAt(-5, &idx); }), "tq_driver: seek(-5) outside [0,40)");
  EXPECT_EQ(thrown([&] { f.cursor->pullMutAt(41, &idx); }), "tq_driver: seek(41) outside [0,40)");

  // The refusals changed nothing: play goes on where it was.
  EXPECT_EQ(f.cursor->position(), 32);
  EXPECT_EQ(f.pull(), 32);
  EXPECT_EQ(f.pullAt(31), 31);
}

TEST(CursorRing, LookAheadBelowOneAndNegativeHistoryAreClamped) {
  SourceConfig config;
  config.resident = 5;
  Fixture f(config, 0, -1);
  const std::size_t n = f.cursor->frameBytes;
  EXPECT_EQ(f.cursor->residentBytes(), 2 * n + 5) << "look-ahead 1 + history 0 + 1 slots";
  f.pullUpTo(5);  // a look-ahead of 0 would never decode
  // History 0 still keeps the frame just handed out.
  EXPECT_EQ(f.pullAt(5), 5);
  EXPECT_EQ(f.cursor->seeks(), 0);
  EXPECT_EQ(f.pullAt(4), 4);
  EXPECT_EQ(f.cursor->seeks(), 1);
  EXPECT_EQ(f.pull(), 5);
}

TEST(CursorRing, InPlaceFrameSurvivesTheDecoderRefillingTheRing) {
  // Smallest ring for a look-ahead of 2: three slots. After each pull, wait
  // until the decoder has filled the look-ahead behind the consumer's back, then
  // check that the frame handed out in place was not overwritten.
  Fixture f(SourceConfig{}, 2, 0);
  const std::size_t n = f.cursor->frameBytes;
  for (int k = 0; k < 30; ++k) {
    int idx = -1;
    const uint8_t* p = f.cursor->pull(&idx);
    ASSERT_EQ(idx, k);
    f.probe->waitDecodes(k + 1 + 2);
    ASSERT_TRUE(frameIs(p, n, k)) << "frame " << k << " was overwritten while in use";
  }
}

TEST(CursorRing, MutatedFramesAreNeverServedAgainFromHistory) {
  Fixture f(SourceConfig{}, 2, 11);
  const std::size_t n = f.cursor->frameBytes;
  f.pullUpTo(9);
  int idx = -1;
  uint8_t* p = f.cursor->pullMut(&idx);
  ASSERT_EQ(idx, 10);
  std::memset(p, 0xAB, n);

  // Frame 10 itself: not reused, so it costs a seek and arrives unscribbled.
  EXPECT_EQ(f.pullAt(10), 10);
  EXPECT_EQ(f.cursor->seeks(), 1);

  // Frames before a mutated one are excluded too.
  p = f.cursor->pullMutAt(11, &idx);
  ASSERT_EQ(idx, 11);
  EXPECT_EQ(f.cursor->seeks(), 1) << "frame 11 came from the look-ahead";
  std::memset(p, 0xCD, n);
  EXPECT_EQ(f.pullAt(9), 9);
  EXPECT_EQ(f.cursor->seeks(), 2);

  // Untouched frames taken after that are reusable as usual.
  EXPECT_EQ(f.pull(), 10);
  EXPECT_EQ(f.pull(), 11);
  EXPECT_EQ(f.pullAt(10), 10);
  EXPECT_EQ(f.cursor->seeks(), 2);
}

// ---------------------------------------------------------------- source failures

TEST(CursorFailure, ShortSourceFailsAfterItsLastFrameAndStaysFailed) {
  SourceConfig config;
  config.NT = 5;
  config.endAfter = 3;
  // Look-ahead 1: frame k+1 is only decoded once frame k was handed out, so the
  // failure surfaces exactly at the pull after the last good frame.
  Fixture f(config, 1, 4);
  f.pullUpTo(2);
  const std::string want =
      "tq_driver: synthetic ended after 3 frames, the manifest says NT=5 — a short driver is a "
      "session that stops part way through the loop, refusing";
  EXPECT_EQ(thrown([&] { f.cursor->pull(f.buf.data()); }), want);
  EXPECT_EQ(thrown([&] { f.cursor->pull(f.buf.data()); }), want);
  EXPECT_EQ(thrown([&] { f.cursor->pullAt(1, f.buf.data()); }), want)
      << "even a frame still in the history is refused";
  EXPECT_EQ(thrown([&] { f.cursor->seek(0); }), want);
  int idx = 0;
  EXPECT_EQ(thrown([&] { f.cursor->pullMut(&idx); }), want);
  EXPECT_EQ(thrown([&] { f.cursor->seek(5); }), "tq_driver: seek(5) outside [0,5)")
      << "range checks come first";
}

TEST(CursorFailure, SourceExceptionsAreRecordedWithThePrefix) {
  const std::string texts[] = {"frame 2 is unreadable", "tq_driver: frame 2 is unreadable"};
  for (const std::string& text : texts) {
    SourceConfig config;
    config.throwAtFrame = 2;
    config.throwText = text;
    Fixture f(config, 1, 4);
    f.pullUpTo(1);
    EXPECT_EQ(thrown([&] { f.cursor->pull(f.buf.data()); }), "tq_driver: " + text);
    EXPECT_EQ(thrown([&] { f.cursor->pullAt(0, f.buf.data()); }), "tq_driver: " + text);
  }
}

TEST(CursorFailure, FailedSourceSeekIsRecordedAndSticky) {
  SourceConfig config;
  config.seekThrowText = "no random access";
  Fixture f(config, 2, 11);
  f.pullUpTo(3);
  EXPECT_EQ(f.pullAt(2), 2) << "history needs no source seek";
  const std::string want = "tq_driver: seek failed: no random access";
  EXPECT_EQ(thrown([&] { f.cursor->pullAt(30, f.buf.data()); }), want);
  EXPECT_EQ(thrown([&] { f.cursor->pull(f.buf.data()); }), want);
  EXPECT_EQ(thrown([&] { f.cursor->seek(3); }), want);
}
