#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "net.h"
#include "proc.h"
#include "records.h"

namespace {

std::vector<int> open_descriptors() {
  std::vector<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return fds;
  const int own = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    int fd = std::atoi(entry->d_name);
    if (fd != own) fds.push_back(fd);
  }
  closedir(dir);
  std::sort(fds.begin(), fds.end());
  return fds;
}

std::string link_target(int fd) {
  char buf[4096];
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

}  // namespace

long long process_id() {
  return static_cast<long long>(getpid());
}

bool stdout_is_open() {
  return fcntl(1, F_GETFD) != -1;
}

// SIGPIPE is ignored since start-up, so a reader that went away is only an error here.
bool write_stdout(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(1, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string descriptor_report_json() {
  const std::vector<int> fds = open_descriptors();
  std::string list, targets;
  for (int fd : fds) {
    list += (list.empty() ? "" : ",") + std::to_string(fd);
    if (fd > 2) continue;
    targets += targets.empty() ? "" : ",";
    targets += "\"" + std::to_string(fd) + "\":" + json_string(link_target(fd));
  }
  return "{\"fds\":[" + list + "],\"targets\":{" + targets + "}}";
}

void die_by_signal(int sig) {
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);  // the signal was not fatal
}

bool leave_holder(const std::vector<intptr_t>& sockets, uint64_t ms) {
  pid_t pid = fork();
  if (pid != 0) return pid > 0;
  // Only the calling thread lives on here, and it only waits.
  hold_until_closed(sockets, ms);
  _exit(0);
}

void run_holder(const std::vector<std::string>&) {
  _exit(1);  // POSIX holders are forks
}
