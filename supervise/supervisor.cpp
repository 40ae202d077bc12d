#include "supervisor.h"

#include <chrono>
#include <optional>
#include <utility>

#include "lines.h"
#include "redact.h"

void Queue::post(Event event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  ready_.notify_one();
}

bool Queue::post_action(Event event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (actions_.size() >= kActionsWaiting) return false;
    actions_.push_back(std::move(event));
  }
  ready_.notify_one();
  return true;
}

// The children's events first: no status line waits behind a client's action.
bool Queue::take(int64_t deadline, Event* event) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (events_.empty() && actions_.empty()) {
    if (deadline == kNever) {
      ready_.wait(lock);
      continue;
    }
    int64_t left = deadline - steady_now_ms();
    if (left <= 0) return false;
    ready_.wait_for(lock, std::chrono::milliseconds(left));
  }
  std::deque<Event>& from = events_.empty() ? actions_ : events_;
  *event = std::move(from.front());
  from.pop_front();
  return true;
}

namespace {

enum class Phase { kRunning, kWaiting, kGivenUp, kHeld, kIdle };

// What a zal-ndi-send --keep-alive says it sends out; kNone from any other.
enum class Picture { kNone, kSlate, kCamera };

// What follows a child's end when it was stopped on purpose.
enum Then { kPolicy, kRemove, kStartOnce, kHold };

}  // namespace

struct Slot {
  uint64_t id = 0;
  Source source;
  bool probes = false;  // its camera's port is probed while it waits
  ProbeTarget target;
  SourcePolicy policy;
  Phase phase = Phase::kIdle;
  // The running child.
  bool output_ended = false;
  bool child_ended = false;
  RunEnd end;
  int64_t kill_at = kNever;  // once its input is closed: kNever while it is open
  bool killed = false;
  int then = kPolicy;
  int64_t restart_at = kNever;  // while waiting
  // For the view.
  uint64_t starts = 0;
  bool has_status = false;
  double fps = 0;
  int64_t connections = 0;
  Picture picture = Picture::kNone;
  std::string slate_reason;  // what its last slate line said
  // Decoder restarts: of the runs that ended, and of this run by its last status line.
  uint64_t decoder_restarts_before = 0;
  uint64_t decoder_restarts = 0;
  std::string last_reason;
  // The decoder's words: its last lines, the latest since this run began or
  // the camera's picture last came back, and the one that explained the
  // latest end or slate.
  std::shared_ptr<KeptLines> log = std::make_shared<KeptLines>();
  std::optional<std::string> latest_words;
  std::optional<std::string> last_message;
  std::optional<SourceState> shown;  // the state the view last showed, since shown_since
  int64_t shown_since = 0;
  int64_t started_at = kNever;
};

namespace {

bool input_open(const Slot& slot) { return slot.kill_at == kNever; }

// A slate line's words name the decoder's reason in brackets, where it told one.
bool has_decoder_reason(const std::string& message) { return message.find('(') != std::string::npos; }

// What zal-ndi-send --keep-alive sends out: the slate from its slate line or a
// status line that says so, the camera again from its camera line or status.
// A slate for a cause other than the start explains itself by the decoder's
// latest words, or by its own when it took them from a line we did not get.
void note_picture(Slot* slot, const LineInfo& info) {
  if (info.event == "slate") {
    slot->picture = Picture::kSlate;
    slot->slate_reason = info.message;
    if (info.cause == "connecting") return;
    if (!slot->latest_words && has_decoder_reason(info.message)) slot->latest_words = info.message;
    slot->last_message = slot->latest_words;
  } else if (info.event == "camera") {
    slot->picture = Picture::kCamera;
    slot->latest_words.reset();  // what it said before the camera came back explains nothing now
  } else if (info.event == "status" && !info.picture.empty()) {
    slot->picture = info.picture == "slate" ? Picture::kSlate : Picture::kCamera;
  }
}

}  // namespace

