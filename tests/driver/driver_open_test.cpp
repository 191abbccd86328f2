// Movie sources and DriverCursor::open / openPrior over bundles. Sources are held
// against ffmpeg's own decoding of files written by the ffmpeg tool (driver frames
// through the 8-bit BT.601 formula computed here, prior frames through numpy's
// float16 in the fixture tool), JPEG stills against stb_image; refusals are
// checked with their full text through the opener that produces them.
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

// RGB24 frames from ffmpeg's raw planes (yuv420p or nv12, rows packed, chroma of
// ceil(W/2) x ceil(H/2)), through the fixed-point BT.601 formula.
Frames driverOracle(const std::vector<uint8_t>& raw, int W, int H, bool nv12) {
  const size_t cw = (W + 1) / 2, ch = (H + 1) / 2, frame = size_t(W) * H + 2 * cw * ch;
  EXPECT_EQ(raw.size() % frame, 0u) << "raw planes are not whole frames";
  const auto clamp = [](int v) { return uint8_t(std::min(255, std::max(0, v))); };
  Frames out;
  for (size_t f = 0; f + frame <= raw.size(); f += frame) {
    const uint8_t *Y = raw.data() + f, *C = Y + size_t(W) * H;
    std::vector<uint8_t> rgb(size_t(W) * H * 3);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const size_t c0 = (y / 2) * (nv12 ? 2 * cw : cw) + (nv12 ? 2 * (x / 2) : x / 2);
        const int c = 298 * (Y[size_t(y) * W + x] - 16) + 128, d = C[c0] - 128, e = (nv12 ? C[c0 + 1] : C[cw * ch + c0]) - 128;
        uint8_t* p = &rgb[(size_t(y) * W + x) * 3];
        p[0] = clamp((c + 409 * e) >> 8);
        p[1] = clamp((c - 100 * d - 208 * e) >> 8);
        p[2] = clamp((c + 516 * d) >> 8);
      }
    out.push_back(std::move(rgb));
  }
  return out;
}

std::vector<uint8_t> nextFrame(tq::driver::Source& s) {
  std::vector<uint8_t> buf(s.frameBytes(), 0xA5);
  if (!s.next(buf.data())) throw std::runtime_error("source ended early");
  return buf;
}

struct Open {
  bool prior;
  const char* movie;
  int NT, W, H = 0;  // prior: side = W
};

