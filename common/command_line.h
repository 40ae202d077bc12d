// The Windows command line of a child: how an argument list becomes the one
// string CreateProcess takes. Plain code, so it is tested and fuzzed on Linux too.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One argument quoted so that the Windows argument rules give it back unchanged.
std::string quote_windows_arg(const std::string& arg);

// Joins the list into one Windows command line. Never cuts: returns false when
// the line would exceed the platform's limit.
bool join_command_line(const std::vector<std::string>& args, std::string* line);

// The Windows command-line limit in characters, terminator included.
constexpr size_t kCommandLineLimit = 32767;
