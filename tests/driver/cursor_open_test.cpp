// DriverCursor::open / openPrior over bundles written by the fixture tool: which
// driver video is chosen, the lines logged, the refusals, and frames played from
// JPEG stills (compared with a direct stb_image decode of the same files) and
// from movie members (compared with the same movie read straight through its
// source, frame after frame).
#include <gtest/gtest.h>

#include <stb/stb_image.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/tq_bundle.h"
#include "driver/tq_driver.h"
#include "driver/tq_driver_ff.h"
#include "tq_test_util.h"

namespace {

constexpr int kNT = 5;
constexpr int kW = 48;
constexpr int kH = 32;
constexpr std::size_t kFrameBytes = kW * kH * 3;

// Printed by the movie source on every open with TQ_DRIVER_HWDEC=0, which the
// movie tests set so that no hardware decoder is probed (and logs nothing else).
const std::string kNoHwdecLine =
    "[tq-driver] TQ_DRIVER_HWDEC=0 — h264_cuvid not attempted; the software decoder is the one "
    "decoder on this fleet (same samples)\n";

const char* const kJpgLine =
    "[tq-driver] target_frames/ (raw jpg, 5 frames) — read one frame per pull\n";

struct Bundle {
  tqtest::TempDir tmp;
  std::string dir = tmp / "bundle";
  tq::Manifest m;

  // A bundle of kNT frames of kW x kH; `extra` are further fixture options.
  bool make(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"driver-jpg-bundle", dir, "--nt", std::to_string(kNT),
                                     "--w", std::to_string(kW), "--h", std::to_string(kH)};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!tqtest::runFixtureTool(args)) return false;
    m = tq::loadManifest(dir);
    return true;
  }
};

struct Opened {
  std::unique_ptr<tq::DriverCursor> cursor;
  std::string log;    // everything written to standard error by the opener
  std::string error;  // the refusal, empty when the cursor opened
};

Opened openLogged(const tq::Manifest& m, int ahead, int hist, bool prior = false) {
  Opened o;
  testing::internal::CaptureStderr();
  try {
    o.cursor = prior ? tq::DriverCursor::openPrior(m, ahead, hist)
                     : tq::DriverCursor::open(m, ahead, hist);
  } catch (const std::runtime_error& e) {
    o.error = e.what();
  }
  o.log = testing::internal::GetCapturedStderr();
  return o;
}

std::string framePath(const std::string& stills, int i) {
  char name[32];
  std::snprintf(name, sizeof name, "/frame_%06d.jpg", i);
  return stills + name;
}

// The stills decoded directly, as the reference for what the cursor hands out.
std::vector<std::vector<uint8_t>> decodeStills(const std::string& stills, int count) {
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < count; ++i) {
    int w = 0, h = 0, c = 0;
    stbi_uc* px = stbi_load(framePath(stills, i).c_str(), &w, &h, &c, 3);
    EXPECT_NE(px, nullptr) << framePath(stills, i);
    if (!px) return {};
    EXPECT_EQ(w, kW);
    EXPECT_EQ(h, kH);
    frames.emplace_back(px, px + static_cast<std::size_t>(w) * h * 3);
    stbi_image_free(px);
  }
  // Indexing checks below are only meaningful when every frame is different.
  for (int i = 0; i < count; ++i)
    for (int j = i + 1; j < count; ++j) EXPECT_NE(frames[i], frames[j]) << i << " vs " << j;
  return frames;
}

// Every frame of a movie member read straight through its own source.
std::vector<std::vector<uint8_t>> readThrough(tq::driver::SourcePtr src) {
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < src->NT(); ++i) {
    std::vector<uint8_t> f(src->frameBytes());
    EXPECT_TRUE(src->next(f.data())) << "frame " << i;
    frames.push_back(std::move(f));
  }
  for (std::size_t i = 0; i < frames.size(); ++i)
    for (std::size_t j = i + 1; j < frames.size(); ++j)
      EXPECT_NE(frames[i], frames[j]) << i << " vs " << j;
  return frames;
}

