#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net.h"
#include "net_testing.h"

namespace {

sockaddr_in loopback(int32_t port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(0x7F000001);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// True when an entry is ready within timeout_ms.
bool poll_quietly(pollfd* entries, nfds_t count, int timeout_ms) {
  int ready;
  do {
    ready = poll(entries, count, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

int native(zal_socket s) { return static_cast<int>(s); }

zal_socket wrap(int fd) { return fd < 0 ? kNoSocket : static_cast<zal_socket>(fd); }

}  // namespace

void net_start() {}

zal_socket listen_local(int32_t* port) {
  // Close-on-exec from birth, so the decoder never inherits a listener.
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) return kNoSocket;
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 1) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(s);
    return kNoSocket;
  }
  *port = ntohs(address.sin_port);
  return wrap(s);
}

zal_socket accept_timeout(zal_socket listener, int timeout_ms, zal_waitable until) {
  // poll, not select: a descriptor above FD_SETSIZE must still work.
  pollfd entries[2] = {{native(listener), POLLIN, 0},
                       {static_cast<int>(until), POLLIN, 0}};
  if (!poll_quietly(entries, until != kNoWaitable ? 2 : 1, timeout_ms)) return kNoSocket;
  // Only the end woke us: a connection made just before it may still be on its way.
  if (entries[0].revents == 0 && !poll_quietly(entries, 1, kLastLookMs)) return kNoSocket;
  int s = accept4(native(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return wrap(s);
}

int32_t sock_recv(zal_socket s, void* buffer, int32_t length) {
  // One wake-up per frame, not one per segment: the decoder's writes go out one by one.
  // The low mark makes the socket readable once what is still wanted is there (the
  // kernel caps it at half the largest receive buffer), or at the end or a stop. A
  // blocking receive would not do: once it has taken part, it waits for the low mark
  // on top of that part.
  int fd = native(s);
  char* into = static_cast<char*>(buffer);
  int32_t got = 0;
  while (got < length) {
    int low = length - got;
    setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &low, sizeof low);
    pollfd readable = {fd, POLLIN, 0};
    if (poll(&readable, 1, -1) < 0 && errno != EINTR) return got > 0 ? got : -1;
    ssize_t n = recv(fd, into + got, static_cast<size_t>(length - got), MSG_DONTWAIT);
    if (n == 0) break;
    if (n > 0) {
      got += static_cast<int32_t>(n);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return got > 0 ? got : -1;
    }
  }
  return got;
}

int32_t sock_send(zal_socket s, const void* buffer, int32_t length) {
  ssize_t n;
  do {
    n = send(native(s), buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<int32_t>(n);
}

zal_socket connect_local(int32_t port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) return kNoSocket;
  sockaddr_in address = loopback(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(s);
    return kNoSocket;
  }
  return wrap(s);
}

void sock_stop(zal_socket* s) {
  if (*s != kNoSocket) shutdown(native(*s), SHUT_RDWR);
}

void sock_close(zal_socket s) {
  if (s != kNoSocket) close(native(s));
}