class DriverOpen : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    std::vector<std::string> args = {"movie-batch"};  // steps separated by "+"
    const auto step = [&](std::vector<std::string> s) {
      args.push_back("+");
      args.insert(args.end(), s.begin(), s.end());
    };
    const auto movie = [&](const char* name, const char* size, const char* frames, const char* codec, const char* fmt,
                           std::vector<std::string> more = {}) {
      std::vector<std::string> s = {"movie", path(name), "--size", size, "--frames", frames};
      if (*codec) s.insert(s.end(), {"--codec", codec});
      if (*fmt) s.insert(s.end(), {"--pix-fmt", fmt});
      s.insert(s.end(), more.begin(), more.end());
      step(s);
    };
    const std::vector<std::string> pat = {"--source", "pattern"};
    movie("drv.mp4", "48x32", "5", "", "");
    movie("edges.mp4", "48x32", "3", "", "", {"--source", "pattern", "--lossless"});
    movie("odd.nut", "47x33", "4", "rawvideo", "", pat);
    movie("nv12.nut", "47x33", "4", "rawvideo", "nv12", {"--source", "pattern", "--seed", "3"});
    movie("nv12even.nut", "48x32", "3", "rawvideo", "nv12", {"--source", "pattern", "--seed", "4"});
    movie("full8.mp4", "48x32", "8", "", "", {"--extra=-movflags", "--extra=+faststart"});
    step({"movie-truncate", path("full8.mp4"), path("cut.mp4"), "--keep-packets", "5"});  // states 8, carries 5
    movie("short.mkv", "48x32", "3", "", "");                                                // states no count
    movie("drv3.mp4", "48x32", "3", "", "");
    movie("wide.mp4", "64x32", "2", "", "");
    movie("h264_444.mp4", "48x32", "2", "", "yuv444p");
    movie("h264_full.mp4", "48x32", "2", "", "yuvj420p");
    movie("h264_10bit.mp4", "48x32", "2", "", "yuv420p10le");
    movie("rgb.nut", "48x32", "2", "rawvideo", "rgb24");
    movie("part_a.h264", "48x32", "2", "", "");
    movie("part_b.h264", "64x32", "2", "", "");
    step({"movie-concat", path("resize.h264"), path("part_a.h264"), path("part_b.h264")});
    step({"movie-audio", path("tone.m4a")});
    movie("prior.mov", "32x32", "4", "libx265", "yuv444p");
    movie("prior_edges.mov", "16x16", "3", "libx265", "yuv444p", {"--source", "pattern", "--lossless"});
    movie("prior_odd.nut", "17x17", "3", "rawvideo", "yuv444p", pat);
    movie("prior420.mov", "32x32", "3", "libx265", "yuv420p");
    movie("prior10.mov", "32x32", "2", "libx265", "yuv444p10le");
    movie("prior_nv12.nut", "32x32", "2", "rawvideo", "nv12");
    for (const char* m : {"drv.mp4", "edges.mp4", "odd.nut", "cut.mp4", "short.mkv"})
      step({"movie-raw", path(m), path(m) + ".yuv"});
    for (const char* m : {"nv12.nut", "nv12even.nut"}) step({"movie-raw", path(m), path(m) + ".yuv", "--pix-fmt", "nv12"});
    for (const auto& [m, side] : {std::make_pair("prior.mov", "32"), {"prior_edges.mov", "16"}, {"prior_odd.nut", "17"}})
      step({"movie-prior-oracle", path(m), path(m) + ".f16", "--side", side});
    for (const char* m : {"drv.mp4", "cut.mp4"}) step({"movie-probe", path(m), path(m) + ".probe"});
    fixturesOk_ = tqtest::runFixtureTool(args);
    tqtest::writeText(path("notes.mp4"), "this is a text file, not a movie\n");
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override { ASSERT_TRUE(fixturesOk_) << "fixture generation failed"; }

  static std::string path(const std::string& name) { return *dir_ / name; }
  // What ffmpeg decodes a movie to: RGB24 for driver movies, half-float planes for priors.
  static Frames oracle(const Open& o) {
    const std::vector<uint8_t> raw = tqtest::readBytes(path(o.movie) + (o.prior ? ".f16" : ".yuv"));
    if (!o.prior) return driverOracle(raw, o.W, o.H, std::strstr(o.movie, "nv12") != nullptr);
    Frames out;
    for (size_t at = 0, n = size_t(o.W) * o.W * 6; at + n <= raw.size(); at += n) out.emplace_back(&raw[at], &raw[at] + n);
    return out;
  }
  static std::vector<long> probe(const std::string& movie) {  // stated, decodable, largest packet
    std::istringstream in(tqtest::readText(path(movie + ".probe")));
    std::vector<long> v(3, -1);
    in >> v[0] >> v[1] >> v[2];
    return v;
  }
  static SourcePtr open(const Open& a) {
    return a.prior ? tq::driver::openPriorHevc(path(a.movie), a.NT, a.W) : tq::driver::openMp4(path(a.movie), a.NT, a.W, a.H);
  }

  tqtest::ScopedEnv hwdec_{"TQ_DRIVER_HWDEC", "0"};
  tqtest::ScopedEnv prefer_{"TQ_DRIVER_PREFER_MP4", nullptr};
  static tqtest::TempDir* dir_;
  static bool fixturesOk_;
};
tqtest::TempDir* DriverOpen::dir_ = nullptr;
bool DriverOpen::fixturesOk_ = false;

