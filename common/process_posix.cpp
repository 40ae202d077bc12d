#include <pthread.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "process.h"
#include "process_posix_testing.h"

struct ChildProcess {
  pid_t pid = -1;
  int pidfd = -1;  // names exactly this process, so a recycled pid is never hit
  // Without a pidfd the pid is ours only until it is reaped: the kill and the
  // reap take this lock, and no kill is sent once `reaped` is set.
  std::mutex reap_lock;
  bool reaped = false;
  bool kill_sent = false;
};

namespace {

// Marks every open descriptor from 3 up close-on-exec: close_range when the
// kernel has it, else the descriptors listed in `fd_dir` (an open
// /proc/self/fd), else every number below a bound. Async-signal-safe.
void mark_inherited_cloexec(int fd_dir);

int send_kill(pid_t pid, int signal_number) { return kill(pid, signal_number); }

// How child_kill signals a child without a pidfd; tests put a checker here.
int (*gSendSignal)(pid_t, int) = send_kill;
bool gUsePidfd = true;

bool is_executable_file(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The three descriptors the child gets as 0, 1 and 2, and the ones we made for
// it (closed here once it has them) or keep (our pipe ends).
struct ChildStdio {
  int fd[3] = {-1, -1, -1};
  int theirs[4] = {-1, -1, -1, -1};
  int ours_in = -1;   // our end of its standard input
  int ours_out = -1;  // our end of its standard output
  int ours_err = -1;  // our end of its standard error
};

// Everything the child needs, prepared before fork: after it only async-signal-safe calls.
struct ExecPlan {
  const char* program;
  char* const* argv;
  const int* stdio;
  int report_fd;
  int fd_dir;  // /proc/self/fd, or -1
  pid_t parent;
  bool own_group;
};

void close_if_open(int fd) {
  if (fd >= 0) close(fd);
}

void close_theirs(ChildStdio* stdio) {
  for (int& fd : stdio->theirs) {
    close_if_open(fd);
    fd = -1;
  }
}

void close_all(ChildStdio* stdio) {
  close_theirs(stdio);
  close_if_open(stdio->ours_in);
  close_if_open(stdio->ours_out);
  close_if_open(stdio->ours_err);
}

// Every descriptor made here is close-on-exec from birth; the child's ends are
// put on 0-2 with dup2, which clears the flag only there.
bool make_stdio(const ChildOptions& options, ChildStdio* stdio) {
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return false;
  stdio->theirs[0] = null_fd;
  stdio->fd[0] = stdio->fd[1] = stdio->fd[2] = null_fd;
  // Ours, if we have one: started without it, the child gets the null device.
  if (options.inherit_stderr && fcntl(2, F_GETFD) >= 0) stdio->fd[2] = 2;
  if (options.stderr_pipe) {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return false;
    stdio->fd[2] = stdio->theirs[3] = err[1];
    stdio->ours_err = err[0];
  }
  if (options.pipes) {
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    stdio->fd[0] = stdio->theirs[1] = in[0];
    stdio->ours_in = in[1];
  }
  if (!options.pipes && !options.stdout_pipe) return true;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  stdio->fd[1] = stdio->theirs[2] = out[1];
  stdio->ours_out = out[0];
  return true;
}

// Puts the child's three descriptors on 0, 1 and 2. Each is first lifted
// above 2, so none is overwritten before it is used, and dup2 never meets
// itself (which would leave close-on-exec set on a standard stream). False
// when one cannot be lifted: the child would keep one of our streams.
bool install_stdio(const int* fds) {
  int lifted[3];
  for (int i = 0; i < 3; ++i) {
    lifted[i] = fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
    if (lifted[i] < 0) return false;
  }
  for (int i = 0; i < 3; ++i) dup2(lifted[i], i);
  return true;
}

// Default dispositions for every signal; the mask is emptied after.
void reset_signals() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    sigaction(signal_number, &action, nullptr);  // SIGKILL, SIGSTOP: refused, harmless
  }
  sigset_t empty;
  sigemptyset(&empty);
  sigprocmask(SIG_SETMASK, &empty, nullptr);
}

