#include "status_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform.h"
#include "status_render.h"

namespace {

// Bounds: at most kWorkers requests served at once and kQueued connections
// waiting for a worker; past that, accepting pauses and the kernel's backlog
// holds the rest. A connection that sends nothing is closed after
// kKeepAliveS; each read or write may wait kTimeoutS.
constexpr size_t kWorkers = 8;
constexpr size_t kQueued = 32;
constexpr time_t kKeepAliveS = 2;
constexpr size_t kKeepAliveRequests = 20;
constexpr time_t kTimeoutS = 5;
constexpr size_t kBodyMax = 4096;  // actions have no body
// What one request may send in all: its request line, header lines and body.
constexpr size_t kRequestMax = 32768;

// cpp-httplib's pool, with a bound on what waits for a worker.
class BoundedPool : public httplib::TaskQueue {
 public:
  // The library deletes its pool when it stops listening: *owner is cleared
  // first, under owner_mutex, so that no one wakes a pool that is gone.
  BoundedPool(const std::atomic<bool>* stopping, std::mutex* owner_mutex, BoundedPool** owner)
      : stopping_(stopping), owner_mutex_(owner_mutex), owner_(owner) {
    for (size_t i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { work(); });
  }

  // Holds up the accepting thread while the queue is full. Once stopping, a
  // connection is served here: with the server stopped that only closes it.
  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lock(mutex_);
    space_.wait(lock, [this] { return jobs_.size() < kQueued || stopping_->load() || shut_; });
    if (jobs_.size() >= kQueued) {
      lock.unlock();
      fn();
      return;
    }
    jobs_.push_back(std::move(fn));
    ready_.notify_one();
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(*owner_mutex_);
      *owner_ = nullptr;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shut_ = true;
    }
    ready_.notify_all();
    space_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  // Taking the lock first: a waiter that saw stopping_ false is then waiting.
  void wake() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    space_.notify_all();
  }

 private:
  void work() {
    while (true) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !jobs_.empty() || shut_; });
        if (jobs_.empty()) return;
        fn = std::move(jobs_.front());
        jobs_.pop_front();
      }
      space_.notify_one();
      fn();
    }
  }

  const std::atomic<bool>* stopping_;
  std::mutex* owner_mutex_;
  BoundedPool** owner_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable space_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool shut_ = false;
};

// A connection read with a budget per request: cpp-httplib 0.11 bounds each
// header line but not their number, so a client could otherwise send headers
// until we run out of memory. Reads and writes wait at most the time-outs the
// library set on the socket when it accepted it.
class BudgetStream : public httplib::Stream {
 public:
  explicit BudgetStream(socket_t sock) : sock_(sock) {}

  void new_request() { left_ = kRequestMax; }
  bool over() const { return over_; }
  bool buffered() const { return at_ < end_; }

  bool is_readable() const override { return true; }
  bool is_writable() const override { return true; }

