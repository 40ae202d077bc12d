#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

void hold_until_closed(const std::vector<Socket>& sockets, uint64_t ms) {
  std::vector<pollfd> entries;
  for (Socket s : sockets) entries.push_back({static_cast<int>(s), POLLIN, 0});
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  size_t open = entries.size();
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    if (poll(entries.data(), entries.size(), static_cast<int>(left.count())) < 0 && errno != EINTR)
      return;
    for (pollfd& e : entries) {
      char sink[4096];
      if (e.fd < 0 || e.revents == 0 || recv(e.fd, sink, sizeof sink, 0) > 0) continue;
      e.fd = -1;  // the peer closed: poll skips it from now on
      --open;
    }
  }
}
