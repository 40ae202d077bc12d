#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log_file.h"

// Without a link followed, a log left where others may write cannot be
// pointed elsewhere; the mode holds outside systemd, which gives none.
FILE* open_log_file(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) {
    *error = strerror(errno);
    return nullptr;
  }
  FILE* file = fdopen(fd, "a+b");
  if (file == nullptr) {
    *error = strerror(errno);
    close(fd);
  }
  return file;
}
