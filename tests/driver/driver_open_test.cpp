// Movie sources and DriverCursor::open / openPrior over bundles, held against ffmpeg's
// own decoding of files the ffmpeg tool wrote (driver frames through the BT.601 formula
// here, priors through numpy's float16) and JPEG stills against stb_image.
#include <gtest/gtest.h>

#include <dlfcn.h>

extern "C" {
#include <libavcodec/avcodec.h>
}
#include <stb/stb_image.h>

#include <algorithm>
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
    // One fixture run; steps separated by "+", "@" standing for the directory.
    const char* steps[] = {
        "movie @drv.mp4 --size 48x32 --frames 5", "movie @edges.mp4 --size 48x32 --frames 3 --source pattern --lossless",
        "movie @odd.nut --size 47x33 --frames 4 --codec rawvideo --source pattern",
        "movie @nv12.nut --size 47x33 --frames 4 --codec rawvideo --pix-fmt nv12 --source pattern --seed 3",
        "movie @full8.mp4 --size 48x32 --frames 8 --extra=-movflags --extra=+faststart",
        "movie-truncate @full8.mp4 @cut.mp4 --keep-packets 5",  // states 8, carries 5
        "movie @short.mkv --size 48x32 --frames 3",            // states no count
        "movie @wide.mp4 --size 64x32 --frames 2",
        "movie @h264_444.mp4 --size 48x32 --frames 2 --pix-fmt yuv444p",
        "movie @h264_full.mp4 --size 48x32 --frames 2 --pix-fmt yuvj420p",
        "movie @h264_10bit.mp4 --size 48x32 --frames 2 --pix-fmt yuv420p10le",
        "movie @rgb.nut --size 48x32 --frames 2 --codec rawvideo --pix-fmt rgb24",
        "movie @a.h264 --size 48x32 --frames 2", "movie @b.h264 --size 64x32 --frames 2",
        "movie-concat @resize.h264 @a.h264 @b.h264", "movie-audio @tone.m4a",
        "movie @prior.mov --size 32x32 --frames 4 --codec libx265 --pix-fmt yuv444p",
        "movie @prior_edges.mov --size 16x16 --frames 3 --codec libx265 --pix-fmt yuv444p --source pattern --lossless",
        "movie @prior_odd.nut --size 17x17 --frames 3 --codec rawvideo --pix-fmt yuv444p --source pattern",
        "movie @prior420.mov --size 32x32 --frames 3 --codec libx265 --pix-fmt yuv420p",
        "movie @prior10.mov --size 32x32 --frames 2 --codec libx265 --pix-fmt yuv444p10le",
        "movie @prior_nv12.nut --size 32x32 --frames 2 --codec rawvideo --pix-fmt nv12",
        "movie-raw @drv.mp4 @drv.mp4.yuv", "movie-raw @edges.mp4 @edges.mp4.yuv", "movie-raw @odd.nut @odd.nut.yuv",
        "movie-raw @cut.mp4 @cut.mp4.yuv", "movie-raw @short.mkv @short.mkv.yuv",
        "movie-raw @nv12.nut @nv12.nut.yuv --pix-fmt nv12", "movie-prior-oracle @prior.mov @prior.mov.f16 --side 32",
        "movie-prior-oracle @prior_edges.mov @prior_edges.mov.f16 --side 16",
        "movie-prior-oracle @prior_odd.nut @prior_odd.nut.f16 --side 17",
        "movie-probe @cut.mp4 @cut.mp4.probe"};
    std::vector<std::string> args = {"movie-batch"};
    for (const char* s : steps) {
      std::istringstream in(s);
      args.push_back("+");
      for (std::string w; in >> w;) args.push_back(w[0] == '@' ? path(w.substr(1)) : w);
    }
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
                        Open{false, "nv12.nut", 4, 47, 33}, Open{true, "prior.mov", 4, 32}, Open{true, "prior_edges.mov", 3, 16},
                        Open{true, "prior_odd.nut", 3, 17}}) {
    SCOPED_TRACE(o.movie);
    const Frames want = oracle(o);
    ASSERT_EQ(want.size(), size_t(o.NT));
    SourcePtr src = open(o);
    ASSERT_EQ(src->NT(), o.NT);
    EXPECT_EQ(src->frameBytes(), o.prior ? size_t(o.W) * o.W * 6 : size_t(o.W) * o.H * 3);
    for (int pass = 0; pass < 2; ++pass, src->rewind()) {
      for (int i = 0; i < o.NT; ++i) ASSERT_TRUE(nextFrame(*src) == want[i]) << "pass " << pass << ", frame " << i;
      std::vector<uint8_t> sink(src->frameBytes());
      EXPECT_FALSE(src->next(sink.data()) || src->next(sink.data())) << "the end is reported until a rewind";
    }
    for (int i : {o.NT - 1, o.NT / 2, 1, std::min(3, o.NT - 1), 0, 0}) {
      src->seek(i);
      ASSERT_TRUE(nextFrame(*src) == want[i]) << "seek to " << i;
    }
    src->rewind();
    ASSERT_TRUE(nextFrame(*src) == want[0]) << "rewind mid-stream";
  }
  EXPECT_EQ(tq::movieDecoderBuild(), kAvcodec + " / " + avcodec_configuration());
}

