// Checks shared by the legacy-frontend and short-window test binaries (each
// process serves one frontend: the choice is made once per process).
#pragma once

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>

#include "a2x_test_util.h"
#include "audio/tq_a2x_engine.h"

namespace a2xtest {

// Pieces of 1, 160, 640, 5120 samples and random sizes give bit-identical frames.
inline void expectPushSizeInvariant(const Fixture& fx) {
  Handle h(fx);
  ASSERT_NE(h.h, nullptr) << tq_a2x_last_error();
  std::vector<float> audio = sentence();
  audio.insert(audio.end(), 9000, 0.0f);
  const Frames ref = stream(h, audio, {640});
  ASSERT_EQ(ref.count(), static_cast<int>((audio.size() + 639) / 640));
  std::mt19937 rng(7);
  std::vector<int> random;
  for (int i = 0; i < 64; ++i) random.push_back(1 + static_cast<int>(rng() % 12000));
  const std::vector<std::pair<const char*, std::vector<int>>> cases = {
      {"1", {1}}, {"160", {160}}, {"5120", {5120}}, {"random", random}, {"whole", {1 << 30}}};
  for (const auto& c : cases) {
    const Frames f = stream(h, audio, c.second);
    ASSERT_EQ(f.count(), ref.count()) << c.first;
    EXPECT_EQ(f.idx, ref.idx) << c.first;
#if defined(__aarch64__)
    // ONNX Runtime's arm64 kernels sum a row in an order that depends on the
    // row's length, and the encoder's chunk length follows how much audio was
    // ready when it ran (64 frames for a whole clip, 8 for a live stream). The
    // keypoints are then equal to rounding, not to the bit.
    for (std::size_t i = 0; i < f.drv.size(); ++i)
      ASSERT_NEAR(f.drv[i], ref.drv[i], 1e-5f) << "pieces " << c.first << " value " << i;
    for (std::size_t i = 0; i < f.wn.size(); ++i)
      ASSERT_NEAR(f.wn[i], ref.wn[i], 1e-5f) << "pieces " << c.first << " width " << i;
#else
    EXPECT_EQ(0, std::memcmp(f.drv.data(), ref.drv.data(), f.drv.size() * 4)) << "pieces " << c.first;
    EXPECT_EQ(0, std::memcmp(f.wn.data(), ref.wn.data(), f.wn.size() * 4)) << "pieces " << c.first;
#endif
  }
}

// Streams through the engine class, keeping every feature row as it is made,
// then has tests/audio/a2x_reference.py recompute the run without ONNX Runtime.
inline std::string referenceReport(const Fixture& fx, const std::vector<float>& audio, const char* mode,
                                   const std::vector<int>& pieces, int start, int direction, int wrap) {
  tqtest::ScopedEnv env("W2V_ONNX", fx.w2v.c_str());
  tq::A2x engine(fx.motion, 1);
  engine.reset(start, direction, wrap);
  const int64_t F = static_cast<int64_t>((audio.size() + 639) / 640);
  std::vector<float> feat(static_cast<std::size_t>(F) * 9216, 0.0f), pulled;
  int64_t kept = 0;
  std::vector<float> rows;
  auto keep = [&] {
    for (int64_t to = F; to > kept; --to)
      if (engine.features(kept, to, &rows)) {
        std::memcpy(&feat[static_cast<std::size_t>(kept) * 9216], rows.data(), rows.size() * 4);
        kept = to;
        break;
      }
  };
  auto drain = [&] {
    int idx[16];
    float src[16 * kKp], drv[16 * kKp];
    for (int n; (n = engine.pull(idx, src, drv, nullptr, 16)) > 0;) {
      keep();
      for (int j = 0; j < n; ++j) {
        pulled.push_back(static_cast<float>(idx[j]));
        pulled.insert(pulled.end(), src + j * kKp, src + (j + 1) * kKp);
        pulled.insert(pulled.end(), drv + j * kKp, drv + (j + 1) * kKp);
      }
    }
  };
  std::size_t pos = 0, k = 0;
  while (pos < audio.size()) {
    const std::size_t n = std::min<std::size_t>(pieces[k++ % pieces.size()], audio.size() - pos);
    engine.push(audio.data() + pos, static_cast<int>(n));
    pos += n;
    engine.avail();
    keep();
    drain();
  }
  engine.finish();
  while (engine.avail() > 0) drain();
  keep();
  EXPECT_EQ(kept, F) << "feature rows were dropped before the test saw them";
  EXPECT_EQ(static_cast<int64_t>(pulled.size()), F * (1 + 2 * kKp));

  tqtest::TempDir dir;
  auto write = [&](const std::string& name, const std::vector<float>& v) {
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(v.data()), v.size() * 4);
  };
  write("audio.f32", audio);
  write("feat.f32", feat);
  write("pulled.f32", pulled);
  const std::string cmd = std::string(TQ_PYTHON) + " " + tqtest::sourceDir() + "/tests/audio/a2x_reference.py" +
                          " --motion " + fx.motion + " --mode " + mode + " --w2v " + fx.w2v + " --trunk " +
                          fx.w2vDir + "/audio_encoder_fp16_window_trunk.onnx --head " + fx.w2vDir +
                          "/audio_encoder_fp16_window_head.onnx --audio " + (dir / "audio.f32") + " --feat " +
                          (dir / "feat.f32") + " --pulled " + (dir / "pulled.f32") + " --start " +
                          std::to_string(start) + " --dir " + std::to_string(direction) + " --wrap " +
                          std::to_string(wrap) + " --out " + (dir / "report.json");
  std::string out;
  EXPECT_EQ(tqtest::runCommand(cmd + " 2>&1", &out), 0) << cmd << "\n" << out;
  return tqtest::readText(dir / "report.json");
}

// A number from the flat JSON report.
inline double reportValue(const std::string& json, const char* key) {
  const std::size_t k = json.find(std::string("\"") + key + "\"");
  if (k == std::string::npos) return NAN;
  return std::strtod(json.c_str() + json.find(':', k) + 1, nullptr);
}

inline void expectMatchesReference(const Fixture& fx, const char* mode, const std::vector<float>& audio,
                                   const std::vector<int>& pieces, int start, int dir, int wrap) {
  const std::string r = referenceReport(fx, audio, mode, pieces, start, dir, wrap);
  SCOPED_TRACE(r);
  EXPECT_EQ(reportValue(r, "frames"), static_cast<double>((audio.size() + 639) / 640));
  EXPECT_EQ(reportValue(r, "feat_bad"), 0.0);
  EXPECT_EQ(reportValue(r, "feat_not_half"), 0.0);
  EXPECT_LE(reportValue(r, "kp_max_err"), 1e-5);
  EXPECT_EQ(reportValue(r, "src_max_err"), 0.0);
  EXPECT_EQ(reportValue(r, "idx_bad"), 0.0);
  EXPECT_GT(reportValue(r, "speech_lip"), 0.005);  // speech moves the lips
}

}  // namespace a2xtest
