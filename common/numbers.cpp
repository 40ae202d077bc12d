#include "numbers.h"

#include <cstring>

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Where the digits of a decimal-prefix integer end.
const char* after_integer(const char* text) {
  const char* p = text;
  while (is_space(*p)) ++p;
  if (*p == '-' || *p == '+') ++p;
  while (is_digit(*p)) ++p;
  return p;
}

// One or more digits, then the end of the text.
bool only_digits(const char* text) {
  if (*text == 0) return false;
  for (; *text != 0; ++text) {
    if (!is_digit(*text)) return false;
  }
  return true;
}

// The fraction of a decimal: the whole numbers, and the three NTSC-family rates
// cameras in 60 Hz countries run at. Any other fraction would be a guess.
bool read_fraction(int32_t whole, const char* digits, FrameRate* rate) {
  if (!only_digits(digits)) return false;
  size_t length = strlen(digits);
  while (length > 0 && digits[length - 1] == '0') --length;
  const std::string fraction(digits, length);
  if (fraction.empty()) {
    *rate = {whole, 1};
    return true;
  }
  static const struct {
    int32_t whole;
    const char* fraction;
    int32_t numerator;
  } kNtsc[] = {{23, "976", 24000}, {29, "97", 30000}, {59, "94", 60000}};
  for (const auto& ntsc : kNtsc) {
    if (whole != ntsc.whole || fraction != ntsc.fraction) continue;
    *rate = {ntsc.numerator, 1001};
    return true;
  }
  return false;
}

}  // namespace

bool parse_decimal(const char* text, int32_t* value) {
  const char* p = text;
  while (is_space(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  int64_t magnitude = 0;
  for (; is_digit(*p); ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > INT64_C(2147483648)) return false;
  }
  int64_t result = negative ? -magnitude : magnitude;
  if (result > INT32_MAX || result < INT32_MIN) return false;
  *value = static_cast<int32_t>(result);
  return true;
}

bool read_frame_rate(const char* text, FrameRate* rate) {
  int32_t whole = 0;
  if (!parse_decimal(text, &whole)) return false;
  const char* rest = after_integer(text);
  if (*rest == '.') return read_fraction(whole, rest + 1, rate);
  // A decimal comma would otherwise silently read 29,97 as 29.
  if (*rest == ',') return false;
  if (*rest != '/') {
    *rate = {whole, 1};
    return true;
  }
  int32_t denominator = 0;
  if (!only_digits(rest + 1) || !parse_decimal(rest + 1, &denominator)) return false;
  *rate = {whole, denominator};
  return true;
}

std::string frame_rate_text(FrameRate rate) {
  std::string text = std::to_string(rate.numerator);
  if (rate.denominator != 1) text += "/" + std::to_string(rate.denominator);
  return text;
}