Supervisor::Supervisor(const SourcesFile& file, Edge* edge) : file_(file), edge_(edge) {
  for (const Source& source : file.sources) add_slot(source);
}

Supervisor::~Supervisor() = default;

int Supervisor::run(Queue* queue) {
  begin();
  while (!finished()) {
    Event event;
    if (queue->take(next_deadline(), &event)) handle(event);
    on_time();
    after_step();
  }
  return exit_code();
}

void Supervisor::begin() {
  for (auto& slot : slots_) start(slot.get());
  reported_ = summary();
  edge_->notify(Notice::kReady, reported_);
  after_step();
}

Slot* Supervisor::find(uint64_t id) {
  for (auto& slot : slots_) {
    if (slot->id == id) return slot.get();
  }
  return nullptr;
}

// Among the file's sources: not one removed and still stopping.
Slot* Supervisor::find_name(const std::string& name) {
  for (auto& slot : slots_) {
    if (slot->source.name == name && slot->then != kRemove) return slot.get();
  }
  return nullptr;
}

void Supervisor::add_slot(const Source& source) {
  auto slot = std::make_unique<Slot>();
  slot->id = next_id_++;
  slot->shown_since = edge_->now_ms();
  set_source(slot.get(), source);
  slots_.push_back(std::move(slot));
}

void Supervisor::set_source(Slot* slot, const Source& source) {
  slot->source = source;
  slot->target = ProbeTarget();
  slot->probes = source.probe && probe_target(source.input, &slot->target);
}

bool Supervisor::finished() const {
  if (forced_) return true;
  for (const auto& slot : slots_) {
    if (slot->phase != Phase::kGivenUp && slot->phase != Phase::kIdle) return false;
  }
  return true;
}

void Supervisor::start(Slot* slot) {
  int64_t now = edge_->now_ms();
  probe_wait(&slot->policy.probe, false, now);
  Started started = edge_->start_child(slot->id, source_args(file_, slot->source, file_.program));
  if (started != Started::kYes) return start_failed(slot, started);
  policy_run_begins(&slot->policy);
  slot->phase = Phase::kRunning;
  slot->output_ended = slot->child_ended = slot->killed = false;
  slot->kill_at = kNever;
  slot->then = kPolicy;
  slot->has_status = false;
  slot->fps = 0;
  slot->connections = 0;
  slot->picture = Picture::kNone;
  slot->decoder_restarts_before += slot->decoder_restarts;
  slot->decoder_restarts = 0;
  slot->latest_words.reset();
  slot->started_at = now;
  ++slot->starts;
}

// A start asked for by someone, not by the back-off: the delays start over.
void Supervisor::start_fresh(Slot* slot) {
  slot->policy.failures = 0;
  start(slot);
}

// A shortage that passes is waited out; a program that cannot run is given up.
void Supervisor::start_failed(Slot* slot, Started why) {
  std::string reason = "cannot start " + mask_credentials(file_.program);
  slot->last_reason = reason;
  if (why != Started::kPassing) {
    slot->phase = Phase::kGivenUp;
    edge_->write_line(given_up_line(slot->source.name, reason));
    return;
  }
  Decision decision = policy_start_failed(&slot->policy, file_.restart);
  decision.reason = reason;
  wait_to_restart(slot, decision);
}

void Supervisor::handle(const Event& event) {
  switch (event.kind) {
    case Event::kStop:
      return begin_stop();
    case Event::kReload:
      return reload();
    case Event::kAction:
      return act(event.action);
    case Event::kProbe:
      return probe_came_back(event);
    case Event::kNote:
      return edge_->write_line(event.line);
    default:
      break;
  }
  Slot* slot = find(event.slot);
  if (slot == nullptr || slot->phase != Phase::kRunning) return;
  if (event.kind == Event::kLine) return pass_line(slot, event.line, event.wall_ms);
  if (event.kind == Event::kOutputEnd) slot->output_ended = true;
  if (event.kind == Event::kChildEnd) {
    slot->child_ended = true;
    slot->end = event.end;
  }
  finish_if_done(slot);
}

