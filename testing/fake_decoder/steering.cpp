#include "steering.h"

#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "content.h"

namespace {

bool fail(std::string& error, const std::string& message) {
  error = message;
  return false;
}

bool to_u64(const std::string& v, uint64_t& out) {
  if (v.empty() || v.size() > 19) return false;
  out = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

bool to_flag(const std::string& v, bool& out) {
  if (v != "0" && v != "1") return false;
  out = v == "1";
  return true;
}

template <typename T>
bool to_bounded(const std::string& v, uint64_t lo, uint64_t hi, T& out) {
  uint64_t n = 0;
  if (!to_u64(v, n) || n < lo || n > hi) return false;
  out = static_cast<T>(n);
  return true;
}

bool to_rate(const std::string& v, double& out) {
  char* end = nullptr;
  out = std::strtod(v.c_str(), &end);
  return !v.empty() && *end == '\0' && std::isfinite(out) && out >= 0;
}

bool to_connect(const std::string& v, Connect& out) {
  if (v == "both")
    out = Connect::both;
  else if (v == "video")
    out = Connect::video;
  else if (v == "none")
    out = Connect::none;
  else
    return false;
  return true;
}

using Setter = std::function<bool(Settings&, const std::string&)>;

const std::map<std::string, Setter>& setters() {
  static const uint64_t kMaxSize = uint64_t{1} << 40;
  static const std::map<std::string, Setter> table = {
      {"frames", [](Settings& s, const std::string& v) { return to_u64(v, s.frames); }},
      {"blocks", [](Settings& s, const std::string& v) { return to_u64(v, s.blocks); }},
      {"forever", [](Settings& s, const std::string& v) { return to_flag(v, s.forever); }},
      {"fps", [](Settings& s, const std::string& v) { return to_rate(v, s.fps); }},
      {"chunk",
       [](Settings& s, const std::string& v) { return to_bounded(v, 0, kMaxSize, s.chunk); }},
      {"batch", [](Settings& s, const std::string& v) { return to_bounded(v, 1, 4096, s.batch); }},
      {"vpartial",
       [](Settings& s, const std::string& v) { return to_bounded(v, 0, kMaxSize, s.vpartial); }},
      {"apartial",
       [](Settings& s, const std::string& v) { return to_bounded(v, 0, kMaxSize, s.apartial); }},
      {"connect", [](Settings& s, const std::string& v) { return to_connect(v, s.connect); }},
      {"delay_ms", [](Settings& s, const std::string& v) { return to_u64(v, s.delay_ms); }},
      {"vlag_ms", [](Settings& s, const std::string& v) { return to_u64(v, s.vlag_ms); }},
      {"hang", [](Settings& s, const std::string& v) { return to_flag(v, s.hang); }},
      {"hold_ms", [](Settings& s, const std::string& v) { return to_u64(v, s.hold_ms); }},
      {"orphan_ms", [](Settings& s, const std::string& v) { return to_u64(v, s.orphan_ms); }},
      {"out",
       [](Settings& s, const std::string& v) {
         s.out = v;
         return true;
       }},
      {"err",
       [](Settings& s, const std::string& v) {
         s.err = v;
         return true;
       }},
      {"exit",
       [](Settings& s, const std::string& v) { return to_bounded(v, 0, 255, s.exit_code); }},
      {"signal", [](Settings& s, const std::string& v) { return to_bounded(v, 1, 64, s.signal); }},
      {"stamp", [](Settings& s, const std::string& v) { return to_flag(v, s.stamp); }},
  };
  return table;
}

bool apply(Settings& s, const std::string& item, std::string& error) {
  size_t eq = item.find('=');
  if (eq == std::string::npos) return fail(error, "setting without '=': " + item);
  const std::string key = item.substr(0, eq);
  auto it = setters().find(key);
  if (it == setters().end()) return fail(error, "unknown setting: " + key);
  if (!it->second(s, item.substr(eq + 1))) return fail(error, "bad value for " + key);
  return true;
}

}  // namespace

bool parse_settings(const std::string& input, bool has_audio, Settings& s, std::string& error) {
  const std::string scheme = "fake:";
  if (input.compare(0, scheme.size(), scheme) != 0)
    return fail(error, input + ": not a fake: address, cannot open input");
  s = Settings{};
  s.connect = has_audio ? Connect::both : Connect::video;
  bool blocks_given = false;
  size_t pos = scheme.size();
  while (pos <= input.size()) {
    size_t end = input.find(';', pos);
    if (end == std::string::npos) end = input.size();
    std::string item = input.substr(pos, end - pos);
    if (!item.empty() && !apply(s, item, error)) return false;
    blocks_given = blocks_given || item.compare(0, 7, "blocks=") == 0;
    pos = end + 1;
  }
  if (!blocks_given) s.blocks = s.frames;
  return true;
}

bool check_settings(const Settings& s, bool has_audio, size_t frame_size, std::string& error) {
  if (s.connect == Connect::both && !has_audio)
    return fail(error, "connect=both needs an audio output");
  if (s.vpartial >= frame_size) return fail(error, "vpartial must be below the frame size");
  if (s.apartial >= kAudioBlockBytes) return fail(error, "apartial must be below the block size");
  if (s.stamp && frame_size < 8) return fail(error, "stamp needs frames of at least 8 bytes");
  return true;
}
