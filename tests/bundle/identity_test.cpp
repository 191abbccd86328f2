// Identity arrays and drive tables: exact-size mapping, both naming layouts, the
// warp-prior refusals, paste-transform rescaling, and the drive-table checks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "bundle/tq_bundle.h"
#include "bundle/tq_identity.h"
#include "tq_test_util.h"

namespace {

using tqtest::TempDir;

std::string writeBundle(const TempDir& t, const std::vector<std::string>& args) {
  std::vector<std::string> all = {"identity-bundle", t / "b"};
  all.insert(all.end(), args.begin(), args.end());
  EXPECT_TRUE(tqtest::runFixtureTool(all));
  return t / "b";
}

// Every refusal of a damaged bundle, through the constructor (identity) or the
// loader (drive) that meets it; "$D" stands for the bundle directory.
TEST(Identity, DamagedBundlesAreRefusedWithTheirFullText) {
  const std::string noPrior =
      " nor fs_red.f16, and its manifest names no P_hevc member to play one from — the renderer has no warp prior "
      "and tq::Identity would hand it a null pointer. REFUSING to create a session.";
  const struct {
    bool drive;
    std::vector<std::string> args;
    std::string expected;
  } cases[] = {
      {false, {"--extra-bytes", "{\"P.f16\": 1}"}, "size mismatch $D/P.f16"},
      {false, {"--extra-bytes", "{\"pooled64.f16\": -2}"}, "size mismatch $D/pooled64.f16"},
      {false, {"--prior", "raw+fs", "--extra-bytes", "{\"fs_red.f16\": 2}"}, "size mismatch $D/fs_red.f16"},
      {false, {"--extra-bytes", "{\"M.f32\": 4}"}, "size mismatch $D/M.f32"},
      {false, {"--drop", "pooled64.f16"}, "cannot open $D/pooled64.f16"},
      {false, {"--drop", "M.f32"}, "cannot open $D/M.f32"},
      {false, {"--prior", "none"}, "this bundle carries neither P.f16" + noPrior},
      {false, {"--prior", "none", "--manifest-set", "{\"P_rgb\": \"prior_rgb.f16\"}"},
       "this bundle carries neither prior_rgb.f16" + noPrior},
      {false, {"--prior", "none", "--manifest-set", "{\"P_hevc\": \"prior.mov\"}"},
       "this bundle's manifest names P_hevc 'prior.mov' and the file is not there ($D/prior.mov) — the renderer has "
       "no warp prior. REFUSING to create a session."},
      {true, {"--nt", "3", "--frames", "2", "--si", "[0, 3]"}, "drive: si out of range"},
      {true, {"--nt", "3", "--frames", "2", "--si", "[-1, 0]"}, "drive: si out of range"},
      {true, {"--frames", "2", "--si", "[0, 1, 2]"}, "size mismatch $D/drive/si.i32"},
      {true, {"--frames", "2", "--extra-bytes", "{\"drive/xs.f32\": 4}"}, "size mismatch $D/drive/xs.f32"},
      {true, {"--frames", "2", "--extra-bytes", "{\"drive/xd.f32\": -4}"}, "size mismatch $D/drive/xd.f32"},
      {true, {"--frames", "0", "--extra-bytes", "{\"drive/xd.f32\": 1}"}, "size mismatch $D/drive/xd.f32"},
      {true, {"--frames", "2", "--drop", "drive/xs.f32"}, "cannot open $D/drive/xs.f32"},
      {true, {"--frames", "0", "--manifest-set", "{\"frames\": -2}"}, "drive: frames -2 < 0"},
  };
  for (const auto& c : cases) {
    TempDir t;
    const std::string dir = writeBundle(t, c.args);
    std::string want = c.expected;
    if (want.find("$D") != std::string::npos) want.replace(want.find("$D"), 2, dir);
    EXPECT_EQ(tqtest::thrown([&] {
                const tq::Manifest m = tq::loadManifest(dir);
                if (c.drive) tq::loadDrive(m);
                else tq::Identity id(m);
              }),
              want)
        << c.args[1] << " " << c.args.back();
  }
  // A raw prior under another name, as the only prior.
  TempDir t;
  const std::string dir = writeBundle(t, {"--prior", "none", "--manifest-set", "{\"P_rgb\": \"rgb.f16\"}"});
  tqtest::writeText(dir + "/rgb.f16", std::string(3 * 16 * 16 * 6 * 3, '\0'));
  EXPECT_EQ(tqtest::thrown([&] { tq::Identity id(tq::loadManifest(dir)); }),
            "this bundle's manifest names its raw warp prior 'rgb.f16' (P_rgb) but tq::Identity maps the welded name "
            "P.f16 and would find nothing — it maps NOTHING silently and Identity::P(si) is then an offset from a null "
            "pointer. REFUSING rather than rendering off a prior nothing will read.");
}

TEST(Identity, MapsEitherLayoutAndServesFramesFromTheFiles) {
  for (const bool second : {false, true}) {
    TempDir t;
    const std::string dir = writeBundle(t, {"--layout", second ? "second" : "first", "--nt", "3", "--crop", "16"});
    tq::Identity id(tq::loadManifest(dir));
    const auto P = tqtest::readAs<uint16_t>(dir + (second ? "/source_frames.f16" : "/P.f16"));
    const auto pooled = tqtest::readAs<uint16_t>(dir + (second ? "/pooled_features.f16" : "/pooled64.f16"));
    EXPECT_EQ(std::make_pair(id.priorBackend(), id.priorResidentBytes()), std::make_pair(std::string("mmap P.f16"), size_t(0)));
    for (int i = 0; i < 3; ++i)
      EXPECT_TRUE(!std::memcmp(id.P(i), &P[i * 768], 1536) && !std::memcmp(id.pooled64(i), &pooled[i * 65536], 131072)) << i;
    id.walkP(1);  // a mapped prior has nothing to walk
    if (!second) continue;
    const tq::Drive d = tq::loadDrive(tq::loadManifest(dir));
    EXPECT_EQ(std::make_tuple(d.frames, d.xs, d.xd, d.si),
              std::make_tuple(5, tqtest::readAs<float>(dir + "/idle_loop/source_keypoints.f32"),
                              tqtest::readAs<float>(dir + "/idle_loop/driven_keypoints.f32"), std::vector<int32_t>{0, 1, 2, 0, 1}));
  }
  TempDir t;
  const tq::Drive d = tq::loadDrive(tq::loadManifest(writeBundle(t, {"--frames", "0"})));
  EXPECT_TRUE(d.frames == 0 && d.xs.empty() && d.xd.empty() && d.si.empty());
}

TEST(Identity, FeatureSynthesisAloneIsAPrior) {
  TempDir t;
  const std::string dir = writeBundle(t, {"--prior", "fs"});
  tq::Identity id(tq::loadManifest(dir));
  const auto fs = tqtest::readAs<uint16_t>(dir + "/fs_red.f16");
  EXPECT_TRUE(id.rawPrior.empty() && id.priorBackend() == "none" && !std::memcmp(id.fsRed(2), &fs[2 * 262144], 262144 * 2));
  // With no movie either, asking for a prior frame is the prior cursor's refusal.
  EXPECT_EQ(tqtest::thrown([&] { id.P(0); }), "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + dir +
                                                  "/P_hevc.mov) — there is no warp prior to play. REFUSING to create a session.");
}

TEST(Identity, APriorMoviePlaysInPlaceOfTheRawPrior) {
  TempDir t;
  const std::string dir =
      writeBundle(t, {"--prior", "none", "--nt", "4", "--crop", "16", "--manifest-set", "{\"P_hevc\": \"prior.mov\"}"});
  ASSERT_TRUE(tqtest::runFixtureTool({"movie-batch", "movie", dir + "/prior.mov", "--size", "16x16", "--frames", "4",
                                      "--codec", "libx265", "--pix-fmt", "yuv444p", "+", "movie-prior-oracle",
                                      dir + "/prior.mov", t / "oracle.f16", "--side", "16"}));
  const auto oracle = tqtest::readAs<uint16_t>(t / "oracle.f16");
  ASSERT_EQ(oracle.size(), 4u * 3 * 16 * 16);
  testing::internal::CaptureStderr();
  tq::Identity id(tq::loadManifest(dir));
  EXPECT_TRUE(id.priorMoviePath == dir + "/prior.mov" && id.rawPrior.empty());
  // Frames out of order: look-ahead, history and a real seek all decode the right frame.
  for (int i : {0, 1, 3, 2, 0, 3}) {
    id.walkP(i);
    EXPECT_EQ(std::memcmp(id.P(i), oracle.data() + i * 3 * 16 * 16, 3 * 16 * 16 * 2), 0) << "frame " << i;
  }
  const std::string backend = id.priorBackend();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(backend.rfind("hevc444/libavcodec ", 0), 0u) << backend;
  EXPECT_GT(id.priorResidentBytes(), 14u * 3 * 16 * 16 * 2);
}

TEST(Identity, PasteTransformsAreRescaledToTheDriverFrame) {
  for (const auto& [stamp, sx, sy] : {std::make_tuple("32x24", 2.0, 2.0), std::make_tuple("64x48", 1.0, 1.0),
                                      std::make_tuple("128x16", 0.5, 3.0)}) {
    TempDir t;
    const std::string dir = writeBundle(t, {"--W", "64", "--H", "48", "--stamp", stamp});
    tq::Identity id(tq::loadManifest(dir));
    const auto raw = tqtest::readAs<float>(dir + "/M.f32");
    ASSERT_EQ(id.Mv.size(), raw.size());
    for (size_t k = 0; k < raw.size(); ++k) {
      const float want = static_cast<float>(static_cast<double>(raw[k]) * ((k % 6) < 3 ? sx : sy));
      EXPECT_EQ(std::memcmp(&id.Mv[k], &want, 4), 0) << stamp << " entry " << k;
    }
    EXPECT_EQ(id.M(1), id.Mv.data() + 6);
  }
}

}  // namespace
