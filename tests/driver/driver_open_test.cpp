// Driver video and warp prior as a bundle opens them: movie sources held against
// ffmpeg's own decoding of files written by the ffmpeg tool (driver frames through
// the 8-bit BT.601 formula computed here, prior frames through numpy's float16 in
// the fixture tool), the refusals of movies that disagree with the caller, and
// DriverCursor::open / openPrior over bundles: which video is chosen, the lines
// logged, frames from JPEG stills (against stb_image) and from movie members.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}
#include <stb/stb_image.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bundle/tq_bundle.h"
#include "driver/tq_driver.h"
#include "driver/tq_driver_ff.h"
#include "tq_test_util.h"

namespace {

using tqtest::thrown;
using tq::driver::SourcePtr;
using Frames = std::vector<std::vector<uint8_t>>;

const std::string kAvcodec = "libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." +
                             std::to_string(LIBAVCODEC_VERSION_MINOR) + "." + std::to_string(LIBAVCODEC_VERSION_MICRO);
const std::string kNoHwdecLine =
    "[tq-driver] TQ_DRIVER_HWDEC=0 — h264_cuvid not attempted; the software decoder is the one decoder on this "
    "fleet (same samples)\n";

uint8_t clampByte(int v) { return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// RGB24 frames from ffmpeg's raw planes (yuv420p or nv12, rows packed, chroma of
// ceil(W/2) x ceil(H/2)), through the fixed-point BT.601 formula.
Frames driverOracle(const std::vector<uint8_t>& raw, int W, int H, bool nv12) {
  const size_t cw = (W + 1) / 2, ch = (H + 1) / 2, frame = size_t(W) * H + 2 * cw * ch;
  EXPECT_EQ(raw.size() % frame, 0u) << "raw planes are not whole frames";
  Frames out;
  for (size_t f = 0; f + frame <= raw.size(); f += frame) {
    const uint8_t* Y = raw.data() + f;
    const uint8_t* C = Y + size_t(W) * H;
    std::vector<uint8_t> rgb(size_t(W) * H * 3);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const size_t c0 = (y / 2) * (nv12 ? 2 * cw : cw) + (nv12 ? 2 * (x / 2) : x / 2);
        const int u = C[c0], v = nv12 ? C[c0 + 1] : C[cw * ch + c0];
        const int c = 298 * (Y[size_t(y) * W + x] - 16) + 128, d = u - 128, e = v - 128;
        uint8_t* p = &rgb[(size_t(y) * W + x) * 3];
        p[0] = clampByte((c + 409 * e) >> 8);
        p[1] = clampByte((c - 100 * d - 208 * e) >> 8);
        p[2] = clampByte((c + 516 * d) >> 8);
      }
    out.push_back(std::move(rgb));
  }
  return out;
}

Frames splitFrames(const std::vector<uint8_t>& all, size_t frame) {
  EXPECT_EQ(all.size() % frame, 0u);
  Frames out;
  for (size_t o = 0; o + frame <= all.size(); o += frame) out.emplace_back(all.begin() + o, all.begin() + o + frame);
  return out;
}

std::vector<uint8_t> nextFrame(tq::driver::Source& s) {
  std::vector<uint8_t> buf(s.frameBytes(), 0xA5);
  if (!s.next(buf.data())) throw std::runtime_error("source ended early");
  return buf;
}

// Every frame, the end reported twice, a rewind, then seeks back and forth.
void playAndSeek(tq::driver::Source& src, const Frames& want) {
  const int NT = static_cast<int>(want.size());
  ASSERT_EQ(src.NT(), NT);
  for (int i = 0; i < NT; ++i) ASSERT_TRUE(nextFrame(src) == want[i]) << "first pass, frame " << i;
  std::vector<uint8_t> sink(src.frameBytes());
  EXPECT_FALSE(src.next(sink.data()));
  EXPECT_FALSE(src.next(sink.data())) << "the end is reported until a rewind";
  src.rewind();
  for (int i = 0; i < NT; ++i) ASSERT_TRUE(nextFrame(src) == want[i]) << "after rewind, frame " << i;
  for (int i : {NT - 1, NT / 2, 1, std::min(3, NT - 1), 0, 0}) {
    src.seek(i);
    ASSERT_TRUE(nextFrame(src) == want[i]) << "seek to " << i;
  }
  src.rewind();
  ASSERT_TRUE(nextFrame(src) == want[0]) << "rewind mid-stream";
}

class Movies : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    const auto& d = *dir_;
    std::vector<std::string> args = {"movie-batch"};  // steps separated by "+"
    auto step = [&](std::vector<std::string> s) {
      args.push_back("+");
      args.insert(args.end(), s.begin(), s.end());
    };
    auto movie = [&](const char* name, const char* size, const char* frames, std::vector<std::string> more = {}) {
      std::vector<std::string> s = {"movie", d / name, "--size", size, "--frames", frames};
      s.insert(s.end(), more.begin(), more.end());
      step(s);
    };
    const std::vector<std::string> x265 = {"--codec", "libx265", "--pix-fmt"}, raw = {"--codec", "rawvideo"};
    auto with = [](std::vector<std::string> a, std::vector<std::string> b) {
      a.insert(a.end(), b.begin(), b.end());
      return a;
    };
    movie("drv.mp4", "48x32", "5");
    movie("edges.mp4", "48x32", "3", {"--source", "pattern", "--lossless"});
    movie("odd.nut", "47x33", "4", with(raw, {"--source", "pattern"}));
    movie("nv12.nut", "47x33", "4", with(raw, {"--pix-fmt", "nv12", "--source", "pattern", "--seed", "3"}));
    movie("nv12even.nut", "48x32", "3", with(raw, {"--pix-fmt", "nv12", "--source", "pattern", "--seed", "4"}));
    movie("full8.mp4", "48x32", "8", {"--extra=-movflags", "--extra=+faststart"});
    step({"movie-truncate", d / "full8.mp4", d / "cut.mp4", "--keep-packets", "5"});  // states 8, carries 5
    movie("short.mkv", "48x32", "3");                                                  // states no count
    movie("drv3.mp4", "48x32", "3");
    movie("wide.mp4", "64x32", "2");
    movie("hd.mp4", "128x72", "1");
    movie("h264_444.mp4", "48x32", "2", {"--pix-fmt", "yuv444p"});
    movie("h264_full.mp4", "48x32", "2", {"--pix-fmt", "yuvj420p"});
    movie("h264_10bit.mp4", "48x32", "2", {"--pix-fmt", "yuv420p10le"});
    movie("rgb.nut", "48x32", "2", with(raw, {"--pix-fmt", "rgb24"}));
    movie("part_a.h264", "48x32", "2");
    movie("part_b.h264", "64x32", "2");
    step({"movie-concat", d / "resize.h264", d / "part_a.h264", d / "part_b.h264"});
    step({"movie-audio", d / "tone.m4a"});
    movie("prior.mov", "32x32", "4", with(x265, {"yuv444p"}));
    movie("prior_edges.mov", "16x16", "3", with(x265, {"yuv444p", "--source", "pattern", "--lossless"}));
    movie("prior_odd.nut", "17x17", "3", with(raw, {"--pix-fmt", "yuv444p", "--source", "pattern"}));
    movie("prior420.mov", "32x32", "3", with(x265, {"yuv420p"}));
    movie("prior10.mov", "32x32", "2", with(x265, {"yuv444p10le"}));
    movie("prior_nv12.nut", "32x32", "2", with(raw, {"--pix-fmt", "nv12"}));
    for (const char* m : {"drv.mp4", "edges.mp4", "odd.nut", "cut.mp4", "short.mkv"})
      step({"movie-raw", d / m, d / (std::string(m) + ".yuv")});
    for (const char* m : {"nv12.nut", "nv12even.nut"})
      step({"movie-raw", d / m, d / (std::string(m) + ".yuv"), "--pix-fmt", "nv12"});
    for (const auto& [m, side] : {std::pair<const char*, int>{"prior.mov", 32}, {"prior_edges.mov", 16},
                                  {"prior_odd.nut", 17}})
      step({"movie-prior-oracle", d / m, d / (std::string(m) + ".f16"), "--side", std::to_string(side)});
    for (const char* m : {"drv.mp4", "cut.mp4"}) step({"movie-probe", d / m, d / (std::string(m) + ".probe")});
    fixturesOk_ = tqtest::runFixtureTool(args);
    tqtest::writeText(d / "notes.mp4", "this is a text file, not a movie\n");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(fixturesOk_) << "fixture generation failed"; }

  static std::string path(const std::string& name) { return *dir_ / name; }
  static Frames oracle(const std::string& movie, int W, int H, bool nv12 = false) {
    return driverOracle(tqtest::readBytes(path(movie + ".yuv")), W, H, nv12);
  }
  static std::vector<long> probe(const std::string& movie) {  // stated, decodable, largest packet
    std::istringstream in(tqtest::readText(path(movie + ".probe")));
    std::vector<long> v(3, -1);
    in >> v[0] >> v[1] >> v[2];
    return v;
  }

  tqtest::ScopedEnv hwdec_{"TQ_DRIVER_HWDEC", "0"};
  static tqtest::TempDir* dir_;
  static bool fixturesOk_;
};
tqtest::TempDir* Movies::dir_ = nullptr;
bool Movies::fixturesOk_ = false;

