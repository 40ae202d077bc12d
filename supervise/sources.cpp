#include "sources.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "address.h"
#include "numbers.h"
#include "redact.h"

using nlohmann::json;

namespace {

// The first problem found stops the walk: each check returns false after
// filling the error.
struct Walk {
  SourcesError* error;

  bool fail(const std::string& place, const std::string& problem) {
    error->place = place;
    error->problem = problem;
    return false;
  }
};

std::string child_pointer(const std::string& parent, const std::string& key) {
  std::string escaped;
  for (char c : key) {
    if (c == '~') {
      escaped += "~0";
    } else if (c == '/') {
      escaped += "~1";
    } else {
      escaped += c;
    }
  }
  return parent + "/" + escaped;
}

bool only_known_keys(Walk* walk, const json& object, const std::string& place,
                     const std::set<std::string>& known) {
  for (const auto& item : object.items()) {
    if (known.count(item.key()) == 0) return walk->fail(child_pointer(place, item.key()), "unknown key");
  }
  return true;
}

// A text handed to a child as one argument: not empty, and no NUL, which an
// argument cannot carry.
bool read_text(Walk* walk, const json& value, const std::string& place, std::string* out) {
  if (!value.is_string()) return walk->fail(place, "must be a string");
  const std::string& text = value.get_ref<const std::string&>();
  if (text.empty()) return walk->fail(place, "must not be empty");
  if (text.find('\0') != std::string::npos) return walk->fail(place, "must not contain a NUL character");
  *out = text;
  return true;
}

bool read_seconds(Walk* walk, const json& value, const std::string& place, double least,
                  int64_t* ms) {
  if (!value.is_number()) return walk->fail(place, "must be a number of seconds");
  double seconds = value.get<double>();
  if (!(seconds >= least && seconds <= 86400)) {
    std::ostringstream range;
    range << "must be from " << least << " to 86400";
    return walk->fail(place, range.str());
  }
  *ms = std::llround(seconds * 1000);
  return true;
}

bool read_restart(Walk* walk, const json& value, RestartSettings* restart) {
  const std::string place = "/restart";
  if (!value.is_object()) return walk->fail(place, "must be an object");
  if (!only_known_keys(walk, value, place,
                       {"first_delay_s", "max_delay_s", "healthy_after_s", "stall_after_s"})) {
    return false;
  }
  struct Field {
    const char* key;
    double least;
    int64_t* ms;
  };
  // A stall needs at least one missed status line, and they come every 2 s.
  const Field fields[] = {{"first_delay_s", 0.001, &restart->first_delay_ms},
                          {"max_delay_s", 0.001, &restart->max_delay_ms},
                          {"healthy_after_s", 0.001, &restart->healthy_after_ms},
                          {"stall_after_s", 3, &restart->stall_after_ms}};
  for (const Field& field : fields) {
    auto found = value.find(field.key);
    if (found == value.end()) continue;
    if (!read_seconds(walk, *found, child_pointer(place, field.key), field.least, field.ms)) {
      return false;
    }
  }
  if (restart->max_delay_ms < restart->first_delay_ms) {
    return walk->fail("/restart/max_delay_s", "must not be below first_delay_s");
  }
  return true;
}

bool read_count(Walk* walk, const json& value, const std::string& place, bool even,
                int32_t* out) {
  if (!value.is_number_integer()) return walk->fail(place, "must be an integer");
  // Positive numbers are held unsigned; anything past the 32-bit range is just too big.
  int64_t n = -1;
  if (value.is_number_unsigned()) {
    if (value.get<uint64_t>() <= INT32_MAX) n = static_cast<int64_t>(value.get<uint64_t>());
  } else {
    n = value.get<int64_t>();
  }
  if (n < 1 || n > INT32_MAX) return walk->fail(place, "must be from 1 to 2147483647");
  if (even && n % 2 != 0) return walk->fail(place, "must be even");
  *out = static_cast<int32_t>(n);
  return true;
}

// An integer, a decimal or a text, each in a form --fps takes, without its
// decimal-prefix leniency; passed on as "N" or "N/D".
bool read_rate(Walk* walk, const json& value, const std::string& place, std::string* out) {
  // A number's text is its shortest exact form: 29.97 reads back as "29.97", 1e20 keeps its e.
  std::string text;
  if (value.is_string()) text = value.get<std::string>();
  if (value.is_number()) text = value.dump();
  bool plain = !text.empty() && text[0] >= '0' && text[0] <= '9' &&
               text.find_first_not_of("0123456789./") == std::string::npos;
  FrameRate rate = {0, 0};
  if (!plain || !read_frame_rate(text.c_str(), &rate) || rate.numerator <= 0 ||
      rate.denominator <= 0) {
    return walk->fail(place, "must be a frame rate: a positive integer, \"N/D\", 23.976, 29.97 "
                             "or 59.94");
  }
  *out = frame_rate_text(rate);
  return true;
}

bool read_source(Walk* walk, const json& value, const std::string& place, Source* source) {
  if (!value.is_object()) return walk->fail(place, "must be an object");
  if (!only_known_keys(walk, value, place,
                       {"name", "input", "width", "height", "fps", "groups", "audio", "probe",
                        "keep_alive", "slate"})) {
    return false;
  }
  for (const char* required : {"name", "input"}) {
    if (!value.contains(required)) return walk->fail(child_pointer(place, required), "is missing");
  }
  if (!read_text(walk, value["name"], place + "/name", &source->name)) return false;
  if (!read_text(walk, value["input"], place + "/input", &source->input)) return false;
  struct Count {
    const char* key;
    bool even;
    int32_t* out;
  };
  const Count counts[] = {{"width", true, &source->width}, {"height", true, &source->height}};
  for (const Count& count : counts) {
    auto found = value.find(count.key);
    if (found == value.end()) continue;
    if (!read_count(walk, *found, child_pointer(place, count.key), count.even, count.out)) {
      return false;
    }
  }
  if (value.contains("fps") && !read_rate(walk, value["fps"], place + "/fps", &source->fps)) {
    return false;
  }
  if (value.contains("groups") &&
      !read_text(walk, value["groups"], place + "/groups", &source->groups)) {
    return false;
  }
  const std::pair<const char*, bool*> flags[] = {
      {"audio", &source->audio}, {"probe", &source->probe}, {"keep_alive", &source->keep_alive}};
  for (const auto& flag : flags) {
    auto found = value.find(flag.first);
    if (found == value.end()) continue;
    if (!found->is_boolean()) return walk->fail(child_pointer(place, flag.first), "must be true or false");
    *flag.second = found->get<bool>();
  }
  if (!value.contains("slate")) return true;
  // zal-ndi-send refuses a slate without keep-alive: say so here, with its place.
  if (!source->keep_alive) return walk->fail(place + "/slate", "needs keep_alive");
  return read_text(walk, value["slate"], place + "/slate", &source->slate);
}

// The file's groups and slate go to every source that names none of its own.
bool read_sources(Walk* walk, const json& value, const std::string& groups,
                  const std::string& slate, std::vector<Source>* sources) {
  if (!value.is_array()) return walk->fail("/sources", "must be an array");
  if (value.empty()) return walk->fail("/sources", "must list at least one source");
  for (size_t i = 0; i < value.size(); ++i) {
    std::string place = "/sources/" + std::to_string(i);
    Source source;
    if (!read_source(walk, value[i], place, &source)) return false;
    if (source.groups.empty()) source.groups = groups;
    if (source.slate.empty() && source.keep_alive) source.slate = slate;
    for (size_t j = 0; j < sources->size(); ++j) {
      if ((*sources)[j].name == source.name) {
        return walk->fail(place + "/name", "duplicate of /sources/" + std::to_string(j) + "/name");
      }
    }
    sources->push_back(source);
  }
  return true;
}

// Four decimal parts of 0 to 255, no leading zeros (some read those as octal).
bool read_ipv4(const std::string& text, uint8_t bytes[4]) {
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (at >= text.size() || text[at++] != '.')) return false;
    size_t end = at;
    while (end < text.size() && isdigit(static_cast<unsigned char>(text[end])) && end - at < 4) ++end;
    if (end == at || end - at > 3 || (end - at > 1 && text[at] == '0')) return false;
    int n = std::stoi(text.substr(at, end - at));
    if (n > 255) return false;
    bytes[part] = static_cast<uint8_t>(n);
    at = end;
  }
  return at == text.size();
}

