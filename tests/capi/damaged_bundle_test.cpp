// Damaged bundles whose numbers would size allocations or probes: each one is
// refused through the exported functions with its text, in bounded memory. The
// whole binary runs under an address-space cap, so a size that is trusted again
// fails here with an allocation failure instead of taking the machine.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

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

using tqtest::TempDir;

// Address space in use now plus 768 MiB: the library's own threads and runtime
// fit easily; any of the damaged sizes below would not. Sanitizers reserve
// terabytes of shadow space and emulators map the guest's, so neither is capped.
bool capAddressSpace() {
#ifdef TQ_SANITIZED
  return false;
#else
  if (tqtest::underEmulation()) return false;
  std::ifstream status("/proc/self/status");
  std::string key;
  long long kb = 0;
  while (status >> key) {
    if (key == "VmSize:") {
      status >> kb;
      break;
    }
  }
  if (kb <= 0) return false;
  const rlim_t cap = static_cast<rlim_t>(kb) * 1024 + (rlim_t(768) << 20);
  struct rlimit rl = {cap, cap};
  return setrlimit(RLIMIT_AS, &rl) == 0;
#endif
}
const bool kCapped = capAddressSpace();

void patchBytes(const std::string& path, std::size_t at, const std::vector<uint8_t>& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(at));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Offset of the first segment with the given marker in a JPEG file.
std::size_t findMarker(const std::vector<uint8_t>& jpg, uint8_t marker) {
  for (std::size_t i = 2; i + 1 < jpg.size(); ++i)
    if (jpg[i] == 0xFF && jpg[i + 1] == marker) return i;
  return 0;
}

// Replaces the bundle's driver movie with ffmpeg-written JPEG stills.
void writeStills(const std::string& dir) {
  const std::string stills = dir + "/target_frames";
  ::mkdir(stills.c_str(), 0755);
  ASSERT_EQ(tqtest::runCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=" + std::to_string(capitest::kW) + "x" +
                               std::to_string(capitest::kH) + ":rate=25 -frames:v " + std::to_string(capitest::kNT) +
                               " -start_number 0 " + stills + "/frame_%06d.jpg"),
            0);
  std::remove((dir + "/target_frames.mp4").c_str());
}

struct Damage {
  const char* what;
  std::vector<std::string> fixture;            // extra fixture-tool arguments
  std::function<void(const std::string&)> edit;  // applied to the bundle directory
  bool atRender;                                // refused by the first render, not by tq_create
  std::function<std::string(const std::string&)> expected;
};

std::vector<std::string> setManifest(const std::string& json) { return {"--manifest-set", json}; }

