// Source-cone hoist: the load-time decision (reason per graph), crops of the split
// graph against ORT on the whole graph over a playback script, the predictor, the
// sticky prep failure and destruction while a prefetch runs.
#include "render/tq_cone_ring.h"
#include "render/tq_renderer.h"
#include "render_test_util.h"

namespace {

constexpr int kCrop = 32, kNT = 5;

// A 5-frame bundle (raw P.f16 or a prior movie) with warp-director graphs as model keys.
struct HoistBundle {
  tqtest::TempDir tmp;
  std::string dir = tmp / "b";
  tq::Manifest m;
  HoistBundle(bool movie, const std::vector<std::string>& variants) {
    std::vector<std::string> a = {"identity-bundle", dir, "--nt", std::to_string(kNT), "--crop", std::to_string(kCrop)};
    if (movie) a.insert(a.end(), {"--prior", "none", "--prior-movie", "--manifest-set", R"({"P_hevc": "P_hevc.mov"})"});
    EXPECT_TRUE(tqtest::runFixtureTool(a));
    for (const auto& v : variants)
      EXPECT_TRUE(tqtest::runFixtureTool({"warp-director", "--out", dir + "/model_" + v + ".onnx", "--variant", v}));
    m = tq::loadManifest(dir);
  }
};

struct Loaded {
  std::unique_ptr<tq::Renderer> r;
  std::string log;
};
Loaded load(const tq::Manifest& m, const tq::Identity& id, const std::string& key) {
  testing::internal::CaptureStderr();
  Loaded l;
  try {
    l.r = std::make_unique<tq::Renderer>(m, id, key, 1, "");
  } catch (...) {
    testing::internal::GetCapturedStderr();
    throw;
  }
  l.log = testing::internal::GetCapturedStderr();
  return l;
}

// Renders `script` and checks every crop against ORT on the original graph, fed
// from an identity of its own (a movie cursor is not shared with the prep thread).
void playAndCompare(const tq::Manifest& m, tq::Renderer& r, const std::string& key, const std::vector<int>& script) {
  tq::Identity refId(m);
  rtest::DirectorSession ref(m, key, false, false);
  const std::vector<float> kp = rtest::keypoints(int(script.size()) * 2, 11);
  for (std::size_t k = 0; k < script.size(); ++k) {
    const float* ks = kp.data() + 126 * k;
    const float* kd = ks + 63;
    const std::vector<float> want = ref.run(refId, script[k], ks, kd);
    const float* got = r.render(&script[k], ks, kd, 1);
    ASSERT_LE(rtest::worstDiff(got, want), 1e-5f) << "frame " << k << " source " << script[k];
  }
}

// Forward, ping-pong at both ends, wrap 4 -> 0, jumps and repeats.
const std::vector<int> kScript = {0, 1, 2, 3, 4, 3, 2, 1, 0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 3, 3, 3, 1, 4, 2, 2};

const char* const kHoisted =
    "[tq] source-cone hoist: 'stencil' [1,12,32,32] leaves the per-frame graph and is prefetched per SOURCE "
    "FRAME on one spare core (ok)\n";

TEST(ConeHoist, DecisionPerGraph) {
  struct Row {
    const char* variant;
    const char* reason;  // empty: hoisted
  } rows[] = {
      {"ok", ""},
      {"zeros", ""},
      {"two-concat", "expected exactly one Concat consuming P_rgb, found 2"},
      {"prgb-outside", "P_rgb is also read outside the cone by ReduceMean"},
      {"escape", "cone value 'k1' escapes to ReduceMean"},
      {"dyn-batch", "batch-1 lever; this graph declares batch -1"},
      {"cone-input", "cone reads graph input 'tint'"},
  };
  std::vector<std::string> variants;
  for (const Row& row : rows) variants.push_back(row.variant);
  HoistBundle b(false, variants);
  tq::Identity id(b.m);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.variant);
    Loaded l = load(b.m, id, row.variant);
    const std::string key = row.variant;
    if (*row.reason) {
      EXPECT_NE(l.log.find("[tq] source-cone hoist NOT applied (" + key + "): " + row.reason + "\n"), std::string::npos)
          << l.log;
      EXPECT_FALSE(l.r->coneHoisted());
    } else {
      EXPECT_NE(l.log.find(key == "ok" ? std::string(kHoisted) : "leaves the per-frame graph"), std::string::npos)
          << l.log;
      EXPECT_TRUE(l.r->coneHoisted());
      // Neither half carries the other's weights: ORT would warn about each one.
      EXPECT_EQ(l.log.find("not used by any node"), std::string::npos) << l.log;
    }
    if (key != "cone-input") playAndCompare(b.m, *l.r, key, {0, 1, 4, 2});  // its extra input is never bound
  }
}

