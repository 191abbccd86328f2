#include "simd_targets.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "compute/tq_simd.h"

namespace tqtest {

std::vector<std::string> forEachSimdTarget(const std::function<void(const std::string&)>& body) {
  std::vector<std::string> ran;
  for (int64_t t : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(t);
    const std::string name = tq::simd::targetName(t);
    EXPECT_EQ(std::string(tq::simd::dispatchedTarget()), name) << "dispatch did not follow the mock";
    SCOPED_TRACE("target " + name);
    body(name);
    ran.push_back(name);
  }
  hwy::SetSupportedTargetsForTest(0);
  EXPECT_FALSE(ran.empty());
  if (const char* want = std::getenv("TQ_EXPECT_SIMD_TARGETS")) {
    std::stringstream ss(want);
    std::string t;
    while (std::getline(ss, t, ','))
      if (!t.empty())
        EXPECT_NE(std::find(ran.begin(), ran.end(), t), ran.end()) << "expected target " << t
                                                                   << " was not tested";
  }
  return ran;
}

}  // namespace tqtest