void Supervisor::pass_line(Slot* slot, const std::string& line, int64_t wall_ms) {
  LineInfo info = read_line(line);
  if (info.event == "decoder" && !info.text.empty()) {
    std::string words = mask_credentials(info.text);
    slot->log->add(wall_ms, words);
    slot->latest_words = std::move(words);
  }
  int64_t now = edge_->now_ms();
  if (info.event == "started") policy_started(&slot->policy, file_.restart, now);
  if (info.event == "status") {
    policy_status(&slot->policy, file_.restart, info.fps, now);
    slot->has_status = true;
    slot->fps = info.fps;
    slot->connections = info.connections;
    if (info.decoder_restarts >= 0) {
      slot->decoder_restarts = static_cast<uint64_t>(info.decoder_restarts);
    }
  }
  note_picture(slot, info);
  edge_->write_line(tag_line(slot->source.name, line, info));
}

// A child's end counts once its output has ended too, so that its last lines
// come before what we say about it.
void Supervisor::finish_if_done(Slot* slot) {
  if (!slot->output_ended || !slot->child_ended) return;
  edge_->release(slot->id);
  slot->has_status = false;  // no frames go out until the next run says so
  slot->fps = 0;
  slot->connections = 0;
  slot->picture = Picture::kNone;
  slot->last_reason = policy_end_reason(slot->policy, slot->end);
  // An end someone asked for needs no explaining.
  if (!stopping_ && slot->then == kPolicy) slot->last_message = slot->latest_words;
  if (stopping_) {
    slot->phase = Phase::kIdle;
    return;
  }
  switch (slot->then) {
    case kRemove:
      return erase(slot);
    case kStartOnce:
      return start_fresh(slot);
    case kHold:
      slot->phase = Phase::kHeld;
      return;
    default:
      return decide(slot);
  }
}

void Supervisor::decide(Slot* slot) {
  Decision decision = policy_run_ended(&slot->policy, file_.restart, slot->end, edge_->now_ms());
  if (!decision.restart) {
    slot->phase = Phase::kGivenUp;
    edge_->write_line(given_up_line(slot->source.name, decision.reason));
    return;
  }
  wait_to_restart(slot, decision);
}

void Supervisor::wait_to_restart(Slot* slot, const Decision& decision) {
  int64_t now = edge_->now_ms();
  slot->phase = Phase::kWaiting;
  slot->restart_at = now + decision.delay_ms;
  if (slot->probes) probe_wait(&slot->policy.probe, true, now);
  edge_->write_line(restart_line(slot->source.name, decision.reason, decision.delay_ms));
}

void Supervisor::send_probe(Slot* slot, int64_t now) {
  uint64_t wait = probe_sent(&slot->policy.probe, now);
  // None went out: the next try is a second later.
  if (!edge_->probe(slot->id, wait, slot->target)) slot->policy.probe.busy = false;
}

void Supervisor::probe_came_back(const Event& event) {
  Slot* slot = find(event.slot);
  if (slot == nullptr) return;
  bool back = probe_answered(&slot->policy.probe, event.wait, event.accepting);
  if (back && slot->phase == Phase::kWaiting && !stopping_) start(slot);
}

void Supervisor::close_input(Slot* slot, int64_t now) {
  edge_->close_input(slot->id);
  slot->kill_at = now + kStopWaitMs;
}

// Stops a running child as on a stop; `then` says what follows its end.
void Supervisor::stop_then(Slot* slot, int then) {
  slot->then = then;
  if (input_open(*slot)) close_input(slot, edge_->now_ms());
}

void Supervisor::begin_stop() {
  if (stopping_) return;
  stopping_ = true;
  edge_->notify(Notice::kStopping, summary());
  int64_t now = edge_->now_ms();
  stop_give_up_at_ = now + kStopGiveUpMs;
  for (auto& slot : slots_) {
    probe_wait(&slot->policy.probe, false, now);  // answers still out are stale
    if (slot->phase == Phase::kWaiting || slot->phase == Phase::kHeld) slot->phase = Phase::kIdle;
    if (slot->phase == Phase::kRunning && input_open(*slot)) close_input(slot.get(), now);
  }
}

