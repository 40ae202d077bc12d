#include "probe.h"

#include <cctype>

#include "clock.h"

namespace {

bool starts_without_case(const std::string& text, const char* prefix) {
  for (size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= text.size() || tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool read_port(const std::string& text, uint16_t* port) {
  if (text.empty()) return true;
  if (text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  long n = std::stol(text);
  if (n < 1 || n > 65535) return false;
  *port = static_cast<uint16_t>(n);
  return true;
}

bool probe_target(const std::string& input, ProbeTarget* target) {
  const std::string scheme = "rtsp://";
  if (!starts_without_case(input, scheme.c_str())) return false;
  std::string authority = input.substr(scheme.size());
  authority = authority.substr(0, authority.find_first_of("/?#"));
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);
  ProbeTarget found;
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    found.host = authority.substr(1, close - 1);
    std::string rest = authority.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return false;
    if (!rest.empty()) port = rest.substr(1);
    // A zone in a URL is written %25eth0.
    size_t zone = found.host.find("%25");
    if (zone != std::string::npos) found.host.replace(zone, 3, "%");
  } else {
    size_t colon = authority.find(':');
    found.host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
  }
  if (found.host.empty() || !read_port(port, &found.port)) return false;
  *target = found;
  return true;
}

bool port_accepts(const std::string& host, uint16_t port, int64_t bound_ms) {
  int64_t deadline = steady_now_ms() + bound_ms;
  std::vector<PeerAddress> found;
  if (!look_up(host, port, &found)) return false;
  for (const PeerAddress& address : found) {
    if (steady_now_ms() >= deadline) return false;
    if (connects_by(address, deadline)) return true;
  }
  return false;
}
