#include "policy.h"

namespace {

// Runs that end with these need new settings or a changed machine first.
bool hopeless(int32_t code) { return code == 2 || code == 64; }

int64_t backoff_ms(const RestartSettings& settings, int failures) {
  int64_t delay = settings.first_delay_ms;
  for (int i = 0; i < failures && delay < settings.max_delay_ms; ++i) delay *= 2;
  return delay < settings.max_delay_ms ? delay : settings.max_delay_ms;
}

bool was_healthy(const RunClock& run, const RestartSettings& settings, int64_t now) {
  if (!run.started) return false;
  int64_t until = run.stalled ? run.alive_at : now;
  return until - run.started_at >= settings.healthy_after_ms;
}

}  // namespace

std::string policy_end_reason(const SourcePolicy& policy, const RunEnd& end) {
  if (policy.run.stalled) return "stall";
  if (end.signal != 0) return "killed " + std::to_string(end.signal);
  return "exit " + std::to_string(end.code);
}

void policy_run_begins(SourcePolicy* policy) { policy->run = RunClock(); }

void policy_started(SourcePolicy* policy, const RestartSettings& settings, int64_t now) {
  RunClock& run = policy->run;
  run.started = true;
  run.started_at = now;
  run.alive_at = now;
  run.stall_at = now + settings.stall_after_ms;
}

void policy_status(SourcePolicy* policy, const RestartSettings& settings, double fps, int64_t now) {
  RunClock& run = policy->run;
  if (!run.started || !(fps > 0)) return;
  run.alive_at = now;
  run.stall_at = now + settings.stall_after_ms;
}

bool policy_stall_due(const SourcePolicy& policy, int64_t now) {
  const RunClock& run = policy.run;
  return run.started && !run.stalled && now >= run.stall_at;
}

void policy_stalled(SourcePolicy* policy) { policy->run.stalled = true; }

namespace {

Decision restart_after_backoff(SourcePolicy* policy, const RestartSettings& settings,
                               std::string reason) {
  Decision decision;
  decision.reason = std::move(reason);
  decision.restart = true;
  decision.delay_ms = backoff_ms(settings, policy->failures);
  if (policy->failures < 62) ++policy->failures;
  return decision;
}

}  // namespace

Decision policy_run_ended(SourcePolicy* policy, const RestartSettings& settings, const RunEnd& end,
                          int64_t now) {
  const RunClock& run = policy->run;
  Decision decision;
  decision.reason = policy_end_reason(*policy, end);
  if (!run.stalled && end.signal == 0 && hopeless(end.code)) return decision;
  if (was_healthy(run, settings, now)) policy->failures = 0;
  return restart_after_backoff(policy, settings, decision.reason);
}

Decision policy_start_failed(SourcePolicy* policy, const RestartSettings& settings) {
  return restart_after_backoff(policy, settings, "");
}

void probe_wait(ProbeClock* probe, bool begins, int64_t now) {
  ++probe->wait;
  probe->waiting = begins;
  probe->refused = false;
  probe->next_at = now;
}

bool probe_due(const ProbeClock& probe, int64_t now) {
  return probe.waiting && !probe.busy && now >= probe.next_at;
}

uint64_t probe_sent(ProbeClock* probe, int64_t now) {
  probe->busy = true;
  probe->next_at = now + kProbeEveryMs;
  return probe->wait;
}

bool probe_answered(ProbeClock* probe, uint64_t wait, bool accepting) {
  probe->busy = false;
  if (!probe->waiting || wait != probe->wait) return false;
  if (!accepting) probe->refused = true;
  return accepting && probe->refused;
}
