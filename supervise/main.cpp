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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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
#include "probe.h"
#include "process.h"
#include "sources.h"
#include "status_server.h"
#include "supervisor.h"

namespace {

const char kUsage[] = "usage: zal-ndi-supervise [--check] [--service] <sources.json>\n";

// Never freed: detached watch threads may still post while the process exits.
Queue* const gQueue = new Queue;

void post_stop() { gQueue->post(Event{}); }

void post_reload() {
  Event event;
  event.kind = Event::kReload;
  gQueue->post(std::move(event));
}

// From the status server's threads: returns at once.
void post_action(Action action) {
  Event event;
  event.kind = Event::kAction;
  event.action = std::move(action);
  gQueue->post(std::move(event));
}

void post(Event::Kind kind, uint64_t slot, std::string line = std::string()) {
  Event event;
  event.kind = kind;
  event.slot = slot;
  event.line = std::move(line);
  gQueue->post(std::move(event));
}

void read_output(uint64_t slot, zal_pipe output) {
  LineSplitter splitter;
  char buffer[65536];
  long n;
  while ((n = pipe_read(output, buffer, sizeof buffer)) > 0) {
    for (std::string& line : splitter.feed(buffer, static_cast<size_t>(n))) {
      post(Event::kLine, slot, std::move(line));
    }
  }
  std::string rest = splitter.rest();
  if (!rest.empty()) post(Event::kLine, slot, std::move(rest));
  post(Event::kOutputEnd, slot);
}

void post_end(uint64_t slot, const ChildEnd& end) {
  Event event;
  event.kind = Event::kChildEnd;
  event.slot = slot;
  event.end = RunEnd{end.code, end.signal};
  gQueue->post(std::move(event));
}

void probe_port(uint64_t slot, uint64_t wait, const ProbeTarget& target) {
  Event event;
  event.kind = Event::kProbe;
  event.slot = slot;
  event.wait = wait;
  event.accepting = port_accepts(target.host, target.port, kProbeBoundMs);
  gQueue->post(std::move(event));
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

std::string choose_program(const SourcesFile& file) {
  if (!file.program.empty()) return file.program;
  std::string beside = program_beside_us();
  return beside.empty() ? program_name() : beside;
}

struct Arguments {
  bool check = false;
  bool service = false;
  std::string file;
};

// The log file's path: the file's own, or a service's default.
std::string log_path(const Arguments& args, const SourcesFile& file) {
  if (file.log.empty() && args.service) return default_service_log(args.file);
  return file.log;
}

// Opens the log at path (none when empty); false with the message.
bool open_log(const Arguments& args, const std::string& path, std::unique_ptr<LogFile>* log,
              std::string* message) {
  log->reset();
  if (path.empty()) return true;
  *log = std::make_unique<LogFile>(path);
  std::string why;
  if ((*log)->open(&why)) return true;
  *message = describe_error(args.file, SourcesError{"/log", path + " cannot be opened (" + why + ")"});
  log->reset();
  return false;
}

// One child for a slot, with the threads that follow it.
struct Running {
  Child child;
  std::thread reader;
  std::thread waiter;
};

// The real world: child processes, threads posting to the queue, standard
// output and the service manager. The main thread calls every method: it
// starts every child, and the parent-death signal follows the starting thread.
class RealEdge : public Edge {
 public:
  explicit RealEdge(const Arguments& args) : args_(args) {}

  bool open_first_log(const SourcesFile& file, std::string* message) {
    log_at_ = log_path(args_, file);
    if (!open_log(args_, log_at_, &log_, message)) return false;
    log_lines_to(log_.get());
    return true;
  }

  ~RealEdge() override { log_lines_to(nullptr); }

  int64_t now_ms() override { return steady_now_ms(); }

  Started start_child(uint64_t slot, const std::vector<std::string>& args) override {
    ChildOptions options;
    options.pipes = true;
    options.inherit_stderr = true;
    options.own_group = true;
    Child child = child_start(args, options);
    if (child.process == nullptr) {
      return child.failure == StartFailure::kPassing ? Started::kPassing : Started::kCannotRun;
    }
    Running& running = children_[slot];
    running.child = child;
    start_watchers(slot, &running);
    return Started::kYes;
  }

  void close_input(uint64_t slot) override {
    Child& child = children_[slot].child;
    pipe_close(child.input);
    child.input = kNoPipe;
  }

  void kill(uint64_t slot) override { child_kill(children_[slot].child.process); }

  void release(uint64_t slot) override {
    auto it = children_.find(slot);
    if (it == children_.end()) return;
    Running& running = it->second;
    if (running.reader.joinable()) running.reader.join();
    if (running.waiter.joinable()) running.waiter.join();
    pipe_close(running.child.input);
    pipe_close(running.child.output);
    child_free(running.child.process);
    children_.erase(it);
  }

  // The probe runs on a thread of its own, so neither a slow name lookup nor
  // the connect holds up the loop.
  bool probe(uint64_t slot, uint64_t wait, const ProbeTarget& target) override {
    std::thread probe;
    if (!start_thread(&probe, [slot, wait, target] { probe_port(slot, wait, target); })) return false;
    probe.detach();
    return true;
  }

  void write_line(const std::string& line) override { ::write_line(line); }

  void notify(Notice notice, const std::string& summary) override {
    switch (notice) {
      case Notice::kReady:
        return notify_ready(summary);
      case Notice::kStatus:
        return notify_status(summary);
      case Notice::kReloading:
        return notify_reloading();
      case Notice::kStopping:
        return notify_stopping();
    }
  }

  bool read_sources(SourcesFile* file, std::string* message) override {
    SourcesError error;
    if (!load_sources(args_.file, file, &error)) {
      *message = describe_error(args_.file, error);
      return false;
    }
    file->program = choose_program(*file);
    return true;
  }

  // The status server as the file says; a changed section restarts it. One
  // that cannot listen at its new address is started again as it was.
  bool serve(const SourcesFile& file, std::string* message) {
    if (same_http(file.http, http_)) return true;
    HttpSettings before = http_;
    std::string why;
    if (listen_at(file.http, &why)) return true;
    *message = describe_error(args_.file, SourcesError{"/http/listen", why});
    listen_at(before, &why);
    return false;
  }

  View snapshot() {
    std::lock_guard<std::mutex> lock(view_mutex_);
    return view_;
  }

  // A reload that fails here changes nothing: the server goes back as it was
  // when the new log cannot be opened.
  bool reconfigure(const SourcesFile& file, std::string* message) override {
    HttpSettings before = http_;
    if (!serve(file, message)) return false;
    if (switch_log(file, message)) return true;
    std::string why;
    if (!same_http(before, http_)) listen_at(before, &why);
    return false;
  }

  void publish(const View& view) override {
    std::lock_guard<std::mutex> lock(view_mutex_);
    view_ = view;
  }

 private:
  bool listen_at(const HttpSettings& http, std::string* why) {
    status_.stop();
    http_ = HttpSettings();
    if (!http.enabled) return true;
    StatusCalls calls{[this] { return snapshot(); }, steady_now_ms, post_action};
    if (!status_.start(http, calls, why)) return false;
    http_ = http;
    return true;
  }

  bool switch_log(const SourcesFile& file, std::string* message) {
    std::string path = log_path(args_, file);
    if (path == log_at_) return true;
    std::unique_ptr<LogFile> log;
    if (!open_log(args_, path, &log, message)) return false;
    log_lines_to(log.get());
    log_ = std::move(log);
    log_at_ = path;
    return true;
  }

  // Without its threads a child cannot be followed: it is ended at once.
  void start_watchers(uint64_t slot, Running* running) {
    zal_pipe output = running->child.output;
    ChildProcess* process = running->child.process;
    if (!start_thread(&running->reader, [slot, output] { read_output(slot, output); })) {
      child_kill(process);
      post(Event::kOutputEnd, slot);
    }
    if (!start_thread(&running->waiter, [slot, process] { post_end(slot, child_wait(process)); })) {
      child_kill(process);
      post_end(slot, child_wait(process));
    }
  }

  const Arguments& args_;
  std::map<uint64_t, Running> children_;
  std::unique_ptr<LogFile> log_;
  std::string log_at_;
  std::mutex view_mutex_;
  View view_;
  HttpSettings http_;
  StatusServer status_;  // last: stopped before the view it reads goes
};

void watch_stdin() {
  wait_stdin_end();
  post_stop();
}

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

struct Run {
  Arguments args;
  SourcesFile file;
};

int supervise(void* context) {
  const Run& run = *static_cast<const Run*>(context);
  RealEdge edge(run.args);
  std::string message;
  if (!edge.open_first_log(run.file, &message) || !edge.serve(run.file, &message)) {
    fprintf(stderr, "%s\n", message.c_str());
    return 64;
  }
  console_start();
  watch_stop_requests(post_stop);
  watch_reload_requests(post_reload);
  // A service manager gives us the null device: only its stop counts.
  std::thread stdin_watch;
  if (!run.args.service && start_thread(&stdin_watch, watch_stdin)) stdin_watch.detach();
  SourcesFile file = run.file;
  file.program = choose_program(file);
  Supervisor supervisor(file, &edge);
  int code = supervisor.run(gQueue);
  // Some child's output is still open after the stop's last wait.
  if (supervisor.forced()) exit_now(code);
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
