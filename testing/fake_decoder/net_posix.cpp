#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net.h"

namespace {

int connect_one(const addrinfo* a, std::string& error) {
  int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
  if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
  error = std::strerror(errno);
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

bool net_startup() {
  return signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

Socket tcp_connect(const Endpoint& to, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(to.port);
  int rc = getaddrinfo(to.host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    error = gai_strerror(rc);
    return kNoSocket;
  }
  int fd = -1;
  for (addrinfo* a = found; a && fd < 0; a = a->ai_next) fd = connect_one(a, error);
  freeaddrinfo(found);
  return fd < 0 ? kNoSocket : fd;
}

bool send_all(Socket s, const uint8_t* data, size_t size, std::string& error) {
  while (size > 0) {
    ssize_t n = send(static_cast<int>(s), data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::strerror(errno);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void set_no_delay(Socket s) {
  int on = 1;
  setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void close_socket(Socket s) {
  close(static_cast<int>(s));
}
