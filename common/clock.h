// The one steady clock both programs' loops, waits and probes read.
#pragma once

#include <cstdint>

// Milliseconds, and nanoseconds, on a clock that never goes back; only differences
// mean anything.
int64_t steady_now_ms();
int64_t steady_now_ns();
