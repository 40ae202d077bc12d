#include "events.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

// Guards standard output; every line is written whole under it.
std::mutex gOutLock;

}  // namespace

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

// Where text would end without the UTF-8 character left incomplete at pos, if any.
size_t drop_incomplete_character(const char* text, size_t pos) {
  for (size_t back = 1; back <= 3 && back <= pos; ++back) {
    unsigned char c = static_cast<unsigned char>(text[pos - back]);
    if ((c & 0xC0) == 0x80) continue;
    size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return back < length ? pos - back : pos;
  }
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
  if ((*p & 0xC0) == 0x80) pos = drop_incomplete_character(destination, pos);
  destination[pos] = 0;
}