struct Open {
  bool prior;
  const char* movie;
  int NT, W, H;  // prior: side = W
};

SourcePtr openAs(const Open& a, const std::string& p) {
  return a.prior ? tq::driver::openPriorHevc(p, a.NT, a.W) : tq::driver::openMp4(p, a.NT, a.W, a.H);
}

TEST_F(Movies, DriverFramesEqualTheFormulaOnFfmpegsPlanes) {
  for (const auto& c : {std::make_tuple("drv.mp4", 48, 32, false), std::make_tuple("edges.mp4", 48, 32, false),
                        std::make_tuple("odd.nut", 47, 33, false), std::make_tuple("nv12.nut", 47, 33, true),
                        std::make_tuple("nv12even.nut", 48, 32, true)}) {
    const auto& [movie, W, H, nv12] = c;
    SCOPED_TRACE(movie);
    const Frames want = oracle(movie, W, H, nv12);
    ASSERT_FALSE(want.empty());
    SourcePtr src = tq::driver::openMp4(path(movie), static_cast<int>(want.size()), W, H);
    EXPECT_EQ(src->frameBytes(), size_t(W) * H * 3);
    playAndSeek(*src, want);
  }
}

TEST_F(Movies, PriorPlanesEqualTheHalfFloatOracle) {
  for (const auto& [movie, side] : {std::pair<const char*, int>{"prior.mov", 32}, {"prior_edges.mov", 16},
                                    {"prior_odd.nut", 17}}) {
    SCOPED_TRACE(movie);
    const Frames want = splitFrames(tqtest::readBytes(path(std::string(movie) + ".f16")), size_t(side) * side * 6);
    ASSERT_FALSE(want.empty());
    SourcePtr src = tq::driver::openPriorHevc(path(movie), static_cast<int>(want.size()), side);
    EXPECT_EQ(src->frameBytes(), size_t(side) * side * 6);
    playAndSeek(*src, want);
  }
}

