// Checks shared by the legacy-frontend and short-window test binaries (the frontend is chosen once
// per process).
#pragma once

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>

#include "a2x_test_util.h"
#include "audio/tq_a2x_engine.h"

namespace a2xtest {

// Pieces of 1, 160, 5120 samples, random sizes and the whole clip give the same frames.
inline void expectPushSizeInvariant(const Fixture& fx) {
  Handle h(fx);
  ASSERT_NE(h.h, nullptr) << tq_a2x_last_error();
  std::vector<float> audio = sentence();
  audio.insert(audio.end(), 9000, 0.0f);
  const Frames ref = stream(h, audio, {640});
  ASSERT_EQ(ref.count(), static_cast<int>((audio.size() + 639) / 640));
  std::mt19937 rng(7);
  std::vector<int> random(64);
  for (int& n : random) n = 1 + static_cast<int>(rng() % 12000);
  for (const std::vector<int>& pieces : {std::vector<int>{1}, {160}, {5120}, random, {1 << 30}}) {
    const Frames f = stream(h, audio, pieces);
    ASSERT_EQ(f.idx, ref.idx) << "pieces " << pieces[0];
#if defined(__aarch64__)
    // ONNX Runtime's arm64 kernels sum a row in an order that depends on the row's length, and the
    // encoder's chunk length follows how much audio was ready: equal to rounding, not to the bit.
    for (std::size_t i = 0; i < f.drv.size(); ++i) ASSERT_NEAR(f.drv[i], ref.drv[i], 1e-5f) << pieces[0];
    for (std::size_t i = 0; i < f.wn.size(); ++i) ASSERT_NEAR(f.wn[i], ref.wn[i], 1e-5f) << pieces[0];
#else
    EXPECT_EQ(f.drv, ref.drv) << "pieces " << pieces[0];
    EXPECT_EQ(f.wn, ref.wn) << "pieces " << pieces[0];
#endif
  }
}

// A number from the flat JSON report.
inline double reportValue(const std::string& json, const char* key) {
  const std::size_t k = json.find(std::string("\"") + key + "\"");
  return k == std::string::npos ? NAN : std::strtod(json.c_str() + json.find(':', k) + 1, nullptr);
}

// Streams through the engine class keeping every feature row as it is made, then has
// tests/audio/a2x_reference.py recompute the run with numpy (no ONNX Runtime) and compares.
inline void expectMatchesReference(const Fixture& fx, const char* mode, const std::vector<float>& audio,
                                   const std::vector<int>& pieces, int start, int direction, int wrap) {
  tqtest::ScopedEnv env("W2V_ONNX", fx.w2v.c_str());
  tq::A2x engine(fx.motion, 1);
  engine.reset(start, direction, wrap);
  const int64_t F = static_cast<int64_t>((audio.size() + 639) / 640);
  std::vector<float> feat(static_cast<std::size_t>(F) * 9216, 0.0f), pulled, rows;
  int64_t kept = 0;
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
  for (std::size_t pos = 0, k = 0; pos < audio.size();) {
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
  ASSERT_EQ(kept, F) << "feature rows were dropped before the test saw them";
  ASSERT_EQ(static_cast<int64_t>(pulled.size()), F * (1 + 2 * kKp));

  tqtest::TempDir dir;
  for (const auto& [name, v] : {std::pair<const char*, const std::vector<float>*>{"audio", &audio},
                                {"feat", &feat}, {"pulled", &pulled}})
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(v->data()), v->size() * 4);
  const std::string cmd = std::string(TQ_PYTHON) + " " + tqtest::sourceDir() + "/tests/audio/a2x_reference.py" +
                          " --motion " + fx.motion + " --mode " + mode + " --w2v " + fx.w2v + " --trunk " +
                          fx.w2vDir + "/audio_encoder_fp16_window_trunk.onnx --head " + fx.w2vDir +
                          "/audio_encoder_fp16_window_head.onnx --audio " + (dir / "audio") + " --feat " +
                          (dir / "feat") + " --pulled " + (dir / "pulled") + " --start " + std::to_string(start) +
                          " --dir " + std::to_string(direction) + " --wrap " + std::to_string(wrap) + " --out " +
                          (dir / "report.json");
  std::string out;
  ASSERT_EQ(tqtest::runCommand(cmd + " 2>&1", &out), 0) << cmd << "\n" << out;
  const std::string r = tqtest::readText(dir / "report.json");
  SCOPED_TRACE(r);
  EXPECT_EQ(reportValue(r, "frames"), static_cast<double>(F));
  EXPECT_EQ(reportValue(r, "feat_bad"), 0.0);
  EXPECT_EQ(reportValue(r, "feat_not_half"), 0.0);
  EXPECT_LE(reportValue(r, "kp_max_err"), 1e-5);
  EXPECT_EQ(reportValue(r, "src_max_err"), 0.0);
  EXPECT_EQ(reportValue(r, "idx_bad"), 0.0);
  EXPECT_GT(reportValue(r, "speech_lip"), 0.005);  // speech moves the lips
}

}  // namespace a2xtest
