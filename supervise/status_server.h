// The status page, the JSON API and the metrics over HTTP (cpp-httplib), on
// threads of their own. It reads the loop's state only through snapshot() and
// asks for actions only through act(), which posts to the loop's queue: a slow
// or hostile client never holds up the loop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sources.h"
#include "view.h"

struct StatusCalls {
  std::function<View()> snapshot;        // thread-safe; a copy
  std::function<int64_t()> now_ms;       // the loop's clock
  std::function<bool(Action)> act;       // returns at once; false: too many wait already
  std::function<void(std::string)> say;  // a line about the server, for the loop to write
  std::string pictures;                  // the sources' pictures' folder; empty: none
};

class StatusServer {
 public:
  StatusServer();
  ~StatusServer();
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Serves as the settings say, from threads of its own, and returns at once.
  // An address that cannot be listened on (a port another program holds) is
  // tried again with back-off, and so is a listener the system ends; each
  // change is said through calls.say. False only when no thread could be
  // started. A running server is stopped first.
  bool start(const HttpSettings& settings, const StatusCalls& calls);
  // Closes the listener and every connection, and waits for the threads:
  // as quick with clients connected as without.
  void stop();

 private:
  struct Instance;
  std::unique_ptr<Instance> current_;
};
