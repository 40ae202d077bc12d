// What the status server shows: a copy of each source's state that the loop
// makes after each of its steps, and the actions a client asks of the loop.
// Times are on the loop's millisecond clock (steady, the same as now_ms), so a
// reader works out "seconds in this state" against the time it answers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kept_lines.h"
#include "states.h"

constexpr int64_t kNoTime = -1;

struct SourceView {
  std::string name;
  SourceState state = SourceState::kStarting;  // never kStopped
  bool has_status = false;  // a status line came during this run
  double fps = 0;           // from the last status line
  int64_t connections = 0;  // from the last status line
  uint64_t restarts = 0;    // starts after the first, since the supervisor started
  // Decoders its zal-ndi-send runs started again (--keep-alive), since the supervisor started.
  uint64_t decoder_restarts = 0;
  std::string no_signal_reason;  // while no_signal: the slate's reason in words, if it gave one
  std::string last_reason;  // "exit 1", "stall", ...: "" before any end
  // The decoder's line that explains its latest end or slate; none when no line did.
  std::optional<std::string> last_message;
  std::shared_ptr<const KeptLines> log;  // its decoder's last lines, shared with the loop
  int64_t state_since = 0;           // entered its current state
  int64_t next_start_at = kNoTime;   // while waiting
  int64_t last_start_at = kNoTime;   // its last child's start; kNoTime before any
};

// Every source, in the sources file's order.
struct View {
  std::vector<SourceView> sources;
};

// Asked by a client; the loop applies it and writes one line naming it and
// who asked ("peer": the client's address and port).
struct Action {
  ActionKind kind = ActionKind::kRestart;
  std::string source;
  std::string peer;
};