void Supervisor::on_time() {
  int64_t now = edge_->now_ms();
  if (stopping_ && now >= stop_give_up_at_) {
    forced_ = true;
    return;
  }
  for (auto& owned : slots_) {
    Slot* slot = owned.get();
    if (slot->phase == Phase::kWaiting && now >= slot->restart_at) start(slot);
    if (slot->phase == Phase::kWaiting && probe_due(slot->policy.probe, now)) send_probe(slot, now);
    if (slot->phase != Phase::kRunning) continue;
    if (!stopping_ && input_open(*slot) && policy_stall_due(slot->policy, now)) {
      policy_stalled(&slot->policy);
      close_input(slot, now);
    }
    if (slot->kill_at != kNever && now >= slot->kill_at && !slot->killed) {
      edge_->kill(slot->id);
      slot->killed = true;
    }
  }
}

int64_t Supervisor::next_deadline() const {
  int64_t next = kNever;
  auto consider = [&next](int64_t at) {
    if (at != kNever && (next == kNever || at < next)) next = at;
  };
  if (stopping_) consider(stop_give_up_at_);
  for (const auto& slot : slots_) {
    const ProbeClock& probe = slot->policy.probe;
    if (slot->phase == Phase::kWaiting) {
      consider(slot->restart_at);
      if (probe.waiting && !probe.busy) consider(probe.next_at);
    }
    if (slot->phase != Phase::kRunning) continue;
    if (!slot->killed) consider(slot->kill_at);
    if (!stopping_ && input_open(*slot) && slot->policy.run.started) {
      consider(slot->policy.run.stall_at);
    }
  }
  return next;
}

// Reads the file again and applies the difference; a bad file changes nothing.
void Supervisor::reload() {
  if (stopping_) return;
  edge_->notify(Notice::kReloading, summary());
  SourcesFile next;
  std::string message;
  if (!edge_->read_sources(&next, &message) || !edge_->reconfigure(next, &message)) {
    edge_->write_line(reload_failed_line(message));
  } else {
    SourcesChange change = compare_sources(file_, next);
    apply(next, change);
    edge_->write_line(reloaded_line(change.added, change.removed, change.changed));
  }
  reported_ = summary();
  edge_->notify(Notice::kReady, reported_);
}

void Supervisor::apply(const SourcesFile& next, const SourcesChange& change) {
  file_ = next;  // new restart settings apply from the next delay
  for (const std::string& name : change.removed) {
    Slot* slot = find_name(name);
    if (slot == nullptr) continue;
    if (slot->phase == Phase::kRunning) {
      stop_then(slot, kRemove);
    } else {
      erase(slot);
    }
  }
  // The new order is the file's, then the removed ones still stopping.
  std::vector<std::unique_ptr<Slot>> ordered;
  std::vector<Slot*> fresh;
  for (const Source& source : next.sources) {
    auto kept = slots_.begin();
    while (kept != slots_.end() && !(*kept && (*kept)->source.name == source.name)) ++kept;
    if (kept == slots_.end()) {
      add_slot(source);
      fresh.push_back(slots_.back().get());
      ordered.push_back(std::move(slots_.back()));
      slots_.pop_back();
      continue;
    }
    Slot* slot = kept->get();
    ordered.push_back(std::move(*kept));
    bool changed = false;
    for (const std::string& name : change.changed) changed = changed || name == source.name;
    if (slot->then == kRemove) {
      // Removed by an earlier reload and still stopping: one process per name,
      // so it starts again with its new settings once it has ended.
      set_source(slot, source);
      slot->then = kStartOnce;
    } else if (changed) {
      set_source(slot, source);
      if (slot->phase == Phase::kRunning && slot->then == kPolicy) stop_then(slot, kStartOnce);
      if (slot->phase == Phase::kWaiting || slot->phase == Phase::kGivenUp) fresh.push_back(slot);
    }
  }
  for (auto& slot : slots_) {
    if (slot) ordered.push_back(std::move(slot));
  }
  slots_ = std::move(ordered);
  for (Slot* slot : fresh) start_fresh(slot);
}