// Plays the cursor through a wrap, a history step back, a seek back and a seek
// forward, checking every frame against `ref`.
void expectPlays(tq::DriverCursor& c, const std::vector<std::vector<uint8_t>>& ref) {
  const int nt = static_cast<int>(ref.size());
  ASSERT_GT(nt, 3);
  std::vector<uint8_t> buf(c.frameBytes);
  for (int k = 0; k < 2 * nt + 2; ++k) {
    int idx = c.pull(buf.data());
    ASSERT_EQ(idx, k % nt);
    EXPECT_TRUE(buf == ref[idx]) << "pull " << k << " (frame " << idx << ")";
  }
  const int order[] = {0, nt - 1, 2, 1, 3, 0};
  for (int i : order) {
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

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

// ---------------------------------------------------------------- JPEG stills

TEST(CursorOpenStills, PlaysTheStillsInOrderWithWrapAndSeeks) {
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", nullptr);
  Bundle b;
  ASSERT_TRUE(b.make());
  Opened o = openLogged(b.m, 2, 11);
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(o.log, kJpgLine);
  tq::DriverCursor& c = *o.cursor;
  EXPECT_EQ(c.NT, kNT);
  EXPECT_EQ(c.W, kW);
  EXPECT_EQ(c.H, kH);
  EXPECT_EQ(c.frameBytes, kFrameBytes);
  EXPECT_EQ(c.backend, "jpg/stb");
  EXPECT_EQ(c.residentBytes(), 14 * kFrameBytes) << "stills hold nothing beyond the ring";
  expectPlays(c, decodeStills(b.dir + "/target_frames", kNT));
}

TEST(CursorOpenStills, DirectoryAndMovieNamesComeFromTheManifest) {
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", nullptr);
  {
    Bundle b;
    ASSERT_TRUE(b.make({"--stills-name", "stills"}));
    Opened o = openLogged(b.m, 1, 0);
    ASSERT_EQ(o.error, "");
    EXPECT_EQ(o.log, "[tq-driver] stills/ (raw jpg, 5 frames) — read one frame per pull\n");
    expectPlays(*o.cursor, decodeStills(b.dir + "/stills", kNT));
  }
  {
    // Only the last frame's file decides whether the directory is populated.
    Bundle b;
    ASSERT_TRUE(b.make({"--stills-name", "stills", "--movie-name", "clip.mp4", "--frames", "4"}));
    Opened o = openLogged(b.m, 2, 11);
    EXPECT_EQ(o.error, "this bundle carries neither a populated stills/ nor clip.mp4 (" + b.m.dir +
                           "/clip.mp4) — there is no driver video to play. REFUSING to create a "
                           "session.");
    EXPECT_EQ(o.log, "");
  }
}

TEST(CursorOpenStills, NoDriverVideoIsRefused) {
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", "1");
  Bundle b;
  ASSERT_TRUE(b.make({"--frames", "0"}));
  Opened o = openLogged(b.m, 2, 11);
  EXPECT_EQ(o.cursor, nullptr);
  EXPECT_EQ(o.error, "this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" +
                         b.m.dir +
                         "/target_frames.mp4) — there is no driver video to play. REFUSING to "
                         "create a session.");
  EXPECT_EQ(o.log, "");
}

TEST(CursorOpenStills, StillOfTheWrongSizeFailsThePullThatReachesIt) {
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", nullptr);
  Bundle b;
  ASSERT_TRUE(b.make({"--resize", "2:64x48"}));
  Opened o = openLogged(b.m, 1, 0);  // look-ahead 1: frame 2 is decoded after frame 1 is pulled
  ASSERT_EQ(o.error, "");
  std::vector<uint8_t> buf(kFrameBytes);
  EXPECT_EQ(o.cursor->pull(buf.data()), 0);
  EXPECT_EQ(o.cursor->pull(buf.data()), 1);
  // The source's message already carries the prefix; the cursor adds its own.
  const std::string want = "tq_driver: tq_driver: " + b.m.dir +
                           "/target_frames/frame_000002.jpg is 64x48, the manifest says 48x32 — "
                           "refusing";
  for (int attempt = 0; attempt < 3; ++attempt) {
    try {
      if (attempt == 2)
        o.cursor->pullAt(0, buf.data());
      else
        o.cursor->pull(buf.data());
      ADD_FAILURE() << "attempt " << attempt << " did not throw";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), want) << "attempt " << attempt;
    }
  }
}