TEST_F(Movies, ResidentBytesAndDecoderBuild) {
  const std::vector<long> drv = probe("drv.mp4");
  ASSERT_EQ(drv[0], 5);
  SourcePtr src = tq::driver::openMp4(path("drv.mp4"), 5, 48, 32);  // names: see the decoder test below
  // The 4:2:0 frame times the decoder's 4 threads + 5, plus the largest packet read so far.
  const size_t native = 48 * 32 * 3 / 2;
  EXPECT_EQ(src->residentBytes(), native * 9);
  for (int i = 0; i < 5; ++i) nextFrame(*src);
  EXPECT_EQ(src->residentBytes(), native * 9 + size_t(drv[2]));
  SourcePtr prior = tq::driver::openPriorHevc(path("prior.mov"), 4, 32);
  EXPECT_EQ(prior->residentBytes(), size_t(32 * 32 * 3) * 9);
  EXPECT_EQ(tq::movieDecoderBuild(), kAvcodec + " / " + avcodec_configuration());
}

TEST_F(Movies, ShortMoviesEndAndRefuseSeeksIntoTheMissingTail) {
  const std::vector<long> cut = probe("cut.mp4");
  ASSERT_EQ(cut[0], 8) << "the cut movie should still state the full count";
  ASSERT_EQ(cut[1], 5);
  for (const auto& [movie, stated, carried] : {std::make_tuple("cut.mp4", 8, 5), std::make_tuple("short.mkv", 5, 3)}) {
    SCOPED_TRACE(movie);
    const std::string p = path(movie);
    const Frames want = oracle(movie, 48, 32);
    ASSERT_EQ(want.size(), size_t(carried));
    SourcePtr src = tq::driver::openMp4(p, stated, 48, 32);  // the stated count fits, so the open succeeds
    for (int i = 0; i < carried; ++i) ASSERT_TRUE(nextFrame(*src) == want[i]) << i;
    std::vector<uint8_t> buf(src->frameBytes());
    EXPECT_FALSE(src->next(buf.data()));
    EXPECT_EQ(thrown([&] { src->seek(stated - 1); }),
              "tq_driver: " + p + " ended at frame " + std::to_string(carried) + " while seeking to " +
                  std::to_string(stated - 1));
    src->seek(2);  // still usable
    EXPECT_TRUE(nextFrame(*src) == want[2]);
  }
  // Outside the frame range: refused, and the position stays where it was.
  SourcePtr drv = tq::driver::openMp4(path("drv.mp4"), 5, 48, 32);
  SourcePtr prior = tq::driver::openPriorHevc(path("prior.mov"), 4, 32);
  for (tq::driver::Source* s : {drv.get(), prior.get()})
    for (int bad : {s->NT(), -1, 1000}) EXPECT_EQ(thrown([&] { s->seek(bad); }), "tq_driver: seek outside the member");
  nextFrame(*drv);
  EXPECT_TRUE(nextFrame(*drv) == oracle("drv.mp4", 48, 32)[1]) << "position moved by a refused seek";
}

