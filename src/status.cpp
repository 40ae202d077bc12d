#include "status.h"
#include "status_testing.h"

#include <chrono>
#include <thread>

#include "ZALNDI.h"
#include "events.h"
#include "options.h"
#include "state.h"

namespace {

// Waits in short steps so a stop is noticed within one step.
void wait_interval(int waits, int wait_ms) {
  for (int i = 0; i < waits && gStop.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
  }
}

void report() {
  int32_t count = gFrames.exchange(0);
  // Always the nominal two-second rate, also for an interval cut short by a stop.
  double fps = count * 0.5;
  int connections = zal_ndi_sender_connections(gSender);
  emit(EVENT_STATUS, connections, fps, json_bool(gOpt.audio != 0));
}

}  // namespace

void status_loop(int waits, int wait_ms) {
  if (gStop.load() != 0) return;
  for (;;) {
    wait_interval(waits, wait_ms);
    report();
    if (gStop.load() != 0) return;
  }
}

int status_thread(void*) {
  status_loop(20, 100);
  return 0;
}
