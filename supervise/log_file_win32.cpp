#include <cerrno>
#include <cstring>

#include "log_file.h"

// N: not inherited, so a child started while it is open cannot hold it.
FILE* open_log_file(const std::string& path, std::string* error) {
  FILE* file = fopen(path.c_str(), "a+bN");
  if (file == nullptr) *error = strerror(errno);
  return file;
}