TEST_F(Movies, RefusedAtOpen) {
  const std::string size = " — refusing to rescale the driver", count = " — member/manifest mismatch, refusing";
  const struct {
    Open open;
    std::string tail;  // after "tq_driver: " + path
  } cases[] = {
      {{false, "missing.mp4", 5, 48, 32}, " is not a readable container"},
      {{false, "notes.mp4", 5, 48, 32}, " is not a readable container"},
      {{true, "missing.mov", 3, 32, 32}, " is not a readable container"},
      {{false, "tone.m4a", 5, 48, 32}, " has no video stream"},
      {{true, "tone.m4a", 3, 32, 32}, " has no video stream"},
      {{false, "wide.mp4", 2, 48, 32}, " is 64x32, the manifest says 48x32" + size},
      {{false, "hd.mp4", 1, 192, 108}, " is 128x72, the manifest says 192x108" + size},
      {{false, "drv.mp4", 5, 48, 48}, " is 48x32, the manifest says 48x48" + size},
      {{true, "prior.mov", 4, 16, 16}, " is 32x32, the manifest says 16x16" + size},
      {{false, "drv.mp4", 3, 48, 32}, " carries 5 frames, the manifest says NT=3" + count},
      {{false, "drv.mp4", 7, 48, 32}, " carries 5 frames, the manifest says NT=7" + count},
      {{false, "drv3.mp4", 5, 48, 32}, " carries 3 frames, the manifest says NT=5" + count},
      {{true, "prior.mov", 3, 32, 32}, " carries 4 frames, the manifest says NT=3" + count},
      {{false, "wide.mp4", 9, 48, 32}, " is 64x32, the manifest says 48x32" + size},  // size before count
  };
  for (const auto& c : cases) {
    const std::string p = path(c.open.movie);
    EXPECT_EQ(thrown([&] { openAs(c.open, p); }), "tq_driver: " + p + c.tail) << c.open.movie;
  }
}

