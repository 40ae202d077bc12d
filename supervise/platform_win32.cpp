#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <system_error>
#include <thread>

#include "platform.h"

namespace {

void (*gOnStop)() = nullptr;
void (*gOnReload)() = nullptr;

// Run as a service: what the service control manager knows of us. The
// control handler and the supervisor both report.
bool gService = false;
std::mutex gStatusMutex;
SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
SERVICE_STATUS gStatus = {};
int (*gBody)(void* context) = nullptr;
void* gContext = nullptr;
int gExitCode = 0;

constexpr DWORD kStartWaitHintMs = 10000;
// The stop sequence gives up on its children after 11 s.
constexpr DWORD kStopWaitHintMs = 15000;

BOOL WINAPI on_console_event(DWORD type) {
  gOnStop();
  // On close, logoff and shutdown the process ends when this returns: let the
  // main thread stop the children and end the process first.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    Sleep(INFINITE);
  }
  return TRUE;
}

// A stopping service never comes back to running, and a stopped one says no more.
void report(DWORD state, DWORD wait_hint, int exit_code) {
  std::lock_guard<std::mutex> lock(gStatusMutex);
  if (gStatusHandle == nullptr || gStatus.dwCurrentState == SERVICE_STOPPED) return;
  if (gStatus.dwCurrentState == SERVICE_STOP_PENDING && state == SERVICE_RUNNING) return;
  bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  // No control before the stop watch is set up, none once stopping.
  gStatus.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP |
                                                              SERVICE_ACCEPT_SHUTDOWN |
                                                              SERVICE_ACCEPT_PARAMCHANGE
                                                        : 0;
  if (!pending) {
    gStatus.dwCheckPoint = 0;
  } else {
    gStatus.dwCheckPoint = gStatus.dwCurrentState == state ? gStatus.dwCheckPoint + 1 : 1;
  }
  gStatus.dwCurrentState = state;
  gStatus.dwWaitHint = wait_hint;
  gStatus.dwWin32ExitCode = exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  gStatus.dwServiceSpecificExitCode = static_cast<DWORD>(exit_code);
  SetServiceStatus(gStatusHandle, &gStatus);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      report(SERVICE_STOP_PENDING, kStopWaitHintMs, 0);
      gOnStop();  // set before the service reports running and accepts controls
      return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
      if (gOnReload != nullptr) gOnReload();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI service_main(DWORD argc, LPWSTR* argv) {
  const wchar_t* name = argc > 0 ? argv[0] : L"";
  gStatusHandle = RegisterServiceCtrlHandlerExW(name, on_control, nullptr);
  if (gStatusHandle == nullptr) {
    gExitCode = 1;
    return;
  }
  report(SERVICE_START_PENDING, kStartWaitHintMs, 0);
  gExitCode = gBody(gContext);
  report(SERVICE_STOPPED, 0, gExitCode);
}

}  // namespace

