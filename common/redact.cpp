#include "redact.h"

#include <cctype>
#include <cstring>

namespace {

const char kMask[] = "***";

bool is_space_or_control(unsigned char c) { return c <= 0x20 || c == 0x7f; }

// Where ffmpeg ends an address's authority, and a log line ends a word.
bool ends_authority(unsigned char c) {
  return c == '/' || c == '?' || c == '#' || is_space_or_control(c);
}

// One authority after "://", from `begin`: its user-info masked. Returns
// where the authority ends, in the masked text.
size_t mask_user_info(std::string* text, size_t begin) {
  size_t end = begin;
  while (end < text->size() && !ends_authority(static_cast<unsigned char>((*text)[end]))) ++end;
  if (end == begin) return end;
  size_t at = text->rfind('@', end - 1);
  if (at == std::string::npos || at < begin) return end;
  size_t colon = text->find(':', begin);
  size_t from = colon < at ? colon + 1 : begin;
  text->replace(from, at - from, kMask);
  return from + strlen(kMask) + (end - at);
}

int hex_digit(unsigned char c) {
  if (isdigit(c)) return c - '0';
  c = static_cast<unsigned char>(tolower(c));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A parameter's name as a server reads it: percent-decoded, lower case.
std::string plain_name(const std::string& name) {
  std::string plain;
  for (size_t i = 0; i < name.size(); ++i) {
    int high = i + 2 < name.size() && name[i] == '%' ? hex_digit(name[i + 1]) : -1;
    int low = high >= 0 ? hex_digit(name[i + 2]) : -1;
    if (low >= 0) {
      plain += static_cast<char>(tolower(high * 16 + low));
      i += 2;
    } else {
      plain += static_cast<char>(tolower(static_cast<unsigned char>(name[i])));
    }
  }
  return plain;
}

// Names that hold a secret in the services cameras and stream servers use:
// password, passwd, passphrase (SRT), pwd, access_token, apikey, streamkey,
// auth, X-Amz-Signature, sig... A harmless name caught by these only loses its value.
bool names_secret(const std::string& name) {
  static const char* const kParts[] = {"pass", "pwd", "secret", "token", "key", "auth",
                                       "sig", "credential", "session"};
  std::string plain = plain_name(name);
  if (plain == "pw") return true;
  for (const char* part : kParts) {
    if (plain.find(part) != std::string::npos) return true;
  }
  return false;
}

bool in_name(unsigned char c) { return isalnum(c) || c == '_' || c == '-' || c == '.' || c == '%'; }

bool ends_value(unsigned char c) {
  return c == '&' || c == ';' || c == '#' || c == '"' || c == '\'' || c == '<' || c == '>' ||
         is_space_or_control(c);
}

// "?name=value", "&name=value" and ";name=value": the value of a secret's name masked.
void mask_query_values(std::string* text) {
  for (size_t i = 0; i < text->size(); ++i) {
    char c = (*text)[i];
    if (c != '?' && c != '&' && c != ';') continue;
    size_t name_end = i + 1;
    while (name_end < text->size() && in_name(static_cast<unsigned char>((*text)[name_end]))) ++name_end;
    if (name_end == i + 1 || name_end >= text->size() || (*text)[name_end] != '=') continue;
    if (!names_secret(text->substr(i + 1, name_end - i - 1))) continue;
    size_t value = name_end + 1;
    size_t end = value;
    while (end < text->size() && !ends_value(static_cast<unsigned char>((*text)[end]))) ++end;
    if (end > value) text->replace(value, end - value, kMask);
    i = value + (end > value ? strlen(kMask) : 0) - 1;
  }
}

}  // namespace

std::string mask_credentials(const std::string& text) {
  std::string masked = text;
  size_t at = 0;
  while ((at = masked.find("://", at)) != std::string::npos) {
    // The authority's last ':' may begin the next "://", as in "x://a://u:p@h".
    at = mask_user_info(&masked, at + 3) - 1;
  }
  mask_query_values(&masked);
  return masked;
}
