// zal-ndi-supervise: runs one zal-ndi-send per source listed in a file,
// starts each again with back-off when it ends, stops the ones whose frames
// stop, and reports all of it as JSON lines.
//
// Per child, a reader thread cuts its output into lines and a waiter thread
// waits for its end; while an rtsp:// source waits for its restart, short-lived
// threads probe its camera's port; a watch on standard input (not as a
// service) and on stop signals says "stop". All of them post to one queue.
// The main thread owns every slot, starts every child (the parent-death
// signal follows the starting thread) and is the only writer of standard
// output.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "console.h"
#include "lines.h"
#include "log_file.h"
#include "platform.h"
#include "policy.h"
#include "process.h"
#include "sources.h"

namespace {

const char kUsage[] = "usage: zal-ndi-supervise [--check] [--service] <sources.json>\n";
constexpr int64_t kStopWaitMs = 5000;  // for a child to stop after its input closed
// After that, a stop ends the process even if a child's output is still open.
constexpr int64_t kStopGiveUpMs = 2 * kStopWaitMs + 1000;
constexpr int64_t kNever = -1;

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Event {
  enum Kind { kLine, kOutputEnd, kChildEnd, kProbe, kStop } kind = kStop;
  size_t slot = 0;
  std::string line;
  ChildEnd end;
  uint64_t wait = 0;       // kProbe: the wait it was sent in
  bool accepting = false;  // kProbe: the port accepted
};

class Queue {
 public:
  void post(Event event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(event));
    }
    ready_.notify_one();
  }

  // Waits for the next event until the deadline (kNever: no deadline).
  bool take(int64_t deadline, Event* event) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (events_.empty()) {
      if (deadline == kNever) {
        ready_.wait(lock);
        continue;
      }
      int64_t left = deadline - now_ms();
      if (left <= 0) return false;
      ready_.wait_for(lock, std::chrono::milliseconds(left));
    }
    *event = std::move(events_.front());
    events_.pop_front();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Event> events_;
};

// Never freed: detached watch threads may still post while the process exits.
Queue* const gQueue = new Queue;

void post_stop() { gQueue->post(Event{}); }

// Taken, so that SIGHUP does not end us; the loop reads the file again once it
// can grow and shrink its set of sources.
void post_reload() {}

enum class Phase { kRunning, kWaiting, kGivenUp, kIdle };

struct Slot {
  Source source;
  bool probes = false;  // its camera's port is probed while it waits
  ProbeTarget target;
  SourcePolicy policy;
  Phase phase = Phase::kIdle;
  Child child;
  std::thread reader;
  std::thread waiter;
  bool output_ended = false;
  bool child_ended = false;
  ChildEnd end;
  int64_t restart_at = kNever;
  int64_t kill_at = kNever;  // once its input is closed
  bool killed = false;
};

void read_output(size_t slot, zal_pipe output) {
  LineSplitter splitter;
  char buffer[65536];
  long n;
  while ((n = pipe_read(output, buffer, sizeof buffer)) > 0) {
    for (std::string& line : splitter.feed(buffer, static_cast<size_t>(n))) {
      gQueue->post(Event{Event::kLine, slot, std::move(line), {}});
    }
  }
  std::string rest = splitter.rest();
  if (!rest.empty()) gQueue->post(Event{Event::kLine, slot, std::move(rest), {}});
  gQueue->post(Event{Event::kOutputEnd, slot, {}, {}});
}

void wait_child(size_t slot, ChildProcess* process) {
  ChildEnd end = child_wait(process);
  gQueue->post(Event{Event::kChildEnd, slot, {}, end});
}

void probe_port(size_t slot, uint64_t wait, const ProbeTarget& target) {
  bool accepting = port_accepts(target.host, target.port, kProbeBoundMs);
  gQueue->post(Event{Event::kProbe, slot, {}, {}, wait, accepting});
}

