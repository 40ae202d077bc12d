#include "status_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "clock.h"
#include "http.h"
#include "lines.h"
#include "platform.h"
#include "serving.h"
#include "status_render.h"

namespace {

constexpr bool same_text(const char* a, const char* b) {
  return *a == *b && (*a == '\0' || same_text(a + 1, b + 1));
}
static_assert(same_text(CPPHTTPLIB_VERSION, ZAL_HTTPLIB_VERSION),
              "the status server subclasses this cpp-httplib's internals: check them against the new version");

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
// A source's picture is about 20 KiB; anything much larger is not one.
constexpr size_t kPictureMax = 256 * 1024;
// What one request may send in all: its request line, header lines and body.
constexpr size_t kRequestMax = 32768;
// The listener begun again after a failure: soon, then at most this far apart.
constexpr int64_t kRetryFirstMs = 500;
constexpr int64_t kRetryMaxMs = 3000;

// What one peer may hold at once, so that others are still served.
constexpr size_t kPerPeer = 4;
// A request, head and body, must have come within this of its first byte.
constexpr int64_t kRequestMs = 5000;
constexpr int64_t kSliceMs = 100;  // how often a wait looks at the stop
constexpr int kBacklog = 64;

// The connections open now, by peer address: the cap per peer, and a stop
// that ends every one of them at once.
class Connections {
 public:
  bool stopping() const { return stopping_.load(); }

  // False when the peer holds its share already, or the server stops.
  bool enter(socket_t sock, const std::string& peer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || per_peer_[peer] >= kPerPeer) return false;
    ++per_peer_[peer];
    open_[sock] = peer;
    return true;
  }

  void leave(socket_t sock) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = open_.find(sock);
    if (found == open_.end()) return;
    if (--per_peer_[found->second] == 0) per_peer_.erase(found->second);
    open_.erase(found);
  }

  // Blocked reads and writes on every connection return at once.
  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (const auto& entry : open_) socket_shutdown(static_cast<uint64_t>(entry.first));
  }

 private:
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::map<socket_t, std::string> open_;
  std::map<std::string, size_t> per_peer_;
};

// A connection as the library reads it: first the screened head, then the
// body off the socket. A request may send kRequestMax in all and must be in
// within kRequestMs; every wait ends at a stop.
class RequestStream : public httplib::Stream {
 public:
  RequestStream(socket_t sock, const Connections* connections) : sock_(sock), connections_(connections) {}

  // Waits up to bound_ms for a request's first byte; true when one is there.
  bool first_byte(int64_t bound_ms) {
    if (!pending_.empty()) return true;
    for (int64_t waited = 0; waited < bound_ms; waited += kSliceMs) {
      if (connections_->stopping()) return false;
      int ready = socket_wait(handle(), kSliceMs);
      if (ready != 0) return ready > 0;
    }
    return false;
  }

  void begin_request() {
    deadline_ = steady_now_ms() + kRequestMs;
    left_ = kRequestMax;
  }

  // The bytes up to and including the empty line, or the first kHeadMax of
  // a head without an end; false when the client went or was too slow.
  bool read_head(std::string* head) {
    while (true) {
      size_t end = head_end();
      if (end == std::string::npos && pending_.size() >= kHeadMax) end = kHeadMax;
      if (end != std::string::npos) {
        *head = pending_.substr(0, end);
        pending_.erase(0, end);
        return true;
      }
      if (!fill()) return false;
    }
  }

  // What the library reads first.
  void replay(const std::string& head) { pending_.insert(0, head); }

  // Answers a request the library must not see, then lets the client read it
  // before the connection closes.
  void refuse(int status) {
    std::string body = error_body(status == 414 ? "request target too long" : status == 431 ? "request head too large" : "bad request");
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + refusal_reason(status) +
                       "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n" + body;
    write(text.data(), text.size());
    socket_shutdown_send(handle());
    char sink[4096];
    for (size_t drained = 0; drained < 2 * kRequestMax && socket_wait(handle(), kSliceMs) > 0;) {
      long n = socket_read(handle(), sink, sizeof sink);
      if (n <= 0) break;
      drained += static_cast<size_t>(n);
    }
  }

  bool is_readable() const override { return true; }
  bool is_writable() const override { return true; }

