#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "clock.h"
#include "probe.h"

bool connects_by(const PeerAddress& address, int64_t deadline) {
  int fd = socket(address.family, address.socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.protocol);
  if (fd < 0) return false;
  sockaddr_storage raw = {};
  socklen_t size = static_cast<socklen_t>(std::min(address.bytes.size(), sizeof raw));
  memcpy(&raw, address.bytes.data(), size);
  bool accepted = connect(fd, reinterpret_cast<const sockaddr*>(&raw), size) == 0;
  if (!accepted && errno == EINPROGRESS) {
    pollfd watch = {fd, POLLOUT, 0};
    int n;
    do {
      int64_t left = deadline - steady_now_ms();
      n = left > 0 ? poll(&watch, 1, static_cast<int>(left)) : 0;
    } while (n < 0 && errno == EINTR);
    int error = -1;
    socklen_t error_size = sizeof error;
    accepted = n > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_size) == 0 && error == 0;
  }
  close(fd);
  return accepted;
}

bool look_up(const std::string& host, uint16_t port, std::vector<PeerAddress>* found) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return false;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    const char* raw = reinterpret_cast<const char*>(a->ai_addr);
    found->push_back({a->ai_family, a->ai_socktype, a->ai_protocol, std::string(raw, a->ai_addrlen)});
  }
  freeaddrinfo(list);
  return true;
}
