// Shared inputs of the compose-geometry and lip-contour tests: deterministic
// mouths, a star-shaped lip outline, and the numpy reference runner.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tessera/tq_lip_contour.h"
#include "tessera/tq_tessera_pi.h"
#include "tq_test_util.h"

namespace geotest {

struct Rng {
  uint64_t s;
  double next() {  // uniform in [0, 1)
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(s >> 11) / 9007199254740992.0;
  }
  double in(double a, double b) { return a + (b - a) * next(); }
};

// n frames of 63 floats; lips on rows 12..20 around an ellipse. Every fourth
// frame has closed lips (vertical spread below the gate's 0.02), a few sit
// near the canvas edge.
inline std::vector<float> makeFrames(int n, uint64_t seed) {
  Rng r{seed};
  std::vector<float> kp(static_cast<std::size_t>(n) * 63);
  for (int f = 0; f < n; ++f) {
    float* k = kp.data() + static_cast<std::size_t>(f) * 63;
    for (int i = 0; i < 63; ++i) k[i] = static_cast<float>(r.in(-1, 1));
    const bool closed = f % 4 == 0;
    const double cx = f % 7 == 3 ? 0.85 : r.in(-0.15, 0.15), cy = f % 11 == 5 ? -0.9 : r.in(0.1, 0.5);
    const double w = r.in(0.08, 0.25), o = closed ? 0.004 : r.in(0.015, 0.12);
    for (int j = 0; j < 9; ++j) {
      const double t = 2 * M_PI * j / 9 + r.in(-0.1, 0.1);
      k[3 * (12 + j)] = static_cast<float>(cx + w * std::cos(t) + r.in(-0.004, 0.004));
      k[3 * (12 + j) + 1] = static_cast<float>(cy + o * std::sin(t) + (closed ? 0.0 : r.in(-0.003, 0.003)));
    }
  }
  return kp;
}

inline tq::tessera::UnifiedPi makePi(int canvas, bool corner, float scale, float padX, float padY, float down) {
  tq::tessera::UnifiedPi p;
  p.canvas = canvas;
  p.mode = "prop";
  p.corner_recovery = corner;
  p.prop_gate_scale = scale;
  p.lip_idx = {12, 13, 14, 15, 16, 17, 18, 19, 20};
  p.lip_geom_params = {{padX, padY, down}};
  p.fillGrid();
  return p;
}

inline std::string num(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.17g", v);
  return b;
}

inline std::string piParams(const tq::tessera::UnifiedPi& p) {
  std::string s = "{\"canvas\": " + std::to_string(p.canvas) + ", \"lip_idx\": [";
  for (std::size_t i = 0; i < p.lip_idx.size(); ++i) s += (i ? "," : "") + std::to_string(p.lip_idx[i]);
  s += "], \"pad\": [" + num(p.lip_geom_params[0]) + "," + num(p.lip_geom_params[1]) + "," +
       num(p.lip_geom_params[2]) + "], \"scale\": " + num(p.prop_gate_scale) +
       ", \"corner\": " + (p.corner_recovery ? "true" : "false");
  return s;  // open: callers add keys and the closing brace
}

// A lip-like outline with concave notches, in units of the anchor spread.
inline std::vector<double> starShape(int nv) {
  std::vector<double> u(2 * static_cast<std::size_t>(nv));
  for (int v = 0; v < nv; ++v) {
    const double t = 2 * M_PI * v / nv, r = 1.0 + 0.35 * std::sin(3 * t);
    u[2 * v] = 1.1 * r * std::cos(t);
    u[2 * v + 1] = 1.4 * r * std::sin(t);
  }
  return u;
}

template <class T>
std::vector<T> readArray(const std::string& path) {
  const std::vector<uint8_t> b = tqtest::readBytes(path);
  std::vector<T> v(b.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}

inline void writeFloats(const std::string& path, const std::vector<float>& v) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(float)));
}

// Runs one numpy reference command over frames kp with the given parameters.
inline bool runReference(const tqtest::TempDir& dir, const std::string& cmd, const std::vector<float>& kp,
                         const std::string& params) {
  writeFloats(dir / "kp.f32", kp);
  tqtest::writeText(dir / "params.json", params);
  return tqtest::runFixtureTool({cmd, "--kp", dir / "kp.f32", "--frames", std::to_string(kp.size() / 63),
                                 "--params", dir / "params.json", "--out", dir / "ref"});
}

}  // namespace geotest
