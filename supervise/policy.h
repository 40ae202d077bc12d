// When a source's zal-ndi-send is started again, given up, or stopped as
// stalled. Plain logic on a millisecond clock that the caller supplies.
#pragma once

#include <cstdint>
#include <string>

#include "sources.h"

// How one run of a source went, as far as the restart policy cares.
struct RunClock {
  bool started = false;     // it wrote `started`
  int64_t started_at = 0;
  int64_t alive_at = 0;     // the last `status` with frames going out (or `started`)
  int64_t stall_at = 0;     // when to stop it as stalled, once started
  bool stalled = false;     // we closed its input because it stalled
};

// A source across its runs.
struct SourcePolicy {
  int failures = 0;  // consecutive ends that were not after a healthy run
  RunClock run;
};

// How a child ended: an exit code, or the signal that ended it.
struct RunEnd {
  int32_t code = 0;
  int32_t signal = 0;
};

struct Decision {
  bool restart = false;
  int64_t delay_ms = 0;  // with restart
  std::string reason;    // "exit N", "killed N" or "stall"
};

// A new child of this source has been started.
void policy_run_begins(SourcePolicy* policy);
// It wrote `started`.
void policy_started(SourcePolicy* policy, const RestartSettings& settings, int64_t now);
// One `status` line; fps above 0 means frames are going out.
void policy_status(SourcePolicy* policy, const RestartSettings& settings, double fps, int64_t now);

// We closed its input because it stalled.
void policy_stalled(SourcePolicy* policy);

// True once a started run has sent no frame for the stall time.
bool policy_stall_due(const SourcePolicy& policy, int64_t now);

// The run ended by itself or after a stall: restart after a delay, or give up.
// A run that stayed started for the healthy time (up to its last frames, when
// it stalled) starts the delays over.
Decision policy_run_ended(SourcePolicy* policy, const RestartSettings& settings, const RunEnd& end,
                          int64_t now);
