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

// Waits for the listener's event or the end of `until`, whichever comes first; a
// connection waiting is taken first.
bool connection_waiting(WSAEVENT event, HANDLE until, int timeout_ms) {
  HANDLE handles[2] = {event, until};
  DWORD count = until != reinterpret_cast<HANDLE>(kNoWaitable) ? 2 : 1;
  DWORD woke = WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(timeout_ms));
  if (woke == WAIT_OBJECT_0 + 1) woke = WaitForSingleObject(event, kLastLookMs);
  return woke == WAIT_OBJECT_0;
}

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

zal_socket accept_timeout(zal_socket listener, int timeout_ms, zal_waitable until) {
  SOCKET s = native(listener);
  WSAEVENT event = WSACreateEvent();
  if (event == WSA_INVALID_EVENT) return kNoSocket;
  bool waiting = WSAEventSelect(s, event, FD_ACCEPT) == 0 &&
                 connection_waiting(event, reinterpret_cast<HANDLE>(until), timeout_ms);
  // The accepted socket takes the listener's selection and mode: the selection is undone
  // before the accept, the mode after it on both (a selection forbids changing it), so
  // the pumps get a plain blocking socket.
  WSAEventSelect(s, nullptr, 0);
  WSACloseEvent(event);
  SOCKET accepted = waiting ? accept(s, nullptr, nullptr) : INVALID_SOCKET;
  u_long blocking = 0;
  ioctlsocket(s, FIONBIO, &blocking);
  if (accepted != INVALID_SOCKET) ioctlsocket(accepted, FIONBIO, &blocking);
  return wrap(accepted);
}

int32_t sock_recv(zal_socket s, void* buffer, int32_t length) {
  // MSG_WAITALL: one wake-up per frame instead of one per arrival of data.
  return recv(native(s), static_cast<char*>(buffer), length, MSG_WAITALL);
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
