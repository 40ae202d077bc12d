// What differs between Linux and Windows for the supervisor.
#pragma once

#include <cstdint>
#include <string>

// Calls on_stop, from a thread of its own, when we are asked to stop: SIGINT
// or SIGTERM on Linux; Ctrl-C, Ctrl-Break or the console closing on Windows.
// False when the watch could not be set up.
bool watch_stop_requests(void (*on_stop)());

// The zal-ndi-send beside our own executable, or "" when there is none.
std::string program_beside_us();

// The bare name to look up along PATH.
const char* program_name();

// Writes the line and the platform's line end to standard output in one write.
void write_line(const std::string& line);

// Tries a TCP connection to host:port (a name is looked up first) and closes
// it: true when it was accepted within bound_ms. The connect is bounded; a
// slow name lookup is not, so call it from a thread of its own.
bool port_accepts(const std::string& host, uint16_t port, int64_t bound_ms);
