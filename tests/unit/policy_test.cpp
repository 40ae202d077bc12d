#include "policy.h"

#include <gtest/gtest.h>

namespace {

RestartSettings settings() {
  RestartSettings s;
  s.first_delay_ms = 1000;
  s.max_delay_ms = 30000;
  s.healthy_after_ms = 60000;
  s.stall_after_ms = 10000;
  return s;
}

// One run that starts at `at`, sends frames until `frames_until` and ends at `end_at`.
Decision run_once(SourcePolicy* policy, int64_t at, int64_t frames_until, int64_t end_at,
                  RunEnd end = {1, 0}) {
  policy_run_begins(policy);
  policy_started(policy, settings(), at);
  for (int64_t t = at + 2000; t <= frames_until; t += 2000) policy_status(policy, settings(), 30.0, t);
  return policy_run_ended(policy, settings(), end, end_at);
}

TEST(Policy, DelaysDoubleUpToTheMaximumAndStartOverAfterAHealthyRun) {
  SourcePolicy policy;
  std::vector<int64_t> delays;
  for (int i = 0; i < 7; ++i) {
    Decision d = run_once(&policy, 0, 0, 5000, {i % 2 ? 3 : 1, 0});
    EXPECT_TRUE(d.restart);
    delays.push_back(d.delay_ms);
  }
  EXPECT_EQ((std::vector<int64_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000}), delays);

  // Started 59 s: not yet healthy. 60 s: the delays start over.
  EXPECT_EQ(30000, run_once(&policy, 0, 58000, 59000).delay_ms);
  EXPECT_EQ(1000, run_once(&policy, 0, 60000, 60000).delay_ms);
  EXPECT_EQ(2000, run_once(&policy, 0, 0, 1000).delay_ms);

  // A run that never said `started` is never healthy; a failed start counts as a failure too.
  policy_run_begins(&policy);
  EXPECT_EQ(4000, policy_run_ended(&policy, settings(), {1, 0}, 100000).delay_ms);
  Decision failed = policy_start_failed(&policy, settings());
  EXPECT_TRUE(failed.restart);
  EXPECT_EQ(8000, failed.delay_ms);
  EXPECT_EQ(16000, run_once(&policy, 0, 0, 1000).delay_ms);
}

TEST(Policy, TheProbeStartsASourceOnlyWhenItsPortComesBack) {
  ProbeClock probe;
  EXPECT_FALSE(probe_due(probe, 0));  // no wait, no probe

  // Accepting from the first probe on: the stream itself fails, the back-off holds.
  probe_wait(&probe, true, 1000);
  EXPECT_TRUE(probe_due(probe, 1000));
  uint64_t wait = probe_sent(&probe, 1000);
  EXPECT_FALSE(probe_due(probe, 5000));  // one at a time
  EXPECT_FALSE(probe_answered(&probe, wait, true));
  EXPECT_FALSE(probe_due(probe, 1999));  // about once a second
  EXPECT_TRUE(probe_due(probe, 2000));
  EXPECT_FALSE(probe_answered(&probe, probe_sent(&probe, 2000), true));

  // Refused, then accepting within the same wait: start now.
  probe_wait(&probe, true, 10000);
  EXPECT_FALSE(probe_answered(&probe, probe_sent(&probe, 10000), false));
  EXPECT_FALSE(probe_answered(&probe, probe_sent(&probe, 11000), false));
  wait = probe_sent(&probe, 12000);
  EXPECT_TRUE(probe_answered(&probe, wait, true));

  // An answer that comes back after its wait ended is stale, and a new wait
  // forgets what the last one saw.
  probe_wait(&probe, true, 20000);
  EXPECT_FALSE(probe_answered(&probe, probe_sent(&probe, 20000), false));
  wait = probe_sent(&probe, 21000);
  probe_wait(&probe, false, 21500);  // started, or stopped
  EXPECT_FALSE(probe_answered(&probe, wait, true));
  EXPECT_FALSE(probe_due(probe, 30000));
  probe_wait(&probe, true, 40000);
  wait = probe_sent(&probe, 40000);
  probe_wait(&probe, true, 40500);  // the next wait, while that probe is still out
  EXPECT_FALSE(probe_due(probe, 40500));
  EXPECT_FALSE(probe_answered(&probe, wait, false));
  EXPECT_TRUE(probe_due(probe, 40500));
  EXPECT_FALSE(probe_answered(&probe, probe_sent(&probe, 40500), true));
}

TEST(Policy, ReasonsAndGivingUp) {
  SourcePolicy policy;
  Decision d = policy_run_ended(&policy, settings(), {0, 9}, 0);
  EXPECT_TRUE(d.restart);
  EXPECT_EQ("killed 9", d.reason);
  for (int32_t code : {2, 64}) {
    d = policy_run_ended(&policy, settings(), {code, 0}, 0);
    EXPECT_FALSE(d.restart);
    EXPECT_EQ("exit " + std::to_string(code), d.reason);
  }
  d = policy_run_ended(&policy, settings(), {1, 0}, 0);
  EXPECT_EQ("exit 1", d.reason);
  EXPECT_TRUE(d.restart);
}

TEST(Policy, StallClockRunsFromStartedAndMovesOnlyWithFrames) {
  SourcePolicy policy;
  policy_run_begins(&policy);
  EXPECT_FALSE(policy_stall_due(policy, 1000000));  // not started: the program's own waits apply
  policy_started(&policy, settings(), 1000);
  policy_status(&policy, settings(), 0.0, 9000);
  EXPECT_FALSE(policy_stall_due(policy, 10999));
  EXPECT_TRUE(policy_stall_due(policy, 11000));
  policy_status(&policy, settings(), 0.5, 11000);
  EXPECT_FALSE(policy_stall_due(policy, 20999));
  EXPECT_TRUE(policy_stall_due(policy, 21000));

  // Stopped as stalled: restarted whatever its exit, and not due twice.
  policy_stalled(&policy);
  EXPECT_FALSE(policy_stall_due(policy, 30000));
  Decision d = policy_run_ended(&policy, settings(), {2, 0}, 21500);
  EXPECT_TRUE(d.restart);
  EXPECT_EQ("stall", d.reason);
  EXPECT_EQ(1000, d.delay_ms);
}

TEST(Policy, AFrozenStretchDoesNotCountAsHealthy) {
  RestartSettings slow_stall = settings();
  slow_stall.stall_after_ms = 120000;
  SourcePolicy policy;
  for (int64_t expected : {1000, 2000, 4000}) {
    policy_run_begins(&policy);
    policy_started(&policy, slow_stall, 0);
    policy_stalled(&policy);  // 120 s with no frame at all
    EXPECT_EQ(expected, policy_run_ended(&policy, slow_stall, {0, 0}, 120000).delay_ms);
  }
}

}  // namespace
