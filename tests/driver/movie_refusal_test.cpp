// Movies that disagree with what the caller expects are refused with the full
// message: at open (container, stream, size, stated frame count) or at the first
// frame that shows the problem (pixel layout, size change). Every movie here is
// written by the ffmpeg tool.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "driver/tq_driver_ff.h"
#include "tq_test_util.h"

namespace {

using tq::driver::SourcePtr;

class MovieRefusal : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    const auto& d = *dir_;
    struct Movie {
      const char* name;
      std::vector<std::string> args;
    };
    const std::vector<Movie> movies = {
        {"drv5.mp4", {"--size", "48x32", "--frames", "5"}},
        {"drv3.mp4", {"--size", "48x32", "--frames", "3"}},
        {"wide.mp4", {"--size", "64x32", "--frames", "2"}},
        {"tall.mp4", {"--size", "48x48", "--frames", "2"}},
        {"hd.mp4", {"--size", "128x72", "--frames", "1"}},
        {"h264_444.mp4", {"--size", "48x32", "--frames", "2", "--pix-fmt", "yuv444p"}},
        {"h264_full.mp4", {"--size", "48x32", "--frames", "2", "--pix-fmt", "yuvj420p"}},
        {"h264_10bit.mp4", {"--size", "48x32", "--frames", "2", "--pix-fmt", "yuv420p10le"}},
        {"rgb.nut", {"--size", "48x32", "--frames", "2", "--codec", "rawvideo", "--pix-fmt", "rgb24"}},
        {"part_a.h264", {"--size", "48x32", "--frames", "2"}},
        {"part_b.h264", {"--size", "64x32", "--frames", "2"}},
        {"prior.mov", {"--size", "32x32", "--frames", "3", "--codec", "libx265", "--pix-fmt", "yuv444p"}},
        {"prior420.mov", {"--size", "32x32", "--frames", "3", "--codec", "libx265", "--pix-fmt", "yuv420p"}},
        {"prior10.mov", {"--size", "32x32", "--frames", "2", "--codec", "libx265", "--pix-fmt", "yuv444p10le"}},
        {"prior_nv12.nut", {"--size", "32x32", "--frames", "2", "--codec", "rawvideo", "--pix-fmt", "nv12"}},
    };
    // One run of the fixture tool; steps are separated by "+".
    std::vector<std::string> args = {"movie-batch"};
    for (const auto& m : movies) {
      args.insert(args.end(), {"+", "movie", d / m.name});
      args.insert(args.end(), m.args.begin(), m.args.end());
    }
    args.insert(args.end(), {"+", "movie-concat", d / "resize.h264", d / "part_a.h264", d / "part_b.h264"});
    args.insert(args.end(), {"+", "movie-audio", d / "tone.m4a"});
    const bool ok = tqtest::runFixtureTool(args);
    tqtest::writeText(d / "notes.mp4", "this is a text file, not a movie\n");
    fixturesOk_ = ok;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(fixturesOk_) << "fixture generation failed"; }

  static std::string path(const std::string& name) { return *dir_ / name; }

  static tqtest::TempDir* dir_;
  static bool fixturesOk_;
};
tqtest::TempDir* MovieRefusal::dir_ = nullptr;
bool MovieRefusal::fixturesOk_ = false;

struct OpenArgs {
  bool prior;
  const char* movie;
  int NT, W, H;  // prior: side = W
};

SourcePtr openAs(const OpenArgs& a, const std::string& p) {
  return a.prior ? tq::driver::openPriorHevc(p, a.NT, a.W) : tq::driver::openMp4(p, a.NT, a.W, a.H);
}