bool watch_stop_requests(void (*on_stop)()) {
  gOnStop = on_stop;
  // A service hears the logoff of every user through a console handler: it
  // stops on the service manager's word only.
  if (gService) return true;
  return SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

bool watch_reload_requests(void (*on_reload)()) {
  gOnReload = on_reload;
  return true;
}

// The dispatcher runs service_main on a thread of its own and returns when it has.
int run_service(int (*body)(void* context), void* context) {
  gBody = body;
  gContext = context;
  gService = true;
  wchar_t no_name[] = L"";  // a process of its own: the name is not looked at
  SERVICE_TABLE_ENTRYW table[] = {{no_name, service_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    fputs("zal-ndi-supervise: --service runs only when the service control manager starts it\n",
          stderr);
    return 64;
  }
  return gExitCode;
}

std::string default_service_log(const std::string& sources_path) {
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(sources_path.c_str(), sizeof full, full, nullptr);
  std::string path = n > 0 && n < sizeof full ? std::string(full, n) : sources_path;
  size_t slash = path.find_last_of("\\/");
  return (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + "zal-ndi-supervise.log";
}

void notify_ready(const std::string&) { report(SERVICE_RUNNING, 0, 0); }

// The service manager keeps no status text.
void notify_status(const std::string&) {}

void notify_reloading() {}

void notify_stopping() { report(SERVICE_STOP_PENDING, kStopWaitHintMs, 0); }

void exit_now(int code) {
  report(SERVICE_STOPPED, 0, code);
  std::_Exit(code);
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

const char* line_end() { return "\r\n"; }

void write_stdout(const std::string& bytes) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const char* p = bytes.data();
  DWORD left = static_cast<DWORD>(bytes.size());
  while (left > 0) {
    DWORD n = 0;
    if (!WriteFile(out, p, left, &n, nullptr) || n == 0) return;
    p += n;
    left -= n;
  }
}

// Windows' SO_REUSEADDR would let another process take the port: exclusive instead.
void listen_alone(uint64_t socket) {
  BOOL yes = TRUE;
  setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
             sizeof yes);
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
  int n = recv(static_cast<SOCKET>(socket), buffer, static_cast<int>(size > INT_MAX ? INT_MAX : size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long socket_write(uint64_t socket, const char* data, size_t size) {
  int n = send(static_cast<SOCKET>(socket), data, static_cast<int>(size > INT_MAX ? INT_MAX : size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int socket_wait(uint64_t socket, int64_t bound_ms) {
  WSAPOLLFD watch = {static_cast<SOCKET>(socket), POLLRDNORM, 0};
  int n = WSAPoll(&watch, 1, static_cast<INT>(bound_ms));
  if (n == SOCKET_ERROR) return -1;
  return n > 0 ? 1 : 0;
}

bool socket_address(uint64_t socket, bool peer, std::string* ip, int* port) {
  sockaddr_storage address;
  int size = sizeof address;
  sockaddr* raw = reinterpret_cast<sockaddr*>(&address);
  SOCKET s = static_cast<SOCKET>(socket);
  if ((peer ? getpeername(s, raw, &size) : getsockname(s, raw, &size)) != 0) return false;
  return numeric_name(raw, static_cast<socklen_t>(size), ip, port);
}

void socket_close(uint64_t socket) {
  shutdown(static_cast<SOCKET>(socket), SD_BOTH);
  closesocket(static_cast<SOCKET>(socket));
}

namespace {

bool is_folder(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// "C:\logs\supervise.log" -> "C:\logs\supervise.thumbnails"
std::string beside(const std::string& log_path) {
  size_t slash = log_path.find_last_of("\\/");
  size_t dot = log_path.find_last_of('.');
  bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (extension ? log_path.substr(0, dot) : log_path) + ".thumbnails";
}

}  // namespace

std::string picture_folder(const std::string& log_path, bool* owned) {
  *owned = true;
  if (!log_path.empty()) {
    std::string folder = beside(log_path);
    if (CreateDirectoryA(folder.c_str(), nullptr) || is_folder(folder)) return folder + "\\";
  }
  // The user's own temporary folder, which other users cannot read.
  char temp[MAX_PATH];
  DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n >= sizeof temp) return "";
  std::string base = std::string(temp, n) + "zal-ndi-supervise-" + std::to_string(GetCurrentProcessId());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string folder = base + "-" + std::to_string(attempt);
    if (CreateDirectoryA(folder.c_str(), nullptr)) return folder + "\\";
  }
  return "";
}

void remove_picture_folder(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (found.cFileName[0] != '.') DeleteFileA((folder + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
}

FileRead read_small_file(const std::string& path, size_t max, std::string* bytes) {
  // Shared for delete too, so that the writer may put a new picture in its place meanwhile.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FileRead::kMissing;
  bytes->clear();
  char buffer[65536];
  DWORD n = 0;
  bool ok;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &n, nullptr) != 0) && n > 0 && bytes->size() <= max) {
    bytes->append(buffer, n);
  }
  CloseHandle(file);
  if (bytes->size() > max) return FileRead::kTooLarge;
  return ok ? FileRead::kRead : FileRead::kMissing;
}