TEST(ConeHoist, PlaybackMatchesWholeGraph) {
  for (bool movie : {false, true}) {
    SCOPED_TRACE(movie ? "prior movie" : "P.f16");
    HoistBundle b(movie, {"ok"});
    tq::Identity id(b.m);
    Loaded l = load(b.m, id, "ok");
    ASSERT_TRUE(l.r->coneHoisted()) << l.log;
    // Forward and ping-pong playback is predicted frame for frame: only the
    // first frame is filled on the render thread.
    playAndCompare(b.m, *l.r, "ok", {0, 1, 2, 3, 4, 3, 2, 1, 0, 1});
    EXPECT_EQ(l.r->coneSyncFills(), 1);
    playAndCompare(b.m, *l.r, "ok", kScript);
  }
}

TEST(ConeHoist, Predictor) {
  struct Row {
    int count;
    std::vector<int> seen, next;
  } rows[] = {
      {5, {0, 1, 2, 3, 4, 0, 1, 2, 3, 4}, {1, 2, 3, 4, 3, 1, 2, 3, 4, 0}},  // ping-pong until 4 -> 0, then wrap
      {5, {4, 3, 2, 1, 0, 1}, {3, 2, 1, 0, 1, 2}},                          // backwards, bounce at 0
      {5, {2, 2, 0, 3}, {3, 3, 1, 4}},                                      // repeats and jumps keep the step
      {1, {0, 0}, {0, 0}},                                                  // one frame: nothing to prefetch
      {2, {0, 1, 0, 1}, {1, 0, 1, 0}},
  };
  for (const Row& row : rows) {
    tq::SourcePredictor p;
    for (std::size_t k = 0; k < row.seen.size(); ++k) EXPECT_EQ(p.next(row.seen[k], row.count), row.next[k]) << k;
  }
}

TEST(ConeHoist, PrepFailureIsSticky) {
  HoistBundle b(true, {"ok"});
  // A prior movie cut after its first two packets: later frames cannot be decoded.
  const std::string mov = b.dir + "/P_hevc.mov";
  ASSERT_TRUE(tqtest::runFixtureTool({"movie-truncate", mov, mov + ".cut", "--keep-packets", "2"}));
  ASSERT_EQ(std::rename((mov + ".cut").c_str(), mov.c_str()), 0);
  tq::Identity id(b.m);
  Loaded l = load(b.m, id, "ok");
  ASSERT_TRUE(l.r->coneHoisted());
  const std::vector<float> kp = rtest::keypoints(2, 3);
  const int last = kNT - 1;
  const std::string first = tqtest::thrown([&] { l.r->render(&last, kp.data(), kp.data() + 63, 1); });
  const std::string prefix = "Renderer: the hoisted source cone failed in ORT — ";
  ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
  EXPECT_GT(first.size(), prefix.size());
  for (int src : {0, 1, last}) EXPECT_EQ(tqtest::thrown([&] { l.r->render(&src, kp.data(), kp.data() + 63, 1); }), first);
}

TEST(ConeHoist, DestroyWhilePrefetching) {
  HoistBundle b(false, {"ok"});
  tq::Identity id(b.m);
  const std::vector<float> kp = rtest::keypoints(1, 5);
  for (int round = 0; round < 8; ++round) {
    Loaded l = load(b.m, id, "ok");
    for (int src = 0; src <= round % 3; ++src) l.r->render(&src, kp.data(), kp.data(), 1);
    // The prefetch of the next frame is running or posted: destruction joins it.
  }
}

}  // namespace
