// The compositor announces its executor once per process, on the first paste
// that does any work. A binary of its own, so that no earlier paste in the same
// process has printed the line already.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compute/tq_pool.h"
#include "paste/tq_paste.h"

TEST(PasteLog, ExecutorLineOncePerProcess) {
  const int side = 16;
  std::vector<float> crop(3 * side * side, 0.5f);
  std::vector<uint8_t> frame(40 * 30 * 3, 1), mask(side * side, 255);
  tq::Paste a(mask, side, {1.3f, 2.0f, 9}), b(mask, side, {1.3f, 2.0f, 5});
  const float singular[6] = {1, 1, 0, 1, 1, 0}, outside[6] = {1, 0, 500, 0, 1, 0}, inside[6] = {1, 0, 3, 0, 1, 4};
  testing::internal::CaptureStderr();
  a.composite(crop.data(), 255.0f, singular, frame.data(), 40, 30);  // no work: no line
  a.composite(crop.data(), 255.0f, outside, frame.data(), 40, 30);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  a.composite(crop.data(), 255.0f, inside, frame.data(), 40, 30);
  a.composite(crop.data(), 255.0f, inside, frame.data(), 40, 30);
  b.composite(crop.data(), 255.0f, inside, frame.data(), 40, 30);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tq-paste] executor=cpu (side=16, ksize=9, threads=" +
                                                        std::to_string(tq::pool::threads()) +
                                                        ") \xE2\x80\x94 1080p frame\n");
}
