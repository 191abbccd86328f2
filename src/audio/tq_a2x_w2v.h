// The speech encoders shared by every tq_a2x of the process: the 8-second w2v
// graph, the short-window trunk/head pair, and the features of 8 s of silence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "render/tq_ort.h"

namespace tq {
namespace a2x {

constexpr int kHop = 640;                 // samples per video frame
constexpr int kBlockFrames = 8;           // frames made usable at once
constexpr int kBlockSamples = 5120;
constexpr int kEmbLayers = 12;
constexpr int kEmbWidth = 768;
constexpr int kFeat = kEmbLayers * kEmbWidth;  // feature floats per frame
constexpr int kLongSamples = 128000;      // 8-second window
constexpr int kLongFrames = 200;
constexpr int kShortSamples = 32000;      // 2-second window
constexpr int kTrunkChannels = 640;
constexpr int kKp = 63;

// The 8-second session: loaded on first request and kept for the life of the
// process; whatever path a later request names, the first one loaded is returned.
// Throws the runtime's message when it cannot be loaded (a later request retries).
Ort::Session& sharedLong(const std::string& path, int threads);

// The short-window pair, once per process.
struct ShortPair {
  Ort::Session* trunk = nullptr;
  Ort::Session* head = nullptr;
  const char* trunkOutput = nullptr;
};
// Loads the pair beside w2vPath (or from TQ_A2X_W2V_WIN_ONNX / TQ_A2X_W2V_HEAD_ONNX)
// the first time; later calls report the first result without trying again.
bool loadShortPair(const std::string& w2vPath, int threads, ShortPair* out);
// Trunk output length in steps: from the graph when it declares it, else from the
// first run (0 until then).
int trunkSteps();
void noteTrunkSteps(int lt);

// Where frame W + j (j < 8) of the block starting at frame W samples the trunk
// output of that block's 2 s window, in fractional trunk steps, for right
// context rc: the step the 8-second window would take the frame from.
double trunkPosition(int64_t W, int j, int rc);
// The largest right context for which no frame samples before its window's
// first trunk step.
int maxShortRightContext();

// Runs the 8-second graph on one normalised window of 128000 samples. The result
// holds at least 12 x 200 x 768 floats, read as [layer][frame][768].
Ort::Value runLong(Ort::Session& s, float* window);

// Features of 8 s of silence through the 8-second graph, half-rounded: 200 frames
// of 9216 floats, computed once per process.
const std::vector<float>& silenceFeatures(Ort::Session& s);

}  // namespace a2x
}  // namespace tq