TEST(CursorOpenStills, MissingStillFailsWithTheDecodeMessage) {
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", nullptr);
  Bundle b;
  ASSERT_TRUE(b.make({"--drop", "1"}));
  Opened o = openLogged(b.m, 1, 3);
  ASSERT_EQ(o.error, "") << "the last still exists, so the directory counts as populated";
  std::vector<uint8_t> buf(kFrameBytes);
  EXPECT_EQ(o.cursor->pull(buf.data()), 0);
  try {
    o.cursor->pull(buf.data());
    ADD_FAILURE() << "pull of the missing still did not throw";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "tq_driver: decode failed: " + b.m.dir + "/target_frames/frame_000001.jpg");
  }
}

TEST(CursorOpenStills, JpgSourceOnItsOwn) {
  Bundle b;
  ASSERT_TRUE(b.make());
  const std::string stills = b.dir + "/target_frames";
  std::vector<std::vector<uint8_t>> ref = decodeStills(stills, kNT);
  tq::driver::SourcePtr src = tq::driver::openJpgDir(stills, kNT, kW, kH);
  EXPECT_EQ(src->name(), "jpg/stb");
  EXPECT_EQ(src->residentBytes(), 0u);
  EXPECT_EQ(src->frameBytes(), kFrameBytes);
  std::vector<uint8_t> buf(kFrameBytes);
  src->seek(3);
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_TRUE(buf == ref[3]);
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_TRUE(buf == ref[4]);
  EXPECT_FALSE(src->next(buf.data())) << "no frame after the last";
  src->rewind();
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_TRUE(buf == ref[0]);
  for (int bad : {-1, kNT}) {
    try {
      src->seek(bad);
      ADD_FAILURE() << "seek(" << bad << ") did not throw";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "tq_driver: seek outside the member");
    }
  }
  // A directory that is not there fails only when a frame is read.
  tq::driver::SourcePtr none = tq::driver::openJpgDir(b.dir + "/absent", kNT, kW, kH);
  try {
    none->next(buf.data());
    ADD_FAILURE() << "reading an absent still did not throw";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "decode failed: " + b.dir + "/absent/frame_000000.jpg");
  }
}

// ---------------------------------------------------------------- movie member

TEST(CursorOpenMovie, MovieOnlyBundlePlaysTheMovieInPlace) {
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", nullptr);
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  Bundle b;
  ASSERT_TRUE(b.make({"--frames", "0", "--movie", "5"}));
  const std::string movie = b.m.dir + "/target_frames.mp4";
  Opened o = openLogged(b.m, 0, -4);
  ASSERT_EQ(o.error, "");
  ASSERT_TRUE(startsWith(o.cursor->backend, "mp4/libavcodec ")) << o.cursor->backend;
  EXPECT_EQ(o.log, kNoHwdecLine + movieLine("target_frames.mp4", o.cursor->backend, 1, 0))
      << "the line names the effective look-ahead and history";
  EXPECT_EQ(o.cursor->frameBytes, kFrameBytes);
  expectPlays(*o.cursor, readThrough(tq::driver::openMp4(movie, kNT, kW, kH)));
}

TEST(CursorOpenMovie, MovieMemberNamedByTheManifest) {
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", nullptr);
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  Bundle b;
  ASSERT_TRUE(b.make({"--frames", "0", "--movie", "5", "--movie-name", "clip.mp4"}));
  Opened o = openLogged(b.m, 2, 11);
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(o.log, kNoHwdecLine + movieLine("clip.mp4", o.cursor->backend, 2, 11));
  expectPlays(*o.cursor, readThrough(tq::driver::openMp4(b.m.dir + "/clip.mp4", kNT, kW, kH)));
}

TEST(CursorOpenMovie, PreferMovieOnlyWhenTheVariableIsExactlyOne) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  Bundle b;
  ASSERT_TRUE(b.make({"--movie", "5"}));
  const std::string movie = b.m.dir + "/target_frames.mp4";
  {
    tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", "1");
    Opened o = openLogged(b.m, 2, 11);
    ASSERT_EQ(o.error, "");
    ASSERT_TRUE(startsWith(o.cursor->backend, "mp4/libavcodec ")) << o.cursor->backend;
    EXPECT_EQ(o.log,
              "[tq-driver] TQ_DRIVER_PREFER_MP4=1 — target_frames/ is populated and NOT used; "
              "target_frames.mp4 is the member this consumer reads\n" +
                  kNoHwdecLine + movieLine("target_frames.mp4", o.cursor->backend, 2, 11));
    expectPlays(*o.cursor, readThrough(tq::driver::openMp4(movie, kNT, kW, kH)));
  }
  for (const char* value : {"true", "0", "", static_cast<const char*>(nullptr)}) {
    tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", value);
    Opened o = openLogged(b.m, 2, 11);
    ASSERT_EQ(o.error, "");
    EXPECT_EQ(o.log, kJpgLine) << (value ? value : "(unset)");
    EXPECT_EQ(o.cursor->backend, "jpg/stb");
  }
}

