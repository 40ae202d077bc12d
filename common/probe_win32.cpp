#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <mutex>

#include "probe.h"

namespace {

int64_t steady_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool winsock_started() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

// One non-blocking connect, waited for until the deadline.
bool connects(const addrinfo& address, int64_t deadline) {
  SOCKET s = WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0,
                        WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return false;
  u_long non_blocking = 1;
  bool accepted = false;
  if (ioctlsocket(s, FIONBIO, &non_blocking) == 0) {
    accepted = connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0;
    if (!accepted && WSAGetLastError() == WSAEWOULDBLOCK) {
      int64_t left = deadline - steady_ms();
      if (left < 0) left = 0;
      timeval wait = {static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      // A refused connect shows in the failed set, an accepted one in the writable.
      accepted = select(0, nullptr, &writable, &failed, &wait) > 0 && FD_ISSET(s, &writable);
    }
  }
  closesocket(s);
  return accepted;
}

}  // namespace

bool port_accepts(const std::string& host, uint16_t port, int64_t bound_ms) {
  int64_t deadline = steady_ms() + bound_ms;
  if (!winsock_started()) return false;
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
