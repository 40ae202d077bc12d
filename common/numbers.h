// Numbers as both programs read them from text: the decimal-prefix integers of
// the command line and the frame rates NDI announces.
#pragma once

#include <cstdint>
#include <string>

// Decimal-prefix conversion: leading white space, an optional sign, the longest
// run of digits; the rest is ignored and no digits give 0. Returns false only
// when the digits do not fit a 32-bit signed integer.
bool parse_decimal(const char* text, int32_t* value);

// A frame rate as NDI takes it: numerator / denominator.
struct FrameRate {
  int32_t numerator;
  int32_t denominator;
};

// Reads "N/D" (30000/1001), the decimals 23.976, 29.97 and 59.94 (trailing zeros
// allowed) as 24000/1001, 30000/1001 and 60000/1001, a whole decimal (25.0) as
// N/1, and anything else as a decimal-prefix integer N/1 ("30x" is 30). False
// when the text after the integer's digits starts with '/' or '.' but is none of
// those forms, when it starts with ',', or when a number does not fit 32 bits.
// Neither part is checked for being above 0.
bool read_frame_rate(const char* text, FrameRate* rate);

// "30" for a denominator of 1, else "30000/1001": text read_frame_rate reads back.
std::string frame_rate_text(FrameRate rate);
