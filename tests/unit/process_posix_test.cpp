#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "decoder.h"
#include "piped_child.h"
#include "process.h"
#include "process_posix_testing.h"

namespace {

int32_t run_shell(const std::string& script) {
  EXPECT_TRUE(decoder_start({"sh", "-c", script}));  // found along PATH
  int32_t code = wait_child();
  decoder_output_end();
  return code;
}

TEST(ProcessPosix, MissingProgramFailsToStart) {
  EXPECT_FALSE(decoder_start({"/no/such/decoder", "-i", "x"}));
  EXPECT_FALSE(decoder_start({"no-such-decoder-on-path"}));
  EXPECT_FALSE(decoder_start({""}));
  EXPECT_FALSE(decoder_start({"/etc/hostname"}));  // not executable
}

// A bare name is looked for along PATH only; an empty element is the working directory.
TEST(ProcessPosix, BareNamesOnlyAlongPath) {
  char dir_template[] = "/tmp/zal-path-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  std::string dir = dir_template;
  std::string tool = dir + "/tool";
  int fd = open(tool.c_str(), O_WRONLY | O_CREAT, 0755);
  ASSERT_GE(fd, 0);
  close(fd);
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  EXPECT_EQ(find_program("tool", "/nonexistent"), "");
  EXPECT_EQ(find_program("tool", "/nonexistent::/usr/bin"), "./tool");
  EXPECT_EQ(find_program("tool", ""), "./tool");
  EXPECT_EQ(find_program("sh", "/nonexistent:/bin"), "/bin/sh");
  EXPECT_EQ(find_program("./tool", "/nonexistent"), "./tool");
  EXPECT_EQ(chdir(saved), 0);
  unlink(tool.c_str());
  rmdir(dir.c_str());
}

TEST(ProcessPosix, ExitStatusAndSignals) {
  EXPECT_EQ(run_shell("exit 3"), 3);
  EXPECT_EQ(run_shell("exit 0"), 0);
  EXPECT_EQ(run_shell("kill -TERM $$"), 128 + 15);
  EXPECT_EQ(run_shell("kill -KILL $$"), 128 + 9);  // not our kill
}

// Seen without reaping it (the fallback of the connect waits): its code is still there.
TEST(ProcessPosix, EndSeenWithoutReaping) {
  Child child = child_start({"sh", "-c", "exit 7"}, ChildOptions());
  ASSERT_NE(child.process, nullptr);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!child_ended(child.process) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(child_ended(child.process));
  EXPECT_EQ(child_wait(child.process).code, 7);
  child_free(child.process);
}

TEST(ProcessPosix, KilledByUsReportsZero) {
  ASSERT_TRUE(decoder_start({"sleep", "30"}));
  kill_child();
  EXPECT_EQ(wait_child(), 0);
  kill_child();  // after the end: harmless
  decoder_output_end();
}

std::atomic<int> gStrayKills{0};

// Sends only to a child not yet reaped (a zombie still holds its pid); counts the rest.
int kill_if_still_ours(pid_t pid, int signal_number) {
  siginfo_t info = {};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    gStrayKills.fetch_add(1);
    return -1;
  }
  return kill(pid, signal_number);
}

// Without a pidfd the pid is all we have: once reaped it may name another
// process, so no kill may follow the reap, also one racing the wait.
TEST(ProcessPosix, NoKillReachesAReapedChildWithoutPidfd) {
  process_signal_without_pidfd_for_tests(kill_if_still_ours);
  Child sleeper = child_start({"sleep", "30"}, ChildOptions());
  ASSERT_NE(sleeper.process, nullptr);
  child_kill(sleeper.process);
  EXPECT_TRUE(child_wait(sleeper.process).killed);
  child_kill(sleeper.process);  // after the reap
  child_free(sleeper.process);
  for (int i = 0; i < 40; ++i) {
    ChildProcess* child = child_start({"true"}, ChildOptions()).process;
    ASSERT_NE(child, nullptr);
    std::thread killer([child] { child_kill(child); });
    child_wait(child);
    killer.join();
    child_kill(child);
    child_free(child);
  }
  process_signal_without_pidfd_for_tests(nullptr);
  EXPECT_EQ(gStrayKills.load(), 0);
}

