// A child's output, cut into lines and tagged with its source: however the
// bytes come in, the same lines come out, each within the limit, and each
// tagged line is one JSON object with our source as its first key.
// Input: a byte choosing the line limit (1 to 256), a byte choosing the size of
// the pieces the output comes in (1 to 64), then the output.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "lines.h"

namespace {

using nlohmann::ordered_json;

[[noreturn]] void fail(const char* what, const std::string& line) {
  fprintf(stderr, "fuzz_lines: %s\nline: [%s]\n", what, line.c_str());
  abort();
}

std::vector<std::string> split(const std::string& output, size_t limit, size_t piece) {
  LineSplitter splitter(limit);
  std::vector<std::string> lines;
  for (size_t at = 0; at < output.size(); at += piece) {
    size_t n = std::min(piece, output.size() - at);
    for (std::string& line : splitter.feed(output.data() + at, n)) lines.push_back(std::move(line));
  }
  lines.push_back(splitter.rest());
  return lines;
}

// Bytes from 0x80 up are masked, as read_line does: a cut may leave half a character.
std::string masked(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  return text;
}

void check_tagged(const std::string& line) {
  const std::string source = "cam \"1\"";
  LineInfo info = read_line(line);
  std::string tagged = tag_line(source, line, info);
  // No JSON text holds a raw NUL or line end, wherever it stands.
  if (tagged.find_first_of(std::string("\n\0", 2)) != std::string::npos) fail("a NUL or LF in a line", tagged);
  ordered_json parsed = ordered_json::parse(masked(tagged), nullptr, false);
  if (!parsed.is_object() || parsed.empty()) fail("not a JSON object", tagged);
  auto first = parsed.begin();
  if (first.key() != "source" || *first != masked(source)) fail("not our source first", tagged);
  if (!info.object && parsed.value("event", "") != "output") fail("text not as an output event", tagged);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t limit = 1 + data[0];
  const size_t piece = 1 + data[1] % 64;
  const std::string output(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::vector<std::string> whole = split(output, limit, output.size() + 1);
  if (split(output, limit, piece) != whole) fail("lines depend on how the output came", output);
  for (const std::string& line : whole) {
    if (line.size() > limit) fail("a line past the limit", line);
    if (line.find('\n') != std::string::npos) fail("a line end within a line", line);
    check_tagged(line);
  }
  return 0;
}
