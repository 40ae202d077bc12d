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

// Where the multi-byte sequence that ends at pos starts (at most three continuation bytes).
size_t utf8_sequence_start(const char* text, size_t pos) {
  size_t start = pos;
  while (start > 0 && pos - start < 3 &&
         (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
    --start;
  }
  if (start > 0 && static_cast<unsigned char>(text[start - 1]) >= 0xC0) return start - 1;
  return pos;
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
  // A cut inside a UTF-8 sequence would leave a line strict readers reject: drop its start.
  if ((*p & 0xC0) == 0x80) pos = utf8_sequence_start(destination, pos);
  destination[pos] = 0;
}
