#include "events.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::string escape(const std::string& source, size_t capacity = 512) {
  std::vector<char> out(capacity, 'X');
  json_escape(source.c_str(), out.data(), capacity);
  return std::string(out.data());
}

TEST(JsonEscape, QuotesBackslashesAndControls) {
  EXPECT_EQ(escape("a\"b\\c"), "a\\\"b\\\\c");
  EXPECT_EQ(escape("line\nfeed\ttab"), "line\\u000afeed\\u0009tab");
  EXPECT_EQ(escape("\x01\x1f"), "\\u0001\\u001f");
  EXPECT_EQ(escape(""), "");
  // Bytes from 0x7f up pass through unchanged, one by one.
  EXPECT_EQ(escape("\x7f\xc3\xa9\xff"), "\x7f\xc3\xa9\xff");
}

TEST(JsonEscape, CutNeverSplitsAnEscapeAndAlwaysTerminates) {
  EXPECT_EQ(escape(std::string(600, 'a'), 512), std::string(505, 'a'));
  EXPECT_EQ(escape(std::string(600, 'a'), 256).size(), 249u);
  // Nor a UTF-8 character: two-byte (e-acute) and four-byte (emoji) names stay valid text.
  std::string acute, emoji;
  for (int i = 0; i < 300; ++i) acute += "\xc3\xa9", emoji += "\xf0\x9f\x8e\xa5";
  EXPECT_EQ(escape(acute, 512), acute.substr(0, 504));
  EXPECT_EQ(escape(emoji, 512), emoji.substr(0, 504));
  EXPECT_EQ(escape("ab" + emoji, 512), "ab" + emoji.substr(0, 500));
  for (size_t capacity = 7; capacity < 40; ++capacity) {
    for (const char* unit : {"\"", "\n", "a"}) {
      std::string source;
      for (int i = 0; i < 40; ++i) source += unit;
      std::string out = escape(source, capacity);
      ASSERT_LT(out.size(), capacity);
      // Only whole escapes: the output is a run of whole encoded units.
      std::string encoded = escape(unit, 512);
      ASSERT_EQ(out.size() % encoded.size(), 0u) << capacity << " " << out;
      for (size_t i = 0; i < out.size(); i += encoded.size()) {
        ASSERT_EQ(out.compare(i, encoded.size(), encoded), 0);
      }
    }
  }
}

TEST(Emit, FormatsOneLinePerCallAndNeverMixesThreads) {
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  const int kThreads = 4, kLines = 200;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) emit(EVENT_EXIT, t * 1000 + i, json_bool(i % 2 == 0));
    });
  }
  for (auto& thread : threads) thread.join();
  std::string out = testing::internal::GetCapturedStdout();
  std::vector<int> next(kThreads, 0);
  size_t start = 0, lines = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    int code = 0;
    char requested[8] = {};
    ASSERT_EQ(sscanf(out.c_str() + start, "{\"event\":\"exit\",\"ffmpeg\":%d,\"requested\":%5[a-z]}",
                     &code, requested),
              2);
    int t = code / 1000, i = code % 1000;
    EXPECT_EQ(i, next[t]++);  // each thread's lines in its own order
    EXPECT_STREQ(requested, i % 2 == 0 ? "true" : "false");
    start = end + 1;
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
}

TEST(Emit, CatalogueFormats) {
  testing::internal::CaptureStdout();
  emit(EVENT_STARTED, "Cam \\\"1\\\"", 1280, 720, json_bool(true), "6.1");
  emit(EVENT_STATUS, 3, 29.5, json_bool(false));
  emit(EVENT_ERROR_FFMPEG_CONNECT, -1);
  emit(EVENT_ERROR_FFMPEG_SPAWN, "/no/such");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "{\"event\":\"started\",\"name\":\"Cam \\\"1\\\"\",\"width\":1280,\"height\":720,"
            "\"audio\":true,\"ndi\":\"6.1\"}\n"
            "{\"event\":\"status\",\"connections\":3,\"fps\":29.5,\"audio\":false}\n"
            "{\"event\":\"error\",\"code\":\"ffmpeg_connect\",\"message\":\"ffmpeg did not deliver "
            "the program (exit -1)\"}\n"
            "{\"event\":\"error\",\"code\":\"ffmpeg_spawn\",\"message\":\"cannot start /no/such\"}\n");
}

}  // namespace