  ssize_t read(char* ptr, size_t size) override {
    if (pending_.empty() && !fill()) return -1;
    size_t n = std::min(size, pending_.size());
    memcpy(ptr, pending_.data(), n);
    pending_.erase(0, n);
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

  size_t head_end() const {
    size_t crlf = pending_.find("\r\n\r\n");
    size_t lf = pending_.find("\n\n");
    if (crlf == std::string::npos && lf == std::string::npos) return std::string::npos;
    return crlf < lf ? crlf + 4 : lf + 2;
  }

  // Reads more off the socket, within the request's budget and time.
  bool fill() {
    while (left_ > 0) {
      int64_t left_ms = deadline_ - steady_now_ms();
      if (left_ms <= 0 || connections_->stopping()) return false;
      int ready = socket_wait(handle(), std::min(left_ms, kSliceMs));
      if (ready < 0) return false;
      if (ready == 0) continue;
      char buffer[4096];
      long n = socket_read(handle(), buffer, std::min(sizeof buffer, left_));
      if (n <= 0) return false;
      left_ -= static_cast<size_t>(n);
      pending_.append(buffer, static_cast<size_t>(n));
      return true;
    }
    return false;
  }

  socket_t sock_;
  const Connections* connections_;
  std::string pending_;
  int64_t deadline_ = 0;
  size_t left_ = kRequestMax;
};

// cpp-httplib's pool, with a bound on what waits for a worker.
class BoundedPool : public httplib::TaskQueue {
 public:
  // The library deletes its pool when it stops listening: *owner is cleared
  // first, under owner_mutex, so that no one wakes a pool that is gone.
  BoundedPool(const Connections* connections, std::mutex* owner_mutex, BoundedPool** owner)
      : connections_(connections), owner_mutex_(owner_mutex), owner_(owner) {
    for (size_t i = 0; i < kWorkers; ++i) {
      StackThread* thread = stack_thread_start([this] { work(); });
      if (thread != nullptr) threads_.push_back(thread);
    }
  }

  // Holds up the accepting thread while the queue is full. Once stopping, a
  // connection is served here: with the server stopped that only closes it.
  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lock(mutex_);
    space_.wait(lock, [this] { return jobs_.size() < kQueued || connections_->stopping() || shut_; });
    if (jobs_.size() >= kQueued || threads_.empty()) {
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
    for (StackThread* thread : threads_) stack_thread_join(thread);
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

  const Connections* connections_;
  std::mutex* owner_mutex_;
  BoundedPool** owner_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable space_;
  std::deque<std::function<void()>> jobs_;
  std::vector<StackThread*> threads_;
  bool shut_ = false;
};

// The library's server with our own connection loop (its designed point of
// extension, as its TLS server uses it): each request's head is read and
// screened by us before the library parses it.
class BoundedServer : public httplib::Server {
 public:
  explicit BoundedServer(Connections* connections) : connections_(connections) {}

  // Closes the listener whether or not the accepting loop has begun: the
  // library's own stop() does nothing before it has.
  void halt() {
    socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) socket_close(static_cast<uint64_t>(sock));
  }

  void widen_backlog() { listen_backlog(static_cast<uint64_t>(svr_sock_.load()), kBacklog); }

 private:
  bool process_and_close_socket(socket_t sock) override {
    std::string peer;
    int port = 0;
    if (socket_address(static_cast<uint64_t>(sock), true, &peer, &port) && connections_->enter(sock, peer)) {
      serve(sock);
      connections_->leave(sock);
    }
    socket_close(static_cast<uint64_t>(sock));
    return true;
  }

  void serve(socket_t sock) {
    RequestStream stream(sock, connections_);
    for (size_t left = kKeepAliveRequests; left > 0; --left) {
      if (!stream.first_byte(kKeepAliveS * 1000)) return;
      stream.begin_request();
      std::string raw;
      if (!stream.read_head(&raw)) return;
      Head head = screen_head(raw);
      if (head.refusal != 0) return stream.refuse(head.refusal);
      stream.replay(head.text);
      // A body the handler did not read would be taken for the next request.
      bool last = left == 1 || head.has_body;
      bool closed = false;
      if (!process_request(stream, last, closed, nullptr) || closed || last) return;
    }
  }

