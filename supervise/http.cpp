#include "http.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "sources.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool valid_utf8(const std::string& text) {
  static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t more = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2 : (c & 0xf8) == 0xf0 ? 3 : 4;
    if (more == 4 || i + more >= text.size() + (more == 0)) return false;
    uint32_t code = c & (0x7f >> more);
    for (size_t k = 1; k <= more; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = code << 6 | (next & 0x3f);
    }
    if (code < least[more] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    i += more + 1;
  }
  return true;
}

std::vector<std::string> segments(const std::string& path) {
  std::vector<std::string> out;
  size_t at = 1;
  while (true) {
    size_t end = path.find('/', at);
    out.push_back(path.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) return out;
    at = end + 1;
  }
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Equal in time that depends on the lengths only.
bool same_secret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.size() + 1)]);
  return diff == 0 && !b.empty();
}

bool base64_decode(const std::string& text, std::string* out) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return false;
  uint32_t bits = 0;
  int count = 0;
  size_t padding = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '=' && i + 2 >= text.size()) {
      ++padding;
      continue;
    }
    size_t value = alphabet.find(text[i]);
    if (value == std::string::npos || padding > 0) return false;
    bits = bits << 6 | static_cast<uint32_t>(value);
    if (++count == 4) {
      out->push_back(static_cast<char>(bits >> 16 & 0xff));
      out->push_back(static_cast<char>(bits >> 8 & 0xff));
      out->push_back(static_cast<char>(bits & 0xff));
      bits = 0;
      count = 0;
    }
  }
  if (count == 2) out->push_back(static_cast<char>(bits >> 4 & 0xff));
  if (count == 3) {
    out->push_back(static_cast<char>(bits >> 10 & 0xff));
    out->push_back(static_cast<char>(bits >> 2 & 0xff));
  }
  return true;
}

// "host:port" or "[v6]:port" -> the host.
std::string host_part(const std::string& host) {
  if (!host.empty() && host[0] == '[') {
    size_t close = host.find(']');
    return close == std::string::npos ? host : host.substr(1, close - 1);
  }
  return host.substr(0, host.find(':'));
}

}  // namespace

bool percent_decode(const std::string& text, std::string* out) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
    int low = high >= 0 ? hex_value(text[i + 2]) : -1;
    if (low < 0) return false;
    decoded += static_cast<char>(high << 4 | low);
    i += 2;
  }
  if (decoded.find('\0') != std::string::npos || !valid_utf8(decoded)) return false;
  *out = decoded;
  return true;
}

namespace {

Route only(Route::Kind kind) {
  Route out;
  out.kind = kind;
  return out;
}

}  // namespace

Route route(const std::string& target) {
  Route out;
  std::string path = target.substr(0, target.find_first_of("?#"));
  if (path == "/") return only(Route::kPage);
  if (path == "/metrics") return only(Route::kMetrics);
  if (path == "/api/sources") return only(Route::kSources);
  if (path.compare(0, 13, "/api/sources/") != 0) return out;
  std::vector<std::string> parts = segments(path);  // "api", "sources", name[, action]
  if (parts.size() > 4 || parts[2].empty()) return out;
  Route::Kind kind = parts.size() == 3 ? Route::kSource : Route::kAction;
  if (parts.size() == 4 && parts[3] == "thumbnail.jpg") kind = Route::kThumbnail;
  if (parts.size() == 4 && parts[3] == "log") kind = Route::kLog;
  if (kind == Route::kAction && !read_action(parts[3], &out.action)) return out;
  if (!percent_decode(parts[2], &out.name)) return only(Route::kBad);
  out.kind = kind;
  return out;
}

bool authorized(const std::string& token, const std::string& header) {
  size_t space = header.find(' ');
  if (space == std::string::npos) return false;
  std::string scheme = lower(header.substr(0, space));
  std::string value = header.substr(header.find_first_not_of(' ', space) == std::string::npos
                                        ? header.size()
                                        : header.find_first_not_of(' ', space));
  if (scheme == "bearer") return same_secret(value, token);
  std::string pair;
  if (scheme != "basic" || !base64_decode(value, &pair)) return false;
  size_t colon = pair.find(':');
  return colon != std::string::npos && same_secret(pair.substr(colon + 1), token);
}

