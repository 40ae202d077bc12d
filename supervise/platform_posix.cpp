#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <system_error>
#include <thread>

#include "platform.h"

namespace {

// A signal handler may only write: it wakes a thread that does the rest.
int gWakeWrite = -1;

void on_signal(int) {
  char byte = 1;
  int saved = errno;
  ssize_t ignored = write(gWakeWrite, &byte, 1);
  (void)ignored;
  errno = saved;
}

int64_t steady_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// One non-blocking connect, waited for until the deadline.
bool connects(const addrinfo& address, int64_t deadline) {
  int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                  address.ai_protocol);
  if (fd < 0) return false;
  bool accepted = connect(fd, address.ai_addr, address.ai_addrlen) == 0;
  if (!accepted && errno == EINPROGRESS) {
    pollfd watch = {fd, POLLOUT, 0};
    int n;
    do {
      int64_t left = deadline - steady_ms();
      n = left > 0 ? poll(&watch, 1, static_cast<int>(left)) : 0;
    } while (n < 0 && errno == EINTR);
    int error = -1;
    socklen_t size = sizeof error;
    accepted = n > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }
  close(fd);
  return accepted;
}

}  // namespace

bool port_accepts(const std::string& host, uint16_t port, int64_t bound_ms) {
  int64_t deadline = steady_ms() + bound_ms;
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool accepted = false;
  for (addrinfo* a = found; a != nullptr && !accepted && steady_ms() < deadline; a = a->ai_next) {
    accepted = connects(*a, deadline);
  }
  freeaddrinfo(found);
  return accepted;
}

bool watch_stop_requests(void (*on_stop)()) {
  int wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0) return false;
  gWakeWrite = wake[1];
  struct sigaction action = {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  int wake_read = wake[0];
  try {
    std::thread([wake_read, on_stop] {
      char byte;
      ssize_t n;
      do {
        n = read(wake_read, &byte, 1);
      } while (n < 0 && errno == EINTR);
      on_stop();
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

std::string program_beside_us() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  std::string path(self, static_cast<size_t>(n));
  path = path.substr(0, path.rfind('/') + 1) + program_name();
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
  return path;
}

const char* program_name() { return "zal-ndi-send"; }

void write_line(const std::string& line) {
  std::string whole = line + "\n";
  const char* p = whole.data();
  size_t left = whole.size();
  while (left > 0) {
    ssize_t n = write(1, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the reader has gone: the run carries on
    p += n;
    left -= static_cast<size_t>(n);
  }
}
