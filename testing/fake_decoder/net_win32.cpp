#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>

#include "net.h"

namespace {

std::string last_error(const char* what) {
  return std::string(what) + " failed, WSA error " + std::to_string(WSAGetLastError());
}

SOCKET connect_one(const addrinfo* a, std::string& error) {
  SOCKET s = WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    error = last_error("socket");
    return s;
  }
  if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) return s;
  error = last_error("connect");
  closesocket(s);
  return INVALID_SOCKET;
}

}  // namespace

bool net_startup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

Socket tcp_connect(const Endpoint& to, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(to.port);
  if (getaddrinfo(to.host.c_str(), port.c_str(), &hints, &found) != 0) {
    error = last_error("getaddrinfo");
    return kNoSocket;
  }
  SOCKET s = INVALID_SOCKET;
  for (addrinfo* a = found; a && s == INVALID_SOCKET; a = a->ai_next) s = connect_one(a, error);
  freeaddrinfo(found);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

bool send_all(Socket s, const uint8_t* data, size_t size, std::string& error) {
  while (size > 0) {
    const int piece = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    int n = send(static_cast<SOCKET>(s), reinterpret_cast<const char*>(data), piece, 0);
    if (n <= 0) {
      error = last_error("send");
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void set_no_delay(Socket s) {
  BOOL on = TRUE;
  setsockopt(static_cast<SOCKET>(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
             sizeof on);
}

void close_socket(Socket s) {
  closesocket(static_cast<SOCKET>(s));
}

void hold_until_closed(const std::vector<Socket>& sockets, uint64_t ms) {
  std::vector<SOCKET> open;
  for (Socket s : sockets) open.push_back(static_cast<SOCKET>(s));
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!open.empty()) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    fd_set readable;
    FD_ZERO(&readable);
    for (SOCKET s : open) FD_SET(s, &readable);
    timeval timeout = {static_cast<long>(left.count() / 1000000),
                       static_cast<long>(left.count() % 1000000)};
    if (select(0, &readable, nullptr, nullptr, &timeout) < 0) return;
    for (size_t i = open.size(); i-- > 0;) {
      char sink[4096];
      if (!FD_ISSET(open[i], &readable) || recv(open[i], sink, sizeof sink, 0) > 0) continue;
      open.erase(open.begin() + static_cast<long>(i));  // the peer closed
    }
  }
}
