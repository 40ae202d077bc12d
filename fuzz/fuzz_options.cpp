// parse_options and parse_decimal on arbitrary argument lists.
// Input: arguments separated by NUL bytes; a last one of the form
// "FFMPEG_BIN=<value>" is taken as that environment value instead.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "options.h"

namespace {

[[noreturn]] void fail(const char* what, const char* detail) {
  fprintf(stderr, "fuzz_options: %s [%s]\n", what, detail != nullptr ? detail : "(null)");
  abort();
}

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reference: compares the digit string against the limit as text, so no
// arithmetic can overflow however many digits there are.
bool reference_decimal(const char* text, int64_t* value) {
  const char* p = text;
  while (is_c_space(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  std::string digits;
  for (; *p >= '0' && *p <= '9'; ++p) digits += *p;
  size_t first = digits.find_first_not_of('0');
  digits = first == std::string::npos ? "" : digits.substr(first);
  const std::string limit = negative ? "2147483648" : "2147483647";
  if (digits.size() > limit.size()) return false;
  if (digits.size() == limit.size() && digits > limit) return false;
  int64_t magnitude = 0;
  for (char d : digits) magnitude = magnitude * 10 + (d - '0');
  *value = negative ? -magnitude : magnitude;
  return true;
}

void check_decimal(const char* text) {
  int64_t expected = 0;
  bool fits = reference_decimal(text, &expected);
  int32_t got = 0x5a5a5a5a;
  bool ok = parse_decimal(text, &got);
  if (ok != fits) fail(ok ? "accepted an out-of-range number" : "rejected a fitting number", text);
  if (ok && got != expected) fail("wrong value", text);
}

void check_settings(const Options& opt) {
  if (opt.input == nullptr) fail("accepted without an input", nullptr);
  if (opt.name == nullptr) fail("no name", nullptr);
  if (opt.ffmpeg == nullptr) fail("no decoder program", nullptr);
  if (opt.width <= 0 || opt.height <= 0 || opt.width % 2 != 0 || opt.height % 2 != 0) {
    fail("bad frame size", std::to_string(opt.width).append("x").append(
                               std::to_string(opt.height)).c_str());
  }
  if (opt.fps <= 0 || opt.fps_denominator <= 0) fail("bad fps", std::to_string(opt.fps).c_str());
  if (opt.groups != nullptr && *opt.groups == 0) fail("empty groups", nullptr);
  if (static_cast<int64_t>(opt.width) * opt.height * 3 / 2 >= (INT64_C(1) << 31)) {
    fail("frame of 2 GiB or more", nullptr);
  }
  if (opt.audio != 0 && opt.audio != 1) fail("audio not 0 or 1", nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each argument in its own exact-size block, so reading past its end is caught.
  std::vector<char*> args;
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0) continue;
    char* arg = static_cast<char*>(malloc(i - start + 1));
    memcpy(arg, data + start, i - start);
    arg[i - start] = 0;
    args.push_back(arg);
    start = i + 1;
  }
  const char* ffmpeg_env = nullptr;
  const char kEnv[] = "FFMPEG_BIN=";
  if (strncmp(args.back(), kEnv, sizeof kEnv - 1) == 0) ffmpeg_env = args.back() + sizeof kEnv - 1;

  for (char* arg : args) check_decimal(arg);

  std::vector<char*> argv;
  char program[] = "zal-ndi-send";
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end() - (ffmpeg_env != nullptr ? 1 : 0));
  argv.push_back(nullptr);
  Options opt = kDefaultOptions;
  if (parse_options(static_cast<int>(argv.size()) - 1, argv.data(), ffmpeg_env, &opt)) {
    check_settings(opt);
  }
  for (char* arg : args) free(arg);
  return 0;
}
