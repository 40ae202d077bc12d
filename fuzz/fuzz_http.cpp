// What a stranger sends the status server, before and after the library
// parses it: the head screen, the route with its percent-decoding, the
// authorisation and the Host and Origin checks.
// Input: up to three parts separated by NUL bytes: a request's head, a token
// (mapped onto visible ASCII) and a user name.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "http.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  fprintf(stderr, "fuzz_http: %s\n[%s]\n", what, detail.c_str());
  abort();
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Well-formed UTF-8 by the Unicode standard's table of byte sequences.
bool well_formed(const std::string& text) {
  size_t i = 0;
  auto in = [&](size_t k, int lo, int hi) {
    if (i + k >= text.size()) return false;
    int c = static_cast<unsigned char>(text[i + k]);
    return c >= lo && c <= hi;
  };
  while (i < text.size()) {
    int c = static_cast<unsigned char>(text[i]);
    size_t n;
    if (c <= 0x7f) n = 1;
    else if (c >= 0xc2 && c <= 0xdf && in(1, 0x80, 0xbf)) n = 2;
    else if (c == 0xe0 && in(1, 0xa0, 0xbf) && in(2, 0x80, 0xbf)) n = 3;
    else if (((c >= 0xe1 && c <= 0xec) || c == 0xee || c == 0xef) && in(1, 0x80, 0xbf) && in(2, 0x80, 0xbf)) n = 3;
    else if (c == 0xed && in(1, 0x80, 0x9f) && in(2, 0x80, 0xbf)) n = 3;
    else if (c == 0xf0 && in(1, 0x90, 0xbf) && in(2, 0x80, 0xbf) && in(3, 0x80, 0xbf)) n = 4;
    else if (c >= 0xf1 && c <= 0xf3 && in(1, 0x80, 0xbf) && in(2, 0x80, 0xbf) && in(3, 0x80, 0xbf)) n = 4;
    else if (c == 0xf4 && in(1, 0x80, 0x8f) && in(2, 0x80, 0xbf) && in(3, 0x80, 0xbf)) n = 4;
    else return false;
    i += n;
  }
  return true;
}

std::string percent_encode(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string base64(const std::string& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[n >> 18 & 63];
    out += alphabet[n >> 12 & 63];
    out += i + 1 < bytes.size() ? alphabet[n >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[n & 63] : '=';
  }
  return out;
}

// What the library will see: whole CR LF lines, none it must not, no header
// we read twice, and every "%" in a value escaped.
void check_screen(const std::string& head) {
  Head out = screen_head(head);
  if (out.refusal != 0) {
    if (!out.text.empty()) fail("a refusal that passes text on", head);
    return;
  }
  if (out.text.size() < 4 || out.text.compare(out.text.size() - 4, 4, "\r\n\r\n") != 0) {
    fail("a head without its end", out.text);
  }
  std::vector<std::string> seen;
  size_t at = out.text.find("\r\n") + 2;
  size_t lines = 0;
  while (at < out.text.size() - 2) {
    size_t end = out.text.find("\r\n", at);
    std::string line = out.text.substr(at, end - at);
    at = end + 2;
    ++lines;
    if (line.find('\n') != std::string::npos) fail("a bare LF in a header line", line);
    size_t colon = line.find(':');
    if (colon == std::string::npos) fail("a header line without a colon", line);
    std::string name = lower(line.substr(0, colon));
    if (name == "range" || name == "if-range" || name == "accept-encoding") fail("a dropped header passed", line);
    for (const char* single : {"host", "authorization", "origin", "content-length", "transfer-encoding"}) {
      if (name != single) continue;
      for (const std::string& before : seen) {
        if (before == name) fail("a header passed twice", line);
      }
      seen.push_back(name);
    }
    std::string value = line.substr(colon + 1);
    for (size_t p = value.find('%'); p != std::string::npos; p = value.find('%', p + 1)) {
      if (value.compare(p, 3, "%25") != 0) fail("a % passed unescaped", line);
    }
  }
  if (lines > kHeaderLinesMax) fail("too many header lines passed", head);
}

// A name reads back from its own escaped form, and only well-formed text is a name.
void check_route(const std::string& text) {
  std::string decoded;
  bool ok = percent_decode(text, &decoded);
  if (text.find('%') == std::string::npos && ok != (text.find('\0') == std::string::npos && well_formed(text))) {
    fail("percent_decode judges UTF-8 unlike the standard", text);
  }
  if (ok && (decoded.find('\0') != std::string::npos || !well_formed(decoded))) fail("a decoded name not UTF-8", text);
  Route r = route(text);
  if ((r.kind == Route::kSource || r.kind == Route::kAction) && (r.name.empty() || !well_formed(r.name))) {
    fail("a route to a name that is none", text);
  }
  if (text.empty() || text.find('\0') != std::string::npos || !well_formed(text)) return;
  Route back = route("/api/sources/" + percent_encode(text) + "/hold?x");
  if (back.kind != Route::kAction || back.name != text || back.action != ActionKind::kHold) {
    fail("a name does not read back from its escaped form", text);
  }
}

void check_authorization(const std::string& token, const std::string& user, const std::string& header) {
  authorized(token, header);
  bool any = !token.empty();
  if (authorized(token, "Bearer " + token) != any) fail("the bearer token is not taken", token);
  if (authorized(token, "Bearer " + token + "x")) fail("a longer bearer token is taken", token);
  std::string name = user.substr(0, user.find(':'));
  if (authorized(token, "basic " + base64(name + ":" + token)) != any) fail("the basic password is not taken", token);
  if (authorized(token, "Basic " + base64(name + ":" + token + "x"))) fail("a longer password is taken", token);
}

void check_origin(const std::string& host, const std::string& origin) {
  if (!same_origin("http://" + host, host) || !same_origin("HTTPS://" + host, host)) fail("our own page refused", host);
  if (same_origin(origin, host)) {
    std::string seen = lower(origin);
    if (!origin.empty() && seen != "http://" + lower(host) && seen != "https://" + lower(host)) {
      fail("another origin taken", origin);
    }
  }
  host_allowed(host);
}

std::vector<std::string> parts(const uint8_t* data, size_t size) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && out.size() < 3) {
      out.emplace_back();
    } else {
      out.back() += static_cast<char>(data[i]);
    }
  }
  out.resize(3);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> in = parts(data, size);
  check_screen(in[0]);
  std::string first_line = in[0].substr(0, in[0].find_first_of("\r\n"));
  size_t space = first_line.find(' ');
  std::string target = space == std::string::npos ? first_line : first_line.substr(space + 1);
  check_route(target.substr(0, target.find(' ')));
  std::string token;
  for (unsigned char c : in[1]) token += static_cast<char>(0x21 + c % 94);
  check_authorization(token, in[2], in[0]);
  check_origin(in[2], first_line);
  return 0;
}