// "host:port", an IPv6 host in brackets; the port from 1 to 65535.
bool read_listen(const std::string& text, HttpSettings* http, bool* loopback) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon);
  std::string port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    if (host.find(':') == std::string::npos) return false;
  } else if (host.find(':') != std::string::npos) {
    return false;
  }
  uint16_t number = 0;
  if (port.empty() || !read_port(port, &number)) return false;
  if (!read_address(host, loopback)) return false;
  http->host = host;
  http->port = number;
  return true;
}

// Sent in a header: visible ASCII only.
bool read_token(Walk* walk, const json& value, bool loopback, std::string* token) {
  const std::string place = "/http/token";
  if (!read_text(walk, value, place, token)) return false;
  for (unsigned char c : *token) {
    if (c < 0x21 || c > 0x7e) return walk->fail(place, "must be visible ASCII characters only");
  }
  if (!loopback && token->size() < 16) {
    return walk->fail(place, "must be at least 16 characters when listen is not a loopback address");
  }
  return true;
}

bool read_http(Walk* walk, const json& value, HttpSettings* http) {
  const std::string place = "/http";
  if (!value.is_object()) return walk->fail(place, "must be an object");
  if (!only_known_keys(walk, value, place, {"listen", "token"})) return false;
  if (!value.contains("listen")) return walk->fail("/http/listen", "is missing");
  std::string listen;
  if (!read_text(walk, value["listen"], "/http/listen", &listen)) return false;
  bool loopback = false;
  if (!read_listen(listen, http, &loopback)) {
    return walk->fail("/http/listen", "must be an address and a port, as 127.0.0.1:8080 or [::1]:8080");
  }
  if (value.contains("token")) {
    if (!read_token(walk, value["token"], loopback, &http->token)) return false;
  } else if (!loopback) {
    return walk->fail("/http/token", "is required when listen is not a loopback address");
  }
  http->enabled = true;
  return true;
}

