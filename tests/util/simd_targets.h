// Runs a check once under every vector target that is compiled in and that this
// processor supports, so that each variant of a kernel is held against its scalar
// reference. Fails the test when a target named in TQ_EXPECT_SIMD_TARGETS
// (comma-separated) was not among them, so a path can never go silently untested.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tqtest {

// Returns the names of the targets the body ran under.
std::vector<std::string> forEachSimdTarget(const std::function<void(const std::string& target)>& body);

}  // namespace tqtest