TEST_F(MovieRefusal, RefusedAtOpen) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  struct Case {
    OpenArgs open;
    std::string tail;  // message after "tq_driver: " + path
  };
  const std::vector<Case> cases = {
      {{false, "missing.mp4", 5, 48, 32}, " is not a readable container"},
      {{false, "notes.mp4", 5, 48, 32}, " is not a readable container"},
      {{true, "missing.mov", 3, 32, 32}, " is not a readable container"},
      {{false, "tone.m4a", 5, 48, 32}, " has no video stream"},
      {{true, "tone.m4a", 3, 32, 32}, " has no video stream"},
      {{false, "wide.mp4", 2, 48, 32}, " is 64x32, the manifest says 48x32 — refusing to rescale the driver"},
      {{false, "tall.mp4", 2, 48, 32}, " is 48x48, the manifest says 48x32 — refusing to rescale the driver"},
      {{false, "hd.mp4", 1, 192, 108}, " is 128x72, the manifest says 192x108 — refusing to rescale the driver"},
      {{true, "prior.mov", 3, 16, 16}, " is 32x32, the manifest says 16x16 — refusing to rescale the driver"},
      {{false, "drv5.mp4", 3, 48, 32}, " carries 5 frames, the manifest says NT=3 — member/manifest mismatch, refusing"},
      {{false, "drv5.mp4", 7, 48, 32}, " carries 5 frames, the manifest says NT=7 — member/manifest mismatch, refusing"},
      {{false, "drv3.mp4", 5, 48, 32}, " carries 3 frames, the manifest says NT=5 — member/manifest mismatch, refusing"},
      {{true, "prior.mov", 4, 32, 32}, " carries 3 frames, the manifest says NT=4 — member/manifest mismatch, refusing"},
      // Size is checked before the count.
      {{false, "wide.mp4", 9, 48, 32}, " is 64x32, the manifest says 48x32 — refusing to rescale the driver"},
  };
  for (const auto& c : cases) {
    const std::string p = path(c.open.movie);
    SCOPED_TRACE(std::string(c.open.prior ? "prior " : "driver ") + c.open.movie);
    try {
      SourcePtr s = openAs(c.open, p);
      ADD_FAILURE() << "opened";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "tq_driver: " + p + c.tail);
    }
  }
}

TEST_F(MovieRefusal, RefusedAtTheFrameThatShowsIt) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  const std::string driverTail =
      ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — refusing rather than "
      "pasting onto a different pixel domain";
  const std::string priorTail =
      ", not the yuv444p a warp prior is authored in — a subsampled prior is a different mouth, refusing";
  struct Case {
    OpenArgs open;
    int goodFrames;  // frames delivered before the refusal
    std::string tail;
  };
  const std::vector<Case> cases = {
      {{true, "prior420.mov", 3, 32, 32}, 0, " decoded to yuv420p" + priorTail},
      {{true, "prior10.mov", 2, 32, 32}, 0, " decoded to yuv444p10le" + priorTail},
      {{true, "prior_nv12.nut", 2, 32, 32}, 0, " decoded to nv12" + priorTail},
      {{false, "h264_444.mp4", 2, 48, 32}, 0, " decoded to yuv444p" + driverTail},
      {{false, "h264_full.mp4", 2, 48, 32}, 0, " decoded to yuvj420p" + driverTail},
      {{false, "h264_10bit.mp4", 2, 48, 32}, 0, " decoded to yuv420p10le" + driverTail},
      {{false, "rgb.nut", 2, 48, 32}, 0, " decoded to rgb24" + driverTail},
      // Two 48x32 frames, then the stream switches to 64x32.
      {{false, "resize.h264", 4, 48, 32}, 2, " changed size mid-stream — refusing"},
  };
  for (const auto& c : cases) {
    const std::string p = path(c.open.movie);
    SCOPED_TRACE(std::string(c.open.prior ? "prior " : "driver ") + c.open.movie);
    SourcePtr s = openAs(c.open, p);  // the header is fine: the open succeeds
    std::vector<uint8_t> buf(s->frameBytes());
    for (int i = 0; i < c.goodFrames; ++i) ASSERT_TRUE(s->next(buf.data())) << "frame " << i;
    try {
      s->next(buf.data());
      ADD_FAILURE() << "frame " << c.goodFrames << " was delivered";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "tq_driver: " + p + c.tail);
    }
    // A seek that has to decode through the frame hits the same refusal.
    s->rewind();
    if (c.goodFrames + 1 < s->NT()) {
      try {
        s->seek(c.goodFrames + 1);
        ADD_FAILURE() << "seek past the refused frame succeeded";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "tq_driver: " + p + c.tail);
      }
    }
  }
}

}  // namespace