// Runs in the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(const ExecPlan& plan) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The parent may have died before the request above took effect.
  if (getppid() != plan.parent) _exit(127);
  if (plan.own_group) setpgid(0, 0);
  if (install_stdio(plan.stdio)) {
    mark_inherited_cloexec(plan.fd_dir);
    reset_signals();
    execv(plan.program, plan.argv);
  }
  int error = errno;
  ssize_t ignored = write(plan.report_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

// End of file means the exec worked (0); an int is the errno of a failed exec.
int exec_error(int report_fd) {
  int error = 0;
  ssize_t n;
  do {
    n = read(report_fd, &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return 0;
  return n == sizeof error && error != 0 ? error : EIO;
}

// Shortages that pass; anything else will fail the same way next time.
StartFailure failure_of(int error) {
  switch (error) {
    case EAGAIN:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ETXTBSY:
      return StartFailure::kPassing;
    default:
      return StartFailure::kCannotRun;
  }
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

// A parent that ignores SIGCHLD would have its children reaped behind our
// back, and their exit codes lost.
void take_back_sigchld() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &action, nullptr);
}

// Forks with every signal blocked, so no handler of ours runs in the child
// before its dispositions are reset.
pid_t fork_quietly(const ExecPlan& plan) {
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  pid_t pid = fork();
  if (pid == 0) exec_child(plan);
  int error = errno;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  errno = error;
  return pid;
}

}  // namespace

std::string find_program(const std::string& name, const char* path) {
  if (name.empty() || name.find('/') != std::string::npos) return name;
  std::string dirs = path != nullptr ? path : "/bin:/usr/bin";
  size_t start = 0;
  for (;;) {
    size_t end = dirs.find(':', start);
    std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
    // An empty element is the working directory, as execvp has it.
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (is_executable_file(candidate)) return candidate;
    if (end == std::string::npos) return std::string();
    start = end + 1;
  }
}

// 64-bit directory entries as the kernel lays them out; glibc 2.36 has no wrapper.
struct LinuxDirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

int parse_fd_name(const char* name) {
  if (*name < '0' || *name > '9') return -1;
  int fd = 0;
  for (; *name >= '0' && *name <= '9'; ++name) {
    if (fd > (INT32_MAX - 9) / 10) return -1;
    fd = fd * 10 + (*name - '0');
  }
  return *name == '\0' ? fd : -1;
}

// Walks the open descriptors listed in fd_dir. It was opened before fork, so it
// lists the parent's table, which the child's copies but for descriptors other
// threads open or close meanwhile: ours are all made close-on-exec, so only
// those are ever missed, and they are already marked.
bool mark_listed_cloexec(int fd_dir) {
  if (fd_dir < 0 || lseek(fd_dir, 0, SEEK_SET) != 0) return false;
  alignas(8) char buffer[4096];
  for (;;) {
    long n = syscall(SYS_getdents64, fd_dir, buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) return true;
    for (long at = 0; at < n;) {
      const LinuxDirent64* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
      int fd = parse_fd_name(entry->d_name);
      if (fd > 2) fcntl(fd, F_SETFD, FD_CLOEXEC);
      at += entry->d_reclen;
    }
  }
}

namespace {

constexpr int kCloexecLoopLimit = 65536;

void mark_inherited_cloexec(int fd_dir) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3, ~0U, 4 /* CLOSE_RANGE_CLOEXEC */) == 0) return;
#endif
  if (mark_listed_cloexec(fd_dir)) return;
  // No listing either: up to a bound that stays quick whatever the limit says.
  for (int fd = 3; fd < kCloexecLoopLimit; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

Child child_start(const std::vector<std::string>& args, const ChildOptions& options) {
  Child child;
  child.failure = StartFailure::kCannotRun;
  std::string program = find_program(args.empty() ? std::string() : args[0], getenv("PATH"));
  if (program.empty()) return child;
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  take_back_sigchld();
  ChildStdio stdio;
  int report[2] = {-1, -1};
  if (!make_stdio(options, &stdio) || pipe2(report, O_CLOEXEC) != 0) {
    child.failure = failure_of(errno);
    close_all(&stdio);
    return child;
  }
  int fd_dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ExecPlan plan{program.c_str(), argv.data(), stdio.fd, report[1], fd_dir, getpid(), options.own_group};
  pid_t pid = fork_quietly(plan);
  int error = pid > 0 ? 0 : errno;
  close(report[1]);
  close_if_open(fd_dir);
  close_theirs(&stdio);
  if (pid > 0) error = exec_error(report[0]);
  close(report[0]);
  if (error != 0) {
    child.failure = failure_of(error);
    if (pid > 0) reap(pid);
    close_all(&stdio);
    return child;
  }
  child.failure = StartFailure::kNone;
  child.process = new ChildProcess;
  child.process->pid = pid;
  child.process->pidfd = gUsePidfd ? open_pidfd(pid) : -1;
  child.input = stdio.ours_in < 0 ? kNoPipe : static_cast<zal_pipe>(stdio.ours_in);
  child.output = stdio.ours_out < 0 ? kNoPipe : static_cast<zal_pipe>(stdio.ours_out);
  child.errors = stdio.ours_err < 0 ? kNoPipe : static_cast<zal_pipe>(stdio.ours_err);
  return child;
}

// Waits for the end without reaping (WNOWAIT): until the reap below, the pid
// stays a zombie of ours, so a kill racing this wait can hit nothing else.
ChildEnd child_wait(ChildProcess* child) {
  ChildEnd end;
  siginfo_t info = {};
  int waited;
  do {
    waited = waitid(P_PID, static_cast<id_t>(child->pid), &info, WEXITED | WNOWAIT);
  } while (waited < 0 && errno == EINTR);
  std::lock_guard<std::mutex> lock(child->reap_lock);
  child->reaped = true;  // also when the wait failed: the pid is no longer ours
  if (waited < 0) return end;
  reap(child->pid);
  if (info.si_code == CLD_EXITED) end.code = info.si_status;
  if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) end.signal = info.si_status;
  end.killed = end.signal == SIGKILL && child->kill_sent;
  return end;
}