TEST_F(DriverOpen, ShortMoviesEndAndRefuseSeeksIntoTheMissingTail) {
  long probed = 0, decodable = 0;  // as ffprobe reads the cut movie
  std::istringstream(tqtest::readText(path("cut.mp4.probe"))) >> probed >> decodable;
  ASSERT_EQ(std::make_pair(probed, decodable), std::make_pair(8L, 5L)) << "the cut movie should state the full count";
  for (const auto& [movie, stated, carried] : {std::make_tuple("cut.mp4", 8, 5), std::make_tuple("short.mkv", 5, 3)}) {
    SCOPED_TRACE(movie);
    const Frames want = oracle(Open{false, movie, 0, 48, 32});
    ASSERT_EQ(want.size(), size_t(carried));
    SourcePtr src = tq::driver::openMp4(path(movie), stated, 48, 32);  // the stated count fits, so the open succeeds
    for (int i = 0; i < carried; ++i) ASSERT_TRUE(nextFrame(*src) == want[i]) << i;
    EXPECT_FALSE(src->next(std::vector<uint8_t>(src->frameBytes()).data()));
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
    int goodFrames;    // -1: refused at open, else delivered before the refusal
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
// exactly "0" or the NVIDIA driver's libraries cannot be loaded (then nothing at
// all is printed, FFmpeg's own lines included); a hardware decoder that exists
// but cannot open hands over to the software decoder with a notice; the samples
// are the same either way.
TEST_F(DriverOpen, HardwareDecoderAttemptAndFallback) {
  const auto loadable = [](const char* lib) {
    void* h = dlopen(lib, RTLD_LAZY | RTLD_LOCAL);
    if (h) dlclose(h);
    return h != nullptr;
  };
  const bool hwBuilt = avcodec_find_decoder_by_name("h264_cuvid") != nullptr && loadable("libcuda.so.1") &&
                       loadable("libnvcuvid.so.1");
  const Open drv{false, "drv.mp4", 5, 48, 32}, prior{true, "prior.mov", 4, 32, 32}, raw{false, "odd.nut", 4, 47, 33};
  const Frames want = oracle(drv);
  for (const auto& [o, decoder] : {std::make_pair(drv, "h264"), {prior, "hevc"}, {raw, "rawvideo"}})
    for (const char* value : {"0", (const char*)nullptr, "1", "", "00", "0 "}) {
      SCOPED_TRACE(std::string(o.movie) + " TQ_DRIVER_HWDEC=" + (value ? "'" + std::string(value) + "'" : "unset"));
      tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", value);
      testing::internal::CaptureStderr();
      SourcePtr src = open(o);
      const std::string err = testing::internal::GetCapturedStderr();
      const std::string kind = (o.prior ? "hevc444/" : "mp4/") + kAvcodec + " ", refused = "[tq-driver] h264_cuvid refused " +
          path(o.movie) + " — falling back to the software h264 decoder (same samples, more CPU)\n";
      const bool disabled = value && std::string(value) == "0", h264 = std::string(decoder) == "h264";
      if (disabled || !h264 || !hwBuilt) {  // exactly one notice per open when disabled, whatever the codec
        EXPECT_EQ(std::make_pair(src->name(), err), std::make_pair(kind + decoder, disabled ? kNoHwdecLine : ""));
      } else {  // the hardware decoder, or the software one after the notice
        const bool hw = src->name() == kind + "h264_cuvid";
        EXPECT_TRUE(hw || src->name() == kind + "h264") << src->name();
        EXPECT_EQ(std::make_pair(err.find(refused) != std::string::npos, err.find("not attempted")), std::make_pair(!hw, std::string::npos)) << err;
      }
      for (size_t i = 0; h264 && i < want.size(); ++i) ASSERT_TRUE(nextFrame(*src) == want[i]) << "frame " << i;
    }
}

// Which video a bundle plays, the lines logged, and its refusals. In `log`, $D is
// the bundle directory, $B the cursor's backend, $S the prior side.
TEST_F(DriverOpen, BundlesOpenTheirDriverVideoAndWarpPrior) {
  const std::string jpg = "[tq-driver] target_frames/ (raw jpg, 5 frames) — read one frame per pull\n";
  const auto movie = [](const std::string& name, int ahead, int hist) {
    return kNoHwdecLine + "[tq-driver] " + name + " decoded IN PLACE ($B, 5 frames 48x32, look-ahead " + std::to_string(ahead) +
           ", history " + std::to_string(hist) + ") — no frame of the driver is expanded ahead of the paste\n";
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
    tqtest::TempDir t;
    std::vector<std::string> args = {"driver-jpg-bundle", t / "b", "--nt", "5", "--w", "48", "--h", "32"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ASSERT_TRUE(tqtest::runFixtureTool(args));
    const tq::Manifest m = tq::loadManifest(t / "b");
    std::unique_ptr<tq::DriverCursor> cursor;
    testing::internal::CaptureStderr();
    const std::string error = thrown([&] {
      cursor = c.prior ? tq::DriverCursor::openPrior(m, c.ahead, c.hist) : tq::DriverCursor::open(m, c.ahead, c.hist);
    });
    const std::string log = testing::internal::GetCapturedStderr();
    std::string want = c.log;
    for (const auto& [key, value] :
         {std::make_pair("$D", m.dir), {"$B", cursor ? cursor->backend : ""}, {"$S", std::to_string(m.crop)}})
      for (std::size_t p; (p = want.find(key)) != std::string::npos;) want.replace(p, 2, value);
    if (c.play.empty()) {
      EXPECT_EQ(std::make_tuple(error, log, cursor == nullptr), std::make_tuple(want, "", true));
      continue;
    }
    ASSERT_EQ(std::make_pair(error, log), std::make_pair(std::string("(nothing thrown)"), want));
    const int w = c.prior ? m.crop : 48, h = c.prior ? m.crop : 32;
    EXPECT_EQ(std::make_tuple(cursor->NT, cursor->W, cursor->H), std::make_tuple(5, w, h));
    Frames ref;  // stills through stb_image; a member read straight through its own source, checked above
    if (c.play.rfind("stills/", 0) == 0) {
      EXPECT_EQ(cursor->backend, "jpg/stb");
      EXPECT_EQ(cursor->residentBytes(), 14u * 48 * 32 * 3) << "stills hold nothing beyond the ring";
      for (int i = 0; i < 5; ++i) {
        int sw = 0, sh = 0, sc = 0;
        const std::string file = m.dir + c.play.substr(6) + "/frame_00000" + std::to_string(i) + ".jpg";
        stbi_uc* px = stbi_load(file.c_str(), &sw, &sh, &sc, 3);
        ASSERT_TRUE(px && sw == 48 && sh == 32) << file;
        ref.emplace_back(px, px + 48 * 32 * 3);
        stbi_image_free(px);
      }
    } else {
      EXPECT_EQ(cursor->backend.rfind(c.prior ? "hevc444/libavcodec " : "mp4/libavcodec ", 0), 0u) << cursor->backend;
      testing::internal::CaptureStderr();
      SourcePtr src = c.prior ? tq::driver::openPriorHevc(m.dir + "/" + c.play, 5, w) : tq::driver::openMp4(m.dir + "/" + c.play, 5, w, h);
      for (int i = 0; i < 5; ++i) ref.push_back(nextFrame(*src));
      testing::internal::GetCapturedStderr();
    }
    // Through a wrap, back into history and forward again; the reference frames all differ.
    for (int i = 0; i < 5; ++i)
      for (int j = i + 1; j < 5; ++j) ASSERT_NE(ref[i], ref[j]) << "reference frames " << i << " and " << j;
    std::vector<uint8_t> buf(cursor->frameBytes);
    for (int k = 0; k < 12; ++k) ASSERT_TRUE(cursor->pull(buf.data()) == k % 5 && buf == ref[k % 5]) << "pull " << k;
    for (int i : {0, 4, 2, 1, 3, 0}) ASSERT_TRUE(cursor->pullAt(i, buf.data()) == i && buf == ref[i]) << "pullAt " << i;
    int idx = -1;
    const uint8_t* p = cursor->pull(&idx);
    EXPECT_TRUE(idx == 1 && std::memcmp(p, ref[1].data(), buf.size()) == 0);
  }
}

TEST_F(DriverOpen, ABadStillFailsThePullThatReachesIt) {
  std::vector<uint8_t> buf(48 * 32 * 3);
  for (const std::string size : {"64x32", "48x48", ""}) {
    tqtest::TempDir t;
    ASSERT_TRUE(tqtest::runFixtureTool({"driver-jpg-bundle", t / "b", "--nt", "5", "--w", "48", "--h", "32",
                                        size.empty() ? "--drop" : "--resize", size.empty() ? "1" : "2:" + size}));
    testing::internal::CaptureStderr();
    auto cursor = tq::DriverCursor::open(tq::loadManifest(t / "b"), 1, 3);  // frame k+1 is decoded after k is pulled
    testing::internal::GetCapturedStderr();
    const int bad = size.empty() ? 1 : 2;  // the last still exists, so the directory counts as populated
    for (int i = 0; i < bad; ++i) EXPECT_EQ(cursor->pull(buf.data()), i);
    // The source's message carries the prefix; the cursor adds its own. The failure sticks.
    const std::string file = t / "b/target_frames/frame_00000" + std::to_string(bad) + ".jpg";
    const std::string want = size.empty() ? "tq_driver: decode failed: " + file
                                          : "tq_driver: tq_driver: " + file + " is " + size + ", the manifest says 48x32 — refusing";
    for (int k = 0; k < 3; ++k) EXPECT_EQ(thrown([&] { k < 2 ? cursor->pull(buf.data()) : cursor->pullAt(0, buf.data()); }), want);
  }
  SourcePtr none = tq::driver::openJpgDir("/nonexistent", 5, 48, 32);  // fails only when read
  EXPECT_EQ(thrown([&] { none->next(buf.data()); }), "decode failed: /nonexistent/frame_000000.jpg");
  EXPECT_EQ(thrown([&] { none->seek(5); }), "tq_driver: seek outside the member");
}

}  // namespace