  ssize_t read(char* ptr, size_t size) override {
    if (!buffered()) {
      if (left_ == 0) {
        over_ = true;
        return -1;
      }
      long n = socket_read(handle(), buffer_, std::min(sizeof buffer_, left_));
      if (n <= 0) return n;
      left_ -= static_cast<size_t>(n);
      at_ = 0;
      end_ = static_cast<size_t>(n);
    }
    size_t n = std::min(size, end_ - at_);
    memcpy(ptr, buffer_ + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override { return socket_write(handle(), ptr, size); }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    socket_address(handle(), true, &ip, &port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    socket_address(handle(), false, &ip, &port);
  }
  socket_t socket() const override { return sock_; }

 private:
  uint64_t handle() const { return static_cast<uint64_t>(sock_); }

  socket_t sock_;
  char buffer_[4096];
  size_t at_ = 0;
  size_t end_ = 0;
  size_t left_ = kRequestMax;
  bool over_ = false;
};

// The library's server with our own connection loop (its designed point of
// extension, as its TLS server uses it): the same keep-alive bounds, over a
// BudgetStream.
class BoundedServer : public httplib::Server {
 private:
  bool process_and_close_socket(socket_t sock) override {
    BudgetStream stream(sock);
    bool ok = true;
    for (size_t left = kKeepAliveRequests; left > 0 && next_request(sock, stream); --left) {
      stream.new_request();
      bool closed = false;
      ok = process_request(stream, left == 1, closed, nullptr);
      if (!ok || closed || stream.over()) break;
    }
    socket_close(static_cast<uint64_t>(sock));
    return ok;
  }

  // A request has begun within the keep-alive wait; a stop ends the wait.
  bool next_request(socket_t sock, const BudgetStream& stream) const {
    if (stream.buffered()) return svr_sock_ != INVALID_SOCKET;
    for (int64_t waited = 0; waited < kKeepAliveS * 1000; waited += 100) {
      if (svr_sock_ == INVALID_SOCKET) return false;
      int ready = socket_wait(static_cast<uint64_t>(sock), 100);
      if (ready != 0) return ready > 0;
    }
    return false;
  }
};

std::string peer_of(const httplib::Request& req) {
  if (req.remote_addr.find(':') != std::string::npos) {
    return "[" + req.remote_addr + "]:" + std::to_string(req.remote_port);
  }
  return req.remote_addr + ":" + std::to_string(req.remote_port);
}

void answer(httplib::Response& res, int status, const std::string& body, const char* type) {
  res.status = status;
  res.set_content(body, type);
}

void json_answer(httplib::Response& res, int status, const std::string& body) {
  answer(res, status, body, "application/json");
}

}  // namespace

struct StatusServer::Instance {
  HttpSettings settings;
  StatusCalls calls;
  BoundedServer server;
  std::atomic<bool> stopping{false};
  BoundedPool* pool = nullptr;  // owned by the server's listening thread
  std::mutex pool_mutex;
  std::thread listener;

  // Who may ask: the token, and without one a Host that names no other site.
  httplib::Server::HandlerResponse admit(const httplib::Request& req, httplib::Response& res) {
    if (!settings.token.empty() && !authorized(settings.token, req.get_header_value("Authorization"))) {
      res.status = 401;
      res.set_header("WWW-Authenticate", "Basic realm=\"zal-ndi-supervise\"");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (settings.token.empty() && !host_allowed(req.get_header_value("Host"))) {
      json_answer(res, 403, error_body("forbidden"));
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  // Every route is read here from the raw target, so a %2F stays inside a name.
  void get(const httplib::Request& req, httplib::Response& res) {
    Route r = route(req.target);
    if (r.kind == Route::kAction) return wrong_method(res, "POST");
    if (r.kind == Route::kBad) return json_answer(res, 400, error_body("bad source name"));
    if (r.kind == Route::kUnknown) return json_answer(res, 404, error_body("not found"));
    if (r.kind == Route::kPage) {
      res.set_header("Content-Security-Policy",
                     "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
                     "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
      return answer(res, 200, status_page(), "text/html; charset=utf-8");
    }
    View view = calls.snapshot();
    int64_t now = calls.now_ms();
    if (r.kind == Route::kMetrics) return answer(res, 200, metrics_body(view, now), "text/plain; version=0.0.4");
    if (r.kind == Route::kSources) return json_answer(res, 200, sources_body(view, now));
    std::string body;
    if (!source_body(view, r.name, now, &body)) return json_answer(res, 404, error_body("no such source"));
    json_answer(res, 200, body);
  }

  // Reads what body the request has, up to kBodyMax: the library would take any
  // size, and wait for the end of a body-less request that has no Content-Length.
  static bool read_body(const httplib::Request& req, const httplib::ContentReader& reader) {
    bool chunked = req.has_header("Transfer-Encoding");
    if (!chunked && !req.has_header("Content-Length")) return true;  // no body at all
    if (!chunked && req.get_header_value<uint64_t>("Content-Length") > kBodyMax) return false;
    size_t size = 0;
    return reader([&size](const char*, size_t n) {
      size += n;
      return size <= kBodyMax;
    });
  }

  void post(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    if (!read_body(req, reader)) return json_answer(res, 413, error_body("body too large"));
    Route r = route(req.target);
    if (r.kind == Route::kBad) return json_answer(res, 400, error_body("bad source name"));
    if (r.kind == Route::kUnknown) return json_answer(res, 404, error_body("not found"));
    if (r.kind != Route::kAction) return wrong_method(res, "GET");
    if (!same_origin(req.get_header_value("Origin"), req.get_header_value("Host"))) {
      return json_answer(res, 403, error_body("forbidden"));
    }
    if (!has_source(calls.snapshot(), r.name)) return json_answer(res, 404, error_body("no such source"));
    Action action{r.action, r.name, peer_of(req)};
    calls.act(action);
    json_answer(res, 202, action_body(action));
  }

  void other(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    if (!read_body(req, reader)) return json_answer(res, 413, error_body("body too large"));
    Route r = route(req.target);
    if (r.kind == Route::kUnknown) return json_answer(res, 404, error_body("not found"));
    wrong_method(res, r.kind == Route::kAction ? "POST" : "GET");
  }

  static void wrong_method(httplib::Response& res, const char* allow) {
    res.set_header("Allow", allow);
    json_answer(res, 405, error_body("method not allowed"));
  }

  void configure() {
    server.new_task_queue = [this] {
      auto* made = new BoundedPool(&stopping, &pool_mutex, &pool);
      std::lock_guard<std::mutex> lock(pool_mutex);
      pool = made;
      return made;
    };
    server.set_socket_options([](socket_t sock) { listen_alone(static_cast<uint64_t>(sock)); });
    server.set_keep_alive_timeout(kKeepAliveS);
    server.set_keep_alive_max_count(kKeepAliveRequests);
    server.set_read_timeout(kTimeoutS);
    server.set_write_timeout(kTimeoutS);
    server.set_payload_max_length(kBodyMax);
    server.set_default_headers({{"Cache-Control", "no-store"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"X-Frame-Options", "DENY"}});
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      return admit(req, res);
    });
    auto on_get = [this](const httplib::Request& req, httplib::Response& res) { get(req, res); };
    // With a content reader the library leaves the body to us.
    auto on_post = [this](const httplib::Request& req, httplib::Response& res,
                          const httplib::ContentReader& reader) { post(req, res, reader); };
    auto on_other = [this](const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) { other(req, res, reader); };
    server.Get(".*", on_get);
    server.Post(".*", on_post);
    server.Put(".*", on_other);
    server.Patch(".*", on_other);
    server.Delete(".*", on_other);
    server.Options(".*", [](const httplib::Request& req, httplib::Response& res) {
      Route r = route(req.target);
      if (r.kind == Route::kUnknown) return json_answer(res, 404, error_body("not found"));
      wrong_method(res, r.kind == Route::kAction ? "POST" : "GET");
    });
    // An exception in a handler (out of memory) gives a bare 500, not the library's
    // header with the exception's text.
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
      json_answer(res, 500, error_body("internal error"));
    });
  }

