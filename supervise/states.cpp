#include "states.h"

const StateName kStateNames[kSourceStates] = {
    {SourceState::kStarting, "starting", "starting"},
    {SourceState::kStreaming, "streaming", "streaming"},
    {SourceState::kStalled, "stalled", "streaming"},  // it has not ended yet
    {SourceState::kNoSignal, "no_signal", "no signal"},
    {SourceState::kWaiting, "waiting", "waiting"},
    {SourceState::kGivenUp, "given_up", "given up"},
    {SourceState::kHeld, "held", "held"},
    {SourceState::kStopping, "stopping", "stopping"},
    {SourceState::kStopped, "stopped", "stopped"},
};

const char* state_name(SourceState state) {
  for (const StateName& row : kStateNames) {
    if (row.state == state) return row.name;
  }
  return "";
}

SourceState shown_state(SourceState state) {
  return state == SourceState::kStopped ? SourceState::kStopping : state;
}

const ActionName kActionNames[kActionKinds] = {
    {ActionKind::kRestart, "restart"},
    {ActionKind::kHold, "hold"},
    {ActionKind::kResume, "resume"},
};

const char* action_name(ActionKind kind) {
  for (const ActionName& row : kActionNames) {
    if (row.kind == kind) return row.name;
  }
  return "";
}

bool read_action(const std::string& text, ActionKind* kind) {
  for (const ActionName& row : kActionNames) {
    if (text == row.name) {
      *kind = row.kind;
      return true;
    }
  }
  return false;
}
