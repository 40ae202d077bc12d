#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <thread>

#include "platform.h"

namespace {

// A signal handler may only write: it wakes a thread that does the rest.
int gStopWrite = -1;
int gReloadWrite = -1;

void on_signal(int number) {
  char byte = 1;
  int saved = errno;
  ssize_t ignored = write(number == SIGHUP ? gReloadWrite : gStopWrite, &byte, 1);
  (void)ignored;
  errno = saved;
}

// Sets up the signals to wake a thread that calls action: once, or for each
// signal when repeat.
bool watch_signals(const int* signals, int count, int* write_end, void (*action)(), bool repeat) {
  int wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0) return false;
  // A burst of signals must not block a handler on a full pipe: one byte is enough.
  fcntl(wake[1], F_SETFL, O_NONBLOCK);
  *write_end = wake[1];
  int wake_read = wake[0];
  try {
    std::thread([wake_read, action, repeat] {
      char byte;
      for (;;) {
        ssize_t n = read(wake_read, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1 && repeat) return;  // cannot happen: we keep the write end
        action();
        if (!repeat) return;
      }
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  struct sigaction handler = {};
  handler.sa_handler = on_signal;
  sigemptyset(&handler.sa_mask);
  handler.sa_flags = SA_RESTART;
  for (int i = 0; i < count; ++i) sigaction(signals[i], &handler, nullptr);
  return true;
}

// Only under a service manager that listens: a plain run makes no call.
void notify(const std::string& state) {
  if (getenv("NOTIFY_SOCKET") != nullptr) sd_notify(0, state.c_str());
}

}  // namespace

bool watch_stop_requests(void (*on_stop)()) {
  const int signals[] = {SIGINT, SIGTERM};
  return watch_signals(signals, 2, &gStopWrite, on_stop, false);
}

bool watch_reload_requests(void (*on_reload)()) {
  const int signals[] = {SIGHUP};
  return watch_signals(signals, 1, &gReloadWrite, on_reload, true);
}

int run_service(int (*body)(void* context), void* context) { return body(context); }

std::string default_service_log(const std::string&) { return ""; }

void notify_ready(const std::string& status) { notify("READY=1\nSTATUS=" + status); }

void notify_status(const std::string& status) { notify("STATUS=" + status); }

// Newer systemd wants the time of the request with it.
void notify_reloading() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void notify_stopping() { notify("STOPPING=1"); }

void exit_now(int code) { std::_Exit(code); }

std::string program_beside_us() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  std::string path(self, static_cast<size_t>(n));
  path = path.substr(0, path.rfind('/') + 1) + program_name();
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
  return path;
}

const char* program_name() { return "zal-ndi-send"; }

const char* line_end() { return "\n"; }

void write_stdout(const std::string& bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = write(1, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// SO_REUSEADDR only: SO_REUSEPORT would let another process bind the port too.
void listen_alone(uint64_t socket) {
  int yes = 1;
  setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

namespace {

bool numeric_name(const sockaddr* address, socklen_t size, std::string* ip, int* port) {
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (getnameinfo(address, size, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return false;
  }
  *ip = host;
  *port = atoi(service);
  return true;
}

}  // namespace

long socket_read(uint64_t socket, char* buffer, size_t size) {
  ssize_t n;
  do {
    n = recv(static_cast<int>(socket), buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

// MSG_NOSIGNAL: a client gone is an error, not SIGPIPE.
long socket_write(uint64_t socket, const char* data, size_t size) {
  ssize_t n;
  do {
    n = send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

int socket_wait(uint64_t socket, int64_t bound_ms) {
  pollfd watch = {static_cast<int>(socket), POLLIN, 0};
  int n = poll(&watch, 1, static_cast<int>(bound_ms));
  if (n < 0) return errno == EINTR ? 0 : -1;
  return n > 0 ? 1 : 0;
}

bool socket_address(uint64_t socket, bool peer, std::string* ip, int* port) {
  sockaddr_storage address;
  socklen_t size = sizeof address;
  sockaddr* raw = reinterpret_cast<sockaddr*>(&address);
  int fd = static_cast<int>(socket);
  if ((peer ? getpeername(fd, raw, &size) : getsockname(fd, raw, &size)) != 0) return false;
  return numeric_name(raw, size, ip, port);
}

void socket_close(uint64_t socket) {
  shutdown(static_cast<int>(socket), SHUT_RDWR);
  close(static_cast<int>(socket));
}

std::string picture_folder(const std::string&, bool* owned) {
  const char* runtime = getenv("RUNTIME_DIRECTORY");
  *owned = runtime == nullptr || *runtime == 0;
  if (!*owned) {
    std::string first(runtime);
    return first.substr(0, first.find(':')) + "/";
  }
  // mkdtemp makes it 0700: the pictures are no other user's to see.
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/zal-ndi-supervise-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return "";
  return pattern + "/";
}

void remove_picture_folder(const std::string& folder) {
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') unlink((folder + entry->d_name).c_str());
    }
    closedir(dir);
  }
  rmdir(folder.c_str());
}

FileRead read_small_file(const std::string& path, size_t max, std::string* bytes) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FileRead::kMissing;
  bytes->clear();
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 && bytes->size() <= max) {
    bytes->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (bytes->size() > max) return FileRead::kTooLarge;
  return n == 0 ? FileRead::kRead : FileRead::kMissing;
}
