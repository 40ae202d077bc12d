#include "stdin_stop.h"

#include "console.h"
#include "decoder.h"
#include "state.h"

int stdin_thread(void*) {
  char line[256];
  while (read_stdin(line, sizeof line) > 0) {
  }
  // Raised before the kill, so the main thread sees it when the decoder's end wakes it.
  gStop.exchange(1);
  kill_child();
  return 0;
}
