#include "stdin_stop.h"

#include "console.h"
#include "decoder.h"
#include "state.h"

int stdin_thread(void*) {
  wait_stdin_end();
  // Raised before the kill, so the main thread sees it when the decoder's end wakes it.
  gStop.exchange(1);
  kill_child();
  return 0;
}
