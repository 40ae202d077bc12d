// parse_sources on arbitrary text: a good file must hold what the loop and
// the children rely on, and a bad one must give one line for standard error.
// Input: the file's text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "sources.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  fprintf(stderr, "fuzz_sources: %s [%s]\n", what, detail.c_str());
  abort();
}

void check_error(const SourcesError& error) {
  if (error.problem.empty()) fail("an error without a problem", error.place);
  std::string line = describe_error("sources.json", error);
  if (line.find_first_of("\r\n") != std::string::npos) fail("an error of more than one line", line);
}

void check_http(const HttpSettings& http) {
  if (!http.enabled) return;
  if (http.port == 0) fail("listening on port 0", http.host);
  bool loopback = false;
  if (!read_address(http.host, &loopback)) fail("a listen address it cannot read again", http.host);
  if (!loopback && http.token.size() < 16) fail("a short token off loopback", http.token);
  for (unsigned char c : http.token) {
    if (c < 0x21 || c > 0x7e) fail("a token byte a header cannot carry", http.token);
  }
}

void check_file(const SourcesFile& file) {
  if (file.sources.empty()) fail("no sources", "");
  const RestartSettings& r = file.restart;
  if (r.first_delay_ms <= 0 || r.max_delay_ms < r.first_delay_ms || r.stall_after_ms < 3000) {
    fail("restart settings out of range", std::to_string(r.first_delay_ms));
  }
  check_http(file.http);
  std::set<std::string> names;
  for (const Source& source : file.sources) {
    if (!names.insert(source.name).second) fail("a duplicate name", source.name);
    if (source.width < 0 || source.height < 0) fail("a negative size", source.name);
    if (source.width % 2 != 0 || source.height % 2 != 0) fail("an odd frame size", source.name);
    // Every argument reaches the child whole: none empty, none with a NUL.
    for (const std::string& arg : source_args(file, source, "zal-ndi-send")) {
      if (arg.empty() || arg.find('\0') != std::string::npos) fail("an argument a child cannot get", arg);
    }
    ProbeTarget target;
    if (probe_target(source.input, &target) && (target.host.empty() || target.port == 0)) {
      fail("a probe with no host or port", source.input);
    }
  }
  SourcesChange same = compare_sources(file, file);
  if (!same.added.empty() || !same.removed.empty() || !same.changed.empty() ||
      same.unchanged.size() != file.sources.size()) {
    fail("a file differs from itself", "");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  SourcesFile file;
  SourcesError error;
  if (parse_sources(text, &file, &error)) {
    check_file(file);
  } else {
    check_error(error);
  }
  return 0;
}