// Every frame, the end reported twice, a rewind, seeks back and forth, a rewind mid-stream.
TEST_F(DriverOpen, SourcesDecodeWhatFfmpegDecodes) {
  for (const Open& o : {Open{false, "drv.mp4", 5, 48, 32}, Open{false, "edges.mp4", 3, 48, 32}, Open{false, "odd.nut", 4, 47, 33},
                        Open{false, "nv12.nut", 4, 47, 33}, Open{false, "nv12even.nut", 3, 48, 32},
                        Open{true, "prior.mov", 4, 32}, Open{true, "prior_edges.mov", 3, 16}, Open{true, "prior_odd.nut", 3, 17}}) {
    SCOPED_TRACE(o.movie);
    const Frames want = oracle(o);
    ASSERT_EQ(want.size(), size_t(o.NT));
    SourcePtr src = open(o);
    ASSERT_EQ(src->NT(), o.NT);
    EXPECT_EQ(src->frameBytes(), o.prior ? size_t(o.W) * o.W * 6 : size_t(o.W) * o.H * 3);
    for (int i = 0; i < o.NT; ++i) ASSERT_TRUE(nextFrame(*src) == want[i]) << "first pass, frame " << i;
    std::vector<uint8_t> sink(src->frameBytes());
    EXPECT_FALSE(src->next(sink.data()));
    EXPECT_FALSE(src->next(sink.data())) << "the end is reported until a rewind";
    src->rewind();
    for (int i = 0; i < o.NT; ++i) ASSERT_TRUE(nextFrame(*src) == want[i]) << "after rewind, frame " << i;
    for (int i : {o.NT - 1, o.NT / 2, 1, std::min(3, o.NT - 1), 0, 0}) {
      src->seek(i);
      ASSERT_TRUE(nextFrame(*src) == want[i]) << "seek to " << i;
    }
    src->rewind();
    ASSERT_TRUE(nextFrame(*src) == want[0]) << "rewind mid-stream";
  }
  const std::vector<long> drv = probe("drv.mp4");
  ASSERT_EQ(drv[0], 5);
  // Resident: the 4:2:0 frame times the decoder's 4 threads + 5, plus the largest packet read so far.
  SourcePtr src = tq::driver::openMp4(path("drv.mp4"), 5, 48, 32);
  EXPECT_EQ(src->residentBytes(), 48 * 32 * 3 / 2 * 9);
  for (int i = 0; i < 5; ++i) nextFrame(*src);
  EXPECT_EQ(src->residentBytes(), 48 * 32 * 3 / 2 * 9 + size_t(drv[2]));
  EXPECT_EQ(tq::driver::openPriorHevc(path("prior.mov"), 4, 32)->residentBytes(), size_t(32 * 32 * 3) * 9);
  EXPECT_EQ(tq::movieDecoderBuild(), kAvcodec + " / " + avcodec_configuration());
}

TEST_F(DriverOpen, ShortMoviesEndAndRefuseSeeksIntoTheMissingTail) {
  const std::vector<long> cut = probe("cut.mp4");
  ASSERT_EQ(std::make_pair(cut[0], cut[1]), std::make_pair(8L, 5L)) << "the cut movie should state the full count";
  for (const auto& [movie, stated, carried] : {std::make_tuple("cut.mp4", 8, 5), std::make_tuple("short.mkv", 5, 3)}) {
    SCOPED_TRACE(movie);
    const Frames want = oracle(Open{false, movie, 0, 48, 32});
    ASSERT_EQ(want.size(), size_t(carried));
    SourcePtr src = tq::driver::openMp4(path(movie), stated, 48, 32);  // the stated count fits, so the open succeeds
    for (int i = 0; i < carried; ++i) ASSERT_TRUE(nextFrame(*src) == want[i]) << i;
    std::vector<uint8_t> buf(src->frameBytes());
    EXPECT_FALSE(src->next(buf.data()));
    EXPECT_EQ(thrown([&] { src->seek(stated - 1); }), "tq_driver: " + path(movie) + " ended at frame " +
                                                         std::to_string(carried) + " while seeking to " + std::to_string(stated - 1));
    src->seek(2);  // still usable
    EXPECT_TRUE(nextFrame(*src) == want[2]);
  }
  // Outside the frame range: refused, and the position stays where it was.
  SourcePtr drv = tq::driver::openMp4(path("drv.mp4"), 5, 48, 32), prior = tq::driver::openPriorHevc(path("prior.mov"), 4, 32);
  for (tq::driver::Source* s : {drv.get(), prior.get()})
    for (int bad : {s->NT(), -1, 1000}) EXPECT_EQ(thrown([&] { s->seek(bad); }), "tq_driver: seek outside the member");
  nextFrame(*drv);
  EXPECT_TRUE(nextFrame(*drv) == oracle(Open{false, "drv.mp4", 5, 48, 32})[1]) << "position moved by a refused seek";
}