  Connections* connections_;
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
  Connections connections;
  std::mutex mutex;  // guards server, pool and the limiter; the keeper's waits
  std::condition_variable wake;
  BoundedServer* server = nullptr;  // the one listening now
  BoundedPool* pool = nullptr;      // its pool, owned by its listening loop
  ActionLimiter limiter;
  StackThread* keeper = nullptr;

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
                     "connect-src 'self'; img-src 'self' blob:; base-uri 'none'; form-action 'none'; "
                     "frame-ancestors 'none'");
      return answer(res, 200, status_page(), "text/html; charset=utf-8");
    }
    View view = calls.snapshot();
    int64_t now = calls.now_ms();
    if (r.kind == Route::kThumbnail) return thumbnail(view, r.name, res);
    std::string body;
    if (r.kind == Route::kLog) {
      if (!log_body(view, r.name, &body)) return json_answer(res, 404, error_body("no such source"));
      return json_answer(res, 200, body);
    }
    if (r.kind == Route::kMetrics) return answer(res, 200, metrics_body(view, now), "text/plain; version=0.0.4");
    if (r.kind == Route::kSources) return json_answer(res, 200, sources_body(view, now));
    if (!source_body(view, r.name, now, &body)) return json_answer(res, 404, error_body("no such source"));
    json_answer(res, 200, body);
  }

  // The source's last picture, read whole here: 404 before its first.
  void thumbnail(const View& view, const std::string& name, httplib::Response& res) {
    if (!has_source(view, name)) return json_answer(res, 404, error_body("no such source"));
    std::string picture;
    if (calls.pictures.empty() ||
        read_small_file(thumbnail_path(calls.pictures, name), kPictureMax, &picture) != FileRead::kRead) {
      return json_answer(res, 404, error_body("no picture"));
    }
    answer(res, 200, picture, "image/jpeg");
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

  bool allowed(const std::string& source) {
    std::lock_guard<std::mutex> lock(mutex);
    return limiter.allow(source, steady_now_ms());
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
    if (!allowed(r.name) || !calls.act(action)) {
      res.set_header("Retry-After", "1");
      return json_answer(res, 429, error_body("too many actions"));
    }
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

  void configure(BoundedServer* made) {
    made->new_task_queue = [this] {
      auto* pool_made = new BoundedPool(&connections, &mutex, &pool);
      std::lock_guard<std::mutex> lock(mutex);
      pool = pool_made;
      return pool_made;
    };
    made->set_socket_options([](socket_t sock) { listen_alone(static_cast<uint64_t>(sock)); });
    made->set_read_timeout(kTimeoutS);
    made->set_write_timeout(kTimeoutS);
    made->set_payload_max_length(kBodyMax);
    made->set_default_headers({{"Cache-Control", "no-store"},
                               {"X-Content-Type-Options", "nosniff"},
                               {"X-Frame-Options", "DENY"}});
    made->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      return admit(req, res);
    });
    auto on_get = [this](const httplib::Request& req, httplib::Response& res) { get(req, res); };
    // With a content reader the library leaves the body to us.
    auto on_post = [this](const httplib::Request& req, httplib::Response& res,
                          const httplib::ContentReader& reader) { post(req, res, reader); };
    auto on_other = [this](const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) { other(req, res, reader); };
    made->Get(".*", on_get);
    made->Post(".*", on_post);
    made->Put(".*", on_other);
    made->Patch(".*", on_other);
    made->Delete(".*", on_other);
    made->Options(".*", [](const httplib::Request& req, httplib::Response& res) {
      Route r = route(req.target);
      if (r.kind == Route::kUnknown) return json_answer(res, 404, error_body("not found"));
      wrong_method(res, r.kind == Route::kAction ? "POST" : "GET");
    });
    // An exception in a handler (out of memory) gives a bare 500, not the library's
    // header with the exception's text.
    made->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
      json_answer(res, 500, error_body("internal error"));
    });
  }

  std::string address() const {
    std::string host = settings.host.find(':') != std::string::npos ? "[" + settings.host + "]" : settings.host;
    return host + ":" + std::to_string(settings.port);
  }

  // Waits out a back-off; false once stopping.
  bool pause(int64_t ms) {
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return connections.stopping(); });
    return !connections.stopping();
  }

  // Binds; true with the server in place, unless stopping.
  bool bind(BoundedServer* made, std::string* why) {
    bool bound = made->bind_to_port(settings.host, settings.port);
    if (!bound) *why = "cannot listen (" + socket_error_text() + ")";
    std::lock_guard<std::mutex> lock(mutex);
    if (!bound || connections.stopping()) return false;
    made->widen_backlog();
    server = made;
    return true;
  }

  // The listening loop, begun again with back-off whenever the address
  // cannot be had or the library's loop ends on an accept error. A line says
  // when the server is away, and when it is back.
  void keep() {
    int64_t delay = kRetryFirstMs;
    std::string said;
    while (!connections.stopping()) {
      BoundedServer made(&connections);
      configure(&made);
      std::string why;
      if (bind(&made, &why)) {
        if (!said.empty()) calls.say(http_line("listening", address(), "", 0));
        said.clear();
        delay = kRetryFirstMs;
        made.listen_after_bind();
        std::lock_guard<std::mutex> lock(mutex);
        server = nullptr;
        if (connections.stopping()) return;
        why = "the listener ended (" + socket_error_text() + ")";
      }
      if (connections.stopping()) return;
      if (why != said) calls.say(http_line("unavailable", address(), why, delay));
      said = why;
      if (!pause(delay)) return;
      delay = std::min(delay * 2, kRetryMaxMs);
    }
  }

  void stop() {
    connections.stop();
    std::lock_guard<std::mutex> lock(mutex);
    if (server != nullptr) server->halt();
    if (pool != nullptr) pool->wake();
    wake.notify_all();
  }
};

StatusServer::StatusServer() = default;

StatusServer::~StatusServer() { stop(); }

bool StatusServer::start(const HttpSettings& settings, const StatusCalls& calls) {
  stop();
  auto instance = std::make_unique<Instance>();
  instance->settings = settings;
  instance->calls = calls;
  Instance* raw = instance.get();
  instance->keeper = stack_thread_start([raw] { raw->keep(); });
  if (instance->keeper == nullptr) return false;
  current_ = std::move(instance);
  return true;
}

void StatusServer::stop() {
  if (current_ == nullptr) return;
  current_->stop();
  stack_thread_join(current_->keeper);
  current_.reset();
}
