// Damaged bundles whose numbers would size allocations or probes: each one is refused through the
// exported functions with its text, in bounded memory. The binary runs under an address-space cap,
// so a size that is trusted again fails here with an allocation failure instead of taking the machine.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>

#include "capi_fixture.h"
#include "tq/tq.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TQ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TQ_SANITIZED 1
#endif
#endif

namespace {

// Address space in use now plus 768 MiB: the library's own threads and runtime fit easily; any of
// the damaged sizes below would not. Sanitizers and emulators map terabytes, so neither is capped.
bool capAddressSpace() {
#ifdef TQ_SANITIZED
  return false;
#else
  if (tqtest::underEmulation()) return false;
  std::ifstream status("/proc/self/status");
  std::string key;
  long long kb = 0;
  while (status >> key && key != "VmSize:") {
  }
  if (!(status >> kb) || kb <= 0) return false;
  const rlim_t cap = static_cast<rlim_t>(kb) * 1024 + (rlim_t(768) << 20);
  const struct rlimit rl = {cap, cap};
  return setrlimit(RLIMIT_AS, &rl) == 0;
#endif
}
const bool kCapped = capAddressSpace();

// Writes stills, then overwrites bytes at `offset` past the first segment with `marker` in the first.
std::function<void(const std::string&)> patchStill(uint8_t marker, std::size_t offset, std::vector<uint8_t> bytes) {
  return [=](const std::string& d) {
    capitest::writeStills(d);
    const std::string still = d + "/target_frames/frame_000000.jpg";
    const std::vector<uint8_t> jpg = tqtest::readBytes(still);
    std::size_t at = 2;
    while (at + 1 < jpg.size() && !(jpg[at] == 0xFF && jpg[at + 1] == marker)) ++at;
    ASSERT_LT(at + 1, jpg.size());
    std::fstream f(still, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at + offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
}

void rm(const std::string& path) { std::remove(path.c_str()); }
enum At { kCreate, kRender, kPrior };  // the entry point that refuses

TEST(DamagedBundle, EveryDamageIsRefusedWithItsTextInBoundedMemory) {
  if (!kCapped) std::fprintf(stderr, "address space not capped in this build; texts are still checked\n");
  const std::string drive = "tq_create: size mismatch @/drive/xs.f32", still = "tq_create: tq_driver: @/target_frames/";
  const struct {
    const char* what;
    std::string manifest;
    std::vector<std::string> fixture;              // extra fixture-tool arguments
    std::function<void(const std::string&)> edit;  // applied to the bundle directory
    At at;
    std::string expected;                          // "@" stands for the bundle directory
  } cases[] = {
      {"a manifest without frames", R"({"amount": 0, "frames": null})", {}, nullptr, kCreate,
       "tq_create: manifest: missing key frames"},
      {"a mask one byte short", R"({"amount": 0})", {"--extra-bytes", "{\"mask_512.u8\": -1}"}, nullptr, kCreate,
       "tq_create: mask read failed"},
      {"no driver video", R"({"amount": 0})", {}, [](const std::string& d) { rm(d + "/target_frames.mp4"); }, kCreate,
       "tq_create: this bundle carries neither a populated target_frames/ nor target_frames.mp4 (@/target_frames"
       ".mp4) \xe2\x80\x94 there is no driver video to play. REFUSING to create a session."},
      {"no warp prior", R"({"amount": 0})", {}, [](const std::string& d) { rm(d + "/P.f16"); }, kPrior,
       "tq_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov (@/P_hevc.mov) \xe2\x80\x94 there is "
       "no warp prior to play. REFUSING to create a session."},
      {"frames sizes the drive tables", R"({"amount": 0, "frames": 100000000})", {}, nullptr, kCreate, drive},
      {"frames just past the drive tables", R"({"amount": 0, "frames": 4000012})", {}, nullptr, kCreate, drive},
      {"frames near the int32 limit", R"({"amount": 0, "frames": 2000000000})", {}, nullptr, kCreate, drive},
      {"crop x crop x NT x 6 wraps to zero over an empty prior", R"({"amount": 0, "crop": 1073741824, "NT": 8})", {},
       [](const std::string& d) { std::fclose(std::fopen((d + "/P.f16").c_str(), "wb")); }, kCreate,
       "tq_create: size mismatch @/pooled64.f16"},
      {"crop sizes the paste mask of a movie prior", R"({"amount": 0, "crop": 100000000, "P_hevc": "P_hevc.mov"})",
       {"--prior", "none", "--prior-movie"}, nullptr, kCreate, "tq_create: mask read failed"},
      {"H sizes the ring of a still driver", R"({"amount": 0, "H": 100000000})", {}, capitest::writeStills, kCreate,
       still + "frame_000000.jpg is 96x64, the manifest says 96x100000000 — refusing"},
      {"a still whose header declares a huge picture", R"({"amount": 0})", {}, patchStill(0xC0, 5, {0xC0, 0x40}),
       kCreate, still + "frame_000000.jpg is 96x49216, the manifest says 96x64 — refusing"},
      {"a still whose Huffman table declares more than 256 codes", R"({"amount": 0})", {},
       patchStill(0xC4, 5, std::vector<uint8_t>(16, 17)), kCreate,  // 16 x 17 = 272 codes
       "tq_create: tq_driver: decode failed: @/target_frames/frame_000000.jpg (Huffman table declares 272 codes (at "
       "most 256))"},
      {"a driver member that never ends", R"({"amount": 0})", {},
       [](const std::string& d) {
         rm(d + "/target_frames.mp4");
         ASSERT_EQ(::symlink("/dev/zero", (d + "/target_frames.mp4").c_str()), 0);
       },
       kCreate, "tq_create: tq_driver: @/target_frames.mp4 is not a regular file — refusing"},
      {"a director batch that sizes the bound buffers", R"({"amount": 0})", {},
       [](const std::string& d) {
         tqtest::runFixtureTool({"director", "--out", d + "/model_b1.onnx", "--batch", "1048576"});
       },
       kRender, "tq_render_kp_crop: Renderer: @/model_b1.onnx declares pooled64 batch 1048576; this renderer binds at "
             "most 64 frames per run. REFUSING at load."},
      {"a directory where the director graph should be", R"({"amount": 0})", {},
       [](const std::string& d) {
         rm(d + "/model_b1.onnx");
         ::mkdir((d + "/model_b1.onnx").c_str(), 0755);
       },
       kRender, "tq_render_kp_crop: Renderer: cannot open @/model_b1.onnx"},
  };
  for (const auto& dmg : cases) {
    SCOPED_TRACE(dmg.what);
    tqtest::TempDir t;
    const std::string dir = capitest::writeBundle(t, dmg.fixture, dmg.manifest);
    if (dmg.edit) dmg.edit(dir);
    if (::testing::Test::HasFatalFailure()) continue;
    testing::internal::CaptureStderr();
    tq_ctx* ctx = dmg.at == kPrior ? nullptr : tq_create(dir.c_str(), "b1", 1, nullptr);
    std::string err = ctx ? "" : tq_last_error();
    if (ctx && dmg.at == kRender) {
      std::vector<float> kp(63, 0.0f);
      EXPECT_EQ(tq_render_kp_crop(ctx, 0, kp.data(), kp.data()), nullptr);
      err = tq_last_error();
    }
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
