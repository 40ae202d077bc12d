#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "clock.h"
#include "probe.h"

namespace {

bool winsock_started() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

}  // namespace

bool look_up(const std::string& host, uint16_t port, std::vector<PeerAddress>* found) {
  if (!winsock_started()) return false;
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

bool connects_by(const PeerAddress& address, int64_t deadline) {
  SOCKET s = WSASocketW(address.family, address.socktype, address.protocol, nullptr, 0,
                        WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return false;
  sockaddr_storage raw = {};
  int size = static_cast<int>(std::min(address.bytes.size(), sizeof raw));
  memcpy(&raw, address.bytes.data(), size);
  u_long non_blocking = 1;
  bool accepted = false;
  if (ioctlsocket(s, FIONBIO, &non_blocking) == 0) {
    accepted = connect(s, reinterpret_cast<const sockaddr*>(&raw), size) == 0;
    if (!accepted && WSAGetLastError() == WSAEWOULDBLOCK) {
      int64_t left = deadline - steady_now_ms();
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
