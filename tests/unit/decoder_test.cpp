#include "decoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "command_line.h"
#include "options.h"

namespace {

Options settings(int32_t audio) {
  Options opt = kDefaultOptions;
  opt.input = "rtsp://10.0.0.5:554/stream 1";
  opt.ffmpeg = "ffmpeg";
  opt.audio = audio;
  opt.width = 1280;
  opt.height = 720;
  return opt;
}

TEST(DecoderArgs, VideoOnlyListEntryByEntry) {
  std::vector<std::string> expected = {
      "ffmpeg",   "-hide_banner", "-nostdin",         "-loglevel", "warning", "-rtsp_transport",
      "tcp",      "-flags",       "low_delay",        "-probesize", "2000000", "-analyzeduration",
      "3000000",  "-fpsprobesize", "0",               "-max_ts_probe", "0",
      "-i",       "rtsp://10.0.0.5:554/stream 1",
      "-map",     "0:v:0",        "-vf",              "scale=1280:720,format=nv12",
      "-fps_mode", "passthrough", "-threads",         "1",         "-f",
      "rawvideo",  "tcp://127.0.0.1:40001?tcp_nodelay=1"};
  EXPECT_EQ(decoder_args(settings(0), 40001, 0), expected);
}

TEST(DecoderArgs, AudioAddsElevenEntriesAndTimestamps) {
  std::vector<std::string> args = decoder_args(settings(1), 40001, 40002);
  ASSERT_EQ(args.size(), 41u);
  std::vector<std::string> tail(args.begin() + 30, args.end());
  // Each frame's timestamp goes to the decoder's standard output as it is handed over.
  std::vector<std::string> expected = {
      "-map", "0:a:0", "-af",
      "aresample=async=1,ametadata=mode=add:key=stream:value=audio,"
      "ametadata=mode=print:key=stream:direct=1:file='pipe\\:1'",
      "-ac", "2", "-ar", "48000", "-f", "f32le", "tcp://127.0.0.1:40002?tcp_nodelay=1"};
  EXPECT_EQ(tail, expected);
  EXPECT_EQ(args[22],
            "scale=1280:720,format=nv12,metadata=mode=add:key=stream:value=video,"
            "metadata=mode=print:key=stream:direct=1:file='pipe\\:1'");
  EXPECT_EQ(args[29], "tcp://127.0.0.1:40001?tcp_nodelay=1");
}

// Splits a command line the way the Windows C runtime does (program name first).
std::vector<std::string> parse_windows(const std::string& line) {
  std::vector<std::string> args;
  size_t i = 0;
  // The program name: up to the closing quote, no escapes.
  if (line[i] == '"') {
    size_t end = line.find('"', 1);
    args.push_back(line.substr(1, end - 1));
    i = end + 1;
  }
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg += '"';
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(backslashes, '\\');
        if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) arg += line[i++];
      }
    }
    args.push_back(arg);
  }
  return args;
}

TEST(CommandLine, PlainArgumentsKeepTheSimpleQuotedForm) {
  std::vector<std::string> args = {"C:\\ffmpeg\\bin\\ffmpeg.exe", "-i", "rtsp://a b/c", ""};
  std::string line;
  ASSERT_TRUE(join_command_line(args, &line));
  EXPECT_EQ(line, "\"C:\\ffmpeg\\bin\\ffmpeg.exe\" \"-i\" \"rtsp://a b/c\" \"\"");
}

TEST(CommandLine, QuotesCannotInjectOptions) {
  std::vector<std::string> args = {"ffmpeg", "-i", "rtsp://x\" -f \"null", "dir\\", "a\\\\\"b"};
  std::string line;
  ASSERT_TRUE(join_command_line(args, &line));
  EXPECT_EQ(line, "\"ffmpeg\" \"-i\" \"rtsp://x\\\" -f \\\"null\" \"dir\\\\\" \"a\\\\\\\\\\\"b\"");
  EXPECT_EQ(parse_windows(line), args);
}

TEST(CommandLine, ArbitraryArgumentsRoundTrip) {
  std::mt19937 random(7);
  const std::string alphabet = "ab \t\"\\\\\\";
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::string> args = {"C:\\x\\ffmpeg.exe"};
    int count = 1 + random() % 5;
    for (int a = 0; a < count; ++a) {
      std::string arg;
      int length = random() % 9;
      for (int c = 0; c < length; ++c) arg += alphabet[random() % alphabet.size()];
      args.push_back(arg);
    }
    std::string line;
    ASSERT_TRUE(join_command_line(args, &line));
    ASSERT_EQ(parse_windows(line), args) << line;
  }
}

TEST(CommandLine, TooLongIsRefusedNotCut) {
  std::string line;
  // "ffmpeg" quoted + space + quoted argument: 8 + 1 + 2 + n characters.
  std::vector<std::string> fits = {"ffmpeg", std::string(kCommandLineLimit - 12, 'a')};
  EXPECT_TRUE(join_command_line(fits, &line));
  EXPECT_EQ(line.size(), kCommandLineLimit - 1);
  std::vector<std::string> too_long = {"ffmpeg", std::string(kCommandLineLimit - 11, 'a')};
  EXPECT_FALSE(join_command_line(too_long, &line));
}

}  // namespace
