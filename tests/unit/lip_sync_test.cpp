#include "lip_sync.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The lines as ffmpeg's metadata filters print them, other lines of its among them.
TEST(LipSync, StampsAreReadFromTheDecodersLinePairs) {
  StampLines lines;
  std::vector<Stamp> got;
  for (const char* line : {"frame:0    pts:0       pts_time:0", "stream=video",
                           "frame:7    pts:3360    pts_time:0.07", "stream=audio",
                           "frame:1    pts:NOPTS   pts_time:NOPTS", "stream=video",
                           "stream=audio",  // no line before it
                           "frame:2    pts:6000    pts_time:0.0666667", "something else",
                           "stream=video", "frame:123456 pts:11111040000 pts_time:123456",
                           "stream=video"}) {
    Stamp stamp;
    if (lines.feed(line, &stamp)) got.push_back(stamp);
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(got[0].video);
  EXPECT_EQ(got[0].pts_ns, 0);
  EXPECT_FALSE(got[1].video);
  EXPECT_EQ(got[1].pts_ns, 70000000);
  EXPECT_TRUE(got[2].video);
  EXPECT_EQ(got[2].pts_ns, 123456000000000);
}

// Pictures 120 ms after their sound, and a burst at the start that does not count.
TEST(LipSync, TheHoldBackIsThePicturesDelayMeasuredOnceARunHasSettled) {
  constexpr int64_t kMs = 1000000;
  lip_sync_restart();
  DelayMeter meter;
  for (int64_t t = 0; t <= 2100; t += 10) {
    int64_t now = 5000 * kMs + t * kMs;
    int64_t burst = t < 300 ? (300 - t) * kMs : 0;  // the probe's frames, all at once
    meter.stamp({false, t * kMs + burst}, now);
    if (t % 40 == 0) meter.stamp({true, (t - 120) * kMs + burst}, now);
    EXPECT_EQ(lip_sync_hold(), t < 2000 ? 0 : 12) << t;
  }
  lip_sync_restart();
  EXPECT_EQ(lip_sync_hold(), 0);

  EXPECT_EQ(hold_blocks(44 * kMs), 4);
  EXPECT_EQ(hold_blocks(46 * kMs), 5);
  EXPECT_EQ(hold_blocks(-30 * kMs), 0);  // the sound is the later: nothing to hold
  EXPECT_EQ(hold_blocks(250 * kMs), kMaxHoldBlocks);
  EXPECT_EQ(hold_blocks(400 * kMs), 0);  // clocks that disagree, not a decoder's delay
}

}  // namespace
