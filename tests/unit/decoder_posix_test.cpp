#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decoder.h"

namespace {

int32_t run_shell(const std::string& script) {
  EXPECT_TRUE(decoder_start({"sh", "-c", script}));  // found along PATH
  return wait_child();
}

TEST(DecoderPosix, MissingProgramFailsToStart) {
  EXPECT_FALSE(decoder_start({"/no/such/decoder", "-i", "x"}));
  EXPECT_FALSE(decoder_start({"no-such-decoder-on-path"}));
  EXPECT_FALSE(decoder_start({""}));
  EXPECT_FALSE(decoder_start({"/etc/hostname"}));  // not executable
}

TEST(DecoderPosix, ExitStatusAndSignals) {
  EXPECT_EQ(run_shell("exit 3"), 3);
  EXPECT_EQ(run_shell("exit 0"), 0);
  EXPECT_EQ(run_shell("kill -TERM $$"), 128 + 15);
  EXPECT_EQ(run_shell("kill -KILL $$"), 128 + 9);  // not our kill
}

TEST(DecoderPosix, KilledByUsReportsZero) {
  ASSERT_TRUE(decoder_start({"sleep", "30"}));
  kill_child();
  EXPECT_EQ(wait_child(), 0);
  kill_child();  // after the end: harmless
}

TEST(DecoderPosix, ChildSeesDevNullAndNoInheritedDescriptor) {
  int leaked = open("/dev/zero", O_RDONLY);  // inheritable on purpose
  ASSERT_GE(leaked, 3);
  std::string script = "[ -e /proc/$$/fd/" + std::to_string(leaked) +
                       " ] && exit 10; for fd in 0 1 2; do "
                       "[ \"$(readlink /proc/$$/fd/$fd)\" = /dev/null ] || exit 11; done; "
                       "set -- /proc/$$/fd/*; [ $# -le 4 ] || exit 12; echo noise; exit 0";
  EXPECT_EQ(run_shell(script), 0);
  close(leaked);
}

}  // namespace
