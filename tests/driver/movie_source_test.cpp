// Movie sources decoding real files written by the ffmpeg tool, held against
// ffmpeg's own decoding of the same files: driver frames through the 8-bit BT.601
// formula computed here, prior frames through the 16.16 formula and numpy's
// float16 (the fixture tool's movie-prior-oracle).
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/version.h>
}

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/tq_driver_ff.h"
#include "tq_test_util.h"

namespace {

using tq::driver::SourcePtr;

std::string avcodecVersion() {
  return std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
         std::to_string(LIBAVCODEC_VERSION_MICRO);
}

int clampByte(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

// RGB24 frames of a driver movie from ffmpeg's raw planes (yuv420p or nv12, rows
// packed, chroma of ceil(W/2) x ceil(H/2)), through the fixed-point formula.
std::vector<std::vector<uint8_t>> driverOracle(const std::vector<uint8_t>& raw, int W, int H, bool nv12) {
  const size_t cw = (W + 1) / 2, ch = (H + 1) / 2;
  const size_t frame = size_t(W) * H + 2 * cw * ch;
  EXPECT_EQ(raw.size() % frame, 0u) << "raw planes are not whole frames";
  std::vector<std::vector<uint8_t>> out;
  for (size_t f = 0; f + frame <= raw.size(); f += frame) {
    const uint8_t* Y = raw.data() + f;
    const uint8_t* C = Y + size_t(W) * H;
    std::vector<uint8_t> rgb(size_t(W) * H * 3);
    for (int y = 0; y < H; ++y) {
      for (int x = 0; x < W; ++x) {
        int u, v;
        if (nv12) {
          u = C[(y / 2) * 2 * cw + 2 * (x / 2)];
          v = C[(y / 2) * 2 * cw + 2 * (x / 2) + 1];
        } else {
          u = C[(y / 2) * cw + x / 2];
          v = C[cw * ch + (y / 2) * cw + x / 2];
        }
        const int c = 298 * (Y[size_t(y) * W + x] - 16) + 128, d = u - 128, e = v - 128;
        uint8_t* p = &rgb[(size_t(y) * W + x) * 3];
        p[0] = uint8_t(clampByte((c + 409 * e) >> 8));
        p[1] = uint8_t(clampByte((c - 100 * d - 208 * e) >> 8));
        p[2] = uint8_t(clampByte((c + 516 * d) >> 8));
      }
    }
    out.push_back(std::move(rgb));
  }
  return out;
}

// Empty when equal, else where the first difference is.
std::string firstDifference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want, int W,
                            int channels) {
  if (got.size() != want.size()) return "size " + std::to_string(got.size()) + " vs " + std::to_string(want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != want[i]) {
      const size_t px = i / channels;
      return "byte " + std::to_string(i) + " (x " + std::to_string(px % W) + ", y " + std::to_string(px / W) +
             "): got " + std::to_string(got[i]) + ", want " + std::to_string(want[i]);
    }
  }
  return "";
}

std::vector<uint8_t> nextFrame(tq::driver::Source& s) {
  std::vector<uint8_t> buf(s.frameBytes(), 0xA5);
  if (!s.next(buf.data())) throw std::runtime_error("source ended early");
  return buf;
}

struct Probe {
  long stated = -1, decodable = -1, largestPacket = -1;
};

Probe readProbe(const std::string& path) {
  Probe p;
  std::istringstream in(tqtest::readText(path));
  in >> p.stated >> p.decodable >> p.largestPacket;
  return p;
}

