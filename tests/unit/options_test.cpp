#include "options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace {

struct Parsed {
  bool ok;
  Options opt;
};

Parsed parse(std::initializer_list<const char*> words, const char* ffmpeg_env = nullptr) {
  std::vector<char*> argv = {const_cast<char*>("zal-ndi-send")};
  for (const char* word : words) argv.push_back(const_cast<char*>(word));
  Parsed parsed = {false, kDefaultOptions};
  parsed.ok = parse_options(static_cast<int>(argv.size()), argv.data(), ffmpeg_env, &parsed.opt);
  return parsed;
}

TEST(Options, DefaultsWithOnlyAnInput) {
  Parsed p = parse({"--input", "rtsp://cam/1"});
  ASSERT_TRUE(p.ok);
  EXPECT_STREQ(p.opt.input, "rtsp://cam/1");
  EXPECT_STREQ(p.opt.name, "ZAL Program");
  EXPECT_STREQ(p.opt.ffmpeg, "ffmpeg");
  EXPECT_EQ(p.opt.audio, 1);
  EXPECT_EQ(p.opt.width, 1920);
  EXPECT_EQ(p.opt.height, 1080);
  EXPECT_EQ(p.opt.fps, 30);
}

TEST(Options, OrderOverwriteAndValuesTakenVerbatim) {
  Parsed p = parse({"--no-audio", "--input", "a", "--name", "--no-audio", "--input", "b", "--fps",
                    "25", "--width", "1280", "--height", "720", "--ffmpeg", "/opt/ff"});
  ASSERT_TRUE(p.ok);
  EXPECT_STREQ(p.opt.input, "b");
  EXPECT_STREQ(p.opt.name, "--no-audio");
  EXPECT_STREQ(p.opt.ffmpeg, "/opt/ff");
  EXPECT_EQ(p.opt.audio, 0);
  EXPECT_EQ(p.opt.width, 1280);
  EXPECT_EQ(p.opt.height, 720);
  EXPECT_EQ(p.opt.fps, 25);
  // "--name --no-audio" names the source and leaves audio on.
  EXPECT_EQ(parse({"--input", "a", "--name", "--no-audio"}).opt.audio, 1);
  EXPECT_STREQ(parse({"--input", ""}).opt.input, "");
}

TEST(Options, UsageErrors) {
  EXPECT_FALSE(parse({}).ok);
  EXPECT_FALSE(parse({"--name", "x"}).ok);               // no input
  EXPECT_FALSE(parse({"--input", "a", "--name"}).ok);    // value missing
  EXPECT_FALSE(parse({"--input", "a", "--Input", "b"}).ok);  // case matters
  EXPECT_FALSE(parse({"--input", "a", "stray"}).ok);
  EXPECT_FALSE(parse({"--input", "a", "--width", "1921"}).ok);  // odd
  EXPECT_FALSE(parse({"--input", "a", "--height", "7"}).ok);
  EXPECT_FALSE(parse({"--input", "a", "--width", "0"}).ok);
  EXPECT_FALSE(parse({"--input", "a", "--height", "-2"}).ok);
  EXPECT_FALSE(parse({"--input", "a", "--fps", "abc"}).ok);
  EXPECT_FALSE(parse({"--input", "a", "--fps", "0"}).ok);
}

