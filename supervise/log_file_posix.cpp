#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log_file.h"

// Without a link followed, a log left where others may write cannot be
// pointed elsewhere; the mode holds outside systemd, which gives none. Not
// blocking: a FIFO in the log's place must not hold up the loop, and only a
// regular file is taken.
FILE* open_log_file(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0640);
  if (fd < 0) {
    *error = strerror(errno);
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = "not a regular file";
    close(fd);
    return nullptr;
  }
  fcntl(fd, F_SETFL, O_APPEND);
  FILE* file = fdopen(fd, "a+b");
  if (file == nullptr) {
    *error = strerror(errno);
    close(fd);
  }
  return file;
}
