// Loopback sockets behind a tiny shim, so shared code never sees the platform's headers.
#pragma once

#include <cstdint>

// The platform's socket handle, a type of its own so that a pipe end
// (zal_pipe) cannot be passed for it; all bits set stands for none.
enum class zal_socket : intptr_t {};
constexpr zal_socket kNoSocket = static_cast<zal_socket>(-1);

// Starts the socket layer (Winsock 2.2 on Windows). The result is not needed.
void net_start();

// A listener on 127.0.0.1 with a port the system picks; writes the port on success.
zal_socket listen_local(int32_t* port);

// Something the system signals, that can end a wait beside a socket: a descriptor
// that turns readable (Linux), a handle that turns signalled (Windows).
using zal_waitable = intptr_t;
constexpr zal_waitable kNoWaitable = -1;

// How long a connection made just before `until` was signalled may take to show.
constexpr int kLastLookMs = 50;

// Waits for one connection, at most timeout_ms; -1 on time-out or error. Once `until`
// is signalled, only a connection already waiting (or showing within kLastLookMs) is
// taken. The connection is a plain blocking socket.
zal_socket accept_timeout(zal_socket listener, int timeout_ms = 30000,
                          zal_waitable until = kNoWaitable);

// Receives until length bytes are in, or fewer when the peer closes, a stop or a signal
// cuts it short: bytes received, 0 when the peer closed first, negative on error.
int32_t sock_recv(zal_socket s, void* buffer, int32_t length);

// Ends the connection so that a receive blocked on it in another thread returns. Where
// only closing does that (Windows), the socket is closed here and *s set to kNoSocket,
// so the sock_close(*s) that follows is a no-op. Nothing may open sockets meanwhile:
// the blocked thread still holds the old value.
void sock_stop(zal_socket* s);

void sock_close(zal_socket s);
