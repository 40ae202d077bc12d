#include "console.h"

void wait_stdin_end() {
  char buffer[4096];
  while (read_stdin(buffer, sizeof buffer) > 0) {
  }
}
