#include "records.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "proc.h"

namespace {

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string json_array(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + json_string(items[i]);
  return out + "]";
}

}  // namespace

EventLog::~EventLog() {
  if (file_) std::fclose(file_);
}

bool EventLog::open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "a");
  return file_ != nullptr;
}

void EventLog::line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return;
  std::fputs((text + "\n").c_str(), file_);
  std::fflush(file_);
}

// Bytes of 0x80 and above become \u00XX, as if the argument were Latin-1.
std::string json_string(const std::string& s) {
  static const char* hex = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void write_start_records(const std::vector<std::string>& args, EventLog& events) {
  const char* dir_env = std::getenv("ZAL_FAKE_LOG");
  if (!dir_env || !*dir_env) return;
  const std::filesystem::path dir(dir_env);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  // Descriptors first, before this process opens any file of its own.
  const std::string fds = descriptor_report_json();
  write_file(dir / "fds.json", fds + "\n");
  write_file(dir / "args.json", json_array(args) + "\n");
  write_file(dir / "pid", std::to_string(process_id()) + "\n");
  events.open((dir / "events").string());
}