class MovieSource : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    const auto& d = *dir_;
    // One run of the fixture tool; steps are separated by "+".
    std::vector<std::string> args = {"movie-batch"};
    auto step = [&](std::vector<std::string> s) {
      args.push_back("+");
      args.insert(args.end(), s.begin(), s.end());
    };
    // Driver movies: lossy H.264 from testsrc2, lossless H.264 of a pattern with the
    // conversion's corner values, raw 4:2:0 and nv12 of odd size in NUT.
    step({"movie", d / "drv.mp4", "--size", "48x32", "--frames", "5"});
    step({"movie", d / "edges.mp4", "--size", "48x32", "--frames", "3", "--source", "pattern", "--lossless"});
    step({"movie", d / "odd.nut", "--size", "47x33", "--frames", "4", "--codec", "rawvideo", "--source",
          "pattern"});
    step({"movie", d / "nv12.nut", "--size", "47x33", "--frames", "4", "--codec", "rawvideo", "--pix-fmt", "nv12",
          "--source", "pattern", "--seed", "3"});
    step({"movie", d / "nv12even.nut", "--size", "48x32", "--frames", "3", "--codec", "rawvideo", "--pix-fmt",
          "nv12", "--source", "pattern", "--seed", "4"});
    // States 8 frames in its header, but only the first 5 packets are in the file.
    step({"movie", d / "full8.mp4", "--size", "48x32", "--frames", "8", "--extra=-movflags",
          "--extra=+faststart"});
    step({"movie-truncate", d / "full8.mp4", d / "cut.mp4", "--keep-packets", "5"});
    // A container that states no count, with fewer frames than the caller expects.
    step({"movie", d / "short.mkv", "--size", "48x32", "--frames", "3"});
    // Warp priors: lossy HEVC 4:4:4, lossless HEVC 4:4:4 pattern, raw 4:4:4 of odd side.
    step({"movie", d / "prior.mov", "--size", "32x32", "--frames", "4", "--codec", "libx265", "--pix-fmt",
          "yuv444p"});
    step({"movie", d / "prior_edges.mov", "--size", "16x16", "--frames", "3", "--codec", "libx265", "--pix-fmt",
          "yuv444p", "--source", "pattern", "--lossless"});
    step({"movie", d / "prior_odd.nut", "--size", "17x17", "--frames", "3", "--codec", "rawvideo", "--pix-fmt",
          "yuv444p", "--source", "pattern"});
    for (const char* m : {"drv.mp4", "edges.mp4", "odd.nut", "cut.mp4", "short.mkv"})
      step({"movie-raw", d / m, d / (std::string(m) + ".yuv")});
    for (const char* m : {"nv12.nut", "nv12even.nut"})
      step({"movie-raw", d / m, d / (std::string(m) + ".yuv"), "--pix-fmt", "nv12"});
    step({"movie-prior-oracle", d / "prior.mov", d / "prior.f16", "--side", "32"});
    step({"movie-prior-oracle", d / "prior_edges.mov", d / "prior_edges.f16", "--side", "16"});
    step({"movie-prior-oracle", d / "prior_odd.nut", d / "prior_odd.f16", "--side", "17"});
    for (const char* m : {"drv.mp4", "cut.mp4", "full8.mp4"})
      step({"movie-probe", d / m, d / (std::string(m) + ".probe")});
    const bool ok = tqtest::runFixtureTool(args);
    fixturesOk_ = ok;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(fixturesOk_) << "fixture generation failed"; }

  static std::string path(const std::string& name) { return *dir_ / name; }
  static std::vector<std::vector<uint8_t>> oracle(const std::string& movie, int W, int H, bool nv12 = false) {
    return driverOracle(tqtest::readBytes(path(movie + ".yuv")), W, H, nv12);
  }

  static tqtest::TempDir* dir_;
  static bool fixturesOk_;
};
tqtest::TempDir* MovieSource::dir_ = nullptr;
bool MovieSource::fixturesOk_ = false;

// Plays every frame, rewinds, plays again, then seeks backwards and forwards; each
// delivered frame must equal the oracle's frame of the same index.
void playAndSeek(tq::driver::Source& src, const std::vector<std::vector<uint8_t>>& want, int W, int channels) {
  const int NT = static_cast<int>(want.size());
  ASSERT_EQ(src.NT(), NT);
  auto expectFrame = [&](int i, const char* when) {
    SCOPED_TRACE(std::string(when) + ", frame " + std::to_string(i));
    ASSERT_EQ(firstDifference(nextFrame(src), want[i], W, channels), "");
  };
  for (int i = 0; i < NT; ++i) expectFrame(i, "first pass");
  std::vector<uint8_t> sink(src.frameBytes());
  EXPECT_FALSE(src.next(sink.data())) << "a source past its last frame must report the end";
  EXPECT_FALSE(src.next(sink.data())) << "and keep reporting it until rewound";
  src.rewind();
  for (int i = 0; i < NT; ++i) expectFrame(i, "after rewind");
  src.seek(NT - 1);
  expectFrame(NT - 1, "seek to the last frame from the end");
  src.seek(NT / 2);
  expectFrame(NT / 2, "seek backwards");
  src.seek(1);
  expectFrame(1, "seek further backwards");
  if (NT > 3) {
    src.seek(3);
    expectFrame(3, "seek forwards");
  }
  src.seek(0);
  expectFrame(0, "seek to the start");
  src.seek(0);
  expectFrame(0, "seek to the start from frame 1");
  src.rewind();
  expectFrame(0, "rewind mid-stream");
}