bool same_origin(const std::string& origin, const std::string& host) {
  std::string seen = lower(origin);
  return origin.empty() || seen == "http://" + lower(host) || seen == "https://" + lower(host);
}

bool host_allowed(const std::string& host) {
  std::string name = host_part(host);
  bool loopback = false;
  return lower(name) == "localhost" || read_address(name, &loopback);
}

namespace {

// Headers the server or the library reads: each may come once.
const char* const kSingle[] = {"host", "authorization", "origin", "content-length", "transfer-encoding",
                               "content-type", "connection", "expect"};
// Headers left out before the library sees them: no endpoint serves a range,
// and nothing is worth compressing at the library's cost per request.
const char* const kDropped[] = {"range", "if-range", "accept-encoding"};

bool listed(const std::string& name, const char* const* names, size_t count) {
  return std::find(names, names + count, name) != names + count;
}

Head refuse(int status) {
  Head out;
  out.refusal = status;
  return out;
}

// The head's lines without their line ends, up to the empty line.
std::vector<std::string> head_lines(const std::string& head) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < head.size()) {
    size_t end = head.find('\n', at);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

// The library decodes %XX in header values: escaped, each value reaches us as sent.
std::string escape_percent(const std::string& value) {
  std::string out;
  for (char c : value) out += c == '%' ? std::string("%25") : std::string(1, c);
  return out;
}

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "GET /target HTTP/1.1": the target's length decides 414.
bool target_too_long(const std::string& request_line) {
  size_t first = request_line.find(' ');
  if (first == std::string::npos) return false;
  size_t second = request_line.find(' ', first + 1);
  size_t end = second == std::string::npos ? request_line.size() : second;
  return end - first - 1 > kTargetMax;
}

}  // namespace

Head screen_head(const std::string& head) {
  if (target_too_long(head.substr(0, head.find('\n')))) return refuse(414);
  if (head.size() >= kHeadMax) return refuse(431);
  std::vector<std::string> lines = head_lines(head);
  if (lines.empty()) return refuse(400);
  if (lines[0].size() > kTargetMax + 64) return refuse(400);
  if (lines.size() - 1 > kHeaderLinesMax) return refuse(431);
  Head out;
  out.text = lines[0] + "\r\n";
  std::vector<std::string> seen;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.size() > kHeaderLineMax) return refuse(431);
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || line[0] == ' ' || line[0] == '\t') return refuse(400);
    std::string name = lower(trimmed(line.substr(0, colon)));
    std::string value = trimmed(line.substr(colon + 1));
    if (name.size() != colon) return refuse(400);  // no space before the colon
    if (listed(name, kDropped, std::size(kDropped))) continue;
    if (listed(name, kSingle, std::size(kSingle))) {
      if (std::find(seen.begin(), seen.end(), name) != seen.end()) return refuse(400);
      seen.push_back(name);
    }
    if (name == "transfer-encoding" || (name == "content-length" && value != "0")) out.has_body = true;
    out.text += line.substr(0, colon) + ": " + escape_percent(value) + "\r\n";
  }
  out.text += "\r\n";
  return out;
}

const char* refusal_reason(int status) {
  switch (status) {
    case 414:
      return "URI Too Long";
    case 431:
      return "Request Header Fields Too Large";
    default:
      return "Bad Request";
  }
}

bool ActionLimiter::allow(const std::string& source, int64_t now_ms) {
  auto found = buckets_.find(source);
  if (found == buckets_.end()) found = buckets_.emplace(source, Bucket{kBurst, now_ms}).first;
  Bucket& bucket = found->second;
  double earned = static_cast<double>(std::max<int64_t>(0, now_ms - bucket.at)) / 1000.0 * kPerSecond;
  bucket.tokens = std::min(kBurst, bucket.tokens + earned);
  bucket.at = now_ms;
  if (bucket.tokens < 1) return false;
  bucket.tokens -= 1;
  return true;
}
