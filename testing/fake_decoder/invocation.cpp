#include "invocation.h"

#include <cstdlib>

namespace {

// Reads a positive decimal int starting at pos; advances pos past it.
bool read_positive(const std::string& s, size_t& pos, long max, long& value) {
  size_t start = pos;
  value = 0;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
    value = value * 10 + (s[pos] - '0');
    if (value > max) return false;
    ++pos;
  }
  return pos > start && value > 0;
}

bool fail(std::string& error, const std::string& message) {
  error = message;
  return false;
}

const std::string* value_after(const std::vector<std::string>& args, const std::string& flag) {
  for (size_t i = 1; i + 1 < args.size(); ++i)
    if (args[i] == flag) return &args[i + 1];
  return nullptr;
}

}  // namespace

bool parse_endpoint(const std::string& url, Endpoint& out) {
  const std::string scheme = "tcp://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  std::string rest = url.substr(scheme.size());
  rest = rest.substr(0, rest.find_first_of("?/"));
  size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  size_t pos = colon + 1;
  long port = 0;
  if (!read_positive(rest, pos, 65535, port) || pos != rest.size()) return false;
  out.host = rest.substr(0, colon);
  out.port = static_cast<uint16_t>(port);
  return true;
}

bool parse_scale(const std::string& filters, int& width, int& height) {
  size_t at = filters.find("scale=");
  while (at != std::string::npos && at != 0 && filters[at - 1] != ',')
    at = filters.find("scale=", at + 1);
  if (at == std::string::npos) return false;
  size_t pos = at + 6;
  long w = 0, h = 0;
  if (!read_positive(filters, pos, 65536, w) || pos >= filters.size() || filters[pos] != ':')
    return false;
  ++pos;
  if (!read_positive(filters, pos, 65536, h)) return false;
  if (pos < filters.size() && filters[pos] != ',' && filters[pos] != ':') return false;
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return true;
}

bool parse_invocation(const std::vector<std::string>& args, Invocation& out, std::string& error) {
  const std::string* input = value_after(args, "-i");
  if (!input) return fail(error, "no input given (-i)");
  out.input = *input;
  const std::string* filters = value_after(args, "-vf");
  if (!filters || !parse_scale(*filters, out.width, out.height))
    return fail(error, "no scale=W:H filter after -vf");
  out.video_filters = *filters;
  const std::string* audio_filters = value_after(args, "-af");
  out.audio_filters = audio_filters ? *audio_filters : std::string();
  out.outputs.clear();
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i].compare(0, 6, "tcp://") != 0) continue;
    Endpoint e;
    if (!parse_endpoint(args[i], e)) return fail(error, "bad output address " + args[i]);
    out.outputs.push_back(e);
  }
  if (out.outputs.empty()) return fail(error, "no tcp:// output given");
  return true;
}

bool parse_rtsp_input(const std::string& input, Endpoint& server, std::string& steering) {
  const std::string scheme = "rtsp://";
  if (input.compare(0, scheme.size(), scheme) != 0) return false;
  size_t slash = input.find('/', scheme.size());
  std::string authority = input.substr(scheme.size(), slash - scheme.size());
  authority = authority.substr(authority.rfind('@') + 1);  // npos + 1 is 0
  if (!parse_endpoint("tcp://" + authority, server)) return false;
  steering = "fake:" + (slash == std::string::npos ? std::string() : input.substr(slash + 1));
  return true;
}
