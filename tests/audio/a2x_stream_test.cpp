// The streaming engine over the legacy 8-second frontend, through the exported functions.
#include <cmath>
#include <cstring>
#include <numeric>

#include "a2x_test_util.h"

using namespace a2xtest;

namespace {

double maxAbsDiff(const std::vector<float>& a, const std::vector<float>& b) {
  double m = 0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) m = std::max(m, std::fabs(double(a[i]) - b[i]));
  return m;
}

TEST(A2xStream, SmokeFramesFollowSpeech) {
  const Fixture& fx = fixture();
  Handle h(fx);
  ASSERT_NE(h.h, nullptr) << tq_a2x_last_error();
  const std::vector<float>& s = sentence();
  Frames f = stream(h, s, {640});
  EXPECT_EQ(f.count(), static_cast<int>((s.size() + 639) / 640));
  EXPECT_EQ(tq_a2x_total(h), f.count());
  // Lip rows 17..20 (y) open with loudness: speech frames against a silent tail.
  std::vector<float> a = s;
  a.insert(a.end(), 48000, 0.0f);
  Frames g = stream(h, a, {640});
  auto lip = [&](int i) {
    double v = 0;
    for (int r = 17; r <= 20; ++r) v += g.drv[i * kKp + 3 * r + 1] - g.src[i * kKp + 3 * r + 1];
    return v / 4;
  };
  double speechMax = 0, tail = 0;
  for (int i = 0; i < f.count(); ++i) speechMax = std::max(speechMax, lip(i));
  for (int i = g.count() - 20; i < g.count(); ++i) tail = std::max(tail, std::fabs(lip(i)));
  printf("lip speech max %.4f silence %.4f\n", speechMax, tail);
  EXPECT_GT(speechMax, 4 * tail);
}

}  // namespace
