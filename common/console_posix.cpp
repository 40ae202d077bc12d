#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "console.h"

void console_start() { signal(SIGPIPE, SIG_IGN); }

int read_stdin(char* buffer, int capacity) {
  ssize_t n;
  do {
    n = read(0, buffer, static_cast<size_t>(capacity));
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}
