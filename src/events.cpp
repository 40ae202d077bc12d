#include "events.h"

#include <cstdarg>
#include <cstdio>

std::mutex gOutLock;

void emit(const char* format, ...) {
  std::lock_guard<std::mutex> lock(gOutLock);
  va_list args;
  va_start(args, format);
  vfprintf(stdout, format, args);
  va_end(args);
  fputc('\n', stdout);
  fflush(stdout);
}

namespace {

// Writes one escaped byte at destination and returns how many bytes it took.
size_t escape_byte(unsigned char c, char* destination, size_t room) {
  if (c == '"' || c == '\\') {
    destination[0] = '\\';
    destination[1] = static_cast<char>(c);
    return 2;
  }
  if (c < 0x20) {
    snprintf(destination, room, "\\u%04x", c);
    return 6;
  }
  destination[0] = static_cast<char>(c);
  return 1;
}

}  // namespace

void json_escape(const char* source, char* destination, size_t capacity) {
  size_t pos = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(source);
  // The worst escape is six bytes; stop while one more still fits with the terminator.
  while (*p != 0) {
    pos += escape_byte(*p, destination + pos, capacity - pos);
    ++p;
    if (pos + 7 >= capacity) break;
  }
  destination[pos] = 0;
}