TEST_F(Movies, RefusedAtTheFrameThatShowsIt) {
  const std::string driverTail =
      ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — refusing rather than "
      "pasting onto a different pixel domain";
  const std::string priorTail =
      ", not the yuv444p a warp prior is authored in — a subsampled prior is a different mouth, refusing";
  const struct {
    Open open;
    int goodFrames;  // delivered before the refusal
    std::string tail;
  } cases[] = {
      {{true, "prior420.mov", 3, 32, 32}, 0, " decoded to yuv420p" + priorTail},
      {{true, "prior10.mov", 2, 32, 32}, 0, " decoded to yuv444p10le" + priorTail},
      {{true, "prior_nv12.nut", 2, 32, 32}, 0, " decoded to nv12" + priorTail},
      {{false, "h264_444.mp4", 2, 48, 32}, 0, " decoded to yuv444p" + driverTail},
      {{false, "h264_full.mp4", 2, 48, 32}, 0, " decoded to yuvj420p" + driverTail},
      {{false, "h264_10bit.mp4", 2, 48, 32}, 0, " decoded to yuv420p10le" + driverTail},
      {{false, "rgb.nut", 2, 48, 32}, 0, " decoded to rgb24" + driverTail},
      {{false, "resize.h264", 4, 48, 32}, 2, " changed size mid-stream — refusing"},  // 48x32 twice, then 64x32
  };
  for (const auto& c : cases) {
    const std::string p = path(c.open.movie);
    SCOPED_TRACE(c.open.movie);
    SourcePtr s = openAs(c.open, p);  // the header is fine
    std::vector<uint8_t> buf(s->frameBytes());
    for (int i = 0; i < c.goodFrames; ++i) ASSERT_TRUE(s->next(buf.data())) << "frame " << i;
    EXPECT_EQ(thrown([&] { s->next(buf.data()); }), "tq_driver: " + p + c.tail);
    s->rewind();
    if (c.goodFrames + 1 < s->NT()) {  // a seek that decodes through the frame hits the same refusal
      EXPECT_EQ(thrown([&] { s->seek(c.goodFrames + 1); }), "tq_driver: " + p + c.tail);
    }
  }
}

// Hardware decoding is attempted for H.264 driver movies unless TQ_DRIVER_HWDEC is
// exactly "0"; a hardware decoder that exists but cannot open hands over to the
// software decoder with a notice; the samples are the same either way.
TEST_F(Movies, HardwareDecoderAttemptAndFallback) {
  const bool hwBuilt = avcodec_find_decoder_by_name("h264_cuvid") != nullptr;
  const struct {
    const char* value;  // null: unset
    Open open;
    const char* decoder;
  } cases[] = {
      {"0", {false, "drv.mp4", 5, 48, 32}, "h264"},      {nullptr, {false, "drv.mp4", 5, 48, 32}, "h264"},
      {"1", {false, "drv.mp4", 5, 48, 32}, "h264"},      {"", {false, "drv.mp4", 5, 48, 32}, "h264"},
      {"00", {false, "drv.mp4", 5, 48, 32}, "h264"},     {"0 ", {false, "drv.mp4", 5, 48, 32}, "h264"},
      {"0", {true, "prior.mov", 4, 32, 32}, "hevc"},     {nullptr, {true, "prior.mov", 4, 32, 32}, "hevc"},
      {"0", {false, "odd.nut", 4, 47, 33}, "rawvideo"},  {nullptr, {false, "odd.nut", 4, 47, 33}, "rawvideo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.open.movie) + " TQ_DRIVER_HWDEC=" + (c.value ? "'" + std::string(c.value) + "'" : "unset"));
    tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", c.value);
    const std::string p = path(c.open.movie);
    const std::string refused = "[tq-driver] h264_cuvid refused " + p +
                                " — falling back to the software h264 decoder (same samples, more CPU)\n";
    testing::internal::CaptureStderr();
    SourcePtr src;
    const std::string error = thrown([&] { src = openAs(c.open, p); });
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(error, "(nothing thrown)");
    const std::string kind = c.open.prior ? "hevc444/" : "mp4/";
    const bool disabled = c.value && std::string(c.value) == "0";
    const bool h264 = std::string(c.decoder) == "h264";
    if (disabled) {
      EXPECT_EQ(err, kNoHwdecLine);  // exactly one notice per open, whatever the codec
    } else {
      EXPECT_EQ(err.find("not attempted"), std::string::npos) << err;
      if (!h264) {
        EXPECT_EQ(err.find("h264_cuvid"), std::string::npos) << err;
      }
    }
    if (!h264 || disabled || !hwBuilt) {
      EXPECT_EQ(src->name(), kind + kAvcodec + " " + c.decoder);
      if (!disabled) {
        EXPECT_EQ(err.find("[tq-driver]"), std::string::npos) << err;
      }
    } else if (src->name() == kind + kAvcodec + " h264_cuvid") {
      EXPECT_EQ(err.find(refused), std::string::npos) << err;
    } else {
      EXPECT_EQ(src->name(), kind + kAvcodec + " h264");
      EXPECT_NE(err.find(refused), std::string::npos) << err;
    }
    if (h264) {
      const Frames want = oracle("drv.mp4", 48, 32);
      for (size_t i = 0; i < want.size(); ++i) ASSERT_TRUE(nextFrame(*src) == want[i]) << "frame " << i;
    }
  }
}

// ---------------------------------------------------------------- bundles

constexpr int kNT = 5, kW = 48, kH = 32;
constexpr size_t kFrameBytes = size_t(kW) * kH * 3;
const std::string kJpgLine = "[tq-driver] target_frames/ (raw jpg, 5 frames) — read one frame per pull\n";

struct Bundle {
  tqtest::TempDir tmp;
  std::string dir = tmp / "bundle";
  tq::Manifest m;

  explicit Bundle(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"driver-jpg-bundle", dir, "--nt", std::to_string(kNT), "--w", std::to_string(kW),
                                     "--h", std::to_string(kH)};
    args.insert(args.end(), extra.begin(), extra.end());
    if (tqtest::runFixtureTool(args)) m = tq::loadManifest(dir);
  }
};

