// json_escape: whatever the text and capacity, the output stays inside the
// buffer and reads back, as a JSON string, as a prefix of the text.
// Input: two bytes choosing the capacity (7..600), then the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "events.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& output) {
  fprintf(stderr, "fuzz_json_escape: %s\noutput: [%s]\n", what, output.c_str());
  abort();
}

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Strict reading of the contents of a JSON string literal. Raw bytes from 0x80
// up stand for themselves; a \u escape above 0x7f would name a code point, not
// the byte, so it is refused.
std::string decode(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"') fail("raw quote", text);
    if (c < 0x20) fail("raw control character", text);
    if (c != '\\') {
      bytes += static_cast<char>(c);
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) fail("dangling backslash", text);
    char kind = text[i + 1];
    if (kind == '"' || kind == '\\') {
      bytes += kind;
      i += 2;
      continue;
    }
    if (kind != 'u') fail("escape other than \\\" \\\\ \\u", text);
    if (i + 6 > text.size()) fail("short \\u escape", text);
    int value = 0;
    for (size_t k = i + 2; k < i + 6; ++k) {
      int digit = hex_value(static_cast<unsigned char>(text[k]));
      if (digit < 0) fail("bad hex digit", text);
      value = value * 16 + digit;
    }
    if (value >= 0x80) fail("\\u escape for a non-ASCII byte", text);
    bytes += static_cast<char>(value);
    i += 6;
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t capacity = 7 + (data[0] | static_cast<size_t>(data[1]) << 8) % 594;
  // Exact-size blocks: any write past capacity or read past the text is caught.
  char* source = static_cast<char*>(malloc(size - 1));
  memcpy(source, data + 2, size - 2);
  source[size - 2] = 0;
  char* out = static_cast<char*>(malloc(capacity));
  memset(out, 'X', capacity);

  json_escape(source, out, capacity);

  const void* end = memchr(out, 0, capacity);
  if (end == nullptr) fail("not terminated within capacity", std::string(out, capacity));
  std::string escaped(out, static_cast<const char*>(end) - out);
  if (escaped.size() > capacity - 1) fail("too long", escaped);
  std::string decoded = decode(escaped);
  const size_t length = strlen(source);
  if (decoded.size() > length || memcmp(decoded.data(), source, decoded.size()) != 0) {
    fail("not a prefix of the text", escaped);
  }
  // A cut is only allowed once a worst-case escape and the terminator might not fit; it may
  // then drop up to three bytes of a UTF-8 character it would leave incomplete.
  if (decoded.size() < length && escaped.size() + 7 + 3 < capacity) fail("cut too early", escaped);
  if (decoded.size() < length &&
      (static_cast<unsigned char>(source[decoded.size()]) & 0xC0) == 0x80 && !decoded.empty() &&
      static_cast<unsigned char>(decoded.back()) >= 0xC0) {
    fail("cut after the first byte of a UTF-8 character", escaped);
  }
  free(out);
  free(source);
  return 0;
}
