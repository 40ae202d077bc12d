#include "standin_json.h"

#include <charconv>
#include <cmath>

namespace standin {

uint64_t fnv1a64(const void* data, size_t size, uint64_t hash) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    hash ^= p[i];
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string hex(uint64_t value, int digits) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xf]);
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(out.size()) < digits) out.insert(0, digits - out.size(), '0');
  return out;
}

std::string address(const void* p) {
  return "0x" + hex(reinterpret_cast<uintptr_t>(p));
}

std::string bytes_hex(const char* s) {
  std::string out;
  for (; *s != '\0'; ++s) out += hex(static_cast<unsigned char>(*s), 2);
  return out;
}

namespace {

// Bytes >= 0x80 become \u00XX so the file stays ASCII whatever the caller sent.
void append_escaped(std::string& out, const char* s) {
  out += '"';
  for (; *s != '\0'; ++s) {
    const auto c = static_cast<unsigned char>(*s);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      out += "\\u00" + hex(c, 2);
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

}  // namespace

JsonLine::JsonLine(const char* call) {
  text_ = "{\"call\":";
  append_escaped(text_, call);
}

void JsonLine::key(const char* k) {
  text_ += ',';
  append_escaped(text_, k);
  text_ += ':';
}

JsonLine& JsonLine::str(const char* k, const char* value) {
  if (value == nullptr) return null(k);
  key(k);
  append_escaped(text_, value);
  return *this;
}

JsonLine& JsonLine::str(const char* k, const std::string& value) {
  return str(k, value.c_str());
}

JsonLine& JsonLine::num(const char* k, int64_t value) {
  key(k);
  text_ += std::to_string(value);
  return *this;
}

// JSON has no NaN or infinity, so those are written as strings.
JsonLine& JsonLine::real(const char* k, double value) {
  if (std::isnan(value)) return str(k, "nan");
  if (std::isinf(value)) return str(k, value > 0 ? "inf" : "-inf");
  char buf[32];
  // to_chars ignores the C locale, which may use a decimal comma.
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 9);
  key(k);
  text_.append(buf, res.ptr);
  return *this;
}

JsonLine& JsonLine::flag(const char* k, bool value) {
  key(k);
  text_ += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::null(const char* k) {
  key(k);
  text_ += "null";
  return *this;
}

}  // namespace standin
