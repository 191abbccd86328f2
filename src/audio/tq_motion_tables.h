// The motion directory's meta.json and float tables, read with exact-size checks.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tq {
namespace motion {

// Widths of the rows the pipeline exchanges.
constexpr int kMotionDim = 265;    // scale - 1, pitch/yaw/roll logits, translation, expression
constexpr int kPoseDim = 202;      // the pose part: the first 202 values of a motion vector
constexpr int kExprDim = 63;       // 21 keypoints x (x, y, z)
constexpr int kBins = 66;          // head-pose angle logits
constexpr int kInfoDim = 328;      // a source description row
constexpr int kFeatDim = 1024;     // audio feature per video frame
constexpr int kCondDim = 1103;     // conditioning row: feature, emotion, eyes, reference expression
constexpr int kEmoDim = 8;
constexpr int kMelBands = 80;
constexpr int kMelFrames = 21;
constexpr int kFeatRows = 20;      // encoder output rows per audio block
constexpr int kChunk = 80;         // generator frames per run
constexpr int kOverlap = 10;       // frames shared by consecutive runs
constexpr int kStride = kChunk - kOverlap;
constexpr int kBlockFrames = 5;    // video frames per audio block
constexpr int kSamplesPerFrame = 640;

// Offsets inside a source description row.
constexpr int kInfoExpr = 0;
constexpr int kInfoCanon = 63;
constexpr int kInfoPitch = 126;
constexpr int kInfoRoll = 192;
constexpr int kInfoScale = 258;
constexpr int kInfoTrans = 259;
constexpr int kInfoYaw = 262;

// Offsets inside a motion vector.
constexpr int kMotPitch = 1;
constexpr int kMotYaw = 67;
constexpr int kMotRoll = 133;
constexpr int kMotTrans = 199;
constexpr int kMotExpr = 202;

struct MotionMeta {
  int nt = 0;
  int nSrc = 0;
  int nEmo = 0;
  float sBridge = 0;
  float deltaPitch = 0;
};

// Parses meta.json text: each key is its quoted name followed by ':' and a
// decimal number. Throws "meta.json: missing <key>" / "meta.json: bad <key>".
MotionMeta parseMotionMeta(const std::string& text);

// Exactly `count` little-endian float32 from path. Throws "cannot open <path>",
// "short read <path>" or "<path>: <n> floats, expected <count>".
std::vector<float> readFloatTable(const std::string& path, std::size_t count);

struct MotionTables {
  MotionMeta meta;
  std::vector<float> window;      // 512
  std::vector<float> binmat;      // 257 x 80
  std::vector<float> fmean, fstd; // 1024 each
  std::vector<float> emo;         // n_emo x 8
  std::vector<float> chInfo;      // 328
  std::vector<float> chSc;        // 63
  std::vector<float> eyeOpen;     // 2
  std::vector<float> eyeBall;     // 6
  std::vector<float> vMinMax;     // 265 minima then 265 maxima
  std::vector<float> srcInfo;     // nt x 328
  std::vector<float> xsTarget;    // nt x 63
};

// Reads meta.json and every table of the directory, in member order.
MotionTables loadMotionTables(const std::string& dir);

}  // namespace motion
}  // namespace tq