struct Opened {
  std::unique_ptr<tq::DriverCursor> cursor;
  std::string log, error;
};

Opened openLogged(const tq::Manifest& m, int ahead, int hist, bool prior = false) {
  Opened o;
  testing::internal::CaptureStderr();
  o.error = thrown([&] {
    o.cursor = prior ? tq::DriverCursor::openPrior(m, ahead, hist) : tq::DriverCursor::open(m, ahead, hist);
  });
  if (o.error == "(nothing thrown)") o.error.clear();
  o.log = testing::internal::GetCapturedStderr();
  return o;
}

// The stills decoded directly by stb_image.
Frames decodeStills(const std::string& stills) {
  Frames frames;
  for (int i = 0; i < kNT; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", i);
    int w = 0, h = 0, c = 0;
    stbi_uc* px = stbi_load((stills + name).c_str(), &w, &h, &c, 3);
    EXPECT_TRUE(px && w == kW && h == kH) << stills + name;
    if (!px) return {};
    frames.emplace_back(px, px + size_t(w) * h * 3);
    stbi_image_free(px);
  }
  return frames;
}

// Every frame of a movie member read straight through its own source.
Frames readThrough(SourcePtr src) {
  Frames frames;
  for (int i = 0; i < src->NT(); ++i) frames.push_back(nextFrame(*src));
  return frames;
}

// Plays the cursor through a wrap, then steps back into history and seeks; every
// frame must match `ref`, whose frames are all different.
void expectPlays(tq::DriverCursor& c, const Frames& ref) {
  const int nt = static_cast<int>(ref.size());
  ASSERT_GT(nt, 3);
  for (int i = 0; i < nt; ++i)
    for (int j = i + 1; j < nt; ++j) ASSERT_NE(ref[i], ref[j]) << "reference frames " << i << " and " << j;
  std::vector<uint8_t> buf(c.frameBytes);
  for (int k = 0; k < 2 * nt + 2; ++k) {
    ASSERT_EQ(c.pull(buf.data()), k % nt);
    EXPECT_TRUE(buf == ref[k % nt]) << "pull " << k;
  }
  for (int i : {0, nt - 1, 2, 1, 3, 0}) {
    ASSERT_EQ(c.pullAt(i, buf.data()), i);
    EXPECT_TRUE(buf == ref[i]) << "pullAt(" << i << ")";
  }
  int idx = -1;
  const uint8_t* p = c.pull(&idx);
  ASSERT_EQ(idx, 1);
  EXPECT_EQ(std::memcmp(p, ref[1].data(), ref[1].size()), 0);
}

std::string movieLine(const std::string& name, const std::string& backend, int ahead, int hist) {
  return "[tq-driver] " + name + " decoded IN PLACE (" + backend + ", 5 frames 48x32, look-ahead " +
         std::to_string(ahead) + ", history " + std::to_string(hist) +
         ") — no frame of the driver is expanded ahead of the paste\n";
}

