// When a child is started again, given up, or stopped as stalled: a
// supervisor's source, or zal-ndi-send's own decoder. Plain logic on a
// millisecond clock that the caller supplies.
#pragma once

#include <cstdint>
#include <string>

struct RestartSettings {
  // Milliseconds; the supervisor's file gives seconds and may use fractions.
  int64_t first_delay_ms = 1000;
  int64_t max_delay_ms = 30000;
  int64_t healthy_after_ms = 60000;
  int64_t stall_after_ms = 10000;
};

// How one run of a source went, as far as the restart policy cares.
struct RunClock {
  bool started = false;     // it wrote `started`
  int64_t started_at = 0;
  int64_t alive_at = 0;     // the last `status` with frames going out (or `started`)
  int64_t stall_at = 0;     // when to stop it as stalled, once started
  bool stalled = false;     // we closed its input because it stalled
};

// The probes of a source's camera port while it waits for a restart: one at
// a time, about once a second.
struct ProbeClock {
  uint64_t wait = 0;     // counts the waits: an answer from an earlier one is stale
  bool waiting = false;  // a wait is on: probes are wanted
  bool busy = false;     // a probe is out (its wait may be over)
  int64_t next_at = 0;   // the next probe, once none is out
  bool refused = false;  // a probe of this wait found the port closed
};

// A source across its runs.
struct SourcePolicy {
  int failures = 0;  // consecutive ends that were not after a healthy run
  RunClock run;
  ProbeClock probe;
};

// How a child ended: an exit code, or the signal that ended it.
struct RunEnd {
  int32_t code = 0;
  int32_t signal = 0;
};

struct Decision {
  bool restart = false;
  int64_t delay_ms = 0;  // with restart
  std::string reason;    // "exit N", "killed N" or "stall" (the caller names a failed start)
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

// "stall", "killed N" or "exit N": how the run ended, as the lines name it.
std::string policy_end_reason(const SourcePolicy& policy, const RunEnd& end);

// A start failed for a passing reason (out of processes, memory or
// descriptors, the file busy): tried again after the next delay.
Decision policy_start_failed(SourcePolicy* policy, const RestartSettings& settings);

constexpr int64_t kProbeEveryMs = 1000;
constexpr int64_t kProbeBoundMs = 1000;  // one probe, name lookup included

// A wait for a restart begins (or, with false, ends): probes are wanted at once.
void probe_wait(ProbeClock* probe, bool begins, int64_t now);
// True when a probe should go out now.
bool probe_due(const ProbeClock& probe, int64_t now);
// A probe goes out; its answer must come back with the returned wait.
uint64_t probe_sent(ProbeClock* probe, int64_t now);
// Its answer. True when the source should start now: its port accepts after a
// probe of this wait found it closed. A port that accepted from the first probe
// on says nothing new (the stream itself fails), so the back-off holds.
bool probe_answered(ProbeClock* probe, uint64_t wait, bool accepting);