bool read_file(Walk* walk, const json& root, SourcesFile* file) {
  if (!root.is_object()) return walk->fail("", "must be an object");
  if (!only_known_keys(
          walk, root, "",
          {"program", "ffmpeg", "log", "groups", "slate", "restart", "http", "sources"})) {
    return false;
  }
  if (root.contains("program") && !read_text(walk, root["program"], "/program", &file->program)) {
    return false;
  }
  if (root.contains("ffmpeg") && !read_text(walk, root["ffmpeg"], "/ffmpeg", &file->ffmpeg)) {
    return false;
  }
  if (root.contains("log") && !read_text(walk, root["log"], "/log", &file->log)) return false;
  if (root.contains("groups") && !read_text(walk, root["groups"], "/groups", &file->groups)) {
    return false;
  }
  if (root.contains("slate") && !read_text(walk, root["slate"], "/slate", &file->slate)) {
    return false;
  }
  if (root.contains("restart") && !read_restart(walk, root["restart"], &file->restart)) return false;
  if (root.contains("http") && !read_http(walk, root["http"], &file->http)) return false;
  if (!root.contains("sources")) return walk->fail("/sources", "is missing");
  return read_sources(walk, root["sources"], file->groups, file->slate, &file->sources);
}

// nlohmann's message without its "[json.exception...] " prefix, and without
// the text it last read: that may stop inside a password, where no masking
// can tell it is one. The line and column say where to look.
std::string plain_message(const char* what) {
  std::string message = what;
  size_t end = message.find("] ");
  if (end != std::string::npos) message = message.substr(end + 2);
  return message.substr(0, message.find("; last read: "));
}

}  // namespace

bool parse_sources(const std::string& text, SourcesFile* file, SourcesError* error) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::exception& e) {  // a number past a double's range is out_of_range, not parse_error
    error->place = "";
    error->problem = "invalid JSON: " + plain_message(e.what());
    return false;
  }
  Walk walk{error};
  *file = SourcesFile();
  return read_file(&walk, root, file);
}