TEST_F(DriverOpen, MoviesThatDisagreeWithTheCallerAreRefused) {
  const std::string size = " — refusing to rescale the driver", count = " — member/manifest mismatch, refusing";
  const std::string driverTail = ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — "
                                 "refusing rather than pasting onto a different pixel domain";
  const std::string priorTail = ", not the yuv444p a warp prior is authored in — a subsampled prior is a different mouth, refusing";
  const struct {
    Open open;
    int goodFrames;  // -1: refused at open, else delivered before the refusal
    std::string tail;  // after "tq_driver: " + path
  } cases[] = {
      {{false, "missing.mp4", 5, 48, 32}, -1, " is not a readable container"},
      {{false, "notes.mp4", 5, 48, 32}, -1, " is not a readable container"},
      {{true, "missing.mov", 3, 32, 32}, -1, " is not a readable container"},
      {{false, "tone.m4a", 5, 48, 32}, -1, " has no video stream"},
      {{true, "tone.m4a", 3, 32, 32}, -1, " has no video stream"},
      {{false, "wide.mp4", 2, 48, 32}, -1, " is 64x32, the manifest says 48x32" + size},
      {{false, "drv.mp4", 5, 48, 48}, -1, " is 48x32, the manifest says 48x48" + size},
      {{true, "prior.mov", 4, 16, 16}, -1, " is 32x32, the manifest says 16x16" + size},
      {{false, "drv.mp4", 3, 48, 32}, -1, " carries 5 frames, the manifest says NT=3" + count},
      {{false, "drv.mp4", 7, 48, 32}, -1, " carries 5 frames, the manifest says NT=7" + count},
      {{false, "drv3.mp4", 5, 48, 32}, -1, " carries 3 frames, the manifest says NT=5" + count},
      {{true, "prior.mov", 3, 32, 32}, -1, " carries 4 frames, the manifest says NT=3" + count},
      {{false, "wide.mp4", 9, 48, 32}, -1, " is 64x32, the manifest says 48x32" + size},  // size before count
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
    SCOPED_TRACE(c.open.movie);
    const std::string want = "tq_driver: " + path(c.open.movie) + c.tail;
    if (c.goodFrames < 0) {
      EXPECT_EQ(thrown([&] { open(c.open); }), want);
      continue;
    }
    SourcePtr s = open(c.open);  // the header is fine
    std::vector<uint8_t> buf(s->frameBytes());
    for (int i = 0; i < c.goodFrames; ++i) ASSERT_TRUE(s->next(buf.data())) << "frame " << i;
    EXPECT_EQ(thrown([&] { s->next(buf.data()); }), want);
    s->rewind();
    if (c.goodFrames + 1 < s->NT()) {
      EXPECT_EQ(thrown([&] { s->seek(c.goodFrames + 1); }), want) << "a seek decoding through it";
    }
  }
}

