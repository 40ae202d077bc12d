// The lines kept in a file as well: appended, flushed line by line, and
// rotated by size so that a box left alone for months keeps a bounded log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class LogFile {
 public:
  static constexpr int64_t kDefaultLimit = 10 * 1024 * 1024;
  static constexpr int kDefaultKeep = 3;  // log.1 to log.3 besides the log itself

  // At the limit the log becomes log.1, log.1 becomes log.2 and so on up to
  // log.<keep>; the oldest goes.
  explicit LogFile(std::string path, int64_t limit = kDefaultLimit, int keep = kDefaultKeep);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens the log for appending, again after a fault too; false with the
  // reason in *error when it cannot.
  bool open(std::string* error);

  // Appends one whole line with its line end, rotating first when it would
  // take the log past the limit; a line alone past the limit is still written.
  // False with the reason when the line did not reach the file whole (a failed
  // or short write, a rotation whose reopen failed): the log is closed then,
  // until open is called again.
  bool write(const std::string& line, std::string* error);

  const std::string& path() const { return path_; }

 private:
  bool rotate(std::string* error);
  void close();

  std::string path_;
  int64_t limit_;
  int keep_;
  FILE* file_ = nullptr;
  int64_t size_ = 0;
  bool ended_ = true;  // the file ends with a line end (or is empty)
};

// The platform's open for appending and reading back: on Linux, not through a
// link, kept from children and readable by the owner and group only; on
// Windows, kept from children. Null with the reason when it cannot.
FILE* open_log_file(const std::string& path, std::string* error);
