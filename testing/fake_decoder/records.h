// Records for tests under $ZAL_FAKE_LOG: args.json, pid, fds.json and an events file.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

class EventLog {
 public:
  EventLog() = default;
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;
  ~EventLog();
  bool open(const std::string& path);
  // Appends one line and flushes it so waiting tests see it at once; no-op when closed.
  void line(const std::string& text);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

std::string json_string(const std::string& s);
// Writes the start records when ZAL_FAKE_LOG is set and opens the events file.
void write_start_records(const std::vector<std::string>& args, EventLog& events);
