// WarpDirector: the block rewrite per graph (count or reason) with ORT on the
// original bytes as the oracle, the kernel against a numpy float32 transcription,
// the operator's refusals, and the renderer's TQ_WARP_NODE path.
#include <cmath>
#include <cstdlib>

#include "render/tq_renderer.h"
#include "render/tq_warp.h"
#include "render_test_util.h"

namespace {

using rtest::Bytes;
constexpr int kS = 32;

Bytes warpGraph(const tqtest::TempDir& dir, const std::string& variant) {
  const std::string path = dir / (variant + ".onnx");
  return tqtest::runFixtureTool({"warp-director", "--out", path, "--variant", variant, "--crop", std::to_string(kS)})
             ? tqtest::readBytes(path)
             : Bytes();
}

std::vector<float> runGraph(const Bytes& model, bool custom, const std::vector<rtest::Tensor>& in) {
  auto s = rtest::session(model, 1, custom);
  return rtest::run(*s, {"pooled64", "P_rgb", "kp_driving", "kp_source"}, in, "rgb");
}

TEST(WarpDirector, RewritePerGraph) {
  struct Row {
    const char* variant;
    std::size_t removed;  // cone (Pad, 3 Convs, Concat) + GridSample, 4 Slices, 6 Mul/Sub/Add
    const char* reason;
  } rows[] = {
      {"ok", 16, ""},  // the gain Mul after the exit stays
      {"no-gain", 16, ""},
      {"two-concat", 0, "not one Concat consuming P_rgb"},
      {"zeros", 0, "the fused GridSample is not bilinear/border/align_corners=0"},
      {"gs-reader", 0, "the recombination has 2 exits, not 1"},
      {"two-exits", 0, "the recombination has 2 exits, not 1"},
      {"grid-input", 0, "the grid has no producer"},
      {"cone-input", 0, "cone reads graph input 'tint'"},
      {"prgb-outside", 0, "P_rgb is also read outside the cone by ReduceMean"},
      {"escape", 0, "cone value 'k1' escapes to ReduceMean"},
  };
  tqtest::TempDir dir;
  std::mt19937 rng(7);
  const std::vector<rtest::Tensor> in = {{{1, 64, 32, 32}, rtest::randomValues(65536, -1, 1, rng)},
                                         {{1, 3, kS, kS}, rtest::randomValues(3 * kS * kS, 0, 1, rng)},
                                         {{1, 21, 3}, rtest::randomValues(63, -0.8f, 0.8f, rng)},
                                         {{1, 21, 3}, rtest::randomValues(63, -0.8f, 0.8f, rng)}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.variant);
    const Bytes original = warpGraph(dir, row.variant);
    ASSERT_FALSE(original.empty());
    Bytes model = original;
    std::string reason;
    EXPECT_EQ(tq::rewriteWarpBlockToCustomOp(model, reason), row.removed);
    EXPECT_EQ(reason, row.reason);
    if (!row.removed) {
      EXPECT_EQ(model, original);
      continue;
    }
    tq::WarpBlock block;
    ASSERT_TRUE(tq::findWarpBlock(original, &block, reason));
    EXPECT_EQ(block.source + "|" + block.grid + "|" + block.output, "stencil|w_grid|warp_out");
    EXPECT_EQ(block.nodes, 11u);
    const std::string path = dir / "rewritten.onnx";
    rtest::writeFile(path, model);
    const auto dump = rtest::dumpModels(dir, {path, dir / (std::string(row.variant) + ".onnx")});
    ASSERT_EQ(dump.size(), 2u);  // the onnx package reads it
    // The cone's weights left with it; every initializer still there is read.
    std::string reads;
    std::size_t inits[2] = {0, 0};
    for (int m = 0; m < 2; ++m)
      for (const std::string& line : dump[m]) {
        inits[m] += line.rfind("init ", 0) == 0;
        if (m == 0 && line.rfind("node ", 0) == 0) {
          const std::size_t at = line.find(" in=") + 4;
          reads += "," + line.substr(at, line.find(' ', at) - at) + ",";
        }
      }
    EXPECT_LT(inits[0], inits[1]);
    for (const std::string& line : dump[0]) {
      if (line.rfind("init ", 0) != 0) continue;
      EXPECT_NE(reads.find("," + line.substr(5) + ","), std::string::npos) << line;
    }
    const std::vector<float> want = runGraph(original, false, in), got = runGraph(model, true, in);
    EXPECT_LE(rtest::worstDiff(got.data(), want), 1e-5f);
  }
}

