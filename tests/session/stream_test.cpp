// tq_stream through its C functions: frames against a sequential render and paste on a second
// context, edges, refusals, a failure in mid-run; the per-thread last error of the C interface.
#include <atomic>

#include "capi_fixture.h"

namespace {

// The speech encoder, 13 frames of a silence-led clip, bundles with JPEG stills (FFmpeg's own
// decoder threads are not instrumented for ThreadSanitizer).
struct Fixture {
  tqtest::TempDir dir;
  std::string w2v = dir / "w2v/w2v8.onnx";
  std::vector<float> speech;
  std::string plain = bundle("plain");
  Fixture() {
    EXPECT_TRUE(tqtest::runFixtureTool({"a2x", "--out", dir / "motion", "--w2v-dir", dir / "w2v"}) &&
                tqtest::runFixtureTool({"fca-clips", dir / "clips"}));
    speech = tqtest::readAs<float>(dir / "clips/silence_led.f32");
    speech.resize(12 * 640 + 17);
  }
  std::string bundle(const std::string& name, const std::vector<std::string>& opts = {}) const {
    std::vector<std::string> args = {"fca-bundle", dir / name, "--stills"};
    args.insert(args.end(), opts.begin(), opts.end());
    EXPECT_TRUE(tqtest::runFixtureTool(args));
    return dir / name;
  }
};

const Fixture& fx() {
  static const Fixture* f = new Fixture;
  return *f;
}

std::string member(const std::string& bundle, const char* name) {
  char path[4096];
  EXPECT_EQ(tq_bundle_resolve_member(bundle.c_str(), name, path, sizeof path), 1) << name;
  return path;
}

// Frames as a host would make them one by one on its own context.
std::vector<std::vector<uint8_t>> sequentialFrames(const std::string& bundle, int skip, float gain,
                                                   const std::vector<float>& audio) {
  tq_ctx* ctx = tq_create(bundle.c_str(), "render", 1, "");
  tq_fca* fca = tq_fca_create(fx().w2v.c_str(), member(bundle, "fca_stream.onnx").c_str(), 1);
  EXPECT_TRUE(ctx && fca) << tq_last_error();
  const std::vector<float> xs = tqtest::readAs<float>(member(bundle, "xs_target.bin"));
  const int F = static_cast<int>((audio.size() + 639) / 640), nt = tq_nt(ctx);
  std::vector<float> off(static_cast<std::size_t>(F) * 63), drv(63);
  EXPECT_EQ(tq_fca_deltas(fca, audio.data(), static_cast<int>(audio.size()), off.data(), F), F);
  std::vector<std::vector<uint8_t>> frames;
  for (int i = skip; i < F; ++i) {
    const int d = nt <= 1 ? 0 : i % nt;
    for (int k = 0; k < 63; ++k) drv[k] = xs[d * 63 + k] + gain * off[i * 63 + k];
    frames.push_back(capitest::renderPaste(ctx, d, &xs[d * 63], drv.data()));
  }
  tq_fca_destroy(fca), tq_destroy(ctx);
  return frames;
}

struct Sink {
  std::thread::id caller = std::this_thread::get_id();
  std::vector<int> numbers;
  std::vector<std::vector<uint8_t>> frames;
  bool foreignThread = false;
  static void take(void* user, int j, const uint8_t* rgb, int w, int h) {
    Sink* s = static_cast<Sink*>(user);
    s->foreignThread |= std::this_thread::get_id() != s->caller;
    s->numbers.push_back(j), s->frames.emplace_back(rgb, rgb + static_cast<std::size_t>(w) * h * 3);
  }
};

int run(tq_stream* s, const std::vector<float>& audio, Sink* sink) {
  return tq_stream_run(s, audio.data(), static_cast<int>(audio.size()), sink ? Sink::take : nullptr, sink);
}

TEST(Stream, FramesMatchASequentialRenderAndPaste) {
  const std::string& plain = fx().plain, imx = fx().dir / "packed.imx";
  fx().bundle("packsrc", {"--imx", imx});
  const std::string one = fx().bundle("nt1", {"--nt", "1"});
  const struct { std::string bundle; int skip; float gain; } cases[] = {
      {plain, 0, 1.0f}, {plain, 3, 0.5f}, {one, 0, 1.0f}, {imx, 2, 1.0f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bundle + " skip " + std::to_string(c.skip));
    tq_stream* s = tq_stream_create(c.bundle.c_str(), fx().w2v.c_str(), 1, c.skip, c.gain);
    ASSERT_NE(s, nullptr) << tq_stream_last_error();
    EXPECT_EQ(tq_stream_width(s) * 1000 + tq_stream_height(s), 96064);
    const auto want = sequentialFrames(c.bundle, c.skip, c.gain, fx().speech);
    for (int pass = 0; pass < 2; ++pass) {  // runs on one handle are independent
      Sink sink;
      ASSERT_EQ(run(s, fx().speech, &sink), 13 - c.skip) << tq_stream_last_error();
      ASSERT_EQ(sink.frames.size(), want.size());
      EXPECT_FALSE(sink.foreignThread) << "frames are handed on on the caller's thread";
      for (std::size_t j = 0; j < want.size(); ++j)
        EXPECT_TRUE(sink.numbers[j] == int(j) && sink.frames[j] == want[j]) << "frame " << j << " pass " << pass;
    }
    tq_stream_destroy(s);
  }
}

// Driver frame 2 of "gap" is damaged: that run reports the failure after handing on only frames before
// the first one built on frame 2.
TEST(Stream, EdgesRefusalsAndAFailureInMidRun) {
  const std::string& plain = fx().plain;
  tq_stream* s = tq_stream_create(plain.c_str(), fx().w2v.c_str(), 1, 2, 1.0f);
  ASSERT_NE(s, nullptr) << tq_stream_last_error();
  Sink sink;
  const std::vector<float> two(fx().speech.begin(), fx().speech.begin() + 641);  // 2 frames, both skipped
  EXPECT_EQ(run(s, two, &sink) + run(s, {}, &sink), 0);
  EXPECT_TRUE(sink.numbers.empty());
  EXPECT_EQ(run(s, fx().speech, nullptr), 11);  // frames made and dropped
  EXPECT_TRUE(tq_stream_run(s, nullptr, 100, nullptr, nullptr) == -1 &&
              tq_stream_last_error() == std::string("tq_stream_run: bad args"));
  // A run entered again from its own frame callback is refused; the outer run goes on.
  struct Reentry { tq_stream* s; const std::vector<float>* audio; int got = 0; std::string text; } re{s, &fx().speech, 0, {}};
  const int outer = tq_stream_run(
      s, fx().speech.data(), static_cast<int>(fx().speech.size()),
      [](void* user, int, const uint8_t*, int, int) {
        auto* r = static_cast<Reentry*>(user);
        if (r->text.empty()) {
          r->got = tq_stream_run(r->s, r->audio->data(), static_cast<int>(r->audio->size()), nullptr, nullptr);
          r->text = tq_stream_last_error();
        }
      },
      &re);
  EXPECT_EQ(std::make_tuple(outer, re.got, re.text),
            std::make_tuple(11, -1, std::string("tq_stream_run: a run is already in progress on this handle")));
  tq_stream_destroy(s), tq_stream_destroy(nullptr);
  EXPECT_EQ(tq_stream_width(nullptr), 0);
  const std::string gap = fx().bundle("gap");
  tqtest::writeText(gap + "/target_frames/frame_000002.jpg", "not a JPEG still");
  ASSERT_NE(s = tq_stream_create(gap.c_str(), fx().w2v.c_str(), 1, 0, 1.0f), nullptr) << tq_stream_last_error();
  EXPECT_EQ(run(s, fx().speech, &sink), -1);
  EXPECT_STREQ(tq_stream_last_error(), "tq_stream_run: render/paste failed");
  const int first[] = {0, 1};
  EXPECT_TRUE(sink.numbers.size() <= 2 && std::equal(sink.numbers.begin(), sink.numbers.end(), first));
  tq_stream_destroy(s);
  const std::string cut = fx().bundle("cut", {"--xs-cut", "4"}), w2v = fx().w2v, absent = fx().dir / "absent.onnx";
  // A text ending in ": " is a prefix.
  const struct { const char *bundle, *w2v; int skip; std::string text; } refusals[] = {
      {cut.c_str(), w2v.c_str(), 0, "tq_stream_create: cannot read xs_target.bin (NT*63 f32)"},
                  {plain.c_str(), w2v.c_str(), -1, "tq_stream_create: skip -1 is negative"},
                  {nullptr, w2v.c_str(), 0, "tq_stream_create: NULL bundle_dir/w2v_path"},
                  {plain.c_str(), absent.c_str(), 0, "tq_fca_create: "}};
  for (const auto& r : refusals) {
    EXPECT_EQ(tq_stream_create(r.bundle, r.w2v, 1, r.skip, 1.0f), nullptr);
    const std::string got = tq_stream_last_error();
    EXPECT_EQ(r.text.back() == ' ' ? got.substr(0, r.text.size()) : got, r.text);
  }
}

// A success clears only the caller's last error; threads failing differently in a tight loop each
// read back their own text.
TEST(CApiThreads, LastErrorIsPerThread) {
  std::vector<std::thread> ts;
  std::atomic<int> wrong{0};
  const char* texts[] = {"tq_create: NULL bundle_dir/model_key", "tq_prior_open: NULL bundle_dir", ""};
  for (int t = 0; t < 8; ++t)
    ts.emplace_back([t, &wrong, &texts] {
      char out[64];
      for (int i = 0, what = t % 3; i < 2000; ++i, what = (t + i) % 3) {
        const bool ok = what == 0 ? !tq_create(nullptr, "k", 0, nullptr) : what == 1 ? !tq_prior_open(nullptr, 0, 0)
                                                                         : tq_bundle_resolve_handle("/", out, 64) == 1;
        wrong += !ok || tq_last_error() != std::string(texts[what]);
      }
    });
  for (auto& th : ts) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
