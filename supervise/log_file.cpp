#include "log_file.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// A line cut short by an earlier fault is ended with the next line's own line
// end, so that the next line stays whole.
std::string line_end_of(const std::string& line) {
  size_t n = line.size();
  return n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n' ? "\r\n" : "\n";
}

}  // namespace

LogFile::LogFile(std::string path, int64_t limit, int keep)
    : path_(std::move(path)), limit_(limit), keep_(keep) {}

LogFile::~LogFile() { close(); }

void LogFile::close() {
  if (file_ != nullptr) fclose(file_);
  file_ = nullptr;
}

bool LogFile::open(std::string* error) {
  close();
  // Binary: the caller gives the platform's line end itself.
  FILE* file = open_log_file(path_, error);
  if (file == nullptr) return false;
  if (fseek(file, 0, SEEK_END) != 0) {
    *error = strerror(errno);
    fclose(file);
    return false;
  }
  long size = ftell(file);
  size_ = size > 0 ? size : 0;
  ended_ = size_ == 0 || (fseek(file, -1, SEEK_END) == 0 && fgetc(file) == '\n');
  // Between a read and a write the stream must be positioned.
  fseek(file, 0, SEEK_END);
  file_ = file;
  return true;
}

bool LogFile::write(const std::string& line, std::string* error) {
  if (file_ == nullptr) {
    *error = "not open";
    return false;
  }
  if (size_ > 0 && size_ + static_cast<int64_t>(line.size()) > limit_ && !rotate(error)) return false;
  std::string whole = ended_ ? line : line_end_of(line) + line;
  errno = 0;
  size_t n = fwrite(whole.data(), 1, whole.size(), file_);
  bool flushed = fflush(file_) == 0;
  size_ += static_cast<int64_t>(n);
  if (n == whole.size() && flushed) {
    if (!whole.empty()) ended_ = whole.back() == '\n';
    return true;
  }
  *error = errno != 0 ? std::string("write: ") + strerror(errno) : "short write";
  close();
  return false;
}

// Each target is removed first: a rename onto an existing file fails on Windows.
bool LogFile::rotate(std::string* error) {
  close();
  std::string oldest = path_ + "." + std::to_string(keep_);
  std::remove(oldest.c_str());
  for (int i = keep_ - 1; i >= 1; --i) {
    std::rename((path_ + "." + std::to_string(i)).c_str(),
                (path_ + "." + std::to_string(i + 1)).c_str());
  }
  if (keep_ >= 1) {
    std::rename(path_.c_str(), (path_ + ".1").c_str());
  } else {
    std::remove(path_.c_str());
  }
  // Should the rename fail (a reader holding it on Windows), the same file goes on.
  if (open(error)) return true;
  *error = "reopen after rotation: " + *error;
  return false;
}
