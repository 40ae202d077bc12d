#include "log_file.h"

#include <cerrno>
#include <cstring>
#include <utility>

LogFile::LogFile(std::string path, int64_t limit, int keep)
    : path_(std::move(path)), limit_(limit), keep_(keep) {}

LogFile::~LogFile() {
  if (file_ != nullptr) fclose(file_);
}

bool LogFile::open(std::string* error) {
  // Binary: the caller gives the platform's line end itself.
  file_ = fopen(path_.c_str(), "ab");
  if (file_ == nullptr || fseek(file_, 0, SEEK_END) != 0) {
    *error = strerror(errno);
    if (file_ != nullptr) fclose(file_);
    file_ = nullptr;
    return false;
  }
  long size = ftell(file_);
  size_ = size > 0 ? size : 0;
  return true;
}

bool LogFile::write(const std::string& line) {
  if (size_ > 0 && size_ + static_cast<int64_t>(line.size()) > limit_) rotate();
  if (file_ == nullptr) return false;
  size_t n = fwrite(line.data(), 1, line.size(), file_);
  size_ += static_cast<int64_t>(n);
  return fflush(file_) == 0 && n == line.size();
}

// Each target is removed first: a rename onto an existing file fails on Windows.
void LogFile::rotate() {
  fclose(file_);
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
  std::string ignored;
  open(&ignored);
}