TEST_F(MovieSource, DriverFramesEqualTheFormulaOnFfmpegsPlanes) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  struct Case {
    const char* movie;
    int W, H;
    bool nv12;
  };
  for (const Case& c : {Case{"drv.mp4", 48, 32, false}, Case{"edges.mp4", 48, 32, false},
                        Case{"odd.nut", 47, 33, false}, Case{"nv12.nut", 47, 33, true},
                        Case{"nv12even.nut", 48, 32, true}}) {
    SCOPED_TRACE(c.movie);
    const auto want = oracle(c.movie, c.W, c.H, c.nv12);
    ASSERT_FALSE(want.empty());
    SourcePtr src = tq::driver::openMp4(path(c.movie), static_cast<int>(want.size()), c.W, c.H);
    EXPECT_EQ(src->W(), c.W);
    EXPECT_EQ(src->H(), c.H);
    EXPECT_EQ(src->frameBytes(), size_t(c.W) * c.H * 3);
    playAndSeek(*src, want, c.W, 3);
  }
}

TEST_F(MovieSource, LosslessDriverMovieHitsTheConversionCorners) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  SourcePtr src = tq::driver::openMp4(path("edges.mp4"), 3, 48, 32);
  for (int f = 0; f < 3; ++f) {
    const auto rgb = nextFrame(*src);
    // The pattern's first 2x2 blocks: Y16/U128/V128, Y235/U128/V128, Y81/U90/V240.
    const uint8_t want[3][3] = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}};
    for (int b = 0; b < 3; ++b)
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
          const uint8_t* p = &rgb[(size_t(dy) * 48 + b * 2 + dx) * 3];
          EXPECT_EQ(p[0], want[b][0]) << "frame " << f << " block " << b;
          EXPECT_EQ(p[1], want[b][1]) << "frame " << f << " block " << b;
          EXPECT_EQ(p[2], want[b][2]) << "frame " << f << " block " << b;
        }
  }
}

TEST_F(MovieSource, PriorPlanesEqualTheHalfFloatOracle) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  struct Case {
    const char* movie;
    const char* oracle;
    int side;
  };
  for (const Case& c : {Case{"prior.mov", "prior.f16", 32}, Case{"prior_edges.mov", "prior_edges.f16", 16},
                        Case{"prior_odd.nut", "prior_odd.f16", 17}}) {
    SCOPED_TRACE(c.movie);
    const auto all = tqtest::readBytes(path(c.oracle));
    const size_t frame = size_t(c.side) * c.side * 6;
    ASSERT_GT(all.size(), 0u);
    ASSERT_EQ(all.size() % frame, 0u);
    std::vector<std::vector<uint8_t>> want;
    for (size_t o = 0; o < all.size(); o += frame) want.emplace_back(all.begin() + o, all.begin() + o + frame);
    SourcePtr src = tq::driver::openPriorHevc(path(c.movie), static_cast<int>(want.size()), c.side);
    EXPECT_EQ(src->W(), c.side);
    EXPECT_EQ(src->H(), c.side);
    EXPECT_EQ(src->frameBytes(), frame);
    // Compared as bytes: two per value, the planes one after the other.
    playAndSeek(*src, want, c.side, 2);
  }
}

TEST_F(MovieSource, PriorClampsAtTheTop) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  SourcePtr src = tq::driver::openPriorHevc(path("prior_edges.mov"), 3, 16);
  const auto f = nextFrame(*src);
  auto half = [&](int plane, int x, int y) {
    uint16_t h;
    std::memcpy(&h, &f[(size_t(plane) * 16 * 16 + size_t(y) * 16 + x) * 2], 2);
    return h;
  };
  // Y16/U128/V128 is black: +0.0 in every plane.
  EXPECT_EQ(half(0, 0, 0), 0x0000);
  EXPECT_EQ(half(1, 1, 1), 0x0000);
  EXPECT_EQ(half(2, 0, 1), 0x0000);
  // Y235/U128/V128 is white: 1.0.
  EXPECT_EQ(half(0, 2, 0), 0x3C00);
  EXPECT_EQ(half(1, 3, 1), 0x3C00);
  EXPECT_EQ(half(2, 2, 1), 0x3C00);
  // Y255/U255/V128: B = (76312*239 + 132200*127 + 32768) >> 16 = 534, clamped to 255 -> 1.0;
  // R = 278 also clamps.
  EXPECT_EQ(half(2, 6, 0), 0x3C00);
  EXPECT_EQ(half(0, 6, 0), 0x3C00);
}

