// Blend-head weights and serving configuration of the teeth pass.
//
// The weights arrive as a PyTorch checkpoint: a ZIP archive of stored (not
// compressed) members holding a pickled state dictionary and raw float32
// storages. They are read here by a minimal ZIP walk and a pickle stack
// machine that models only what torch.save writes for a state dictionary of
// float tensors, and refuses everything else by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tq {
namespace tessera {

// The ten parameter tensors of the head, flattened in PyTorch layout
// (out-channels, in-channels, kernel rows, kernel columns).
struct HeadWeights {
  std::vector<float> cand0_w;  // "cand.0.weight" [16, 7, 3, 3]
  std::vector<float> cand0_b;  // "cand.0.bias"   [16]
  std::vector<float> cand2_w;  // "cand.2.weight" [16, 16, 3, 3]
  std::vector<float> cand2_b;  // "cand.2.bias"   [16]
  std::vector<float> cand4_w;  // "cand.4.weight" [1, 16, 3, 3]
  std::vector<float> cand4_b;  // "cand.4.bias"   [1]
  std::vector<float> syn0_w;   // "syn.0.weight"  [16, 3, 3, 3], empty without the syn branch
  std::vector<float> syn0_b;   // "syn.0.bias"    [16]
  std::vector<float> syn2_w;   // "syn.2.weight"  [1, 16, 3, 3]
  std::vector<float> syn2_b;   // "syn.2.bias"    [1]

  // Total number of values: 4082 with the syn branch, 3489 without.
  std::size_t params() const;
};

constexpr std::size_t kHeadParamsFull = 4082;   // BlendHead(16)
constexpr std::size_t kHeadParamsCand = 3489;   // BlendHead8(16)

// Reads a checkpoint held in memory. Throws std::runtime_error ("teeth: ...").
HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);
HeadWeights loadHeadPt(const uint8_t* data, std::size_t size);

// Retrieval and temporal settings of the pass. The six read fields are all
// required by fromHeadMemberJson; the five after them are fixed.
struct ServeConfig {
  int32_t kshort = 512;
  double aperture_tol = 0.3;
  int32_t cut = 96;
  int32_t K = 64;
  int32_t hysteresis = 8;
  int32_t lookahead = 8;
  double teeth_luma_floor = 100.0;     // minimum 0.299R + 0.587G + 0.114B of a teeth pixel
  double teeth_chroma_ceiling = 25.0;  // a teeth pixel needs |G - R| below this
  int32_t min_teeth_pixels = 32;       // below this the compose mask alone weighs
  double weight_decay = 0.6;           // carry-over of the previous weight map
  int32_t lookahead_enabled = 1;       // use the next frame's selection when emitting

  // Reads the head configuration member ("tessera_head.v1.json").
  static ServeConfig fromHeadMemberJson(const std::string& text);
};

}  // namespace tessera
}  // namespace tq
