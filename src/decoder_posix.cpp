#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "decoder.h"

namespace {

// The decoder: its process id and a descriptor that names exactly that process.
struct ChildProcess {
  pid_t pid = -1;
  int pidfd = -1;
};

ChildProcess gChild;
std::atomic<bool> gKilled{false};

bool is_executable_file(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Finds the program as execvp would: a name with a slash is taken as it is,
// otherwise the first executable file along PATH.
std::string resolve_program(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return name;
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/bin:/usr/bin";
  size_t start = 0;
  for (;;) {
    size_t end = dirs.find(':', start);
    std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (is_executable_file(candidate)) return candidate;
    if (end == std::string::npos) return name;
    start = end + 1;
  }
}

// Marks every descriptor from 3 up close-on-exec; our own are already.
void cloexec_inherited(int max_fd) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3, ~0U, 4 /* CLOSE_RANGE_CLOEXEC */) == 0) return;
#endif
  for (int fd = 3; fd < max_fd; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Runs in the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(const char* program, char* const* argv, int null_fd, int report_fd,
                             pid_t parent, int max_fd) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The parent may have died before the request above took effect.
  if (getppid() != parent) _exit(127);
  for (int fd = 0; fd < 3; ++fd) dup2(null_fd, fd);
  cloexec_inherited(max_fd);
  signal(SIGPIPE, SIG_DFL);
  execv(program, argv);
  int error = errno;
  ssize_t ignored = write(report_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

// End of file means the exec worked; an int is the errno of a failed exec.
bool exec_succeeded(int report_fd) {
  int error = 0;
  ssize_t n;
  do {
    n = read(report_fd, &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  return n == 0;
}

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

void reap(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool decoder_start(const std::vector<std::string>& args) {
  std::string program = resolve_program(args[0]);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  int report[2];
  if (null_fd < 0 || pipe2(report, O_CLOEXEC) != 0) {
    if (null_fd >= 0) close(null_fd);
    return false;
  }
  pid_t parent = getpid();
  int max_fd = static_cast<int>(sysconf(_SC_OPEN_MAX));
  pid_t pid = fork();
  if (pid == 0) exec_child(program.c_str(), argv.data(), null_fd, report[1], parent, max_fd);
  close(report[1]);
  close(null_fd);
  bool started = pid > 0 && exec_succeeded(report[0]);
  close(report[0]);
  if (!started) {
    if (pid > 0) reap(pid);
    return false;
  }
  gKilled.store(false);
  gChild.pid = pid;
  gChild.pidfd = open_pidfd(pid);
  return true;
}

int32_t wait_child() {
  if (gChild.pid <= 0) return 0;
  int status = 0;
  while (waitpid(gChild.pid, &status, 0) < 0) {
    if (errno != EINTR) return 0;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (!WIFSIGNALED(status)) return 0;
  int signal_number = WTERMSIG(status);
  if (signal_number == SIGKILL && gKilled.load()) return 0;
  return 128 + signal_number;
}

void kill_child() {
  if (gChild.pid <= 0) return;
  gKilled.store(true);
  // Through the process descriptor a recycled process id can never be hit.
#ifdef SYS_pidfd_send_signal
  if (gChild.pidfd >= 0) {
    syscall(SYS_pidfd_send_signal, gChild.pidfd, SIGKILL, nullptr, 0);
    return;
  }
#endif
  kill(gChild.pid, SIGKILL);
}
