#include "intake.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "net_testing.h"
#include "options.h"
#include "standin.h"
#include "state.h"

namespace {

// A connected loopback pair: the pump reads server, the test writes client.
struct Pair {
  zal_socket server = kNoSocket;
  zal_socket client = kNoSocket;
};

Pair connected_pair() {
  net_start();
  Pair pair;
  int32_t port = 0;
  zal_socket listener = listen_local(&port);
  pair.client = connect_local(port);
  pair.server = accept_timeout(listener, 5000);
  sock_close(listener);
  return pair;
}

// False when the reader went away before everything was sent.
bool send_all(zal_socket s, const std::string& bytes, size_t piece) {
  for (size_t at = 0; at < bytes.size(); at += piece) {
    size_t n = std::min(piece, bytes.size() - at);
    if (sock_send(s, bytes.data() + at, static_cast<int32_t>(n)) != static_cast<int32_t>(n)) {
      return false;
    }
  }
  return true;
}

class Pumps : public testing::Test {
 protected:
  void SetUp() override {
    gStop.store(0);
    gFrames.store(0);
    gOpt = kDefaultOptions;
    gOpt.width = 64;
    gOpt.height = 48;
    gOpt.fps = 25;
    capture_ = standin::temp_dir("pump");
    ASSERT_EQ(standin::load(capture_), nullptr);
    gSender = zal_ndi_sender_create("pump");
    ASSERT_NE(gSender, nullptr);
  }
  void TearDown() override {
    zal_ndi_sender_destroy(gSender);
    gSender = nullptr;
    zal_ndi_unload_for_tests();
    standin::set_env("ZAL_STANDIN_CAPTURE", nullptr);
    gStop.store(0);
  }

  // Runs a pump over a fresh pair fed with bytes in pieces of the given size.
  // A pump that stops early may leave the writer failing: only a full send is required.
  void pump(int (*entry)(void*), const std::string& bytes, size_t piece, bool all_read = true) {
    Pair pair = connected_pair();
    ASSERT_NE(pair.server, kNoSocket);
    std::thread thread(entry, &pair.server);
    bool sent = send_all(pair.client, bytes, piece);
    if (all_read) {
      EXPECT_TRUE(sent);
    }
    sock_close(pair.client);
    thread.join();
    sock_close(pair.server);
  }

  std::string capture_;
};

std::string frames(int count, size_t size) {
  std::string bytes;
  for (int n = 0; n < count; ++n) {
    for (size_t i = 0; i < size; ++i) bytes += static_cast<char>((i * 7 + n * 13 + (i >> 11)) & 0xFF);
  }
  return bytes;
}

TEST_F(Pumps, AnySplitGivesTheSameWholeFramesAndDropsAPartialOne) {
  const size_t size = 64 * 48 * 3 / 2;
  std::string whole = frames(6, size);
  size_t sent = 0;
  for (size_t piece : {size_t{1}, size_t{7}, size + 1, 3 * size, whole.size() + size / 2}) {
    pump(video_thread, whole + std::string(size / 2, 'p'), piece);
    sent += 6;
    std::string captured = standin::file(capture_ + "/video.nv12");
    ASSERT_EQ(captured.size(), sent * size) << "piece " << piece;
    EXPECT_EQ(captured.substr(captured.size() - whole.size()), whole) << "piece " << piece;
  }
  EXPECT_EQ(gFrames.load(), static_cast<int32_t>(sent));
  // One buffer for the whole run of a pump, handed over without a copy.
  std::vector<std::string> video = standin::calls(capture_, "video");
  EXPECT_EQ(standin::field(video[0], "p_data"), standin::field(video[5], "p_data"));
  EXPECT_EQ(standin::field(video[0], "frame_rate_N"), "25");
}

TEST_F(Pumps, StopIsHonouredBetweenFrames) {
  gStop.store(1);
  pump(video_thread, frames(3, 64 * 48 * 3 / 2), 4096, false);
  pump(audio_thread, std::string(3840 * 3, '\0'), 4096, false);
  EXPECT_TRUE(standin::calls(capture_, "video").empty());
  EXPECT_TRUE(standin::calls(capture_, "audio").empty());
}

TEST_F(Pumps, AudioGoesInWholeTenMillisecondBlocks) {
  pump(audio_thread, std::string(3839, '\1'), 1000);
  EXPECT_TRUE(standin::calls(capture_, "audio").empty());
  std::vector<float> samples(9600);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i);
  std::string bytes(reinterpret_cast<const char*>(samples.data()), 38400);
  pump(audio_thread, bytes, 777);
  std::vector<std::string> audio = standin::calls(capture_, "audio");
  ASSERT_EQ(audio.size(), 10u);
  EXPECT_EQ(standin::field(audio[9], "no_samples"), "480");
  std::string planar = standin::file(capture_ + "/audio.f32");
  ASSERT_EQ(planar.size(), 38400u);
  const float* got = reinterpret_cast<const float*>(planar.data());
  // Block 9, right channel, sample 479 is interleaved float 9 * 960 + 479 * 2 + 1.
  EXPECT_EQ(got[9 * 960 + 480 + 479], 9 * 960 + 479 * 2 + 1);
  EXPECT_EQ(got[9 * 960 + 0], 9 * 960);
}

}  // namespace