// Source and grid of one image, written for the numpy transcription.
struct Case {
  const char* name;
  int W, H;
  std::vector<float> grid;  // empty: random in [-1.2, 1.2]
};

// Values whose bits differ from the reference, any NaN matching any NaN.
std::size_t bitsDiffering(const std::vector<float>& got, const Bytes& ref) {
  std::size_t bad = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    float want;
    std::memcpy(&want, ref.data() + 4 * i, 4);
    if (std::isnan(got[i]) && std::isnan(want)) continue;
    bad += std::memcmp(&got[i], &want, 4) != 0;
  }
  return bad;
}

TEST(WarpDirector, KernelMatchesNumpy) {
  tqtest::TempDir dir;
  std::mt19937 rng(3);
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  std::vector<Case> cases = {{"random", 40, 24, {}}, {"edges", 5, 3, {}}, {"centres", 8, 4, {}}};
  // Edge values: -1, 1, far outside, NaN, infinities, pixel centres.
  const float special[] = {-1, 1, 5, -7, nan, inf, -inf, 0, 0.2f, -0.6f, 1e30f, -1e30f, 0.999f, -0.999f, 3, 0.4f};
  for (int i = 0; i < 5 * 3 * 2; ++i) cases[1].grid.push_back(special[i % 16]);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 8; ++x) {
      cases[2].grid.push_back((2.0f * ((x * 3) % 8) + 1) / 8 - 1);
      cases[2].grid.push_back((2.0f * ((y + 2) % 4) + 1) / 4 - 1);
    }
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t px = std::size_t(c.W) * c.H;
    const std::vector<float> src = rtest::randomValues(3 * px, 0, 1, rng);
    if (c.grid.empty()) c.grid = rtest::randomValues(2 * px, -1.2f, 1.2f, rng);
    rtest::writeFile(dir / "src.f32", Bytes((const uint8_t*)src.data(), (const uint8_t*)(src.data() + src.size())));
    rtest::writeFile(dir / "grid.f32",
                     Bytes((const uint8_t*)c.grid.data(), (const uint8_t*)(c.grid.data() + c.grid.size())));
    ASSERT_TRUE(tqtest::runFixtureTool({"warp-reference", "--src", dir / "src.f32", "--grid", dir / "grid.f32", "--out",
                                        dir / "out.f32", "--H", std::to_string(c.H), "--W", std::to_string(c.W)}));
    const Bytes ref = tqtest::readBytes(dir / "out.f32");
    ASSERT_EQ(ref.size(), 3 * px * sizeof(float));
    std::vector<float> single(3 * px), planes(12 * px), twoPass(3 * px);
    tq::warpDirector(src.data(), c.grid.data(), single.data(), c.W, c.H);
    tq::warpDirectorPlanesBand(src.data(), planes.data(), c.W, c.H, 0, c.H);
    tq::warpDirectorGatherBand(planes.data(), c.grid.data(), twoPass.data(), c.W, c.H, 0, c.H);
    // Bit-equal; a NaN matches any NaN, as the reference's NaN bits are the host
    // processor's (x86 and ARM make different default NaNs).
    EXPECT_EQ(bitsDiffering(single, ref), 0u);
    EXPECT_EQ(bitsDiffering(twoPass, ref), 0u);
    // The two kernel paths run on the same processor: equal to the last bit.
    EXPECT_EQ(std::memcmp(single.data(), twoPass.data(), ref.size()), 0);
    if (std::string(c.name) == "centres") {  // a = b = 0: the addressed pixels exactly
      for (int ch = 0; ch < 3; ++ch)
        for (int y = 0; y < c.H; ++y)
          for (int x = 0; x < c.W; ++x)
            ASSERT_EQ(single[ch * px + y * c.W + x], src[ch * px + ((y + 2) % 4) * c.W + (x * 3) % 8]);
    }
  }
}