TEST_F(MovieSource, NamesAndSizes) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  const Probe probe = readProbe(path("drv.mp4.probe"));
  ASSERT_EQ(probe.stated, 5);
  ASSERT_GT(probe.largestPacket, 0);
  {
    SourcePtr src = tq::driver::openMp4(path("drv.mp4"), 5, 48, 32);
    EXPECT_EQ(src->name(), "mp4/libavcodec " + avcodecVersion() + " h264");
    // The 4:2:0 frame (48*32*3/2) times the decoder's 4 threads + 5, plus the
    // largest packet seen so far (none before the first frame).
    const size_t native = 48 * 32 * 3 / 2;
    EXPECT_EQ(src->residentBytes(), native * 9);
    std::vector<uint8_t> buf(src->frameBytes());
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(src->next(buf.data()));
    EXPECT_EQ(src->residentBytes(), native * 9 + size_t(probe.largestPacket));
  }
  {
    SourcePtr src = tq::driver::openMp4(path("odd.nut"), 4, 47, 33);
    EXPECT_EQ(src->name(), "mp4/libavcodec " + avcodecVersion() + " rawvideo");
  }
  {
    SourcePtr src = tq::driver::openPriorHevc(path("prior.mov"), 4, 32);
    EXPECT_EQ(src->name(), "hevc444/libavcodec " + avcodecVersion() + " hevc");
    EXPECT_EQ(src->residentBytes(), size_t(32 * 32 * 3) * 9);
  }
  EXPECT_EQ(tq::movieDecoderBuild(), "libavcodec " + avcodecVersion() + " / " + avcodec_configuration());
}

TEST_F(MovieSource, ContainerThatStatesMoreFramesThanItCarries) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  const Probe probe = readProbe(path("cut.mp4.probe"));
  ASSERT_EQ(probe.stated, 8) << "the cut movie should still state the full count";
  ASSERT_EQ(probe.decodable, 5);
  const std::string p = path("cut.mp4");
  const auto want = oracle("cut.mp4", 48, 32);
  ASSERT_EQ(want.size(), 5u);
  // The stated count matches, so the open succeeds; the short tail shows in play.
  SourcePtr src = tq::driver::openMp4(p, 8, 48, 32);
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    ASSERT_EQ(firstDifference(nextFrame(*src), want[i], 48, 3), "");
  }
  std::vector<uint8_t> buf(src->frameBytes());
  EXPECT_FALSE(src->next(buf.data()));
  // Seeking into the missing tail runs out after a rewind.
  try {
    src->seek(7);
    FAIL() << "seek into the missing tail succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "tq_driver: " + p + " ended at frame 5 while seeking to 7");
  }
  // The source stays usable.
  src->seek(2);
  EXPECT_EQ(firstDifference(nextFrame(*src), want[2], 48, 3), "");
}

TEST_F(MovieSource, ContainerWithoutCountAndFewerFrames) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  const std::string p = path("short.mkv");
  const auto want = oracle("short.mkv", 48, 32);
  ASSERT_EQ(want.size(), 3u);
  SourcePtr src = tq::driver::openMp4(p, 5, 48, 32);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(firstDifference(nextFrame(*src), want[i], 48, 3), "") << i;
  std::vector<uint8_t> buf(src->frameBytes());
  EXPECT_FALSE(src->next(buf.data()));
  try {
    src->seek(4);
    FAIL() << "seek beyond the movie's end succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "tq_driver: " + p + " ended at frame 3 while seeking to 4");
  }
}

TEST_F(MovieSource, SeekOutsideTheFrameRangeIsRefusedAndHarmless) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  const auto want = oracle("drv.mp4", 48, 32);
  SourcePtr drv = tq::driver::openMp4(path("drv.mp4"), 5, 48, 32);
  SourcePtr prior = tq::driver::openPriorHevc(path("prior.mov"), 4, 32);
  for (tq::driver::Source* s : {drv.get(), prior.get()}) {
    for (int bad : {s->NT(), -1, 1000}) {
      try {
        s->seek(bad);
        ADD_FAILURE() << "seek(" << bad << ") succeeded";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "tq_driver: seek outside the member");
      }
    }
  }
  nextFrame(*drv);
  EXPECT_EQ(firstDifference(nextFrame(*drv), want[1], 48, 3), "") << "position moved by a refused seek";
}

