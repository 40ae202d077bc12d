// The client side of the loopback sockets, for the unit tests that stand in
// for the decoder; the program never includes this.
#pragma once

#include <cstdint>

#include "net.h"

// One send: bytes sent, negative on error.
int32_t sock_send(zal_socket s, const void* buffer, int32_t length);

// A client connected to 127.0.0.1:port, or kNoSocket.
zal_socket connect_local(int32_t port);