  void stop() {
    stopping = true;
    server.stop();
    std::lock_guard<std::mutex> lock(pool_mutex);
    if (pool != nullptr) pool->wake();
  }
};

StatusServer::StatusServer() = default;

StatusServer::~StatusServer() {
  stop();
  for (Retiring& retiring : retiring_) retiring.thread.join();
}

bool StatusServer::start(const HttpSettings& settings, const StatusCalls& calls, std::string* why) {
  stop();
  auto instance = std::make_shared<Instance>();
  instance->settings = settings;
  instance->calls = calls;
  instance->configure();
  if (!instance->server.bind_to_port(settings.host, settings.port)) {
    *why = "cannot listen on " + (settings.host.find(':') != std::string::npos ? "[" + settings.host + "]"
                                                                                 : settings.host) +
           ":" + std::to_string(settings.port);
    return false;
  }
  Instance* raw = instance.get();
  try {
    instance->listener = std::thread([raw] { raw->server.listen_after_bind(); });
  } catch (const std::system_error&) {
    *why = "cannot start the status server's thread";
    return false;
  }
  // Until it runs, the library's stop() would do nothing: wait for that (microseconds).
  for (int i = 0; i < 5000 && !instance->server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  current_ = instance;
  return true;
}

void StatusServer::stop() {
  if (current_ == nullptr) return;
  std::shared_ptr<Instance> old = std::move(current_);
  current_ = nullptr;
  old->stop();
  for (auto it = retiring_.begin(); it != retiring_.end();) {
    if (!it->done->load()) {
      ++it;
      continue;
    }
    it->thread.join();
    it = retiring_.erase(it);
  }
  // The listening thread ends once its workers have; wait for it elsewhere.
  auto done = std::make_shared<std::atomic<bool>>(false);
  try {
    retiring_.push_back(Retiring{std::thread([old, done] {
                                   old->listener.join();
                                   *done = true;
                                 }),
                                 done});
  } catch (const std::system_error&) {
    old->listener.join();
  }
}
