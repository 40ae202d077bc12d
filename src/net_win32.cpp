#include <winsock2.h>

#include "net.h"
#include "net_testing.h"

namespace {

sockaddr_in loopback(int32_t port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(0x7F000001);
  address.sin_port = htons(static_cast<u_short>(port));
  return address;
}

SOCKET native(zal_socket s) { return static_cast<SOCKET>(static_cast<intptr_t>(s)); }

zal_socket wrap(SOCKET s) { return s == INVALID_SOCKET ? kNoSocket : static_cast<zal_socket>(static_cast<intptr_t>(s)); }

}  // namespace

void net_start() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}

zal_socket listen_local(int32_t* port) {
  // Not inheritable, so the decoder never holds a listener.
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return kNoSocket;
  sockaddr_in address = loopback(0);
  int length = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 1) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(s);
    return kNoSocket;
  }
  *port = ntohs(address.sin_port);
  return wrap(s);
}

zal_socket accept_timeout(zal_socket listener, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(native(listener), &readable);
  timeval timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  if (select(0, &readable, nullptr, nullptr, &timeout) <= 0) return kNoSocket;
  return wrap(accept(native(listener), nullptr, nullptr));
}

int32_t sock_recv(zal_socket s, void* buffer, int32_t length) {
  return recv(native(s), static_cast<char*>(buffer), length, 0);
}

int32_t sock_send(zal_socket s, const void* buffer, int32_t length) {
  return send(native(s), static_cast<const char*>(buffer), length, 0);
}

zal_socket connect_local(int32_t port) {
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return kNoSocket;
  sockaddr_in address = loopback(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(s);
    return kNoSocket;
  }
  return wrap(s);
}

// A shutdown alone leaves a blocked recv waiting while the peer's end stays open (as a
// killed process's may under wine); closing cancels it.
void sock_stop(zal_socket* s) {
  if (*s == kNoSocket) return;
  shutdown(native(*s), SD_BOTH);
  closesocket(native(*s));
  *s = kNoSocket;
}

void sock_close(zal_socket s) {
  if (s != kNoSocket) closesocket(native(s));
}