// A parent that ignores SIGCHLD, ignores or blocks other signals: the exit code
// survives and the child starts with default dispositions and an empty mask.
TEST(ProcessPosix, ParentSignalSettingsStayOutOfTheChild) {
  struct sigaction ignore = {}, saved_chld = {}, saved_int = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &saved_chld);
  sigaction(SIGINT, &ignore, &saved_int);
  sigset_t block, saved_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &block, &saved_mask);
  EXPECT_EQ(run_shell("exit 5"), 5);
  // Builtins only: while the shell forks a command it blocks every signal itself.
  EXPECT_EQ(run_shell("while read -r key value; do case $key in "
                      "SigBlk:) [ \"$value\" = 0000000000000000 ] || exit 20;; "
                      "SigIgn:) [ \"$value\" = 0000000000000000 ] || exit 21;; esac; "
                      "done </proc/$$/status"),
            0);
  pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  sigaction(SIGINT, &saved_int, nullptr);
  sigaction(SIGCHLD, &saved_chld, nullptr);
}

TEST(ProcessPosix, ChildSeesDevNullAndNoInheritedDescriptor) {
  int leaked = open("/dev/zero", O_RDONLY);  // inheritable on purpose
  ASSERT_GE(leaked, 3);
  std::string script = "[ -e /proc/$$/fd/" + std::to_string(leaked) +
                       " ] && exit 10; for fd in 0 2; do "
                       "[ \"$(readlink /proc/$$/fd/$fd)\" = /dev/null ] || exit 11; done; "
                       // The decoder's standard output: the pipe its timestamps come back on.
                       "case $(readlink /proc/$$/fd/1) in pipe:*) ;; *) exit 13;; esac; "
                       "set -- /proc/$$/fd/*; [ $# -le 4 ] || exit 12; echo noise; exit 0";
  EXPECT_EQ(run_shell(script), 0);
  close(leaked);
}

// Started with a standard stream closed, the null device lands on it: the
// child must still get it open.
TEST(ProcessPosix, ClosedStandardStreamStillReachesTheChild) {
  int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);
  int32_t code = run_shell("[ \"$(readlink /proc/$$/fd/0)\" = /dev/null ] || exit 30; exit 0");
  dup2(saved, 0);
  close(saved);
  EXPECT_EQ(code, 0);
}

// The sweep without close_range: the listed descriptors, however high.
TEST(ProcessPosix, ListingMarksOpenDescriptorsCloseOnExec) {
  int low = open("/dev/null", O_RDONLY);
  int high = fcntl(low, F_DUPFD, 900);
  ASSERT_GE(low, 3);
  ASSERT_GE(high, 900);
  int fd_dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_TRUE(mark_listed_cloexec(fd_dir));
  EXPECT_EQ(fcntl(low, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(fcntl(high, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(fcntl(0, F_GETFD) & FD_CLOEXEC, 0);  // the standard streams stay
  EXPECT_FALSE(mark_listed_cloexec(-1));
  close(fd_dir);
  close(high);
  close(low);
}

// Pipes both ways, in a group of its own; closing its input is its end of input.
TEST(ProcessPosix, PipedChildInOwnGroup) {
  ChildOptions options;
  options.pipes = options.own_group = true;
  Child child = child_start(
      {"sh", "-c", "read -r _ _ _ _ group _ </proc/$$/stat; echo $group; cat; echo done"}, options);
  ASSERT_NE(child.process, nullptr);
  PipedRun run = finish_piped(child);
  EXPECT_EQ(run.end.code, 0);
  EXPECT_NE(std::stol(run.output), static_cast<long>(getpgrp()));
  EXPECT_NE(run.output.find("done\n"), std::string::npos);
}

}  // namespace
