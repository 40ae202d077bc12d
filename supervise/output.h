// Where our lines go: standard output, and the log file when there is one.
// The log's faults end here. A lost log is said once on standard output and
// tried again with back-off as lines come (a running source gives one every
// 2 s); when it is back, a line says so in both, with how long it was lost.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "log_file.h"

class Output {
 public:
  static constexpr int64_t kFirstRetryMs = 1000;
  static constexpr int64_t kLastRetryMs = 30000;

  // Lines go to this open log as well from now on (nullptr: to none).
  void log_to(std::unique_ptr<LogFile> log);

  // The line and the platform's line end, to standard output and the log.
  void write(const std::string& line);

 private:
  void lose(const std::string& reason);
  void try_again();

  std::unique_ptr<LogFile> log_;
  bool lost_ = false;
  int64_t lost_at_ = 0;
  int64_t retry_at_ = 0;
  int64_t retry_ms_ = 0;
};
