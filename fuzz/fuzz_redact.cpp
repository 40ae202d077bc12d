// mask_credentials: a password in an address's user-info, and the value of a
// query parameter named like a secret, never come out, whatever text surrounds
// them. The masking only replaces parts with "***", so a secret without '*'
// that appears once in the line can only come out where it went in.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "redact.h"

namespace {

bool ends_authority(unsigned char c) { return c == '/' || c == '?' || c == '#' || c <= 0x20 || c == 0x7f; }

bool ends_value(unsigned char c) {
  return ends_authority(c) || c == '&' || c == ';' || c == '"' || c == '\'' || c == '<' || c == '>';
}

bool holds(const std::string& text, bool (*stop)(unsigned char)) {
  for (unsigned char c : text) {
    if (stop(c)) return true;
  }
  return false;
}

// Present once, at its own place: no other text in the line spells it.
bool unique_secret(const std::string& line, const std::string& secret, size_t place) {
  return !secret.empty() && secret.find('*') == std::string::npos && line.find(secret) == place &&
         line.find(secret, place + 1) == std::string::npos;
}

[[noreturn]] void fail(const char* what, const std::string& line, const std::string& masked) {
  fprintf(stderr, "fuzz_redact: %s\nline:   [%s]\nmasked: [%s]\n", what, line.c_str(), masked.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kSchemes[] = {"rtsp", "RTSPS", "http", "https", "rtmp", "srt", "x"};
  static const char* const kNames[] = {"password", "Passwd", "pwd", "token", "access_token",
                                       "auth", "key", "secret", "X-Amz-Signature", "passphrase"};
  FuzzedDataProvider in(data, size);
  const char* scheme = in.PickValueInArray(kSchemes);
  const char* name = in.PickValueInArray(kNames);
  std::string prefix = in.ConsumeRandomLengthString(256);
  std::string user = in.ConsumeRandomLengthString(64);
  std::string password = in.ConsumeRandomLengthString(64);
  std::string host = in.ConsumeRandomLengthString(64);
  std::string value = in.ConsumeRandomLengthString(64);
  std::string suffix = in.ConsumeRemainingBytesAsString();
  if (holds(user, ends_authority) || holds(password, ends_authority) || holds(host, ends_authority) ||
      holds(value, ends_value)) {
    return 0;
  }
  std::string head = prefix + scheme + "://" + user + ":";
  std::string middle = "@" + host + "/live?" + name + "=";
  std::string line = head + password + middle + value + suffix;
  std::string masked = mask_credentials(line);
  if (unique_secret(line, password, head.size()) && masked.find(password) != std::string::npos) {
    fail("the password came out", line, masked);
  }
  size_t value_at = head.size() + password.size() + middle.size();
  if (unique_secret(line, value, value_at) && masked.find(value) != std::string::npos) {
    fail("the secret value came out", line, masked);
  }
  return 0;
}
