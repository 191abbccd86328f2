// tq_fca through its C functions: a numpy recomputation on a set of clips,
// argument edges and graphs whose outputs have the wrong size.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tq/tq.h"
#include "tq_test_util.h"

namespace {

const char* const kClips[] = {"len1",      "len639",    "len640", "len641",
                              "len128001", "speech10s", "silence", "silence_led"};

struct Fixture {
  tqtest::TempDir dir;
  std::string w2v = dir / "w2v/w2v8.onnx", dec = dir / "fca_stream.onnx";
  Fixture() {
    EXPECT_TRUE(tqtest::runFixtureTool({"a2x", "--out", dir / "motion", "--w2v-dir", dir / "w2v"}));
    EXPECT_TRUE(tqtest::runFixtureTool({"fca-decoder", dec}));
    EXPECT_TRUE(tqtest::runFixtureTool({"fca-clips", dir / "clips"}));
  }
  std::vector<float> clip(const std::string& name) const { return tqtest::readAs<float>(dir / ("clips/" + name + ".f32")); }
};

const Fixture& fx() {
  static const Fixture* f = new Fixture;
  return *f;
}

struct Fca {
  tq_fca* h;
  Fca(const std::string& enc, const std::string& dec) : h(tq_fca_create(enc.c_str(), dec.c_str(), 1)) {}
  ~Fca() { tq_fca_destroy(h); }
};

int frames(std::size_t n) { return static_cast<int>((n + 639) / 640); }

TEST(FcaDeltas, MatchesNumpyReferenceOnEveryClip) {
  Fca fca(fx().w2v, fx().dec);
  ASSERT_NE(fca.h, nullptr) << tq_fca_last_error();
  std::string cmd = std::string(TQ_PYTHON) + " " + tqtest::sourceDir() + "/tests/audio/fca_reference.py --w2v " +
                    fx().w2v + " --dec " + fx().dec;
  for (const char* name : kClips) {
    const std::vector<float> audio = fx().clip(name);
    std::vector<float> out(static_cast<std::size_t>(frames(audio.size())) * 63);
    ASSERT_EQ(tq_fca_deltas(fca.h, audio.data(), static_cast<int>(audio.size()), out.data(), frames(audio.size())),
              frames(audio.size()))
        << name << ": " << tq_fca_last_error();
    const std::string path = fx().dir / (std::string(name) + ".out");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data()), out.size() * 4);
    cmd += " --case " + (fx().dir / ("clips/" + std::string(name) + ".f32")) + ":" + path;
  }
  std::string report;
  ASSERT_EQ(tqtest::runCommand(cmd + " 2>&1", &report), 0) << report;
  std::istringstream lines(report);
  int seen = 0;
  for (std::string line; std::getline(lines, line); ++seen) {
    const double err = std::stod(line.substr(line.find("max_err=") + 8));
    EXPECT_LE(err, 1e-4) << line;
  }
  EXPECT_EQ(seen, 8) << report;
  const int expected[] = {1, 1, 1, 2, 201, 251};  // the frame counts the reference saw
  for (int i = 0; i < 6; ++i)
    EXPECT_NE(report.find(std::string(kClips[i]) + ".f32 frames=" + std::to_string(expected[i]) + " "),
              std::string::npos) << kClips[i];
}

TEST(FcaDeltas, EdgesLeaveTheOutputAloneAndRepeat) {
  Fca fca(fx().w2v, fx().dec);
  ASSERT_NE(fca.h, nullptr) << tq_fca_last_error();
  const std::vector<float> audio = fx().clip("len641");
  std::vector<float> out(3 * 63, 7.5f), again(3 * 63, -1.0f);
  EXPECT_EQ(tq_fca_deltas(fca.h, audio.data(), 0, out.data(), 0), 0);
  EXPECT_EQ(tq_fca_deltas(fca.h, nullptr, -3, nullptr, 0), 0);
  // One frame short: -2 and nothing written (the canary survives).
  EXPECT_EQ(tq_fca_deltas(fca.h, audio.data(), 641, out.data(), 1), -2);
  for (float v : out) ASSERT_EQ(v, 7.5f);
  // The frame count is formed in 64 bits: near INT_MAX it is 3355444, not negative.
  EXPECT_EQ(tq_fca_deltas(fca.h, audio.data(), INT_MAX, out.data(), 3), -2);
  EXPECT_STREQ(tq_fca_last_error(), "tq_fca_deltas: max_frames 3 < 3355444 frames");
  ASSERT_EQ(tq_fca_deltas(fca.h, audio.data(), 641, out.data(), 2), 2);
  EXPECT_EQ(out[2 * 63], 7.5f);  // row 2 is not part of the result
  EXPECT_STREQ(tq_fca_last_error(), "");
  // A second call starts from zero state again.
  ASSERT_EQ(tq_fca_deltas(fca.h, audio.data(), 641, again.data(), 3), 2);
  EXPECT_EQ(std::memcmp(out.data(), again.data(), 2 * 63 * 4), 0);
}

TEST(FcaDeltas, Refusals) {
  const std::string shortEnc = fx().dir / "short.onnx", wideDec = fx().dir / "wide/fca_stream.onnx";
  ASSERT_TRUE(tqtest::runFixtureTool({"fca-encoder", shortEnc}));
  ASSERT_TRUE(tqtest::runFixtureTool({"fca-decoder", wideDec, "--m-size", "64"}));
  const std::vector<float> audio = fx().clip("len641");
  std::vector<float> out(2 * 63);
  struct Case {
    std::string enc, dec, text;
  } cases[] = {
      {shortEnc, fx().dec,
       "tq_fca_deltas: encoder graph " + shortEnc +
           ": output \"audio_emb\" holds 128000 values, required 1843200 (12 x 200 x 768)"},
      {fx().w2v, wideDec, "tq_fca_deltas: decoder graph fca_stream.onnx: output \"m\" holds 64 values, required 63 (63)"},
  };
  for (const Case& c : cases) {
    Fca fca(c.enc, c.dec);
    ASSERT_NE(fca.h, nullptr) << tq_fca_last_error();
    EXPECT_EQ(tq_fca_deltas(fca.h, audio.data(), 641, out.data(), 2), -1);
    EXPECT_EQ(tq_fca_last_error(), c.text);
  }
  Fca fca(fx().w2v, fx().dec);
  EXPECT_EQ(tq_fca_deltas(nullptr, audio.data(), 641, out.data(), 2), -1);
  EXPECT_STREQ(tq_fca_last_error(), "tq_fca_deltas: NULL handle");
  EXPECT_EQ(tq_fca_deltas(fca.h, nullptr, 641, out.data(), 2), -1);
  EXPECT_STREQ(tq_fca_last_error(), "tq_fca_deltas: NULL audio/out");
  EXPECT_EQ(tq_fca_deltas(fca.h, audio.data(), 641, nullptr, 2), -1);
  EXPECT_STREQ(tq_fca_last_error(), "tq_fca_deltas: NULL audio/out");
  EXPECT_EQ(tq_fca_create(nullptr, fx().dec.c_str(), 1), nullptr);
  EXPECT_STREQ(tq_fca_last_error(), "tq_fca_create: NULL encoder_path/decoder_path");
  const std::string missing = fx().dir / "absent.onnx";
  EXPECT_EQ(tq_fca_create(fx().w2v.c_str(), missing.c_str(), 1), nullptr);
  EXPECT_EQ(std::string(tq_fca_last_error()).rfind("tq_fca_create: ", 0), 0u) << tq_fca_last_error();
}

}  // namespace
