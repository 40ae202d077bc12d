#include "output.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>

#include "clock.h"
#include "platform.h"

namespace {

using nlohmann::ordered_json;

std::string dump(const ordered_json& line) {
  return line.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

std::string lost_line(const std::string& path, const std::string& reason) {
  ordered_json line;
  line["event"] = "log";
  line["state"] = "lost";
  line["path"] = path;
  line["reason"] = reason;
  return dump(line);
}

std::string back_line(const std::string& path, int64_t lost_ms) {
  ordered_json line;
  line["event"] = "log";
  line["state"] = "back";
  line["path"] = path;
  line["lost_s"] = std::round(lost_ms / 100.0) / 10.0;
  return dump(line);
}

}  // namespace

void Output::log_to(std::unique_ptr<LogFile> log) {
  log_ = std::move(log);
  lost_ = false;
}

void Output::write(const std::string& line) {
  if (log_ != nullptr && lost_) try_again();
  std::string whole = line + line_end();
  write_stdout(whole);
  if (log_ == nullptr || lost_) return;
  std::string why;
  if (!log_->write(whole, &why)) lose(why);
}

void Output::lose(const std::string& reason) {
  lost_ = true;
  lost_at_ = steady_now_ms();
  retry_ms_ = kFirstRetryMs;
  retry_at_ = lost_at_ + retry_ms_;
  write_stdout(lost_line(log_->path(), reason) + line_end());
}

// The log is back once it opens and takes the line that says so.
void Output::try_again() {
  int64_t now = steady_now_ms();
  if (now < retry_at_) return;
  std::string back = back_line(log_->path(), now - lost_at_) + line_end();
  std::string why;
  if (log_->open(&why) && log_->write(back, &why)) {
    lost_ = false;
    write_stdout(back);
    return;
  }
  retry_ms_ = std::min(retry_ms_ * 2, kLastRetryMs);
  retry_at_ = now + retry_ms_;
}