template <typename Function>
bool start_thread(std::thread* thread, Function function) {
  try {
    *thread = std::thread(function);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

class Supervisor {
 public:
  Supervisor(const SourcesFile& file, const std::string& program)
      : file_(file), program_(program), slots_(file.sources.size()) {
    for (size_t i = 0; i < slots_.size(); ++i) {
      Slot& slot = slots_[i];
      slot.source = file.sources[i];
      slot.probes = slot.source.probe && probe_target(slot.source.input, &slot.target);
    }
  }

  // Runs until stopped (0) or until every source has given up (2).
  int run() {
    for (size_t i = 0; i < slots_.size(); ++i) start(i);
    reported_ = summary();
    notify_ready(reported_);
    while (!finished()) {
      Event event;
      if (gQueue->take(next_deadline(), &event)) handle(event);
      on_time(now_ms());
      report_status();
    }
    return stopping_ ? 0 : 2;
  }

 private:
  SourceState state_of(const Slot& slot) const {
    switch (slot.phase) {
      case Phase::kRunning:
        if (stopping_) return SourceState::kStopping;
        return slot.policy.run.started ? SourceState::kStreaming : SourceState::kStarting;
      case Phase::kWaiting:
        return SourceState::kWaiting;
      case Phase::kGivenUp:
        return SourceState::kGivenUp;
      default:
        return SourceState::kStopped;
    }
  }

  std::string summary() const {
    std::vector<SourceState> states;
    for (const Slot& slot : slots_) states.push_back(state_of(slot));
    return status_summary(states);
  }

  // The service manager hears of a change only.
  void report_status() {
    std::string now = summary();
    if (now == reported_) return;
    reported_ = now;
    notify_status(now);
  }

  bool finished() const {
    for (const Slot& slot : slots_) {
      if (slot.phase == Phase::kRunning || slot.phase == Phase::kWaiting) return false;
    }
    return true;
  }

  void start(size_t i) {
    Slot& slot = slots_[i];
    probe_wait(&slot.policy.probe, false, now_ms());
    ChildOptions options;
    options.pipes = true;
    options.inherit_stderr = true;
    options.own_group = true;
    slot.child = child_start(source_args(file_, slot.source, program_), options);
    if (slot.child.process == nullptr) return start_failed(&slot);
    policy_run_begins(&slot.policy);
    slot.phase = Phase::kRunning;
    slot.output_ended = slot.child_ended = slot.killed = false;
    slot.kill_at = kNever;
    start_watchers(i);
  }

  // A shortage that passes is waited out; a program that cannot run is given up.
  void start_failed(Slot* slot) {
    std::string reason = "cannot start " + program_;
    if (slot->child.failure != StartFailure::kPassing) {
      slot->phase = Phase::kGivenUp;
      write_line(given_up_line(slot->source.name, reason));
      return;
    }
    Decision decision = policy_start_failed(&slot->policy, file_.restart);
    decision.reason = reason;
    wait_to_restart(slot, decision);
  }

  // Without its threads a child cannot be followed: it is ended at once.
  void start_watchers(size_t i) {
    Slot& slot = slots_[i];
    zal_pipe output = slot.child.output;
    ChildProcess* process = slot.child.process;
    if (!start_thread(&slot.reader, [i, output] { read_output(i, output); })) {
      child_kill(process);
      slot.output_ended = true;
    }
    if (!start_thread(&slot.waiter, [i, process] { wait_child(i, process); })) {
      child_kill(process);
      slot.end = child_wait(process);
      slot.child_ended = true;
      finish_if_done(i);
    }
  }

  void handle(const Event& event) {
    if (event.kind == Event::kStop) return begin_stop();
    if (event.kind == Event::kProbe) return probe_came_back(event);
    Slot& slot = slots_[event.slot];
    if (event.kind == Event::kLine) return pass_line(&slot, event.line);
    if (event.kind == Event::kOutputEnd) slot.output_ended = true;
    if (event.kind == Event::kChildEnd) {
      slot.child_ended = true;
      slot.end = event.end;
    }
    finish_if_done(event.slot);
  }

  void pass_line(Slot* slot, const std::string& line) {
    LineInfo info = read_line(line);
    if (info.event == "started") policy_started(&slot->policy, file_.restart, now_ms());
    if (info.event == "status") policy_status(&slot->policy, file_.restart, info.fps, now_ms());
    write_line(tag_line(slot->source.name, line, info));
  }

  // A child's end counts once its output has ended too, so that its last
  // lines come before what we say about it.
  void finish_if_done(size_t i) {
    Slot& slot = slots_[i];
    if (!slot.output_ended || !slot.child_ended) return;
    if (slot.reader.joinable()) slot.reader.join();
    if (slot.waiter.joinable()) slot.waiter.join();
    pipe_close(slot.child.input);
    pipe_close(slot.child.output);
    child_free(slot.child.process);
    slot.child = Child();
    if (stopping_) {
      slot.phase = Phase::kIdle;
      return;
    }
    decide(&slot);
  }

  void decide(Slot* slot) {
    RunEnd end{slot->end.code, slot->end.signal};
    Decision decision = policy_run_ended(&slot->policy, file_.restart, end, now_ms());
    if (!decision.restart) {
      slot->phase = Phase::kGivenUp;
      write_line(given_up_line(slot->source.name, decision.reason));
      return;
    }
    wait_to_restart(slot, decision);
  }

  void wait_to_restart(Slot* slot, const Decision& decision) {
    int64_t now = now_ms();
    slot->phase = Phase::kWaiting;
    slot->restart_at = now + decision.delay_ms;
    if (slot->probes) probe_wait(&slot->policy.probe, true, now);
    write_line(restart_line(slot->source.name, decision.reason, decision.delay_ms));
  }

  // The probe runs on a thread of its own, so neither a slow name lookup nor
  // the connect holds up this loop; its answer comes back through the queue.
  void send_probe(size_t i, int64_t now) {
    Slot& slot = slots_[i];
    uint64_t wait = probe_sent(&slot.policy.probe, now);
    ProbeTarget target = slot.target;
    std::thread probe;
    if (!start_thread(&probe, [i, wait, target] { probe_port(i, wait, target); })) {
      slot.policy.probe.busy = false;  // none went out: the next try is a second later
      return;
    }
    probe.detach();
  }

  void probe_came_back(const Event& event) {
    Slot& slot = slots_[event.slot];
    bool back = probe_answered(&slot.policy.probe, event.wait, event.accepting);
    if (back && slot.phase == Phase::kWaiting && !stopping_) start(event.slot);
  }

  void close_input(Slot* slot, int64_t now) {
    pipe_close(slot->child.input);
    slot->child.input = kNoPipe;
    slot->kill_at = now + kStopWaitMs;
  }

  void begin_stop() {
    if (stopping_) return;
    stopping_ = true;
    notify_stopping();
    int64_t now = now_ms();
    stop_give_up_at_ = now + kStopGiveUpMs;
    for (Slot& slot : slots_) {
      probe_wait(&slot.policy.probe, false, now);  // answers still out are stale
      if (slot.phase == Phase::kWaiting) slot.phase = Phase::kIdle;
      if (slot.phase == Phase::kRunning && slot.child.input != kNoPipe) close_input(&slot, now);
    }
  }

  void on_time(int64_t now) {
    if (stopping_ && now >= stop_give_up_at_) exit_now(0);
    for (size_t i = 0; i < slots_.size(); ++i) {
      Slot& slot = slots_[i];
      if (slot.phase == Phase::kWaiting && now >= slot.restart_at) start(i);
      if (slot.phase == Phase::kWaiting && probe_due(slot.policy.probe, now)) send_probe(i, now);
      if (slot.phase != Phase::kRunning) continue;
      if (!stopping_ && slot.child.input != kNoPipe && policy_stall_due(slot.policy, now)) {
        policy_stalled(&slot.policy);
        close_input(&slot, now);
      }
      if (slot.kill_at != kNever && now >= slot.kill_at && !slot.killed) {
        child_kill(slot.child.process);
        slot.killed = true;
      }
    }
  }

  int64_t next_deadline() const {
    int64_t next = kNever;
    auto consider = [&next](int64_t at) {
      if (at != kNever && (next == kNever || at < next)) next = at;
    };
    if (stopping_) consider(stop_give_up_at_);
    for (const Slot& slot : slots_) {
      if (slot.phase == Phase::kWaiting) consider(slot.restart_at);
      const ProbeClock& probe = slot.policy.probe;
      if (slot.phase == Phase::kWaiting && probe.waiting && !probe.busy) consider(probe.next_at);
      if (slot.phase != Phase::kRunning) continue;
      if (!slot.killed) consider(slot.kill_at);
      if (!stopping_ && slot.child.input != kNoPipe && slot.policy.run.started) {
        consider(slot.policy.run.stall_at);
      }
    }
    return next;
  }

  SourcesFile file_;
  std::string program_;
  std::vector<Slot> slots_;  // never resized: threads know their slot by index
  bool stopping_ = false;
  int64_t stop_give_up_at_ = kNever;
  std::string reported_;  // the last summary the service manager was given
};

void watch_stdin() {
  wait_stdin_end();
  post_stop();
}

struct Arguments {
  bool check = false;
  bool service = false;
  std::string file;
};

bool parse_arguments(int argc, char** argv, Arguments* args) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--check") == 0) {
      args->check = true;
    } else if (strcmp(argv[i], "--service") == 0) {
      args->service = true;
    } else if (argv[i][0] == '-' || !args->file.empty()) {
      return false;
    } else {
      args->file = argv[i];
    }
  }
  return !args->file.empty();
}

