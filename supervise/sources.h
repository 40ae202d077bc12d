// The sources file -> plain settings. Errors come back as values that name
// the place in the file (a JSON pointer) and the problem.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "policy.h"
#include "probe.h"

// compare_sources tells a changed source by these fields: a new one goes there too.
struct Source {
  std::string name;
  std::string input;
  // 0: not given, zal-ndi-send's default applies.
  int32_t width = 0;
  int32_t height = 0;
  std::string fps;     // as --fps takes it: "30" or "30000/1001"; empty: not given
  std::string groups;  // the source's own, else the file's; empty: not given
  bool audio = true;
  bool probe = true;  // probe an rtsp:// camera's port while waiting to restart
  bool keep_alive = true;  // run with --keep-alive: the slate while the camera is away
  std::string slate;       // the source's own, else the file's; empty: the plain card
};

// The status server: off unless the file has an "http" section.
struct HttpSettings {
  bool enabled = false;
  std::string host;  // an IPv4 or IPv6 address, IPv6 without brackets
  uint16_t port = 0;
  std::string token;  // empty: none asked
};

struct SourcesFile {
  std::string program;  // empty: the default program
  std::string ffmpeg;   // empty: not passed
  std::string log;      // empty: no log file named
  std::string groups;   // for every source that names none; empty: not given
  std::string slate;    // for every keep-alive source that names none; empty: not given
  // Not read from the file: the supervisor's folder for each source's picture
  // (ending in a separator); empty: no pictures.
  std::string thumbnails;
  RestartSettings restart;
  HttpSettings http;
  std::vector<Source> sources;
};

struct SourcesError {
  std::string place;  // a JSON pointer, or a line and column for invalid JSON
  std::string problem;
};

// Parses the text of a sources file. Returns false and fills *error on the
// first problem found.
bool parse_sources(const std::string& text, SourcesFile* file, SourcesError* error);

// Reads and parses the file at path; an unreadable file is an error too.
bool load_sources(const std::string& path, SourcesFile* file, SourcesError* error);

// The one line for standard error: the file, the place and the problem.
std::string describe_error(const std::string& path, const SourcesError& error);

// How a newly read file differs from the running one, by source name: added
// and changed in the new file's order, removed in the running file's. A
// source changes with any of its fields, or with the program or ffmpeg that
// every source uses; restart settings and the log are no source's.
struct SourcesChange {
  std::vector<std::string> added;
  std::vector<std::string> removed;
  std::vector<std::string> changed;
  std::vector<std::string> unchanged;
};

SourcesChange compare_sources(const SourcesFile& running, const SourcesFile& next);

// A reload restarts the status server only when its section changed.
bool same_http(const HttpSettings& a, const HttpSettings& b);

// An address as "listen" takes it: IPv4 dotted, or IPv6 (without brackets).
// Fills *loopback (127.0.0.0/8, ::1, ::ffff:127.0.0.0/104); false for any other text.
bool read_address(const std::string& text, bool* loopback);

// Where a source's picture is kept in the folder: named by a hash of the name, so that
// no name can reach outside the folder or give a file name the system refuses.
std::string thumbnail_path(const std::string& folder, const std::string& name);

// The argument list of one source's zal-ndi-send, entry 0 being the program.
std::vector<std::string> source_args(const SourcesFile& file, const Source& source,
                                     const std::string& program);
