// The audio engines' meta readers and table readers. Segments: the streaming
// engine's "a2x_meta.json", one of its float tables, then the motion
// directory's "meta.json" and its emotion, source-info and rest-keypoint tables
// (the fixed-size tables are written at their right sizes).
#include <exception>

#include "audio/tq_a2x_meta.h"
#include "audio/tq_motion_tables.h"
#include "fuzz_util.h"

namespace {

void fixedTables(const tqfuzz::TempDir& dir) {
  using namespace tq::motion;
  static const struct {
    const char* name;
    std::size_t count;
  } kFixed[] = {{"hubert_stft_window.bin", 512}, {"hubert_stft_binmat.bin", 257 * kMelBands},
                {"hubert_fmean.bin", kFeatDim},  {"hubert_fstd.bin", kFeatDim},
                {"ch_xs_info.bin", kInfoDim},    {"ch_sc.bin", kExprDim},
                {"ch_eye_open.bin", 2},          {"ch_eye_ball.bin", 6},
                {"v_min_max.bin", 2 * kMotionDim}};
  static const std::vector<float> zeros(257 * kMelBands);
  for (const auto& t : kFixed) tqfuzz::writeFile(dir / t.name, zeros.data(), t.count * sizeof(float));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> seg = tqfuzz::segments(data, size);
  for (const char* key : {"h", "window", "left", "layers", "silence_prime"})
    (void)tq::a2x::metaInt(seg[0], key, -1);
  (void)tq::a2x::metaWidth(seg[0]);
  if (seg.size() < 2) return 0;
  tqfuzz::TempDir dir;
  tqfuzz::writeFile(dir / "a2x_pos.f32", seg[1]);
  try {
    const std::vector<float> v = tq::a2x::readFloats(dir / "a2x_pos.f32");
    if (v.size() != seg[1].size() / sizeof(float)) std::abort();
  } catch (const std::exception&) {
  }
  if (seg.size() < 3) return 0;
  fixedTables(dir);
  static const char* const kVar[] = {"meta.json", "emo.bin", "src_xs_info.bin", "xs_target.bin"};
  for (std::size_t i = 2; i < seg.size() && i - 2 < 4; ++i) tqfuzz::writeFile(dir / kVar[i - 2], seg[i]);
  try {
    const tq::motion::MotionTables t = tq::motion::loadMotionTables(dir.path());
    if (t.srcInfo.size() != static_cast<std::size_t>(t.meta.nt) * tq::motion::kInfoDim) std::abort();
  } catch (const std::exception&) {
  }
  return 0;
}
