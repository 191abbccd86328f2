// The source cone of the m4b director: the nodes between the warp prior "P_rgb"
// and the one Concat that reads it. They depend on the source frame only, never on
// the keypoints, so the graph can be split at the Concat's output (the boundary)
// into a prep graph run once per source frame and a per-frame graph.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "render/gs_wire.h"

namespace tq {

// Counts the Concat nodes that read "P_rgb" and have a non-empty first output.
// With exactly one, `boundary` is its output and 1 is returned; otherwise
// `boundary` is cleared and the count returned (0 without a graph).
int findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& boundary);

// The cone of `boundary` over `nodes` (a flag per node position), checked: every
// leaf is "P_rgb", an initializer or a Constant, and no cone value other than the
// boundary (nor "P_rgb" itself) is read outside the cone. False with `reason` set.
bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::vector<std::string>& initializerNames,
                  const std::vector<std::string>& inputNames, const std::string& boundary,
                  std::vector<bool>& inCone, std::string& reason);

// The prep graph: the cone and the Constant nodes, "P_rgb" in, the boundary out
// (float, rank 4, symbolic dimensions).
bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& boundary,
                         std::vector<uint8_t>& prep, std::string& reason);

// The per-frame graph: everything but the cone, with the boundary as a graph
// input of the given static dimensions in place of "P_rgb".
bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& boundary,
                             const int64_t* dims, std::size_t rank, std::vector<uint8_t>& perFrame,
                             std::string& reason);

}  // namespace tq