intptr_t child_waitable(const ChildProcess* child) {
  return child->pidfd;
}

bool child_ended(ChildProcess* child) {
  siginfo_t info;
  info.si_pid = 0;
  // WNOWAIT leaves it a zombie, so its end is still there for child_wait.
  while (waitid(P_PID, static_cast<id_t>(child->pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
    if (errno != EINTR) return true;  // not ours to wait for any more: it cannot connect
  }
  return info.si_pid != 0;
}

void child_kill(ChildProcess* child) {
  std::lock_guard<std::mutex> lock(child->reap_lock);
  if (child->reaped) return;
  child->kill_sent = true;
#ifdef SYS_pidfd_send_signal
  if (child->pidfd >= 0) {
    syscall(SYS_pidfd_send_signal, child->pidfd, SIGKILL, nullptr, 0);
    return;
  }
#endif
  gSendSignal(child->pid, SIGKILL);
}

void process_signal_without_pidfd_for_tests(int (*send)(pid_t, int)) {
  gUsePidfd = send == nullptr;
  gSendSignal = send != nullptr ? send : send_kill;
}

void child_free(ChildProcess* child) {
  if (child == nullptr) return;
  close_if_open(child->pidfd);
  delete child;
}

long pipe_read(zal_pipe pipe, char* buffer, size_t capacity) {
  ssize_t n;
  do {
    n = read(static_cast<int>(pipe), buffer, capacity);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

void pipe_close(zal_pipe pipe) {
  if (pipe != kNoPipe) close(static_cast<int>(pipe));
}