TEST(WarpDirector, OperatorRefusesBadShapes) {
  tqtest::TempDir dir;
  const Bytes bare = warpGraph(dir, "bare");
  auto s = rtest::session(bare, 2, true);
  struct Row {
    std::vector<int64_t> x, g;
    std::string error;  // empty: runs
  } rows[] = {
      {{2, 3, 20, 36}, {2, 20, 36, 2}, ""},
      {{1, 4, 8, 8}, {1, 8, 8, 2},
       "com.vexamo::WarpDirector: this node warps the director's 3-channel source and the graph handed it C=4. "
       "REFUSING rather than writing a frame nobody asked for."},
      {{1, 3, 8, 8}, {1, 8, 9, 2}, "grid [1, 8, 9, 2] does not fit X [1, 3, 8, 8]"},
      {{1, 3, 8, 8}, {1, 8, 8, 3}, "needs grid [1, 8, 8, 2]"},
  };
  std::mt19937 rng(9);
  for (const Row& row : rows) {
    auto count = [](const std::vector<int64_t>& d) { std::size_t n = 1; for (auto v : d) n *= std::size_t(v); return n; };
    rtest::Tensor x{row.x, rtest::randomValues(count(row.x), 0, 1, rng)};
    rtest::Tensor g{row.g, rtest::randomValues(count(row.g), -1.1f, 1.1f, rng)};
    std::string error;
    std::vector<float> y;
    try {
      y = rtest::run(*s, {"X", "grid"}, {x, g}, "Y");
    } catch (const Ort::Exception& e) {
      error = e.what();
    }
    if (row.error.empty()) {
      ASSERT_EQ(error, "");
      // Batch item 1 equals the kernel on its own data.
      const std::size_t px = std::size_t(row.x[2]) * row.x[3];
      std::vector<float> want(3 * px);
      tq::warpDirector(x.data.data() + 3 * px, g.data.data() + 2 * px, want.data(), int(row.x[3]), int(row.x[2]));
      EXPECT_EQ(std::memcmp(y.data() + 3 * px, want.data(), want.size() * sizeof(float)), 0);
    } else {
      EXPECT_NE(error.find(row.error), std::string::npos) << error;
    }
  }
}

TEST(WarpDirector, RendererWarpNode) {
  struct Row {
    const char* env;
    const char* variant;
    std::vector<const char*> lines;  // in this order
    const char* gsFast = nullptr;     // TQ_GS_FAST
  } rows[] = {
      {"1", "ok",
       {"[tq] director warp -> com.vexamo::WarpDirector (16 nodes removed, the source cone with them)\n",
        "[tq] source-cone hoist SKIPPED (ok): the warp node subsumes the cone — there is nothing left to hoist\n"}},
      {"yes", "zeros",
       {"[tq] director warp NOT moved to one node (the fused GridSample is not bilinear/border/align_corners=0) — "
        "the graph loads exactly as it did before\n",
        "[tq] source-cone hoist: 'stencil'"}},
      {"0", "ok", {"[tq] source-cone hoist: 'stencil'"}},
      // Custom operators off: the warp stays in standard nodes instead of naming an operator no
      // domain provides (every render failed).
      {"1", "ok",
       {"[tq] director warp NOT moved to one node (TQ_GS_FAST=0 turns the com.vexamo custom operators off) \xe2\x80\x94 "
        "the graph loads exactly as it did before\n"},
       "0"},
  };
  tqtest::TempDir tmp;
  const std::string dir = tmp / "b";
  ASSERT_TRUE(tqtest::runFixtureTool({"identity-bundle", dir, "--nt", "3", "--crop", std::to_string(kS)}));
  for (const char* v : {"ok", "zeros"})
    ASSERT_TRUE(tqtest::runFixtureTool({"warp-director", "--out", dir + "/model_" + v + ".onnx", "--variant", v}));
  const tq::Manifest m = tq::loadManifest(dir);
  tq::Identity id(m);
  const std::vector<float> kp = rtest::keypoints(2, 21);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.env);
    setenv("TQ_WARP_NODE", row.env, 1);
    tqtest::ScopedEnv gsFast("TQ_GS_FAST", row.gsFast);
    testing::internal::CaptureStderr();
    std::unique_ptr<tq::Renderer> r;
    try {
      r = std::make_unique<tq::Renderer>(m, id, row.variant, 2, "");
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    const std::string log = testing::internal::GetCapturedStderr();
    unsetenv("TQ_WARP_NODE");
    ASSERT_TRUE(r);
    std::size_t at = 0;
    for (const char* line : row.lines) {
      at = log.find(line, at);
      ASSERT_NE(at, std::string::npos) << line << "\n" << log;
    }
    if (row.env[0] == '0') {
      EXPECT_EQ(log.find("director warp"), std::string::npos);
    }
    rtest::DirectorSession ref(m, row.variant, false, false);
    for (int si : {0, 2, 1}) {
      const std::vector<float> want = ref.run(id, si, kp.data(), kp.data() + 63);
      EXPECT_LE(rtest::worstDiff(r->render(&si, kp.data(), kp.data() + 63, 1), want), 1e-5f);
    }
  }
}

}  // namespace
