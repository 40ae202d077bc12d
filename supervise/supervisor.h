// The supervisor's loop: one slot per source, each starting its zal-ndi-send,
// passing its lines on, stopping it when its frames stop, and starting it
// again with back-off when it ends. Plain logic: everything it does to the
// world goes through an Edge, and everything the world tells it comes as an
// Event, so tests drive it with fake children and a fake clock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "policy.h"
#include "sources.h"
#include "view.h"

constexpr int64_t kNever = -1;
constexpr int64_t kStopWaitMs = 5000;  // for a child to stop after its input closed
// After that, a stop ends the process even if a child's output is still open.
constexpr int64_t kStopGiveUpMs = 2 * kStopWaitMs + 1000;

// What the world tells the loop. Child events name the slot the child runs
// for; a slot starts its next child only after both kOutputEnd and kChildEnd
// of the last one came, so they are never stale.
struct Event {
  enum Kind { kLine, kOutputEnd, kChildEnd, kProbe, kStop, kReload, kAction, kNote } kind = kStop;
  uint64_t slot = 0;
  std::string line;        // kLine; kNote: a line of our own to write as it is
  int64_t wall_ms = 0;     // kLine: when the edge read it, ms since 1970 (UTC)
  RunEnd end;              // kChildEnd
  uint64_t wait = 0;       // kProbe: the wait it was sent in
  bool accepting = false;  // kProbe: the port accepted
  Action action;           // kAction
};


// The one queue every watcher posts to and the loop takes from.
class Queue {
 public:
  static constexpr size_t kActionsWaiting = 64;

  void post(Event event);
  // Actions wait apart, behind every other event, and only so many: false
  // when kActionsWaiting wait already.
  bool post_action(Event event);
  // Waits for the next event until the deadline on steady_now_ms (kNever: none).
  bool take(int64_t deadline, Event* event);

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Event> events_;
  std::deque<Event> actions_;
};

enum class Started { kYes, kPassing, kCannotRun };
enum class Notice { kReady, kStatus, kReloading, kStopping };

// What the loop does to the world.
class Edge {
 public:
  virtual ~Edge() = default;
  virtual int64_t now_ms() = 0;
  // Starts a child for the slot. Its lines, the end of its output and its own
  // end come back as events; kPassing: a later start may work.
  virtual Started start_child(uint64_t slot, const std::vector<std::string>& args) = 0;
  virtual void close_input(uint64_t slot) = 0;
  virtual void kill(uint64_t slot) = 0;
  // Both ends of the slot's child came: what it held can go.
  virtual void release(uint64_t slot) = 0;
  // Probes the camera's port; the answer comes back as kProbe with this wait.
  // False when no probe could go out.
  virtual bool probe(uint64_t slot, uint64_t wait, const ProbeTarget& target) = 0;
  virtual void write_line(const std::string& line) = 0;
  virtual void notify(Notice notice, const std::string& summary) = 0;
  // The sources file read again, with its program chosen; false with the
  // message for the reload_failed line.
  virtual bool read_sources(SourcesFile* file, std::string* message) = 0;
  // Takes up what the file says besides its sources (the log, ...); false,
  // with the message, changes nothing.
  virtual bool reconfigure(const SourcesFile& file, std::string* message) = 0;
  // The state after each step, for whoever shows it.
  virtual void publish(const View& view) = 0;
};

struct Slot;

class Supervisor {
 public:
  // file.program is the program to start, already chosen.
  Supervisor(const SourcesFile& file, Edge* edge);
  ~Supervisor();

  // Runs until stopped (0), or until every source has given up (2).
  int run(Queue* queue);
  // The stop gave up waiting for a child: end the process at once.
  bool forced() const { return forced_; }

  // The steps run() takes, for tests.
  void begin();                      // starts every source
  void handle(const Event& event);
  void on_time();                    // what is due at the edge's now
  void after_step();                 // tells the service manager and publishes the view
  int64_t next_deadline() const;
  bool finished() const;
  int exit_code() const { return stopping_ ? 0 : 2; }
  View view() const;

 private:
  Slot* find(uint64_t id);
  Slot* find_name(const std::string& name);
  void add_slot(const Source& source);
  void erase(Slot* slot);
  void set_source(Slot* slot, const Source& source);
  void start(Slot* slot);
  void start_fresh(Slot* slot);
  void start_failed(Slot* slot, Started why);
  void pass_line(Slot* slot, const std::string& line, int64_t wall_ms);
  void finish_if_done(Slot* slot);
  void decide(Slot* slot);
  void wait_to_restart(Slot* slot, const Decision& decision);
  void send_probe(Slot* slot, int64_t now);
  void probe_came_back(const Event& event);
  void close_input(Slot* slot, int64_t now);
  void stop_then(Slot* slot, int then);
  void begin_stop();
  void reload();
  void apply(const SourcesFile& next, const SourcesChange& change);
  void act(const Action& action);
  std::string summary() const;
  SourceState state_of(const Slot& slot) const;

  SourcesFile file_;
  Edge* edge_;
  std::vector<std::unique_ptr<Slot>> slots_;  // the file's order; removed ones still stopping last
  uint64_t next_id_ = 1;
  bool stopping_ = false;
  bool forced_ = false;
  int64_t stop_give_up_at_ = kNever;
  std::string reported_;  // the last summary the service manager was given
};