// Hardware decoding is attempted for H.264 driver movies unless TQ_DRIVER_HWDEC is
// exactly "0"; a hardware decoder that exists but cannot open hands over to the
// software decoder with a notice; the samples are the same either way.
TEST_F(DriverOpen, HardwareDecoderAttemptAndFallback) {
  const bool hwBuilt = avcodec_find_decoder_by_name("h264_cuvid") != nullptr;
  const Open drv{false, "drv.mp4", 5, 48, 32}, prior{true, "prior.mov", 4, 32, 32}, raw{false, "odd.nut", 4, 47, 33};
  const Frames want = oracle(drv);
  for (const auto& [value, o, decoder] :
       {std::make_tuple("0", drv, "h264"), std::make_tuple((const char*)nullptr, drv, "h264"), std::make_tuple("1", drv, "h264"),
        std::make_tuple("", drv, "h264"), std::make_tuple("00", drv, "h264"), std::make_tuple("0 ", drv, "h264"),
        std::make_tuple("0", prior, "hevc"), std::make_tuple((const char*)nullptr, prior, "hevc"),
        std::make_tuple("0", raw, "rawvideo"), std::make_tuple((const char*)nullptr, raw, "rawvideo")}) {
    SCOPED_TRACE(std::string(o.movie) + " TQ_DRIVER_HWDEC=" + (value ? "'" + std::string(value) + "'" : "unset"));
    tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", value);
    testing::internal::CaptureStderr();
    SourcePtr src;
    const std::string error = thrown([&] { src = open(o); });
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(error, "(nothing thrown)");
    const std::string kind = o.prior ? "hevc444/" : "mp4/", refused = "[tq-driver] h264_cuvid refused " + path(o.movie) +
                                                                     " — falling back to the software h264 decoder (same samples, more CPU)\n";
    const bool disabled = value && std::string(value) == "0", h264 = std::string(decoder) == "h264";
    if (disabled) {
      EXPECT_EQ(err, kNoHwdecLine);  // exactly one notice per open, whatever the codec
    } else {
      EXPECT_EQ(err.find(h264 ? "not attempted" : "h264_cuvid"), std::string::npos) << err;
    }
    if (!h264 || disabled || !hwBuilt) {
      EXPECT_EQ(src->name(), kind + kAvcodec + " " + decoder);
      EXPECT_TRUE(disabled || err.find("[tq-driver]") == std::string::npos) << err;
    } else if (src->name() == kind + kAvcodec + " h264_cuvid") {
      EXPECT_EQ(err.find(refused), std::string::npos) << err;
    } else {
      EXPECT_EQ(src->name(), kind + kAvcodec + " h264");
      EXPECT_NE(err.find(refused), std::string::npos) << err;
    }
    for (size_t i = 0; h264 && i < want.size(); ++i) ASSERT_TRUE(nextFrame(*src) == want[i]) << "frame " << i;
  }
}

// ---------------------------------------------------------------- bundles

struct Bundle {
  tqtest::TempDir tmp;
  std::string dir = tmp / "bundle";
  tq::Manifest m;
  explicit Bundle(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"driver-jpg-bundle", dir, "--nt", "5", "--w", "48", "--h", "32"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (tqtest::runFixtureTool(args)) m = tq::loadManifest(dir);
  }
};

// The stills decoded directly by stb_image.
Frames decodeStills(const std::string& stills) {
  Frames frames;
  for (int i = 0; i < 5; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", i);
    int w = 0, h = 0, c = 0;
    stbi_uc* px = stbi_load((stills + name).c_str(), &w, &h, &c, 3);
    EXPECT_TRUE(px && w == 48 && h == 32) << stills + name;
    if (!px) return {};
    frames.emplace_back(px, px + size_t(w) * h * 3);
    stbi_image_free(px);
  }
  return frames;
}

