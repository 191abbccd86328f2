// tq_fca through its C functions: numpy recomputation, argument edges, graph outputs of the wrong size.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "tq/tq.h"
#include "tq_test_util.h"

namespace {

struct Fixture {
  tqtest::TempDir dir;
  std::string w2v = dir / "w2v/w2v8.onnx", dec = dir / "fca_stream.onnx";
  Fixture() {
    EXPECT_TRUE(tqtest::runFixtureTool({"a2x", "--out", dir / "motion", "--w2v-dir", dir / "w2v"}));
    EXPECT_TRUE(tqtest::runFixtureTool({"fca-decoder", dec}));
    EXPECT_TRUE(tqtest::runFixtureTool({"fca-clips", dir / "clips"}));
  }
  std::string clipPath(const std::string& name) const { return dir / ("clips/" + name + ".f32"); }
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

// A handle on the good graphs and a clip of one frame and a sample.
class FcaDeltas : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(fca.h, nullptr) << tq_fca_last_error(); }
  Fca fca{fx().w2v, fx().dec};
  const std::vector<float> audio = tqtest::readAs<float>(fx().clipPath("len641"));
};

TEST_F(FcaDeltas, MatchesNumpyReferenceOnEveryClip) {
  const char* const clips[] = {"len1",      "len639",    "len640", "len641",
                                "len128001", "speech10s", "silence", "silence_led"};
  std::string cmd = std::string(TQ_PYTHON) + " " + tqtest::sourceDir() + "/tests/audio/fca_reference.py " + fx().w2v +
                    " " + fx().dec;
  for (const char* name : clips) {
    const std::vector<float> clip = tqtest::readAs<float>(fx().clipPath(name));
    const int F = static_cast<int>((clip.size() + 639) / 640);
    std::vector<float> out(static_cast<std::size_t>(F) * 63);
    ASSERT_EQ(tq_fca_deltas(fca.h, clip.data(), static_cast<int>(clip.size()), out.data(), F), F)
        << name << ": " << tq_fca_last_error();
    const std::string path = fx().dir / (std::string(name) + ".out");
    tqtest::writeText(path, std::string(reinterpret_cast<const char*>(out.data()), out.size() * 4));
    cmd += " " + fx().clipPath(name) + ":" + path;
  }
  std::string report;
  ASSERT_EQ(tqtest::runCommand(cmd + " 2>&1", &report), 0) << report;
  int seen = 0;
  for (std::size_t at = report.find("max_err="); at != std::string::npos; at = report.find("max_err=", at + 1), ++seen)
    EXPECT_LE(std::stod(report.substr(at + 8)), 1e-4) << report;
  EXPECT_EQ(seen, 8) << report;
}

TEST_F(FcaDeltas, EdgesLeaveTheOutputAloneAndRepeat) {
  std::vector<float> out(3 * 63, 7.5f), again(3 * 63, -1.0f);
  EXPECT_EQ(tq_fca_deltas(fca.h, audio.data(), 0, out.data(), 0), 0);
  EXPECT_EQ(tq_fca_deltas(fca.h, nullptr, -3, nullptr, 0), 0);
  // One frame short: -2 and nothing written. The count is formed in 64 bits: near INT_MAX it is 3355444.
  EXPECT_EQ(tq_fca_deltas(fca.h, audio.data(), 641, out.data(), 1), -2);
  EXPECT_EQ(out, std::vector<float>(3 * 63, 7.5f));
  EXPECT_EQ(tq_fca_deltas(fca.h, audio.data(), INT_MAX, out.data(), 3), -2);
  EXPECT_STREQ(tq_fca_last_error(), "tq_fca_deltas: max_frames 3 < 3355444 frames");
  ASSERT_EQ(tq_fca_deltas(fca.h, audio.data(), 641, out.data(), 2), 2);
  EXPECT_EQ(out[2 * 63], 7.5f);  // row 2 is not part of the result
  EXPECT_STREQ(tq_fca_last_error(), "");
  // A second call starts from zero state again.
  ASSERT_EQ(tq_fca_deltas(fca.h, audio.data(), 641, again.data(), 3), 2);
  EXPECT_TRUE(std::equal(again.begin(), again.begin() + 2 * 63, out.begin()));
}

TEST_F(FcaDeltas, Refusals) {
  const std::string shortEnc = fx().dir / "short.onnx", wideDec = fx().dir / "wide/fca_stream.onnx";
  ASSERT_TRUE(tqtest::runFixtureTool({"fca-encoder", shortEnc}));
  ASSERT_TRUE(tqtest::runFixtureTool({"fca-decoder", wideDec, "--m-size", "64"}));
  std::vector<float> out(2 * 63);
  Fca shortOut(shortEnc, fx().dec), wide(fx().w2v, wideDec);
  const struct {
    tq_fca* h;
    const float *audio, *out;
    std::string text;
  } cases[] = {
      {shortOut.h, audio.data(), out.data(),
       "tq_fca_deltas: encoder graph " + shortEnc +
           ": output \"audio_emb\" holds 128000 values, required 1843200 (12 x 200 x 768)"},
      {wide.h, audio.data(), out.data(),
       "tq_fca_deltas: decoder graph fca_stream.onnx: output \"m\" holds 64 values, required 63 (63)"},
      {nullptr, audio.data(), out.data(), "tq_fca_deltas: NULL handle"},
      {fca.h, nullptr, out.data(), "tq_fca_deltas: NULL audio/out"},
      {fca.h, audio.data(), nullptr, "tq_fca_deltas: NULL audio/out"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tq_fca_deltas(c.h, c.audio, 641, const_cast<float*>(c.out), 2), -1);
    EXPECT_EQ(tq_fca_last_error(), c.text);
  }
  EXPECT_EQ(tq_fca_create(nullptr, fx().dec.c_str(), 1), nullptr);
  EXPECT_STREQ(tq_fca_last_error(), "tq_fca_create: NULL encoder_path/decoder_path");
  EXPECT_EQ(tq_fca_create(fx().w2v.c_str(), (fx().dir / "absent.onnx").c_str(), 1), nullptr);
  EXPECT_EQ(std::string(tq_fca_last_error()).rfind("tq_fca_create: ", 0), 0u) << tq_fca_last_error();
}

// A decoder that declares "m" as [63] (same weights): the same deltas, not a rank error on every frame.
TEST_F(FcaDeltas, ADecoderWithAFlatOutputGivesTheSameDeltas) {
  const std::string flatDec = fx().dir / "flat/fca_stream.onnx";
  ASSERT_TRUE(tqtest::runFixtureTool({"fca-decoder", flatDec, "--m-flat"}));
  Fca flat(fx().w2v, flatDec);
  const int frames = static_cast<int>((audio.size() + 639) / 640);
  std::vector<float> want(frames * 63), got(frames * 63);
  ASSERT_EQ(tq_fca_deltas(fca.h, audio.data(), static_cast<int>(audio.size()), want.data(), frames), frames);
  ASSERT_EQ(tq_fca_deltas(flat.h, audio.data(), static_cast<int>(audio.size()), got.data(), frames), frames)
      << tq_fca_last_error();
  EXPECT_EQ(got, want);
}

}  // namespace
