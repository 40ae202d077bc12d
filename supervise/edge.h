// The real edge of the supervisor's loop. Per child, a reader thread cuts its
// output into lines and a waiter thread waits for its end; while an rtsp://
// source waits for its restart, short-lived threads probe its camera's port.
// All of them post to one queue. The main thread owns every slot, calls every
// method here, starts every child (the parent-death signal follows the
// starting thread) and is the only writer of standard output.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "output.h"
#include "process.h"
#include "sources.h"
#include "status_server.h"
#include "supervisor.h"

// The command line, as main read it.
struct Arguments {
  bool check = false;
  bool service = false;
  std::string file;
};

// The queue every watcher posts to: never freed, since detached watch threads
// may still post while the process exits.
Queue* edge_queue();
void post_stop();
void post_reload();

template <typename Function>
bool start_thread(std::thread* thread, Function function) {
  try {
    *thread = std::thread(function);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// The program the file names, else the one beside us, else the one on PATH.
std::string choose_program(const SourcesFile& file);

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

  // Opens the log, and makes the folder for the sources' pictures (none when it cannot).
  bool open_first_log(const SourcesFile& file, std::string* message);
  const std::string& pictures() const { return pictures_; }

  ~RealEdge() override;
  int64_t now_ms() override;
  Started start_child(uint64_t slot, const std::vector<std::string>& args) override;
  void close_input(uint64_t slot) override;
  void kill(uint64_t slot) override;
  void release(uint64_t slot) override;

  // The probe runs on a thread of its own, so neither a slow name lookup nor
  // the connect holds up the loop.
  bool probe(uint64_t slot, uint64_t wait, const ProbeTarget& target) override;
  void write_line(const std::string& line) override;
  void notify(Notice notice, const std::string& summary) override;
  bool read_sources(SourcesFile* file, std::string* message) override;

  // The status server as the file says; a changed section restarts it. False,
  // with the message, only when its thread cannot be started.
  bool serve(const SourcesFile& file, std::string* message);

  View snapshot();

  // A reload that fails here changes nothing: the server goes back as it was
  // when the new log cannot be opened.
  bool reconfigure(const SourcesFile& file, std::string* message) override;
  void publish(const View& view) override;

 private:
  bool listen_at(const HttpSettings& http);

  bool switch_log(const SourcesFile& file, std::string* message);

  // Without its threads a child cannot be followed: it is ended at once.
  void start_watchers(uint64_t slot, Running* running);

  const Arguments& args_;
  std::map<uint64_t, Running> children_;
  Output output_;  // the only writer of our lines
  std::string log_at_;
  std::string pictures_;
  bool own_pictures_ = false;
  std::mutex view_mutex_;
  View view_;
  HttpSettings http_;
  StatusServer status_;  // last: stopped before the view it reads goes
};
