#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <mutex>

#include <system_error>
#include <thread>

#include "platform.h"

namespace {

void (*gOnStop)() = nullptr;

BOOL WINAPI on_console_event(DWORD type) {
  gOnStop();
  // On close, logoff and shutdown the process ends when this returns: let the
  // main thread stop the children and end the process first.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    Sleep(INFINITE);
  }
  return TRUE;
}

int64_t steady_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool winsock_started() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

// One non-blocking connect, waited for until the deadline.
bool connects(const addrinfo& address, int64_t deadline) {
  SOCKET s = WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0,
                        WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return false;
  u_long non_blocking = 1;
  bool accepted = false;
  if (ioctlsocket(s, FIONBIO, &non_blocking) == 0) {
    accepted = connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0;
    if (!accepted && WSAGetLastError() == WSAEWOULDBLOCK) {
      int64_t left = deadline - steady_ms();
      if (left < 0) left = 0;
      timeval wait = {static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      // A refused connect shows in the failed set, an accepted one in the writable.
      accepted = select(0, nullptr, &writable, &failed, &wait) > 0 && FD_ISSET(s, &writable);
    }
  }
  closesocket(s);
  return accepted;
}

}  // namespace

bool port_accepts(const std::string& host, uint16_t port, int64_t bound_ms) {
  int64_t deadline = steady_ms() + bound_ms;
  if (!winsock_started()) return false;
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool accepted = false;
  for (addrinfo* a = found; a != nullptr && !accepted && steady_ms() < deadline; a = a->ai_next) {
    accepted = connects(*a, deadline);
  }
  freeaddrinfo(found);
  return accepted;
}

bool watch_stop_requests(void (*on_stop)()) {
  gOnStop = on_stop;
  return SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

std::string program_beside_us() {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) return "";
  std::string path(self, n);
  path = path.substr(0, path.find_last_of("\\/") + 1) + program_name();
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return "";
  return path;
}

const char* program_name() { return "zal-ndi-send.exe"; }

void write_line(const std::string& line) {
  std::string whole = line + "\r\n";
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const char* p = whole.data();
  DWORD left = static_cast<DWORD>(whole.size());
  while (left > 0) {
    DWORD n = 0;
    if (!WriteFile(out, p, left, &n, nullptr) || n == 0) return;  // the reader has gone
    p += n;
    left -= n;
  }
}
