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

void default_line(int connections, double fps) {
  emit(EVENT_STATUS, connections, fps, json_bool(gOpt.audio != 0));
}

void report(StatusWriter writer) {
  int32_t count = gFrames.exchange(0);
  // Always the nominal two-second rate, also for an interval cut short by a stop.
  double fps = count * 0.5;
  int connections = zal_ndi_sender_connections(gSender);
  writer(connections, fps);
}

void write_status(int waits, int wait_ms, StatusWriter writer) {
  if (gStop.load() != 0) return;
  for (;;) {
    wait_interval(waits, wait_ms);
    report(writer);
    if (gStop.load() != 0) return;
  }
}

}  // namespace

void status_loop(int waits, int wait_ms) { write_status(waits, wait_ms, default_line); }

int status_thread(void* writer) {
  write_status(20, 100, writer != nullptr ? *static_cast<StatusWriter*>(writer) : default_line);
  return 0;
}
