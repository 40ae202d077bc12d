// join_command_line: a joined line must split back into the same arguments
// under the Windows C runtime's rules, and is refused only at the length limit.
// Input: a control byte, then the arguments separated by NUL bytes; the first
// is the program name, whose quotes are dropped (a Windows program name cannot
// hold one). Control byte: below 0xe0 nothing more; 0xe0-0xef appends a plain
// argument sized so the line lands within 8 characters of the limit (low
// nibble); 0xf0-0xff repeats the arguments 2 to 62 times.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_line.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& line) {
  fprintf(stderr, "fuzz_command_line: %s\nline: [%s]\n", what, line.c_str());
  abort();
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The C runtime's splitting, as the Universal CRT does it.
std::vector<std::string> split_windows(const std::string& line) {
  std::vector<std::string> args;
  size_t p = 0;
  const size_t n = line.size();
  // Program name: up to unquoted white space; quotes toggle, backslashes are plain.
  std::string program;
  bool quoted = false;
  while (p < n && (quoted || !is_blank(line[p]))) {
    if (line[p] == '"') {
      quoted = !quoted;
    } else {
      program += line[p];
    }
    ++p;
  }
  args.push_back(program);
  quoted = false;
  for (;;) {
    while (p < n && is_blank(line[p])) ++p;
    if (p >= n) break;
    std::string arg;
    for (;;) {
      size_t slashes = 0;
      while (p < n && line[p] == '\\') ++slashes, ++p;
      bool copy = true;
      if (p < n && line[p] == '"') {
        if (slashes % 2 == 0) {
          // Inside quotes, "" is one literal quote and quoting goes on.
          if (quoted && p + 1 < n && line[p + 1] == '"') {
            ++p;
          } else {
            copy = false;
            quoted = !quoted;
          }
        }
        slashes /= 2;
      }
      arg.append(slashes, '\\');
      if (p >= n || (!quoted && is_blank(line[p]))) break;
      if (copy) arg += line[p];
      ++p;
    }
    args.push_back(arg);
  }
  return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool pad = (data[0] & 0xf0) == 0xe0;
  const size_t repeat = (data[0] & 0xf0) == 0xf0 ? 2 + (data[0] & 0x0f) * 4 : 1;
  std::vector<std::string> parts;
  size_t start = 1;
  for (size_t i = 1; i <= size; ++i) {
    if (i < size && data[i] != 0) continue;
    parts.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
    start = i + 1;
  }
  std::string program;
  for (char c : parts[0]) {
    if (c != '"') program += c;
  }
  std::vector<std::string> args = {program};
  for (size_t r = 0; r < repeat; ++r) args.insert(args.end(), parts.begin() + 1, parts.end());
  if (pad) {
    // Quoted program name, then a blank and the quoted form of each argument.
    size_t length = program.size() + 2;
    for (size_t i = 1; i < args.size(); ++i) length += 1 + quote_windows_arg(args[i]).size();
    const size_t target = kCommandLineLimit - 8 + (data[0] & 0x0f);
    if (length + 3 <= target) args.push_back(std::string(target - length - 3, 'x'));
  }

  std::string line;
  bool fits = join_command_line(args, &line);
  if (fits != (line.size() < kCommandLineLimit)) {
    fail(fits ? "accepted a line over the limit" : "refused a line within the limit", "");
  }
  if (fits && split_windows(line) != args) fail("round trip changed the arguments", line);
  return 0;
}
