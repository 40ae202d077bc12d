#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "log_file.h"

namespace {

namespace fs = std::filesystem;

// Outside systemd nothing else keeps the log from a planted link or FIFO,
// or from other users: the open does.
TEST(LogFilePosix, TakesNeitherALinkNorAFifoAndIsKeptFromOthers) {
  int seed = ::testing::UnitTest::GetInstance()->random_seed();
  fs::path dir = fs::temp_directory_path() / ("zal-log-posix-test-" + std::to_string(seed));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::path elsewhere = dir / "elsewhere";
  std::ofstream(elsewhere) << "kept\n";
  fs::create_symlink(elsewhere, dir / "planted.log");
  std::string error;
  LogFile planted((dir / "planted.log").string());
  EXPECT_FALSE(planted.open(&error));
  std::ifstream in(elsewhere);
  std::ostringstream text;
  text << in.rdbuf();
  EXPECT_EQ("kept\n", text.str());
  // Nor does a FIFO in its place hold the caller up.
  ASSERT_EQ(0, mkfifo((dir / "fifo.log").c_str(), 0600));
  LogFile fifo((dir / "fifo.log").string());
  EXPECT_FALSE(fifo.open(&error));

  mode_t before = umask(0);
  LogFile fresh((dir / "fresh.log").string());
  bool opened = fresh.open(&error);
  umask(before);
  ASSERT_TRUE(opened) << error;
  struct stat info;
  ASSERT_EQ(0, stat((dir / "fresh.log").c_str(), &info));
  EXPECT_EQ(0640u, info.st_mode & 0777u);
  fs::remove_all(dir);
}

}  // namespace