TEST(CursorOpen, StillsPlayInOrderFromTheDirectoryTheManifestNames) {
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", nullptr);
  for (const char* name : {"target_frames", "stills"}) {
    SCOPED_TRACE(name);
    Bundle b({"--stills-name", name});
    Opened o = openLogged(b.m, 2, 11);
    ASSERT_EQ(o.error, "");
    EXPECT_EQ(o.log, "[tq-driver] " + std::string(name) + "/ (raw jpg, 5 frames) — read one frame per pull\n");
    tq::DriverCursor& c = *o.cursor;
    EXPECT_EQ(c.NT, kNT);
    EXPECT_EQ(c.W, kW);
    EXPECT_EQ(c.H, kH);
    EXPECT_EQ(c.backend, "jpg/stb");
    EXPECT_EQ(c.residentBytes(), 14 * kFrameBytes) << "stills hold nothing beyond the ring";
    expectPlays(c, decodeStills(b.dir + "/" + name));
  }
}

TEST(CursorOpen, NoDriverVideoIsRefused) {
  const auto refusal = [](const tq::Manifest& m, const std::string& stills, const std::string& movie) {
    return "this bundle carries neither a populated " + stills + "/ nor " + movie + " (" + m.dir + "/" + movie +
           ") — there is no driver video to play. REFUSING to create a session.";
  };
  for (const char* prefer : {"1", static_cast<const char*>(nullptr)}) {
    tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", prefer);
    Bundle none({"--frames", "0"});
    Opened o = openLogged(none.m, 2, 11);
    EXPECT_EQ(o.cursor, nullptr);
    EXPECT_EQ(o.error, refusal(none.m, "target_frames", "target_frames.mp4"));
    EXPECT_EQ(o.log, "");
    // Only the last frame's file decides whether the directory is populated.
    Bundle partial({"--stills-name", "stills", "--movie-name", "clip.mp4", "--frames", "4"});
    EXPECT_EQ(openLogged(partial.m, 2, 11).error, refusal(partial.m, "stills", "clip.mp4"));
  }
}

TEST(CursorOpen, ABadStillFailsThePullThatReachesIt) {
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", nullptr);
  std::vector<uint8_t> buf(kFrameBytes);
  for (const std::string size : {"64x32", "48x48"}) {
    Bundle b({"--resize", "2:" + size});
    Opened o = openLogged(b.m, 1, 0);  // look-ahead 1: frame 2 is decoded after frame 1 is pulled
    ASSERT_EQ(o.error, "");
    EXPECT_EQ(o.cursor->pull(buf.data()), 0);
    EXPECT_EQ(o.cursor->pull(buf.data()), 1);
    // The source's message carries the prefix; the cursor adds its own. The failure sticks.
    const std::string want = "tq_driver: tq_driver: " + b.m.dir + "/target_frames/frame_000002.jpg is " + size +
                             ", the manifest says 48x32 — refusing";
    EXPECT_EQ(thrown([&] { o.cursor->pull(buf.data()); }), want);
    EXPECT_EQ(thrown([&] { o.cursor->pull(buf.data()); }), want);
    EXPECT_EQ(thrown([&] { o.cursor->pullAt(0, buf.data()); }), want);
  }
  {
    Bundle b({"--drop", "1"});
    Opened o = openLogged(b.m, 1, 3);
    ASSERT_EQ(o.error, "") << "the last still exists, so the directory counts as populated";
    EXPECT_EQ(o.cursor->pull(buf.data()), 0);
    EXPECT_EQ(thrown([&] { o.cursor->pull(buf.data()); }),
              "tq_driver: decode failed: " + b.m.dir + "/target_frames/frame_000001.jpg");
  }
  SourcePtr none = tq::driver::openJpgDir("/nonexistent", kNT, kW, kH);  // fails only when read
  EXPECT_EQ(thrown([&] { none->next(buf.data()); }), "decode failed: /nonexistent/frame_000000.jpg");
  EXPECT_EQ(thrown([&] { none->seek(kNT); }), "tq_driver: seek outside the member");
}

