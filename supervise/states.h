// Where a source is, and what a client may ask of it: each an enum with one
// table of names, which the API, the metrics, the page, the lines and the
// service manager's summary all use.
#pragma once

#include <cstddef>
#include <string>

// In the order the metrics and the API's schema list them. A new state is an
// enumerator here, its row in states.cpp and its colour on the page.
enum class SourceState {
  kStarting,
  kStreaming,
  kNoSignal,  // running, but its zal-ndi-send shows the slate: the camera is away
  kStalled,
  kStopping,
  kWaiting,
  kHeld,
  kGivenUp,
  // Ended while the supervisor stops. Only the summary tells it apart: the
  // API, the metrics and the page show it as stopping.
  kStopped,
};
constexpr size_t kSourceStates = static_cast<size_t>(SourceState::kStopped) + 1;

struct StateName {
  SourceState state;
  const char* name;   // the API's, the metrics' and the page's
  const char* label;  // the summary's, for people; states with one label count together
};

// Every state once, in the order the summary counts them.
extern const StateName kStateNames[kSourceStates];

const char* state_name(SourceState state);
// What the API, the metrics and the page show for the state.
SourceState shown_state(SourceState state);

enum class ActionKind { kRestart, kHold, kResume };
constexpr size_t kActionKinds = static_cast<size_t>(ActionKind::kResume) + 1;

struct ActionName {
  ActionKind kind;
  const char* name;  // in the action's path, its line and the page's buttons
};

// Every action once, in the order the page shows its buttons.
extern const ActionName kActionNames[kActionKinds];

const char* action_name(ActionKind kind);
// False when the text names no action.
bool read_action(const std::string& text, ActionKind* kind);
