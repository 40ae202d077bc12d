#include "ZALNDI.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZALNDI_testing.h"
#include "dynlib.h"
#include "standin.h"

namespace {

using standin::field;

class Ndi : public testing::Test {
 protected:
  void TearDown() override {
    zal_ndi_unload_for_tests();
    for (const char* name : {"NDI_RUNTIME_DIR_V6", "ZAL_STANDIN_CAPTURE", "ZAL_STANDIN_INIT",
                             "ZAL_STANDIN_LOAD", "ZAL_STANDIN_CREATE", "ZAL_STANDIN_CONNECTIONS"}) {
      standin::set_env(name, nullptr);
    }
  }
};

std::string joined(const char* dir) {
  char path[1100];
  snprintf(path, sizeof path, kNdiPathFormat, dir, kNdiLibraryName);
  return path;
}

TEST_F(Ndi, CandidatePaths) {
  char paths[2][1024];
  ASSERT_EQ(zal_ndi_candidates(nullptr, paths), 1);
  EXPECT_STREQ(paths[0], kNdiLibraryName);
  ASSERT_EQ(zal_ndi_candidates("/opt/ndi", paths), 2);
  EXPECT_EQ(paths[0], joined("/opt/ndi"));
  EXPECT_STREQ(paths[1], kNdiLibraryName);
  ASSERT_EQ(zal_ndi_candidates("", paths), 2);  // set but empty still counts
  EXPECT_EQ(paths[0], joined(""));
  EXPECT_EQ(strlen(paths[0]), strlen(kNdiLibraryName) + 1);
  // A directory too long for the path is skipped, never tried cut short.
  std::string fits(1023 - joined("").size(), 'd');
  ASSERT_EQ(zal_ndi_candidates(fits.c_str(), paths), 2);
  EXPECT_EQ(strlen(paths[0]), 1023u);
  std::string too_long = fits + "d";
  ASSERT_EQ(zal_ndi_candidates(too_long.c_str(), paths), 1);
  EXPECT_STREQ(paths[0], kNdiLibraryName);
}

TEST_F(Ndi, LoaderFailures) {
  EXPECT_STREQ(standin::load("", "/nonexistent"), kNdiNotFound);
  EXPECT_STREQ(kNdiNotFound, "NDI runtime not found (Processing.NDI.Lib.x64.dll)");
  EXPECT_EQ(gLib, nullptr);

  EXPECT_STREQ(standin::load("", ZAL_STANDIN_INCOMPATIBLE_DIR), kNdiIncompatible);
  EXPECT_STREQ(kNdiIncompatible, "NDI runtime incompatible (NDIlib_v6_load missing)");
  EXPECT_EQ(gLib, nullptr);  // unloaded again
  EXPECT_EQ(gNDI, nullptr);

  standin::set_env("ZAL_STANDIN_LOAD", "null");
  EXPECT_STREQ(standin::load(""), kNdiIncompatible);
  EXPECT_EQ(gLib, nullptr);
  standin::set_env("ZAL_STANDIN_LOAD", nullptr);

  standin::set_env("ZAL_STANDIN_INIT", "fail");
  EXPECT_STREQ(standin::load(""), kNdiInitFailed);
  EXPECT_STREQ(kNdiInitFailed, "NDI initialization failed (unsupported CPU?)");
  EXPECT_NE(gLib, nullptr);  // nothing is unloaded on this failure
}

TEST_F(Ndi, LoadsOnceAndReportsTheVersion) {
  EXPECT_EQ(zal_ndi_version(), nullptr);
  ASSERT_EQ(standin::load(""), nullptr);
  void* lib = gLib;
  EXPECT_EQ(zal_ndi_load(), nullptr);  // already loaded: returns at once
  EXPECT_EQ(gLib, lib);
  ASSERT_NE(zal_ndi_version(), nullptr);
  EXPECT_NE(std::string(zal_ndi_version()), "");
}

TEST_F(Ndi, NothingHappensWithoutARuntimeOrSender) {
  zal_ndi_unload_for_tests();
  EXPECT_EQ(zal_ndi_sender_create("x"), nullptr);
  EXPECT_EQ(zal_ndi_sender_connections(nullptr), 0);
  float block[4] = {};
  uint8_t frame[6] = {};
  zal_ndi_send_audio_interleaved(nullptr, block, 2, 2, 48000);
  zal_ndi_send_video_nv12(nullptr, frame, 2, 2, 30, 1);
  zal_ndi_sender_destroy(nullptr);
}

TEST_F(Ndi, SenderRecordsAsTheRuntimeSeesThem) {
  std::string capture = standin::temp_dir("sender");
  standin::set_env("ZAL_STANDIN_CONNECTIONS", "3");
  ASSERT_EQ(standin::load(capture), nullptr);
  zal_ndi_sender* sender = zal_ndi_sender_create("Cam \"A\"");
  ASSERT_NE(sender, nullptr);
  EXPECT_EQ(zal_ndi_sender_connections(sender), 3);
  std::vector<uint8_t> frame(64 * 48 * 3 / 2);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
  zal_ndi_send_video_nv12(sender, frame.data(), 64, 48, 25, 1);
  zal_ndi_sender_destroy(sender);

  std::vector<std::string> create = standin::calls(capture, "send_create");
  ASSERT_EQ(create.size(), 1u);
  EXPECT_EQ(field(create[0], "p_ndi_name_hex"), "\"43616d20224122\"");
  EXPECT_EQ(field(create[0], "p_groups"), "null");
  EXPECT_EQ(field(create[0], "clock_video"), "false");
  EXPECT_EQ(field(create[0], "clock_audio"), "false");
  std::vector<std::string> connections = standin::calls(capture, "connections");
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(field(connections[0], "timeout_ms"), "0");

  std::vector<std::string> video = standin::calls(capture, "video");
  ASSERT_EQ(video.size(), 1u);
  EXPECT_EQ(field(video[0], "xres"), "64");
  EXPECT_EQ(field(video[0], "yres"), "48");
  EXPECT_EQ(field(video[0], "FourCC"), "842094158");  // "NV12"
  EXPECT_EQ(field(video[0], "frame_rate_N"), "25");
  EXPECT_EQ(field(video[0], "frame_rate_D"), "1");
  EXPECT_EQ(std::stof(field(video[0], "picture_aspect_ratio")), 64.0f / 48.0f);
  EXPECT_EQ(field(video[0], "frame_format_type"), "1");
  EXPECT_EQ(field(video[0], "timecode"), "9223372036854775807");
  EXPECT_EQ(field(video[0], "line_stride_in_bytes"), "64");
  EXPECT_EQ(field(video[0], "p_metadata"), "null");
  EXPECT_EQ(field(video[0], "timestamp"), "0");
  // The caller's buffer, not a copy.
  EXPECT_EQ(strtoull(field(video[0], "p_data").c_str() + 1, nullptr, 16),
            reinterpret_cast<uintptr_t>(frame.data()));
  EXPECT_EQ(standin::file(capture + "/video.nv12"), std::string(frame.begin(), frame.end()));
  EXPECT_EQ(standin::calls(capture, "send_destroy").size(), 1u);
}

TEST_F(Ndi, AudioIsDeinterleavedIntoOneReusedBuffer) {
  std::string capture = standin::temp_dir("audio");
  ASSERT_EQ(standin::load(capture), nullptr);
  zal_ndi_sender* sender = zal_ndi_sender_create("audio");
  ASSERT_NE(sender, nullptr);
  std::vector<float> block(960);
  std::string expected;
  for (int b = 0; b < 3; ++b) {
    for (int s = 0; s < 480; ++s) {
      block[s * 2] = static_cast<float>(b * 1000 + s);
      block[s * 2 + 1] = -static_cast<float>(b * 1000 + s);
    }
    zal_ndi_send_audio_interleaved(sender, block.data(), 480, 2, 48000);
    std::vector<float> planar(960);
    for (int s = 0; s < 480; ++s) planar[s] = block[s * 2], planar[480 + s] = block[s * 2 + 1];
    expected.append(reinterpret_cast<const char*>(planar.data()), 960 * sizeof(float));
    if (b == 0) {
      EXPECT_EQ(sender->capacity, 960u);
    }
  }
  float* first = sender->planar;
  zal_ndi_send_audio_interleaved(sender, block.data(), 240, 2, 48000);  // smaller: no growth
  EXPECT_EQ(sender->planar, first);
  EXPECT_EQ(sender->capacity, 960u);
  zal_ndi_send_audio_interleaved(sender, block.data(), 0, 2, 48000);  // nothing sent
  zal_ndi_send_audio_interleaved(sender, block.data(), 480, 0, 48000);
  std::vector<std::string> audio = standin::calls(capture, "audio");
  ASSERT_EQ(audio.size(), 4u);
  EXPECT_EQ(field(audio[0], "sample_rate"), "48000");
  EXPECT_EQ(field(audio[0], "no_channels"), "2");
  EXPECT_EQ(field(audio[0], "no_samples"), "480");
  EXPECT_EQ(field(audio[0], "channel_stride_in_bytes"), "1920");
  EXPECT_EQ(field(audio[0], "timecode"), "9223372036854775807");
  EXPECT_EQ(field(audio[0], "p_metadata"), "null");
  EXPECT_EQ(field(audio[0], "timestamp"), "0");
  for (const std::string& line : audio) EXPECT_EQ(field(line, "p_data"), field(audio[0], "p_data"));
  EXPECT_EQ(field(audio[3], "no_samples"), "240");
  EXPECT_EQ(standin::file(capture + "/audio.f32").substr(0, expected.size()), expected);
  zal_ndi_sender_destroy(sender);
}

TEST_F(Ndi, RefusedSenderIsNull) {
  standin::set_env("ZAL_STANDIN_CREATE", "fail");
  ASSERT_EQ(standin::load(""), nullptr);
  EXPECT_EQ(zal_ndi_sender_create("x"), nullptr);
}

}  // namespace
