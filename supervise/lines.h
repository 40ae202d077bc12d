// The lines on standard output: a child's lines with its source put first,
// and the supervisor's own; and the one-line summary for the service manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "states.h"

// Cuts a child's output into lines, without their LF or CR LF. A line longer
// than the limit keeps only its start, so a child cannot make us hold more.
class LineSplitter {
 public:
  explicit LineSplitter(size_t limit = 65536) : limit_(limit) {}
  // The whole lines that these bytes complete.
  std::vector<std::string> feed(const char* bytes, size_t size);
  // What is left without a line end, at the end of the output (may be empty).
  std::string rest();

 private:
  std::string pending_;
  size_t limit_;
  bool cut_ = false;  // the pending line reached the limit
};

// What the supervisor reads from a child's line.
struct LineInfo {
  bool object = false;  // a JSON object
  std::string event;    // its "event", when a string
  double fps = 0;       // its "fps", when a number
  int64_t connections = 0;  // its "connections", when an integer
  // From a zal-ndi-send --keep-alive: which picture goes out ("camera" or
  // "slate"), the slate line's words, and its count of decoders started again.
  std::string picture;
  std::string message;
  std::string cause;  // the slate's
  int64_t decoder_restarts = -1;  // -1: not in the line
  std::string text;   // a decoder line's (--decoder-log), as it came
};

LineInfo read_line(const std::string& line);

// The child's line with "source" as its first key. Its own keys and values are
// left as they are, but for credentials in its texts, which are masked; a line
// that is no JSON object comes, masked, as the text of an "output" event.
std::string tag_line(const std::string& source, const std::string& line, const LineInfo& info);

std::string restart_line(const std::string& source, const std::string& reason, int64_t delay_ms);
std::string given_up_line(const std::string& source, const std::string& reason);

// An action a client of the status server asked for, and who asked.
std::string action_line(const std::string& source, const std::string& action, const std::string& peer);

// After a reload: what it added, removed and changed, by source name.
std::string reloaded_line(const std::vector<std::string>& added, const std::vector<std::string>& removed,
                          const std::vector<std::string>& changed);
// A reload whose file is bad: the message names the file, the place and the problem.
std::string reload_failed_line(const std::string& message);

// The status server away ("unavailable": why, and when it tries again) or
// back ("listening"); reason is empty for the latter.
std::string http_line(const std::string& state, const std::string& listen, const std::string& reason,
                      int64_t retry_ms);

// "4 sources: 3 streaming, 1 waiting": the counts that are not 0, by the
// states' labels, in the order of their table.
std::string status_summary(const std::vector<SourceState>& states);