// The cursor plays through a wrap, then steps back into history and seeks; every
// frame must match `ref`, whose frames are all different.
void expectPlays(tq::DriverCursor& c, const Frames& ref) {
  const int nt = static_cast<int>(ref.size());
  ASSERT_EQ(nt, 5);
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

// Which video a bundle plays, the lines logged, and its refusals. In `log`, $D is
// the bundle directory, $B the cursor's backend, $S the prior side.
TEST_F(DriverOpen, BundlesOpenTheirDriverVideoAndWarpPrior) {
  const std::string jpg = "[tq-driver] target_frames/ (raw jpg, 5 frames) — read one frame per pull\n";
  const auto movie = [](const std::string& name, int ahead, int hist) {
    return kNoHwdecLine + "[tq-driver] " + name + " decoded IN PLACE ($B, 5 frames 48x32, look-ahead " +
           std::to_string(ahead) + ", history " + std::to_string(hist) + ") — no frame of the driver is expanded ahead of the paste\n";
  };
  const auto prior = [](const std::string& member) {
    return kNoHwdecLine + "Vexamo: identity source ready — 5 frames $Sx$S, played straight from " + member +
           " ($B); nothing is unpacked to disk\n";
  };
  const auto noDriver = [](const std::string& stills, const std::string& movie) {
    return "this bundle carries neither a populated " + stills + "/ nor " + movie + " ($D/" + movie +
           ") — there is no driver video to play. REFUSING to create a session.";
  };
  const auto noPrior = [](const std::string& movie) {
    return "this bundle carries neither a raw P.f16 nor " + movie + " ($D/" + movie +
           ") — there is no warp prior to play. REFUSING to create a session.";
  };
  const std::string preferLine = "[tq-driver] TQ_DRIVER_PREFER_MP4=1 — target_frames/ is populated and NOT used; "
                                 "target_frames.mp4 is the member this consumer reads\n";
  const struct {
    std::vector<std::string> extra;
    const char* prefer;
    bool prior;
    int ahead, hist;
    std::string play;  // "stills/<dir>", the movie member played, or "" for a refusal
    std::string log;   // the lines logged, or the refusal
  } cases[] = {
      {{}, nullptr, false, 2, 11, "stills/target_frames", jpg},
      {{"--stills-name", "stills"}, nullptr, false, 2, 11, "stills/stills",
       "[tq-driver] stills/ (raw jpg, 5 frames) — read one frame per pull\n"},
      {{"--frames", "0"}, nullptr, false, 2, 11, "", noDriver("target_frames", "target_frames.mp4")},
      {{"--frames", "0"}, "1", false, 2, 11, "", noDriver("target_frames", "target_frames.mp4")},
      // Only the last frame's file decides whether the directory is populated.
      {{"--stills-name", "stills", "--movie-name", "clip.mp4", "--frames", "4"}, nullptr, false, 2, 11, "",
       noDriver("stills", "clip.mp4")},
      // The line names the effective look-ahead and history.
      {{"--frames", "0", "--movie", "5"}, nullptr, false, 0, -4, "target_frames.mp4", movie("target_frames.mp4", 1, 0)},
      {{"--frames", "0", "--movie", "5", "--movie-name", "clip.mp4"}, nullptr, false, 2, 11, "clip.mp4", movie("clip.mp4", 2, 11)},
      {{"--movie", "5"}, "1", false, 2, 11, "target_frames.mp4", preferLine + movie("target_frames.mp4", 2, 11)},
      {{"--movie", "5"}, "true", false, 2, 11, "stills/target_frames", jpg},
      {{"--movie", "5"}, "0", false, 2, 11, "stills/target_frames", jpg},
      {{"--movie", "5"}, "", false, 2, 11, "stills/target_frames", jpg},
      {{"--movie", "5"}, nullptr, false, 2, 11, "stills/target_frames", jpg},
      {{}, "1", false, 2, 11, "stills/target_frames", jpg},  // nothing to prefer
      // A movie of the wrong size is refused before anything is announced.
      {{"--frames", "0", "--movie", "5", "--manifest-set", "{\"W\": 64}"}, nullptr, false, 2, 11, "",
       "tq_driver: $D/target_frames.mp4 is 48x32, the manifest says 64x32 — refusing to rescale the driver"},
      {{}, nullptr, true, 2, 11, "", noPrior("P_hevc.mov")},
      {{"--prior-name", "prior.mov"}, nullptr, true, 2, 11, "", noPrior("prior.mov")},
      // Either naming layout of the default member, and a member named by the manifest.
      {{"--prior", "5"}, nullptr, true, 2, 11, "P_hevc.mov", prior("P_hevc.mov")},
      {{"--prior", "5", "--prior-file", "source_frames.hevc"}, nullptr, true, 2, 11, "source_frames.hevc", prior("P_hevc.mov")},
      {{"--prior", "5", "--prior-name", "identity.mov"}, nullptr, true, 2, 11, "identity.mov", prior("identity.mov")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", c.prefer);
    Bundle b(c.extra);
    const int side = c.prior ? b.m.crop : 0;
    std::unique_ptr<tq::DriverCursor> cursor;
    testing::internal::CaptureStderr();
    const std::string error = thrown([&] {
      cursor = c.prior ? tq::DriverCursor::openPrior(b.m, c.ahead, c.hist) : tq::DriverCursor::open(b.m, c.ahead, c.hist);
    });
    const std::string log = testing::internal::GetCapturedStderr();
    std::string want = c.log;
    for (const auto& [key, value] : {std::make_pair("$D", b.dir), {"$B", cursor ? cursor->backend : ""},
                                     {"$S", std::to_string(side)}})
      for (std::size_t p; (p = want.find(key)) != std::string::npos;) want.replace(p, 2, value);
    if (c.play.empty()) {
      EXPECT_EQ(std::make_tuple(error, log, cursor == nullptr), std::make_tuple(want, "", true));
      continue;
    }
    ASSERT_EQ(error, "(nothing thrown)");
    EXPECT_EQ(log, want);
    EXPECT_EQ(std::make_tuple(cursor->NT, cursor->W, cursor->H), std::make_tuple(5, c.prior ? side : 48, c.prior ? side : 32));
    Frames ref;
    if (c.play.rfind("stills/", 0) == 0) {
      EXPECT_EQ(cursor->backend, "jpg/stb");
      EXPECT_EQ(cursor->residentBytes(), 14u * 48 * 32 * 3) << "stills hold nothing beyond the ring";
      ref = decodeStills(b.dir + c.play.substr(6));
    } else {  // the member read straight through its own source, checked against ffmpeg above
      EXPECT_EQ(cursor->backend.rfind(c.prior ? "hevc444/libavcodec " : "mp4/libavcodec ", 0), 0u) << cursor->backend;
      testing::internal::CaptureStderr();
      SourcePtr src = c.prior ? tq::driver::openPriorHevc(b.dir + "/" + c.play, 5, side)
                              : tq::driver::openMp4(b.dir + "/" + c.play, 5, 48, 32);
      for (int i = 0; i < 5; ++i) ref.push_back(nextFrame(*src));
      testing::internal::GetCapturedStderr();
    }
    expectPlays(*cursor, ref);
  }
}

TEST_F(DriverOpen, ABadStillFailsThePullThatReachesIt) {
  std::vector<uint8_t> buf(48 * 32 * 3);
  for (const std::string size : {"64x32", "48x48", ""}) {
    Bundle b(size.empty() ? std::vector<std::string>{"--drop", "1"} : std::vector<std::string>{"--resize", "2:" + size});
    testing::internal::CaptureStderr();
    auto cursor = tq::DriverCursor::open(b.m, 1, 3);  // look-ahead 1: frame k+1 is decoded after frame k is pulled
    testing::internal::GetCapturedStderr();
    const int bad = size.empty() ? 1 : 2;  // the last still exists, so the directory counts as populated
    for (int i = 0; i < bad; ++i) EXPECT_EQ(cursor->pull(buf.data()), i);
    // The source's message carries the prefix; the cursor adds its own. The failure sticks.
    const std::string file = b.dir + "/target_frames/frame_00000" + std::to_string(bad) + ".jpg";
    const std::string want = size.empty() ? "tq_driver: decode failed: " + file
                                          : "tq_driver: tq_driver: " + file + " is " + size + ", the manifest says 48x32 — refusing";
    EXPECT_EQ(thrown([&] { cursor->pull(buf.data()); }), want);
    EXPECT_EQ(thrown([&] { cursor->pull(buf.data()); }), want);
    EXPECT_EQ(thrown([&] { cursor->pullAt(0, buf.data()); }), want);
  }
  SourcePtr none = tq::driver::openJpgDir("/nonexistent", 5, 48, 32);  // fails only when read
  EXPECT_EQ(thrown([&] { none->next(buf.data()); }), "decode failed: /nonexistent/frame_000000.jpg");
  EXPECT_EQ(thrown([&] { none->seek(5); }), "tq_driver: seek outside the member");
}

}  // namespace