std::string choose_program(const SourcesFile& file) {
  if (!file.program.empty()) return file.program;
  std::string beside = program_beside_us();
  return beside.empty() ? program_name() : beside;
}

struct Run {
  Arguments args;
  SourcesFile file;
};

// Where the lines go besides standard output; false after saying why.
bool open_log(const Run& run, std::unique_ptr<LogFile>* log) {
  std::string path = run.file.log;
  if (path.empty() && run.args.service) path = default_service_log(run.args.file);
  if (path.empty()) return true;
  *log = std::make_unique<LogFile>(path);
  std::string why;
  if (!(*log)->open(&why)) {
    SourcesError error{"/log", path + " cannot be opened (" + why + ")"};
    fprintf(stderr, "%s\n", describe_error(run.args.file, error).c_str());
    return false;
  }
  log_lines_to(log->get());
  return true;
}

int supervise(void* context) {
  const Run& run = *static_cast<const Run*>(context);
  std::unique_ptr<LogFile> log;
  if (!open_log(run, &log)) return 64;
  console_start();
  watch_stop_requests(post_stop);
  watch_reload_requests(post_reload);
  // A service manager gives us the null device: only its stop counts.
  std::thread stdin_watch;
  if (!run.args.service && start_thread(&stdin_watch, watch_stdin)) stdin_watch.detach();
  Supervisor supervisor(run.file, choose_program(run.file));
  int code = supervisor.run();
  log_lines_to(nullptr);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  Run run;
  if (!parse_arguments(argc, argv, &run.args)) {
    fputs(kUsage, stderr);
    return 64;
  }
  SourcesError error;
  if (!load_sources(run.args.file, &run.file, &error)) {
    fprintf(stderr, "%s\n", describe_error(run.args.file, error).c_str());
    return 64;
  }
  if (run.args.check) return 0;
  return run.args.service ? run_service(supervise, &run) : supervise(&run);
}