void Supervisor::erase(Slot* slot) {
  for (auto it = slots_.begin(); it != slots_.end(); ++it) {
    if (it->get() == slot) {
      slots_.erase(it);
      return;
    }
  }
}

void Supervisor::act(const Action& action) {
  if (stopping_) return;
  Slot* slot = find_name(action.source);
  if (slot == nullptr || slot->then == kRemove) return;
  edge_->write_line(action_line(slot->source.name, action_name(action.kind), action.peer));
  bool running = slot->phase == Phase::kRunning;
  switch (action.kind) {
    case ActionKind::kRestart:
      if (running) return stop_then(slot, kStartOnce);
      return start_fresh(slot);
    case ActionKind::kHold:
      if (running) return stop_then(slot, kHold);
      probe_wait(&slot->policy.probe, false, edge_->now_ms());
      slot->phase = Phase::kHeld;
      return;
    case ActionKind::kResume:
      if (running && slot->then == kHold) slot->then = kStartOnce;
      if (slot->phase == Phase::kHeld) start_fresh(slot);
      return;
  }
}

SourceState Supervisor::state_of(const Slot& slot) const {
  switch (slot.phase) {
    case Phase::kRunning:
      if (stopping_ || slot.then != kPolicy) return SourceState::kStopping;
      if (slot.policy.run.stalled) return SourceState::kStalled;
      if (!slot.policy.run.started) return SourceState::kStarting;
      if (slot.picture == Picture::kSlate) return SourceState::kNoSignal;
      // A keep-alive run says which picture goes out right after `started`.
      if (slot.picture == Picture::kNone && slot.source.keep_alive) return SourceState::kStarting;
      return SourceState::kStreaming;
    case Phase::kWaiting:
      return SourceState::kWaiting;
    case Phase::kGivenUp:
      return SourceState::kGivenUp;
    case Phase::kHeld:
      return SourceState::kHeld;
    default:
      return SourceState::kStopped;
  }
}

std::string Supervisor::summary() const {
  std::vector<SourceState> states;
  for (const auto& slot : slots_) states.push_back(state_of(*slot));
  return status_summary(states);
}

void Supervisor::after_step() {
  int64_t now = edge_->now_ms();
  for (auto& slot : slots_) {
    SourceState state = state_of(*slot);
    if (state == slot->shown) continue;
    slot->shown = state;
    slot->shown_since = now;
  }
  std::string now_summary = summary();
  if (now_summary != reported_) {
    reported_ = now_summary;
    edge_->notify(Notice::kStatus, reported_);
  }
  edge_->publish(view());
}

View Supervisor::view() const {
  View view;
  for (const auto& slot : slots_) {
    SourceView source;
    source.name = slot->source.name;
    // One that has ended while the rest still stop shows as stopping.
    source.state = shown_state(slot->shown.value_or(state_of(*slot)));
    source.has_status = slot->has_status;
    source.fps = slot->fps;
    source.connections = slot->connections;
    source.restarts = slot->starts > 0 ? slot->starts - 1 : 0;
    source.decoder_restarts = slot->decoder_restarts_before + slot->decoder_restarts;
    if (source.state == SourceState::kNoSignal) source.no_signal_reason = slot->slate_reason;
    source.last_reason = slot->last_reason;
    source.last_message = slot->last_message;
    source.log = slot->log;
    source.state_since = slot->shown_since;
    if (slot->phase == Phase::kWaiting) source.next_start_at = slot->restart_at;
    source.last_start_at = slot->started_at;
    view.sources.push_back(std::move(source));
  }
  return view;
}
