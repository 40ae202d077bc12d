#include "log_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(LogFile, RotatesBySizeKeepingAFewAndAppendsAfterAReopen) {
  int seed = ::testing::UnitTest::GetInstance()->random_seed();
  fs::path dir = fs::temp_directory_path() / ("zal-log-test-" + std::to_string(seed));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string path = (dir / "lines.log").string();
  std::string error;
  {
    LogFile log(path, 10, 2);
    ASSERT_TRUE(log.open(&error)) << error;
    for (const char* line : {"1111\n", "2222\n", "3333\n", "4444\n", "5555\n"}) {
      ASSERT_TRUE(log.write(line, &error)) << error;
    }
  }
  EXPECT_EQ("5555\n", read(path));
  EXPECT_EQ("3333\n4444\n", read(path + ".1"));
  EXPECT_EQ("1111\n2222\n", read(path + ".2"));
  EXPECT_FALSE(fs::exists(path + ".3"));

  // Opened again, it counts what the log already holds; a line past the limit stays whole.
  {
    LogFile again(path, 10, 2);
    ASSERT_TRUE(again.open(&error)) << error;
    ASSERT_TRUE(again.write("6666\n", &error)) << error;
    ASSERT_TRUE(again.write("a line longer than ten\r\n", &error)) << error;
  }
  EXPECT_EQ("a line longer than ten\r\n", read(path));
  EXPECT_EQ("5555\n6666\n", read(path + ".1"));
  EXPECT_EQ("3333\n4444\n", read(path + ".2"));

  // A line a fault cut short is ended first, so the next stays whole.
  std::ofstream(path, std::ios::binary | std::ios::trunc) << "cut sh";
  {
    LogFile torn(path, 100, 2);
    ASSERT_TRUE(torn.open(&error)) << error;
    ASSERT_TRUE(torn.write("next\r\n", &error)) << error;
  }
  EXPECT_EQ("cut sh\r\nnext\r\n", read(path));

  LogFile nowhere((dir / "no" / "such.log").string());
  EXPECT_FALSE(nowhere.open(&error));
  EXPECT_FALSE(error.empty());
  fs::remove_all(dir);
}

}  // namespace
