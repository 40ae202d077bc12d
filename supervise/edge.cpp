#include "edge.h"

#include <chrono>
#include <cstdio>
#include <system_error>

#include "lines.h"
#include "platform.h"
#include "policy.h"
#include "probe.h"

namespace {

Queue* const gQueue = new Queue;

// From the status server's threads: returns at once.
bool post_action(Action action) {
  Event event;
  event.kind = Event::kAction;
  event.action = std::move(action);
  return gQueue->post_action(std::move(event));
}

void post_note(std::string line) {
  Event event;
  event.kind = Event::kNote;
  event.line = std::move(line);
  gQueue->post(std::move(event));
}

void post(Event::Kind kind, uint64_t slot, std::string line = std::string()) {
  Event event;
  event.kind = kind;
  event.slot = slot;
  event.line = std::move(line);
  if (kind == Event::kLine) {
    using namespace std::chrono;
    event.wall_ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  }
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

}  // namespace

Queue* edge_queue() { return gQueue; }

void post_stop() { gQueue->post(Event{}); }

void post_reload() {
  Event event;
  event.kind = Event::kReload;
  gQueue->post(std::move(event));
}

std::string choose_program(const SourcesFile& file) {
  if (!file.program.empty()) return file.program;
  std::string beside = program_beside_us();
  return beside.empty() ? program_name() : beside;
}

bool RealEdge::open_first_log(const SourcesFile& file, std::string* message) {
  log_at_ = log_path(args_, file);
  std::unique_ptr<LogFile> log;
  if (!open_log(args_, log_at_, &log, message)) return false;
  output_.log_to(std::move(log));
  pictures_ = picture_folder(log_at_, &own_pictures_);
  // Not worth ending for: the sources run, without pictures.
  if (pictures_.empty()) fprintf(stderr, "zal-ndi-supervise: no folder for the sources' pictures\n");
  return true;
}

RealEdge::~RealEdge() {
  status_.stop();
  if (own_pictures_ && !pictures_.empty()) remove_picture_folder(pictures_);
}

int64_t RealEdge::now_ms() { return steady_now_ms(); }

Started RealEdge::start_child(uint64_t slot, const std::vector<std::string>& args) {
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

void RealEdge::close_input(uint64_t slot) {
  Child& child = children_[slot].child;
  pipe_close(child.input);
  child.input = kNoPipe;
}

void RealEdge::kill(uint64_t slot) { child_kill(children_[slot].child.process); }

void RealEdge::release(uint64_t slot) {
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
bool RealEdge::probe(uint64_t slot, uint64_t wait, const ProbeTarget& target) {
  std::thread probe;
  if (!start_thread(&probe, [slot, wait, target] { probe_port(slot, wait, target); })) return false;
  probe.detach();
  return true;
}

void RealEdge::write_line(const std::string& line) { output_.write(line); }

void RealEdge::notify(Notice notice, const std::string& summary) {
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

bool RealEdge::read_sources(SourcesFile* file, std::string* message) {
  SourcesError error;
  if (!load_sources(args_.file, file, &error)) {
    *message = describe_error(args_.file, error);
    return false;
  }
  file->program = choose_program(*file);
  file->thumbnails = pictures_;
  return true;
}

// The status server as the file says; a changed section restarts it. An
// address that cannot be listened on now is tried again by the server: only
// a thread that cannot be started fails here.
bool RealEdge::serve(const SourcesFile& file, std::string* message) {
  if (same_http(file.http, http_)) return true;
  if (listen_at(file.http)) return true;
  *message = describe_error(args_.file, SourcesError{"/http/listen", "cannot start the status server's thread"});
  return false;
}

View RealEdge::snapshot() {
  std::lock_guard<std::mutex> lock(view_mutex_);
  return view_;
}

// A reload that fails here changes nothing: the server goes back as it was
// when the new log cannot be opened.
bool RealEdge::reconfigure(const SourcesFile& file, std::string* message) {
  HttpSettings before = http_;
  if (!serve(file, message)) return false;
  if (switch_log(file, message)) return true;
  if (!same_http(before, http_) && !listen_at(before)) {
    *message += "; the status server could not be started again as it was";
  }
  return false;
}

void RealEdge::publish(const View& view) {
  std::lock_guard<std::mutex> lock(view_mutex_);
  view_ = view;
}

bool RealEdge::listen_at(const HttpSettings& http) {
  status_.stop();
  http_ = HttpSettings();
  if (!http.enabled) return true;
  StatusCalls calls{[this] { return snapshot(); }, steady_now_ms, post_action, post_note, pictures_};
  if (!status_.start(http, calls)) return false;
  http_ = http;
  return true;
}

bool RealEdge::switch_log(const SourcesFile& file, std::string* message) {
  std::string path = log_path(args_, file);
  if (path == log_at_) return true;
  std::unique_ptr<LogFile> log;
  if (!open_log(args_, path, &log, message)) return false;
  output_.log_to(std::move(log));
  log_at_ = path;
  return true;
}

// Without its threads a child cannot be followed: it is ended at once.
void RealEdge::start_watchers(uint64_t slot, Running* running) {
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
