// The status page, the JSON API and the metrics over HTTP (cpp-httplib), on
// threads of their own. It reads the loop's state only through snapshot() and
// asks for actions only through act(), which posts to the loop's queue: a slow
// or hostile client never holds up the loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sources.h"
#include "view.h"

struct StatusCalls {
  std::function<View()> snapshot;       // thread-safe; a copy
  std::function<int64_t()> now_ms;      // the loop's clock
  std::function<void(Action)> act;      // returns at once
};

class StatusServer {
 public:
  StatusServer();
  ~StatusServer();  // stops, and waits for the requests under way
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Listens as the settings say and returns at once; false with *why when the
  // address cannot be listened on. A running server is stopped first.
  bool start(const HttpSettings& settings, const StatusCalls& calls, std::string* why);
  // Stops listening at once (the port is free again when it returns); the
  // requests under way end on their own threads within their time-outs.
  void stop();
  bool running() const { return current_ != nullptr; }

 private:
  struct Instance;
  std::shared_ptr<Instance> current_;
  // Each waits for a stopped instance's requests (a reload that changes the
  // http section adds one); those done are joined at the next stop, the rest
  // at the end.
  struct Retiring {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Retiring> retiring_;
};
