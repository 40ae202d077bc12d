// What differs between Linux and Windows for the supervisor.
#pragma once

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