const std::vector<Damage>& damages() {
  static const std::vector<Damage> table = {
      {"frames sizes the drive tables", setManifest(R"({"amount": 0, "frames": 100000000})"), nullptr, false,
       [](const std::string& d) { return "tq_create: size mismatch " + d + "/drive/xs.f32"; }},
      {"frames just past the drive tables", setManifest(R"({"amount": 0, "frames": 4000012})"), nullptr, false,
       [](const std::string& d) { return "tq_create: size mismatch " + d + "/drive/xs.f32"; }},
      {"frames near the int32 limit", setManifest(R"({"amount": 0, "frames": 2000000000})"), nullptr, false,
       [](const std::string& d) { return "tq_create: size mismatch " + d + "/drive/xs.f32"; }},
      {"crop x crop x NT x 6 wraps to zero over an empty prior",
       setManifest(R"({"amount": 0, "crop": 1073741824, "NT": 8})"),
       [](const std::string& d) { std::fclose(std::fopen((d + "/P.f16").c_str(), "wb")); }, false,
       [](const std::string& d) { return "tq_create: size mismatch " + d + "/pooled64.f16"; }},
      {"crop sizes the paste mask of a movie prior",
       {"--prior", "none", "--prior-movie", "--manifest-set", R"({"amount": 0, "crop": 100000000, "P_hevc": "P_hevc.mov"})"}, nullptr, false,
       [](const std::string&) { return "tq_create: mask read failed"; }},
      {"H sizes the ring of a still driver", setManifest(R"({"amount": 0, "H": 100000000})"), writeStills, false,
       [](const std::string& d) {
         return "tq_create: tq_driver: " + d + "/target_frames/frame_000000.jpg is 96x64, the manifest says " +
                "96x100000000 — refusing";
       }},
      {"a still whose header declares a huge picture", setManifest(R"({"amount": 0})"),
       [](const std::string& d) {
         writeStills(d);
         const std::string still = d + "/target_frames/frame_000000.jpg";
         const std::size_t sof = findMarker(tqtest::readBytes(still), 0xC0);
         ASSERT_GT(sof, 0u);
         patchBytes(still, sof + 5, {0xC0, 0x40});  // height 64 -> 49216
       },
       false,
       [](const std::string& d) {
         return "tq_create: tq_driver: " + d + "/target_frames/frame_000000.jpg is 96x49216, the manifest says " +
                "96x64 — refusing";
       }},
      {"a still whose Huffman table declares more than 256 codes", setManifest(R"({"amount": 0})"),
       [](const std::string& d) {
         writeStills(d);
         const std::string still = d + "/target_frames/frame_000000.jpg";
         const std::size_t dht = findMarker(tqtest::readBytes(still), 0xC4);
         ASSERT_GT(dht, 0u);
         patchBytes(still, dht + 5, std::vector<uint8_t>(16, 17));  // 16 x 17 = 272 codes
       },
       false,
       [](const std::string& d) {
         return "tq_create: tq_driver: decode failed: " + d +
                "/target_frames/frame_000000.jpg (Huffman table declares 272 codes (at most 256))";
       }},
      {"a driver member that never ends", setManifest(R"({"amount": 0})"),
       [](const std::string& d) {
         std::remove((d + "/target_frames.mp4").c_str());
         ASSERT_EQ(::symlink("/dev/zero", (d + "/target_frames.mp4").c_str()), 0);
       },
       false,
       [](const std::string& d) {
         return "tq_create: tq_driver: " + d + "/target_frames.mp4 is not a regular file — refusing";
       }},
      {"a director batch that sizes the bound buffers", setManifest(R"({"amount": 0})"),
       [](const std::string& d) {
         tqtest::runFixtureTool({"director", "--out", d + "/model_b1.onnx", "--batch", "1048576"});
       },
       true,
       [](const std::string& d) {
         return "tq_render_kp_crop: Renderer: " + d + "/model_b1.onnx declares pooled64 batch 1048576; this " +
                "renderer binds at most 64 frames per run. REFUSING at load.";
       }},
      {"a directory where the director graph should be", setManifest(R"({"amount": 0})"),
       [](const std::string& d) {
         std::remove((d + "/model_b1.onnx").c_str());
         ::mkdir((d + "/model_b1.onnx").c_str(), 0755);
       },
       true, [](const std::string& d) { return "tq_render_kp_crop: Renderer: cannot open " + d + "/model_b1.onnx"; }},
  };
  return table;
}

TEST(DamagedBundle, EverySizeFromAFileIsCheckedBeforeItAllocates) {
  if (!kCapped) std::fprintf(stderr, "address space not capped in this build; texts are still checked\n");
  for (const Damage& dmg : damages()) {
    SCOPED_TRACE(dmg.what);
    TempDir t;
    const std::string dir = t / "bundle";
    std::vector<std::string> args = {"identity-bundle", dir,  "--nt",       "3",  "--crop",        "32", "--W", "96",
                                     "--H",             "64", "--translate", "--mask-value", "255", "--director", "b1",
                                     "--frames",        "4"};
    args.push_back("--driver-movie");
    args.insert(args.end(), dmg.fixture.begin(), dmg.fixture.end());
    ASSERT_TRUE(tqtest::runFixtureTool(args));
    if (dmg.edit) dmg.edit(dir);
    if (::testing::Test::HasFatalFailure()) continue;

    testing::internal::CaptureStderr();
    tq_ctx* ctx = tq_create(dir.c_str(), "b1", 1, nullptr);
    std::string err = ctx ? "" : tq_last_error();
    if (ctx && dmg.atRender) {
      std::vector<float> kp(63, 0.0f);
      EXPECT_EQ(tq_render_kp_crop(ctx, 0, kp.data(), kp.data()), nullptr);
      err = tq_last_error();
    }
    testing::internal::GetCapturedStderr();
    tq_destroy(ctx);
    EXPECT_EQ(ctx != nullptr, dmg.atRender) << err;
    EXPECT_EQ(err, dmg.expected(dir));
  }
}

}  // namespace
