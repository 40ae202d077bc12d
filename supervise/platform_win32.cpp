#include <windows.h>

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

}  // namespace

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