TEST(Options, DecimalPrefixRule) {
  int32_t v = -1;
  EXPECT_TRUE(parse_decimal("1920x", &v));
  EXPECT_EQ(v, 1920);
  EXPECT_TRUE(parse_decimal(" \t+42 fps", &v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(parse_decimal("-8", &v));
  EXPECT_EQ(v, -8);
  EXPECT_TRUE(parse_decimal("abc", &v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(parse_decimal("2147483647", &v));
  EXPECT_EQ(v, INT32_MAX);
  EXPECT_TRUE(parse_decimal("-2147483648", &v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_TRUE(parse_decimal("000000000000000000030", &v));
  EXPECT_EQ(v, 30);
  Parsed p = parse({"--input", "a", "--width", "1920x", "--fps", " 60"});
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.opt.width, 1920);
  EXPECT_EQ(p.opt.fps, 60);
}

TEST(Options, OutOfRangeNumbersAreUsageErrors) {
  int32_t v = 7;
  EXPECT_FALSE(parse_decimal("2147483648", &v));
  EXPECT_FALSE(parse_decimal("-2147483649", &v));
  EXPECT_FALSE(parse_decimal("99999999999999999999999", &v));
  EXPECT_EQ(v, 7);
  EXPECT_FALSE(parse({"--input", "a", "--width", "4294967298"}).ok);  // would wrap to 2
  EXPECT_FALSE(parse({"--input", "a", "--fps", "4294967326"}).ok);
}

// Rates go to NDI as numerator/denominator: 29.97 must not become 29, nor 30000/1001 30000.
TEST(Options, FrameRateForms) {
  const struct {
    const char* text;
    int32_t numerator;
    int32_t denominator;
  } accepted[] = {{"30000/1001", 30000, 1001}, {"29.97", 30000, 1001}, {"29.970", 30000, 1001},
                  {"23.976", 24000, 1001},     {"59.94", 60000, 1001}, {"25.0", 25, 1},
                  {"50.00", 50, 1},            {"50/2", 50, 2},        {"30x", 30, 1},
                  {"30 /1001", 30, 1}};
  for (const auto& a : accepted) {
    Parsed p = parse({"--input", "a", "--fps", a.text});
    ASSERT_TRUE(p.ok) << a.text;
    EXPECT_EQ(p.opt.fps, a.numerator) << a.text;
    EXPECT_EQ(p.opt.fps_denominator, a.denominator) << a.text;
  }
  const char* const refused[] = {"0/1",   "1/0",   "30/",   "/1001",  "30/1001x",
                                 "30/-1", "25.9",  "29.98", "30.",    "29,97",
                                 "30.0x", "-29.97", "30000/4294967297", "2147483648/1",
                                 "4294967326.0"};
  for (const char* text : refused) EXPECT_FALSE(parse({"--input", "a", "--fps", text}).ok) << text;
  // A later --fps replaces both parts, as later options do; without one the rate is whole.
  Parsed later = parse({"--input", "a", "--fps", "30000/1001", "--fps", "0/1", "--fps", "25"});
  EXPECT_TRUE(later.ok);
  EXPECT_EQ(later.opt.fps_denominator, 1);
  EXPECT_EQ(parse({"--input", "a"}).opt.fps_denominator, 1);
}

TEST(Options, Groups) {
  EXPECT_EQ(parse({"--input", "a"}).opt.groups, nullptr);
  EXPECT_STREQ(parse({"--input", "a", "--groups", "Studio A,Foyer"}).opt.groups, "Studio A,Foyer");
  EXPECT_FALSE(parse({"--input", "a", "--groups", ""}).ok);
}

TEST(Options, FramesOf2GiBOrMoreAreRefused) {
  EXPECT_EQ(frame_bytes(1920, 1080), 3110400);
  EXPECT_EQ(frame_bytes(1280, 720), 1382400);
  // 37836 squared is just below 2^31 bytes a frame; 37838 squared just above.
  EXPECT_TRUE(parse({"--input", "a", "--width", "37836", "--height", "37836"}).ok);
  EXPECT_FALSE(parse({"--input", "a", "--width", "37838", "--height", "37838"}).ok);
  EXPECT_FALSE(parse({"--input", "a", "--width", "2147483646", "--height", "2"}).ok);
  // Sizes whose byte count would overflow 64 bits if tripled first.
  EXPECT_GT(frame_bytes(INT32_MAX, INT32_MAX), 0);
  EXPECT_FALSE(parse({"--input", "a", "--width", "2147483646", "--height", "2147483642"}).ok);
}

TEST(Options, DecoderProgramResolution) {
  EXPECT_STREQ(parse({"--input", "a"}, "/env/ff").opt.ffmpeg, "/env/ff");
  EXPECT_STREQ(parse({"--input", "a"}, "").opt.ffmpeg, "");  // set but empty still counts
  EXPECT_STREQ(parse({"--input", "a", "--ffmpeg", "mine"}, "/env/ff").opt.ffmpeg, "mine");
}

}  // namespace
