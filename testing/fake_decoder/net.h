// The few TCP client calls the fake needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "invocation.h"

using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// Once at start: Winsock start-up, or ignoring SIGPIPE so a closed peer is a write error.
bool net_startup();
Socket tcp_connect(const Endpoint& to, std::string& error);
// Loops over short sends; false with error text when the peer is gone.
bool send_all(Socket s, const uint8_t* data, size_t size, std::string& error);
// Sends small pieces at once instead of coalescing them.
void set_no_delay(Socket s);
void close_socket(Socket s);
// Keeps the connections open until the peer has closed each or ms have passed; what
// arrives is discarded.
void hold_until_closed(const std::vector<Socket>& sockets, uint64_t ms);