bool load_sources(const std::string& path, SourcesFile* file, SourcesError* error) {
  FILE* in = fopen(path.c_str(), "rb");
  std::string text;
  if (in != nullptr) {
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
  }
  int failure = in == nullptr ? errno : (ferror(in) ? (errno != 0 ? errno : EIO) : 0);
  if (in != nullptr) fclose(in);
  if (in == nullptr || failure != 0) {
    error->place = "";
    error->problem = std::string("cannot be read (") + strerror(failure) + ")";
    return false;
  }
  return parse_sources(text, file, error);
}

namespace {

// A key may hold any character: the message stays one line, its controls written as \u00XX.
std::string one_line(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    char escaped[8];
    snprintf(escaped, sizeof escaped, "\\u%04x", c);
    out += escaped;
  }
  return out;
}

}  // namespace

std::string describe_error(const std::string& path, const SourcesError& error) {
  std::string place = error.place.empty() ? "" : error.place + ": ";
  return mask_credentials(one_line(path + ": " + place + error.problem));
}

namespace {

bool same_source(const Source& a, const Source& b) {
  return a.name == b.name && a.input == b.input && a.width == b.width && a.height == b.height &&
         a.fps == b.fps && a.groups == b.groups && a.audio == b.audio && a.probe == b.probe &&
         a.keep_alive == b.keep_alive && a.slate == b.slate;
}

const Source* find_source(const SourcesFile& file, const std::string& name) {
  for (const Source& source : file.sources) {
    if (source.name == name) return &source;
  }
  return nullptr;
}

}  // namespace

SourcesChange compare_sources(const SourcesFile& running, const SourcesFile& next) {
  SourcesChange change;
  bool shared_changed = running.program != next.program || running.ffmpeg != next.ffmpeg;
  for (const Source& source : next.sources) {
    const Source* before = find_source(running, source.name);
    if (before == nullptr) {
      change.added.push_back(source.name);
    } else if (shared_changed || !same_source(*before, source)) {
      change.changed.push_back(source.name);
    } else {
      change.unchanged.push_back(source.name);
    }
  }
  for (const Source& source : running.sources) {
    if (find_source(next, source.name) == nullptr) change.removed.push_back(source.name);
  }
  return change;
}

bool same_http(const HttpSettings& a, const HttpSettings& b) {
  return a.enabled == b.enabled && a.host == b.host && a.port == b.port && a.token == b.token;
}

bool read_address(const std::string& text, bool* loopback) {
  uint8_t bytes[16];
  if (read_ipv4(text, bytes)) {
    *loopback = bytes[0] == 127;
    return true;
  }
  if (!ipv6_bytes(text, bytes)) return false;
  static const uint8_t one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  *loopback = memcmp(bytes, one, 16) == 0 || (memcmp(bytes, mapped, 12) == 0 && bytes[12] == 127);
  return true;
}

std::string thumbnail_path(const std::string& folder, const std::string& name) {
  // 64-bit FNV-1a: eight cameras, or eight hundred, do not meet by chance.
  uint64_t hash = 0xcbf29ce484222325u;
  for (char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  char hex[17];
  snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return folder + hex + ".jpg";
}

std::vector<std::string> source_args(const SourcesFile& file, const Source& source,
                                     const std::string& program) {
  std::vector<std::string> args = {program, "--input", source.input, "--name", source.name};
  const std::pair<const char*, std::string> values[] = {
      {"--width", source.width == 0 ? "" : std::to_string(source.width)},
      {"--height", source.height == 0 ? "" : std::to_string(source.height)},
      {"--fps", source.fps},
      {"--groups", source.groups}};
  for (const auto& value : values) {
    if (value.second.empty()) continue;
    args.push_back(value.first);
    args.push_back(value.second);
  }
  if (!source.audio) args.push_back("--no-audio");
  if (source.keep_alive) args.push_back("--keep-alive");
  args.push_back("--decoder-log");
  if (!source.slate.empty()) {
    args.push_back("--slate");
    args.push_back(source.slate);
  }
  if (!file.ffmpeg.empty()) {
    args.push_back("--ffmpeg");
    args.push_back(file.ffmpeg);
  }
  if (!file.thumbnails.empty()) {
    args.push_back("--thumbnail");
    args.push_back(thumbnail_path(file.thumbnails, source.name));
  }
  return args;
}