TEST(CursorOpen, MovieMembersPlayInPlace) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  const std::string preferLine =
      "[tq-driver] TQ_DRIVER_PREFER_MP4=1 — target_frames/ is populated and NOT used; target_frames.mp4 is the "
      "member this consumer reads\n";
  const struct {
    std::vector<std::string> extra;
    const char* prefer;
    int ahead, hist;
    std::string movie, lead;  // movie member (empty: the stills play), line before the movie's
  } cases[] = {
      {{"--frames", "0", "--movie", "5"}, nullptr, 0, -4, "target_frames.mp4", ""},
      {{"--frames", "0", "--movie", "5", "--movie-name", "clip.mp4"}, nullptr, 2, 11, "clip.mp4", ""},
      {{"--movie", "5"}, "1", 2, 11, "target_frames.mp4", preferLine},
      {{"--movie", "5"}, "true", 2, 11, "", ""},
      {{"--movie", "5"}, "0", 2, 11, "", ""},
      {{"--movie", "5"}, "", 2, 11, "", ""},
      {{"--movie", "5"}, nullptr, 2, 11, "", ""},
      {{}, "1", 2, 11, "", ""},  // nothing to prefer
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.prefer ? c.prefer : "(unset)") + " " + c.movie);
    tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", c.prefer);
    Bundle b(c.extra);
    Opened o = openLogged(b.m, c.ahead, c.hist);
    ASSERT_EQ(o.error, "");
    if (c.movie.empty()) {
      EXPECT_EQ(o.log, kJpgLine);
      EXPECT_EQ(o.cursor->backend, "jpg/stb");
      continue;
    }
    EXPECT_EQ(o.cursor->backend.rfind("mp4/libavcodec ", 0), 0u) << o.cursor->backend;
    // The line names the effective look-ahead and history.
    EXPECT_EQ(o.log, c.lead + kNoHwdecLine +
                         movieLine(c.movie, o.cursor->backend, std::max(c.ahead, 1), std::max(c.hist, 0)));
    testing::internal::CaptureStderr();
    const Frames ref = readThrough(tq::driver::openMp4(b.m.dir + "/" + c.movie, kNT, kW, kH));
    testing::internal::GetCapturedStderr();
    expectPlays(*o.cursor, ref);
  }
  // A movie of the wrong size is refused before anything is announced.
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", nullptr);
  Bundle b({"--frames", "0", "--movie", "5"});
  tq::Manifest wider = b.m;
  wider.W = 64;
  Opened o = openLogged(wider, 2, 11);
  EXPECT_EQ(o.cursor, nullptr);
  EXPECT_EQ(o.error, "tq_driver: " + b.m.dir +
                         "/target_frames.mp4 is 48x32, the manifest says 64x32 — refusing to rescale the driver");
  EXPECT_EQ(o.log, "");
}

TEST(CursorOpen, WarpPriorMovies) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  for (const char* name : {"P_hevc.mov", "prior.mov"}) {
    Bundle b(std::string(name) == "P_hevc.mov" ? std::vector<std::string>{}
                                               : std::vector<std::string>{"--prior-name", name});
    Opened o = openLogged(b.m, 2, 11, true);
    EXPECT_EQ(o.cursor, nullptr);
    EXPECT_EQ(o.error, "this bundle carries neither a raw P.f16 nor " + std::string(name) + " (" + b.m.dir + "/" +
                           name + ") — there is no warp prior to play. REFUSING to create a session.");
    EXPECT_EQ(o.log, "");
  }
  // Either naming layout of the default member, and a member named by the manifest.
  const struct {
    std::vector<std::string> extra;
    std::string member, file;  // the name the log line gives, the file on disk
  } cases[] = {
      {{"--prior", "5"}, "P_hevc.mov", "P_hevc.mov"},
      {{"--prior", "5", "--prior-file", "source_frames.hevc"}, "P_hevc.mov", "source_frames.hevc"},
      {{"--prior", "5", "--prior-name", "identity.mov"}, "identity.mov", "identity.mov"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.file);
    Bundle b(k.extra);
    const int side = b.m.crop;
    Opened o = openLogged(b.m, 2, 11, true);
    ASSERT_EQ(o.error, "");
    tq::DriverCursor& c = *o.cursor;
    ASSERT_EQ(c.backend.rfind("hevc444/libavcodec ", 0), 0u) << c.backend;
    EXPECT_EQ(o.log, kNoHwdecLine + "Vexamo: identity source ready — 5 frames " + std::to_string(side) + "x" +
                         std::to_string(side) + ", played straight from " + k.member + " (" + c.backend +
                         "); nothing is unpacked to disk\n");
    EXPECT_EQ(c.W, side);
    EXPECT_EQ(c.H, side);
    EXPECT_EQ(c.frameBytes, size_t(side) * side * 6);
    testing::internal::CaptureStderr();
    const Frames ref = readThrough(tq::driver::openPriorHevc(b.m.dir + "/" + k.file, kNT, side));
    testing::internal::GetCapturedStderr();
    expectPlays(c, ref);
  }
}

}  // namespace
