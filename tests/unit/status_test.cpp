#include "status.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "options.h"
#include "state.h"
#include "status_testing.h"

namespace {

class Status : public testing::Test {
 protected:
  void SetUp() override {
    gStop.store(0);
    gFrames.store(0);
    gSender = nullptr;  // no sender: zero connections
    gOpt = kDefaultOptions;
  }
  void TearDown() override { gStop.store(0); }

  // Runs the reporter with a long interval and stops it mid-wait.
  std::string stopped_after_frames(int32_t frames) {
    gFrames.store(frames);
    testing::internal::CaptureStdout();
    std::thread reporter(status_loop, 1000, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    gStop.exchange(1);
    reporter.join();
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(Status, OneLastLineAfterAStopWithTheCountAtTheNominalRate) {
  EXPECT_EQ(stopped_after_frames(59),
            "{\"event\":\"status\",\"connections\":0,\"fps\":29.5,\"audio\":true}\n");
  gStop.store(0);
  gOpt.audio = 0;
  EXPECT_EQ(stopped_after_frames(60),
            "{\"event\":\"status\",\"connections\":0,\"fps\":30.0,\"audio\":false}\n");
  EXPECT_EQ(gFrames.load(), 0);
}

TEST_F(Status, NothingWhenStoppedBeforeItStarts) {
  gStop.store(1);
  testing::internal::CaptureStdout();
  status_loop(1, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Status, EveryIntervalTakesTheFramesSinceTheLastLine) {
  testing::internal::CaptureStdout();
  std::thread reporter(status_loop, 1, 20);
  int added = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
  while (std::chrono::steady_clock::now() < end) {
    gFrames.fetch_add(1);
    ++added;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  gStop.exchange(1);
  reporter.join();
  std::string out = testing::internal::GetCapturedStdout();
  double total = 0;
  int lines = 0;
  for (size_t at = out.find("\"fps\":"); at != std::string::npos; at = out.find("\"fps\":", at + 1)) {
    double fps = std::stod(out.substr(at + 6));
    double twice = fps * 2;
    EXPECT_EQ(twice, static_cast<int>(twice));  // always .0 or .5
    total += twice;
    ++lines;
  }
  EXPECT_GE(lines, 2);
  EXPECT_EQ(total, added);  // no frame counted twice or lost
}

}  // namespace