TEST(CursorOpenMovie, PreferMovieWithoutAMovieStillPlaysTheStills) {
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", "1");
  Bundle b;
  ASSERT_TRUE(b.make());
  Opened o = openLogged(b.m, 2, 11);
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(o.log, kJpgLine);
  EXPECT_EQ(o.cursor->backend, "jpg/stb");
  expectPlays(*o.cursor, decodeStills(b.dir + "/target_frames", kNT));
}

TEST(CursorOpenMovie, MovieOfTheWrongSizeIsRefusedBeforeAnyThreadStarts) {
  tqtest::ScopedEnv env("TQ_DRIVER_PREFER_MP4", nullptr);
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  Bundle b;
  ASSERT_TRUE(b.make({"--frames", "0", "--movie", "5"}));
  tq::Manifest wider = b.m;
  wider.W = 64;  // the movie is 48 wide
  Opened o = openLogged(wider, 2, 11);
  EXPECT_EQ(o.cursor, nullptr);
  EXPECT_EQ(o.error, "tq_driver: " + b.m.dir +
                         "/target_frames.mp4 is 48x32, the manifest says 64x32 — refusing to "
                         "rescale the driver");
  EXPECT_EQ(o.log, "") << "nothing is announced for a movie that is refused";
}

// ---------------------------------------------------------------- warp prior

TEST(CursorOpenPrior, MissingPriorMovieIsRefused) {
  {
    Bundle b;
    ASSERT_TRUE(b.make());
    Opened o = openLogged(b.m, 2, 11, true);
    EXPECT_EQ(o.cursor, nullptr);
    EXPECT_EQ(o.error, "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + b.m.dir +
                           "/P_hevc.mov) — there is no warp prior to play. REFUSING to create a "
                           "session.");
    EXPECT_EQ(o.log, "");
  }
  {
    Bundle b;
    ASSERT_TRUE(b.make({"--prior-name", "prior.mov"}));
    Opened o = openLogged(b.m, 2, 11, true);
    EXPECT_EQ(o.error, "this bundle carries neither a raw P.f16 nor prior.mov (" + b.m.dir +
                           "/prior.mov) — there is no warp prior to play. REFUSING to create a "
                           "session.");
  }
}

TEST(CursorOpenPrior, PriorMoviePlaysAsHalfFloatCrops) {
  tqtest::ScopedEnv hw("TQ_DRIVER_HWDEC", "0");
  // Either naming layout of the default member, and a member named by the manifest.
  struct Case {
    std::vector<std::string> extra;
    std::string member;  // the name the log line gives
    std::string file;    // the file on disk
  };
  const Case cases[] = {
      {{"--prior", "5"}, "P_hevc.mov", "P_hevc.mov"},
      {{"--prior", "5", "--prior-file", "source_frames.hevc"}, "P_hevc.mov", "source_frames.hevc"},
      {{"--prior", "5", "--prior-name", "identity.mov"}, "identity.mov", "identity.mov"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.file);
    Bundle b;
    ASSERT_TRUE(b.make(k.extra));
    const int side = b.m.crop;
    Opened o = openLogged(b.m, 2, 11, true);
    ASSERT_EQ(o.error, "");
    tq::DriverCursor& c = *o.cursor;
    ASSERT_TRUE(startsWith(c.backend, "hevc444/libavcodec ")) << c.backend;
    EXPECT_EQ(o.log, kNoHwdecLine + "Vexamo: identity source ready — 5 frames " + std::to_string(side) + "x" +
                         std::to_string(side) + ", played straight from " + k.member + " (" +
                         c.backend + "); nothing is unpacked to disk\n");
    EXPECT_EQ(c.NT, kNT);
    EXPECT_EQ(c.W, side);
    EXPECT_EQ(c.H, side);
    EXPECT_EQ(c.frameBytes, static_cast<std::size_t>(side) * side * 6);
    const std::string file = b.m.dir + "/" + k.file;
    expectPlays(c, readThrough(tq::driver::openPriorHevc(file, kNT, side)));
  }
}
