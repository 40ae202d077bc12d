// Building blocks for the stand-in's capture records: one JSON object per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace standin {

// FNV-1a 64, chainable so a frame can be hashed row by row.
constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
uint64_t fnv1a64(const void* data, size_t size, uint64_t hash = kFnvOffset);

// Lowercase hex; `digits` pads with leading zeros (0 = no padding).
std::string hex(uint64_t value, int digits = 0);
std::string address(const void* p);  // "0x..." so records can be matched across calls
std::string bytes_hex(const char* s);

// Accumulates `{"key":value,...}`; every string is escaped to plain ASCII.
class JsonLine {
 public:
  explicit JsonLine(const char* call);
  JsonLine& str(const char* key, const char* value);  // null -> JSON null
  JsonLine& str(const char* key, const std::string& value);
  JsonLine& num(const char* key, int64_t value);
  JsonLine& real(const char* key, double value);
  JsonLine& flag(const char* key, bool value);
  JsonLine& null(const char* key);
  std::string finish() const { return text_ + "}\n"; }

 private:
  void key(const char* k);
  std::string text_;
};

}  // namespace standin
