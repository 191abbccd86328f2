// Damaged bundles whose numbers would size allocations or probes: each one is refused through the
// exported functions with its text, in bounded memory. The binary runs under an address-space cap,
// so a size that is trusted again fails here with an allocation failure instead of taking the machine.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "capi_fixture.h"

namespace {

// Address space in use now plus 768 MiB: the library's own threads and runtime fit easily; any of
// the damaged sizes below would not. Sanitizers and emulators map terabytes, so neither is capped.
bool capAddressSpace() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#endif
  std::ifstream status("/proc/self/status");
  std::string key;
  long long kb = 0;
  while (status >> key && key != "VmSize:") continue;
  if (tqtest::underEmulation() || !(status >> kb) || kb <= 0) return false;
  const rlim_t cap = static_cast<rlim_t>(kb) * 1024 + (rlim_t(768) << 20);
  const struct rlimit rl = {cap, cap};
  return setrlimit(RLIMIT_AS, &rl) == 0;
}
const bool kCapped = capAddressSpace();

// Writes stills, then overwrites bytes at `offset` past the first segment with `marker` in the first.
std::function<void(const std::string&)> patchStill(uint8_t marker, std::size_t offset, std::vector<uint8_t> bytes) {
  return [=](const std::string& d) {
    capitest::writeStills(d);
    const std::string still = d + "/target_frames/frame_000000.jpg";
    std::string jpg = tqtest::readText(still);
    const std::size_t at = jpg.find(std::string{'\xFF', char(marker)}, 2);
    ASSERT_NE(at, std::string::npos);
    jpg.replace(at + offset, bytes.size(), std::string(bytes.begin(), bytes.end()));
    tqtest::writeText(still, jpg);
  };
}

void rm(const std::string& path) { std::remove(path.c_str()); }
enum At { kCreate, kRender, kPrior };  // the entry point that refuses

TEST(DamagedBundle, EveryDamageIsRefusedWithItsTextInBoundedMemory) {
  if (!kCapped) std::fprintf(stderr, "address space not capped in this build; texts are still checked\n");
  const std::string drive = "tq_create: size mismatch @/drive/xs.f32", still = "tq_create: tq_driver: @/target_frames/";
  using Edit = std::function<void(const std::string&)>;  // applied to the bundle directory
  const auto replace = [](const char* member, Edit put) {
    return [=](const std::string& d) { rm(d + "/" + member), put(d + "/" + member); };
  };
  const struct {
    std::string manifest;              // set over {"amount": 0}
    std::vector<std::string> fixture;  // extra fixture-tool arguments
    Edit edit;
    At at;
    std::string expected;  // "@" stands for the bundle directory
  } cases[] = {
      {R"("frames": null)", {}, nullptr, kCreate, "tq_create: manifest: missing key frames"},
      {"", {"--extra-bytes", "{\"mask_512.u8\": -1}"}, nullptr, kCreate, "tq_create: mask read failed"},
      {"", {}, [](const std::string& d) { rm(d + "/target_frames.mp4"); }, kCreate,
       "tq_create: this bundle carries neither a populated target_frames/ nor target_frames.mp4 (@/target_frames"
       ".mp4) \xe2\x80\x94 there is no driver video to play. REFUSING to create a session."},
      {"", {}, [](const std::string& d) { rm(d + "/P.f16"); }, kPrior,
       "tq_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov (@/P_hevc.mov) \xe2\x80\x94 there is "
       "no warp prior to play. REFUSING to create a session."},
      // Sizes from the manifest: the drive tables, just past them, near the int32 limit.
      {R"("frames": 100000000)", {}, nullptr, kCreate, drive},
      {R"("frames": 4000012)", {}, nullptr, kCreate, drive},
      {R"("frames": 2000000000)", {}, nullptr, kCreate, drive},
      // crop x crop x NT x 6 wraps to zero over an empty prior.
      {R"("crop": 1073741824, "NT": 8)", {}, replace("P.f16", [](const std::string& m) { tqtest::writeText(m, ""); }), kCreate,
       "tq_create: size mismatch @/pooled64.f16"},
      // crop sizes the paste mask of a movie prior.
      {R"("crop": 100000000, "P_hevc": "P_hevc.mov")", {"--prior", "none", "--prior-movie"}, nullptr, kCreate,
       "tq_create: mask read failed"},
      {R"("H": 100000000)", {}, capitest::writeStills, kCreate,
       still + "frame_000000.jpg is 96x64, the manifest says 96x100000000 \xe2\x80\x94 refusing"},
      // A still whose header declares a huge picture; one whose Huffman table declares 16 x 17 codes.
      {"", {}, patchStill(0xC0, 5, {0xC0, 0x40}), kCreate,
       still + "frame_000000.jpg is 96x49216, the manifest says 96x64 \xe2\x80\x94 refusing"},
      {"", {}, patchStill(0xC4, 5, std::vector<uint8_t>(16, 17)), kCreate,
       "tq_create: tq_driver: decode failed: @/target_frames/frame_000000.jpg (Huffman table declares 272 codes (at "
       "most 256))"},
      {"", {}, replace("target_frames.mp4", [](const std::string& m) { EXPECT_EQ(::symlink("/dev/zero", m.c_str()), 0); }),
       kCreate, "tq_create: tq_driver: @/target_frames.mp4 is not a regular file \xe2\x80\x94 refusing"},
      // A director batch that would size the bound buffers; a directory where the graph should be.
      {"", {}, [](const std::string& d) { tqtest::runFixtureTool({"director", "--out", d + "/model_b1.onnx", "--batch",
                                                                 "1048576"}); },
       kRender, "tq_render_kp_crop: Renderer: @/model_b1.onnx declares pooled64 batch 1048576; this renderer binds at "
                "most 64 frames per run. REFUSING at load."},
      {"", {}, replace("model_b1.onnx", [](const std::string& m) { ::mkdir(m.c_str(), 0755); }), kRender,
       "tq_render_kp_crop: Renderer: cannot open @/model_b1.onnx"},
  };
  for (const auto& dmg : cases) {
    SCOPED_TRACE(dmg.expected);
    tqtest::TempDir t;
    const std::string dir = capitest::writeBundle(t, dmg.fixture, "{\"amount\": 0" + (dmg.manifest.empty() ? "" :
                                                                                      ", " + dmg.manifest) + "}");
    if (dmg.edit) dmg.edit(dir);
    if (::testing::Test::HasFatalFailure()) continue;
    testing::internal::CaptureStderr();
    tq_ctx* ctx = dmg.at == kPrior ? nullptr : tq_create(dir.c_str(), "b1", 1, nullptr);
    std::string err = ctx ? "" : tq_last_error();
    const std::vector<float> kp(63, 0.0f);
    if (ctx && dmg.at == kRender) err = tq_render_kp_crop(ctx, 0, kp.data(), kp.data()) ? "rendered" : tq_last_error();
    if (dmg.at == kPrior) err = tq_prior_open(dir.c_str(), 0, -1) ? "opened" : tq_last_error();
    testing::internal::GetCapturedStderr();
    tq_destroy(ctx);
    EXPECT_EQ(ctx != nullptr, dmg.at == kRender) << err;
    std::string want = dmg.expected;
    if (want.find('@') != std::string::npos) want.replace(want.find('@'), 1, dir);
    EXPECT_EQ(err, want);
  }
}

}  // namespace
