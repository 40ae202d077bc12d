#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "decoder.h"
#include "piped_child.h"
#include "process.h"

namespace {

std::vector<std::string> fake_args(const std::string& input) {
  return {ZAL_FAKE_DECODER, "-i", input, "-vf", "scale=2:2,format=nv12", "tcp://127.0.0.1:1"};
}

TEST(ProcessWin32, MissingProgramFailsToStart) {
  EXPECT_FALSE(decoder_start({"C:\\no\\such\\decoder.exe", "-i", "x"}));
}

TEST(ProcessWin32, ExitCodeAndOurKill) {
  ASSERT_TRUE(decoder_start(fake_args("not-fake")));  // cannot open its input: exit 1
  EXPECT_EQ(wait_child(), 1);
  ASSERT_TRUE(decoder_start(fake_args("fake:connect=none;hang=1")));
  kill_child();
  EXPECT_EQ(wait_child(), 0);
  decoder_output_end();
}

TEST(ProcessWin32, TooLongCommandLineIsAStartFailure) {
  EXPECT_FALSE(decoder_start(fake_args(std::string(kCommandLineLimit, 'a'))));
}

// What a piped child writes comes back to us.
TEST(ProcessWin32, PipedChild) {
  ChildOptions options;
  options.pipes = true;
  Child child = child_start(fake_args("fake:connect=none;out=started"), options);
  ASSERT_NE(child.process, nullptr);
  PipedRun run = finish_piped(child);
  EXPECT_EQ(run.end.code, 0);
  EXPECT_FALSE(run.end.killed);
  EXPECT_EQ(run.output.rfind("started\r\n", 0), 0u) << run.output;
}

// The platform's own parser must give every argument back unchanged.
TEST(ProcessWin32, QuotingRoundTripsThroughTheSystemParser) {
  std::vector<std::string> args = {"C:\\Program Files\\ffmpeg\\ffmpeg.exe", "",
                                   "rtsp://x\" -f \"null", "dir\\", "a\\\\\"b", "two words",
                                   "tab\there", "\\\\server\\share\\", "\"\"", "end\\\\"};
  std::string line;
  ASSERT_TRUE(join_command_line(args, &line));
  std::wstring wide(line.begin(), line.end());
  int count = 0;
  LPWSTR* parsed = CommandLineToArgvW(wide.c_str(), &count);
  ASSERT_NE(parsed, nullptr);
  ASSERT_EQ(count, static_cast<int>(args.size()));
  for (int i = 0; i < count; ++i) {
    std::wstring w(parsed[i]);
    EXPECT_EQ(std::string(w.begin(), w.end()), args[i]) << i;
  }
  LocalFree(parsed);
}

}  // namespace
