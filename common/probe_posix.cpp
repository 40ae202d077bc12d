#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "probe.h"

namespace {

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