// Hardware decoding: attempted for H.264 driver movies unless TQ_DRIVER_HWDEC is
// exactly "0"; where the hardware decoder exists but cannot open, the software
// decoder takes over with a notice; either way the samples are the same.
TEST_F(MovieSource, HardwareDecoderAttemptAndFallback) {
  const std::string p = path("drv.mp4");
  const auto want = oracle("drv.mp4", 48, 32);
  const std::string notAttempted =
      "[tq-driver] TQ_DRIVER_HWDEC=0 — h264_cuvid not attempted; the software decoder is the one decoder on "
      "this fleet (same samples)\n";
  const std::string refused = "[tq-driver] h264_cuvid refused " + p +
                              " — falling back to the software h264 decoder (same samples, more CPU)\n";
  const bool hwBuilt = avcodec_find_decoder_by_name("h264_cuvid") != nullptr;

  struct Case {
    const char* value;  // null: unset
    bool attempt;
  };
  for (const Case& c : {Case{"0", false}, Case{nullptr, true}, Case{"1", true}, Case{"", true},
                        Case{"00", true}, Case{"0 ", true}}) {
    SCOPED_TRACE(std::string("TQ_DRIVER_HWDEC=") + (c.value ? "'" + std::string(c.value) + "'" : "unset"));
    tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", c.value);
    testing::internal::CaptureStderr();
    SourcePtr src;
    try {
      src = tq::driver::openMp4(p, 5, 48, 32);
    } catch (...) {
      testing::internal::GetCapturedStderr();
      throw;
    }
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string name = src->name();
    if (!c.attempt) {
      EXPECT_NE(err.find(notAttempted), std::string::npos) << err;
      EXPECT_EQ(err.find(refused), std::string::npos) << err;
      EXPECT_EQ(name, "mp4/libavcodec " + avcodecVersion() + " h264");
    } else {
      EXPECT_EQ(err.find("not attempted"), std::string::npos) << err;
      if (!hwBuilt) {
        // A missing hardware decoder falls back silently.
        EXPECT_EQ(err.find("[tq-driver]"), std::string::npos) << err;
        EXPECT_EQ(name, "mp4/libavcodec " + avcodecVersion() + " h264");
      } else if (name == "mp4/libavcodec " + avcodecVersion() + " h264_cuvid") {
        EXPECT_EQ(err.find(refused), std::string::npos) << err;
      } else {
        EXPECT_EQ(name, "mp4/libavcodec " + avcodecVersion() + " h264");
        EXPECT_NE(err.find(refused), std::string::npos) << err;
      }
    }
    for (size_t i = 0; i < want.size(); ++i)
      ASSERT_EQ(firstDifference(nextFrame(*src), want[i], 48, 3), "") << "frame " << i;
  }
}

// The notice of a disabled hardware decoder prints on every open, in either mode
// and for any codec; with the variable unset only H.264 driver movies try it.
TEST_F(MovieSource, HardwareDecoderOnlyForH264DriverMovies) {
  const std::string notAttempted =
      "[tq-driver] TQ_DRIVER_HWDEC=0 — h264_cuvid not attempted; the software decoder is the one decoder on "
      "this fleet (same samples)\n";
  struct Case {
    const char* movie;
    bool prior;
    int NT, W, H;
    const char* decoder;
  };
  for (const Case& c : {Case{"prior.mov", true, 4, 32, 32, "hevc"}, Case{"odd.nut", false, 4, 47, 33, "rawvideo"},
                        Case{"prior_odd.nut", true, 3, 17, 17, "rawvideo"}}) {
    SCOPED_TRACE(c.movie);
    for (const char* value : {"0", static_cast<const char*>(nullptr)}) {
      tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", value);
      testing::internal::CaptureStderr();
      SourcePtr src;
      try {
        src = c.prior ? tq::driver::openPriorHevc(path(c.movie), c.NT, c.W)
                      : tq::driver::openMp4(path(c.movie), c.NT, c.W, c.H);
      } catch (...) {
        testing::internal::GetCapturedStderr();
        throw;
      }
      const std::string err = testing::internal::GetCapturedStderr();
      if (value) {
        // Exactly one notice per open.
        const size_t at = err.find(notAttempted);
        EXPECT_NE(at, std::string::npos) << err;
        EXPECT_EQ(err.find(notAttempted, at + 1), std::string::npos) << err;
      } else {
        EXPECT_EQ(err.find("h264_cuvid"), std::string::npos) << err;
      }
      EXPECT_EQ(src->name(), std::string(c.prior ? "hevc444" : "mp4") + "/libavcodec " + avcodecVersion() + " " +
                                 c.decoder);
    }
  }
}

}  // namespace
